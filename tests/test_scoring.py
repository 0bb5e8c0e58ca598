"""The scoring kernel ranks exactly as its Python reference: the same
scores to the last bit, the same files and symbols in the same order, and
the same refusals of damaged input."""

from __future__ import annotations

import gc
import math
import random
import sys
import shutil
from array import array
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from tarnwick import _scoring
from tarnwick.indexer import index_project
from tarnwick.search import rank as rank_module, reference_postings, reference_scores
from tarnwick.search.corpus import MemoryCorpus
from tarnwick.search.reader import IndexCorpus
from tarnwick.search.tokens import query_terms

IMPLEMENTATIONS = [_scoring.Scores, reference_scores.Scores]
WORDS = ["alpha", "beta", "gamma", "delta", "test", "exampl"]
# Few distinct weights, so that documents tie and the tie rules are exercised.
WEIGHTS = st.sampled_from([0.25, 0.5, 1.0, 1.5, 3.0]) | st.floats(0.01, 10.0)


@st.composite
def corpora(draw, grouped: bool = False):
    """Random corpora; ``grouped``: each file's symbols numbered together, as an index numbers them."""
    corpus = MemoryCorpus()
    documents = st.dictionaries(st.sampled_from(WORDS), WEIGHTS, max_size=4)
    files = draw(st.integers(1, 12))
    for n in range(files):
        corpus.add_file(f"f{draw(st.integers(0, 3))}/{n}.py", draw(documents), flags=draw(st.integers(0, 3)))
    owners = draw(st.lists(st.integers(0, files - 1), max_size=30))
    for s, owner in enumerate(sorted(owners) if grouped else owners):
        corpus.add_symbol(owner, (f"s{s}", f"s{s}", "function", s, s), draw(documents))
    corpus.set_imported_by({n: draw(st.integers(0, 5)) for n in range(files)})
    return corpus.finish()


def with_reference(monkeypatch):
    monkeypatch.setattr(rank_module, "Scores", reference_scores.Scores)
    for name in ("postings_in", "postings_in_blocks"):
        monkeypatch.setattr(rank_module, name, getattr(reference_scores, name))
    for name in ("bound_totals", "leading", "reaching"):
        monkeypatch.setattr(rank_module, name, getattr(reference_scores, name))


@given(
    corpus=corpora(),
    terms=st.dictionaries(st.sampled_from(WORDS + ["absent"]), WEIGHTS, min_size=1),
    top=st.integers(1, 10),
    tests=st.sampled_from([(False, False), (True, False), (True, True)]),
)
def test_the_kernel_ranks_random_corpora_as_the_reference(corpus, terms, top, tests):
    kernel = (rank_module.score(corpus, terms), rank_module.rank(corpus, terms, top, *tests))
    with pytest.MonkeyPatch.context() as patch:
        with_reference(patch)
        reference = (rank_module.score(corpus, terms), rank_module.rank(corpus, terms, top, *tests))
    # Dicts compare without their order: the order first scored is part of the result.
    assert [list(d.items()) for d in kernel[0]] == [list(d.items()) for d in reference[0]]
    assert kernel[1] == reference[1]


class BoundedCorpus:
    """A corpus in memory as `rank` sees a search index: postings read bare,
    scores bounded before norms are read (which here are all in memory)."""

    least_norm = IndexCorpus.least_norm

    def __init__(self, corpus):
        self._corpus = corpus

    def __getattr__(self, name):
        return getattr(self._corpus, name)

    def stored_postings(self, term):
        return self._corpus.postings(term)

    def need_owners(self, files, symbols):
        pass

    def need_norms(self, files, symbols):
        pass


class BlockedCorpus(BoundedCorpus):
    """A bounded corpus that tells each file's block of symbols, as an index
    that can be updated does (its symbols must be numbered file by file)."""

    def symbol_blocks(self, files):
        owners = list(self._corpus.symbol_file)
        blocks = array("I")
        for number in sorted(set(files)):
            mine = [s for s, owner in enumerate(owners) if owner == number]
            if mine:
                assert mine == list(range(mine[0], mine[-1] + 1)), "symbols not numbered file by file"
                blocks.extend((mine[0], mine[-1] + 1))
        return blocks


@given(
    grouped=st.booleans(),
    data=st.data(),
    terms=st.dictionaries(st.sampled_from(WORDS + ["absent"]), WEIGHTS, min_size=1),
    top=st.integers(1, 10),
    tests=st.sampled_from([(False, False), (True, False), (True, True)]),
)
def test_bounding_before_reading_norms_ranks_as_scoring_every_document(grouped, data, terms, top, tests):
    # Symbols numbered file by file: the leading files are scored from their blocks.
    corpus = data.draw(corpora(grouped=grouped))
    expected = rank_module.rank(corpus, terms, top, *tests)
    bounded = (BlockedCorpus if grouped else BoundedCorpus)(corpus)
    assert rank_module.rank(bounded, terms, top, *tests) == expected
    with pytest.MonkeyPatch.context() as patch:
        with_reference(patch)
        assert rank_module.rank(bounded, terms, top, *tests) == expected


