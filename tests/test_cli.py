import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarnwick import context
from conftest import run_cli as run
from tarnwick.cli.main import main

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
QUERY = "how are overdue loans detected"
COMMAND = Path(sys.executable).with_name("tarnwick")


@pytest.mark.parametrize("command", ["", "index", "context", "search", "mcp"])
def test_help_on_every_command(capsys, command):
    status, out, err = run(capsys, *([command] if command else []), "--help")
    assert (status, err) == (0, "")
    assert out.startswith(f"usage: tarnwick {command}".rstrip())


@pytest.mark.skipif(shutil.which("git") is None, reason="the git command is not installed")
def test_index_help_names_every_file_it_writes(capsys, tmp_path):
    shutil.copytree(SAMPLE / "bookshelf", tmp_path / "bookshelf")
    for step in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "one"]):  # history is written in a work tree
        subprocess.run(["git", "-c", "user.email=t@example.com", "-c", "user.name=t", "-c", "commit.gpgsign=false",
                        *step], cwd=tmp_path, check=True, capture_output=True)
    assert main(["index", str(tmp_path), "-q"]) == 0
    capsys.readouterr()
    help_text = "".join(line.strip() for line in run(capsys, "index", "--help")[1].splitlines())  # unwrapped
    written = [path.name for path in (tmp_path / ".vestra").iterdir()]
    assert "history-cache.json" in written and [name for name in written if name not in help_text] == []


@pytest.mark.parametrize("flag", ["--version", "-V"])
def test_version(capsys, flag):
    status, out, err = run(capsys, flag)
    assert (status, err) == (0, "") and out.startswith("tarnwick ") and out.count("\n") == 1


def test_bare_command_prints_the_help_and_help_takes_a_command(capsys):
    status, out, err = run(capsys)
    assert (status, err) == (2, "") and out.startswith("usage: tarnwick") and "context" in out
    assert run(capsys, "help")[:2] == (0, out)
    status, out, err = run(capsys, "help", "search")
    assert (status, err) == (0, "") and out.startswith("usage: tarnwick search")
    assert run(capsys, "help", "serch") == (2, "", "tarnwick: error: no such command: 'serch'; did you mean 'search'?\n")


@pytest.mark.parametrize("argv, usage, complaint", [
    (["conext", "q"], "usage: tarnwick [-h]", "invalid choice: 'conext'; did you mean 'context'?"),
    (["context", "q", "--budgte", "9"], "usage: tarnwick context", "unrecognized arguments: --budgte 9; did you mean '--budget'?"),
    (["search", "q", "--jsno"], "usage: tarnwick search", "unrecognized arguments: --jsno; did you mean '--json'?"),
    (["index", "--versoin"], "usage: tarnwick index", "unrecognized arguments: --versoin; did you mean '--verbose'?"),
    (["--versoin"], "usage: tarnwick [-h]", "unrecognized arguments: --versoin; did you mean '--version'?"),
])
def test_misspellings_get_the_commands_own_usage_and_a_suggestion(capsys, argv, usage, complaint):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith(usage) and err.rstrip().endswith(complaint)


@pytest.mark.parametrize("argv, complaint", [
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["--frobnicate", "search", "q"], "unrecognized arguments: --frobnicate"),
    (["context"], "the following arguments are required: QUERY"),
    (["search"], "the following arguments are required: QUERY"),
    (["context", "q", "--budget", "0"], "must be at least 1"),
    (["search", "q", "-n", "x"], "not a whole number"),
    (["context", "q", "--colour"], "unrecognized arguments: --colour"),
])
def test_usage_errors_exit_2(capsys, argv, complaint):
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith("usage: tarnwick") and complaint in err


@pytest.mark.parametrize("command", ["context", "search"])
def test_blank_query_is_one_line(capsys, command):
    assert run(capsys, command, " \t", "--root", str(SAMPLE)) == (
        2, "", "tarnwick: error: the query is empty: ask a question about the code\n")


def test_context_prints_the_focused_block_from_a_subfolder(capsys, monkeypatch):
    monkeypatch.chdir(SAMPLE / "bookshelf")
    status, out, err = run(capsys, "context", QUERY)
    assert (status, err) == (0, "")
    assert out == context.build(QUERY, SAMPLE) + "\n"


