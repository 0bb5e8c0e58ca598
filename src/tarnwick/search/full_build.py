"""A full build of the search index from the graph read a file at a time.

The indexer hands over the graph as a stream of files' shares (a file's
nodes and the edges it is the source of, `compact.Share`), read from the
graph file it has just written, and can read it twice.  The first pass
counts what the whole project decides (the terms' document frequencies,
which the splitting of compounds needs, the candidates of compounds, the
edges that lead into each file, the node and edge counts) and writes the
rows that each file's documents before compound splitting decide (its
state, record and source); the second adds each file's documents and
writes its other rows (symbols, its part and chunk of the graph's copies)
as it goes.  What stays in memory is counters, a line per file and the
edges between files: never the graph.  With a second core at hand, a
helper process (`postings_aside`) is handed each file's documents in the
first pass, counts their terms' frequencies and works out the splits, and
gathers the postings while the second writes the rows: the documents are
then read once, not once a pass.

The index is the one `corpus_from_graph` and `store.build_index` make from
the graph parsed whole.  A graph of another shape than the indexer writes
(only a damaged cache could give one) is left to that way: `Irregular`.
"""

from __future__ import annotations

from collections import Counter
from contextlib import nullcontext
from itertools import chain

from . import build, compact, parts
from . import runs as posting_runs
from .build import declares_only, file_documents, name_parts, symbol_info, symbol_name
from .corpus import UNCOUNTED, MemoryCorpus, prior
from .documents import test_evidence
from .postings_aside import PostingsAside
from .state import file_state, fingerprint
from .store import _chunks, symbol_row, to_sql_text, write_facts, write_graph_rows, write_meta, write_new_index, write_state
from .tokens import add_compound_parts, compound_splits, one_word_terms
from .weights import DEFAULT_WEIGHTS, RankingWeights


# Symbols' rows held before they are written.
SYMBOL_BATCH = 4096
# From this many files on, a build with a second core at hand gathers the
# postings in a helper process (`postings_aside`): below, starting one costs
# more than it saves.
ASIDE_MIN_FILES = 1000


class Irregular(Exception):
    """The graph is not of the shape the indexer writes (files in path
    order, each followed by its symbols; edges in sections, each in the
    order of the files they come from)."""


_END = object()


class _Section:
    """One section's edges, looked at one ahead (`_END` after the last)."""

    __slots__ = ("_values", "_chunk", "_at")

    def __init__(self, chunks):
        self._values = iter(chunks)
        self._chunk: list = []
        self._at = 0

    def peek(self):
        while self._at == len(self._chunk):
            self._chunk = next(self._values, None)
            self._at = 0
            if self._chunk is None:
                self._chunk = []
                return _END
        return self._chunk[self._at]

    def take(self):
        self._at += 1


def shares(node_chunks, section_chunks):
    """The files' shares of a graph in graph order, from its nodes and each
    section's edges (`compact.EDGE_ORDER`), as lists of values in order;
    raises `Irregular` where the graph is not of the indexer's shape (which
    is `compact.shares`'s, with each section's edges of its own relation)."""
    sections = [_Section(chunks) for chunks in section_chunks]
    if len(sections) != len(compact.EDGE_ORDER):
        raise Irregular
    share = None
    for node in chain.from_iterable(node_chunks):
        if type(node) is dict and node.get("kind") == "file":
            fid = compact._file_node(node)
            if fid is None or (share is not None and not fid > share.fid):
                raise Irregular
            if share is not None:
                yield _with_edges(share, sections)
            share = compact.Share(fid, [node], tuple([] for _ in compact.EDGE_ORDER))
        elif share is None or not compact._symbol_of(node, share.fid):
            raise Irregular
        else:
            share.nodes.append(node)
    if share is not None:
        yield _with_edges(share, sections)
    if any(section.peek() is not _END for section in sections):
        raise Irregular  # edges from no file of the graph


