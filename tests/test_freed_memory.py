"""A process that answers questions keeps what they free; other C libraries
are left as they are."""

from __future__ import annotations

import os

import pytest

from tarnwick import _scoring, freed_memory

GLIBC = (os.confstr("CS_GNU_LIBC_VERSION") or "").startswith("glibc")
SANITIZED = bool(os.environ.get("TARNWICK_SANITIZED"))


def test_the_score_arrays_are_kept():
    before = _scoring.keep_freed_arrays(0)
    try:
        freed_memory.keep_freed_memory()
        assert _scoring.keep_freed_arrays(0) == freed_memory.KEPT_ARRAY_BYTES
    finally:
        _scoring.keep_freed_arrays(before)


@pytest.mark.skipif(not GLIBC, reason="glibc only")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator takes no settings")
def test_glibc_takes_the_settings():
    before = _scoring.keep_freed_arrays(0)
    try:
        assert freed_memory.keep_freed_memory() is True
    finally:
        _scoring.keep_freed_arrays(before)


@pytest.mark.parametrize(
    ("mapped_from", "kept_top"),
    [(1 << 31, 1 << 20), (1 << 20, 1 << 31)],
    ids=["threshold past an int", "top past an int"],
)
def test_values_glibc_cannot_take_change_nothing(mapped_from, kept_top):
    assert _scoring.keep_freed_heap(mapped_from, kept_top) is False


@pytest.mark.parametrize("value", [-1, 1.5, "1"])
def test_sizes_must_be_counts(value):
    with pytest.raises((ValueError, TypeError, OverflowError)):
        _scoring.keep_freed_heap(value, 1 << 20)
