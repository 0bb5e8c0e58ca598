"""Ranking files and the symbols inside them for a question.

Both collections are scored with BM25 over the fielded term weights of
`documents`.  A file's score is its own document's score plus a share of
its two best symbols' scores (the file that holds the function asked about
is the file to open), times a small prior for files that many others
import.  Test files count for a fraction unless the question is about
tests; when it asks for tests themselves, the other files do.  Examples,
demos, documentation sources and benchmarks count half unless the question
names them.  Files that only declare types (interfaces, type aliases,
enums: no function or method) count half unless the question is about
types: a change request is about behaviour, and their doc comments spell a
feature's words without the code that does it.  Files past the fifth
scoring under 0.3 of the best are left out.  Ties go to the smaller file
id.

The loops over postings and documents run in `tarnwick._scoring` (C++; its
Python twin, `reference_scores`, is what it is tested against); the rules
and every factor stay here.
"""

from __future__ import annotations

import heapq
import math

from array import array

from .._scoring import (
    Scores,
    bound_totals,
    bound_totals_from_firsts,
    leading,
    postings_in,
    postings_in_blocks,
    reaching,
)
from .corpus import FLAG_DECLARATIONS, FLAG_EXAMPLE, FLAG_TEST
from .weights import DEFAULT_WEIGHTS, RankingWeights

# Question terms that ask for examples, demos, documentation or benchmarks.
EXAMPLE_TERMS = frozenset(("exampl", "demo", "sampl", "documentation", "tutorial", "benchmark", "bench"))
# Question terms that ask about types themselves ("type", "typing", "interface", "declare").
TYPE_TERMS = frozenset(("typ", "interfac", "declar", "declarat"))


def _idf(count: int, df: int) -> float:
    return math.log(1.0 + (count - df + 0.5) / (df + 0.5))


def scores_of(corpus, terms: dict, weights: RankingWeights = DEFAULT_WEIGHTS) -> Scores:
    """The BM25 scores of the file and symbol documents that hold any of the
    weighted ``terms``, summed term by term."""
    # Sized by the documents' arrays (an updated index leaves free slots among
    # its symbols); the idf counts the live documents.
    file_norm, symbol_norm = corpus.file_norm, corpus.symbol_norm
    scores = Scores(len(file_norm), len(symbol_norm))
    n_files, n_symbols = corpus.file_count, corpus.symbol_count
    k1 = weights.bm25_k1
    for term, weight in terms.items():
        entry = corpus.postings(term)
        if entry is None:
            continue
        file_numbers, file_weights, symbol_numbers, symbol_weights = entry
        if file_numbers:
            idf = weight * _idf(n_files, len(file_numbers))
            scores.add_files(file_numbers, file_weights, file_norm, idf * (k1 + 1.0))
        if symbol_numbers:
            idf = weight * _idf(n_symbols, len(symbol_numbers))
            scores.add_symbols(symbol_numbers, symbol_weights, symbol_norm, idf * (k1 + 1.0))
    return scores


def _scaled_postings(corpus, terms: dict, weights: RankingWeights) -> list:
    """Per term with postings, in the question's order: (file numbers,
    weights, scale, symbol numbers, weights, scale), nothing else read."""
    k1 = weights.bm25_k1
    out = []
    for term, weight in terms.items():
        entry = corpus.stored_postings(term)
        if entry is None:
            continue
        files, file_weights, symbols, symbol_weights = entry
        file_scale = weight * _idf(corpus.file_count, len(files)) * (k1 + 1.0) if files else 0.0
        symbol_scale = weight * _idf(corpus.symbol_count, len(symbols)) * (k1 + 1.0) if symbols else 0.0
        out.append((files, file_weights, file_scale, symbols, symbol_weights, symbol_scale))
    return out


def _leading(corpus, terms: dict, top: int, rule: tuple, weights: RankingWeights) -> tuple:
    """The scores, the leading files (`Scores.file_totals`) of ``terms`` and
    the symbols' files that hold for the symbols scored.

    Over a search index the norms of only the documents that can still lead
    are read: every file's total is first bounded from above by taking each
    norm as the least any document has (the sums, the best and second
    symbols and the products only grow as a norm shrinks); the files whose
    bound reaches the ``top``-th best exact total of the best bounded files
    are the only ones that can lead, and are scored exactly.  The result is
    the same, to the last bit, as scoring every document."""
    factors, best_share, second_share = rule
    least_norm = getattr(corpus, "least_norm", None)
    postings = _scaled_postings(corpus, terms, weights) if least_norm is not None else None
    if (
        postings is None
        or min(best_share, second_share, *(f for applied in factors for f in applied)) < 0.0
        or any(p[2] < 0.0 or p[5] < 0.0 for p in postings)
    ):
        scores = scores_of(corpus, terms, weights)
        owners = corpus.symbol_file
        return scores, scores.file_totals(owners, corpus.file_prior, corpus.file_flags, *rule, top), owners
    for files, _, _, symbols, _, _ in postings:
        corpus.need_owners(files, symbols)
    rest = (corpus.file_prior, corpus.file_flags, *rule)
    # Every file's bound in one pass (the symbols' sums a window of numbers at a time), each
    # symbol's file walked from the files' first symbols where the symbols' files are left to them.
    firsts = getattr(corpus, "owners_left", lambda: None)()
    if firsts is not None:
        bounds = bound_totals_from_firsts(postings, least_norm, firsts, len(corpus.symbol_norm), *rest)
    else:
        bounds = bound_totals(postings, least_norm, corpus.symbol_file, *rest)
    first = _exact(corpus, postings, [number for _, number in leading(*bounds, top)])
    # The symbols the exact passes score are those of the files whose blocks they looked up.
    owners = corpus.scored_owners() if firsts is not None else corpus.symbol_file
    best = first.file_totals(owners, *rest, top)
    floor = best[top - 1][0] if len(best) >= top else 0.0
    scores = _exact(corpus, postings, [number for _, number in reaching(*bounds, floor)])
    return scores, scores.file_totals(owners, *rest, top), owners


