"""The focused pipeline: a question becomes a context block whose Key Code and
Recommended Reads hold the functions that answer it.

    with vx.project(root):
        graph = vx.load_graph()
        result = vx.retrieve(graph, query)      # files, each with its matching symbols
    view = focus_summaries(summaries, ...)      # per-query view of the summary store
    block = context_packer.pack(result, view, graph, root, token_budget)

The packer excerpts the first three entries of each chosen file's "functions"
map, which the store keeps in source order.  The view puts the best-matching
functions, methods (as ``Class.method``) and classes of each chosen file first,
and drops the entries that an excerpt already shows (a method inside a chosen
class).  Every other record is the stored one, and the store on disk is never
touched: the block keeps the packer's own format and budget rules.

When a retrieval result carries no per-file ``"symbols"`` (one made by another
retrieval step), the matches are scored here from the graph's symbol nodes of
the chosen files.
"""

from __future__ import annotations

import itertools
import math
import os
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from . import vx
from .datadir import DATA_DIR, GRAPH_NAME, mixed_set_problem

__all__ = [
    "DamagedIndexError",
    "FocusedContext",
    "NoIndexError",
    "build",
    "build_result",
    "find_root",
    "files_json",
    "focus_summaries",
    "match_symbols",
    "resolve_root",
    "search",
    "symbol_matches",
]

TOP_FILES = 8
TOP_EDGES = 40
# The packer excerpts the first three entries of a file's "functions" map,
# in source order, within 80 lines.
PICKS_PER_FILE = 3
EXCERPT_LINES = 80
MAX_MATCHES = 8

# Fallback scoring: where a query term is found in a symbol.
NAME_WEIGHT = 1.0  # the symbol's own name (the method part of Class.method)
OWNER_WEIGHT = 0.4  # the class part of Class.method
DESCRIPTION_WEIGHT = 0.5  # its docstring's first line in the summary store
CLASS_FACTOR = 0.8  # a matching method says more than its whole class
PATH_TERM_FACTOR = 0.3  # a query term that names the file, as in "how does getopt parse ..."
# Matches scoring below this share of a file's best are not put first.
RELATIVE_FLOOR = 0.4
# A class longer than this (a quarter of the excerpt lines) is shown through
# its matching methods rather than from its first line.
SMALL_CLASS_LINES = 20


class NoIndexError(LookupError):
    """The project has no `.vestra` index; the message says how to build one."""


class DamagedIndexError(ValueError):
    """A summary store record holds a value of the wrong type; the message
    names the file, record and field."""


# --------------------------------------------------------------------------
# Finding the project


def find_root(start: str | os.PathLike[str] | None = None) -> Path | None:
    """The nearest folder at or above ``start`` (default: the working folder)
    that holds a `.vestra` folder, or None."""
    here = Path(start if start is not None else os.getcwd()).absolute()
    for folder in (here, *here.parents):
        try:
            if (folder / DATA_DIR).is_dir():
                return folder
        except OSError:  # a folder we may not look into
            continue
    return None


def resolve_root(root: str | os.PathLike[str] | None = None) -> Path:
    """The indexed project to answer from: ``root``, or the one found above the
    working folder.

    Raises NotADirectoryError for a ``root`` that is not a folder and
    NoIndexError when there is no index to read.
    """
    if root is None:
        found = find_root()
        if found is None:
            raise NoIndexError(
                f"no index in {Path.cwd()} or any folder above it; build one with `tarnwick index`"
            )
        path = found
    else:
        try:
            path = Path(root).resolve()
        except (OSError, RuntimeError) as exc:  # a link loop, a removed working folder
            raise NotADirectoryError(f"cannot resolve {root}: {getattr(exc, 'strerror', None) or exc}") from None
        if not path.is_dir():
            raise NotADirectoryError(f"not a folder: {path}")
    if not (path / DATA_DIR / GRAPH_NAME).is_file():
        raise NoIndexError(f"no index in {path}; build one with `tarnwick index {path}`")
    return path


# --------------------------------------------------------------------------
# Symbol matches


def _lines(record: dict) -> tuple[int, int] | None:
    start, end = record.get("line_start"), record.get("line_end")
    if type(start) is int and type(end) is int and 0 <= start <= end:
        return start, end
    return None


def _symbol_nodes(nodes: list, paths: set[str]) -> dict[str, list[dict]]:
    """The symbol nodes of the files in ``paths``, per file, in graph order."""
    found: dict[str, list[dict]] = {path: [] for path in paths}
    try:
        # A graph has tens of thousands of nodes and only a few hundred are
        # wanted: select them without a Python-level step per node.
        near = itertools.compress(nodes, map(found.__contains__, map(dict.get, nodes, itertools.repeat("path"))))
        near = list(near)
    except TypeError:  # a node that is not a dict, or an unhashable path
        near = [n for n in nodes if isinstance(n, dict) and isinstance(n.get("path"), str)]
    for node in near:
        if node.get("kind") == "symbol":
            symbols = found.get(node.get("path"))
            if symbols is not None:
                symbols.append(node)
    return found


