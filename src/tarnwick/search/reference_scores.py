"""The scoring loops of `rank` in Python: the reference `tarnwick._scoring`
is held to.

`Scores` here and the kernel's `Scores` take the same arguments, refuse the
same damage and give the same numbers to the last bit: sums are taken in
the same order (postings in term order, then in posting order; a file's
total left to right), in doubles.  The tests rank random corpora with both.
"""

from __future__ import annotations

import heapq
import math


def _check_length(values, expected: int, message: str) -> None:
    if len(values) != expected:
        raise ValueError(message)


class _Collection:
    def __init__(self, count: int) -> None:
        self.count = count
        self.scores: dict = {}  # number -> score, in the order first scored

    def add(self, numbers, weights, norm, scale: float) -> None:
        _check_length(norm, self.count, "length norms of the wrong length")
        self._add(numbers, weights, norm.__getitem__, scale)

    def add_bound(self, numbers, weights, least_norm: float, scale: float) -> None:
        if not all(tf >= 0.0 for tf in weights):
            raise ValueError("postings weights negative")
        self._add(numbers, weights, lambda _: least_norm, scale)

    def _add(self, numbers, weights, norm_of, scale: float) -> None:
        _check_length(weights, len(numbers), "postings of unequal length")
        if numbers and max(numbers) >= self.count:
            raise ValueError("postings out of range")
        scores = self.scores
        get = scores.get
        for number, tf in zip(numbers, weights):
            share = scale * tf / (tf + norm_of(number))
            if not math.isfinite(share):
                raise ValueError("postings or norms not finite")
            scores[number] = get(number, 0.0) + share


def _ranked(found: list, top: int) -> list:
    return heapq.nsmallest(top, found, key=lambda item: (-item[0], item[1]))


class Scores:
    """BM25 scores of one question over a corpus's files and symbols."""

    def __init__(self, file_count: int, symbol_count: int) -> None:
        self._files = _Collection(file_count)
        self._symbols = _Collection(symbol_count)

    def add_files(self, numbers, weights, norm, scale: float) -> None:
        self._files.add(numbers, weights, norm, scale)

    def add_symbols(self, numbers, weights, norm, scale: float) -> None:
        self._symbols.add(numbers, weights, norm, scale)

    def add_files_bound(self, numbers, weights, least_norm: float, scale: float) -> None:
        self._files.add_bound(numbers, weights, least_norm, scale)

    def add_symbols_bound(self, numbers, weights, least_norm: float, scale: float) -> None:
        self._symbols.add_bound(numbers, weights, least_norm, scale)

    def files(self) -> dict:
        return dict(self._files.scores)

    def symbols(self) -> dict:
        return dict(self._symbols.scores)

    def file_totals(self, symbol_file, priors, flags, factors, best_share: float, second_share: float, top: int) -> list:
        """[(total, file number)] of the files scoring above zero whose total
        reaches the ``top``-th best, best first (ties in number order)."""
        totals = self._totals(symbol_file, priors, flags, factors, best_share, second_share)
        if top <= 0:
            return []
        ranked = _ranked(totals, len(totals))
        if len(ranked) > top:
            cut = ranked[top - 1][0]
            ranked = [item for item in ranked if item[0] >= cut]
        return ranked

    def file_totals_reaching(self, symbol_file, priors, flags, factors, best_share: float, second_share: float, floor: float) -> list:
        """[(total, file number)] of every file scoring above zero and at least
        ``floor``, best first (ties in number order)."""
        totals = self._totals(symbol_file, priors, flags, factors, best_share, second_share)
        return _ranked([item for item in totals if item[0] >= floor], len(totals))

    def _totals(self, symbol_file, priors, flags, factors, best_share: float, second_share: float) -> list:
        file_count = self._files.count
        _check_length(symbol_file, self._symbols.count, "symbol files of the wrong length")
        _check_length(priors, file_count, "priors of the wrong length")
        _check_length(flags, file_count, "file flags of the wrong length")
        best: dict = {}  # file number -> its best symbol score
        second: dict = {}  # file number -> its second best
        for number, value in self._symbols.scores.items():
            owner = symbol_file[number]
            if owner >= file_count:
                raise ValueError("a symbol's file out of range")
            top_value = best.get(owner)
            if top_value is None:
                best[owner] = value
            elif value > top_value:
                best[owner] = value
                second[owner] = top_value
            elif value > second.get(owner, 0.0):
                second[owner] = value
        file_scores = self._files.scores
        mask = len(factors) - 1
        totals = []
        for number in [*file_scores, *(n for n in best if n not in file_scores)]:
            total = file_scores.get(number, 0.0) + best_share * best.get(number, 0.0) + second_share * second.get(number, 0.0)
            total *= priors[number]
            for factor in factors[flags[number] & mask]:
                total *= factor
            if total > 0.0:
                totals.append((total, number))
        return totals

    def best_symbols(self, symbol_file, numbers, per_file: int) -> dict:
        """{file number: [(score, symbol number)]} for the files ``numbers``:
        their best ``per_file`` symbols, best first, ties to the smaller number."""
        _check_length(symbol_file, self._symbols.count, "symbol files of the wrong length")
        by_file: dict = {number: [] for number in numbers}
        for number, value in self._symbols.scores.items():
            found = by_file.get(symbol_file[number])
            if found is not None:
                found.append((value, number))
        return {number: _ranked(found, per_file) for number, found in by_file.items()}


