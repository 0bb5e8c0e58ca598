"""Lexical retrieval over a project's code graph.

This module finds a project's code graph on disk, loads it, and ranks the
project's files for a free-text query.  It uses the standard library only.

Finding the project
-------------------
``load_graph()`` takes no root, so the project is chosen, in this order, by:

1. ``set_project(root)``: a process-wide override (``set_project(None)``
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
``retrieve(graph, query)`` scores every file node with Okapi BM25
(k1 = 1.2, b = 0.75) over one document per file, made of:

* the tokens of the file's path, counted twice (the path says the most),
* the names of the file's symbol nodes,
* the file node's summary.

Text is tokenised by splitting at anything that is not a letter or digit,
at underscores, at digit runs and at ASCII case changes (``parseJSON2Dict``
gives parse, json, 2, dict; ``HTTPServer`` gives http, server), then
lower-cased.  A small list of stop words (``STOP_WORDS``) is dropped, and a
light suffix stemmer (``stem``) folds common English endings so that related
forms meet: plurals (-s, -es, -ies), then -ing and -ed, then -er, then a
final -e.  Thus escape, escapes, escaping and escaped all become "escap", and
encode, encoder, encoders and encoding all become "encod".  Suffixes are only
removed when at least three letters remain, so short words (use, user, add)
are left alone.  Each distinct query term counts once.

Files scoring 0 are left out; equal scores are ordered by file id.  Edges are
those touching a returned file (by its id, or a symbol id ``"<file>::..."``
inside it), best first: edges joining two different returned files, then by
relation (imports, calls, extends, implements, requires, references,
contains, then any other), then by the best rank of the returned file they
touch, then in graph order.

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
import functools
import json
import math
import os
import re
from pathlib import Path
from typing import Any, Iterable, Iterator

__all__ = [
    "ENV_VAR",
    "GRAPH_RELPATH",
    "GraphError",
    "STOP_WORDS",
    "classify_intent",
    "graph_path",
    "load_graph",
    "project",
    "project_root",
    "retrieve",
    "set_project",
    "stem",
    "tokenize",
]

ENV_VAR = "TARNWICK_PROJECT"
GRAPH_RELPATH = Path(".vestra") / "graph.json"

BM25_K1 = 1.2
BM25_B = 0.75
PATH_WEIGHT = 2.0
SYMBOL_WEIGHT = 1.0
SUMMARY_WEIGHT = 1.0

STOP_WORDS = frozenset(
    """a an the and or of to in on at by for from with as into about
    is are was were be been it its this that these those there here
    how what where when why which who whom does do did doing done
    i me my we our you your can could should would will shall
    please""".split()
)

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
    ("test", "test pytest unittest coverage"),
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


@contextlib.contextmanager
def project(root: str | os.PathLike[str]) -> Iterator[None]:
    """Use ``root`` as the project inside a ``with`` block, then the choice
    made before it again."""
    global _project_override
    previous = _project_override
    set_project(root)
    try:
        yield
    finally:
        _project_override = previous


def project_root() -> Path | None:
    """Return the project directory chosen as described in the module docs."""
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


def _json_type(value: Any) -> str:
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


def _parse_graph(path: Path, data: bytes) -> dict:
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise GraphError(
            path, f"not valid UTF-8 (byte 0x{data[exc.start]:02x} at offset {exc.start})"
        ) from None
    try:
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
    _check_records(path, graph, "nodes", "node", ("id",), _OPTIONAL_NODE_FIELDS)
    _check_records(path, graph, "edges", "edge", ("from", "to", "rel"))
    return graph


def load_graph() -> dict:
    """Read the project's graph file afresh and return it as a plain dict.

    The dict has at least "nodes" and "edges" (lists of dicts, as stored).
    Without a project or without a graph file the result is the empty graph.
    Raises ``GraphError`` for a graph file that cannot be used.
    """
    path = graph_path()
    if path is None:
        return {"nodes": [], "edges": []}
    try:
        data = path.read_bytes()
    except (FileNotFoundError, NotADirectoryError):
        return {"nodes": [], "edges": []}
    except OSError as exc:
        raise GraphError(path, f"cannot read file ({exc.strerror or exc})") from None
    return _parse_graph(path, data)


# --------------------------------------------------------------------------
# Text analysis

# An ASCII upper-case run not followed by a lower-case letter (HTTP in
# HTTPServer), an optionally capitalised word, or a digit run.  "Lower-case"
# here is any letter except A-Z, so non-ASCII words stay whole.
_TOKEN_RE = re.compile(r"[A-Z]+(?![^\W\d_A-Z])|[A-Z]?[^\W\d_A-Z]+|\d+")


def _words(text: str) -> list[str]:
    return [w.lower() for w in _TOKEN_RE.findall(text)]


@functools.lru_cache(maxsize=1 << 16)
def stem(word: str) -> str:
    """Fold common English endings of a lower-case word (see module docs)."""
    if len(word) <= 3 or not word.isalpha():
        return word
    if word.endswith("ies") and len(word) > 4:
        word = word[:-3] + "y"
    elif word.endswith(("sses", "ches", "shes", "xes")):
        word = word[:-2]
    elif word.endswith("s") and not word.endswith(("ss", "us", "is")):
        word = word[:-1]
    for suffixes in (("ing", "ed"), ("er",)):
        for suffix in suffixes:
            if word.endswith(suffix) and len(word) - len(suffix) >= 3 and not word.endswith("eed"):
                word = word[: -len(suffix)]
                # running -> run, mapped -> map; but keep add, call, pass.
                if len(word) >= 4 and word[-1] == word[-2] and word[-1] not in "aeioulsz":
                    word = word[:-1]
                break
    if word.endswith("e") and len(word) > 3:
        word = word[:-1]
    return word


def tokenize(text: str) -> list[str]:
    """Split ``text`` into lower-case, stemmed terms without stop words."""
    return [stem(w) for w in _words(text) if w not in STOP_WORDS]


# --------------------------------------------------------------------------
# Intent

_INTENTS = tuple((name, frozenset(stem(w) for w in words.split())) for name, words in _INTENT_KEYWORDS)


def classify_intent(query: str) -> str:
    """Return "fix", "refactor", "test", "add", "explain" or "other"."""
    terms = {stem(w) for w in _words(query)}
    for name, keywords in _INTENTS:
        if terms & keywords:
            return name
    return "other"


# --------------------------------------------------------------------------
# Retrieval


def _base_file(node_id: Any) -> str | None:
    if not isinstance(node_id, str):
        return None
    return node_id.split("::", 1)[0]


def _documents(nodes: Iterable[Any]) -> dict[str, dict[str, float]]:
    """Build the weighted term counts of one document per file node."""
    docs: dict[str, dict[str, float]] = {}
    path_to_id: dict[str, str] = {}
    symbols: list[dict] = []

    def add(doc: dict[str, float], text: Any, weight: float) -> None:
        if isinstance(text, str):
            for term in tokenize(text):
                doc[term] = doc.get(term, 0.0) + weight

    for node in nodes:
        if not isinstance(node, dict):
            continue
        kind = node.get("kind")
        if kind == "symbol":
            symbols.append(node)
            continue
        fid = node.get("id")
        if kind != "file" or not isinstance(fid, str) or not fid:
            continue
        path = node.get("path")
        if not isinstance(path, str) or not path:
            path = fid
        doc = docs.setdefault(fid, {})
        path_to_id.setdefault(path, fid)
        add(doc, path, PATH_WEIGHT)
        add(doc, node.get("summary"), SUMMARY_WEIGHT)

    for node in symbols:
        path = node.get("path")
        if not isinstance(path, str):
            path = _base_file(node.get("id"))
        fid = path_to_id.get(path) if path else None
        if fid is None:
            continue
        name = node.get("name")
        if not isinstance(name, str):
            sid = node.get("id")
            name = sid.split("::", 1)[1] if isinstance(sid, str) and "::" in sid else None
        add(docs[fid], name, SYMBOL_WEIGHT)
    return docs


def _rank_files(docs: dict[str, dict[str, float]], terms: set[str]) -> list[tuple[float, str]]:
    n = len(docs)
    if not n or not terms:
        return []
    lengths = {fid: sum(doc.values()) for fid, doc in docs.items()}
    avgdl = sum(lengths.values()) / n or 1.0
    idf = {}
    for term in terms:
        df = sum(1 for doc in docs.values() if term in doc)
        if df:
            idf[term] = math.log(1.0 + (n - df + 0.5) / (df + 0.5))
    ranked = []
    for fid, doc in docs.items():
        norm = BM25_K1 * (1.0 - BM25_B + BM25_B * lengths[fid] / avgdl)
        score = 0.0
        for term, weight in idf.items():
            tf = doc.get(term)
            if tf:
                score += weight * tf * (BM25_K1 + 1.0) / (tf + norm)
        if score > 0.0:
            ranked.append((score, fid))
    ranked.sort(key=lambda item: (-item[0], item[1]))
    return ranked


def _select_edges(edges: Iterable[Any], rank: dict[str, int], limit: int) -> list[dict]:
    chosen = []
    for position, edge in enumerate(edges):
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


def retrieve(graph: dict, query: str, top_files: int = 8, top_edges: int = 40) -> dict:
    """Rank the graph's files for ``query`` and pick the edges around them.

    Returns ``{"files": [{"id": ..., "score": ...}, ...], "edges": [...],
    "intent": classify_intent(query)}``: at most ``top_files`` files, best
    first, and at most ``top_edges`` edges (copies of the graph's edge
    dicts).  Missing "nodes" or "edges" keys read as empty lists.
    """
    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__}")
    top_files = max(int(top_files), 0)
    top_edges = max(int(top_edges), 0)
    graph = graph or {}
    files: list[dict] = []
    edges: list[dict] = []
    terms = set(tokenize(query))
    if top_files and terms:
        ranked = _rank_files(_documents(graph.get("nodes") or ()), terms)[:top_files]
        files = [{"id": fid, "score": score} for score, fid in ranked]
        if top_edges and files:
            rank = {entry["id"]: i for i, entry in enumerate(files)}
            edges = _select_edges(graph.get("edges") or (), rank, top_edges)
    return {"files": files, "edges": edges, "intent": classify_intent(query)}
