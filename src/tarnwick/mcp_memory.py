"""What the MCP server keeps of the memory its questions free.

A page the process maps afresh costs a fault on its first touch (about 5 us
on a loaded machine), and a question in a large project maps many: the
scoring kernel's large score arrays, and every allocation the C library
serves from a mapping of its own (32 MB and down: the kernel's lists of
totals, arrays and byte strings of postings) or from heap memory it gave
back to the system at the last free.  A warm call at 100,000 files faulted
in some 2,000 pages.  A long-lived server keeps that memory for the next
question instead; a one-question process frees as before.
"""

from __future__ import annotations

import os

# A question's large score arrays (at 100,000 files some 45 MB of address space, of which
# it touches a few MB) fit several times over.
KEPT_ARRAY_BYTES = 256 << 20
# glibc's `mallopt` options and the values set: every allocation up to its largest
# threshold from the heap, and the heap's free top kept up to this much.
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
_HEAP_THRESHOLD = 32 << 20
_KEPT_HEAP_BYTES = 256 << 20


def keep_freed_memory() -> None:
    """Let this process keep, for its next question, the memory a question frees."""
    from . import _scoring

    _scoring.keep_freed_arrays(KEPT_ARRAY_BYTES)
    _keep_heap()


def _keep_heap() -> bool:
    """Ask glibc to serve large blocks from the heap and keep its free top;
    False where the C library is another (or cannot be asked)."""
    try:
        if not (os.confstr("CS_GNU_LIBC_VERSION") or "").startswith("glibc"):
            return False
        import ctypes

        mallopt = ctypes.CDLL(None).mallopt
    except (ValueError, OSError, AttributeError):
        return False
    return bool(mallopt(_M_MMAP_THRESHOLD, _HEAP_THRESHOLD)) and bool(mallopt(_M_TRIM_THRESHOLD, _KEPT_HEAP_BYTES))
