"""JSON with comments and trailing commas, as tsconfig.json and
jsconfig.json are written.

The text is scanned once, left to right: a comment that never ends, or a
string that never closes, runs to the end of the text instead of being
looked for again from every later opener, so a settings file costs time in
proportion to its size whatever it holds.
"""

from __future__ import annotations

import json
import re

# What can start a string, a comment or a comma, or end an object or array.
_SIGNIFICANT = re.compile(r'["/,}\]]')
# The rest of a string after its opening quote, through the closing quote.
_STRING_REST = re.compile(r'[^"\\]*(?:\\.[^"\\]*)*"', re.S)


def strip_jsonc(text: str) -> str:
    """`text` without its comments and without commas that come right before
    a closing bracket or brace (comments and white space between them)."""
    out = []
    comma = False  # a comma met and not yet written: it may be a trailing one
    i = 0
    end = len(text)
    while i < end:
        found = _SIGNIFICANT.search(text, i)
        stop = found.start() if found else end
        if stop > i:
            chunk = text[i:stop]
            if comma and not chunk.isspace():
                out.append(",")
                comma = False
            out.append(chunk)
        if found is None:
            break
        char = text[stop]
        if char in "}]":
            comma = False  # a trailing comma is dropped
            out.append(char)
            i = stop + 1
        elif char == ",":
            if comma:
                out.append(",")
            comma = True
            i = stop + 1
        elif char == '"':
            if comma:
                out.append(",")
                comma = False
            closed = _STRING_REST.match(text, stop + 1)
            i = closed.end() if closed else end
            out.append(text[stop:i])
        elif text.startswith("//", stop):
            line_end = text.find("\n", stop)
            i = end if line_end < 0 else line_end
        elif text.startswith("/*", stop):
            close = text.find("*/", stop + 2)
            i = end if close < 0 else close + 2
        else:  # a lone slash: not JSON, left for the parser to refuse
            if comma:
                out.append(",")
                comma = False
            out.append(char)
            i = stop + 1
    if comma:
        out.append(",")
    return "".join(out)


def parse_jsonc(text: str):
    """The value of a tsconfig-style text.  ValueError when it is not valid
    (nesting too deep for the parser counts as not valid)."""
    try:
        return json.loads(strip_jsonc(text))
    except RecursionError:
        raise ValueError("nested too deeply") from None
