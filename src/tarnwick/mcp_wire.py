"""The lines that reach the MCP server, checked before the SDK reads them.

The SDK drops a line it cannot read without a word, and a client that sent
a request on it waits for ever.  Every line therefore passes `check_line`
first: a message the SDK reads goes on unchanged; one whose strings hold a
lone surrogate escape (valid JSON that the SDK's parser refuses) goes on
with U+FFFD in their place; every other line gets its JSON-RPC error here,
with the request's id when it has one: -32700 for a line that is not JSON,
-32600 for one nested too deeply, too long, not a JSON-RPC message, or a
request whose id is neither a string nor an integer (the SDK would take it
for a notification and never answer).
"""

from __future__ import annotations

import json
import re
from json.decoder import scanstring

import anyio
import mcp_types as types
from mcp.shared.message import SessionMessage

_SPACE = re.compile(r"[ \t\r\n]*")
_NESTING = re.compile(r'["\[\]{}]')
_SURROGATE = re.compile("[\ud800-\udfff]")
_decode_scalar = json.JSONDecoder().raw_decode
_NESTED = object()  # a member whose value is an object or a list

# Longer lines are answered, not read whole: a client cannot make the server
# hold an endless line in memory.
MAX_LINE_CHARS = 1 << 24


def check_line(line: str) -> tuple[str | None, types.JSONRPCError | None]:
    """What to do with one line of input: (the line to pass on, None), or
    (None, the error to answer with), or (None, None) to let it go (a blank
    line, or a notification that cannot be read and wants no answer)."""
    if not line.strip():
        return None, None
    message = _read(line)
    if message is not None:
        if isinstance(message, types.JSONRPCNotification) and '"id"' in line:
            members = _top_members(line)
            if "id" in members:
                return None, _refusal(members, "Invalid request: the id must be a string or an integer")
        return line, None
    try:
        message = json.loads(line)
    except RecursionError:
        return None, _refusal(_top_members(line), "Invalid request: nested too deeply")
    except ValueError as exc:
        return None, _error(None, types.PARSE_ERROR, f"Parse error: {exc}")
    members = message if isinstance(message, dict) else {}
    try:
        mended = json.dumps(_without_lone_surrogates(message), ensure_ascii=False)
    except RecursionError:
        return None, _refusal(members, "Invalid request: nested too deeply")
    if _read(mended) is not None:
        return mended, None
    return None, _refusal(members, "Invalid request: not a JSON-RPC 2.0 message the server can read")


def _read(line: str):
    """The message the SDK reads from ``line``, or None."""
    try:
        return types.jsonrpc_message_adapter.validate_json(line, by_name=False)
    except ValueError:  # pydantic's ValidationError is one
        return None


def overlong_line(start: str) -> types.JSONRPCError | None:
    """The answer to a line longer than `MAX_LINE_CHARS` that begins with
    ``start``: to the id read from its beginning, when it has one."""
    return _refusal(_top_members(start), f"Invalid request: longer than {MAX_LINE_CHARS:,} characters")


def _error(request_id, code: int, message: str) -> types.JSONRPCError:
    return types.JSONRPCError(jsonrpc="2.0", id=request_id, error=types.ErrorData(code=code, message=message))


def _refusal(members: dict, message: str) -> types.JSONRPCError | None:
    """The error for a message that cannot be served: to its id, or to null
    when it has none usable; none for a notification or a response, which
    want no answer."""
    request_id = members.get("id")
    if "id" not in members:
        return None if "method" in members else _error(None, types.INVALID_REQUEST, message)
    if "result" in members or "error" in members:
        return None
    usable = isinstance(request_id, str) or (type(request_id) is int)
    return _error(request_id if usable else None, types.INVALID_REQUEST, message)


def _without_lone_surrogates(value):
    if isinstance(value, str):
        return _SURROGATE.sub("\ufffd", value)
    if isinstance(value, list):
        return [_without_lone_surrogates(item) for item in value]
    if isinstance(value, dict):
        return {_SURROGATE.sub("\ufffd", key): _without_lone_surrogates(item) for key, item in value.items()}
    return value


def _top_members(line: str) -> dict:
    """The members of the object ``line`` holds, read without descending
    into values that are objects or lists (they may nest too deeply to
    parse; they read as a marker): as many as can be read."""
    members: dict = {}
    try:
        at = _SPACE.match(line).end()
        if not line.startswith("{", at):
            return members
        at += 1
        while True:
            at = _SPACE.match(line, at).end()
            if not line.startswith('"', at):
                return members
            key, at = scanstring(line, at + 1)
            at = _SPACE.match(line, at).end()
            if not line.startswith(":", at):
                return members
            at = _SPACE.match(line, at + 1).end()
            if line.startswith(("{", "["), at):
                members[key], at = _NESTED, _past_nested(line, at)
            else:
                members[key], at = _decode_scalar(line, at)
            at = _SPACE.match(line, at).end()
            if not line.startswith(",", at):
                return members
            at += 1
    except (ValueError, IndexError):
        return members


def _past_nested(line: str, at: int) -> int:
    """The position after the object or list that starts at ``at``."""
    depth = 0
    while True:
        found = _NESTING.search(line, at)
        if found is None:
            raise ValueError("cut short")
        at = found.end()
        mark = found.group()
        if mark == '"':
            at = scanstring(line, at)[1]
        elif mark in "[{":
            depth += 1
        else:
            depth -= 1
            if depth == 0:
                return at


class CheckedLines:
    """The lines of ``source`` (a text file, read in a worker thread) that
    the SDK can read; the others are answered through the stream given to
    `answer_through` once the server has one."""

    def __init__(self, source) -> None:
        self._source = source
        self._answers = None
        self._ready = anyio.Event()

    def answer_through(self, write_stream) -> None:
        self._answers = write_stream
        self._ready.set()

    def __aiter__(self):
        return self._lines()

    async def _lines(self):
        while True:
            # One character more than a line may hold tells an overlong one.
            limit = MAX_LINE_CHARS + 1
            line = await anyio.to_thread.run_sync(self._source.readline, limit)
            if not line:
                return
            if len(line) == limit and not line.endswith("\n"):
                passed, error = None, overlong_line(line)
                rest = line
                while len(rest) == limit and not rest.endswith("\n"):
                    rest = await anyio.to_thread.run_sync(self._source.readline, limit)
            else:
                passed, error = check_line(line)
            if passed is not None:
                yield passed
            elif error is not None:
                await self._ready.wait()
                await self._answers.send(SessionMessage(error))
