"""Counting a block's tokens: with a real tokenizer where one is installed
(the `tokens` extra: tiktoken's o200k encoding), else the packer's length
estimate (ceil(len / 3.2)), which over-counts ordinary code and prose.

The tokenizer is looked up once per process; one that is installed but
cannot load its encoding (no network, no cached file) counts as absent.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable

__all__ = ["ESTIMATE", "Counter", "counter", "estimate", "section_tokens"]

ENCODING = "o200k_base"


def estimate(text: str) -> int:
    """The packer's own estimate, ceil(len / 3.2)."""
    return math.ceil(len(text) / 3.2) if text else 0


class Counter:
    """A way to count tokens, and its name ("estimate" or the encoding's)."""

    __slots__ = ("name", "count")  # a plain class: a dataclass costs a query process more than its counting

    def __init__(self, name: str, count: Callable[[str], int]) -> None:
        self.name, self.count = name, count


ESTIMATE = Counter("estimate", estimate)
_found: list[Counter] = []


def _tokenizer() -> Counter:
    try:
        import tiktoken

        encoding = tiktoken.get_encoding(ENCODING)
        encoding.encode("warm up")
    except Exception:  # not installed, or its encoding cannot be loaded here
        return ESTIMATE
    return Counter(ENCODING, lambda text: len(encoding.encode(text, disallowed_special=())))


def counter() -> Counter:
    """The best counter this process has (looked up once)."""
    if not _found:
        _found.append(_tokenizer())
    return _found[0]


_HEADING = re.compile(r"^### ([^\n(]+?)(?: \([^)\n]*\))?$", re.MULTILINE)


def section_tokens(block: str, count: Callable[[str], int]) -> dict[str, int]:
    """Tokens per part of a block: "header", then each section by its
    heading ("Relevant Files", "Key Code", ...), in block order."""
    sections: dict[str, int] = {}
    starts = [(m.start(), m.group(1)) for m in _HEADING.finditer(block)]
    sections["header"] = count(block[: starts[0][0]] if starts else block)
    for i, (start, name) in enumerate(starts):
        end = starts[i + 1][0] if i + 1 < len(starts) else len(block)
        sections[name] = count(block[start:end])
    return sections
