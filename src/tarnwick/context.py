"""The focused pipeline: a question becomes a context block whose Key Code and
Recommended Reads hold the functions that answer it.

    with vx.project(root):
        graph = vx.load_graph()
        result = vx.retrieve(graph, query)      # files, each with its matching symbols
    view = focus_summaries(summaries, ...)      # per-query view of the summary store
    block = context_packer.pack(result, view, graph, root, token_budget)

The view (`tarnwick.focus`) puts the functions and methods that match the
question first in each chosen file's "functions" map, which the packer reads
for Key Code and Recommended Reads; the store on disk is never touched, and
the block keeps the packer's own format and budget rules.  This module finds
the project, runs the steps, and reports what it chose and how long it took.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from pathlib import Path

from . import freshness, summary_records
from . import graph as graph_loader
from .project import NoIndexError, UnreadableIndexError, find_root, project, resolve_root
from .retrieve import retrieve
from .collector import paused
from .datadir import DATA_DIR, SUMMARIES_NAME, mixed_set_problem
from .errors import DamagedIndexError
from .fit import fit
from .focus import TOP_FILES, base_file, focus_summaries, line_range, match_symbols, strong_matches, symbol_matches
from .printable import packer_records
from .scope import Scope
from .token_count import Counter, counter, section_tokens
from .wording import INDEX_AGAIN

TYPE_CHECKING = False
if TYPE_CHECKING:  # the changes' module is loaded only when there are changes (--diff)
    from .changed import Changes

__all__ = [
    "DamagedIndexError",
    "FocusedContext",
    "NoIndexError",
    "UnreadableIndexError",
    "build",
    "build_result",
    "find_root",
    "files_json",
    "focus_summaries",
    "match_symbols",
    "resolve_root",
    "search",
    "search_result",
    "symbol_matches",
]

TOP_EDGES = 40
# The longest question the commands and the server take, in characters: a question with a
# pasted traceback fits many times over, and one call's cost stays bounded (retrieval is
# linear in a question's length).
MAX_QUERY_CHARS = 20_000


def query_too_long(query: str) -> str | None:
    """The one-line refusal of a question longer than `MAX_QUERY_CHARS`, or None."""
    if len(query) <= MAX_QUERY_CHARS:
        return None
    return f"the query is {len(query):,} characters long; at most {MAX_QUERY_CHARS:,} are taken"

# Retrieval is asked for this many more files when a scope may drop some.
SCOPED_FILES = 40

# Called with the files an answer would show that changed since indexing; True
# when it indexed them again (the commands pass `tarnwick.cli.refresh.Refresher`).
Refresh = Callable[[list], bool]


def _load_summaries(cp, path: Path) -> dict:
    """The summary store; UnreadableIndexError where this user may not read
    it (the packer's loader would take it for an empty one)."""
    try:
        os.close(os.open(path / DATA_DIR / SUMMARIES_NAME, os.O_RDONLY | os.O_NONBLOCK))
    except PermissionError as exc:
        raise UnreadableIndexError.of(exc) from None
    except OSError:
        pass  # missing, or another fault: the loader's own rules apply
    try:
        with paused():
            return cp.load_summaries(path)
    except OSError as exc:
        raise UnreadableIndexError.of(exc) from None


def files_json(files: list, symbols: dict[str, list[dict]]) -> list[dict]:
    """Ranked files with their symbols as JSON-ready dicts; line ranges are
    one-based and inclusive, as the block shows them."""
    out = []
    for entry in files:
        if not isinstance(entry, dict):
            continue
        path = base_file(entry)
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
                    if isinstance(s, dict) and isinstance(s.get("name"), str) and line_range(s) is not None
                ],
            }
        )
    return out


# --------------------------------------------------------------------------
# The pipeline


