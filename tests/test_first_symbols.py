"""The symbols' files made from the files' first symbols: each live symbol
gets its own file, in the kernel as in its Python twin; damage is refused
before anything is written; an index written without them is read as
before, and a question ranks the same either way."""

from __future__ import annotations

import random
import shutil
import sqlite3
from array import array

import pytest
from hypothesis import given, strategies as st

from tarnwick import _scoring
from tarnwick.search import chunks, first_symbols, reference_scores
from tarnwick.search.corpus import MemoryCorpus
from tarnwick.search.first_symbols import NO_SYMBOLS
from tarnwick.search.rank import rank
from tarnwick.search.reader import IndexCorpus
from tarnwick.search.store import CHUNK, write_index

IMPLEMENTATIONS = [_scoring, reference_scores]
IDS = ["kernel", "reference"]


@st.composite
def placed_blocks(draw):
    """Files' blocks of every size (empty ones too) placed in an order of
    their own with free slots between, as updates leave them: (first
    symbols, slots, {live symbol: its file})."""
    counts = draw(st.lists(st.integers(0, 5), max_size=30))
    order = draw(st.permutations(range(len(counts))))
    gaps = draw(st.lists(st.integers(0, 3), min_size=len(counts) + 1, max_size=len(counts) + 1))
    firsts = array("I", [NO_SYMBOLS]) * len(counts)
    live = {}
    at = gaps[0]
    for file, gap in zip(order, gaps[1:]):
        if counts[file]:
            firsts[file] = at
            live.update((symbol, file) for symbol in range(at, at + counts[file]))
        at += counts[file] + gap
    return firsts, at, live


@given(placed=placed_blocks())
def test_each_live_symbol_gets_its_file_alike_in_both_implementations(placed):
    firsts, slots, live = placed
    made = []
    for module in IMPLEMENTATIONS:
        owners = array("I", [7]) * slots  # whatever was there before is written over
        module.owners_from_firsts(firsts, owners)
        assert {symbol: owners[symbol] for symbol in live} == live
        made.append(owners)
    assert made[0] == made[1]


@given(placed=placed_blocks())
def test_a_block_agrees_within_its_room_up_to_the_next_block(placed):
    # Each file's room runs from its first symbol to the next block's, wherever an update put
    # them: a block filling it agrees, one a symbol longer does not.
    firsts, slots, _ = placed
    starts = sorted((first, file) for file, first in enumerate(firsts) if first != NO_SYMBOLS)
    rooms = {file: end for (_, file), end in zip(starts, [first for first, _ in starts[1:]] + [slots])}
    told = [module.ends_out_of_order(firsts, slots) for module in IMPLEMENTATIONS]
    assert told[0] == told[1]
    ends = dict(zip(told[0][::2], told[0][1::2]))
    for file, end in rooms.items():
        first = firsts[file]
        assert first_symbols.agrees_left(firsts, ends, file, first, end - first, slots)
        assert not first_symbols.agrees_left(firsts, ends, file, first, end - first + 1, slots)
        assert not first_symbols.agrees_left(firsts, ends, file, first + 1, end - first - 1, slots)
    for file in set(range(len(firsts))) - set(rooms):
        assert first_symbols.agrees_left(firsts, ends, file, 0, 0, slots)
        assert not first_symbols.agrees_left(firsts, ends, file, 0, 1, slots)


@pytest.mark.parametrize("module", IMPLEMENTATIONS, ids=IDS)
@pytest.mark.parametrize(
    "firsts, slots, message",
    [
        ([0, 0], 4, "two files' symbols begin at one number"),
        ([2, NO_SYMBOLS, 1, 2], 4, "two files' symbols begin at one number"),  # out of order as well
        ([0, 4], 4, "a file's first symbol out of range"),  # the slot past the last
        ([NO_SYMBOLS - 1], 4, "a file's first symbol out of range"),
        ([0], 0, "a file's first symbol out of range"),
    ],
)
def test_damaged_first_symbols_are_refused_with_nothing_written(module, firsts, slots, message):
    owners = array("I", [9]) * slots
    with pytest.raises(ValueError, match=message):
        module.owners_from_firsts(array("I", firsts), owners)
    assert owners == array("I", [9]) * slots


