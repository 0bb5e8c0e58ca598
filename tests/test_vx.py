import json
import sys
import types

import pytest

from tarnwick import project as project_module, vx
from tarnwick.cli import packer as _cli


@pytest.fixture(autouse=True)
def _no_project(monkeypatch):
    monkeypatch.delenv(vx.ENV_VAR, raising=False)
    monkeypatch.setattr(project_module, "_project_override", None)


def fnode(path, summary=""):
    return {"id": path, "kind": "file", "path": path, "summary": summary}


def snode(path, name):
    return {"id": f"{path}::{name}", "kind": "symbol", "path": path, "name": name}


def write_graph(root, graph):
    (root / ".vestra").mkdir(parents=True, exist_ok=True)
    target = root / ".vestra" / "graph.json"
    target.write_bytes(graph if isinstance(graph, bytes) else json.dumps(graph).encode())
    return target


# --- text analysis ---------------------------------------------------------

@pytest.mark.parametrize("text, words", [
    ("parseJSON2Dict", ["parse", "json", "2", "dict"]),
    ("HTTPServer", ["http", "server"]),
    ("XMLHttpRequest", ["xml", "http", "request"]),
    ("snake_case_name", ["snake", "case", "name"]),
    ("src/utf8/v2_io.py", ["src", "utf", "8", "v", "2", "io", "py"]),
    ("getX ABC", ["get", "x", "abc"]),
])
def test_word_splitting(text, words):
    assert vx._words(text) == words


@pytest.mark.parametrize("forms", [
    ("escape", "escapes", "escaping", "escaped"),
    ("encode", "encoder", "encoders", "encoding"),
    ("parse", "parser", "parsing", "parses"),
    ("cache", "caches", "cached", "caching"),
    ("class", "classes"), ("entry", "entries"), ("index", "indexes"),
    ("run", "running"), ("add", "adding", "added"), ("test", "tests", "testing"),
])
def test_stemmer_folds_related_forms(forms):
    assert len({vx.stem(f) for f in forms}) == 1


@pytest.mark.parametrize("word", ["status", "analysis", "use", "user", "add", "call", "thing", "need"])
def test_stemmer_keeps_short_and_look_alike_words(word):
    assert vx.stem(word) == word


def test_tokenize_drops_stop_words():
    assert vx.tokenize("How does the HTML escaping work?") == ["html", "escap", "work"]
    assert vx.tokenize("what is it and where do I") == []


# --- ranking ---------------------------------------------------------------

GRAPH = {
    "nodes": [
        fnode("src/html/escape.py", "Escape text for HTML output."),
        snode("src/html/escape.py", "escape_attr"),
        fnode("src/json_encoder.py", "Serialise values."),
        snode("src/json_encoder.py", "JSONEncoder.encode"),
        fnode("src/cli.py", "Command line; html escaping is done elsewhere."),
        snode("src/cli.py", "main"),
        fnode("README.md", ""),
    ],
    "edges": [
        {"from": "src/cli.py", "to": "src/cli.py::main", "rel": "contains"},
        {"from": "src/cli.py", "to": "lib/other.py", "rel": "calls"},
        {"from": "src/html/escape.py", "to": "src/html/escape.py::escape_attr", "rel": "contains"},
        {"from": "src/cli.py", "to": "src/json_encoder.py", "rel": "imports"},
        {"from": "src/cli.py", "to": "src/html/escape.py", "rel": "calls"},
        {"from": "lib/x.py", "to": "lib/y.py", "rel": "imports"},
        {"from": "src/html/escape.py", "to": "lib/z.py", "rel": "imports"},
    ],
}


def ids(result):
    return [f["id"] for f in result["files"]]


@pytest.mark.parametrize("query, first", [
    ("how does HTML escaping work", "src/html/escape.py"),
    ("where are values encoded", "src/json_encoder.py"),
    ("JSONEncoder", "src/json_encoder.py"),
    ("command line main", "src/cli.py"),
])
def test_file_about_the_query_ranks_first(query, first):
    result = vx.retrieve(GRAPH, query)
    assert ids(result)[0] == first
    scores = [f["score"] for f in result["files"]]
    assert scores == sorted(scores, reverse=True) and all(s > 0 for s in scores)


def test_path_tokens_outweigh_summary_words():
    graph = {"nodes": [fnode("a/other.py", "mentions token"), fnode("b/token.py", "something else")]}
    assert ids(vx.retrieve(graph, "token")) == ["b/token.py", "a/other.py"]


def test_unmatched_files_left_out_and_ties_ordered_by_id():
    graph = {"nodes": [fnode("z/bb.py", "cache"), fnode("y/cc.py", "x"), fnode("x/aa.py", "cache")]}
    result = vx.retrieve(graph, "caching")
    assert ids(result) == ["x/aa.py", "z/bb.py"]
    assert result["files"][0]["score"] == result["files"][1]["score"]


