"""Loading the project's code graph: `load_graph`, its checks, and the
deferred graph of a one-query process.

Graph shape
-----------
A JSON object whose "nodes" and "edges" are lists (a missing key reads as an
empty list).  Every node is an object with a string "id"; every edge is an
object with string "from", "to" and "rel".  File nodes have "kind" "file",
a "path" and a one-line "summary"; symbol nodes have "kind" "symbol", the
"path" of their file and a "name".  Other keys are kept as stored.

Loading
-------
The project is the one `tarnwick.project` finds.  A graph file that exists
but cannot be read, is not UTF-8, is not JSON or is not of the expected
shape raises ``GraphError``, whose message is one line naming the file and
the fault.  When the search index vouches for the graph file, its compact
copy is read instead.

An index may have no graph file at all: its search index holds the only
copy.  Without a graph file, the graph is the search index's compact copy
when the index is usable and of the run the manifest names (the same
generation), and the copy's own generation is that run's too.  Otherwise
(no project, nothing indexed, no usable manifest, no usable search index,
one of another run, a damaged copy) it is the empty graph
``{"nodes": [], "edges": []}``, and why (where there is an index to speak
of) is noted as for a search index that could not be used.
"""

from __future__ import annotations

import json
import os
import threading
from pathlib import Path

from .collector import paused
from .datadir import DATA_DIR, GRAPH_LIMIT, MANIFEST_NAME, is_inside, read_manifest, read_regular_file, real_path
from .errors import GraphError
from .project import GRAPH_RELPATH, note, project_root
from .wording import INDEX_AGAIN

__all__ = ["DeferredGraph", "GraphError", "defer_next_graph", "load_graph", "search_index"]

SEARCH_INDEX_RELPATH = Path(DATA_DIR) / "search.db"


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


def load_graph(*, warnings: list | None = None) -> dict:
    """Read the project's graph file afresh and return it as a plain dict.

    The dict has at least "nodes" and "edges" (lists of dicts, as stored).
    Without a project the result is the empty graph; so it is for a graph
    file that leads outside the project root.  Without a graph file it is
    the search index's copy of the graph, or the empty graph (see the module
    docs).  Raises ``GraphError`` for a graph file that cannot be used.  See
    ``defer_next_graph()`` for the one exception to "whole".  Why a search
    index was not used goes to ``warnings`` (without it, to `take_notes`).
    """
    defer = getattr(_waiting, "defer", False)
    _waiting.defer = False
    root = project_root()
    if root is None:
        return {"nodes": [], "edges": []}
    path = root / GRAPH_RELPATH
    try:
        if not os.path.lexists(path):
            return _indexed_graph(root, defer, warnings)
        if not is_inside(path, root):
            return {"nodes": [], "edges": []}
        index = search_index(root, warnings=warnings, renew=True)
        if index is not None and index.vouches_for(os.stat(path)):
            graph = _deferred_graph(index, warnings) if defer else None
            if graph is None:
                graph = _compact_graph(index, warnings)
            if graph is not None:
                return graph
        data, info = read_regular_file(path, GRAPH_LIMIT)
    except FileNotFoundError:  # a link to nothing, or removed meanwhile: no graph file
        return _indexed_graph(root, defer, warnings)
    except NotADirectoryError:
        return {"nodes": [], "edges": []}
    except OSError as exc:
        raise GraphError(path, f"cannot read file ({exc.strerror or exc})") from None
    return _parse_graph(path, data, index, info)


def _indexed_graph(root: Path, defer: bool, warnings: list | None) -> dict:
    """The graph of an index without a graph file: the search index's
    compact copy when the index is of the run the manifest names, else the
    empty graph and a note saying why."""
    empty = {"nodes": [], "edges": []}
    data_dir = root / DATA_DIR
    manifest = read_manifest(root)
    generation = manifest.get("generation") if manifest is not None else None
    if type(generation) is not str:
        if os.path.lexists(data_dir / MANIFEST_NAME) or os.path.lexists(root / SEARCH_INDEX_RELPATH):
            # An index is there, but nothing tells which run's graph to answer from.
            note(f"{data_dir}: no graph to answer from (no usable {MANIFEST_NAME}); {INDEX_AGAIN}", warnings)
        return empty
    index, problem = open_search_index(root, renew=True)
    if index is None:
        note(problem or f"{data_dir}: no graph to answer from (no search index); {INDEX_AGAIN}", warnings)
        return empty
    if index.meta.get("generation") != generation:
        note(f"{data_dir}: no graph to answer from (search.db is not from the indexing run that wrote {MANIFEST_NAME}); {INDEX_AGAIN}", warnings)
        return empty
    from .search.store import IndexProblem

    try:
        with paused():
            graph = index.graph_top() if defer else index.graph()
    except IndexProblem as exc:
        note(f"search index not used: {exc}", warnings)
        return empty
    why = None
    if graph is None:
        why = "search.db holds no copy of it"
    elif graph.get("generation") != generation:
        why = "the search index's copy is of another run"
    if why is not None:
        note(f"{data_dir}: no graph to answer from ({why}); {INDEX_AGAIN}", warnings)
        return empty
    if defer:
        _waiting.graph = DeferredGraph(graph, index)
    return graph