def _description(record: Any, name: str, kind: Any) -> Any:
    if not isinstance(record, dict):
        return None
    members = record.get("classes" if kind == "class" else "functions")
    info = members.get(name) if isinstance(members, dict) else None
    return info.get("description") if isinstance(info, dict) else None


def match_symbols(terms: set[str], symbols: list[dict], record: Any = None, path: str = "") -> list[dict]:
    """Score one file's symbol nodes against the query terms.

    A term counts once per symbol, by where it is found (own name, owning
    class, description) and by its rarity among the file's symbols; a term
    of the file's ``path`` has already chosen the file and counts little.
    Returns the matches best first (ties in source order), in the shape of
    the retrieval result's per-file "symbols".
    """
    if not terms or not symbols:
        return []
    # A stem less its last letter starts every word it comes from, so a
    # symbol whose text holds none of these cannot match: most are skipped
    # without being tokenised.
    probes = tuple({term[:-1] if len(term) > 3 else term for term in terms})
    found = []
    for node in symbols:
        name = node.get("name")
        lines = _lines(node)
        if not isinstance(name, str) or not name or lines is None:
            continue
        description = _description(record, name, node.get("symbol_kind"))
        if not isinstance(description, str):
            description = ""
        text = f"{name} {description}".lower()
        if not any(probe in text for probe in probes):
            continue
        owner, _, own = name.rpartition(".")
        weights: dict[str, float] = {}
        for part, weight in ((description, DESCRIPTION_WEIGHT), (owner, OWNER_WEIGHT), (own, NAME_WEIGHT)):
            for term in vx.tokenize(part):
                if term in terms and weights.get(term, 0.0) < weight:
                    weights[term] = weight
        if weights:
            found.append((node, lines, weights))
    if not found:
        return []
    total = len(symbols)
    in_path = set(vx.tokenize(path))
    df: dict[str, int] = {}
    for _, _, weights in found:
        for term in weights:
            df[term] = df.get(term, 0) + 1
    scored = []
    for position, (node, lines, weights) in enumerate(found):
        score = sum(
            w * math.log(1.0 + total / df[t]) * (PATH_TERM_FACTOR if t in in_path else 1.0) for t, w in weights.items()
        )
        if node.get("symbol_kind") == "class":
            score *= CLASS_FACTOR
        scored.append((-score, lines[0], position, node, lines))
    scored.sort(key=lambda item: item[:3])
    return [
        {
            "id": node.get("id"),
            "name": node["name"],
            "symbol_kind": node.get("symbol_kind"),
            "line_start": lines[0],
            "line_end": lines[1],
            "score": -negative,
        }
        for negative, _, _, node, lines in scored[:MAX_MATCHES]
    ]


# --------------------------------------------------------------------------
# The per-query view of the summary store


def _function_lines(info: Any) -> tuple[int, int] | None:
    lines = info.get("lines") if isinstance(info, dict) else None
    if isinstance(lines, list) and len(lines) == 2:
        return _lines({"line_start": lines[0], "line_end": lines[1]})
    return None


def _inside(inner: tuple[int, int], outer: tuple[int, int]) -> bool:
    return outer[0] <= inner[0] and inner[1] <= outer[1]


def _overlaps(a: tuple[int, int], b: tuple[int, int]) -> bool:
    return a[0] <= b[1] and b[0] <= a[1]


def _strong(matches: list) -> list[dict]:
    """The matches that score at least RELATIVE_FLOOR of the best one."""
    scores = [m.get("score") if isinstance(m, dict) else None for m in matches]
    best = max((s for s in scores if isinstance(s, (int, float))), default=0.0)
    return [
        m
        for m, s in zip(matches, scores)
        if isinstance(m, dict) and not (isinstance(s, (int, float)) and 0 < s < best * RELATIVE_FLOOR)
    ]


def _fits(lines: tuple[int, int], taken: list[tuple[int, int]]) -> bool:
    """Whether a stored function can fill an excerpt slot without cutting the
    matches in ``taken`` short.

    The excerpts of a file are shown in source order within EXCERPT_LINES
    lines: one that starts after all others can only be cut itself, any
    other must fit in what is left.
    """
    if not taken or lines[0] > max(start for start, _ in taken):
        return True
    return sum(end - start + 1 for start, end in taken) + lines[1] - lines[0] + 1 <= EXCERPT_LINES