@pytest.mark.parametrize(
    "firsts, slots, owners",
    [
        ([3], 4, [0, 0, 0, 0]),  # a first block at the last slot; the slots before it are file 0's
        ([NO_SYMBOLS, NO_SYMBOLS], 3, [0, 0, 0]),
        ([], 2, [0, 0]),
        ([2, 0], 4, [1, 1, 0, 0]),  # a block moved after the next file's
        ([1, NO_SYMBOLS, 3], 5, [0, 0, 0, 2, 2]),  # in order, a file without symbols between
    ],
)
def test_blocks_at_the_edges(firsts, slots, owners):
    for module in IMPLEMENTATIONS:
        made = array("I", [5]) * slots
        module.owners_from_firsts(array("I", firsts), made)
        assert made.tolist() == owners


@pytest.mark.parametrize(
    "firsts, owners, error",
    [
        (array("i", [0]), array("I", [0]), TypeError),
        (array("I", [0]), array("i", [0]), TypeError),
        (array("I", [0]), bytes(4), BufferError),  # read-only
    ],
)
def test_the_kernel_writes_only_into_a_writable_packed_array_of_its_type(firsts, owners, error):
    with pytest.raises(error):
        _scoring.owners_from_firsts(firsts, owners)


@given(counts=st.lists(st.integers(0, 4), max_size=40))
def test_first_symbols_of_symbols_numbered_file_by_file(counts):
    symbol_file = array("I", [file for file, count in enumerate(counts) for _ in range(count)])
    firsts = first_symbols.in_file_order(symbol_file, len(counts))
    expected, at = [], 0
    for count in counts:
        expected.append(at if count else NO_SYMBOLS)
        at += count
    assert firsts.tolist() == expected


@pytest.mark.parametrize("symbol_file", [[1, 0], [0, 1, 0], [0, 2, 1]])
def test_symbols_numbered_otherwise_have_no_first_symbols(symbol_file):
    assert first_symbols.in_file_order(array("I", symbol_file), 3) is None


WORDS = [f"w{i}" for i in range(40)]
FILES = 2 * CHUNK + 37  # three chunks of first symbols, the last one short


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """An index of symbols numbered file by file (as the indexer numbers
    them) over six chunks of symbols, many files without any, the last
    file with some."""
    rng = random.Random(11)
    corpus = MemoryCorpus()
    for n in range(FILES):
        number = corpus.add_file(f"pkg/m{n:05}.py", {w: 1.0 for w in rng.sample(WORDS, 3)})
        count = 0 if n % 3 == 1 else rng.choice([2, 3, 4, 5, 6]) + (n == FILES - 1)
        for s in range(count):
            info = (f"pkg/m{n:05}.py::f{s}", f"f{s}", "function", s, s + 1)
            corpus.add_symbol(number, info, {w: float(rng.randint(1, 3)) for w in rng.sample(WORDS, 2)})
    corpus.finish()
    assert corpus.symbol_file[-1] == FILES - 1 and corpus.symbol_count > 4 * CHUNK
    root = tmp_path_factory.mktemp("index")
    (root / ".vestra").mkdir()
    path = root / ".vestra" / "search.db"
    write_index(str(path), corpus, {"generation": "g", "nodes": 0, "edges": 0})
    return root, path, corpus


def _copy(written, tmp_path, *changes):
    root, path, corpus = written
    (tmp_path / ".vestra").mkdir()
    copy = tmp_path / ".vestra" / "search.db"
    shutil.copyfile(path, copy)
    with sqlite3.connect(copy) as db:
        for change in changes:
            db.execute(change)
    return IndexCorpus(tmp_path, str(copy))