def test_blocks_that_leave_out_a_files_symbols_change_the_ranking():
    # The comparison above cannot pass whatever the blocks say.
    corpus = MemoryCorpus()
    corpus.add_file("a.py", {"alpha": 1.0})
    corpus.add_file("b.py", {"beta": 1.0})
    corpus.add_symbol(1, ("b.py::alpha", "alpha", "function", 1, 2), {"alpha": 3.0})
    corpus.finish()
    blind = BlockedCorpus(corpus)
    blind.symbol_blocks = lambda files: array("I")
    expected = rank_module.rank(corpus, {"alpha": 1.0}, 2, False)
    assert rank_module.rank(BlockedCorpus(corpus), {"alpha": 1.0}, 2, False) == expected
    assert rank_module.rank(blind, {"alpha": 1.0}, 2, False) != expected


@given(
    numbers=st.lists(st.integers(0, 60), unique=True, max_size=40).map(sorted),
    edges=st.lists(st.integers(0, 64), max_size=12).map(sorted),
)
def test_postings_in_blocks_are_those_a_look_at_every_posting_keeps(numbers, edges):
    blocks = array("I", edges[: len(edges) // 2 * 2])
    weights = array("f", [n / 4 for n in numbers])
    inside = [i for i, n in enumerate(numbers) if any(blocks[b] <= n < blocks[b + 1] for b in range(0, len(blocks), 2))]
    expected = (array("I", [numbers[i] for i in inside]), array("f", [weights[i] for i in inside]))
    for module in (_scoring, reference_scores):
        assert module.postings_in_blocks(array("I", numbers), weights, blocks) == expected


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "numbers, weights, blocks, message",
    [
        ((1, 2), (1.0,), (0, 3), "postings of unequal length"),
        ((1, 2), (1.0, 1.0), (0, 3, 4), "blocks of odd length"),
        ((1, 2), (1.0, 1.0), (3, 0), "blocks out of order"),
        ((1, 2), (1.0, 1.0), (0, 3, 2, 5), "blocks out of order"),
        ((1, 2), (1.0, 1.0), (4, 5, 0, 3), "blocks out of order"),
    ],
)
def test_blocks_out_of_order_are_refused(module, numbers, weights, blocks, message):
    with pytest.raises(ValueError, match=message):
        module.postings_in_blocks(array("I", numbers), array("f", weights), array("I", blocks))


@pytest.fixture(scope="module")
def real_index(tmp_path_factory):
    """This project's own sources, indexed."""
    root = tmp_path_factory.mktemp("real") / "tarnwick"
    shutil.copytree(Path(rank_module.__file__).parents[1], root, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    index_project(root, jobs=1)
    return root


@pytest.mark.parametrize(
    "question",
    ["how are postings scored", "where is the search index opened", "atomic write of a file", "test the watch", "x"],
)
def test_the_kernel_ranks_a_real_index_as_the_reference(real_index, question, monkeypatch):
    terms = query_terms(question)
    index = IndexCorpus(real_index, str(real_index / ".vestra" / "search.db"))
    try:
        kernel = rank_module.rank(index, terms, 8, False), rank_module.rank_symbols(index, terms)
        with_reference(monkeypatch)
        reference = rank_module.rank(index, terms, 8, False), rank_module.rank_symbols(index, terms)
    finally:
        index.close()
    assert kernel[0] and kernel == reference


def files_arrays(numbers=(0, 1), weights=(1.0, 1.0), norm=(1.0, 1.0, 1.0)):
    return array("I", numbers), array("f", weights), array("f", norm), 1.0


@pytest.mark.parametrize("implementation", IMPLEMENTATIONS)
@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (files_arrays(weights=(1.0,)), ValueError, "postings of unequal length"),
        (files_arrays(norm=(1.0, 1.0)), ValueError, "length norms of the wrong length"),
        (files_arrays(numbers=(0, 3)), ValueError, "postings out of range"),
        (files_arrays(numbers=(0, 2**32 - 1)), ValueError, "postings out of range"),
        (files_arrays(norm=(1.0, -1.0, 1.0)), ZeroDivisionError, "float division by zero"),
        (files_arrays(norm=(1.0, math.nan, 1.0)), ValueError, "postings or norms not finite"),
        (files_arrays(weights=(1.0, math.inf)), ValueError, "postings or norms not finite"),
    ],
)
def test_damaged_postings_are_refused(implementation, arguments, error, message):
    scores = implementation(3, 0)
    with pytest.raises(error, match=message):
        scores.add_files(*arguments)
    scores.add_files(*files_arrays())  # what a refusal leaves is still usable
    assert list(scores.files()) == [0, 1]


def bound_of_files(numbers, weights):
    return lambda module: module.Scores(3, 0).add_files_bound(array("I", numbers), array("f", weights), 0.3, 1.0)