def _picks(matches: list[dict], stored: dict) -> list[tuple[str, tuple[int, int], dict, dict]]:
    """The leading entries of a file's map: best matches whose lines do not
    overlap a better one's (a class and its own method never both; a large
    class gives way to its matching methods)."""
    picks: list[tuple[str, tuple[int, int], dict, dict]] = []
    # Weak matches are left out: the stored functions say more.
    strong = _strong(matches)
    spans = [l for l in map(_lines, strong) if l is not None]
    for match in strong:
        if len(picks) == PICKS_PER_FILE:
            break
        name = match.get("name")
        lines = _lines(match)
        if not isinstance(name, str) or not name or lines is None:
            continue
        if lines[1] - lines[0] >= SMALL_CLASS_LINES and any(l != lines and _inside(l, lines) for l in spans):
            continue  # a large class whose own methods match: they are shown instead
        if any(name == n or _overlaps(lines, l) for n, l, _, _ in picks):
            continue
        info = stored.get(name)
        if not isinstance(info, dict) or _function_lines(info) is None:
            # A method or class: the store keeps no record of its own.  Its
            # parameters are not recorded, which "..." says in the signature.
            info = {"params": "...", "lines": [lines[0], lines[1]]}
        picks.append((name, lines, info, match))
    return picks


def _class_entries(record: dict) -> list[dict]:
    classes = record.get("classes")
    entries = []
    for name, info in classes.items() if isinstance(classes, dict) else ():
        lines = _function_lines(info)
        if isinstance(name, str) and lines is not None:
            entries.append({"name": name, "symbol_kind": "class", "line_start": lines[0], "line_end": lines[1]})
    return entries


def _focused_record(record: dict, matches: list[dict]) -> tuple[dict, list[dict]]:
    stored = record.get("functions")
    stored = stored if isinstance(stored, dict) else {}
    picks = _picks(matches, stored)
    if not picks:
        return record, []
    functions = {name: info for name, _, info, _ in picks}
    taken = [lines for _, lines, _, _ in picks]
    rest = {}
    for name, info in stored.items():
        if name in functions:
            continue
        lines = _function_lines(info)
        if lines is not None and any(_inside(lines, l) for l in taken):
            continue  # already shown by a chosen excerpt
        if len(taken) < PICKS_PER_FILE and lines is not None and _fits(lines, taken):
            # Fills a free excerpt slot without cutting the matches short.
            functions[name] = info
            taken.append(lines)
        else:
            rest[name] = info
    functions.update(rest)
    view = dict(record)
    view["functions"] = functions
    return view, [match for _, _, _, match in picks]


def _base_file(entry: Any) -> str:
    fid = entry.get("id", "") if isinstance(entry, dict) else entry
    return str(fid).split("::", 1)[0]


def symbol_matches(
    files: list, graph: dict | None, query: str, summaries: dict | None = None
) -> dict[str, list[dict]]:
    """The matching symbols of each of ``files`` (retrieval file entries), by
    base file: the entry's own "symbols" when retrieval gave them, else
    matches scored from the ``graph``'s symbol nodes (one walk for all)."""
    summaries = summaries or {}
    matches: dict[str, Any] = {}
    for entry in files:
        base = _base_file(entry)
        if base and base not in matches:
            matches[base] = entry.get("symbols") if isinstance(entry, dict) else None
    unscored = {base for base, found in matches.items() if not isinstance(found, list)}
    if unscored:
        terms = set(vx.tokenize(query))
        nodes = _symbol_nodes((graph or {}).get("nodes") or (), unscored) if terms else {}
        for base in unscored:
            matches[base] = match_symbols(terms, nodes.get(base, []), summaries.get(base), base)
    return matches


def focus_summaries(
    summaries: dict, files: list, graph: dict | None = None, query: str = ""
) -> tuple[dict, dict[str, list[dict]]]:
    """Return the per-query view of ``summaries`` and the symbols put first.

    ``files`` are the retrieval result's file entries.  Each of the first
    eight that has a summary record gets a copy of it whose "functions" map
    starts with its best matches (see ``symbol_matches``).  ``summaries``
    itself and every record in it are left as they are.
    """
    chosen = [e for e in files[:TOP_FILES] if isinstance(summaries.get(_base_file(e)), dict)]
    matches = symbol_matches(chosen, graph, query, summaries)
    for base, found in matches.items():
        if not summaries[base].get("functions"):
            # Without a "functions" map the packer would excerpt the first
            # symbol nodes, often a class and its own methods: such a file
            # gets its classes, in source order, after its matches.
            matches[base] = list(found) + _class_entries(summaries[base])
    view = dict(summaries)
    put_first: dict[str, list[dict]] = {}
    for base, found in matches.items():
        view[base], put_first[base] = _focused_record(summaries[base], found)
    return view, put_first