def _exact(corpus, postings: list, files: list) -> Scores:
    """The scores of the files ``files`` and of every symbol in them."""
    in_files, in_symbols = _selectors(corpus, files)
    scores = Scores(len(corpus.file_norm), len(corpus.symbol_norm))
    for numbers, file_weights, file_scale, symbols, symbol_weights, symbol_scale in postings:
        numbers, file_weights = in_files(numbers, file_weights)
        symbols, symbol_weights = in_symbols(symbols, symbol_weights)
        corpus.need_norms(numbers, symbols)
        if numbers:
            scores.add_files(numbers, file_weights, corpus.file_norm, file_scale)
        if symbols:
            scores.add_symbols(symbols, symbol_weights, corpus.symbol_norm, symbol_scale)
    return scores


def _selectors(corpus, files: list) -> tuple:
    """Two functions of (numbers, weights) that keep the file postings and
    the symbol postings of the files ``files``.  Where the index tells each
    file's block of symbols, each block is looked up in the postings (the
    few files scored exactly, not every posting, set the cost); otherwise
    every posting is looked at by its file."""
    blocks_of = getattr(corpus, "symbol_blocks", None)
    symbol_blocks = blocks_of(files) if blocks_of is not None else None
    if symbol_blocks is not None:
        file_blocks = array("I")
        for number in sorted(set(files)):
            file_blocks.append(number)
            file_blocks.append(number + 1)
        return (
            lambda numbers, weights: postings_in_blocks(numbers, weights, file_blocks),
            lambda numbers, weights: postings_in_blocks(numbers, weights, symbol_blocks),
        )
    wanted = bytearray(len(corpus.file_norm))
    for number in files:
        wanted[number] = 1
    return (
        lambda numbers, weights: postings_in(numbers, weights, None, wanted),
        lambda numbers, weights: postings_in(numbers, weights, corpus.symbol_file, wanted),
    )


def score(corpus, terms: dict, weights: RankingWeights = DEFAULT_WEIGHTS) -> tuple[dict, dict]:
    """BM25 scores of the file and symbol documents that hold any of the
    weighted ``terms``: ({file number: score}, {symbol number: score})."""
    scores = scores_of(corpus, terms, weights)
    return scores.files(), scores.symbols()


def flag_factors(
    about_tests: bool, wants_tests: bool, examples_too: bool, weights: RankingWeights, types_too: bool = False
) -> list:
    """Per combination of a file's flags (test, example, declarations), the
    factors its score is multiplied by, in order."""
    factors = []
    for flags in range((FLAG_TEST | FLAG_EXAMPLE | FLAG_DECLARATIONS) + 1):
        applied = []
        if flags & FLAG_TEST:
            if not about_tests:
                applied.append(weights.test_factor)
        elif wants_tests:
            applied.append(weights.non_test_factor)
        if flags & FLAG_EXAMPLE and not examples_too:
            applied.append(weights.example_factor)
        if flags & FLAG_DECLARATIONS and not types_too:
            applied.append(weights.declarations_factor)
        factors.append(applied)
    return factors


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
    # A file's total: its own score, plus shares of its best and second best
    # symbol's, times its prior, times the factors of its flags.
    factors = flag_factors(
        about_tests, wants_tests, not EXAMPLE_TERMS.isdisjoint(terms), weights, not TYPE_TERMS.isdisjoint(terms)
    )
    rule = (factors, weights.best_symbol_share, weights.second_symbol_share)
    scores, leading, owners = _leading(corpus, terms, top_files, rule, weights)
    totals = [(total, corpus.file_id(number), number) for total, number in leading]
    chosen = heapq.nsmallest(top_files, totals, key=lambda item: (-item[0], item[1]))
    if len(chosen) > weights.kept_files:
        # Nearly every file shares a word of the question with the code now
        # that bodies count: those far behind the best only push the code
        # that answers out of the block's budget.
        floor = chosen[0][0] * weights.tail_floor
        chosen = chosen[: weights.kept_files] + [item for item in chosen[weights.kept_files :] if item[0] >= floor]
    # The symbols of the chosen files only: most matching symbols lie elsewhere.
    listed = best_symbols(corpus, scores, [number for _, _, number in chosen], weights, owners)
    return [{"id": file_id, "score": total, "symbols": listed[number]} for total, file_id, number in chosen]


def best_symbols(
    corpus, scores: Scores, numbers: list, weights: RankingWeights = DEFAULT_WEIGHTS, owners=None
) -> dict:
    """{file number: its best-scoring symbols} for the files ``numbers``, as
    the retrieval result lists them (best first, ties to the smaller
    number, at most ``weights.symbols_per_file``; symbols without lines
    cannot be shown and are left out).  ``owners``: the symbols' files
    that hold for the symbols scored (default: the corpus's, whole)."""
    owners = corpus.symbol_file if owners is None else owners
    by_file = scores.best_symbols(owners, numbers, weights.symbols_per_file)
    info = corpus.symbols([symbol for ranked in by_file.values() for _, symbol in ranked])
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
    numbers = range(corpus.file_count)
    listed = best_symbols(corpus, scores_of(corpus, terms, weights), numbers, weights)
    return {corpus.file_id(number): listed[number] for number in numbers}
