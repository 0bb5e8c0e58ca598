"""Postings gathered before the splits of compound words are known, put
right once they are.

A full build knows the splits only when its first pass has read every file,
but the postings helper (`postings_aside`) gathers each file's postings as
that pass hands its documents over.  Splitting gives a document each
compound's two words (or raises their weight to the compound's share): the
documents it changes are found again once the splits are known, and their
changed postings and lengths replace the first ones.  The postings come out
as gathering the split documents would have made them, byte for byte.
"""

from __future__ import annotations

from array import array
from bisect import bisect_left

from .corpus import take_length
from .tokens import add_compound_parts


def _entry() -> list:
    return [array("I"), array("f"), array("I"), array("f")]


class Amends:
    """The postings and lengths that splitting changes, by term and by
    document number."""

    def __init__(self, splits: dict, weights):
        self._splits = splits
        self._weights = weights
        self.terms: dict = {}  # term -> [file numbers, weights, symbol numbers, weights], in order
        # (numbers, lengths) of the files' and of the symbols' documents
        # changed: most documents of a large project may be.
        self.lengths = ((array("I"), array("d")), (array("I"), array("d")))

    def add(self, docs: list, file_number: int, first_symbol: int) -> None:
        """Look again at a file's documents as they were gathered (its own,
        then its symbols', numbered from `first_symbol`)."""
        split_terms = self._splits.keys()
        for place, doc in enumerate(docs):
            if split_terms.isdisjoint(doc):  # a loop in C over the terms
                continue
            raised: dict = {}  # the words given or raised: their postings change
            add_compound_parts([doc], self._splits, self._weights, raised)
            length = take_length(doc)
            side = 2 if place else 0
            number = first_symbol + place - 1 if place else file_number
            numbers, lengths = self.lengths[side // 2]
            numbers.append(number)
            lengths.append(length)
            for term, weight in raised.items():
                entry = self.terms.get(term)
                if entry is None:
                    entry = self.terms[term] = _entry()
                entry[side].append(number)
                entry[side + 1].append(weight)

    def apply(self, corpus) -> None:
        """Set the changed lengths, and add the changed postings last to
        the postings `corpus` holds: each term's come out at its end."""
        for held, (numbers, lengths) in zip((corpus.file_length, corpus.symbol_length), self.lengths):
            for number, length in zip(numbers, lengths):
                held[number] = length
        held = corpus._postings
        for term, amended in self.terms.items():
            entry = held.get(term)
            if entry is None:
                entry = held[term] = _entry()
            for values, more in zip(entry, amended):
                values.extend(more)

    def mended(self, sorted_terms):
        """(term, postings) of `sorted_terms` (the corpus's, after `apply`)
        with each changed posting in its place."""
        terms = self.terms
        for term, entry in sorted_terms:
            amended = terms.get(term)
            if amended is not None:
                entry = [*_merged(entry[0], entry[1], len(amended[0])), *_merged(entry[2], entry[3], len(amended[2]))]
            yield term, entry


def _merged(numbers: array, weights: array, count: int) -> tuple:
    """The postings whose last `count` amend those before them (in order
    of number): one of the same number is replaced, another put in its
    place."""
    if not count:
        return numbers, weights
    end = len(numbers) - count
    out_numbers, out_weights = array("I"), array("f")
    start = 0
    for number, weight in zip(numbers[end:], weights[end:]):
        at = bisect_left(numbers, number, start, end)
        out_numbers.extend(numbers[start:at])
        out_weights.extend(weights[start:at])
        out_numbers.append(number)
        out_weights.append(weight)
        start = at + 1 if at < end and numbers[at] == number else at
    out_numbers.extend(numbers[start:end])
    out_weights.extend(weights[start:end])
    return out_numbers, out_weights