def files_json(files: list, symbols: dict[str, list[dict]]) -> list[dict]:
    """Ranked files with their symbols as JSON-ready dicts; line ranges are
    one-based and inclusive, as the block shows them."""
    out = []
    for entry in files:
        if not isinstance(entry, dict):
            continue
        path = _base_file(entry)
        out.append(
            {
                "path": path,
                "score": round(float(entry.get("score", 0.0)), 4),
                "symbols": [
                    {
                        "name": s["name"],
                        "kind": s.get("symbol_kind"),
                        "lines": [s["line_start"] + 1, s["line_end"] + 1],
                        "score": round(float(s.get("score", 0.0)), 4),
                    }
                    for s in symbols.get(path, [])
                    if isinstance(s, dict) and isinstance(s.get("name"), str) and _lines(s) is not None
                ],
            }
        )
    return out


# --------------------------------------------------------------------------
# The pipeline


@dataclass
class FocusedContext:
    """One query's block and how it was made."""

    query: str
    root: Path
    block: str
    token_budget: int
    tokens: int
    # Retrieval's file entries, best first.
    files: list[dict] = field(default_factory=list)
    # Per chosen file, the symbols its excerpts and reads start with.
    symbols: dict[str, list[dict]] = field(default_factory=dict)
    # Seconds spent per step.
    timings: dict[str, float] = field(default_factory=dict)
    # Doubts about the index the block was made from (one line each).
    warnings: list[str] = field(default_factory=list)

    def to_json(self) -> dict:
        """A JSON-ready dict (line ranges one-based and inclusive, as the block shows them)."""
        return {
            "query": self.query,
            "root": str(self.root),
            "token_budget": self.token_budget,
            "tokens": self.tokens,
            "files": files_json(self.files, self.symbols),
            "timings_ms": {step: round(seconds * 1000.0, 3) for step, seconds in self.timings.items()},
            "warnings": self.warnings,
            "block": self.block,
        }


def build_result(
    query: str, root: str | os.PathLike[str] | None = None, token_budget: int = 5000
) -> FocusedContext:
    """Run the focused pipeline for ``query`` on the indexed project at ``root``
    (default: found above the working folder) and return the block with the
    files, symbols, token estimate and timings.

    Raises NoIndexError, NotADirectoryError, vx.GraphError for a graph file
    and DamagedIndexError for a summary store that cannot be used.  Nothing
    is written.
    """
    from . import context_packer as cp  # the extension; imported late so this module loads without it

    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__}")
    started = time.perf_counter()
    timings: dict[str, float] = {}

    def lap(step: str) -> None:
        nonlocal started
        now = time.perf_counter()
        timings[step] = now - started
        started = now

    path = resolve_root(root)
    with vx.project(path):  # retrieval may read the project's search index
        graph = vx.load_graph()
        lap("load_graph")
        result = vx.retrieve(graph, query, top_files=TOP_FILES, top_edges=TOP_EDGES)
        lap("retrieve")
    summaries = cp.load_summaries(path)
    lap("load_summaries")
    files = result.get("files") or []
    view, put_first = focus_summaries(summaries, files, graph, query)
    lap("focus")
    try:
        block = cp.pack(
            retrieve_result=result, summaries=view, graph=graph, project_root=path, token_budget=token_budget
        )
    except (TypeError, AttributeError):
        # The packer fails deep inside on a record of the wrong shape.
        from .cli.store_faults import store_fault

        fault = store_fault(path)
        if fault is None:
            raise
        raise DamagedIndexError(fault) from None
    lap("pack")
    timings["total"] = sum(timings.values())
    warnings = []
    problem = mixed_set_problem(path, graph.get("generation"))
    if problem is not None:
        warnings.append(f"{path / DATA_DIR}: {problem}; run `tarnwick index` again")
    return FocusedContext(
        query=query,
        root=path,
        block=block,
        token_budget=int(token_budget),
        tokens=cp.estimate_tokens(block),
        files=[e for e in files if isinstance(e, dict)],
        symbols=put_first,
        timings=timings,
        warnings=warnings,
    )


def search(query: str, root: str | os.PathLike[str] | None = None, limit: int = TOP_FILES) -> list[dict]:
    """The ``limit`` best files for ``query`` with the symbols that match it
    (weak matches left out), as ``files_json`` gives them.  Raises as
    ``build_result`` does."""
    from . import context_packer as cp

    path = resolve_root(root)
    with vx.project(path):  # retrieval may read the project's search index
        graph = vx.load_graph()
        files = vx.retrieve(graph, query, top_files=limit, top_edges=0)["files"]
    matches = symbol_matches(files, graph, query, cp.load_summaries(path))
    return files_json(files, {base: _strong(found) for base, found in matches.items()})


def build(query: str, root: str | os.PathLike[str] | None = None, token_budget: int = 5000) -> str:
    """The focused context block for ``query`` (see ``build_result``)."""
    return build_result(query, root, token_budget).block
