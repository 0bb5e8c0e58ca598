"""Files far behind the best are left out past the fifth: they only push the
code that answers out of the block's budget."""

import pytest

from tarnwick.search.corpus import MemoryCorpus
from tarnwick.search.rank import rank, score
from tarnwick.search.weights import DEFAULT_WEIGHTS

KEPT_FILES = DEFAULT_WEIGHTS.kept_files
TAIL_FLOOR = DEFAULT_WEIGHTS.tail_floor


def corpus_of(weights):
    corpus = MemoryCorpus()
    for i, weight in enumerate(weights):
        corpus.add_file(f"f{i}.py", {"x": weight, "pad": 1.0})
    corpus.add_file("other.py", {"pad": 1.0})
    return corpus.finish()


@pytest.mark.parametrize("share, kept", [(TAIL_FLOOR * 1.01, True), (TAIL_FLOOR * 0.99, False)])
def test_a_file_past_the_fifth_is_kept_only_above_the_floor(share, kept):
    # Five strong files, then one whose score is `share` of the best.
    weights = [1.0] * KEPT_FILES
    # BM25 of one term grows with its weight: find the weight that scores `share` of the best.
    low, high = 0.0, 1.0
    for _ in range(60):
        middle = (low + high) / 2
        scores = score(corpus_of(weights + [middle]), {"x": 1.0})[0]
        low, high = (middle, high) if scores[KEPT_FILES] < share * scores[0] else (low, middle)
    found = [entry["id"] for entry in rank(corpus_of(weights + [high]), {"x": 1.0}, 8, False)]
    assert found[:KEPT_FILES] == [f"f{i}.py" for i in range(KEPT_FILES)]
    assert (f"f{KEPT_FILES}.py" in found) is kept


def test_the_first_five_are_never_left_out():
    found = [entry["id"] for entry in rank(corpus_of([1.0, 0.01, 0.01, 0.01, 0.01]), {"x": 1.0}, 8, False)]
    assert found == ["f0.py", "f1.py", "f2.py", "f3.py", "f4.py"]
