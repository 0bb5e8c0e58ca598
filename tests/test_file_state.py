"""A file's packed state in the search index (what an update subtracts when
the file changes): it unpacks to what was packed, in order, and anything
else is refused as damage."""

from __future__ import annotations

import zlib

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick.search import state
from tarnwick.search.state import pack_state, unpack_state

# Terms and names as the tokeniser makes them, and text no tokeniser would give.
_TEXT = st.text(alphabet=st.characters(blacklist_characters="\0", blacklist_categories=("Cs",)), max_size=12)
_ODD = st.sampled_from(["", "é", "\udcff", "a b", "#uncounted", "x\ny"])


@settings(max_examples=200)
@given(
    st.dictionaries(st.one_of(_TEXT, _ODD), st.integers(1, 2**32 - 1), max_size=30),
    st.lists(st.one_of(_TEXT, _ODD), max_size=10),
)
def test_a_state_unpacks_to_what_was_packed_in_order(counts, names):
    got_counts, got_names = unpack_state(pack_state(counts, names))
    assert list(got_counts.items()) == list(counts.items())
    assert got_names == names


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
    assert unpack_state(pack_state({"t": 1}, ["n"])) == ({"t": 1}, ["n"])
