"""What each source file was when this run read it (size, modification
time, the digest its summary was made from), for the search index's
`sources` rows: looked up a file at a time, since an update reads the rows
of the few files that changed, and only a build reads them all."""

from __future__ import annotations

from bisect import bisect_left
from collections.abc import Mapping
from operator import attrgetter


class SourcesSeen(Mapping):
    """file -> (size, mtime_ns, digest or None) of each of `sources` (the
    walk's files), the digests from `digests` (file -> digest).  `paths`,
    when given, are the files of `sources` in the same order, sorted: a
    file is then found by bisection, with no table of every file made for
    the few an update looks up."""

    def __init__(self, sources: list, digests: dict, paths: list | None = None):
        self._sources = sources
        self._digests = digests
        self._paths = paths
        self._by_path = None

    def _find(self, path: str):
        if self._paths is not None:
            if type(path) is not str:
                raise KeyError(path)
            at = bisect_left(self._paths, path)
            if at == len(self._paths) or self._paths[at] != path:
                raise KeyError(path)
            return self._sources[at]
        if self._by_path is None:
            self._by_path = dict(zip(map(attrgetter("rel"), self._sources), self._sources))
        return self._by_path[path]

    def __getitem__(self, path: str) -> tuple:
        source = self._find(path)
        return (source.size, source.mtime_ns, self._digests.get(path))

    def __contains__(self, path) -> bool:
        try:
            self._find(path)
        except (KeyError, TypeError):
            return False
        return True

    def __iter__(self):
        return map(attrgetter("rel"), self._sources)

    def __len__(self) -> int:
        return len(self._sources)