def _with_edges(share: compact.Share, sections: list) -> compact.Share:
    fid = share.fid
    for number, (section, out) in enumerate(zip(sections, share.out)):
        while True:
            edge = section.peek()
            source = edge.get("from") if type(edge) is dict else None
            if edge is _END or (type(source) is str and source > fid):
                break
            if compact._edge_section(edge, fid) != number:
                raise Irregular
            out.append(edge)
            section.take()
    return share


def outline(share: compact.Share) -> list:
    """A share's `build.graph_files` entry: [path, summary, defined names,
    [(symbol node, name)]]."""
    file_node, *symbols = share.nodes
    placed = [(node, symbol_name(node)) for node in symbols]
    return [share.fid, file_node["summary"], [name for _, name in placed], placed]


class _Survey:
    """What the first pass learns of the whole project."""

    def __init__(self):
        self.frequency: Counter = Counter()
        self.candidates: Counter = Counter()
        self.held: dict = {}  # file id -> its documents, kept for the second pass
        self.into: dict = {}  # file id -> the keyed edges of other files that lead to it
        self.nodes = 0
        self.edges = 0


def _survey(db, read_shares, documents, doc_key, sources, records, helper) -> tuple:
    """The first pass: the survey, each file's state, record and source
    rows written, and its documents handed to `helper` (when it comes up,
    else some held for the second pass); returns (survey, the helper that
    is up or None)."""
    survey = _Survey()
    held = 0
    first_symbol = 0
    for number, share in enumerate(read_shares()):
        fid = share.fid
        entry = outline(share)
        docs = documents(fid, entry)
        if helper is None or not helper.up:  # a helper that is up counts them
            survey.frequency.update(chain.from_iterable(docs))
        if helper is not None and not helper.add_documents(docs):
            helper = None
        if helper is None and held < build.HELD_POSTINGS:
            survey.held[fid] = docs
            held += sum(map(len, docs))
        names = one_word_terms(name_parts(entry[0], entry[2]))
        survey.candidates.update(names)
        record = records.take(fid)
        key = doc_key(fid)
        db.execute(
            "INSERT INTO docstate VALUES (?, ?, ?, ?, ?)",
            (number, fingerprint(entry, key, record), first_symbol, len(entry[3]), file_state(docs, sorted(names), key)),
        )
        first_symbol += len(entry[3])
        if fid in sources:
            db.execute("INSERT INTO sources VALUES (?, ?, ?, ?)", (number, *sources[fid]))
        if record is not None:
            db.execute("INSERT INTO records VALUES (?, ?)", (number, record))
        survey.nodes += len(share.nodes)
        for section, edges in enumerate(share.out):
            survey.edges += len(edges)
            for place, edge in enumerate(edges):
                target = compact.base(edge["to"])
                if target != share.fid:  # keyed as `parts.keyed_edges` keys it
                    survey.into.setdefault(target, []).append([section, place, edge])
    survey.frequency.pop(UNCOUNTED, None)  # a length's share, not a term
    return survey, helper


class _Corpus(MemoryCorpus):
    """A corpus whose symbols' listings go to the index as they are added
    (`write_symbol(number, info, file number)`) instead of being held."""

    def __init__(self, weights: RankingWeights, write_symbol):
        super().__init__(weights)
        self._write_symbol = write_symbol
        self._symbols = 0

    def _list_symbol(self, number: int, info: tuple, file_number: int) -> None:
        self._symbols += 1
        self._write_symbol(number, info, file_number)

    @property
    def symbol_count(self) -> int:
        return self._symbols

    def term_rows(self, frequency: Counter):
        """The `terms` table's rows: (term, document frequency as
        ``frequency`` counted it, encoded postings), in the index's order."""
        from .._scoring import encode_postings

        df = frequency.get
        return ((to_sql_text(term), df(term, 0), encode_postings(*entry)) for term, entry in self.sorted_terms())


