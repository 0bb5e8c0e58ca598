"""Which files a run takes over from the cache as the last run left them,
and which it parses again.

Two ways to the same answer.  `by_heads` reads every row's head in one
pass.  `by_stamps` serves a run whose walk vouched for all but a few files
and whose files are those of the cache's rows: only the heads of the files
that changed are read now; the last run's figures, less what those files
counted, give the run's own; the others' heads are read when a file is
looked at (`Parsed`), and their digests likewise (`RowValues`).  A row read
later whose head does not hold raises `UnsoundRow` before anything is
written, and the run starts again reading every head first, which parses
that file again.
"""

from __future__ import annotations

from bisect import bisect_left
from collections.abc import MutableMapping
from dataclasses import dataclass, field
from operator import attrgetter

from .cache import DamagedCache

# Past this many changed files, reading every head in one pass costs less.
STAMPS_MOST = 1024


class UnsoundRow(DamagedCache):
    """The head of a file taken over by `by_stamps`, read when asked for,
    does not hold (or is not of the file's language)."""


@dataclass
class TakeOver:
    """The files to parse again (`todo`, walk entries) and, of the others:
    `taken`, path -> its head fields or only its language (see `Parsed`),
    for those that parsed; `digests` and `docs`, path -> its digest and
    that of its search documents' text; `linked`, those whose edges the
    cache keeps; `tallies`, (counts, files) pairs whose sum is the
    project's counts, the changed files' last counts taken back with a
    negative number of files; `head(path, language)` reads a file's head
    fields for `Parsed`, or None."""

    todo: list = field(default_factory=list)
    taken: dict = field(default_factory=dict)
    digests: object = field(default_factory=dict)
    docs: object = field(default_factory=dict)
    linked: set = field(default_factory=set)
    tallies: list = field(default_factory=list)
    head: object = None


def by_heads(cache, sources: list, changed: set, stats) -> TakeOver:
    """Every row's head read in one pass; files of the same shape share
    their fields (the counts are summed per shape)."""
    out = TakeOver()
    todo, taken, linked = out.todo, out.taken, out.linked
    kept_docs, digests = out.docs, out.digests
    shapes = {}  # id of shared head fields -> [those fields, how many files have them]
    heads = cache.reuse_all()
    for source in sources:
        rel = source.rel
        reused = heads.pop(rel, None)
        if reused is None or rel in changed or reused[0]["language"] != source.language:
            todo.append(source)
            continue
        fields, is_linked, kept_docs[rel], digests[rel] = reused
        if is_linked:
            linked.add(rel)
        error = fields["error"]
        if error is not None:
            stats.unparsable.append((rel, error))
            continue
        taken[rel] = fields
        if fields["partial"]:
            stats.partial.append(rel)
        shape = shapes.get(id(fields))
        if shape is None:
            shapes[id(fields)] = [fields, 1]
        else:
            shape[1] += 1
    out.tallies = [(fields["counts"], files) for fields, files in shapes.values()]
    stats.reused = len(digests)
    stats.unchanged = len(taken)
    return out


