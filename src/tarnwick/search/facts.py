"""What the graph decides about each file beyond its own documents: its
flags (a test, an example, declarations only) and its prior (how many
project files import it).

Both look past the file: a file under a test folder is a test when any
file of that folder makes the folder a suite, and the prior counts the
imports of every other file.  The index keeps what they are made of, so
that an update changes them by deltas (`update`): per file the imports that
lead to it and those it makes (table ``importers``, rows for nonzero counts
only), and per test folder the files under it, each with whether it makes
the folder a suite (table ``test_folders``).
"""

from __future__ import annotations

import posixpath

from .compact import base
from .corpus import FLAG_DECLARATIONS, FLAG_EXAMPLE, FLAG_TEST, prior
from .documents import _defines_a_test, _holds_tests_only, _is_test_module, _test_folder, is_example_path
from .store import from_sql_text as from_sql, to_sql_text as to_sql

_INIT = "__init__.py"


def test_folder(path: str) -> str | None:
    """The outermost test folder above ``path``, in lower case, if any."""
    return _test_folder(path.lower().split("/"))


def is_test_module(path: str) -> bool:
    return _is_test_module(path.lower().rpartition("/")[2])


def makes_suite(path: str, folder: str, defined) -> bool:
    """Whether the file at ``path``, under the test ``folder``, makes it a
    suite: a test module, any file of a folder that holds tests only, or
    one that defines a test."""
    return is_test_module(path) or _holds_tests_only(folder) or any(map(_defines_a_test, defined))


def flags_of(path: str, test: bool, declarations: bool) -> int:
    return (FLAG_TEST if test else 0) | (FLAG_EXAMPLE if is_example_path(path) else 0) | (FLAG_DECLARATIONS if declarations else 0)


def prior_of(path: str, defined: int, importers: int, imports: int, weights) -> float:
    # A package's __init__ that imports more of the project than it defines
    # gathers other modules' names: importers come for those, the credit is
    # theirs.
    if posixpath.basename(path) == _INIT and imports > defined:
        importers = 0
    return prior(importers, weights)


def import_targets(source: str, edges, known) -> list:
    """The project files (ids in ``known``) that the import ``edges`` of the
    file ``source`` lead to, other than itself, once per edge."""
    out = []
    for edge in edges:
        if isinstance(edge, dict) and edge.get("rel") == "imports":
            target = base(edge.get("to"))
            if target != source and target in known:
                out.append(target)
    return out


class Delta:
    """The flags and priors of an update, worked out again where the files
    handed over reach: their own, those whose importers they changed, and
    the files of a test folder that became or stopped being a suite.

    ``db`` is the index being updated; ``old`` and ``new`` the file ids
    before and after; ``shares`` the shares of the files whose edges may
    have changed (`compact.Share`, by id) and ``entries`` their
    `build.graph_files` entries; ``old_imports(ids)`` gives, by id, the
    import edges of those files in the previous graph.  ValueError for
    rows of another shape."""

    def __init__(self, db, old, new, shares: dict, entries: dict, old_imports) -> None:
        self.db, self.new = db, new
        gone = (shares.keys() | (old - new)) & old
        delta: dict = {}
        for source, edges in old_imports(gone).items():
            for target in import_targets(source, edges, old):
                delta[target] = delta.get(target, 0) - 1
        imports = {}
        for fid, share in shares.items():
            targets = import_targets(fid, share.out[0], new)
            imports[fid] = len(targets)
            for target in targets:
                delta[target] = delta.get(target, 0) + 1
        self.changed = {fid for fid, n in delta.items() if n and fid in new} | shares.keys()
        self.counts = self._counts(delta, imports, old - new)
        self.flipped = self._folders(gone, shares, entries)

    def _counts(self, delta: dict, imports: dict, removed: set) -> dict:
        """The new (importers, imports) of the files whose counts changed,
        written in place; by id."""
        ids = delta.keys() | imports.keys() | removed
        out = {}
        for fid in sorted(ids):
            row = self.db.execute("SELECT importers, imports FROM importers WHERE id = ?", (to_sql(fid),)).fetchone()
            importers, made = row if row is not None else (0, 0)
            if type(importers) is not int or type(made) is not int:
                raise ValueError("importers of another shape")
            importers += delta.get(fid, 0)
            made = imports.get(fid, made)
            if importers < 0:
                raise ValueError("importers below none")
            if fid in removed or not (importers or made):
                self.db.execute("DELETE FROM importers WHERE id = ?", (to_sql(fid),))
            else:
                self.db.execute("INSERT OR REPLACE INTO importers VALUES (?, ?, ?)", (to_sql(fid), importers, made))
            out[fid] = importers, made
        return out

    def _suite(self, folder: str) -> bool:
        row = self.db.execute("SELECT 1 FROM test_folders WHERE folder = ? AND maker = 1 LIMIT 1", (to_sql(folder),)).fetchone()
        return row is not None

    def _folders(self, gone: set, shares: dict, entries: dict) -> set:
        """Move the rows of the files handed over; the test folders whose
        standing as a suite changed."""
        rows = {(test_folder(fid), fid) for fid in gone}
        rows.update((test_folder(entries[fid][0]), fid) for fid in shares)
        folders = {folder for folder, _ in rows if folder is not None}
        before = {folder: self._suite(folder) for folder in sorted(folders)}
        for folder, fid in sorted(rows, key=repr):
            if folder is not None:
                self.db.execute("DELETE FROM test_folders WHERE folder = ? AND id = ?", (to_sql(folder), to_sql(fid)))
        for fid in sorted(shares):
            path, _, defined, _ = entries[fid]
            folder = test_folder(path)
            if folder is not None:
                maker = int(makes_suite(path, folder, defined))
                self.db.execute("INSERT INTO test_folders VALUES (?, ?, ?)", (to_sql(folder), to_sql(fid), maker))
        self.suites = {folder: self._suite(folder) for folder in sorted(folders)}
        return {folder for folder in folders if before[folder] != self.suites[folder]}

    def reached(self) -> set:
        """The files whose flags or prior may have changed."""
        out = set(self.changed)
        for folder in sorted(self.flipped):
            out.update(from_sql(fid) for (fid,) in self.db.execute("SELECT id FROM test_folders WHERE folder = ?", (to_sql(folder),)))
        return out & self.new

    def decide(self, fid: str, path: str, defined: int, declarations: bool, weights) -> tuple[int, float]:
        """The flags and prior of the file ``fid`` (one of `reached`)."""
        folder = test_folder(path)
        if folder is not None and folder not in self.suites:
            self.suites[folder] = self._suite(folder)
        test = is_test_module(path) or (folder is not None and self.suites[folder])
        counts = self.counts.get(fid)
        if counts is None:
            row = self.db.execute("SELECT importers, imports FROM importers WHERE id = ?", (to_sql(fid),)).fetchone()
            counts = self.counts[fid] = tuple(row) if row else (0, 0)
            if not all(type(n) is int and n >= 0 for n in counts):
                raise ValueError("importers of another shape")
        return flags_of(path, test, declarations), prior_of(path, defined, *counts, weights)
