import asyncio
import subprocess
import threading
import sys
from pathlib import Path

import pytest

pytest.importorskip("mcp")
from mcp import Client, StdioServerParameters  # noqa: E402

from conftest import copy_indexed  # noqa: E402
from tarnwick import context  # noqa: E402
from tarnwick.indexer import index_project  # noqa: E402

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
COMMAND = Path(sys.executable).with_name("tarnwick")
QUERY = "how are overdue loans detected"

pytestmark = pytest.mark.skipif(not COMMAND.exists(), reason="the tarnwick command is not installed")


def session(root, *calls):
    """Start `tarnwick mcp --root ROOT`, make the (tool, arguments) calls (a function
    among them is run between two calls), return the tool list and results."""

    async def talk():
        params = StdioServerParameters(command=str(COMMAND), args=["mcp", "--root", str(root)])
        async with Client(params) as client:
            tools = (await client.list_tools()).tools
            results = []
            for call in calls:
                if callable(call):
                    call()
                else:
                    results.append(await client.call_tool(*call))
            return tools, results

    return asyncio.run(asyncio.wait_for(talk(), 60))


def test_tools_answer_through_the_sdk_client():
    tools, (block, ranked) = session(
        SAMPLE, ("project_context", {"query": QUERY, "token_budget": 2000}), ("search_symbols", {"query": QUERY, "limit": 2})
    )
    assert {t.name for t in tools} == {"project_context", "search_symbols"}
    assert not block.is_error and [c.text for c in block.content] == [context.build(QUERY, SAMPLE, 2000)]
    assert block.structured_content["block"] == block.content[0].text
    assert block.structured_content["token_budget"] == 2000 and "sections" in block.structured_content
    assert not ranked.is_error and len(ranked.content) == 1
    assert ranked.content[0].text.split()[:3] == ["bookshelf/loans.py:28-33", "function", "find_overdue_loans"]
    files = ranked.structured_content["files"]
    assert [f["path"] for f in files] == ["bookshelf/loans.py", "bookshelf/api.py"]
    assert {"name": "find_overdue_loans", "kind": "function", "lines": [28, 33]}.items() <= files[0]["symbols"][0].items()


def test_the_tools_describe_their_parameters_and_bounds():
    tools, _ = session(SAMPLE)
    for tool in tools:
        assert tool.annotations.read_only_hint is True and tool.annotations.destructive_hint is False
        assert not tool.description.startswith(" ") and "\n    " not in tool.description
        schema = tool.input_schema
        assert schema["additionalProperties"] is False and schema["required"] == ["query"]
        assert all(prop.get("description") for prop in schema["properties"].values())
    by_name = {tool.name: tool.input_schema["properties"] for tool in tools}
    budget = by_name["project_context"]["token_budget"]
    assert (budget["anyOf"][0]["minimum"], budget["anyOf"][0]["maximum"]) == (1, 200_000)
    assert (by_name["search_symbols"]["limit"]["minimum"], by_name["search_symbols"]["limit"]["maximum"]) == (1, 50)
    assert set(by_name["project_context"]) == {"query", "token_budget", "diff", "staged", "paths", "no_tests"}


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
    texts = [r.content[0].text for r in results]
    assert "query is empty" in texts[0]
    assert texts[2] == "project_context: token_budget: input should be greater than or equal to 1 (got 0)"
    assert texts[3] == "search_symbols: limit: input should be less than or equal to 50 (got 10000)"


def test_a_misspelt_argument_is_refused_and_paths_stay_in_the_project():
    _, (result, scoped, absolute, outside) = session(
        SAMPLE,
        ("project_context", {"query": QUERY, "tokn_budget": 900}),
        ("search_symbols", {"query": QUERY, "paths": ["bookshelf/storage.py", "bookshelf/models.py"]}),
        ("search_symbols", {"query": QUERY, "paths": [str(SAMPLE / "bookshelf" / "models.py")]}),
        ("project_context", {"query": QUERY, "paths": ["../elsewhere"]}),
    )
    assert result.is_error and result.content[0].text == (
        "project_context takes no argument 'tokn_budget'; did you mean 'token_budget'? "
        "(it takes: query, token_budget, diff, staged, paths, no_tests)")
    assert {f["path"] for f in scoped.structured_content["files"]} <= {"bookshelf/storage.py", "bookshelf/models.py"}
    assert [f["path"] for f in absolute.structured_content["files"]] == ["bookshelf/models.py"]
    assert outside.is_error and outside.content[0].text.endswith("paths: ../elsewhere: not inside the project")


