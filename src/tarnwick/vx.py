"""Lexical retrieval over a project's code graph.

This module finds a project's code graph on disk, loads it, and ranks the
project's files for a free-text query.  It uses the standard library only.

Finding the project
-------------------
``load_graph()`` takes no root, so the project is chosen, in this order, by:

1. ``with project(root):``, for the calling thread inside the block; then
   ``set_project(root)``: a process-wide override (``set_project(None)``
   clears it).  The ``context-packer`` command sets it from its ROOT argument.
2. The environment variable ``TARNWICK_PROJECT`` (an empty value counts as
   unset; a relative path is taken against the current directory).
3. The nearest directory at or above the current working directory that
   contains ``.vestra/graph.json``.
4. Nothing: ``project_root()`` returns None.

A project (or no project) without a graph file yields the empty graph
``{"nodes": [], "edges": []}``.  A graph file that exists but cannot be read,
is not UTF-8, is not JSON or is not of the expected shape raises
``GraphError``, whose message is one line naming the file and the fault.

Graph shape
-----------
A JSON object whose "nodes" and "edges" are lists (a missing key reads as an
empty list).  Every node is an object with a string "id"; every edge is an
object with string "from", "to" and "rel".  File nodes have "kind" "file",
a "path" and a one-line "summary"; symbol nodes have "kind" "symbol", the
"path" of their file and a "name".  Other keys are kept as stored.

Ranking
-------
``retrieve(graph, query)`` ranks the graph's files with the search package
(``tarnwick.search``): BM25 over fielded documents of files (name, folders,
summary, defined names) and of symbols (name, class, parameters, docstring,
body words), identifiers indexed whole and split, an exact identifier in the
question weighted up, test files down-weighted unless the question is about
tests, and a small prior for files that many others import.  The search index
that ``tarnwick-index`` writes (``.vestra/search.db``) is used when it was
built from this very graph; otherwise the same ranking runs in memory over
the graph's paths, summaries and symbol names.  A damaged index is never
trusted: ranking falls back to memory and ``take_notes()`` returns one line
about it.

Each file entry is ``{"id", "score", "symbols"}``; "symbols" lists the best
matching symbols of the file (at most eight, best first) as ``{"id", "name",
"symbol_kind", "line_start", "line_end", "score"}`` with the graph's line
numbers.  Files scoring 0 are left out; equal scores are ordered by file id.
Edges are those touching a returned file (by its id, or a symbol id
``"<file>::..."`` inside it), best first: edges joining two different
returned files, then by relation (imports, calls, extends, implements,
requires, references, contains, then any other), then by the best rank of
the returned file they touch, then in graph order.

Intent
------
``classify_intent(query)`` names what the query asks for by keywords.  When
several kinds match, the first in this order wins: "fix", "refactor",
"test", "add", "explain"; with none, "other".  So "fix the failing test" is
"fix", "add tests for the parser" is "test", and "how do I add a command" is
"add".
"""

from __future__ import annotations

import contextlib
import json
import os
import threading
from pathlib import Path
from collections.abc import Iterator

from .collector import paused
from .datadir import is_inside, read_regular_file
from .search.tokens import STOP_WORDS, asks_for_tests, query_terms, stem, tokenize, words

__all__ = [
    "ENV_VAR",
    "GRAPH_RELPATH",
    "GraphError",
    "STOP_WORDS",
    "classify_intent",
    "defer_next_graph",
    "graph_path",
    "load_graph",
    "project",
    "project_root",
    "retrieve",
    "set_project",
    "stem",
    "take_notes",
    "tokenize",
]

ENV_VAR = "TARNWICK_PROJECT"
GRAPH_RELPATH = Path(".vestra") / "graph.json"
SEARCH_INDEX_RELPATH = Path(".vestra") / "search.db"
# A graph file larger than this is refused rather than read.
GRAPH_LIMIT = 1 << 31

_words = words  # the name the tests and older callers know

