"""The ranked collections: postings of file and symbol documents.

A corpus answers, per term, which file documents and which symbol documents
hold it and with what weight, plus a few numbers per document: the BM25
length norm, the file a symbol lies in, whether a file is a test, and a
prior from the import graph.  `MemoryCorpus` holds all of it in dicts and
arrays (built by the indexer, or from a graph when no search index can be
used); `reader.IndexCorpus` reads the same from the search index file, one
term at a time.
"""

from __future__ import annotations

import math
from array import array

from .._scoring import length_norms
from .weights import DEFAULT_WEIGHTS, RankingWeights


FLAG_TEST = 1
FLAG_EXAMPLE = 2  # examples, demos, documentation sources, benchmarks
FLAG_DECLARATIONS = 4  # type declarations only: no function or method
# Symbols that declare a shape and run no code.
DECLARATION_KINDS = frozenset(("type", "interface", "enum", "struct", "trait", "union"))


# A document's entry under this key is the weight of its fields that its
# length leaves out: the source text and the history.  Their words are damped
# per term already, and their size says how much code or history a file has,
# not how wordy its names are; counted, they made the name matches of every
# long or often changed file weaker.  Never a term: terms are word characters.
UNCOUNTED = "#uncounted"


def take_length(terms: dict) -> float:
    """A document's length for BM25: the sum of its weights less the
    uncounted ones, whose entry it takes out of ``terms``."""
    uncounted = terms.pop(UNCOUNTED, 0.0)
    total = sum(terms.values())
    if not isinstance(uncounted, (int, float)):
        return total
    return max(total - uncounted, 0.0)


def average_length(lengths, count: int) -> float:
    """The average of ``count`` documents whose ``lengths`` these are (with
    zeros for free slots): their sum rounded once, whatever its order, so
    an updated index gets the very average a full build does."""
    return math.fsum(lengths) / count if count else 0.0


def norms(lengths, weights: RankingWeights = DEFAULT_WEIGHTS, average: float | None = None) -> array:
    """BM25's k1 * (1 - b + b * length / average length) per document (an
    updated index gives the ``average`` of its live documents)."""
    if not lengths:
        return array("f")
    if average is None:
        average = average_length(lengths, len(lengths))
    average = average or 1.0
    if not (isinstance(lengths, array) and lengths.typecode == "d"):
        lengths = array("d", lengths)
    # In the kernel: every update works out every document's norm again.
    return length_norms(lengths, weights.bm25_k1, weights.bm25_b, average)


def prior(imported_by: int, weights: RankingWeights = DEFAULT_WEIGHTS) -> float:
    return 1.0 + weights.prior * math.log1p(imported_by)


def _entry() -> list:
    # Packed from the start: a large project has millions of postings.
    return [array("I"), array("f"), array("I"), array("f")]


class MemoryCorpus:
    """Postings held in memory.

    Files are numbered in the order added, symbols too; each symbol names
    the number of its file.  ``symbol_info`` keeps, per symbol, what a
    result lists: (node id, name, symbol kind, first line, last line).
    """

    def __init__(self, weights: RankingWeights = DEFAULT_WEIGHTS) -> None:
        self.weights = weights
        self.file_ids: list[str] = []
        self.file_flags = array("B")
        self.file_prior = array("f")
        self.symbol_file = array("I")
        self.symbol_info: list[tuple] = []
        # Each document's length (the sum of its weights), kept for updates.
        self.file_length = array("d")
        self.symbol_length = array("d")
        self._postings: dict[str, list] = {}
        # Where postings go once `limit` of them are held (`spill_to`).
        self._runs = None
        self._limit = 0
        self._held = 0
        self.file_norm = array("f")
        self.symbol_norm = array("f")

    # -- building

    def add_file(self, file_id: str, terms: dict, flags: int = 0, imported_by: int = 0) -> int:
        number = len(self.file_ids)
        self.file_ids.append(file_id)
        self.file_flags.append(flags)
        self.file_prior.append(prior(imported_by, self.weights))
        self.file_length.append(take_length(terms))
        self._held += len(terms)
        postings = self._postings
        for term, weight in terms.items():
            entry = postings.get(term)
            if entry is None:
                postings[term] = entry = _entry()
            entry[0].append(number)
            entry[1].append(weight)
        return number

    def add_symbol(self, file_number: int, info: tuple, terms: dict) -> int:
        number = self.symbol_count
        self._list_symbol(number, info, file_number)
        self.symbol_file.append(file_number)
        self.symbol_length.append(take_length(terms))
        self._held += len(terms)
        postings = self._postings
        for term, weight in terms.items():
            try:
                entry = postings[term]
            except KeyError:
                postings[term] = entry = _entry()
            entry[2].append(number)
            entry[3].append(weight)
        return number

    def _list_symbol(self, number: int, info: tuple, file_number: int) -> None:
        self.symbol_info.append(info)

    def spill_to(self, runs, limit: int) -> None:
        """Write the postings out to ``runs`` (`runs.PostingRuns`) whenever
        ``limit`` of them are held, at the end of a file (`file_done`)."""
        self._runs, self._limit = runs, limit

    def file_done(self) -> None:
        if self._runs is not None and self._held >= self._limit:
            self._runs.write(self._postings)
            self._postings = {}
            self._held = 0

    def sorted_terms(self):
        """(term, postings) of every term, in the order the index keeps
        them; a corpus that wrote runs gives them up, one term at a time.
        One that never reached its limit sorts what it holds: a round trip
        through the scratch database would cost more than the sort."""
        if self._runs is None or self._runs.runs == 0:
            return sorted(self._postings.items())
        if self._postings:
            self._runs.write(self._postings)
            self._postings = {}
        return self._runs.merged()

    def set_imported_by(self, counts: dict) -> None:
        """Set the prior of files from {file number: number of importers}."""
        for number, count in counts.items():
            self.file_prior[number] = prior(count, self.weights)

    def finish(self) -> "MemoryCorpus":
        self.file_norm = norms(self.file_length, self.weights)
        self.symbol_norm = norms(self.symbol_length, self.weights)
        return self

    # -- reading (the interface `rank` uses)

    @property
    def file_count(self) -> int:
        return len(self.file_ids)

    @property
    def symbol_count(self) -> int:
        return len(self.symbol_info)

    def postings(self, term: str):
        """(file numbers, weights, symbol numbers, weights) of ``term``, or None."""
        return self._postings.get(term)

    def terms(self):
        return self._postings.items()

    def file_id(self, number: int) -> str:
        return self.file_ids[number]

    def symbols(self, numbers) -> dict:
        return {n: self.symbol_info[n] for n in numbers}
