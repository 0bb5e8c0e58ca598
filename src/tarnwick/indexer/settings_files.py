"""Reading a project's own settings files (.gitignore, tsconfig.json,
go.mod, Cargo.toml) safely: a hostile tree may put a FIFO, a device or a
link to a huge file outside the project where one is expected."""

from __future__ import annotations

import os
import stat

from ..datadir import is_inside, read_regular

SETTINGS_LIMIT = 1 << 20

# What a folder's own lookup returns when it holds nothing: look further up.
NOT_HERE = object()


def nearest(folder: str, cache: dict, own):
    """The first answer of ``own(folder)`` at or above `folder` (a relative
    posix path, "" for the root), None when there is none.  ``own`` returns
    NOT_HERE to go on upward; any other value, None included, ends the
    search.  Every folder climbed is remembered in `cache`, so each is
    looked at once however deep the tree."""
    import posixpath

    climbed = []
    found = None
    while True:
        if folder in cache:
            found = cache[folder]
            break
        climbed.append(folder)
        found = own(folder)
        if found is not NOT_HERE:
            break
        found = None
        if not folder:
            break
        folder = posixpath.dirname(folder)
    for seen in climbed:
        cache[seen] = found
    return found


def read_settings(root: str, rel: str) -> str | None:
    """The text of `rel` under `root` when it is a regular file inside the
    project of at most 1 MiB, else None."""
    path = os.path.join(root, rel)
    if not is_inside(path, root):
        return None
    try:
        return read_regular(path, SETTINGS_LIMIT).decode("utf-8", "replace")
    except OSError:
        return None


def has_settings(root: str, rel: str) -> bool:
    """True when `rel` under `root` is a file (links followed).  One look,
    without resolving the whole path: the nearest settings file is looked
    for in every folder of deep trees, and few folders hold one."""
    try:
        return stat.S_ISREG(os.stat(os.path.join(root, rel)).st_mode)
    except (OSError, ValueError):
        return False
