"""The part of a long function that answers a question.

Key Code shows a function from its first line, within a few dozen lines;
when the code a question is about lies in the middle of a 150-line method
(an error message at line 1300 of a 140-line function), those first lines
miss it.  `best_window` picks the stretch of a long function whose lines
hold the most of the question's words, each word weighted by how rare it is
among the function's lines; `source_lines` reads the file as the packer
reads it, so that line numbers agree.

A process keeps the files it read lately, with the terms of the lines a
window looked at, while each is the very file it read (device, inode, size,
modification and change time): a server asked about the same code again
neither reads nor splits it again.
"""

from __future__ import annotations

import math
import os
import threading
import time

from .datadir import read_regular_file, resolve_inside
from .freshness import RACY_NS
from .search.content import line_terms

# A function longer than this is shown through a window when its best
# window lies past its first lines.
LONG_LINES = 40
WINDOW_LINES = 30
# Lines of a function looked at, from its start.
MAX_SCANNED = 4000
SOURCE_LIMIT = 32 << 20
# The most bytes of source files a process keeps.
KEPT_BYTES = 16 << 20


class Source:
    """A file's lines as the packer splits them, and the terms of each line
    looked at so far."""

    __slots__ = ("lines", "size", "_terms")

    def __init__(self, lines: list, size: int = 0) -> None:
        self.lines, self.size = lines, size
        self._terms: list = [None] * len(lines)

    def terms(self, i: int) -> set:
        found = self._terms[i]
        if found is None:
            found = self._terms[i] = line_terms(self.lines[i])
        return found


# Real path -> (identity, Source) of the files read lately, least recently used first.
_kept: dict = {}
_kept_lock = threading.Lock()


def _identity(info: os.stat_result) -> tuple:
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns


def source_lines(root, path: str) -> Source | None:
    """The lines of the project file ``path`` as the packer splits them, or
    None when it cannot be read (outside the root, not a regular file, too
    large)."""
    real = resolve_inside(os.path.join(os.fspath(root), path), root)
    if real is None:
        return None
    try:
        identity = _identity(os.stat(real))
        with _kept_lock:
            kept = _kept.pop(real, None)
            if kept is not None and kept[0] == identity:
                _kept[real] = kept
                return kept[1]
        data, info = read_regular_file(real, SOURCE_LIMIT)
    except OSError:
        return None
    source = Source(data.decode("utf-8", "ignore").splitlines(), len(data))
    # A file changed within a clock tick of now may change again without
    # changing its times: it is not kept.
    if time.time_ns() - info.st_ctime_ns > RACY_NS:
        _keep(real, _identity(info), source)
    return source


def _keep(real: str, identity: tuple, source: Source) -> None:
    with _kept_lock:
        _kept[real] = (identity, source)
        total = sum(kept.size for _, kept in _kept.values())
        while total > KEPT_BYTES:
            total -= _kept.pop(next(iter(_kept)))[1].size


def best_window(lines: list | Source, start: int, end: int, terms: set, size: int = WINDOW_LINES) -> tuple | None:
    """The (first, last) lines, 0-based and inclusive, of the ``size``-line
    stretch of ``lines[start:end + 1]`` (a list, or a `Source`) that holds the most weight of the
    question's ``terms`` (each term counted once per stretch, weighted by
    its rarity among the function's lines); None when the function is not
    longer than LONG_LINES, no line holds a term, or the best stretch is
    already within the function's first ``size`` lines."""
    source = lines if isinstance(lines, Source) else Source(lines)
    end = min(end, len(source.lines) - 1, start + MAX_SCANNED)
    if end - start + 1 <= LONG_LINES or not terms:
        return None
    found = [source.terms(i) & terms for i in range(start, end + 1)]
    counts: dict = {}
    for hits in found:
        for term in hits:
            counts[term] = counts.get(term, 0) + 1
    if not counts:
        return None
    total = len(found)
    weight = {term: math.log(1.0 + total / n) for term, n in counts.items()}
    best = None
    # Slide the window, keeping how many of its lines hold each term.
    inside: dict = {}
    score = 0.0
    for i, hits in enumerate(found):
        for term in hits:
            inside[term] = inside.get(term, 0) + 1
            if inside[term] == 1:
                score += weight[term]
        if i >= size:
            for term in found[i - size]:
                inside[term] -= 1
                if inside[term] == 0:
                    score -= weight[term]
        first = max(i - size + 1, 0)
        # Ties keep the earliest window, nearer the function's own header.
        if best is None or score > best[0] + 1e-9:
            best = (score, first)
    score, first = best
    if score <= 0.0 or first < size // 3:
        return None  # the first lines show it already
    # Move on past leading lines that add nothing the rest of the window
    # lacks: the window then ends past the last match rather than holding
    # unrelated lines before the first.
    held: dict = {}
    for hits in found[first : first + size]:
        for term in hits:
            held[term] = held.get(term, 0) + 1
    while first < len(found) - 1 and all(held[term] > 1 for term in found[first]):
        for term in found[first]:
            held[term] -= 1
        if first + size < len(found):
            for term in found[first + size]:
                held[term] = held.get(term, 0) + 1
        first += 1
    first = start + first
    return first, min(first + size - 1, end)
