"""Gitignore patterns matched without backtracking.

A pattern such as `*a*a*a*a*b` compiled to a regular expression backtracks
through every way of placing its wildcards before it gives up on a name:
one long name can take minutes.  Here a name is matched against one path
segment of a pattern by the greedy two-pointer method (a failed attempt goes
back only to the last `*`), which costs at most the product of the two
lengths, and `**` segments by the set of positions they can reach.

`compile_line` reads one line of a `.gitignore`; `Glob.match` tells whether
a path (a folder's path ends in "/") matches it, and how: through a folder
above or the path itself, which decides between patterns as git does.
"""

from __future__ import annotations

import re

# Kinds of match.
NO_MATCH, THROUGH_FOLDER, ITSELF = 0, 1, 2

_STARS = re.compile(r"\*+")
_STAR = object()
_DOUBLE = object()  # a "**" segment: any number of folders


class Glob:
    __slots__ = ("include", "dir_only", "parts", "trailing_double")

    def __init__(self, include: bool, dir_only: bool, parts: list, trailing_double: bool):
        self.include = include
        self.dir_only = dir_only
        self.parts = parts
        self.trailing_double = trailing_double

    def match(self, probe: str) -> int:
        """How `probe` (a relative path, "/" at the end for a folder)
        matches: NO_MATCH, THROUGH_FOLDER (a folder above it, or the folder
        itself) or ITSELF.  A folder's path ends in an empty name, which
        only `**` covers."""
        names = probe.split("/")
        n = len(names)
        states = {0}  # how many names the pattern's parts so far can cover
        for part in self.parts:
            if part is _DOUBLE:
                states = set(range(min(states), n + 1))
            else:
                states = {j + 1 for j in states if j < n and _match_segment(part, names[j])}
            if not states:
                return NO_MATCH
        if self.trailing_double:
            # "x/**" is everything below x ("**" alone: everything); such a
            # pattern has no folder mark.
            return ITSELF if any(j < n for j in states) else NO_MATCH
        if n in states and not self.dir_only:
            return ITSELF
        if any(0 < j < n for j in states):  # a folder above, or the folder itself
            return THROUGH_FOLDER
        return NO_MATCH


def compile_line(line: str) -> Glob | None:
    """The pattern of one `.gitignore` line, or None for a blank line or a
    comment.  ValueError for a character range that runs backwards."""
    text = line.rstrip("\r\n")
    while text.endswith(" ") and not text.endswith("\\ "):
        text = text[:-1]
    if not text or text.startswith("#"):
        return None
    include = True
    if text.startswith("!"):
        include = False
        text = text[1:]
    dir_only = text.endswith("/")
    if dir_only:
        text = text[:-1]
    anchored = "/" in text
    if text.startswith("/"):
        text = text[1:]
    if not text:
        return None
    parts = []
    for segment in text.split("/"):
        part = _DOUBLE if len(segment) >= 2 and not segment.strip("*") else _segment(segment)
        if not (part is _DOUBLE and parts and parts[-1] is _DOUBLE):
            parts.append(part)
    if parts in ([[_STAR]], [_DOUBLE, [_STAR]]) and (not anchored or parts[0] is _DOUBLE):
        parts = [_DOUBLE]  # "*" and "**/*" are any path, "*/" any folder
    if not anchored and parts[0] is not _DOUBLE:
        parts.insert(0, _DOUBLE)
    # "x/**" (and "**" alone) is everything inside; its match has no folder mark.
    trailing_double = parts[-1] is _DOUBLE and not dir_only
    if trailing_double:
        parts.pop()
    return Glob(include, dir_only, parts, trailing_double)


def risky(line: str) -> bool:
    """True when a regular expression made of `line` could backtrack at
    length: two or more wildcards in one segment."""
    return any(len(_STARS.findall(segment)) >= 2 for segment in line.split("/"))


def _segment(text: str) -> list:
    """One segment as tokens: _STAR, a character, or a class
    (negated, characters, ranges)."""
    tokens = []
    i = 0
    end = len(text)
    while i < end:
        char = text[i]
        if char == "*":
            if not tokens or tokens[-1] is not _STAR:
                tokens.append(_STAR)
            i += 1
        elif char == "?":
            tokens.append((True, frozenset("/"), ()))
            i += 1
        elif char == "\\" and i + 1 < end:
            tokens.append(text[i + 1])
            i += 2
        elif char == "[":
            klass, i = _class(text, i)
            tokens.append(klass)
        else:
            tokens.append(char)
            i += 1
    return tokens


def _class(text: str, start: int):
    """The class that opens at `start`, and where it ends; a `[` without its
    `]` is the character itself."""
    i = start + 1
    negated = i < len(text) and text[i] in "!^"
    if negated:
        i += 1
    chars = set()
    ranges = []
    first = True
    while i < len(text) and (text[i] != "]" or first):
        first = False
        char = text[i]
        if char == "\\" and i + 1 < len(text):
            i += 1
            char = text[i]
        if i + 2 < len(text) and text[i + 1] == "-" and text[i + 2] != "]":
            low, high = char, text[i + 2]
            if low > high:
                raise ValueError(f"bad character range {low}-{high}")
            ranges.append((low, high))
            i += 3
        else:
            chars.add(char)
            i += 1
    if i >= len(text):
        return "[", start + 1
    if negated:
        chars.add("/")
    return (negated, frozenset(chars), tuple(ranges)), i + 1


def _one(token, char: str) -> bool:
    if type(token) is str:
        return token == char
    negated, chars, ranges = token
    found = char in chars or any(low <= char <= high for low, high in ranges)
    return found != negated


def _match_segment(tokens: list, name: str) -> bool:
    """Whether the whole of `name` matches the segment `tokens`.  The empty
    name (after a folder's final "/") matches no segment."""
    if not name:
        return False
    t = s = 0
    star = -1  # the token after the last star met, and where its match began
    resume = 0
    count = len(tokens)
    length = len(name)
    while s < length:
        if t < count and tokens[t] is _STAR:
            star = t + 1
            resume = s
            t += 1
        elif t < count and _one(tokens[t], name[s]):
            t += 1
            s += 1
        elif star >= 0:
            resume += 1
            s = resume
            t = star
        else:
            return False
    while t < count and tokens[t] is _STAR:
        t += 1
    return t == count