def bound_totals(postings, least_norm: float, symbol_file, priors, flags, factors, best_share: float, second_share: float) -> tuple:
    """(totals, files): every file's bound total above zero, unordered, for
    the terms' ``postings`` (each (files, weights, scale, symbols, weights,
    scale)), each added with every norm taken as ``least_norm``."""
    from array import array

    scores = Scores(len(priors), len(symbol_file))
    for files, file_weights, file_scale, symbols, symbol_weights, symbol_scale in postings:
        if not (file_scale >= 0.0 and symbol_scale >= 0.0):
            raise ValueError("a scale negative")
        scores.add_files_bound(files, file_weights, least_norm, file_scale)
        if not all(tf >= 0.0 for tf in symbol_weights):
            raise ValueError("postings weights negative")
        _check_length(symbol_weights, len(symbols), "postings of unequal length")
        if symbols and max(symbols) >= len(symbol_file):
            raise ValueError("postings out of range")
        if any(a >= b for a, b in zip(symbols, symbols[1:])):
            raise ValueError("postings out of order")
        scores.add_symbols_bound(symbols, symbol_weights, least_norm, symbol_scale)
    found = scores._totals(symbol_file, priors, flags, factors, best_share, second_share)
    return array("d", [total for total, _ in found]), array("I", [number for _, number in found])


def bound_totals_from_firsts(
    postings, least_norm: float, firsts, symbol_count: int, priors, flags, factors, best_share: float, second_share: float
) -> tuple:
    """`bound_totals` with each symbol's file made from the files' first
    symbols ``firsts`` (`owners_from_firsts`) among ``symbol_count`` symbols."""
    from array import array

    ends_out_of_order(firsts, symbol_count)  # refused as the kernel refuses them
    _check_length(firsts, len(priors), "first symbols of the wrong length")
    # Merged by number, each term's file postings must increase too.
    if any(a >= b for files, *_ in postings for a, b in zip(files, files[1:])):
        raise ValueError("postings out of order")
    symbol_file = array("I", bytes(4 * symbol_count))
    owners_from_firsts(firsts, symbol_file)
    return bound_totals(postings, least_norm, symbol_file, priors, flags, factors, best_share, second_share)


def leading(totals, files, top: int) -> list:
    """[(total, file number)]: the best ``top`` and those tied with the last, best first."""
    _check_length(files, len(totals), "totals and files of unequal length")
    ranked = _ranked(list(zip(totals, files)), len(totals))
    if top <= 0:
        return []
    if len(ranked) > top:
        cut = ranked[top - 1][0]
        ranked = [item for item in ranked if item[0] >= cut]
    return ranked


def reaching(totals, files, floor: float) -> list:
    """[(total, file number)]: those at least ``floor``, best first."""
    _check_length(files, len(totals), "totals and files of unequal length")
    return _ranked([item for item in zip(totals, files) if item[0] >= floor], len(totals))