# Edge relations in the order they are worth showing; unknown ones go last.
REL_PRIORITY = {
    rel: i
    for i, rel in enumerate(
        ("imports", "calls", "extends", "implements", "requires", "references", "contains")
    )
}

_INTENT_KEYWORDS = (
    ("fix", "bug error fail failure crash broken fix wrong exception traceback"),
    ("refactor", "refactor rename clean cleanup simplify extract move reorganize restructure split"),
    ("test", "test tests pytest unittest coverage"),
    ("add", "add implement create support new introduce"),
    ("explain", "how what why explain where does understand describe"),
)


class GraphError(ValueError):
    """A graph file exists but cannot be used.

    ``str(error)`` is one line: ``"<path>: <what is wrong>"``.  The parts are
    kept as ``path`` and ``reason``.
    """

    def __init__(self, path: Path | str, reason: str) -> None:
        self.path = Path(path)
        self.reason = reason
        message = f"{path}: {reason}"
        super().__init__(message.replace("\r", "\\r").replace("\n", "\\n"))


# --------------------------------------------------------------------------
# Finding and loading the graph

_project_override: Path | None = None


def set_project(root: str | os.PathLike[str] | None) -> None:
    """Use ``root`` as the project for later ``load_graph()`` calls.

    A relative path is made absolute against the current directory now.
    ``None`` clears the override.
    """
    global _project_override
    _project_override = None if root is None else Path(root).absolute()


# The project of the calling thread's `project()` block, if any: a server answers
# questions about several projects at once, and one thread's choice is not another's.
_thread_project = threading.local()


@contextlib.contextmanager
def project(root: str | os.PathLike[str]) -> Iterator[None]:
    """Use ``root`` as the project of the calling thread inside a ``with``
    block (ahead of every other choice), then the choice made before it
    again."""
    previous = getattr(_thread_project, "root", None)
    _thread_project.root = Path(root).absolute()
    try:
        yield
    finally:
        _thread_project.root = previous


def project_root() -> Path | None:
    """Return the project directory chosen as described in the module docs."""
    chosen = getattr(_thread_project, "root", None)
    if chosen is not None:
        return chosen
    if _project_override is not None:
        return _project_override
    env = os.environ.get(ENV_VAR)
    if env:
        return Path(env).absolute()
    try:
        cwd = Path.cwd()
    except OSError:  # the working directory was removed
        return None
    for directory in (cwd, *cwd.parents):
        try:
            if (directory / GRAPH_RELPATH).exists():
                return directory
        except OSError:  # e.g. a directory we may not look into
            continue
    return None


def graph_path() -> Path | None:
    """Return the graph file of the chosen project (it need not exist)."""
    root = project_root()
    return None if root is None else root / GRAPH_RELPATH