def test_context_json(capsys):
    status, out, _ = run(capsys, "context", QUERY, "--root", str(SAMPLE), "--budget", "3000", "--json")
    data = json.loads(out)
    assert status == 0
    assert set(data) == {"query", "root", "token_budget", "tokens", "tokenizer", "sections", "files", "timings_ms",
                         "warnings", "redacted", "block"}
    assert data["warnings"] == [] and data["redacted"] == []
    assert list(data["sections"])[:3] == ["header", "Relevant Files", "Key Code"]
    # Ceilings per part: the parts' sum is within a few tokens of the whole.
    assert abs(sum(data["sections"].values()) - data["tokens"]) <= len(data["sections"])
    assert (data["query"], data["root"], data["token_budget"]) == (QUERY, str(SAMPLE), 3000)
    assert data["block"] == context.build(QUERY, SAMPLE, 3000)
    assert data["files"][0]["path"] == "bookshelf/loans.py"
    assert {s["name"]: s["lines"] for s in data["files"][0]["symbols"]}["is_overdue"] == [23, 25]


def test_search_lists_files_and_symbols(capsys):
    status, out, _ = run(capsys, "search", QUERY, "--root", str(SAMPLE), "-n", "2")
    lines = [line.split() for line in out.splitlines()]
    assert status == 0
    assert lines[0][0].startswith("bookshelf/loans.py:")
    assert ["bookshelf/loans.py:28-33", "function", "find_overdue_loans"] in [line[:3] for line in lines]
    assert {line[0].split(":")[0] for line in lines} == {"bookshelf/loans.py", "bookshelf/api.py"}
    assert all(float(line[3]) > 0 for line in lines)


@pytest.mark.parametrize("json_flag", [[], ["--json"]])
def test_no_match_is_status_1_as_text_and_as_json(capsys, json_flag):
    status, out, err = run(capsys, "search", "zzzz qqqq", "--root", str(SAMPLE), *json_flag)
    assert (status, err) == (1, "tarnwick: error: no file matches 'zzzz qqqq'\n")
    assert out == ("" if not json_flag else json.dumps({"query": "zzzz qqqq", "root": str(SAMPLE), "files": [], "warnings": []}, indent=2) + "\n")
    status, out, err = run(capsys, "context", "zzzz qqqq", "--root", str(SAMPLE), *json_flag)
    assert (status, err) == (1, "tarnwick: error: no file matches 'zzzz qqqq'\n") and "Project Context" in out


@pytest.mark.parametrize("length, quoted", [(80, "q" * 80), (81, "q" * 79 + "…"), (20_000, "q" * 79 + "…")])
def test_no_match_quotes_at_most_80_characters_of_the_question(capsys, length, quoted):
    status, _, err = run(capsys, "search", "q" * length, "--root", str(SAMPLE))
    assert (status, err) == (1, f"tarnwick: error: no file matches '{quoted}'\n")


@pytest.mark.parametrize("command", ["context", "search", "mcp"])
def test_without_an_index_one_line_says_how_to_build_it(capsys, monkeypatch, tmp_path, command):
    monkeypatch.chdir(tmp_path)
    argv = [command] + (["q"] if command != "mcp" else [])
    if command != "mcp":  # the server starts all the same, and says so on each call
        status, out, err = run(capsys, *argv)
        assert (status, out) == (1, "")
        assert err == f"tarnwick: error: no index in {tmp_path} or any folder above it; build one with `tarnwick index`\n"
    status, _, err = run(capsys, *argv, "--root", str(tmp_path / "nowhere"))
    assert (status, err) == (2, f"tarnwick: error: not a folder: {tmp_path / 'nowhere'}\n")


@pytest.fixture
def indexed(tmp_path, capsys):
    shutil.copytree(SAMPLE / "bookshelf", tmp_path / "bookshelf")
    assert main(["index", str(tmp_path), "-q"]) == 0
    capsys.readouterr()
    return tmp_path


