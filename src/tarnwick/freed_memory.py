"""What a process that answers questions keeps of the memory they free.

A page the process maps afresh costs a fault on its first touch (about 5 us
on a loaded machine), and a question in a large project maps many: the
scoring kernel's large score arrays, and every allocation the C library
serves from a mapping of its own (32 MB and down: the kernel's lists of
totals, arrays and byte strings of postings) or from heap memory it gave
back to the system at the last free.  A question's passes free such memory
and map it again (the bound pass and the two exact passes each make a file
array of scores, the exact passes each a symbol array), and a server's next
question does the same.  Kept, each page is faulted in once.
"""

from __future__ import annotations

# A question's large score arrays (at 100,000 files some 45 MB of address space, of which
# it touches a few MB) fit several times over.
KEPT_ARRAY_BYTES = 256 << 20
# Every allocation up to glibc's largest mapping threshold from the heap, and the heap's
# free top kept up to this much.
HEAP_THRESHOLD = 32 << 20
KEPT_HEAP_BYTES = 256 << 20


def keep_freed_memory() -> bool:
    """Let this process keep, for the rest of its question and the next, the
    memory a question frees; False where the C library's heap is left as it
    is (not glibc)."""
    from . import _scoring

    _scoring.keep_freed_arrays(KEPT_ARRAY_BYTES)
    return _scoring.keep_freed_heap(HEAP_THRESHOLD, KEPT_HEAP_BYTES)