def _json_type(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "a list"
    return "an object"


# Optional node fields the packer computes with: present means of this type (None allowed for
# "summary"), so a wrong value is named here instead of failing deep inside the packer.
_OPTIONAL_NODE_FIELDS = {
    "kind": (str,),
    "path": (str,),
    "name": (str,),
    "summary": (str, type(None)),
    "line_start": (int,),
    "line_end": (int,),
}


def _check_optional(path: Path, what: str, i: int, record: dict, optional: dict) -> None:
    for field, types in optional.items():
        if field in record:
            value = record[field]
            if not isinstance(value, types) or isinstance(value, bool):
                expected = "an integer" if types == (int,) else "a string"
                raise GraphError(path, f'{what} {i}: "{field}" must be {expected}, not {_json_type(value)}')


def _check_records(
    path: Path, graph: dict, key: str, what: str, fields: tuple[str, ...], optional: dict | None = None
) -> list:
    records = graph.get(key)
    if records is None and key not in graph:
        graph[key] = records = []
    if not isinstance(records, list):
        raise GraphError(path, f'"{key}" must be a list, not {_json_type(records)}')
    for i, record in enumerate(records):
        if not isinstance(record, dict):
            raise GraphError(path, f"{what} {i} must be an object, not {_json_type(record)}")
        for field in fields:
            if field not in record:
                raise GraphError(path, f'{what} {i} has no "{field}"')
            if not isinstance(record[field], str):
                raise GraphError(
                    path, f'{what} {i}: "{field}" must be a string, not {_json_type(record[field])}'
                )
        if optional:
            _check_optional(path, what, i, record, optional)
    return records


def _parse_graph(path: Path, data: bytes, index=None, info=None) -> dict:
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise GraphError(
            path, f"not valid UTF-8 (byte 0x{data[exc.start]:02x} at offset {exc.start})"
        ) from None
    try:
        with paused():
            graph = json.loads(text)
    except json.JSONDecodeError as exc:
        raise GraphError(
            path, f"not valid JSON (line {exc.lineno}, column {exc.colno}: {exc.msg})"
        ) from None
    except ValueError as exc:  # e.g. an integer beyond the conversion limit
        raise GraphError(path, f"not valid JSON ({exc})") from None
    except RecursionError:
        raise GraphError(path, "not valid JSON (nested too deeply)") from None
    if not isinstance(graph, dict):
        raise GraphError(path, f"top level must be an object, not {_json_type(graph)}")
    if (
        index is not None
        and index.vouches_for(info)
        and graph.get("generation") == index.meta.get("generation")
        and type(graph.get("nodes")) is list
        and type(graph.get("edges")) is list
    ):
        # The file is, by inode, size and time, the one the indexer wrote and
        # checked: no need to look at every record again.
        return graph
    _check_records(path, graph, "nodes", "node", ("id",), _OPTIONAL_NODE_FIELDS)
    _check_records(path, graph, "edges", "edge", ("from", "to", "rel"))
    return graph


def load_graph() -> dict:
    """Read the project's graph file afresh and return it as a plain dict.

    The dict has at least "nodes" and "edges" (lists of dicts, as stored).
    Without a project or without a graph file the result is the empty graph;
    so it is for a graph file that leads outside the project root.  Raises
    ``GraphError`` for a graph file that cannot be used.  See
    ``defer_next_graph()`` for the one exception to "whole".
    """
    defer = getattr(_waiting, "defer", False)
    _waiting.defer = False
    root = project_root()
    if root is None:
        return {"nodes": [], "edges": []}
    path = root / GRAPH_RELPATH
    try:
        if not os.path.lexists(path) or not is_inside(path, root):
            return {"nodes": [], "edges": []}
        index = _search_index(root)
        if index is not None and index.vouches_for(os.stat(path)):
            graph = _deferred_graph(index) if defer else None
            if graph is None:
                graph = _compact_graph(index)
            if graph is not None:
                return graph
        data, info = read_regular_file(path, GRAPH_LIMIT)
    except (FileNotFoundError, NotADirectoryError):
        return {"nodes": [], "edges": []}
    except OSError as exc:
        raise GraphError(path, f"cannot read file ({exc.strerror or exc})") from None
    return _parse_graph(path, data, index, info)


def _compact_graph(index) -> dict | None:
    """The graph from the search index's compact copy, or None (a damaged
    copy is noted and the graph file read instead)."""
    from .search.store import IndexProblem

    try:
        with paused():
            return index.graph()
    except IndexProblem as exc:
        _note(f"search index not used: {exc}")
        return None


# Per thread (a server may answer several questions at once): whether the
# next load_graph() defers, and the graph whose nodes and edges wait for its
# query as [graph, index, filled].
_waiting = threading.local()


def defer_next_graph() -> None:
    """Let the next ``load_graph()`` leave the nodes and edges of the graph
    to the ``retrieve()`` that follows it.

    For a process that runs one query and packs it, as the ``context-packer``
    command does: loading a whole large graph costs more than all the rest
    of such a query.  That ``load_graph()`` returns the graph's top-level
    keys with empty "nodes" and "edges"; ``retrieve(graph, ...)`` then fills
    them in, in graph order, with what the packer reads of the files it
    returns (the files' own nodes and the symbols in them) and with the
    edges touching those files.  A later ``retrieve()`` with the same graph
    first loads the rest of it.  Used only when the search index vouches for
    the graph file; otherwise the graph is loaded whole as usual.  Holds for
    the calling thread only.
    """
    _waiting.defer = True


def _deferred_graph(index) -> dict | None:
    from .search.store import IndexProblem

    try:
        graph = index.graph_top()
    except IndexProblem as exc:
        _note(f"search index not used: {exc}")
        return None
    if graph is not None:
        _waiting.graph = [graph, index, False]
    return graph


def _fill_deferred(graph: dict, files: list, index) -> list:
    """Put the nodes and edges of ``files`` into the waiting ``graph``;
    return the edges as (position, edge) pairs."""
    numbers = index.file_numbers(entry["id"] for entry in files)
    nodes, edges = index.graph_part(numbers) if numbers else ([], [])
    graph["nodes"] = [node for _, node in nodes]
    graph["edges"] = [edge for _, edge in edges]
    return edges


# --------------------------------------------------------------------------
# Intent

_INTENTS = tuple((name, frozenset(stem(w) for w in words.split())) for name, words in _INTENT_KEYWORDS)


def classify_intent(query: str) -> str:
    """Return "fix", "refactor", "test", "add", "explain" or "other"."""
    terms = {stem(w) for w in words(query)}
    for name, keywords in _INTENTS:
        if terms & keywords:
            return name
    return "other"


# --------------------------------------------------------------------------
# Notes for the user

# Per thread: a server answers several questions at once, and each answer
# carries the remarks about its own queries.
_notes = threading.local()


def _note(text: str) -> None:
    gathered = getattr(_notes, "lines", None)
    if gathered is None:
        gathered = _notes.lines = []
    if text not in gathered:
        gathered.append(text)


def take_notes() -> list[str]:
    """One-line remarks gathered by the calling thread since its last call
    (for example a search index that could not be used), for a command to
    show; clears them."""
    taken = getattr(_notes, "lines", None) or []
    _notes.lines = []
    return taken


# --------------------------------------------------------------------------
# Retrieval

# Per thread, the open search indexes by project root, each kept while its file is unchanged.
# A thread reads only through connections it opened itself, so a search.db replaced by an
# indexing run is reopened by each thread for itself, and no connection is ever closed under
# a query another thread is running on it.  An index dropped from here is closed when the
# last query holding it lets go of it.
_open_indexes = threading.local()
INDEXES_PER_THREAD = 4


def _search_index(root: Path | None):
    """The usable search index of ``root``, or None (missing or unusable; the
    reason for an unusable one is noted)."""
    if root is None:
        return None
    path = root / SEARCH_INDEX_RELPATH
    try:
        real = os.path.realpath(path)
        info = os.stat(real)
    except OSError:
        return None
    key = (real, (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns))
    cache = getattr(_open_indexes, "by_root", None)
    if cache is None:
        cache = _open_indexes.by_root = {}
    held = cache.pop(root, None)
    if held is not None and held[0] == key:
        cache[root] = held  # most recently used last
        return held[1]
    from .search.store import IndexCorpus, IndexProblem

    try:
        index = IndexCorpus(root, str(path))
    except IndexProblem as exc:
        _note(f"search index not used: {exc}")
        index = None
    cache[root] = (key, index)
    while len(cache) > INDEXES_PER_THREAD:
        del cache[next(iter(cache))]
    return index


def _base_file(node_id: object) -> str | None:
    if not isinstance(node_id, str):
        return None
    return node_id.split("::", 1)[0]


def _select_edges(edges, rank: dict[str, int], limit: int) -> list[dict]:
    """The ``limit`` best of the (position, edge) pairs ``edges``."""
    chosen = []
    for position, edge in edges:
        if not isinstance(edge, dict):
            continue
        src, dst = _base_file(edge.get("from")), _base_file(edge.get("to"))
        touched = [rank[f] for f in (src, dst) if f in rank]
        if not touched:
            continue
        between = len(touched) == 2 and src != dst
        rel = edge.get("rel")
        rel_order = REL_PRIORITY.get(rel, len(REL_PRIORITY)) if isinstance(rel, str) else len(REL_PRIORITY)
        chosen.append(((not between, rel_order, min(touched), position), edge))
    chosen.sort(key=lambda item: item[0])
    return [dict(edge) for _, edge in chosen[:limit]]


def _index_trouble(index, exc: Exception) -> None:
    from .search.store import IndexProblem

    if isinstance(exc, IndexProblem):
        _note(f"search index not used: {exc}")
    else:
        _note(f"search index not used: {index.path}: damaged ({exc}); run tarnwick-index again")


def _rank(graph: dict, terms: dict, top_files: int, tests: tuple) -> tuple[list, object]:
    """File entries from the project's search index when it was built from
    ``graph``, else from a corpus built in memory; and the index used."""
    from .search.rank import rank

    index = _search_index(project_root())
    if index is not None and index.belongs_to(graph):
        try:
            return rank(index, terms, top_files, *tests), index
        except Exception as exc:  # a damaged index must never end the query
            _index_trouble(index, exc)
    from .search.build import corpus_from_graph

    corpus, _ = corpus_from_graph(graph)
    return rank(corpus, terms, top_files, *tests), None


def _edges_near(graph: dict, files: list, index) -> list:
    """(position, edge) of the graph's edges that may touch ``files``: from
    the index when it was used, else all of them."""
    edges = graph.get("edges") or ()
    if index is not None and isinstance(edges, list):
        try:
            positions = sorted(index.edge_positions(index.file_numbers(entry["id"] for entry in files)))
            return [(p, edges[p]) for p in positions if p < len(edges)]
        except Exception as exc:
            _index_trouble(index, exc)
    return enumerate(edges)


def _waiting_index(graph: dict):
    """The index of ``graph`` when its nodes and edges wait for this query
    (`defer_next_graph`); a graph filled by an earlier query gets the rest of
    itself first."""
    waiting = getattr(_waiting, "graph", None)
    if waiting is None or waiting[0] is not graph:
        return None
    if not waiting[2]:
        waiting[2] = True
        return waiting[1]
    _load_rest(graph)
    return None


def _load_rest(graph: dict) -> None:
    _waiting.graph = None
    graph.update(load_graph())


def retrieve(graph: dict, query: str, top_files: int = 8, top_edges: int = 40) -> dict:
    """Rank the graph's files for ``query`` and pick the edges around them.

    Returns ``{"files": [{"id", "score", "symbols"}, ...], "edges": [...],
    "intent": classify_intent(query)}``: at most ``top_files`` files, best
    first, and at most ``top_edges`` edges (copies of the graph's edge
    dicts).  Missing "nodes" or "edges" keys read as empty lists.
    """
    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__}")
    top_files = max(int(top_files), 0)
    top_edges = max(int(top_edges), 0)
    graph = graph or {}
    intent = classify_intent(query)
    files: list[dict] = []
    edges: list[dict] = []
    terms = query_terms(query)
    # "the tests fail when ..." reports a fault of the code, not a wish for tests.
    wants_tests = intent != "fix" and asks_for_tests(query)
    tests = (intent == "test" or wants_tests, wants_tests)
    index = _waiting_index(graph)
    if index is not None:
        from .search.rank import rank

        try:
            if top_files and terms:
                files = rank(index, terms, top_files, *tests)
            near = _fill_deferred(graph, files, index)
        except Exception as exc:  # a damaged index must never end the query
            _index_trouble(index, exc)
            _load_rest(graph)
            index = None
    if index is None and top_files and terms:
        files, index = _rank(graph, terms, top_files, tests)
        near = _edges_near(graph, files, index) if files else ()
    if top_edges and files:
        rank_of = {entry["id"]: i for i, entry in enumerate(files)}
        edges = _select_edges(near, rank_of, top_edges)
    return {"files": files, "edges": edges, "intent": intent}