def postings_in(numbers, weights, symbol_file):
    files = None if symbol_file is None else array("I", symbol_file)
    return lambda module: module.postings_in(array("I", numbers), array("f", weights), files, bytearray(3))


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "call, message",
    [
        (bound_of_files((0, 1), (1.0, -1.0)), "postings weights negative"),
        (bound_of_files((0, 1), (1.0, math.nan)), "postings weights negative"),
        (bound_of_files((0, 3), (1.0, 1.0)), "postings out of range"),
        (bound_of_files((0, 1), (1.0,)), "postings of unequal length"),
        (postings_in((0, 5), (1.0, 1.0), None), "postings out of range"),
        (postings_in((1,), (1.0,), (0,)), "postings out of range"),
        (postings_in((0,), (1.0,), (4,)), "a symbol's file out of range"),
        (postings_in((0,), (), None), "postings of unequal length"),
    ],
)
def test_damaged_postings_are_refused_before_bounding_or_choosing(module, call, message):
    with pytest.raises(ValueError, match=message):
        call(module)


def totals_arguments(symbol_file=(0, 1), priors=(1.0, 1.0), flags=(0, 0)):
    return array("I", symbol_file), array("f", priors), array("B", flags), [[], [0.5]], 0.6, 0.25, 5


@pytest.mark.parametrize("implementation", IMPLEMENTATIONS)
@pytest.mark.parametrize(
    "arguments, message",
    [
        (totals_arguments(symbol_file=(0,)), "symbol files of the wrong length"),
        (totals_arguments(symbol_file=(0, 2)), "a symbol's file out of range"),
        (totals_arguments(priors=(1.0,)), "priors of the wrong length"),
        (totals_arguments(flags=(0, 0, 0)), "file flags of the wrong length"),
    ],
)
def test_damaged_document_arrays_are_refused(implementation, arguments, message):
    scores = implementation(2, 2)
    scores.add_symbols(array("I", [0, 1]), array("f", [1.0, 2.0]), array("f", [1.0, 1.0]), 1.0)
    with pytest.raises(ValueError, match=message):
        scores.file_totals(*arguments)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add_files(array("i", [0]), array("f", [1.0]), array("f", [1.0]), 1.0),
        lambda s: s.add_files(array("I", [0]), array("d", [1.0]), array("f", [1.0]), 1.0),
        lambda s: s.add_files(b"\0\0\0\0", array("f", [1.0]), array("f", [1.0]), 1.0),
        lambda s: s.add_files(memoryview(array("I", [0, 0])).cast("B")[1:5].cast("I"), array("f", [1.0]), array("f", [1.0]), 1.0),
        lambda s: s.file_totals(array("I"), array("f", [1.0]), array("f", [0.0]), [[]], 0.6, 0.25, 5),
        lambda s: s.add_files([0], [1.0], [1.0], 1.0),
    ],
    ids=["signed numbers", "double weights", "bytes", "unaligned", "float flags", "lists"],
)
def test_the_kernel_reads_only_packed_arrays_of_its_own_types(call):
    with pytest.raises(TypeError, match="must be a packed array of type code|bytes-like object is required"):
        call(_scoring.Scores(1, 0))


@pytest.mark.parametrize("factors", [[], [[]] * 3, [[]] * 512, [["x"]], [None]])
def test_a_factor_table_that_flags_cannot_index_is_refused(factors):
    scores = _scoring.Scores(1, 0)
    with pytest.raises((ValueError, TypeError)):
        scores.file_totals(array("I"), array("f", [1.0]), array("B", [0]), factors, 0.6, 0.25, 5)


@pytest.mark.parametrize("implementation", IMPLEMENTATIONS)
def test_totals_tied_at_the_cut_all_come_back(implementation):
    # Four files score alike, one better: the best two are the better one and a tie of four.
    scores = implementation(5, 0)
    scores.add_files(array("I", range(5)), array("f", [1.0, 1.0, 2.0, 1.0, 1.0]), array("f", [1.0] * 5), 1.0)
    totals = scores.file_totals(array("I"), array("f", [1.0] * 5), array("B", [0] * 5), [[]], 0.6, 0.25, 2)
    assert [number for _, number in totals] == [2, 0, 1, 3, 4]
    assert scores.file_totals(array("I"), array("f", [1.0] * 5), array("B", [0] * 5), [[]], 0.6, 0.25, 0) == []