def by_stamps(cache, sources: list, rels: list, current: set, changed: set, stats, listing_kept: bool) -> TakeOver | None:
    """The take-over of a run whose files (`rels`, the paths of `sources`
    in order, `current` as a set) are those of the cache's rows and few of which changed, reading the
    heads of those alone; None when that does not hold, or the last run's
    figures do not add up (then `by_heads`).  `listing_kept`: the walk took
    every folder's listing from its state, so its files are the last run's."""
    if cache.db.fresh or len(changed) > STAMPS_MOST:
        return None
    figures = _figures(cache.run)
    if figures is None:
        return None
    counts, unparsable, partial = figures
    if not cache.rows_are(current, listing_kept):
        return None
    if not unparsable.keys() <= current or not partial <= current:
        return None
    files, nodes = cache.run["files"], cache.run["nodes"]
    if files + len(unparsable) != len(current) or nodes < len(current):
        return None
    # The project's counts of the last run, less those of the changed files.
    tallies = [((*counts, nodes - len(current)), 1)]
    todo = []
    for source in sources_of(sources, changed):
        found = cache.head_of(source.rel)
        if found is None or found[0]["language"] != source.language:
            return None
        fields = found[0]
        if (fields["error"] is None) != (source.rel not in unparsable) or bool(fields["partial"]) != (source.rel in partial):
            return None
        if fields["error"] is None:
            tallies.append((fields["counts"], -1))
        todo.append(source)
    cache.rows_taken_as(current)
    out = TakeOver(todo=todo, tallies=tallies)
    reused = current - changed
    stats.unparsable.extend((rel, error) for rel, error in unparsable.items() if rel not in changed)
    stats.partial.extend(rel for rel in partial if rel not in changed)
    # Each file's language as the walk gave it; its head is read when asked for.
    taken = out.taken = dict(zip(rels, map(attrgetter("language"), sources)))
    for rel in changed.union(unparsable):
        taken.pop(rel, None)
    out.digests = RowValues(reused, lambda rel: _head(cache, rel)[3])
    out.docs = RowValues(reused.copy(), lambda rel: _head(cache, rel)[2])
    # A run resolves every file it parses and keeps its links; only a file
    # that did not parse has none.  (A row that breaks this fails as its
    # links are read, and the run starts again from scratch.)
    out.linked = reused.difference(unparsable)
    out.head = lambda rel, language: _fields(cache, rel, language)
    stats.reused = len(reused)
    stats.unchanged = len(taken)
    return out


def sources_of(sources: list, wanted: set) -> list:
    """The entries of `sources` (walk entries) whose paths are `wanted`:
    found by bisection in path order, the walk's own; else by a pass, in
    the order of `sources`."""
    out = []
    rel_of = attrgetter("rel")
    for rel in sorted(wanted):
        at = bisect_left(sources, rel, key=rel_of)
        if at == len(sources) or sources[at].rel != rel:
            return [source for source in sources if source.rel in wanted]
        out.append(sources[at])
    return out


def _figures(run: dict):
    """(functions, methods, classes), unparsable files (path -> error) and
    partial files of the last run's record, or None when not of our shape."""
    names = ("files", "functions", "methods", "classes", "nodes")
    if not all(type(run.get(name)) is int and run[name] >= 0 for name in names):
        return None
    unparsable, partial = run.get("unparsable"), run.get("partial")
    if not (isinstance(unparsable, list) and isinstance(partial, list)):
        return None
    if not all(isinstance(item, list) and len(item) == 2 and all(type(v) is str for v in item) for item in unparsable):
        return None
    if not all(type(path) is str for path in partial):
        return None
    return (run["functions"], run["methods"], run["classes"]), dict(unparsable), set(partial)


def _head(cache, rel: str) -> tuple:
    found = cache.head_of(rel)
    if found is None:
        raise UnsoundRow(f"the cache entry of {rel} is damaged")
    return found


def _fields(cache, rel: str, language: str) -> dict:
    fields = _head(cache, rel)[0]
    if fields["language"] != language or fields["error"] is not None:
        raise UnsoundRow(f"the cache entry of {rel} is damaged")
    return fields


class RowValues(MutableMapping):
    """path -> a value of its cache row (`read(path)`), for the files
    taken over, read when first asked for; values set are held as given."""

    def __init__(self, paths: set, read):
        self._paths = paths
        self._read = read
        self._values = {}

    def __getitem__(self, path):
        try:
            return self._values[path]
        except KeyError:
            if path not in self._paths:
                raise
        value = self._values[path] = self._read(path)
        return value

    def __setitem__(self, path, value) -> None:
        self._paths.add(path)
        self._values[path] = value

    def __delitem__(self, path) -> None:
        self._paths.remove(path)
        self._values.pop(path, None)

    def __contains__(self, path) -> bool:
        return path in self._paths  # not read to be told

    def __iter__(self):
        return iter(self._paths)

    def __len__(self) -> int:
        return len(self._paths)
