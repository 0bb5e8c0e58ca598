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

from .content import add_texts
from .corpus import FLAG_EXAMPLE, FLAG_TEST, MemoryCorpus
from .documents import file_terms, is_example_path, symbol_terms, find_tests
from .tokens import add_compound_parts, compound_splits, one_word_terms
from .weights import DEFAULT_WEIGHTS, RankingWeights


def _base(node_id) -> str | None:
    return node_id.split("::", 1)[0] if isinstance(node_id, str) else None


def _line(value):
    return value if type(value) is int else None


def corpus_from_graph(
    graph: dict, symbol_docs: dict | None = None, weights: RankingWeights = DEFAULT_WEIGHTS
) -> tuple[MemoryCorpus, list]:
    """The corpus of ``graph``'s file and symbol nodes, and per file number
    the positions of the graph's edges that touch the file.

    ``symbol_docs`` maps a symbol node's id to its prepared term weights
    and those of its text (both taken over: words of compounds are added to
    them); other symbols get a document from their name and file alone.  A
    file's id there maps to ``(unused, the term weights of its text)``.
    """
    nodes = graph.get("nodes") or ()
    edges = graph.get("edges") or ()
    corpus = MemoryCorpus(weights)
    files: dict = {}  # file id -> [path, summary, defined names]
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
        files[fid] = [path, node.get("summary"), []]
        by_path.setdefault(path, fid)

    placed = []
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
        placed.append((fid, node, name))

    prepared = symbol_docs or {}
    file_docs = []
    file_texts = []
    file_history = []  # the messages of the commits that touched the file
    for fid, (path, summary, defined) in files.items():
        doc = file_terms(path, summary, defined, weights)
        extra = prepared.get(fid)
        file_docs.append(doc)
        file_texts.append(extra[1] if extra else None)
        file_history.append(extra[2] if extra and len(extra) > 2 else None)
    symbol_docs_ = []
    symbol_texts = []
    for fid, node, name in placed:
        terms = prepared.get(node.get("id"))
        if terms is None:
            symbol_docs_.append(symbol_terms(files[fid][0], name, weights=weights))
            symbol_texts.append(None)
        else:
            symbol_docs_.append(terms[0])
            symbol_texts.append(terms[1])
    add_texts(file_docs, file_texts)
    add_texts(file_docs, file_history)
    add_texts(symbol_docs_, symbol_texts)
    # Only one-word names are cut: a folder, a module, a function spelled in
    # lower case (the words of bodies are many, and seldom compounds).
    names = set()
    for path, _, defined in files.values():
        names.update(posixpath.splitext(path)[0].split("/"))
        for name in defined:
            names.update(name.split("."))
    frequency = Counter(chain.from_iterable(file_docs))
    frequency.update(chain.from_iterable(symbol_docs_))
    splits = compound_splits(frequency, one_word_terms(names))
    add_compound_parts(file_docs, splits, weights)
    add_compound_parts(symbol_docs_, splits, weights)

    numbers = {}
    tests = find_tests((path, defined) for path, _, defined in files.values())
    for (fid, (path, _, _)), terms in zip(files.items(), file_docs):
        flags = (FLAG_TEST if path in tests else 0) | (FLAG_EXAMPLE if is_example_path(path) else 0)
        numbers[fid] = corpus.add_file(fid, terms, flags)
    for (fid, node, name), terms in zip(placed, symbol_docs_):
        sid = node.get("id")
        kind = node.get("symbol_kind")
        info = (sid, name, kind if isinstance(kind, str) else "symbol", _line(node.get("line_start")), _line(node.get("line_end")))
        corpus.add_symbol(numbers[fid], info, terms)

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
    for fid, (path, _, defined) in files.items():
        number = numbers[fid]
        if posixpath.basename(path) == "__init__.py" and imports.get(number, 0) > len(defined):
            imported_by.pop(number, None)
    corpus.set_imported_by(imported_by)
    return corpus.finish(), positions