class FocusedContext:
    """One query's block and how it was made.

    ``files``: retrieval's file entries, best first; ``symbols``: per chosen
    file, the symbols its excerpts and reads start with; ``timings``:
    seconds per step; ``warnings``: doubts about the index the block was
    made from (one line each); ``sections``: tokens per part of the block,
    and ``tokenizer`` what counted them; ``redacted``: the kinds of the
    secrets replaced by markers, in block order; ``changes``: the working
    tree's changes put first (`--diff`), and their line.
    """

    # A plain class: a one-query process would pay more for importing dataclasses than for ranking.
    __slots__ = (
        "query", "root", "block", "token_budget", "tokens", "files", "symbols", "timings", "warnings",
        "sections", "tokenizer", "redacted", "changes",
    )

    def __init__(
        self,
        query: str,
        root: Path,
        block: str,
        token_budget: int,
        tokens: int,
        files: list[dict] | None = None,
        symbols: dict[str, list[dict]] | None = None,
        timings: dict[str, float] | None = None,
        warnings: list[str] | None = None,
        sections: dict[str, int] | None = None,
        tokenizer: str = "estimate",
        redacted: tuple[str, ...] = (),
        changes: Changes | None = None,
    ) -> None:
        self.query, self.root, self.block, self.token_budget, self.tokens = query, root, block, token_budget, tokens
        self.files = [] if files is None else files
        self.symbols = {} if symbols is None else symbols
        self.timings = {} if timings is None else timings
        self.warnings = [] if warnings is None else warnings
        self.sections = {} if sections is None else sections
        self.tokenizer, self.redacted, self.changes = tokenizer, redacted, changes

    @property
    def text(self) -> str:
        """What a reader is handed: the changes' line, if any, then the block."""
        return self.block if self.changes is None else f"{self.changes.line()}\n\n{self.block}"

    def to_json(self) -> dict:
        """A JSON-ready dict (line ranges one-based and inclusive, as the block shows them)."""
        out = {
            "query": self.query,
            "root": str(self.root),
            "token_budget": self.token_budget,
            "tokens": self.tokens,
            "tokenizer": self.tokenizer,
            "sections": self.sections,
            "files": files_json(self.files, self.symbols),
            "timings_ms": {step: round(seconds * 1000.0, 3) for step, seconds in self.timings.items()},
            "warnings": self.warnings,
            "redacted": list(self.redacted),
            "block": self.block,
        }
        if self.changes is not None:
            out["changes"] = dict(self.changes.to_json(), line=self.changes.line())
        return out


