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

from .compact import base as _base
from . import facts
from .corpus import DECLARATION_KINDS, UNCOUNTED, MemoryCorpus
from .documents import file_terms, symbol_terms
from . import runs as posting_runs
from .tokens import add_compound_parts, compound_splits, one_word_terms
from .weights import DEFAULT_WEIGHTS, RankingWeights


# Terms of prepared documents held from the first pass of a build to the
# second (a few MB), rather than read again.
HELD_POSTINGS = 250_000


def _line(value):
    return value if type(value) is int else None


def symbol_info(node: dict, name: str) -> tuple:
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
                corpus.add_symbol(number, symbol_info(node, name), symbol_terms(path, name, doc_line=description, weights=weights))
    return corpus.finish()


def symbol_name(node: dict) -> str:
    """The name a symbol node is indexed under: its own, else what its id
    holds after "::"."""
    name = node.get("name")
    if isinstance(name, str):
        return name
    sid = node.get("id")
    return sid.split("::", 1)[1] if isinstance(sid, str) and "::" in sid else ""


def graph_files(nodes) -> dict:
    """The files of a graph's ``nodes`` in graph order: file id -> [path,
    summary, defined names, [(symbol node, name)]] (a symbol belongs to the
    file of its path, else of its id's path)."""
    files: dict = {}
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
        name = symbol_name(node)
        files[fid][2].append(name)
        files[fid][3].append((node, name))
    return files


def file_documents(entry: list, docs, weights: RankingWeights = DEFAULT_WEIGHTS) -> list:
    """A file's documents before compound splitting: ``docs`` (the workers'
    documents) when they fit its symbols, else the graph's own."""
    path, summary, defined, placed = entry
    if docs is not None and len(docs) == 1 + len(placed):
        return docs
    return [file_terms(path, summary, defined, weights)] + [symbol_terms(path, name, weights=weights) for _, name in placed]


def name_parts(path: str, defined) -> set:
    """The names a file brings to the splitting of compounds: its folders,
    its module and the parts of what it defines."""
    names = set(posixpath.splitext(path)[0].split("/"))
    for name in defined:
        names.update(name.split("."))
    return names


def declares_only(symbols) -> bool:
    """Whether a file's symbols ([(node, name)]) are type declarations only."""
    return bool(symbols) and all(node.get("symbol_kind") in DECLARATION_KINDS for node, _ in symbols)


def file_facts(files: dict, numbers: dict, edges, weights: RankingWeights = DEFAULT_WEIGHTS, state=None) -> tuple[dict, dict]:
    """What the whole graph decides about each file, by file number: its
    flags and its prior ({number: value}; every file is given one).
    ``state`` is `facts_of`'s."""
    pairs = (
        (numbers.get(_base(edge.get("from"))), numbers.get(_base(edge.get("to"))))
        for edge in edges
        if isinstance(edge, dict) and edge.get("rel") == "imports"
    )
    outlines = [
        (numbers[fid], path, defined, len(defined), declares_only(symbols))
        for fid, (path, _, defined, symbols) in files.items()
    ]
    return facts_of(outlines, pairs, weights, state)


def facts_of(outlines, imports_pairs, weights: RankingWeights = DEFAULT_WEIGHTS, state=None) -> tuple[dict, dict]:
    """`file_facts` from each file's outline (number, path, the names it
    defines or those of them that tell a test, how many it defines, whether
    it declares types only) and the (source, target) file numbers of the
    "imports" edges (None for a target that is no file).
    ``state(counts, members)``, when given, is shown what they are made of,
    which an index keeps for updates (`facts`): by path the (importers,
    imports) of the files with any, and the (test folder, path, makes it a
    suite) of the files under a test folder."""
    counts: dict = {}  # file number -> [importers, project files it imports]
    for src, dst in imports_pairs:
        if src is not None and dst is not None and dst != src:
            counts.setdefault(dst, [0, 0])[0] += 1
            counts.setdefault(src, [0, 0])[1] += 1
    members = []
    for _, path, defined, _, _ in outlines:
        folder = facts.test_folder(path)
        if folder is not None:
            members.append((folder, path, facts.makes_suite(path, folder, defined)))
    if state is not None:
        state({path: counts[number] for number, path, *_ in outlines if number in counts}, members)
    suites = {folder for folder, _, maker in members if maker}
    flags: dict = {}
    priors: dict = {}
    for number, path, _, defined, declares in outlines:
        folder = facts.test_folder(path)
        test = facts.is_test_module(path) or (folder is not None and folder in suites)
        flags[number] = facts.flags_of(path, test, declares)
        priors[number] = facts.prior_of(path, defined, *counts.get(number, (0, 0)), weights)
    return flags, priors


