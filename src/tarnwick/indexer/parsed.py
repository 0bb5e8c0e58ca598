"""The parsed files' results by path, for a run that takes most files over
unchanged: a result taken over is made from its row's head fields when
first read.  A run with one file edited reads the results of the handful of
files its resolution follows; the language, counts and state of the others
come from their heads, which files of the same shape share."""

from __future__ import annotations

from collections.abc import Mapping


def _language(held) -> str:
    kind = type(held)
    return held if kind is str else held["language"] if kind is dict else held.language


class Parsed(Mapping):
    """path -> FileResult of the files that parsed, in the order they were
    added.  `taken` holds, for files taken over, their head fields (a dict
    files of the same shape share), or only their language when
    `head(path, language)` reads those fields, instead of a result, and
    `digests` their digests: `make(path, fields, digest)` makes the result
    when it is first read, once.  Nothing per file is made for the others: a run's
    collections would walk a container per file of the project."""

    def __init__(self, make=None, taken: dict | None = None, digests=None, head=None):
        # path -> its result, the head fields it is made from, or (when
        # `head(path, language)` gives those fields) its language alone
        self._held = taken if taken is not None else {}
        self._make = make
        self._digests = digests if digests is not None else {}
        self._head = head

    def add(self, result) -> None:
        self._held[result.path] = result

    def __getitem__(self, path: str):
        held = self._held[path]
        kind = type(held)
        if kind is str:
            held, kind = self._head(path, held), dict
        if kind is dict:
            held = self._held[path] = self._make(path, held, self._digests.get(path))
        return held

    def __contains__(self, path) -> bool:
        return path in self._held

    def __iter__(self):
        return iter(self._held)

    def __len__(self) -> int:
        return len(self._held)

    def clear(self) -> None:
        self._held.clear()

    def paths(self):
        """The files, as a set-like view (set operations in C)."""
        return self._held.keys()

    def language(self, path: str) -> str:
        return _language(self._held[path])

    def languages(self):
        """(path, language) of every file, no result made for it."""
        for path, held in self._held.items():
            yield path, _language(held)

    def of_language(self, language: str) -> "OfLanguage":
        return OfLanguage(self, language)


class OfLanguage(Mapping):
    """The files of one language among a `Parsed`'s, looked up one at a
    time without a pass over them all (a resolver asks for the files it
    follows); results made here are kept by the `Parsed`."""

    def __init__(self, parsed: Parsed, language: str):
        self._parsed = parsed
        self._language = language

    def __getitem__(self, path: str):
        if _language(self._parsed._held[path]) != self._language:
            raise KeyError(path)
        return self._parsed[path]

    def __contains__(self, path) -> bool:
        held = self._parsed._held.get(path)
        return held is not None and _language(held) == self._language

    def __iter__(self):
        return (path for path, language in self._parsed.languages() if language == self._language)

    def __len__(self) -> int:
        return sum(1 for _ in self)


def paths_of(results):
    """The files of `results` (a `Parsed` or a plain dict) as a set-like view."""
    return results.paths() if isinstance(results, Parsed) else results.keys()


def languages(results):
    """(path, language) of each of `results`, without making the results
    not made yet."""
    if isinstance(results, Parsed):
        return results.languages()
    return ((path, result.language) for path, result in results.items())


def language_of(results, path: str) -> str:
    return results.language(path) if isinstance(results, Parsed) else results[path].language


def of_language(results, language: str) -> Mapping:
    """The files of `results` in `language`: for a `Parsed`, a view that
    looks each up when asked."""
    if isinstance(results, Parsed):
        return results.of_language(language)
    return {path: result for path, result in results.items() if result.language == language}