@pytest.mark.parametrize("query", ["", "   ", "how does it do what"])
def test_empty_query_returns_nothing(query):
    assert vx.retrieve(GRAPH, query)["files"] == []
    assert vx.retrieve(GRAPH, query)["edges"] == []


@pytest.mark.parametrize("top_files, top_edges, n_files, n_edges", [
    (1, 40, 1, 3), (8, 2, 2, 2), (0, 40, 0, 0), (-1, 40, 0, 0), (8, 0, 2, 0), (8, -1, 2, 0),
])
def test_caps(top_files, top_edges, n_files, n_edges):
    result = vx.retrieve(GRAPH, "html escape", top_files=top_files, top_edges=top_edges)
    assert (len(result["files"]), len(result["edges"])) == (n_files, n_edges)


def test_edge_filtering_and_order():
    result = vx.retrieve(GRAPH, "html escape")
    assert ids(result) == ["src/html/escape.py", "src/cli.py"]
    assert [(e["from"], e["to"], e["rel"]) for e in result["edges"]] == [
        ("src/cli.py", "src/html/escape.py", "calls"),        # joins two returned files
        ("src/html/escape.py", "lib/z.py", "imports"),        # imports before calls
        ("src/cli.py", "src/json_encoder.py", "imports"),     # lower-ranked file
        ("src/cli.py", "lib/other.py", "calls"),
        ("src/html/escape.py", "src/html/escape.py::escape_attr", "contains"),
        ("src/cli.py", "src/cli.py::main", "contains"),
    ]
    assert result["intent"] == "other"


@pytest.mark.parametrize("edges, expected", [
    # Between two chosen files first, even a symbol's; one file's own edges are not between.
    ([("a.py", "a.py::f", "imports"), ("b.py", "a.py::g", "contains")], [1, 0]),
    # Then by relation, unknown and non-text relations last, then by the best rank touched.
    ([("c.py", "b.py", "calls"), ("c.py", "a.py", "made"), ("c.py", "a.py", ["calls"]), ("a.py", "z.py", "calls")],
     [3, 0, 1, 2]),
    # Equal otherwise: graph order; edges touching no chosen file and records that are no edges are left out.
    ([("x.py", "a.py", "imports"), ("y.py", "z.py", "imports"), ("w.py", "a.py::h", "imports")], [0, 2]),
    ([("a.py", None, "imports"), (None, "b.py", "calls"), ("q.py", 7, "calls")], [0, 1]),
    # A method's id names its file up to the first "::"; between two files, the better rank counts.
    ([("b.py", "b.py::C::m", "calls"), ("b.py::C::m", "c.py::a.py", "calls"), ("b.py::C::m", "a.py::f", "calls"),
      ("c.py", "b.py::C", "imports")], [2, 3, 0, 1]),
])
def test_edges_are_picked_between_chosen_files_then_by_relation_and_rank(edges, expected):
    from tarnwick.retrieve import _select_edges

    records = [{"from": src, "to": dst, "rel": rel} for src, dst, rel in edges]
    pairs = [(i, record) for i, record in enumerate(records)] + [(len(records), "not an edge")]
    chosen = _select_edges(pairs, {"a.py": 0, "b.py": 1}, 40)
    assert chosen == [records[i] for i in expected]
    assert _select_edges(pairs, {"a.py": 0, "b.py": 1}, 1) == [records[expected[0]]]


def test_tolerates_partial_graphs_and_returns_copies():
    assert vx.retrieve({}, "x") == {"files": [], "edges": [], "intent": "other"}
    assert ids(vx.retrieve({"nodes": [fnode("a/x.py")]}, "x")) == ["a/x.py"]
    edge = vx.retrieve(GRAPH, "escape")["edges"][0]
    edge["rel"] = "changed"
    assert "changed" not in {e["rel"] for e in GRAPH["edges"]}


@pytest.mark.parametrize("query, intent", [
    ("fix the failing test", "fix"),
    ("Why does the parser crash?", "fix"),
    ("rename the test helpers", "refactor"),
    ("add tests for the parser", "test"),
    ("how do I add a new command", "add"),
    ("what does pack do", "explain"),
    ("html escaping", "other"),
])
def test_classify_intent(query, intent):
    assert vx.classify_intent(query) == intent


# --- finding and loading the graph ----------------------------------------

