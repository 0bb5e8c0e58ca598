"""The part of a long function that answers a question.

Key Code shows a function from its first line, within a few dozen lines;
when the code a question is about lies in the middle of a 150-line method
(an error message at line 1300 of a 140-line function), those first lines
miss it.  `best_window` picks the stretch of a long function whose lines
hold the most of the question's words, each word weighted by how rare it is
among the function's lines; `source_lines` reads the file as the packer
reads it, so that line numbers agree.
"""

from __future__ import annotations

import math
import os

from .datadir import read_regular, resolve_inside
from .search.content import line_terms

# A function longer than this is shown through a window when its best
# window lies past its first lines.
LONG_LINES = 40
WINDOW_LINES = 30
# Lines of a function looked at, from its start.
MAX_SCANNED = 4000
SOURCE_LIMIT = 32 << 20


def source_lines(root, path: str) -> list | None:
    """The lines of the project file ``path`` as the packer splits them, or
    None when it cannot be read (outside the root, not a regular file, too
    large)."""
    full = os.path.join(os.fspath(root), path)
    if resolve_inside(full, root) is None:
        return None
    try:
        return read_regular(full, SOURCE_LIMIT).decode("utf-8", "ignore").splitlines()
    except OSError:
        return None


def best_window(lines: list, start: int, end: int, terms: set, size: int = WINDOW_LINES) -> tuple | None:
    """The (first, last) lines, 0-based and inclusive, of the ``size``-line
    stretch of ``lines[start:end + 1]`` that holds the most weight of the
    question's ``terms`` (each term counted once per stretch, weighted by
    its rarity among the function's lines); None when the function is not
    longer than LONG_LINES, no line holds a term, or the best stretch is
    already within the function's first ``size`` lines."""
    end = min(end, len(lines) - 1, start + MAX_SCANNED)
    if end - start + 1 <= LONG_LINES or not terms:
        return None
    found = [line_terms(lines[i]) & terms for i in range(start, end + 1)]
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