def postings_in(numbers, weights, symbol_file, wanted) -> tuple:
    """The postings (numbers, weights) that lie in the files ``wanted`` (a
    byte per file, non-zero for wanted): a file posting by its own number,
    a symbol posting by its file in ``symbol_file`` (None for file postings)."""
    from array import array

    _check_length(weights, len(numbers), "postings of unequal length")
    kept_numbers, kept_weights = array("I"), array("f")
    for number, tf in zip(numbers, weights):
        owner = number
        if symbol_file is not None:
            if number >= len(symbol_file):
                raise ValueError("postings out of range")
            owner = symbol_file[number]
        if owner >= len(wanted):
            raise ValueError("postings out of range" if symbol_file is None else "a symbol's file out of range")
        if wanted[owner]:
            kept_numbers.append(number)
            kept_weights.append(tf)
    return kept_numbers, kept_weights


def postings_in_blocks(numbers, weights, blocks) -> tuple:
    """The postings (numbers, weights) whose numbers lie in one of
    ``blocks``, pairs (first, end) of half-open ranges, increasing and not
    overlapping; each found by binary search in ``numbers`` (increasing)."""
    from array import array
    from bisect import bisect_left

    _check_length(weights, len(numbers), "postings of unequal length")
    if len(blocks) % 2:
        raise ValueError("blocks of odd length")
    for i in range(0, len(blocks), 2):
        if blocks[i] > blocks[i + 1] or (i and blocks[i] < blocks[i - 1]):
            raise ValueError("blocks out of order")
    kept_numbers, kept_weights = array("I"), array("f")
    at = 0
    for i in range(0, len(blocks), 2):
        first = bisect_left(numbers, blocks[i], at)
        at = bisect_left(numbers, blocks[i + 1], first)
        kept_numbers.extend(numbers[first:at])
        kept_weights.extend(weights[first:at])
    return kept_numbers, kept_weights


def length_norms(lengths, k1: float, b: float, average: float):
    """BM25's length norm of each document, as the kernel takes it."""
    from array import array

    return array("f", (k1 * (1.0 - b + b * n / average) for n in lengths))


def ends_out_of_order(firsts, symbol_count: int):
    """(file, end) pairs, one after another in the order of the blocks, of
    the files whose block's room (up to the next block by first symbol, or
    ``symbol_count``) does not end where the next file with symbols begins;
    ValueError for first symbols `owners_from_firsts` refuses."""
    from array import array

    from .first_symbols import NO_SYMBOLS

    starts = _starts(firsts, symbol_count)
    present = [file for file, first in enumerate(firsts) if first != NO_SYMBOLS]
    after = {file: firsts[later] for file, later in zip(present, present[1:])}
    ends = array("I")
    for (first, file), end in zip(starts, [first for first, _ in starts[1:]] + [symbol_count]):
        if after.get(file, symbol_count) != end:
            ends.extend((file, end))
    return ends


def _starts(firsts, symbol_count: int) -> list:
    """The (first symbol, file) of each file with symbols, by first symbol;
    ValueError for those `owners_from_firsts` refuses."""
    from .first_symbols import NO_SYMBOLS

    if len(firsts) >= NO_SYMBOLS:
        raise ValueError("more files than 32-bit numbers can name")
    starts = []
    for file, first in enumerate(firsts):
        if first == NO_SYMBOLS:
            continue
        if first >= symbol_count:
            raise ValueError("a file's first symbol out of range")
        starts.append((first, file))
    starts.sort()
    if any(a[0] == b[0] for a, b in zip(starts, starts[1:])):
        raise ValueError("two files' symbols begin at one number")
    return starts


def owners_from_firsts(firsts, owners) -> None:
    """Each symbol's file written into ``owners`` from each file's first
    symbol (`first_symbols.NO_SYMBOLS`: none), as the kernel writes it:
    the file whose first symbol is the last at or before the slot, file 0
    before the first block; nothing written for a refused ``firsts``."""
    starts = _starts(firsts, len(owners))
    for slot in range(starts[0][0] if starts else len(owners)):
        owners[slot] = 0
    ends = [first for first, _ in starts[1:]] + [len(owners)]
    for (first, file), end in zip(starts, ends):
        for slot in range(first, end):
            owners[slot] = file
