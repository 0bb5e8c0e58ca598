"""The MCP server as a client sees it on the wire: every request answered, signals obeyed,
and a project not yet indexed served with a way forward."""

import io
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("mcp")
import anyio  # noqa: E402
import mcp_types as types  # noqa: E402

from conftest import copy_indexed  # noqa: E402
from tarnwick import mcp_wire  # noqa: E402
from tarnwick.mcp_wire import check_line  # noqa: E402

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
COMMAND = Path(sys.executable).with_name("tarnwick")
DEEP = "[" * 100_000 + "]" * 100_000


def request(request_id, method="tools/call", params='{"name": "search_symbols", "arguments": {"query": "loans"}}'):
    head = "" if request_id is None else f'"id": {json.dumps(request_id)}, '
    return f'{{"jsonrpc": "2.0", {head}"method": "{method}", "params": {params}}}'


@pytest.mark.parametrize("line, passed, answer", [
    ("", None, None),
    ("  \t", None, None),
    (request(1), request(1), None),
    ("not json", None, (types.PARSE_ERROR, None)),
    ('{"jsonrpc": "2.0", "id": 2', None, (types.PARSE_ERROR, None)),
    # Valid JSON that the SDK's parser refuses: answered as the question it is.
    (request(3, params='{"q": "\\ud800 loans", "r": "\\udc00"}'), request(3, params='{"q": "\ufffd loans", "r": "\ufffd"}'), None),
    (request(4, params=DEEP), None, (types.INVALID_REQUEST, 4)),
    (f'{{"params": {DEEP}, "method": "m", "jsonrpc": "2.0", "id": "late"}}', None, (types.INVALID_REQUEST, "late")),
    (f'{{"params": {{"s": "]]}}", "d": {DEEP}}}, "id": 5}}', None, (types.INVALID_REQUEST, 5)),
    (request(6, params="[" * 100_000), None, (types.INVALID_REQUEST, 6)),  # deep and cut short
    (request(7, params='{"d": ' + "[" * 300 + "]" * 300 + "}"), None, (types.INVALID_REQUEST, 7)),  # too deep for the SDK only
    (request(None, params=DEEP), None, None),  # a notification wants no answer
    (f'{{"jsonrpc": "2.0", "id": 8, "result": {DEEP}}}', None, None),  # nor does a response
    ("[1, 2]", None, (types.INVALID_REQUEST, None)),
    ('"text"', None, (types.INVALID_REQUEST, None)),
    # Ids the SDK cannot carry: it would take the request for a notification.
    (request(True), None, (types.INVALID_REQUEST, None)),
    (request(1.5), None, (types.INVALID_REQUEST, None)),
    (request(None, params='{"id": 9}'), request(None, params='{"id": 9}'), None),  # an "id" inside, not of the message
])
def test_each_line_is_passed_on_or_answered(line, passed, answer):
    forwarded, error = check_line(line)
    if passed is None:
        assert forwarded is None
    else:
        assert json.loads(forwarded) == json.loads(passed)
    if answer is None:
        assert error is None
    else:
        assert (error.error.code, error.id) == answer and "\n" not in error.error.message


@pytest.mark.parametrize("spare, answered", [(0, False), (-1, True), (-200, True)])
def test_a_line_longer_than_the_limit_is_answered_without_being_held(monkeypatch, spare, answered):
    line = request(7, params='{"q": "' + "x" * 300 + '"}')
    monkeypatch.setattr(mcp_wire, "MAX_LINE_CHARS", len(line) + spare)  # -200: read in several pieces
    lines = mcp_wire.CheckedLines(io.StringIO(line + "\n" + request(1) + "\n"))
    sent = []

    class Answers:
        async def send(self, message):
            sent.append(message.message)

    async def read_all():
        lines.answer_through(Answers())
        return [line async for line in lines]

    passed = [line.rstrip("\n") for line in anyio.run(read_all)]
    assert passed == ([request(1)] if answered else [line, request(1)])  # the next line is served
    assert [(error.error.code, error.id) for error in sent] == ([(types.INVALID_REQUEST, 7)] if answered else [])


INITIALIZE = (
    '{"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",'
    '"capabilities":{},"clientInfo":{"name":"t","version":"1"}}}\n'
    '{"jsonrpc":"2.0","method":"notifications/initialized"}\n'
)