def _compact_graph(index, warnings: list | None) -> dict | None:
    """The graph from the search index's compact copy, or None (a damaged
    copy is noted and the graph file read instead)."""
    from .search.store import IndexProblem

    try:
        with paused():
            return index.graph()
    except IndexProblem as exc:
        note(f"search index not used: {exc}", warnings)
        return None


# Per thread, the open search indexes by project root, each kept while its file is unchanged.
# A thread reads only through connections it opened itself, so a search.db replaced by an
# indexing run is reopened by each thread for itself, and no connection is ever closed under
# a query another thread is running on it.  An index dropped from here is closed when the
# last query holding it lets go of it.
_open_indexes = threading.local()
INDEXES_PER_THREAD = 4


def search_index(root: Path | None, *, warnings: list | None = None, renew: bool = False):
    """The usable search index of ``root``, or None (missing or unusable;
    why one is unusable goes to ``warnings``, else to `take_notes`).  With
    ``renew`` (a question begins) it is read as last committed."""
    index, problem = open_search_index(root, renew)
    if problem is not None:
        note(problem, warnings)  # each answer says why it ranked without the index
    return index


def open_search_index(root: Path | None, renew: bool = False) -> tuple:
    """(the usable search index of ``root`` or None, why it is unusable or
    None).  The readers that follow `load_graph` use it: that load has
    already said why an index was not used.  An index kept open is read on
    the snapshot its question began with, a new one taken when ``renew``
    or after `release_search_indexes`."""
    if root is None:
        return None, None
    path = root / SEARCH_INDEX_RELPATH
    try:
        real = real_path(path)
        info = os.stat(real)
    except OSError:
        return None, None
    key = (real, (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns))
    cache = getattr(_open_indexes, "by_root", None)
    if cache is None:
        cache = _open_indexes.by_root = {}
    held = cache.pop(root, None)
    if held is not None and held[0] == key and (held[1] is None or _current(held[1], renew)):
        cache[root] = held  # most recently used last
        return held[1], held[2]
    from .search.reader import IndexCorpus
    from .search.store import IndexProblem

    problem = None
    try:
        index = IndexCorpus(root, str(path))
    except IndexProblem as exc:
        problem = f"search index not used: {exc}"
        index = None
    cache[root] = (key, index, problem)
    while len(cache) > INDEXES_PER_THREAD:
        del cache[next(iter(cache))]
    return index, problem


def _current(index, renew: bool) -> bool:
    """True when ``index`` may go on serving: on its snapshot, or on a new
    one when asked and nothing changed since it was opened."""
    if index.db.in_transaction and not renew:
        return True
    return index.renew()


def release_search_indexes() -> None:
    """End the snapshots of the search indexes this thread keeps open, as a
    long-lived process does after each question: a snapshot held while it
    waits would keep the indexer from emptying its log."""
    for _, index, _ in getattr(_open_indexes, "by_root", {}).values():
        if index is not None:
            index.release()


class DeferredGraph:
    """A graph whose nodes and edges wait for the query that follows its
    load: the ``graph`` handed out (top-level keys only), the search
    ``index`` that holds the rest, and whether a query has ``filled`` it."""

    # A plain class: a one-query process would pay more for importing
    # dataclasses than for the rest of its graph load.
    __slots__ = ("graph", "index", "filled")

    def __init__(self, graph: dict, index, filled: bool = False) -> None:
        self.graph = graph
        self.index = index
        self.filled = filled


# Per thread (a server may answer several questions at once): whether the
# next load_graph() defers (`defer`), and the DeferredGraph waiting for its
# query (`graph`).
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


def _deferred_graph(index, warnings: list | None) -> dict | None:
    from .search.store import IndexProblem

    try:
        graph = index.graph_top()
    except IndexProblem as exc:
        note(f"search index not used: {exc}", warnings)
        return None
    if graph is not None:
        _waiting.graph = DeferredGraph(graph, index)
    return graph


def fill_deferred(graph: dict, files: list, index) -> list:
    """Put the nodes and edges of ``files`` into the waiting ``graph``;
    return the edges as (key, edge) pairs, keys in graph order."""
    file_ids = [entry["id"] for entry in files]
    nodes, edges = index.graph_part(file_ids) if file_ids else ([], [])
    graph["nodes"] = nodes
    graph["edges"] = [edge for _, edge in edges]
    return edges


def waiting_index(graph: dict, warnings: list | None = None):
    """The index of ``graph`` when its nodes and edges wait for this query
    (`defer_next_graph`); a graph filled by an earlier query gets the rest of
    itself first."""
    waiting = getattr(_waiting, "graph", None)
    if waiting is None or waiting.graph is not graph:
        return None
    if not waiting.filled:
        waiting.filled = True
        return waiting.index
    load_rest(graph, warnings)
    return None


def load_rest(graph: dict, warnings: list | None = None) -> None:
    """Load the rest of a deferred ``graph`` into it, whole."""
    _waiting.graph = None
    graph.update(load_graph(warnings=warnings))