# Files whose score arrays lie either side of the size from which they are mapped (512 KB of doubles).
@pytest.mark.parametrize("file_count", [65_535, 65_536, 131_073])
def test_scores_of_a_large_project_reach_its_last_file_as_the_reference(file_count):
    numbers = array("I", [0, 1, file_count // 2, file_count - 2, file_count - 1])
    weights = array("f", [1.0, 2.0, 0.5, 3.0, 1.5])
    norm = array("f", [1.0]) * file_count
    symbol_file = array("I", [file_count - 1, file_count - 1, 0])
    facts = (symbol_file, array("f", [1.0]) * file_count, array("B", [0]) * file_count, [[]], 0.6, 0.25)
    found = []
    for implementation in IMPLEMENTATIONS:
        scores = implementation(file_count, 3)
        scores.add_files(numbers, weights, norm, 2.0)
        scores.add_symbols(array("I", [0, 1, 2]), array("f", [1.0, 4.0, 2.0]), array("f", [1.0] * 3), 1.0)
        found.append(scores.file_totals(*facts, 3))
    assert [number for _, number in found[0]] == [file_count - 1, file_count - 2, 0]
    assert found[0] == found[1]


# --- the stored form of postings ----------------------------------------------------------------

CODECS = [
    (_scoring.encode_postings, _scoring.decode_postings),
    (reference_postings.encode_postings, reference_postings.decode_postings),
]
# Weights a posting list repeats (a table pays) or does not (raw), NaN payloads among them.
POSTING_WEIGHTS = st.sampled_from([0.2, 0.5, 3.2, 0.0, -0.0]) | st.floats(width=32, allow_nan=True)


@st.composite
def posting_lists(draw):
    numbers = sorted(draw(st.sets(st.integers(0, 2**32 - 1) | st.integers(0, 300), max_size=200)))
    weights = draw(st.lists(POSTING_WEIGHTS, min_size=len(numbers), max_size=len(numbers)))
    return array("I", numbers), array("f", weights)


def as_bytes(arrays) -> list:
    return [values.tobytes() for values in arrays]


@given(files=posting_lists(), symbols=posting_lists())
def test_postings_round_trip_to_the_same_bytes_in_both_implementations(files, symbols):
    blob = _scoring.encode_postings(*files, *symbols)
    assert blob == reference_postings.encode_postings(*files, *symbols)
    for _, decode in CODECS:
        assert as_bytes(decode(blob)) == as_bytes((*files, *symbols))


@given(blob=st.binary(max_size=40) | posting_lists().map(lambda lists: _scoring.encode_postings(*lists, *lists)[:-1]))
def test_both_decoders_refuse_any_damage_alike(blob):
    outcomes = []
    for _, decode in CODECS:
        try:
            outcomes.append(as_bytes(decode(blob)))
        except ValueError as exc:
            outcomes.append(str(exc))
    assert outcomes[0] == outcomes[1]


def varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


ONE = array("f", [1.0]).tobytes()
TWO = array("f", [2.0]).tobytes()


@pytest.mark.parametrize("codec", CODECS, ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "blob, message",
    [
        (b"", "postings truncated"),
        (b"\x01", "postings truncated"),
        (b"\x80\x80\x80\x80\x80\x00\x00", "postings out of range"),  # a sixth byte of one value
        (varint(2**32) + b"\x00", "postings out of range"),
        (b"\x05\x00\x00\x00\x00", "postings truncated"),  # five postings cannot fit in three bytes
        (b"\x01\x00\x02\x00\x00", "postings' weight table larger than their count"),
        (b"\x02\x00\x02" + ONE + b"\x00\x00\x00", "postings truncated"),  # the table cut short
        (b"\x02\x00\x00\x00\x00" + ONE, "postings truncated"),  # raw weights cut short
        (b"\x02\x00\x01" + ONE + varint(2**32 - 1) + b"\x00", "postings out of range"),  # past the last number
        (b"\x02\x00\x02" + ONE + TWO + b"\x00\x00\x00\x02", "a posting's weight outside its table"),
        (b"\x01\x00\x01" + ONE + b"\x00\x00", "postings longer than their counts"),
        (b"\x00\x01\x01" + ONE + b"\x07\x07", "postings longer than their counts"),
    ],
)
def test_damaged_stored_postings_are_refused(codec, blob, message):
    with pytest.raises(ValueError, match=message):
        codec[1](blob)


@pytest.mark.parametrize("codec", CODECS, ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "numbers, weights, message",
    [
        ([0, 1], [1.0], "postings of unequal length"),
        ([3, 3], [1.0, 1.0], "postings not in increasing order"),
        ([4, 2], [1.0, 1.0], "postings not in increasing order"),
    ],
)
def test_postings_that_cannot_be_stored_are_refused(codec, numbers, weights, message):
    with pytest.raises(ValueError, match=message):
        codec[0](array("I", numbers), array("f", weights), array("I"), array("f"))


def test_the_codec_keeps_no_object_alive_on_success_or_refusal():
    lists = (array("I", [1, 5, 9]), array("f", [0.5, 0.5, 2.0]), array("I", [3]), array("f", [1.0]))
    blob = _scoring.encode_postings(*lists)
    calls = [
        lambda: _scoring.encode_postings(*lists),
        lambda: _scoring.decode_postings(blob),
        lambda: _scoring.decode_postings(blob[:-1]),
        lambda: _scoring.decode_postings(blob + b"\0"),
        lambda: _scoring.encode_postings(lists[0], lists[1][:2], lists[2], lists[3]),
    ]

    def round_of_calls():
        for call in calls:
            try:
                call()
            except ValueError:
                pass

    for _ in range(50):
        round_of_calls()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        round_of_calls()
    gc.collect()
    assert sys.getallocatedblocks() - before < 1000  # one object kept per call would be 10,000


@given(
    lengths=st.lists(st.floats(0.0, 1e6) | st.sampled_from([0.0, 1.0, 7.5, 1e300, 5e-324]), max_size=40),
    k1=st.floats(0.0, 3.0),
    b=st.floats(0.0, 1.0),
    average=st.floats(1e-3, 1e4) | st.sampled_from([1.0, 3.0, 1e-300]),
)
def test_length_norms_are_the_references_to_the_last_bit(lengths, k1, b, average):
    packed = array("d", lengths)
    kernel = _scoring.length_norms(packed, k1, b, average)
    assert kernel.typecode == "f"
    assert kernel.tobytes() == reference_scores.length_norms(packed, k1, b, average).tobytes()


@pytest.mark.parametrize("lengths", [array("f", [1.0]), array("q", [1]), [1.0], b"12345678"])
def test_length_norms_take_only_a_packed_array_of_doubles(lengths):
    with pytest.raises(TypeError):
        _scoring.length_norms(lengths, 1.2, 0.75, 1.0)


def test_norms_of_any_sequence_with_a_zero_average_are_taken_against_one():
    from tarnwick.search.corpus import norms

    assert norms([0.0, 0.0]).tobytes() == reference_scores.length_norms([0.0, 0.0], 1.2, 0.75, 1.0).tobytes()
    assert norms(array("d", [2.0, 4.0]), average=0.0).tolist() == norms([2.0, 4.0], average=1.0).tolist()


# --- every file's bound in one pass ---------------------------------------------------------------

# Symbol numbers either side of the edges of the kernel's windows (65,536 symbols each).
EDGES = [0, 65_535, 65_536, 65_537, 131_071, 131_072, 139_999]


@st.composite
def bound_inputs(draw):
    files = draw(st.integers(1, 6))
    symbols = draw(st.sampled_from([8, 140_000]))
    shift = draw(st.integers(0, 5))
    symbol_file = array("I", ((n // 3 + shift) % files for n in range(symbols)))
    numbers = st.sampled_from(EDGES) | st.integers(0, 139_999)
    terms = []
    for _ in range(draw(st.integers(1, 4))):
        file_numbers = sorted(draw(st.sets(st.integers(0, files - 1), max_size=files)))
        symbol_numbers = sorted(n for n in draw(st.sets(numbers, max_size=25)) if n < symbols)
        terms.append((
            array("I", file_numbers),
            array("f", draw(st.lists(WEIGHTS, min_size=len(file_numbers), max_size=len(file_numbers)))),
            draw(st.sampled_from([0.0, 1.0, 2.5])),
            array("I", symbol_numbers),
            array("f", draw(st.lists(WEIGHTS, min_size=len(symbol_numbers), max_size=len(symbol_numbers)))),
            draw(st.sampled_from([0.0, 0.7, 3.0])),
        ))
    priors = array("f", draw(st.lists(st.sampled_from([1.0, 1.2, 0.0]), min_size=files, max_size=files)))
    flags = array("B", draw(st.lists(st.integers(0, 3), min_size=files, max_size=files)))
    return terms, symbol_file, priors, flags


@given(inputs=bound_inputs(), top=st.integers(0, 8), floor_at=st.integers(0, 8))
def test_every_bound_in_one_pass_is_the_bound_of_adding_term_by_term(inputs, top, floor_at):
    terms, symbol_file, priors, flags = inputs
    facts = (symbol_file, priors, flags, [[], [0.5], [0.25], [0.5, 0.25]], 0.6, 0.25)
    # The bounds as `Scores` gives them, each term added in turn.
    scores = _scoring.Scores(len(priors), len(symbol_file))
    for files, file_weights, file_scale, symbols, symbol_weights, symbol_scale in terms:
        scores.add_files_bound(files, file_weights, 0.3, file_scale)
        scores.add_symbols_bound(symbols, symbol_weights, 0.3, symbol_scale)
    every = scores.file_totals_reaching(*facts, 0.0)
    floor = every[floor_at][0] if floor_at < len(every) else 0.0
    for module in (_scoring, reference_scores):
        bounds = module.bound_totals(terms, 0.3, *facts)
        assert module.reaching(*bounds, 0.0) == every
        assert module.reaching(*bounds, floor) == scores.file_totals_reaching(*facts, floor)
        assert module.leading(*bounds, top) == scores.file_totals(*facts, top)


def one_term(files=(0,), file_weights=(1.0,), file_scale=1.0, symbols=(0, 1), symbol_weights=(1.0, 2.0), symbol_scale=1.0):
    return array("I", files), array("f", file_weights), file_scale, array("I", symbols), array("f", symbol_weights), symbol_scale


def bound_arguments(terms=None, symbol_file=(0, 1), priors=(1.0, 1.0), flags=(0, 0)):
    return terms or [one_term()], 0.3, array("I", symbol_file), array("f", priors), array("B", flags), [[], [0.5]], 0.6, 0.25


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "arguments, message",
    [
        (bound_arguments([one_term(symbols=(1, 0))]), "postings out of order"),
        (bound_arguments([one_term(symbols=(1, 1))]), "postings out of order"),
        (bound_arguments([one_term(symbols=(0, 2))]), "postings out of range"),
        (bound_arguments([one_term(files=(2,))]), "postings out of range"),
        (bound_arguments([one_term(symbol_weights=(1.0,))]), "postings of unequal length"),
        (bound_arguments([one_term(symbol_weights=(1.0, -2.0))]), "postings weights negative"),
        (bound_arguments([one_term(file_weights=(math.nan,))]), "postings weights negative"),
        (bound_arguments([one_term(symbol_weights=(1.0, math.inf))]), "postings or norms not finite"),
        (bound_arguments([one_term(symbol_scale=-1.0)]), "a scale negative"),
        (bound_arguments([one_term(file_scale=math.nan)]), "a scale negative"),
        (bound_arguments(symbol_file=(0, 2)), "a symbol's file out of range"),
        (bound_arguments(flags=(0,)), "file flags of the wrong length"),
    ],
)
def test_damage_is_refused_by_the_bound_in_one_pass(module, arguments, message):
    with pytest.raises(ValueError, match=message):
        module.bound_totals(*arguments)


def _bound(module, by_firsts, terms, least_norm, priors, flags, *rule):
    """The bound pass over two files of one symbol slot each (slots 0 and 1),
    given each symbol's file or the files' first symbols."""
    if by_firsts:
        return module.bound_totals_from_firsts(terms, least_norm, array("I", (0, 1)), 2, priors, flags, *rule)
    return module.bound_totals(terms, least_norm, array("I", (0, 1)), priors, flags, *rule)


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize("by_firsts", [False, True], ids=["symbols' files", "first symbols"])
@pytest.mark.parametrize(
    "least_norm, term, error, message",
    [
        (0.0, one_term(symbol_weights=(0.0, 2.0)), ZeroDivisionError, "float division by zero"),
        (0.0, one_term(file_weights=(0.0,)), ZeroDivisionError, "float division by zero"),
        (0.3, one_term(symbol_scale=1e300, symbol_weights=(1.0, 3e38)), ValueError, "postings or norms not finite"),
        (0.3, one_term(file_scale=1e300, file_weights=(3e38,)), ValueError, "postings or norms not finite"),
    ],
    ids=["zero norm", "zero norm of a file", "share overflows", "file share overflows"],
)
def test_shares_the_bound_cannot_take_are_refused(module, by_firsts, least_norm, term, error, message):
    terms, _, _, priors, flags, *rule = bound_arguments([term])
    with pytest.raises(error, match=message):
        _bound(module, by_firsts, terms, least_norm, priors, flags, *rule)


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize("least_norm", [0.0, 1e-300, 0.3])
@pytest.mark.parametrize("scale", [0.0, 1.0, 1e259, 1e261])
def test_bounds_at_any_norm_and_scale_are_those_of_adding_term_by_term(module, least_norm, scale):
    # The largest float, a subnormal one, and scales either side of where shares are taken unchecked.
    terms = [
        one_term(files=(0, 1), file_weights=(1.0, 2.0), symbols=(0, 1, 2, 3), symbol_weights=(0.5, 3e38, 1e-40, 7.25), symbol_scale=scale),
        one_term(files=(1,), file_weights=(0.5,), symbols=(1, 3), symbol_weights=(2.0, 0.25), symbol_scale=1.5),
    ]
    facts = (array("I", (0, 0, 1, 1)), array("f", (1.0, 1.5)), array("B", (0, 1)), [[], [0.5]], 0.6, 0.25)
    scores = _scoring.Scores(2, 4)
    for files, file_weights, file_scale, symbols, symbol_weights, symbol_scale in terms:
        scores.add_files_bound(files, file_weights, least_norm, file_scale)
        scores.add_symbols_bound(symbols, symbol_weights, least_norm, symbol_scale)
    expected = scores.file_totals(*facts, 2)
    assert len(expected) == 2
    assert module.leading(*module.bound_totals(terms, least_norm, *facts), 2) == expected
    # The same bounds with each symbol's file walked from the files' first symbols.
    by_firsts = module.bound_totals_from_firsts(terms, least_norm, array("I", (0, 2)), 4, *facts[1:])
    assert module.leading(*by_firsts, 2) == expected


# Bounds as a pass leaves them: unordered, ties among them and at the cut.
_BOUNDS = (array("d", [2.0, 5.0, 2.0, 1.0, 2.0, 5.0, 0.5]), array("I", [6, 3, 1, 4, 9, 0, 2]))


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "top, expected",
    [
        (0, []),
        (1, [(5.0, 0), (5.0, 3)]),
        (2, [(5.0, 0), (5.0, 3)]),
        (3, [(5.0, 0), (5.0, 3), (2.0, 1), (2.0, 6), (2.0, 9)]),
        (5, [(5.0, 0), (5.0, 3), (2.0, 1), (2.0, 6), (2.0, 9)]),
        (6, [(5.0, 0), (5.0, 3), (2.0, 1), (2.0, 6), (2.0, 9), (1.0, 4)]),
        (9, [(5.0, 0), (5.0, 3), (2.0, 1), (2.0, 6), (2.0, 9), (1.0, 4), (0.5, 2)]),
    ],
)
def test_the_leading_bounds_are_the_best_and_those_tied_at_the_cut(module, top, expected):
    assert module.leading(*_BOUNDS, top) == expected


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "floor, expected",
    [(6.0, []), (5.0, [(5.0, 0), (5.0, 3)]), (1.5, [(5.0, 0), (5.0, 3), (2.0, 1), (2.0, 6), (2.0, 9)]), (0.0, 7)],
)
def test_the_bounds_reaching_a_floor_are_all_at_least_it(module, floor, expected):
    found = module.reaching(*_BOUNDS, floor)
    assert (len(found) if isinstance(expected, int) else found) == expected


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
def test_bounds_of_unequal_lengths_are_refused(module):
    with pytest.raises(ValueError, match="totals and files of unequal length"):
        module.leading(array("d", [1.0]), array("I"), 1)
    with pytest.raises(ValueError, match="totals and files of unequal length"):
        module.reaching(array("d"), array("I", [0]), 0.0)


def test_a_bound_below_the_scores_it_bounds_fails_the_comparison():
    # Norms taken larger than the least a document has make bounds too low: some corpus must
    # then rank otherwise than scoring every document does, or the comparison above proves nothing.
    class TooLow(BoundedCorpus):
        least_norm = 3.0

    differ = 0
    for seed in range(60):
        rng = random.Random(seed)
        corpus = MemoryCorpus()
        for n in range(12):
            corpus.add_file(f"f/{n}.py", {w: rng.choice([0.25, 1.0, 3.0]) for w in rng.sample(WORDS, 3)})
        for s in range(30):
            corpus.add_symbol(rng.randrange(12), (f"s{s}", f"s{s}", "function", s, s), {w: rng.choice([0.5, 3.0]) for w in rng.sample(WORDS, 2)})
        corpus.finish()
        terms = {"alpha": 1.0, "beta": 0.5}
        differ += rank_module.rank(TooLow(corpus), terms, 2, False) != rank_module.rank(corpus, terms, 2, False)
    assert differ


# --- bounds with each symbol's file walked from the files' first symbols ---------------------------


@st.composite
def placed_firsts_inputs(draw):
    """Files' blocks in file order, as a full build places them, or in any
    order, as updates leave them (files without symbols, free slots between
    and before blocks), over 8 or 140,000 symbol slots, and terms over them:
    few postings (each window's symbols sorted) or runs of many (found among
    its slots)."""
    from tarnwick.search.first_symbols import NO_SYMBOLS

    slots = draw(st.sampled_from([8, 140_000]))
    files = draw(st.integers(1, 6))
    cuts = sorted(draw(st.sets(st.integers(0, slots - 1), min_size=1, max_size=files)))
    owners = sorted(draw(st.sets(st.integers(0, files - 1), min_size=len(cuts), max_size=len(cuts))))
    if draw(st.booleans()):
        owners = draw(st.permutations(owners))
    firsts = array("I", [NO_SYMBOLS]) * files
    for file, first in zip(owners, cuts):
        firsts[file] = first
    numbers = st.sampled_from(EDGES) | st.integers(0, slots - 1)
    terms = []
    for _ in range(draw(st.integers(1, 4))):
        file_numbers = sorted(draw(st.sets(st.integers(0, files - 1), max_size=files)))
        if draw(st.booleans()):
            symbol_numbers = sorted(n for n in draw(st.sets(numbers, max_size=25)) if n < slots)
        else:  # a dense run: most slots of a window touched
            start = draw(st.integers(0, slots - 1))
            symbol_numbers = list(range(start, min(slots, start + draw(st.integers(1, 3000)))))
        terms.append((
            array("I", file_numbers),
            array("f", [draw(WEIGHTS) for _ in file_numbers]),
            draw(st.sampled_from([0.0, 1.0, 2.5])),
            array("I", symbol_numbers),
            array("f", [draw(WEIGHTS) for _ in symbol_numbers]),
            draw(st.sampled_from([0.0, 0.7, 3.0])),
        ))
    priors = array("f", draw(st.lists(st.sampled_from([1.0, 1.2, 0.0]), min_size=files, max_size=files)))
    flags = array("B", draw(st.lists(st.integers(0, 3), min_size=files, max_size=files)))
    return terms, firsts, slots, priors, flags


@given(inputs=placed_firsts_inputs(), top=st.integers(0, 8))
def test_bounds_from_the_first_symbols_are_those_from_the_symbols_files(inputs, top):
    terms, firsts, slots, priors, flags = inputs
    owners = array("I", bytes(4 * slots))
    _scoring.owners_from_firsts(firsts, owners)
    rule = ([[], [0.5], [0.25], [0.5, 0.25]], 0.6, 0.25)
    expected = _scoring.bound_totals(terms, 0.3, owners, priors, flags, *rule)
    for module in (_scoring, reference_scores):
        bounds = module.bound_totals_from_firsts(terms, 0.3, firsts, slots, priors, flags, *rule)
        assert module.reaching(*bounds, 0.0) == _scoring.reaching(*expected, 0.0)
        assert module.leading(*bounds, top) == _scoring.leading(*expected, top)


@pytest.mark.parametrize(
    "firsts",
    [
        (4, 2, 0xFFFFFFFF, 7),  # file 0 moved past file 1: the slots before every block are file 0's too
        (0xFFFFFFFF, 5, 2, 7),  # file 1 moved, file 0 without symbols holds the slots before
        (6, 9, 2, 4),  # files 0 and 1 moved, in their order
        (9, 6, 2, 4),  # and against it
        (2, 9, 4, 6),  # one moved between two kept
    ],
)
def test_bounds_over_moved_blocks_are_those_from_the_symbols_files(firsts):
    # Every slot scored (the free ones before and between blocks too), each file with postings.
    slots = 11
    firsts = array("I", firsts)
    owners = array("I", bytes(4 * slots))
    _scoring.owners_from_firsts(firsts, owners)
    symbols = list(range(slots))
    terms = [
        (array("I", range(4)), array("f", [1.0, 2.0, 0.5, 3.0]), 1.5, array("I", symbols), array("f", [(n % 5) + 0.5 for n in symbols]), 0.7),
        (array("I", (1, 3)), array("f", (2.0, 1.0)), 0.5, array("I", symbols[::3]), array("f", [2.0] * len(symbols[::3])), 2.0),
    ]
    facts = (array("f", (1.0, 1.2, 0.5, 1.0)), array("B", (0, 1, 2, 3)), [[], [0.5], [0.25], [0.5, 0.25]], 0.6, 0.25)
    expected = _scoring.reaching(*_scoring.bound_totals(terms, 0.3, owners, *facts), 0.0)
    assert len(expected) == 4
    for module in (_scoring, reference_scores):
        assert module.reaching(*module.bound_totals_from_firsts(terms, 0.3, firsts, slots, *facts), 0.0) == expected


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "firsts, slots, expected",
    [
        ([], 0, []),
        ([0xFFFFFFFF, 0xFFFFFFFF], 0, []),
        ([0, 0xFFFFFFFF, 2, 5], 6, []),  # in file order: each room ends where the next file begins
        ([2, 0xFFFFFFFF, 0], 6, [2, 2, 0, 6]),  # an update moved file 0's block to the end
        ([0, 9, 3, 6], 12, [0, 3, 3, 9, 1, 12]),  # file 1's, between two files in place
        ([0, 5, 7, 3], 9, [0, 3, 3, 5, 2, 9]),  # files 1 and 2's: 1's room ends where 2 begins
        ([0, 3, 3], 6, "two files' symbols begin at one number"),
        ([3, 0, 3], 6, "two files' symbols begin at one number"),  # one of them moved
        ([0, 6], 6, "a file's first symbol out of range"),
        ([7, 0], 6, "a file's first symbol out of range"),
    ],
)
def test_the_rooms_of_blocks_out_of_file_order_are_told(module, firsts, slots, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            module.ends_out_of_order(array("I", firsts), slots)
    else:
        assert list(module.ends_out_of_order(array("I", firsts), slots)) == expected


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize(
    "firsts, slots, message",
    [
        ((1, 1), 2, "two files' symbols begin at one number"),
        ((0, 2), 2, "a file's first symbol out of range"),
        ((0,), 2, "first symbols of the wrong length"),
        ((0, 0xFFFFFFFF), 1, "postings out of range"),  # the term names symbol 1
    ],
)
def test_damaged_first_symbols_are_refused_by_the_bound(module, firsts, slots, message):
    terms, least_norm, _, priors, flags, *rule = bound_arguments()
    with pytest.raises(ValueError, match=message):
        module.bound_totals_from_firsts(terms, least_norm, array("I", firsts), slots, priors, flags, *rule)


@pytest.mark.parametrize("module", [_scoring, reference_scores], ids=["kernel", "reference"])
@pytest.mark.parametrize("files", [(1, 0), (1, 1)])
def test_file_postings_out_of_order_are_refused_by_the_merge(module, files):
    terms, least_norm, _, priors, flags, *rule = bound_arguments([one_term(files=files, file_weights=(1.0, 1.0))])
    with pytest.raises(ValueError, match="postings out of order"):
        module.bound_totals_from_firsts(terms, least_norm, array("I", (0, 1)), 2, priors, flags, *rule)


@pytest.mark.parametrize(
    "count, distinct",
    [
        (20_000, 1_500),  # a table, past the first room for weights: it grows
        (6_000, 3_000),  # indexes of two bytes outweigh raw weights
        (3_000, 3_000),  # every weight its own
        (50_000, 3),  # uses tied between weights of different bits
    ],
)
def test_long_postings_with_many_weights_are_stored_as_the_reference_stores_them(count, distinct):
    rng = random.Random(count * 7 + distinct)
    pool = [rng.uniform(0.01, 9.0) for _ in range(distinct)]
    weights = array("f", [pool[i % distinct] for i in range(count)])
    rng.shuffle(weights)
    numbers = array("I", sorted(rng.sample(range(count * 4), count)))
    blob = _scoring.encode_postings(numbers, weights, numbers[: count // 2], weights[: count // 2])
    assert blob == reference_postings.encode_postings(numbers, weights, numbers[: count // 2], weights[: count // 2])
    assert as_bytes(_scoring.decode_postings(blob)) == as_bytes((numbers, weights, numbers[: count // 2], weights[: count // 2]))