def corpus_from_graph(
    graph: dict, prepared=None, weights: RankingWeights = DEFAULT_WEIGHTS, keep=None, runs=None
) -> MemoryCorpus:
    """The corpus of ``graph``'s file and symbol nodes.

    ``prepared(file id)`` gives the documents the indexer's workers made
    for a file (term weights of names and text: the file's own, then one
    per symbol node of the file in graph order), or None; other files get
    documents from the graph alone.  Its documents are taken over.  The
    first pass, which counts the terms, holds them for the second while
    they hold fewer than `HELD_POSTINGS` terms; it is asked again for the
    rest, so a large project's documents are never all held at once.

    ``keep(number, file id, entry, documents, first symbol number)``, when
    given, is shown each file's documents before compound splitting, for what an index keeps
    to be updated later; the corpus then also keeps the terms' document
    frequencies (``frequency``), the splits and the candidates of
    compounds by the number of files that name them.  With ``runs``
    (`runs.PostingRuns`) the postings are written out as they grow, and
    the corpus gives them back only once, in order (`sorted_terms`).
    """
    nodes = graph.get("nodes") or ()
    edges = graph.get("edges") or ()
    corpus = MemoryCorpus(weights)
    if runs is not None:
        corpus.spill_to(runs, posting_runs.RUN_POSTINGS)
    files = graph_files(nodes)

    def documents(fid) -> list:
        return file_documents(files[fid], prepared(fid) if prepared is not None else None, weights)

    # Words of compounds need every document's terms first.  Without
    # prepared documents the graph's own are kept for the second pass;
    # prepared ones while they fit, then asked for again.
    kept = {}
    held = 0
    frequency: Counter = Counter()
    for fid in files:
        docs = documents(fid)
        frequency.update(chain.from_iterable(docs))
        if prepared is None or held < HELD_POSTINGS:
            kept[fid] = docs
            held += sum(map(len, docs))
    frequency.pop(UNCOUNTED, None)  # a length's share, not a term
    # Only one-word names are cut: a folder, a module, a function spelled in
    # lower case (the words of bodies are many, and seldom compounds).
    if keep is None:
        names = set()
        for path, _, defined, _ in files.values():
            names.update(name_parts(path, defined))
        candidates = one_word_terms(names)
    else:
        corpus.candidates = Counter()
        for path, _, defined, _ in files.values():
            corpus.candidates.update(one_word_terms(name_parts(path, defined)))
        candidates = corpus.candidates.keys()
    splits = compound_splits(frequency, candidates)
    if keep is None:
        del frequency
    else:
        corpus.frequency, corpus.splits = frequency, splits

    numbers = {}
    for fid, entry in files.items():
        docs = kept.pop(fid) if fid in kept else documents(fid)
        number = len(numbers)
        if keep is not None:
            keep(number, fid, entry, docs, corpus.symbol_count)
        add_compound_parts(docs, splits, weights)
        numbers[fid] = corpus.add_file(fid, docs[0])
        for (node, name), terms in zip(entry[3], docs[1:]):
            corpus.add_symbol(number, symbol_info(node, name), terms)
        corpus.file_done()

    def keep_facts(counts, members) -> None:
        corpus.facts = counts, members

    flags, priors = file_facts(files, numbers, edges, weights, keep_facts if keep is not None else None)
    for number, value in flags.items():
        corpus.file_flags[number] = value
    for number, value in priors.items():
        corpus.file_prior[number] = value
    return corpus.finish()
