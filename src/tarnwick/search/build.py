"""Building a corpus from a code graph.

The indexer builds the search index this way from the graph it has just
written, adding the richer symbol documents its workers made (parameters,
docstrings, body words); a query without a usable index builds the same
corpus in memory from the graph alone.
"""

from __future__ import annotations

import posixpath
from collections import Counter
from itertools import chain

from .corpus import FLAG_EXAMPLE, FLAG_TEST, MemoryCorpus
from .documents import file_terms, is_example_path, symbol_terms, find_tests
from .tokens import add_compound_parts, compound_splits, one_word_terms
from .weights import DEFAULT_WEIGHTS, RankingWeights


def _base(node_id) -> str | None:
    return node_id.split("::", 1)[0] if isinstance(node_id, str) else None


def _line(value):
    return value if type(value) is int else None


def _symbol_info(node: dict, name: str) -> tuple:
    """What a result lists of a symbol: (node id, name, kind, first line, last line)."""
    kind = node.get("symbol_kind")
    return node.get("id"), name, kind if isinstance(kind, str) else "symbol", _line(node.get("line_start")), _line(node.get("line_end"))


def symbol_corpus(files: dict, weights: RankingWeights = DEFAULT_WEIGHTS) -> MemoryCorpus:
    """A corpus of the symbols of a few files alone, for ranking them when
    no retrieval step did: ``files`` maps a path to its symbol nodes, each
    paired with its description (the docstring's first line, or "").  Each
    symbol's document is the one a graph without a search index gives it,
    with the description as its docstring."""
    corpus = MemoryCorpus(weights)
    for path, symbols in files.items():
        number = corpus.add_file(path, {})
        for node, description in symbols:
            name = node.get("name")
            if isinstance(name, str) and name:
                corpus.add_symbol(number, _symbol_info(node, name), symbol_terms(path, name, doc_line=description, weights=weights))
    return corpus.finish()


def corpus_from_graph(
    graph: dict, prepared=None, weights: RankingWeights = DEFAULT_WEIGHTS
) -> tuple[MemoryCorpus, list]:
    """The corpus of ``graph``'s file and symbol nodes, and per file number
    the positions of the graph's edges that touch the file.

    ``prepared(file id)`` gives the documents the indexer's workers made
    for a file (term weights of names and text: the file's own, then one
    per symbol node of the file in graph order), or None; other files get
    documents from the graph alone.  It is called twice per file (once to
    count the terms, once to add them) and its documents are taken over,
    so no more than one file's documents are held at a time.
    """
    nodes = graph.get("nodes") or ()
    edges = graph.get("edges") or ()
    corpus = MemoryCorpus(weights)
    files: dict = {}  # file id -> [path, summary, defined names, [(symbol node, name)]]
    by_path: dict = {}  # path -> file id
    symbols = []
    for node in nodes:
        if not isinstance(node, dict):
            continue
        kind = node.get("kind")
        if kind == "symbol":
            symbols.append(node)
            continue
        fid = node.get("id")
        if kind != "file" or not isinstance(fid, str) or not fid or fid in files:
            continue
        path = node.get("path")
        if not isinstance(path, str) or not path:
            path = fid
        files[fid] = [path, node.get("summary"), [], []]
        by_path.setdefault(path, fid)

    for node in symbols:
        path = node.get("path")
        fid = by_path.get(path) if isinstance(path, str) else None
        if fid is None:
            fid = by_path.get(_base(node.get("id")))
        if fid is None:
            continue
        name = node.get("name")
        sid = node.get("id")
        if not isinstance(name, str):
            name = sid.split("::", 1)[1] if isinstance(sid, str) and "::" in sid else ""
        files[fid][2].append(name)
        files[fid][3].append((node, name))

    def documents(fid) -> list:
        path, summary, defined, placed = files[fid]
        docs = prepared(fid) if prepared is not None else None
        if docs is not None and len(docs) == 1 + len(placed):
            return docs
        return [file_terms(path, summary, defined, weights)] + [
            symbol_terms(path, name, weights=weights) for _, name in placed
        ]

    # Words of compounds need every document's terms first.  Without
    # prepared documents the graph's own are kept for the second pass;
    # prepared ones are asked for again rather than held for the project.
    kept = {} if prepared is None else None
    frequency: Counter = Counter()
    for fid in files:
        docs = documents(fid)
        frequency.update(chain.from_iterable(docs))
        if kept is not None:
            kept[fid] = docs
    # Only one-word names are cut: a folder, a module, a function spelled in
    # lower case (the words of bodies are many, and seldom compounds).
    names = set()
    for path, _, defined, _ in files.values():
        names.update(posixpath.splitext(path)[0].split("/"))
        for name in defined:
            names.update(name.split("."))
    splits = compound_splits(frequency, one_word_terms(names))
    del frequency

    numbers = {}
    tests = find_tests((path, defined) for path, _, defined, _ in files.values())
    for fid, (path, _, _, placed) in files.items():
        docs = kept.pop(fid) if kept is not None else documents(fid)
        add_compound_parts(docs, splits, weights)
        flags = (FLAG_TEST if path in tests else 0) | (FLAG_EXAMPLE if is_example_path(path) else 0)
        numbers[fid] = number = corpus.add_file(fid, docs[0], flags)
        for (node, name), terms in zip(placed, docs[1:]):
            corpus.add_symbol(number, _symbol_info(node, name), terms)

    positions: list = [[] for _ in files]
    imported_by: dict = {}
    imports: dict = {}  # file number -> project files it imports
    for position, edge in enumerate(edges):
        if not isinstance(edge, dict):
            continue
        src = numbers.get(_base(edge.get("from")))
        dst = numbers.get(_base(edge.get("to")))
        if src is not None:
            positions[src].append(position)
        if dst is not None and dst != src:
            positions[dst].append(position)
            if edge.get("rel") == "imports" and src is not None:
                imported_by[dst] = imported_by.get(dst, 0) + 1
                imports[src] = imports.get(src, 0) + 1
    # A package's __init__ that imports more of the project than it defines
    # gathers other modules' names: importers come for those, the credit is
    # theirs.
    for fid, (path, _, defined, _) in files.items():
        number = numbers[fid]
        if posixpath.basename(path) == "__init__.py" and imports.get(number, 0) > len(defined):
            imported_by.pop(number, None)
    corpus.set_imported_by(imported_by)
    return corpus.finish(), positions
