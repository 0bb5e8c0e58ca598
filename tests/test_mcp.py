import asyncio
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mcp")
from mcp import Client, StdioServerParameters  # noqa: E402

from tarnwick import context  # noqa: E402

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
COMMAND = Path(sys.executable).with_name("tarnwick")
QUERY = "how are overdue loans detected"

pytestmark = pytest.mark.skipif(not COMMAND.exists(), reason="the tarnwick command is not installed")


def session(root, *calls):
    """Start `tarnwick mcp --root ROOT`, make the (tool, arguments) calls, return the tool list and results."""

    async def talk():
        params = StdioServerParameters(command=str(COMMAND), args=["mcp", "--root", str(root)])
        async with Client(params) as client:
            tools = (await client.list_tools()).tools
            return tools, [await client.call_tool(name, args) for name, args in calls]

    return asyncio.run(asyncio.wait_for(talk(), 60))


def test_tools_answer_through_the_sdk_client():
    tools, (block, ranked) = session(
        SAMPLE, ("project_context", {"query": QUERY, "token_budget": 2000}), ("search_symbols", {"query": QUERY, "limit": 2})
    )
    assert {t.name for t in tools} == {"project_context", "search_symbols"}
    assert not block.is_error and block.content[0].text == context.build(QUERY, SAMPLE, 2000)
    assert not ranked.is_error
    files = ranked.structured_content["result"]
    assert [f["path"] for f in files] == ["bookshelf/loans.py", "bookshelf/api.py"]
    assert {"name": "find_overdue_loans", "kind": "function", "lines": [28, 33]}.items() <= files[0]["symbols"][0].items()


def test_bad_calls_get_error_results_and_the_server_keeps_serving():
    _, results = session(
        SAMPLE,
        ("project_context", {"query": "   "}),
        ("project_context", {"query": 5}),
        ("project_context", {"query": "q", "token_budget": 0}),
        ("search_symbols", {"query": "q", "limit": 10_000}),
        ("no_such_tool", {}),
        ("search_symbols", {"query": QUERY}),
    )
    assert [r.is_error for r in results] == [True] * 5 + [False]
    assert "query is empty" in results[0].content[0].text
    assert "token_budget must be between 1 and" in results[2].content[0].text


def test_broken_index_is_an_error_result(tmp_path):
    (tmp_path / ".vestra").mkdir()
    graph = tmp_path / ".vestra" / "graph.json"
    graph.write_text('{"nodes": "x"}')
    _, (result,) = session(tmp_path, ("search_symbols", {"query": "q"}))
    assert result.is_error and '"nodes" must be a list' in result.content[0].text


def test_client_that_disconnects_ends_the_server_cleanly():
    initialize = (
        '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",'
        '"capabilities":{},"clientInfo":{"name":"t","version":"1"}}}\n'
    )
    for sent in ("", initialize):
        done = subprocess.run(
            [str(COMMAND), "mcp", "--root", str(SAMPLE)], input=sent, capture_output=True, text=True, timeout=60
        )
        assert (done.returncode, done.stderr) == (0, "")
        assert ('"id":1' in done.stdout) if sent else (done.stdout == "")
