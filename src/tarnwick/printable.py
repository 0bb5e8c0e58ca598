"""Names as they may be shown to a person or an assistant: a file name is
any run of bytes but "/" and NUL, so one may hold a line break, a carriage
return or a terminal's escape sequence, and printed raw it could write
lines of its own into a listing or an assistant's prompt.  `shown` spells
such characters as backslash escapes; every other name is left as it is.
JSON output keeps names exact (its own escapes are unambiguous)."""

from __future__ import annotations

import re

# C0 and C1 controls, DEL, and the line and paragraph separators that
# `str.splitlines` also breaks at.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match) -> str:
    char = match.group()
    named = _NAMED.get(char)
    if named is not None:
        return named
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def shown(text: str) -> str:
    """``text`` with its control characters as backslash escapes."""
    return _CONTROL.sub(_escape, text) if _CONTROL.search(text) else text


def needs_escapes(text) -> bool:
    return isinstance(text, str) and _CONTROL.search(text) is not None


def _shown_id(value):
    return shown(value) if isinstance(value, str) else value


def packer_records(result: dict, summaries: dict, graph: dict) -> tuple[dict, dict, dict]:
    """The packer's records for one block with every file and symbol id
    shown: unchanged (the very objects) unless a chosen file or an edge end
    needs escapes, else copies in which such ids (the result's files and
    edges, the summaries' keys, the nodes' "id" and "path") are escaped.
    The packer then reads no code for such a file: no file has that name."""
    files = result.get("files") or []
    edges = result.get("edges") or []
    named = [e.get("id") if isinstance(e, dict) else e for e in files]
    named += [e.get(end) for e in edges if isinstance(e, dict) for end in ("from", "to")]
    if not any(needs_escapes(name) for name in named):
        return result, summaries, graph
    result = dict(result)
    result["files"] = [{**e, "id": _shown_id(e.get("id"))} if isinstance(e, dict) else _shown_id(e) for e in files]
    result["edges"] = [
        {**e, "from": _shown_id(e.get("from")), "to": _shown_id(e.get("to"))} if isinstance(e, dict) else e
        for e in edges
    ]
    summaries = {_shown_id(key): record for key, record in summaries.items()}
    graph = dict(graph)
    graph["nodes"] = [
        {**node, "id": _shown_id(node.get("id")), "path": _shown_id(node.get("path"))}
        if isinstance(node, dict) and (needs_escapes(node.get("id")) or needs_escapes(node.get("path")))
        else node
        for node in graph.get("nodes") or ()
    ]
    return result, summaries, graph


# A question is quoted back in a one-line message; up to 20,000 characters
# of it would bury the line.
QUOTED_CHARS = 80


def no_match(question: str) -> str:
    """The line for a question no file matches, quoting at most its first
    `QUOTED_CHARS` characters."""
    if len(question) > QUOTED_CHARS:
        question = question[: QUOTED_CHARS - 1] + "…"
    return f"no file matches {question!r}"