def test_project_precedence(tmp_path, monkeypatch):
    found, env, forced = (tmp_path / n for n in ("found", "env", "forced"))
    write_graph(found, {"nodes": [fnode("found.py")]})
    (found / "deep" / "er").mkdir(parents=True)
    monkeypatch.chdir(found / "deep" / "er")
    assert vx.project_root() == found
    assert vx.load_graph()["nodes"][0]["id"] == "found.py"
    monkeypatch.setenv(vx.ENV_VAR, str(env))
    assert vx.project_root() == env
    vx.set_project(forced)
    assert vx.project_root() == forced
    vx.set_project(None)
    assert vx.project_root() == env


def test_no_project_or_no_graph_file_gives_empty_graph(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert vx.project_root() is None
    assert vx.load_graph() == {"nodes": [], "edges": []}
    vx.set_project(tmp_path / "missing")
    graph = vx.load_graph()
    assert graph == {"nodes": [], "edges": []} and type(graph) is dict


def test_load_graph_keeps_stored_keys_and_fills_missing_lists(tmp_path):
    write_graph(tmp_path, {"version": 1, "nodes": [fnode("a.py")]})
    vx.set_project(tmp_path)
    graph = vx.load_graph()
    assert type(graph) is dict
    assert graph == {"version": 1, "nodes": [fnode("a.py")], "edges": []}


@pytest.mark.parametrize("content, reason", [
    (b'{"nodes": [\n  1 2]}', "not valid JSON (line 2, column 5: Expecting ',' delimiter)"),
    (b'{"nodes": "x"}', '"nodes" must be a list, not a string'),
    (b'[]', "top level must be an object, not a list"),
    (b'{"nodes": [{"id": "a"}, 7]}', "node 1 must be an object, not a number"),
    (b'{"nodes": [{"kind": "file"}]}', 'node 0 has no "id"'),
    (b'{"nodes": [{"id": null}]}', 'node 0: "id" must be a string, not null'),
    (b'{"edges": [{"from": "a", "to": "b"}]}', 'edge 0 has no "rel"'),
    (b'{"edges": {}}', '"edges" must be a list, not an object'),
    (b'{"nodes": [], "x": "\xff"}', "not valid UTF-8 (byte 0xff at offset 20)"),
    (b'{"n": ' + b"9" * 5000 + b"}", "not valid JSON (Exceeds the limit"),
    (b'{"nodes": [{"id": "a", "line_start": "4"}]}', 'node 0: "line_start" must be an integer, not a string'),
    (b'{"nodes": [{"id": "a", "line_end": true}]}', 'node 0: "line_end" must be an integer, not a boolean'),
    (b'{"nodes": [{"id": "a", "path": 3}]}', 'node 0: "path" must be a string, not a number'),
])
def test_graph_errors_name_the_file(tmp_path, content, reason):
    path = write_graph(tmp_path, content)
    vx.set_project(tmp_path)
    with pytest.raises(vx.GraphError) as info:
        vx.load_graph()
    message = str(info.value)
    assert message.startswith(f"{path}: {reason}") and "\n" not in message


def test_unreadable_graph_file(tmp_path):
    (tmp_path / ".vestra" / "graph.json").mkdir(parents=True)
    vx.set_project(tmp_path)
    with pytest.raises(vx.GraphError, match="graph.json: cannot read file"):
        vx.load_graph()


# --- console command -------------------------------------------------------

@pytest.fixture
def fake_packer(monkeypatch):
    calls = []
    module = types.ModuleType("tarnwick.context_packer")
    module.main = lambda: calls.append(vx.project_root())
    monkeypatch.setitem(sys.modules, "tarnwick.context_packer", module)
    monkeypatch.setattr(sys.modules["tarnwick"], "context_packer", module, raising=False)
    return module, calls


@pytest.mark.parametrize("args, expected", [
    (["q", "sub/.."], "."), (["q"], "."), (["q", "sub", "extra"], "sub"), ([], None),
])
def test_cli_points_graph_at_packer_root(tmp_path, monkeypatch, fake_packer, args, expected):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["context-packer", *args])
    _cli.main()
    assert fake_packer[1] == [None if expected is None else (tmp_path / expected).resolve()]


def test_cli_reports_graph_errors(tmp_path, monkeypatch, capsys, fake_packer):
    write_graph(tmp_path, b"{")
    fake_packer[0].main = vx.load_graph
    monkeypatch.setattr(sys, "argv", ["context-packer", "q", str(tmp_path)])
    with pytest.raises(SystemExit) as info:
        _cli.main()
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith(f"context-packer: error: {tmp_path.resolve() / '.vestra' / 'graph.json'}: not valid JSON")
    assert err.count("\n") == 1


def test_cli_lets_other_errors_through(monkeypatch, fake_packer):
    def boom():
        raise KeyError("x")
    fake_packer[0].main = boom
    monkeypatch.setattr(sys, "argv", ["context-packer", "q"])
    with pytest.raises(KeyError):
        _cli.main()
