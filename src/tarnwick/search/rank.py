"""Ranking files and the symbols inside them for a question.

Both collections are scored with BM25 over the fielded term weights of
`documents`.  A file's score is its own document's score plus a share of
its two best symbols' scores (the file that holds the function asked about
is the file to open), times a small prior for files that many others
import.  Test files count for a fraction unless the question is about
tests; when it asks for tests themselves, the other files do.  Examples,
demos, documentation sources and benchmarks count half unless the question
names them.  Files past the fifth scoring under 0.3 of the best are left
out.  Ties go to the smaller file id.
"""

from __future__ import annotations

import heapq
import math

from .corpus import FLAG_EXAMPLE, FLAG_TEST
from .weights import DEFAULT_WEIGHTS, RankingWeights

# Question terms that ask for examples, demos, documentation or benchmarks.
EXAMPLE_TERMS = frozenset(("exampl", "demo", "sampl", "documentation", "tutorial", "benchmark", "bench"))


def _bm25(numbers, weights, norm, idf_weight, k1: float, scores: dict) -> None:
    get = scores.get
    scale = idf_weight * (k1 + 1.0)
    for number, tf in zip(numbers, weights):
        scores[number] = get(number, 0.0) + scale * tf / (tf + norm[number])


def _idf(count: int, df: int) -> float:
    return math.log(1.0 + (count - df + 0.5) / (df + 0.5))


def score(corpus, terms: dict, weights: RankingWeights = DEFAULT_WEIGHTS) -> tuple[dict, dict]:
    """BM25 scores of the file and symbol documents that hold any of the
    weighted ``terms``: ({file number: score}, {symbol number: score})."""
    files: dict = {}
    symbols: dict = {}
    n_files, n_symbols = corpus.file_count, corpus.symbol_count
    file_norm, symbol_norm = corpus.file_norm, corpus.symbol_norm
    k1 = weights.bm25_k1
    for term, weight in terms.items():
        entry = corpus.postings(term)
        if entry is None:
            continue
        file_numbers, file_weights, symbol_numbers, symbol_weights = entry
        if file_numbers:
            _bm25(file_numbers, file_weights, file_norm, weight * _idf(n_files, len(file_numbers)), k1, files)
        if symbol_numbers:
            _bm25(symbol_numbers, symbol_weights, symbol_norm, weight * _idf(n_symbols, len(symbol_numbers)), k1, symbols)
    return files, symbols


def rank(
    corpus,
    terms: dict,
    top_files: int,
    about_tests: bool,
    wants_tests: bool = False,
    weights: RankingWeights = DEFAULT_WEIGHTS,
) -> list[dict]:
    """The best ``top_files`` file entries for ``terms``, best first:
    ``{"id", "score", "symbols"}``, the symbols as the retrieval result lists
    them (best first, at most eight)."""
    if top_files <= 0 or not terms:
        return []
    file_scores, symbol_scores = score(corpus, terms, weights)
    symbol_file = corpus.symbol_file
    best: dict = {}  # file number -> its best symbol score
    second: dict = {}  # file number -> its second best
    best_of = best.get
    for number, value in symbol_scores.items():
        owner = symbol_file[number]
        top = best_of(owner)
        if top is None:
            best[owner] = value
        elif value > top:
            best[owner] = value
            second[owner] = top
        elif value > second.get(owner, 0.0):
            second[owner] = value
    flags, priors = corpus.file_flags, corpus.file_prior
    examples_too = not EXAMPLE_TERMS.isdisjoint(terms)
    totals = []
    for number in file_scores.keys() | best.keys():
        total = (
            file_scores.get(number, 0.0)
            + weights.best_symbol_share * best_of(number, 0.0)
            + weights.second_symbol_share * second.get(number, 0.0)
        )
        total *= priors[number]
        if flags[number] & FLAG_TEST:
            if not about_tests:
                total *= weights.test_factor
        elif wants_tests:
            total *= weights.non_test_factor
        if flags[number] & FLAG_EXAMPLE and not examples_too:
            total *= weights.example_factor
        if total > 0.0:
            totals.append((total, corpus.file_id(number), number))
    chosen = heapq.nsmallest(top_files, totals, key=lambda item: (-item[0], item[1]))
    if len(chosen) > weights.kept_files:
        # Nearly every file shares a word of the question with the code now
        # that bodies count: those far behind the best only push the code
        # that answers out of the block's budget.
        floor = chosen[0][0] * weights.tail_floor
        chosen = chosen[: weights.kept_files] + [item for item in chosen[weights.kept_files :] if item[0] >= floor]
    # The symbols of the chosen files only: most matching symbols lie elsewhere.
    listed = best_symbols(corpus, symbol_scores, [number for _, _, number in chosen], weights)
    return [{"id": file_id, "score": total, "symbols": listed[number]} for total, file_id, number in chosen]


def best_symbols(corpus, symbol_scores: dict, numbers: list, weights: RankingWeights = DEFAULT_WEIGHTS) -> dict:
    """{file number: its best-scoring symbols} for the files ``numbers``, as
    the retrieval result lists them (best first, ties to the smaller
    number, at most ``weights.symbols_per_file``; symbols without lines
    cannot be shown and are left out)."""
    by_file: dict = {number: [] for number in numbers}
    symbol_file = corpus.symbol_file
    for number, value in symbol_scores.items():
        found = by_file.get(symbol_file[number])
        if found is not None:
            found.append((value, number))
    wanted = []
    for number, found in by_file.items():
        ranked = heapq.nsmallest(weights.symbols_per_file, found, key=lambda item: (-item[0], item[1]))
        by_file[number] = ranked
        wanted.extend(n for _, n in ranked)
    info = corpus.symbols(wanted)
    listed = {}
    for number, ranked in by_file.items():
        listed[number] = []
        for value, symbol in ranked:
            node_id, name, kind, start, end = info[symbol]
            if start is not None and end is not None:
                listed[number].append(
                    {"id": node_id, "name": name, "symbol_kind": kind, "line_start": start, "line_end": end, "score": value}
                )
    return listed


def rank_symbols(corpus, terms: dict, weights: RankingWeights = DEFAULT_WEIGHTS) -> dict:
    """{file id: its best symbols for ``terms``} over every file of ``corpus``,
    scored and listed as `rank` scores and lists them."""
    _, symbol_scores = score(corpus, terms, weights)
    numbers = range(corpus.file_count)
    listed = best_symbols(corpus, symbol_scores, list(numbers), weights)
    return {corpus.file_id(number): listed[number] for number in numbers}