def test_answers_follow_the_index_and_the_files_between_calls(tmp_path):
    root = tmp_path / "p"
    copy_indexed(SAMPLE, root)
    loans = root / "bookshelf" / "loans.py"

    def index_a_new_file():
        (root / "bookshelf" / "ledger_export.py").write_text("def export_ledger_rows():\n    return []\n")
        index_project(root, jobs=1, progress=False)

    def edit_without_indexing():
        loans.write_text(loans.read_text().replace("class LendingError", "# note\n" * 12 + "class LendingError"))

    search = ("search_symbols", {"query": "ledger export"})
    _, (before, after, edited) = session(
        root, search, index_a_new_file, search, edit_without_indexing, ("project_context", {"query": QUERY})
    )
    paths = [[f["path"] for f in r.structured_content["files"]] for r in (before, after)]
    assert "bookshelf/ledger_export.py" not in paths[0] and paths[1][0] == "bookshelf/ledger_export.py"
    assert len(edited.content) == 1  # no warning: the edited file was indexed again
    assert "# bookshelf/loans.py::is_overdue (lines 35-37)" in edited.content[0].text


@pytest.mark.parametrize("change", ["deleted", "a link out of the project", "a link to a folder"])
def test_a_shown_file_deleted_or_replaced_by_a_link_is_seen_at_the_next_call(tmp_path, change):
    root = tmp_path / "p"
    copy_indexed(SAMPLE, root)
    loans = root / "bookshelf" / "loans.py"
    outside = tmp_path / "outside.py"
    outside.write_text('def find_overdue_loans(store, today=None):\n    return "OUTSIDE_MARKER"\n')

    def replace():
        loans.unlink()
        if change == "a link out of the project":
            loans.symlink_to(outside)
        elif change == "a link to a folder":
            loans.symlink_to(root / "bookshelf")

    ask = ("project_context", {"query": QUERY})
    _, (before, after, again) = session(root, ask, replace, ask, ask)
    code = "overdue.sort(key=lambda loan: loan.days_late(today), reverse=True)"
    assert code in before.content[0].text
    for answer in (after, again):
        text = "\n".join(c.text for c in answer.content)
        assert not answer.is_error and code not in text and "OUTSIDE_MARKER" not in text


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


def test_diff_outside_a_work_tree_is_an_error_result(tmp_path):
    copy_indexed(SAMPLE, tmp_path / "p")
    _, (result, both) = session(
        tmp_path / "p",
        ("project_context", {"query": QUERY, "diff": "HEAD"}),
        ("project_context", {"query": QUERY, "diff": "HEAD", "staged": True}),
    )
    assert result.is_error and result.content[0].text.endswith(f": not in a git work tree: {tmp_path / 'p'}")
    assert both.is_error and both.content[0].text.endswith(": diff and staged cannot be used together")


def in_process(root, *calls):
    """Make the calls (a function among them is run between two) to a server
    for ``root`` in this process; return the results and the threads the
    tools ran on (this test's own thread runs the event loop)."""
    from tarnwick import mcp_server

    server = mcp_server.create_server(root)
    threads = []
    real = context.search_result

    def recording(*args, **kwargs):
        threads.append(threading.get_ident())
        return real(*args, **kwargs)

    async def talk():
        results = []
        async with Client(server) as client:
            for call in calls:
                if callable(call):
                    call()
                else:
                    results.append(await client.call_tool(*call))
        return results

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(context, "search_result", recording)
        return asyncio.run(asyncio.wait_for(talk(), 60)), threads


def test_calls_keep_the_open_index_until_it_changes_or_breaks(tmp_path, monkeypatch):
    from tarnwick.search import reader

    root = tmp_path / "p"
    copy_indexed(SAMPLE, root)
    opened = []
    real_open = reader.IndexCorpus.__init__

    def counting(self, *args, **kwargs):
        opened.append(args)
        real_open(self, *args, **kwargs)

    monkeypatch.setattr(reader.IndexCorpus, "__init__", counting)
    db = root / ".vestra" / "search.db"

    def index_a_new_file():
        (root / "bookshelf" / "ledger_export.py").write_text("def export_ledger_rows():\n    return []\n")
        index_project(root, jobs=1, progress=False)

    search = ("search_symbols", {"query": "ledger export"})
    counts = []
    results, threads = in_process(
        root, search, search, lambda: counts.append(len(opened)), index_a_new_file, lambda: opened.clear(),
        search, search, lambda: counts.append(len(opened)), lambda: db.write_bytes(db.read_bytes()[:4096]), search,
    )
    # One thread for every call, the loop's own: what a call keeps is there for the next.
    assert threads == [threading.get_ident()] * 5
    first, again, indexed, indexed_again, damaged = results
    assert first.structured_content == again.structured_content
    paths = [f["path"] for f in indexed.structured_content["files"]]
    assert paths[0] == "bookshelf/ledger_export.py" and indexed_again.structured_content == indexed.structured_content
    # Opened once per index file, not per call; once more when it is damaged, and not used.
    assert counts + [len(opened)] == [1, 1, 2]
    assert [c.text.split(": damaged")[0] for c in damaged.content[1:]] == [f"warning: search index not used: {db}"]