class _AsideCorpus(_Corpus):
    """A corpus whose postings and document lengths a helper process
    gathers (`postings_aside`) from the documents the first pass handed
    it: this one keeps the files' and symbols' lists."""

    def __init__(self, weights: RankingWeights, write_symbol, aside: PostingsAside):
        super().__init__(weights, write_symbol)
        self._aside = aside

    def add_file(self, file_id: str, terms=None, flags: int = 0, imported_by: int = 0) -> int:
        number = len(self.file_ids)
        self.file_ids.append(file_id)
        self.file_flags.append(flags)
        self.file_prior.append(prior(imported_by, self.weights))
        return number

    def add_symbol(self, file_number: int, info: tuple, terms=None) -> int:
        number = self.symbol_count
        self._list_symbol(number, info, file_number)
        self.symbol_file.append(file_number)
        return number

    def file_done(self) -> None:
        pass

    def finish(self) -> "_AsideCorpus":
        self.splits, self.file_length, self.symbol_length = self._aside.lengths()
        return super().finish()

    def term_rows(self, frequency=None):
        """As `_Corpus.term_rows`, the frequencies as the helper counted them."""
        return ((to_sql_text(term), df, encoded) for term, df, encoded in self._aside.encoded_terms())


class _Copy:
    """The graph's compact copy and parts, written a chunk and a file at a
    time; none at all when a value cannot be encoded (`graph_copy.full_rows`)."""

    def __init__(self, db, into: dict):
        self.db = db
        self.into = into
        self.chunk: list = []
        self.failed = False

    def add(self, share: compact.Share) -> None:
        if self.failed:
            return
        if self.chunk and compact.starts_chunk(share.fid):
            self._flush()
        self.chunk.append(share)
        edges = parts.keyed_edges(share) + self.into.pop(share.fid, [])
        edges.sort(key=parts.edge_key)
        self.db.execute(
            "INSERT INTO parts VALUES (?, ?, ?)", (to_sql_text(share.fid), parts.encode_nodes(share.nodes), parts.encode_edges(share.fid, edges))
        )

    def _flush(self) -> None:
        try:
            blob = compact.encode_chunk(self.chunk)
        except (ValueError, TypeError, OverflowError):
            self.failed = True
            return
        finally:
            first, self.chunk = self.chunk[0].fid, []
        self.db.execute("INSERT INTO chunks VALUES (?, ?)", (to_sql_text(first), blob))

    def finish(self, top: dict) -> None:
        if self.chunk and not self.failed:
            self._flush()
        if self.failed:
            write_graph_rows(self.db, None)
        else:
            self.db.execute("INSERT INTO graph VALUES ('top', ?)", (compact.encode_top(top),))


