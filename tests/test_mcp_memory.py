"""The MCP server keeps what its questions free; other C libraries are left
as they are."""

from __future__ import annotations

import os

import pytest

from tarnwick import _scoring, mcp_memory


def test_the_server_keeps_its_score_arrays_and_heap():
    before = _scoring.keep_freed_arrays(0)
    try:
        mcp_memory.keep_freed_memory()
        assert _scoring.keep_freed_arrays(0) == mcp_memory.KEPT_ARRAY_BYTES
    finally:
        _scoring.keep_freed_arrays(before)


@pytest.mark.parametrize(
    "confstr",
    [
        lambda name: "musl 1.2",
        lambda name: None,  # named, but no value
        lambda name: (_ for _ in ()).throw(ValueError("unrecognized configuration name")),
    ],
    ids=["another library", "no value", "no such name"],
)
def test_the_heap_of_another_c_library_is_left_alone(monkeypatch, confstr):
    monkeypatch.setattr(os, "confstr", confstr)
    assert mcp_memory._keep_heap() is False


@pytest.mark.skipif(not (os.confstr("CS_GNU_LIBC_VERSION") or "").startswith("glibc"), reason="glibc only")
@pytest.mark.skipif(bool(os.environ.get("TARNWICK_SANITIZED")), reason="the sanitizer's allocator takes no settings")
def test_glibc_takes_the_settings():
    assert mcp_memory._keep_heap() is True
