"""Which files a question may be answered from: `--path DIR` (repeatable)
and `--no-tests`.

The index holds the whole project; the scope narrows one query to part of
it, without indexing again.
"""

from __future__ import annotations

import os
import posixpath
import re
from collections import namedtuple

from .errors import UsageError

__all__ = ["Scope", "ScopeError", "is_test_path"]


class ScopeError(UsageError):
    """A `--path` that cannot narrow the query (one outside the project)."""

_TEST_FOLDERS = frozenset({"test", "tests", "testing", "__tests__", "__mocks__", "spec", "specs", "testdata", "e2e"})
# Compiled where first used (`re` keeps it): only `--no-tests` asks.
_TEST_FILE = (
    r"(?:^test_.*\.py$|^.*_test\.(?:py|go)$|^conftest\.py$"
    r"|^.*\.(?:test|spec)\.(?:[cm]?[jt]sx?)$"
    r"|^.*(?:Test|Tests|IT)\.java$)"
)


def is_test_path(path: str) -> bool:
    """Whether a project-relative path ("a/b.py") is a test by the usual
    conventions: a test folder (`tests/`, `__tests__/`, Java's `src/test/`)
    or a test file name (`test_x.py`, `x_test.go`, `x.spec.ts`, `XTest.java`)."""
    parts = path.split("/")
    if any(part.lower() in _TEST_FOLDERS for part in parts[:-1]):
        return True
    return bool(re.match(_TEST_FILE, parts[-1]))


class Scope(namedtuple("Scope", ("paths", "no_tests"), defaults=((), False))):
    """The folders a query may draw from (all when empty) and whether tests count."""

    __slots__ = ()  # a named tuple, not a dataclass: see `tarnwick.settings.Settings`

    @classmethod
    def of(cls, paths=(), no_tests: bool = False, root=None, option: str = "--path") -> "Scope":
        """A scope from folders as the user wrote them, relative to the
        project root ("src", "./lib/", "pkg/sub"); an absolute path must lie
        in `root`.  `option` names the paths in an error."""
        cleaned = []
        for path in paths:
            given = str(path)
            if root is not None and os.path.isabs(given):
                given = os.path.relpath(os.path.realpath(given), os.path.realpath(root))
            norm = posixpath.normpath(given.replace("\\", "/"))
            if norm == ".." or norm.startswith(("../", "/")):
                raise ScopeError(f"{option} {path}: not inside the project")
            norm = norm.strip("/")
            cleaned.append("" if norm == "." else norm)
        if "" in cleaned:
            cleaned = []
        return cls(tuple(cleaned), no_tests)

    @property
    def narrows(self) -> bool:
        return bool(self.paths) or self.no_tests

    def admits(self, path: str) -> bool:
        if self.no_tests and is_test_path(path):
            return False
        return not self.paths or any(path == p or path.startswith(p + "/") for p in self.paths)