def build_streamed(
    path: str,
    read_shares,
    prepared,
    doc_key,
    top: dict,
    identity: dict,
    sources: dict,
    records,
    runs,
    weights: RankingWeights = DEFAULT_WEIGHTS,
    aside: bool = False,
) -> str:
    """The index of the graph whose shares `read_shares()` gives (a fresh
    iterator each time it is called), written to a temporary beside `path`
    as `store.build_index` writes it; returns the temporary's path.
    `prepared`, `doc_key` and `sources` are as `corpus_from_graph` and
    `build_index` take them, `records` gives each packed record once
    (`store.PackedRecords.take`); `top` is the graph's top-level keys,
    `identity` the graph file's, to which the node and edge counts are
    added; `runs` (`runs.PostingRuns`) takes the postings as they grow.
    With `aside`, a project of `ASIDE_MIN_FILES` source files or more has its postings
    gathered by a helper process instead (`postings_aside`; the same index).
    Raises `Irregular`, with nothing written, when the graph is not of the
    indexer's shape; SQLite's errors as OSError, and a helper that stops
    as `postings_aside.AsideFailed`."""
    def documents(fid, entry):
        return file_documents(entry, prepared(fid), weights)

    # Started first: the helper's start-up overlaps the first files.
    helper = PostingsAside.start(path) if aside and len(sources) >= ASIDE_MIN_FILES else None
    with helper or nullcontext():

        def fill(db):
            survey, up = _survey(db, read_shares, documents, doc_key, sources, records, helper)
            if up is not None and not up.split(list(survey.candidates), weights.compound_share):
                up = None
            # A helper that is up counted the frequencies and works out the splits.
            splits = compound_splits(survey.frequency, survey.candidates.keys()) if up is None else None
            if up is not None:
                survey.frequency.clear()  # the first files' only, counted before the helper was up
            symbol_rows: list = []  # written a few thousand at a time

            def write_symbol(number, info, file_number):
                symbol_rows.append(symbol_row(number, info, file_number, corpus.file_ids[file_number]))

            if up is None:
                corpus = _Corpus(weights, write_symbol)
                corpus.spill_to(runs, posting_runs.RUN_POSTINGS)
            else:
                corpus = _AsideCorpus(weights, write_symbol, up)
            _write(db, survey, splits, read_shares, documents, top, identity, corpus, symbol_rows, weights)

        return write_new_index(path, fill)


def _write(db, survey, splits, read_shares, documents, top, identity, corpus, symbol_rows, weights) -> None:
    def flush_symbols():
        db.executemany("INSERT INTO symbols VALUES (?, ?, ?, ?, ?, ?, ?)", symbol_rows)
        symbol_rows.clear()

    # The helper has the documents: this pass lists the symbols only.
    in_process = not isinstance(corpus, _AsideCorpus)
    copy = _Copy(db, survey.into)
    outlines = []
    imports = []  # (source number, target file id) of the "imports" edges
    for number, share in enumerate(read_shares()):
        fid = share.fid
        entry = outline(share)
        if in_process:
            docs = survey.held.pop(fid) if fid in survey.held else documents(fid, entry)
            add_compound_parts(docs, splits, weights)
            corpus.add_file(fid, docs[0])
            for (node, name), terms in zip(entry[3], docs[1:]):
                corpus.add_symbol(number, symbol_info(node, name), terms)
        else:
            corpus.add_file(fid)
            for node, name in entry[3]:
                corpus.add_symbol(number, symbol_info(node, name))
        corpus.file_done()
        if len(symbol_rows) >= SYMBOL_BATCH:
            flush_symbols()
        imports.extend((number, compact.base(edge["to"])) for edge in share.out[compact.SECTION["imports"]])
        outlines.append((number, fid, test_evidence(entry[2]), len(entry[2]), declares_only(entry[3])))
        copy.add(share)
    flush_symbols()
    copy.finish(top)

    numbers = {fid: number for number, fid in enumerate(corpus.file_ids)}
    state = []
    flags, priors = build.facts_of(outlines, ((src, numbers.get(dst)) for src, dst in imports), weights, lambda *found: state.extend(found))
    for number, value in flags.items():
        corpus.file_flags[number] = value
    for number, value in priors.items():
        corpus.file_prior[number] = value
    corpus.finish()
    if splits is None:
        splits = corpus.splits

    graph_identity = {"generation": top.get("generation"), "nodes": survey.nodes, "edges": survey.edges, **identity}
    updatable = corpus.file_count > 0
    write_meta(db, graph_identity, corpus.file_count, corpus.symbol_count, corpus.symbol_count, updatable)
    db.executemany("INSERT INTO arrays VALUES (?, ?)", _chunks(corpus))
    db.executemany("INSERT INTO file_numbers VALUES (?, ?)", ((to_sql_text(fid), n) for fid, n in numbers.items()))
    db.executemany("INSERT INTO terms VALUES (?, ?, ?)", corpus.term_rows(survey.frequency))
    if updatable:
        write_state(db, splits, survey.candidates, ())
        write_facts(db, *state)
