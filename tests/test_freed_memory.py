"""A process that answers questions keeps what they free; other C libraries
are left as they are."""

from __future__ import annotations

import os

import pytest

from tarnwick import _scoring, freed_memory

GLIBC = (os.confstr("CS_GNU_LIBC_VERSION") or "").startswith("glibc")
SANITIZED = bool(os.environ.get("TARNWICK_SANITIZED"))


def test_the_score_arrays_are_kept_and_glibc_takes_the_settings():
    before = _scoring.keep_freed_arrays(0)
    try:
        took = freed_memory.keep_freed_memory()
        assert _scoring.keep_freed_arrays(0) == freed_memory.KEPT_ARRAY_BYTES
        if GLIBC and not SANITIZED:  # the sanitizer's allocator takes no settings
            assert took is True
    finally:
        _scoring.keep_freed_arrays(before)


@pytest.mark.parametrize(
    ("mapped_from", "kept_top", "outcome"),
    [
        (1 << 31, 1 << 20, False),  # a threshold past an int: glibc cannot take it, nothing changes
        (1 << 20, 1 << 31, False),  # a top past an int
        (-1, 1 << 20, ValueError),
        (1.5, 1 << 20, TypeError),
        ("1", 1 << 20, TypeError),
    ],
)
def test_sizes_glibc_cannot_take_change_nothing_and_non_counts_are_refused(mapped_from, kept_top, outcome):
    if outcome is False:
        assert _scoring.keep_freed_heap(mapped_from, kept_top) is False
    else:
        with pytest.raises((ValueError, TypeError, OverflowError)):
            _scoring.keep_freed_heap(mapped_from, kept_top)
