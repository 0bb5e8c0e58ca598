"""The postings helper's gathering in the extension: the very arrays the
in-process corpus gathers, in its order of terms, and the corpus's errors
for what cannot be gathered."""

import random
import sys
from array import array

import pytest

from tarnwick._postings import Gathering
from tarnwick.search.corpus import MemoryCorpus


def _gathered_both_ways(made: list, take_every: int):
    corpus, gathering = MemoryCorpus(), Gathering()
    runs, taken = [], []
    for place, docs in enumerate(made):
        number = corpus.add_file("", dict(docs[0]))
        gathering.add(0, number, docs[0])
        for terms in docs[1:]:
            symbol = corpus.add_symbol(number, None, dict(terms))
            gathering.add(1, symbol, terms)
        if (place + 1) % take_every == 0:
            runs.append(corpus._postings)
            corpus._postings = {}
            taken.append(gathering.take())
    runs.append(corpus._postings)
    taken.append(gathering.take())
    return runs, taken


@pytest.mark.parametrize("seed, take_every", [(1, 1), (2, 3), (3, 1000)])
def test_the_arrays_and_order_of_the_corpus(seed, take_every):
    rng = random.Random(seed)
    words = [f"w{n}" for n in range(30)] + ["caf\u00e9", "x\U0001f600", ""]
    made = [
        [
            {rng.choice(words): rng.choice((1, 0.1, 2.25, 1 / 3, 1e40, True, 7)) for _ in range(rng.randint(0, 9))}
            for _ in range(1 + rng.randint(0, 4))
        ]
        for _ in range(60)
    ]
    runs, taken = _gathered_both_ways(made, take_every)
    assert len(runs) == len(taken)
    for expected, got in zip(runs, taken):
        assert list(got) == list(expected)  # terms in the order they first came
        for term, entry in expected.items():
            assert [a.typecode for a in got[term]] == ["I", "f", "I", "f"]
            assert [a.tobytes() for a in got[term]] == [a.tobytes() for a in entry]


def test_a_take_leaves_it_empty():
    gathering = Gathering()
    assert gathering.take() == {}
    assert gathering.add(1, 4, {"a": 1.0, "b": 2}) == 2
    assert gathering.take() == {"a": [array("I"), array("f"), array("I", [4]), array("f", [1.0])],
                                "b": [array("I"), array("f"), array("I", [4]), array("f", [2.0])]}
    assert gathering.take() == {}
    assert gathering.add(0, 0, {}) == 0
    assert gathering.take() == {}


@pytest.mark.parametrize(
    "side, number, terms, error",
    [
        (0, 1, {"a": "1.0"}, TypeError),  # as array("f") refuses it
        (0, 1, {"a": None}, TypeError),
        (1, 1, {"a": 1.0, "b": [2]}, TypeError),
        (0, 1, [("a", 1.0)], TypeError),  # not a dict
        (0, 1, {"a": 10**400}, OverflowError),
        (2, 1, {"a": 1.0}, ValueError),
        (-1, 1, {"a": 1.0}, ValueError),
        (0, -1, {"a": 1.0}, ValueError),
        (0, 2**32, {"a": 1.0}, OverflowError),
        (0, "1", {"a": 1.0}, TypeError),
    ],
)
def test_what_cannot_be_gathered(side, number, terms, error):
    gathering = Gathering()
    with pytest.raises(error):
        gathering.add(side, number, terms)


def test_the_largest_number_fits():
    gathering = Gathering()
    gathering.add(0, 2**32 - 1, {"a": 0.5})
    assert gathering.take()["a"][0] == array("I", [2**32 - 1])


def test_no_reference_kept_after_a_take_or_an_error():
    term, weight = "".join(["lea", "ked"]), 0.25 + 1e-9
    before = (sys.getrefcount(term), sys.getrefcount(weight))
    gathering = Gathering()
    for _ in range(100):
        gathering.add(0, 1, {term: weight})
        with pytest.raises(TypeError):
            gathering.add(1, 2, {term: weight, "x": "bad"})
    gathering.take()
    assert (sys.getrefcount(term), sys.getrefcount(weight)) == before


def test_rows_are_the_bytes_of_the_arrays():
    rng = random.Random(5)
    made = [{f"t{rng.randrange(40)}": rng.choice((1, 0.3, 2.5)) for _ in range(rng.randint(0, 8))} for _ in range(50)]
    as_arrays, as_rows = Gathering(), Gathering()
    for number, terms in enumerate(made):
        for gathering in (as_arrays, as_rows):
            gathering.add(number % 2, number, terms)
    rows = as_rows.take_rows()
    assert rows == [(term, *(a.tobytes() for a in entry)) for term, entry in as_arrays.take().items()]
    assert as_rows.take_rows() == [] and as_rows.take() == {}
