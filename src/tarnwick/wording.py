"""Wording the commands share, whichever wing a message comes from: counts
that agree in number with their noun, and the one advice to run the
indexer again.  Imports nothing of the package."""

from __future__ import annotations

# What a message about a stale, damaged or mixed index asks the user to do.
INDEX_AGAIN = "run `tarnwick index` again"


def counted(count: int, noun: str, plural: str | None = None) -> str:
    """``count`` with ``noun`` in the number it takes: "1 file", "0 files",
    "2 classes" (``plural`` where adding "s" would be wrong)."""
    if count == 1:
        return f"1 {noun}"
    return f"{count} {plural or noun + 's'}"