def test_damaged_index_is_one_line_and_a_mixed_one_a_warning(capsys, indexed):
    # With the graph file, which stands in for the search index below.
    assert main(["index", str(indexed), "-q", "--graph-file"]) == 0
    store = indexed / ".vestra" / "structured_summaries.json"
    data = json.loads(store.read_text())
    data["bookshelf/loans.py"]["description"] = 7
    store.write_text(json.dumps(data))
    # The search index holds the run's own records: the answer comes from them.
    status, out, err = run(capsys, "context", QUERY, "--root", str(indexed))
    assert status == 0 and "Lending rules" in out and "structured_summaries.json is not from" in err
    # Without it the store is the authority, and its fault is one line.
    (indexed / ".vestra" / "search.db").unlink()
    status, out, err = run(capsys, "context", QUERY, "--root", str(indexed))
    assert (status, out) == (1, "")
    assert err.startswith("tarnwick: error: ") and err.count("\n") == 1 and "bookshelf/loans.py" in err
    del data["bookshelf/loans.py"]["description"]
    store.write_text(json.dumps(data))
    status, out, err = run(capsys, "context", QUERY, "--root", str(indexed))
    assert status == 0 and out.startswith("## Project Context")
    assert err == (f"tarnwick: warning: {indexed / '.vestra'}: structured_summaries.json is not from the indexing "
                   "run that wrote manifest.json; run `tarnwick index` again\n")
    (indexed / ".vestra" / "graph.json").write_text("{")
    status, out, err = run(capsys, "search", QUERY, "--root", str(indexed))
    assert (status, out) == (1, "")
    assert err.startswith("tarnwick: error: ") and err.count("\n") == 1 and "not valid JSON" in err


def test_an_index_without_its_graph_file_or_its_search_index_says_what_to_do(capsys, indexed):
    # Without a graph file the search index holds the graph: gone, the
    # answer says so in one line that tells how to mend it.
    assert not (indexed / ".vestra" / "graph.json").exists()
    (indexed / ".vestra" / "search.db").unlink()
    status, out, err = run(capsys, "context", QUERY, "--root", str(indexed))
    assert status == 1 and "no graph to answer from (no search index); run `tarnwick index` again" in err
    assert main(["index", str(indexed), "-q"]) == 0
    status, out, err = run(capsys, "context", QUERY, "--root", str(indexed))
    assert (status, err) == (0, "") and "find_overdue_loans" in out


def test_index_then_questions_through_the_console_script(tmp_path):
    if not COMMAND.exists():
        pytest.skip("the tarnwick command is not installed next to this interpreter")
    project = tmp_path / "project"
    shutil.copytree(SAMPLE / "bookshelf", project / "bookshelf")
    done = subprocess.run([str(COMMAND), "index", str(project), "-q"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.startswith("indexed 7 files")
    # A question's process ends at once: its status, output and messages are those of `main`.
    for line, status, shown, said in [
        (["context", QUERY], 0, "# bookshelf/loans.py::find_overdue_loans (lines 28-33)", ""),
        (["search", "zebra quagga"], 1, "", "tarnwick: error: no file matches 'zebra quagga'\n"),
        (["context", QUERY, "--budget", "0"], 2, "", "tarnwick context: error: argument --budget: must be at least 1: 0\n"),
    ]:
        answer = subprocess.run([str(COMMAND), *line], cwd=project / "bookshelf", capture_output=True, text=True, timeout=60)
        assert (answer.returncode, shown in answer.stdout, answer.stderr.endswith(said)) == (status, True, True), answer.stderr


@pytest.mark.parametrize("missing", ["mcp", "anyio", "pydantic"])  # the SDK, or a part it brings
def test_mcp_without_the_sdk_says_how_to_install_it(capsys, monkeypatch, missing):
    for name in [n for n in sys.modules if n.split(".")[0] == missing] + [missing]:
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.delitem(sys.modules, "tarnwick.mcp_server", raising=False)
    assert run(capsys, "mcp", "--root", str(SAMPLE)) == (
        1, "", "tarnwick: error: the MCP server needs the `mcp` package: pip install 'tarnwick[mcp]'\n")
