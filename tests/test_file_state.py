"""A file's packed state in the search index (what an update subtracts when
the file changes): its counts, or the key of the documents they are counted
from; it unpacks to what was packed, in order, and anything else is refused
as damage."""

from __future__ import annotations

import zlib

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick.search import state
from tarnwick.search.state import file_state, pack_keyed_state, pack_state, unpack_state

# Terms and names as the tokeniser makes them, and text no tokeniser would give.
_TEXT = st.text(alphabet=st.characters(blacklist_characters="\0", blacklist_categories=("Cs",)), max_size=12)
_ODD = st.sampled_from(["", "é", "\udcff", "a b", "#uncounted", "x\ny"])


@settings(max_examples=200)
@given(
    st.dictionaries(st.one_of(_TEXT, _ODD), st.integers(1, 2**32 - 1), max_size=30),
    st.lists(st.one_of(_TEXT, _ODD), max_size=10),
)
def test_a_state_unpacks_to_what_was_packed_in_order(counts, names):
    got_counts, got_names, key = unpack_state(pack_state(counts, names))
    assert list(got_counts.items()) == list(counts.items())
    assert got_names == names and key is None


@settings(max_examples=200)
@given(st.one_of(_TEXT, _ODD, st.just("")), st.lists(st.one_of(_TEXT, _ODD), max_size=10))
def test_a_keyed_state_unpacks_to_what_was_packed(key, names):
    # The key is kept as it is: NUL characters (doc_key's separator) too.
    key = key + "\0" + key
    assert unpack_state(pack_keyed_state(key, names)) == (None, names, key)


def test_a_file_state_is_keyed_only_when_its_documents_have_a_key():
    docs = [{"loan": 1.0, "fine": 2.0}, {"loan": 1.5}]
    assert unpack_state(file_state(docs, ["loan"], None)) == ({"loan": 2, "fine": 1}, ["loan"], None)
    assert unpack_state(file_state(docs, ["loan"], "ab\0null")) == (None, ["loan"], "ab\0null")


_KEYED = pack_keyed_state("ab\0null", ["loan", "fine"])


@pytest.mark.parametrize(
    "blob, message",
    [
        (b"\1", "cut short"),
        (_KEYED[:8], "cut short"),  # the head cut short
        (_KEYED[:12], "cut short"),  # the key cut short
        (_KEYED[:5] + (99).to_bytes(4, "little") + _KEYED[9:], "another shape"),  # names not as counted
        (_KEYED[:5] + bytes(4) + _KEYED[9:], "another shape"),  # text where no name is counted
        (_KEYED[:-1] + b"\xff", "does not unpack"),  # not UTF-8
        (_KEYED[:1] + (1 << 31).to_bytes(4, "little") + _KEYED[5:], "cut short"),  # a key far past the end
    ],
)
def test_a_damaged_keyed_state_is_refused(blob, message):
    with pytest.raises(ValueError, match=message):
        unpack_state(blob)


def _raw(counts: dict, names: list) -> bytes:
    return zlib.decompress(pack_state(counts, names))


_GOOD = ({"loan": 2, "fine": 1}, ["loan"])


@pytest.mark.parametrize(
    "blob, message",
    [
        ("text", "not a blob"),
        (None, "not a blob"),
        (pack_state(*_GOOD)[:-4], "truncated"),
        (pack_state(*_GOOD) + b"\0", "truncated"),
        (b"x" + pack_state(*_GOOD), "does not unpack"),
        (zlib.compress(b"\1\0\0"), "cut short"),  # a head cut short
        (zlib.compress(_raw(*_GOOD)[:12]), "cut short"),  # counts cut short
        (zlib.compress(b"\0" * 8 + b"stray"), "another shape"),  # text where none is counted
        (zlib.compress(_raw(*_GOOD).replace(b"fine", b"lo\0n")), "another shape"),  # one string too many
        (zlib.compress(_raw(*_GOOD).replace(b"fine", b"loan")), "another shape"),  # a term twice
        (zlib.compress(_raw(*_GOOD)[:8] + bytes(4) + _raw(*_GOOD)[12:]), "another shape"),  # a count of none
        (zlib.compress(_raw(*_GOOD).replace(b"loan\0fine", b"loan\0\xff")), "does not unpack"),  # not UTF-8
    ],
)
def test_a_damaged_state_is_refused(blob, message):
    with pytest.raises(ValueError, match=message):
        unpack_state(blob)


def test_a_state_that_inflates_past_its_bound_is_refused(monkeypatch):
    monkeypatch.setattr(state, "STATE_LIMIT", 1 << 10)
    with pytest.raises(ValueError, match="too large"):
        unpack_state(pack_state({f"t{i}": 1 for i in range(200)}, []))
    assert unpack_state(pack_state({"t": 1}, ["n"])) == ({"t": 1}, ["n"], None)
