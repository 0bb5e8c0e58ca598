"""Pausing the cyclic garbage collector around large loads.

Parsing a large graph or summary store makes hundreds of thousands of
containers and no reference cycles; the collections they set off would only
cost time (on a large summary store, as much as the parse itself).
"""

from __future__ import annotations

import contextlib
import gc
from collections.abc import Iterator


@contextlib.contextmanager
def paused() -> Iterator[None]:
    """Run the block without cyclic collections, then restore the state
    found (a collector already off stays off)."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()