NO_FIRSTS = "DELETE FROM arrays WHERE name LIKE 'file_first_symbol/%'"


@pytest.mark.parametrize("kept", [True, False], ids=["first symbols", "written without them"])
def test_a_question_ranks_as_the_corpus_with_or_without_first_symbols(written, tmp_path, kept, monkeypatch):
    corpus = written[2]
    monkeypatch.setattr(chunks, "_shared", {})
    index = _copy(written, tmp_path, *([] if kept else [NO_FIRSTS]))
    try:
        for terms in ({"w1": 1.0}, {w: 1.0 for w in WORDS[:12]}):
            for top in (1, 8, 40):
                assert rank(index, terms, top, False) == rank(corpus, terms, top, False)
        index.need_owners([], range(corpus.symbol_count))
        assert (index._documents.first_symbols is not None) is kept
        assert list(index.symbol_file) == list(corpus.symbol_file)
    finally:
        index.close()


@pytest.mark.parametrize("short_of_a_quarter", [1, 0, -4])
def test_the_first_symbols_serve_once_a_quarter_of_the_chunks_is_wanted(written, tmp_path, short_of_a_quarter, monkeypatch):
    corpus = written[2]
    monkeypatch.setattr(chunks, "_shared", {})
    index = _copy(written, tmp_path)
    try:
        quarter = -(-(-(-corpus.symbol_count // CHUNK)) // 4)
        numbers = [chunk * CHUNK for chunk in range(quarter - short_of_a_quarter)]
        index._documents.need(("symbol_file",), numbers, index)
        assert (index._documents.first_symbols is not None) is (short_of_a_quarter <= 0)
        assert [index.symbol_file[n] for n in numbers] == [corpus.symbol_file[n] for n in numbers]
    finally:
        index.close()


def _set_first(file: int, value: int):
    """The change that sets one file's first symbol in its chunk."""
    chunk, at = divmod(file, CHUNK)
    blob = "CAST(substr(data, 1, {0}) || {1} || substr(data, {2}) AS BLOB)".format(4 * at, "x'%s'" % value.to_bytes(4, "little").hex(), 4 * at + 5)
    return f"UPDATE arrays SET data = {blob} WHERE name = 'file_first_symbol/{chunk}'"


@pytest.mark.parametrize(
    "damage, message",
    [
        ("DELETE FROM arrays WHERE name = 'file_first_symbol/1'", "an array chunk is missing"),
        ("UPDATE arrays SET data = 'text' WHERE name = 'file_first_symbol/0'", "an array chunk is missing"),
        ("UPDATE arrays SET name = 'file_first_symbol/2x' WHERE name = 'file_first_symbol/2'", "an array chunk is missing"),
        # The last chunk holds only the files left over: a full one there is damage.
        ("UPDATE arrays SET data = zeroblob(4096) WHERE name = 'file_first_symbol/2'", "of the wrong length"),
        ("UPDATE arrays SET data = substr(data, 1, 8) WHERE name = 'file_first_symbol/0'", "of the wrong length"),
        (_set_first(FILES - 1, 0x7FFFFFFF), "a file's first symbol out of range"),
        (_set_first(3, 0), "two files' symbols begin at one number"),  # file 0's
        ("INSERT INTO arrays VALUES ('file_first_symbol/3', zeroblob(4))", None),  # past the last chunk
    ],
)
def test_damaged_first_symbols_refuse_the_question(written, tmp_path, damage, message, monkeypatch):
    corpus = written[2]
    monkeypatch.setattr(chunks, "_shared", {})
    index = _copy(written, tmp_path, damage)
    try:
        if message is None:
            index.need_owners([], range(corpus.symbol_count))
            assert list(index.symbol_file) == list(corpus.symbol_file)
        else:
            with pytest.raises(ValueError, match=message):
                rank(index, {w: 1.0 for w in WORDS}, 8, False)
            assert not any(index.symbol_file)  # never a wrong mapping left for the next question
    finally:
        index.close()
