"""The stamps of the folders and source files an old walk state records,
looked at all at once before the walk (`_stamps.stat_folders`, on two
threads) instead of one call each as the walk comes to them.

A folder's entry is used only when the walk reaches it by the very path
the batch looked at, and its files' only when the folder's record is the
one the batch was made from; anything else is looked at as before.  The
stamps are taken after the run began, as the walk's own would be, so they
vouch for the same.
"""

from __future__ import annotations

import os

from .._stamps import stat_folders
from .walk_state import CODES, NAMES

FOUND, FOLDER = 1, 4
_FIELDS = 6  # per entry: flags, size, mtime_ns, ctime_ns, device, inode


class Prefetched:
    """The stamps of one walk's folders, by the old state's `records` (by
    folder), under the root `root_abs`."""

    def __init__(self, root_abs: str, records: dict):
        folders = []
        for rel, record in records.items():
            try:
                folders.append((rel, record[NAMES], record[CODES]))
            except (TypeError, IndexError, KeyError):
                folders.append((None, None, None))  # the walk tells what is wrong with it
        self._records = records
        self._index = {rel: i for i, rel in enumerate(records)}
        self._root = root_abs
        found, self.files, firsts = stat_folders(root_abs, folders)
        self._folders = memoryview(found).cast("q")
        self._firsts = memoryview(firsts).cast("q")

    def _path(self, rel: str) -> str:
        return self._root + "/" + rel if rel else self._root

    def folder(self, rel: str, path: str):
        """[device, inode, mtime_ns, ctime_ns] of the folder `rel` reached
        at `path` when the batch found it a folder, else None (then it is
        looked at alone)."""
        at = self._index.get(rel)
        if at is None or self._firsts[at] < 0 or path != self._path(rel):
            return None
        fields = self._folders[at * _FIELDS : (at + 1) * _FIELDS]
        if fields[0] & (FOUND | FOLDER) != FOUND | FOLDER:
            return None
        return [fields[4], fields[5], fields[2], fields[3]]

    def first_file(self, rel: str, record) -> int | None:
        """The entry of the first source file of the folder `rel` when its
        record is the one the batch was made from, else None."""
        at = self._index.get(rel)
        if at is None or self._records.get(rel) is not record or self._firsts[at] < 0:
            return None
        return self._firsts[at]


def prefetched(root_abs: str, records: dict) -> Prefetched | None:
    """The batch of an old state's `records`, where paths are '/'-joined."""
    return Prefetched(root_abs, records) if os.sep == "/" else None
