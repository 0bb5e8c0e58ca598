"""A long-lived process keeps the mappings of its large score arrays for the
next question: each comes back all zero, so later questions score exactly as
fresh arrays would, after refused input too."""

from __future__ import annotations

import random
from array import array

import pytest

from tarnwick import _scoring

# Above the size from which score arrays are mapped (512 KB of doubles).
FILES = 70_000
SYMBOLS = 90_000
FACTORS = [[], [0.5], [0.25], [0.5, 0.25]]


@pytest.fixture
def keeping():
    before = _scoring.keep_freed_arrays(256 << 20)
    yield
    _scoring.keep_freed_arrays(before)


def question(seed: int) -> dict:
    """The scores, tops and bounds of one random question over a large project."""
    rng = random.Random(seed)
    symbol_file = array("I", sorted(rng.randrange(FILES) for _ in range(SYMBOLS)))
    priors = array("f", [1.0]) * FILES
    flags = array("B", [rng.randrange(4) for _ in range(FILES)])
    norm_files, norm_symbols = array("f", [0.7]) * FILES, array("f", [0.9]) * SYMBOLS
    terms = []
    for _ in range(rng.randint(1, 3)):
        files = array("I", sorted(rng.sample(range(FILES), rng.randint(1, 3000))))
        symbols = array("I", sorted(rng.sample(range(SYMBOLS), rng.randint(1, 3000))))
        terms.append((
            files, array("f", [rng.choice([0.5, 1.0, 2.5]) for _ in files]), rng.uniform(0.5, 3.0),
            symbols, array("f", [rng.choice([0.5, 1.0, 2.5]) for _ in symbols]), rng.uniform(0.5, 3.0),
        ))
    facts = (symbol_file, priors, flags, FACTORS, 0.6, 0.25)
    scores = _scoring.Scores(FILES, SYMBOLS)
    for files, file_weights, file_scale, symbols, symbol_weights, symbol_scale in terms:
        scores.add_files(files, file_weights, norm_files, file_scale)
        scores.add_symbols(symbols, symbol_weights, norm_symbols, symbol_scale)
    top = scores.file_totals(*facts, 20)
    return {
        "files": scores.files(),
        "symbols": scores.symbols(),
        "top": top,
        "best": scores.best_symbols(symbol_file, array("q", [n for _, n in top]), 4),
        "bounds": _scoring.reaching(*_scoring.bound_totals(terms, 0.3, *facts), 0.0),
    }


def test_later_questions_score_as_with_fresh_arrays(keeping):
    seeds = [3, 1, 4, 1, 5]
    kept = [question(seed) for seed in seeds]
    held, clean = _scoring.kept_arrays()
    assert held > 0 and clean  # kept, and handed back all zero
    _scoring.keep_freed_arrays(0)
    assert _scoring.kept_arrays() == (0, True)
    assert [question(seed) for seed in seeds] == kept


def scores_with(add) -> _scoring.Scores:
    scores = _scoring.Scores(FILES, SYMBOLS)
    scores.add_files(array("I", [5, 60_000]), array("f", [1.0, 2.0]), array("f", [1.0]) * FILES, 1.0)
    add(scores)
    return scores


# Each refused after some of its postings were added, so that the arrays hold scores when it fails.
REFUSED = {
    "a share not finite": lambda s: s.add_files(array("I", [7, 65_000, 69_999]), array("f", [1.0, float("inf"), 1.0]), array("f", [1.0]) * FILES, 1.0),
    "a zero denominator": lambda s: s.add_symbols(array("I", [9, 80_000]), array("f", [1.0, 0.0]), array("f", [1.0] * 80_000 + [0.0] * 10_000), 1.0),
    "a symbol's file out of range": lambda s: s.add_symbols(array("I", [1, 2]), array("f", [1.0, 1.0]), array("f", [1.0]) * SYMBOLS, 1.0)
    or s.file_totals(array("I", [0, 3, FILES]) + array("I", [0]) * (SYMBOLS - 3), array("f", [1.0]) * FILES, array("B", [0]) * FILES, [[]], 0.6, 0.25, 5),
}


@pytest.mark.parametrize("refused", REFUSED.values(), ids=REFUSED.keys())
def test_arrays_of_a_refused_question_come_back_all_zero(keeping, refused):
    with pytest.raises((ValueError, ZeroDivisionError)):
        scores_with(refused)
    assert _scoring.kept_arrays()[0] > 0 and _scoring.kept_arrays()[1]
    again = _scoring.Scores(FILES, SYMBOLS)
    assert again.files() == {} and again.symbols() == {}


def test_a_refused_bound_pass_leaves_its_arrays_all_zero(keeping):
    terms = [(
        array("I", [1, 66_000]), array("f", [1.0, 2.0]), 1.0,
        array("I", [0, 1, 2]), array("f", [1.0, 1.0, 3.0]), 1.0,
    )]
    facts = (array("f", [1.0]) * FILES, array("B", [0]) * FILES, [[]], 0.6, 0.25)
    good = _scoring.reaching(*_scoring.bound_totals(terms, 0.3, array("I", [4, 4, 9]), *facts), 0.0)
    with pytest.raises(ValueError, match="file out of range"):
        _scoring.bound_totals(terms, 0.3, array("I", [4, 4, FILES]), *facts)  # the last symbol's file
    assert _scoring.kept_arrays()[1]
    assert _scoring.reaching(*_scoring.bound_totals(terms, 0.3, array("I", [4, 4, 9]), *facts), 0.0) == good
    assert [n for _, n in good] == [66_000, 1, 4, 9]


def test_what_is_kept_stays_under_the_limit():
    before = _scoring.keep_freed_arrays(600_000)  # one file array of doubles (560,000 bytes)
    try:
        scores_with(lambda s: None)
        assert _scoring.kept_arrays()[0] == FILES * 8
        _scoring.Scores(FILES + 1000, 1)  # another size: the older one makes room
        assert _scoring.kept_arrays()[0] == (FILES + 1000) * 8
        assert _scoring.keep_freed_arrays(100) == 600_000 and _scoring.kept_arrays() == (0, True)
        _scoring.Scores(FILES, 1)
        assert _scoring.kept_arrays() == (0, True)  # larger than the limit: not kept
    finally:
        _scoring.keep_freed_arrays(before)


def test_a_one_question_process_keeps_nothing():
    import subprocess
    import sys

    code = "from tarnwick import _scoring; _scoring.Scores(70_000, 1); print(_scoring.kept_arrays(), _scoring.keep_freed_arrays(0))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["(0,", "True)", "0"]