def build_result(
    query: str,
    root: str | os.PathLike[str] | None = None,
    token_budget: int = 5000,
    *,
    scope: Scope | None = None,
    changes: Changes | None = None,
    redact: bool = True,
    tokens: Counter | None = None,
    refresh: Refresh | None = None,
) -> FocusedContext:
    """Run the focused pipeline for ``query`` on the indexed project at ``root``
    (default: found above the working folder) and return the block with the
    files, symbols, token counts and timings.

    ``scope`` narrows the files the block may show; ``changes`` (the work
    tree's, `tarnwick.changed`) come first.  Secrets in the block are
    replaced by markers unless ``redact`` is false.  The block, with the
    changes' line, holds ``token_budget`` as ``tokens`` counts (default: the
    best counter installed) wherever fewer files, shorter summaries and
    fewer excerpts allow it.  Files changed since indexing are handed to
    ``refresh`` (see `Refresh`) before their code is left out.

    Raises NoIndexError, NotADirectoryError, UnreadableIndexError, GraphError for a graph file
    and DamagedIndexError for a summary store that cannot be used.  Nothing
    is written here.
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
    warnings: list[str] = []
    with project(path):  # retrieval may read the project's search index
        graph_loader.defer_next_graph()  # one query: only the graph of the files it finds is needed
        graph = graph_loader.load_graph(warnings=warnings)
        lap("load_graph")
        scope = scope or Scope()
        wanted = SCOPED_FILES if scope.narrows else TOP_FILES
        result = retrieve(graph, query, top_files=wanted, top_edges=TOP_EDGES, warnings=warnings)
        lap("retrieve")
    files = [e for e in result.get("files") or [] if not scope.narrows or scope.admits(base_file(e))]
    bases = [base_file(e) for e in files if isinstance(e, dict)]
    if changes is not None:
        bases += [f.path for f in changes.shown]
    with paused():
        # Only the records of the files packed, when the search index has them.
        summaries = summary_records.records_for(path, graph, bases)
        from_index = summaries is not None
        if not from_index:
            summaries = _load_summaries(cp, path)
    lap("load_summaries")
    if changes is not None:
        from .changed import put_first

        files, summaries = put_first(files, summaries, changes, scope.admits)
    files = files[:TOP_FILES]
    # Code is shown only from files as they were indexed, or as `changes` read them now.
    fresh = sorted(f.path for f in changes.shown if f.record is not None) if changes is not None else []
    shown_paths = [base_file(e) for e in files if isinstance(e, dict)]
    changed = [p for p in freshness.changed_files(path, shown_paths, graph) if p not in fresh]
    lap("freshness")
    if _refreshed(refresh, changed):
        return build_result(query, path, token_budget, scope=scope, changes=changes, redact=redact, tokens=tokens)
    tokens = tokens or counter()
    preface = 0 if changes is None else tokens.count(changes.line() + "\n\n")
    packing = _Packing(cp, dict(result, files=files), graph, path, query, changed, fresh, redact)
    budget = max(int(token_budget) - preface, 0)
    try:
        fitted, chosen = packing.run(summaries, budget, tokens, lap)
    except (TypeError, AttributeError):
        if not from_index:
            raise
        # A record of the wrong shape in the search index: the store decides.
        summaries = _load_summaries(cp, path)
        if changes is not None:
            from .changed import put_first

            files, summaries = put_first(files, summaries, changes, scope.admits)
        fitted, chosen = packing.run(summaries, budget, tokens, lap)
    lap("pack")
    timings["total"] = sum(timings.values())
    block = fitted.block
    shown = files[: fitted.files]
    return FocusedContext(
        query=query,
        root=path,
        block=block,
        token_budget=int(token_budget),
        tokens=fitted.tokens + preface,
        files=[e for e in shown if isinstance(e, dict)],
        symbols={base: found for base, found in chosen.items() if any(base_file(e) == base for e in shown)},
        timings=timings,
        warnings=_warnings(warnings, path, graph, changed),
        sections=section_tokens(block, tokens.count),
        tokenizer=tokens.name,
        redacted=packing.redacted.get(block, ()),
        changes=changes,
    )


class _Packing:
    """One query's packing: the per-query view of a summary map, without
    the positions of the `changed` files, fitted to the budget (`fit`), each
    block tried redacted before it is counted."""

    def __init__(self, cp, result: dict, graph: dict, path: Path, query: str, changed, fresh, redact: bool):
        self.cp, self.result, self.graph, self.path, self.query = cp, result, graph, path, query
        self.changed, self.redact = changed, redact
        packed_graph = freshness.without_positions({}, graph, changed)[1]
        # The graph's symbol nodes of a re-read file hold the old lines.
        self.packed_graph = freshness.without_positions({}, packed_graph, fresh)[1]
        self.redacted: dict[str, tuple[str, ...]] = {}  # the kinds replaced in each block tried

    def _pack(self, files: list, records: dict, packer_budget: int) -> str:
        # A file name is printed into the block: one holding a line break must not write lines of its own.
        result, records, graph = packer_records(dict(self.result, files=files), records, self.packed_graph)
        try:
            block = self.cp.pack(
                retrieve_result=result,
                summaries=records,
                graph=graph,
                project_root=self.path,
                token_budget=packer_budget,
            )
        except (TypeError, AttributeError):
            # The packer fails deep inside on a record of the wrong shape.
            from .store_faults import store_fault

            fault = store_fault(self.path)
            if fault is None:
                raise
            raise DamagedIndexError(fault) from None
        if not self.redact:
            return block
        # Imported here: its patterns cost every command that never packs a block.
        from .redact import redact as redact_text

        cleaned = redact_text(block)
        self.redacted[cleaned.text] = cleaned.kinds
        return cleaned.text

    def run(self, summaries: dict, budget: int, tokens: Counter, lap) -> tuple:
        files = self.result["files"]
        view, chosen = focus_summaries(summaries, files, self.graph, self.query, root=self.path)
        lap("focus")
        packed_view, _ = freshness.without_positions(view, self.graph, self.changed)
        for stale in self.changed:
            chosen.pop(stale, None)
        return fit(self._pack, files, packed_view, list(chosen), budget, tokens.count), chosen


def _refreshed(refresh: Refresh | None, changed: list[str]) -> bool:
    """Whether ``refresh`` indexed the ``changed`` files again: the answer
    is then made afresh, with remarks of its own."""
    return bool(changed) and refresh is not None and bool(refresh(changed))


def _warnings(warnings: list[str], path: Path, graph: dict, changed: list[str]) -> list[str]:
    """What the caller should know about the index an answer came from: the
    remarks of loading and retrieval (`warnings`: a search index they could
    not use, say), files from different runs, and the files edited since
    indexing (`freshness`)."""
    problem = mixed_set_problem(path, graph.get("generation"))
    if problem is not None:
        warnings.append(f"{path / DATA_DIR}: {problem}; {INDEX_AGAIN}")
    if changed:
        warnings.append(freshness.warning(changed))
    return warnings


def search(
    query: str, root: str | os.PathLike[str] | None = None, limit: int = TOP_FILES, scope: Scope | None = None
) -> list[dict]:
    """The ``limit`` best files for ``query`` (within ``scope``) with the
    symbols that match it (weak matches left out), as ``files_json`` gives
    them.  Raises as ``build_result`` does."""
    return search_result(query, root, limit, scope)[0]


def search_result(
    query: str,
    root: str | os.PathLike[str] | None = None,
    limit: int = TOP_FILES,
    scope: Scope | None = None,
    refresh: Refresh | None = None,
) -> tuple[list[dict], list[str]]:
    """``search``'s files, and the warnings about the index they came from
    (as `FocusedContext.warnings`); ``refresh`` as for `build_result`."""
    from . import context_packer as cp

    path = resolve_root(root)
    scope = scope or Scope()
    warnings: list[str] = []
    with project(path):  # retrieval may read the project's search index
        graph_loader.defer_next_graph()
        graph = graph_loader.load_graph(warnings=warnings)
        wanted = max(limit, SCOPED_FILES) if scope.narrows else limit
        files = retrieve(graph, query, top_files=wanted, top_edges=0, warnings=warnings)["files"]
    if scope.narrows:
        files = [e for e in files if scope.admits(base_file(e))][:limit]
    # Line ranges only from files as they were indexed.
    changed = freshness.changed_files(path, [base_file(e) for e in files if isinstance(e, dict)], graph)
    if _refreshed(refresh, changed):
        return search_result(query, path, limit, scope)

    def summaries() -> dict:
        bases = [base_file(e) for e in files if isinstance(e, dict)]
        with paused():
            found = summary_records.records_for(path, graph, bases)
            return found if found is not None else _load_summaries(cp, path)

    matches = symbol_matches(files, graph, query, summaries)
    for stale in changed:
        matches.pop(stale, None)
    ranked = files_json(files, {base: strong_matches(found) for base, found in matches.items()})
    return ranked, _warnings(warnings, path, graph, changed)


def build(query: str, root: str | os.PathLike[str] | None = None, token_budget: int = 5000, **options) -> str:
    """The focused context block for ``query``, with the changes' line when
    ``changes`` are given (see ``build_result`` for the options)."""
    return build_result(query, root, token_budget, **options).text
