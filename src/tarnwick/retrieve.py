"""Retrieval: the files, symbols and edges that answer a question.

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
trusted: ranking falls back to memory and one line about it goes to the
caller's ``warnings`` (without them, ``take_notes()`` returns it).

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

import heapq
from operator import itemgetter

from .graph import fill_deferred, load_rest, search_index, waiting_index
from .project import note, project_root
from .search.tokens import asks_for_tests, query_terms, stem, words
from .search.weights import DEFAULT_WEIGHTS, RankingWeights
from .wording import INDEX_AGAIN

__all__ = ["REL_PRIORITY", "classify_intent", "retrieve"]

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



_INTENTS = tuple((name, frozenset(stem(w) for w in words.split())) for name, words in _INTENT_KEYWORDS)


def classify_intent(query: str) -> str:
    """Return "fix", "refactor", "test", "add", "explain" or "other"."""
    terms = {stem(w) for w in words(query)}
    for name, keywords in _INTENTS:
        if terms & keywords:
            return name
    return "other"


def _select_edges(edges, rank: dict[str, int], limit: int) -> list[dict]:
    """The ``limit`` best of the (key, edge) pairs ``edges`` (keys in graph order)."""
    last = len(REL_PRIORITY)
    priority, rank_of = REL_PRIORITY.get, rank.get
    chosen = []
    add = chosen.append
    # A popular file is touched by thousands of edges: one plain pass over them, each end's
    # file (its id up to "::") read in place.
    for key, edge in edges:
        if not isinstance(edge, dict):
            continue
        src, dst = edge.get("from"), edge.get("to")
        src = src.partition("::")[0] if isinstance(src, str) else None
        dst = dst.partition("::")[0] if isinstance(dst, str) else None
        src_rank, dst_rank = rank_of(src), rank_of(dst)
        if src_rank is None:
            if dst_rank is None:
                continue
            apart, best = True, dst_rank
        elif dst_rank is None:
            apart, best = True, src_rank
        else:
            apart, best = src == dst, min(src_rank, dst_rank)
        rel = edge.get("rel")
        add(((apart, priority(rel, last) if isinstance(rel, str) else last, best, key), edge))
    return [dict(edge) for _, edge in heapq.nsmallest(limit, chosen, key=itemgetter(0))]


def _index_trouble(index, exc: Exception, warnings: list | None) -> None:
    from .search.store import IndexProblem

    if isinstance(exc, IndexProblem):
        note(f"search index not used: {exc}", warnings)
    else:
        note(f"search index not used: {index.path}: damaged ({exc}); {INDEX_AGAIN}", warnings)


def _rank(
    graph: dict, terms: dict, top_files: int, tests: tuple, weights: RankingWeights, warnings: list | None
) -> tuple[list, object]:
    """File entries from the project's search index when it was built from
    ``graph``, else from a corpus built in memory; and the index used."""
    from .search.rank import rank

    index = search_index(project_root(), warnings=warnings)
    if index is not None and index.belongs_to(graph):
        try:
            return rank(index, terms, top_files, *tests, weights), index
        except Exception as exc:  # a damaged index must never end the query
            _index_trouble(index, exc, warnings)
    from .search.build import corpus_from_graph

    corpus = corpus_from_graph(graph, weights=weights)
    return rank(corpus, terms, top_files, *tests, weights), None


def _edges_near(graph: dict, files: list, index, warnings: list | None) -> list:
    """(key, edge) of the graph's edges that may touch ``files``, keys in
    graph order: from the index when it was used, else all of them."""
    if index is not None:
        try:
            return index.file_edges(entry["id"] for entry in files)
        except Exception as exc:
            _index_trouble(index, exc, warnings)
    return enumerate(graph.get("edges") or ())


def retrieve(
    graph: dict,
    query: str,
    top_files: int = 8,
    top_edges: int = 40,
    *,
    weights: RankingWeights = DEFAULT_WEIGHTS,
    warnings: list | None = None,
) -> dict:
    """Rank the graph's files for ``query`` and pick the edges around them.

    Returns ``{"files": [{"id", "score", "symbols"}, ...], "edges": [...],
    "intent": classify_intent(query)}``: at most ``top_files`` files, best
    first, and at most ``top_edges`` edges (copies of the graph's edge
    dicts).  Missing "nodes" or "edges" keys read as empty lists.  ``weights``
    sets the ranking's knobs (`tarnwick.search.weights`).  Why a search index
    was not used goes to ``warnings`` (without it, to `take_notes`).
    """
    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__}")
    top_files = max(int(top_files), 0)
    top_edges = max(int(top_edges), 0)
    graph = graph or {}
    intent = classify_intent(query)
    files: list[dict] = []
    edges: list[dict] = []
    terms = query_terms(query, weights)
    # "the tests fail when ..." reports a fault of the code, not a wish for tests.
    wants_tests = intent != "fix" and asks_for_tests(query)
    tests = (intent == "test" or wants_tests, wants_tests)
    index = waiting_index(graph, warnings)
    if index is not None:
        from .search.rank import rank

        try:
            if top_files and terms:
                files = rank(index, terms, top_files, *tests, weights)
            near = fill_deferred(graph, files, index)
        except Exception as exc:  # a damaged index must never end the query
            _index_trouble(index, exc, warnings)
            load_rest(graph, warnings)
            index = None
    if index is None and top_files and terms:
        files, index = _rank(graph, terms, top_files, tests, weights, warnings)
        near = _edges_near(graph, files, index, warnings) if files else ()
    if top_edges and files:
        rank_of = {entry["id"]: i for i, entry in enumerate(files)}
        edges = _select_edges(near, rank_of, top_edges)
    return {"files": files, "edges": edges, "intent": intent}
