"""Pausing the cyclic garbage collector around large loads.

Parsing a large graph or summary store makes hundreds of thousands of
containers and no reference cycles; the collections they set off would only
cost time (on a large summary store, as much as the parse itself).

An indexing run keeps what those loads make to its end (the walk's files,
the rows taken over): within `settling`, what a paused block made is set
apart from the collections that follow it (`gc.freeze`), which would only go
over it again and again to free nothing; at the end of the run it goes back
to the oldest generation (`gc.unfreeze`), as if it had lived through them.
"""

from __future__ import annotations

import contextlib
import gc
from collections.abc import Iterator

# How many `settling` blocks are open (a run inside a run settles once).
_settling = 0


@contextlib.contextmanager
def paused() -> Iterator[None]:
    """Run the block without cyclic collections, then restore the state
    found (a collector already off stays off)."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if _settling:
            gc.freeze()
        if collecting:
            gc.enable()


@contextlib.contextmanager
def settling(wanted: bool = True) -> Iterator[None]:
    """Within the block, what each `paused` block made is frozen when it
    ends; the block's end unfreezes it.  Nothing is frozen when not `wanted`
    or when objects were frozen already (by the process that runs us: its
    own freeze is left as it is)."""
    global _settling
    if not wanted or (not _settling and gc.get_freeze_count()):
        yield
        return
    _settling += 1
    try:
        yield
    finally:
        _settling -= 1
        if not _settling:
            gc.unfreeze()