def start(root):
    server = subprocess.Popen(
        [str(COMMAND), "mcp", "--root", str(root)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    server.stdin.write(INITIALIZE.encode())
    server.stdin.flush()
    return server


def answers(server, count, timeout=30):
    """The first ``count`` messages the server writes (besides the answer to initialize)."""
    received, buffer = [], b""
    deadline = time.monotonic() + timeout
    while len(received) < count + 1 and time.monotonic() < deadline:
        if select.select([server.stdout], [], [], 0.1)[0]:
            chunk = os.read(server.stdout.fileno(), 1 << 16)
            if not chunk:
                break
            buffer += chunk
            *lines, buffer = buffer.split(b"\n")
            received += [json.loads(line) for line in lines if line]
    return received[1:]


def talk(root, *lines, expected):
    server = start(root)
    try:
        server.stdin.write("".join(line + "\n" for line in lines).encode("utf-8", "surrogatepass"))
        server.stdin.flush()
        return {message.get("id"): message for message in answers(server, expected)}
    finally:
        server.kill()
        server.wait()


pytestmark = pytest.mark.skipif(not COMMAND.exists(), reason="the tarnwick command is not installed")


def test_every_request_gets_an_answer_and_the_server_keeps_serving():
    got = talk(
        SAMPLE,
        "not json",
        request(1, params='{"name": "search_symbols", "arguments": {"query": "\\ud800 overdue loans", "limit": 1}}'),
        request(2, params=DEEP),
        request(3, params='{"name": "search_symbols", "arguments": {"query": "overdue loans", "limit": 1}}'),
        expected=4,
    )
    assert got[None]["error"]["code"] == types.PARSE_ERROR
    # The same answer; only the echoed question differs (its lone surrogate replaced).
    assert got[1]["result"]["content"] == got[3]["result"]["content"] and not got[1]["result"].get("isError")
    assert got[1]["result"]["structuredContent"]["files"] == got[3]["result"]["structuredContent"]["files"]
    assert got[2]["error"]["code"] == types.INVALID_REQUEST


def test_a_project_without_an_index_is_served_and_told_how_to_build_one(tmp_path):
    got = talk(
        tmp_path,
        request(1),
        request(2, params='{"name": "project_context", "arguments": {"query": "loans"}}'),
        expected=2,
    )
    for answer in got.values():
        assert answer["result"]["isError"]
        assert answer["result"]["content"][0]["text"].endswith(
            f": no index in {tmp_path}; build one with `tarnwick index {tmp_path}`"
        )


def test_warnings_follow_the_answer(tmp_path):
    copy_indexed(SAMPLE, tmp_path / "p")
    db = tmp_path / "p" / ".vestra" / "search.db"
    db.write_bytes(db.read_bytes()[:4096])
    got = talk(
        tmp_path / "p",
        request(1, params='{"name": "project_context", "arguments": {"query": "overdue loans"}}'),
        request(2, params='{"name": "search_symbols", "arguments": {"query": "overdue loans"}}'),
        expected=2,
    )
    for answer in got.values():
        _, *warnings = answer["result"]["content"]
        texts = [w["text"] for w in warnings]
        assert len(texts) == 1 and texts[0].startswith(f"warning: search index not used: {db}: damaged"), texts
    assert got[1]["result"]["content"][0]["text"].startswith("## Project Context")


@pytest.mark.parametrize("signum, status, word, busy", [
    (signal.SIGTERM, 143, "terminated", False),
    (signal.SIGTERM, 143, "terminated", True),
    (signal.SIGINT, 130, "interrupted", True),
    (signal.SIGHUP, 129, "terminated", False),
])
def test_a_signal_ends_the_server_within_a_second(signum, status, word, busy):
    server = start(SAMPLE)
    answers(server, 0)  # initialized
    if busy:
        calls = [request(n, params='{"name": "project_context", "arguments": {"query": "overdue loans"}}') for n in range(1, 40)]
        server.stdin.write("".join(call + "\n" for call in calls).encode())
        server.stdin.flush()
    sent = time.monotonic()
    server.send_signal(signum)
    try:
        assert server.wait(5) == status
    finally:
        server.kill()
    assert time.monotonic() - sent < 1.0
    assert server.stderr.read().decode() == f"tarnwick: {word}\n"
