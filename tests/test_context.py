import copy
import json
from pathlib import Path

import pytest

from tarnwick import context, vx
from tarnwick import graph as graph_module, retrieve as retrieve_module

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"


def fn(start, end, **info):
    return {"params": [], "lines": [start, end], **info}


def sym(path, name, kind, start, end):
    return {"id": f"{path}::{name}", "kind": "symbol", "path": path, "name": name,
            "symbol_kind": kind, "line_start": start, "line_end": end}


SUMMARIES = {
    "app.py": {
        "description": "Order handling.",
        "functions": {"setup": fn(0, 4), "ship_order": fn(10, 20, description="Ship it."), "teardown": fn(90, 95)},
        "classes": {"Cart": {"bases": [], "methods": ["add", "checkout"], "lines": [30, 60]}},
    },
    "models.py": {"classes": {"Order": {"methods": ["total"], "lines": [2, 12]},
                              "Item": {"methods": [], "lines": [14, 18]}}},
    "other.py": {"functions": {"a": fn(0, 1)}},
}
GRAPH = {"nodes": [
    {"id": "app.py", "kind": "file", "path": "app.py"},
    sym("app.py", "setup", "function", 0, 4),
    sym("app.py", "ship_order", "function", 10, 20),
    sym("app.py", "Cart", "class", 30, 60),
    sym("app.py", "Cart.add", "method", 32, 40),
    sym("app.py", "Cart.checkout_order", "method", 42, 60),
    sym("app.py", "teardown", "function", 90, 95),
    {"id": "models.py", "kind": "file", "path": "models.py"},
    sym("models.py", "Order", "class", 2, 12),
    sym("models.py", "Order.total", "method", 4, 12),
    sym("models.py", "Item", "class", 14, 18),
]}


def focus(files, query, summaries=SUMMARIES, graph=GRAPH):
    before = copy.deepcopy(summaries)
    view, first = context.focus_summaries(summaries, files, graph, query)
    assert summaries == before  # the stored records are never changed
    return view, first


def test_best_matches_lead_and_methods_get_their_own_lines():
    view, first = focus([{"id": "app.py"}, {"id": "other.py"}], "checkout an order")
    functions = view["app.py"]["functions"]
    assert list(functions)[:2] == ["Cart.checkout_order", "ship_order"]
    assert functions["Cart.checkout_order"]["lines"] == [42, 60]
    assert functions["ship_order"] is SUMMARIES["app.py"]["functions"]["ship_order"]  # stored info kept
    assert list(functions)[2:] == ["setup", "teardown"]  # the rest in stored order
    assert [m["name"] for m in first["app.py"]] == ["Cart.checkout_order", "ship_order"]
    assert view["other.py"] is SUMMARIES["other.py"] and first["other.py"] == []
    assert view["models.py"] is SUMMARIES["models.py"]  # not chosen: as stored


@pytest.mark.parametrize("kind, cart_end, expected", [
    # A small class is shown whole and covers its methods ...
    ("class", 45, ["Cart", "teardown", "setup", "ship_order"]),
    # ... a large one gives way to its matching method ...
    ("class", 60, ["Cart.add", "teardown", "setup", "ship_order"]),
    ("object", 60, ["Cart.add", "teardown", "setup", "ship_order"]),
    # ... a large function never to a function inside it: it is the behaviour asked about.
    ("function", 60, ["Cart", "teardown", "setup", "ship_order"]),
    ("method", 60, ["Cart", "teardown", "setup", "ship_order"]),
])
def test_class_and_its_own_method_are_never_both_excerpted(kind, cart_end, expected):
    symbols = [
        {"name": "Cart", "symbol_kind": kind, "line_start": 30, "line_end": cart_end, "score": 3.0},
        {"name": "Cart.add", "symbol_kind": "method", "line_start": 32, "line_end": 40, "score": 2.0},
        {"name": "teardown", "symbol_kind": "function", "line_start": 90, "line_end": 95, "score": 1.5},
        {"name": "setup", "symbol_kind": "function", "line_start": 0, "line_end": 4, "score": 0.5},
    ]
    # The retrieval result's own symbols are used; no graph is needed.
    view, first = focus([{"id": "app.py", "symbols": symbols}], "cart", graph=None)
    assert list(view["app.py"]["functions"]) == expected
    # setup scores below the floor, so it keeps its stored place behind the matches.
    assert [m["name"] for m in first["app.py"]] == expected[:2]


def m(name, kind, start, end, score):
    return {"name": name, "symbol_kind": kind, "line_start": start, "line_end": end, "score": score}


@pytest.mark.parametrize("symbols, expected", [
    # Each large class gives its place to its best matching method, in the class's rank.
    ([m("A", "class", 0, 100, 5.0), m("B", "class", 110, 200, 4.5), m("B.x", "method", 150, 160, 4.0),
      m("C", "class", 210, 300, 4.2), m("f", "function", 310, 315, 3.9), m("A.y", "method", 20, 30, 2.5),
      m("A.w", "method", 40, 50, 2.2), m("C.z", "method", 220, 230, 2.1)],
     ["A.y", "B.x", "C.z"]),
    # Down through a nested class.
    ([m("Outer", "class", 0, 100, 5.0), m("Outer.Inner", "class", 10, 60, 4.0),
      m("Outer.Inner.run", "method", 20, 30, 3.0), m("f", "function", 110, 115, 2.5)],
     ["Outer.Inner.run", "f"]),
    # A class without matching members stands for itself.
    ([m("A", "class", 0, 30, 5.0), m("f", "function", 110, 115, 2.5)], ["A", "f"]),
])
def test_a_large_class_gives_its_place_to_its_best_method(symbols, expected):
    view, first = focus([{"id": "app.py", "symbols": symbols}], "q", {"app.py": {"functions": {}}}, None)
    assert [match["name"] for match in first["app.py"]] == expected


@pytest.mark.parametrize("question, expected", [
    # A request about behaviour: the function first, whatever the declarations' doc comments score.
    ("retry after a timeout", ["retry", "RetryOptions", "Backoff"]),
    # About the types themselves: as ranked.
    ("the type of the retry options", ["RetryOptions", "Backoff", "retry"]),
    ("which interface holds the retry limit", ["RetryOptions", "Backoff", "retry"]),
])
def test_declarations_come_after_code_unless_types_are_asked_about(question, expected):
    symbols = [m("RetryOptions", "interface", 0, 9, 5.0), m("Backoff", "type", 10, 12, 4.0),
               m("retry", "function", 20, 30, 3.0)]
    _, first = focus([{"id": "app.py", "symbols": symbols}], question, {"app.py": {"functions": {}}}, None)
    assert [match["name"] for match in first["app.py"]] == expected


def test_stored_function_inside_a_chosen_symbol_is_dropped():
    summaries = {"m.py": {"functions": {"outer": fn(0, 30), "inner": fn(5, 9), "far": fn(40, 50)}}}
    symbols = [{"name": "outer", "line_start": 0, "line_end": 30, "score": 1.0}]
    view, _ = focus([{"id": "m.py", "symbols": symbols}], "q", summaries, None)
    assert list(view["m.py"]["functions"]) == ["outer", "far"]


def test_file_without_functions_gets_its_classes_not_a_class_and_its_methods():
    view, first = focus([{"id": "models.py"}], "what is an item")
    assert list(view["models.py"]["functions"]) == ["Item", "Order"]
    assert view["models.py"]["functions"]["Order"]["lines"] == [2, 12]


@pytest.mark.parametrize("symbols", [
    [{"name": "x", "line_start": 5, "line_end": 2, "score": 1.0}],  # reversed range
    [{"name": "x", "line_start": "5", "line_end": 9, "score": 1.0}],  # not a number
    [{"line_start": 5, "line_end": 9, "score": 1.0}],  # no name
    ["x"],
])
def test_unusable_matches_leave_the_record_as_stored(symbols):
    view, first = focus([{"id": "other.py", "symbols": symbols}], "x")
    assert view["other.py"] is SUMMARIES["other.py"] and first["other.py"] == []


def test_the_store_is_loaded_only_to_score_files_without_symbols():
    loads = []

    def load():
        loads.append(1)
        return SUMMARIES

    assert context.symbol_matches([{"id": "app.py", "symbols": []}], GRAPH, "ship", load) == {"app.py": []}
    assert loads == []
    found = context.symbol_matches([{"id": "app.py"}], GRAPH, "ship", load)
    assert loads == [1] and found == context.symbol_matches([{"id": "app.py"}], GRAPH, "ship", SUMMARIES)
    assert found["app.py"][0]["name"] == "ship_order"


def test_sample_key_code_answers_the_demo_question():
    before = {p: p.read_bytes() for p in (SAMPLE / ".vestra").iterdir()}
    result = context.build_result("how are overdue loans detected", SAMPLE)
    key_code = result.block.split("### Key Code (pre-loaded)\n", 1)[1].split("\n\n### ", 1)[0]
    assert "# bookshelf/loans.py::is_overdue (lines 23-25)" in key_code
    assert "# bookshelf/loans.py::find_overdue_loans (lines 28-33)" in key_code
    assert [n for n, _ in result.symbols.items() if _][0] == "bookshelf/loans.py"
    assert result.tokens <= 5000 and set(result.timings) >= {"retrieve", "focus", "pack", "total"}
    assert {p: p.read_bytes() for p in (SAMPLE / ".vestra").iterdir()} == before
    data = json.loads(json.dumps(result.to_json()))
    loans = data["files"][0]
    assert loans["path"] == "bookshelf/loans.py"
    assert {"name": "is_overdue", "kind": "function", "lines": [23, 25]}.items() <= loans["symbols"][1].items()


def test_root_discovery(tmp_path, monkeypatch):
    monkeypatch.delenv("TARNWICK_PROJECT", raising=False)
    (tmp_path / ".vestra").mkdir()
    deep = tmp_path / "a" / "b"
    deep.mkdir(parents=True)
    monkeypatch.chdir(deep)
    # A data folder without a graph is no index: the search goes on above it.
    assert context.find_root(deep) is None
    with pytest.raises(context.NoIndexError, match=rf"^no index in {deep} or any folder above it; build one"):
        context.resolve_root()
    (tmp_path / ".vestra" / "graph.json").write_text('{"nodes": [], "edges": []}')
    assert context.find_root(deep) == tmp_path == context.resolve_root()
    with pytest.raises(NotADirectoryError):
        context.resolve_root(tmp_path / "missing")
    # The environment variable comes before the search, for every command alike.
    other = tmp_path / "a"
    monkeypatch.setenv("TARNWICK_PROJECT", str(other))
    with pytest.raises(context.NoIndexError, match=rf"^no index in {other}; build one with `tarnwick index {other}`"):
        context.resolve_root()
    monkeypatch.setenv("TARNWICK_PROJECT", str(tmp_path / "missing"))
    with pytest.raises(NotADirectoryError):
        context.resolve_root()
    assert context.resolve_root(tmp_path) == tmp_path  # an explicit root first


def test_stored_functions_fill_free_excerpt_slots_only_where_they_cut_no_match():
    summaries = {"m.py": {"functions": {"big_early": fn(0, 70), "small": fn(72, 75), "target": fn(200, 230),
                                        "late": fn(300, 400)}}}
    symbols = [{"name": "target", "line_start": 200, "line_end": 230, "score": 1.0}]
    view, _ = focus([{"id": "m.py", "symbols": symbols}], "q", summaries, None)
    # big_early would take 71 of the 80 excerpt lines ahead of the match; late comes after it.
    assert list(view["m.py"]["functions"]) == ["target", "small", "late", "big_early"]


def test_project_block_restores_the_previous_choice(tmp_path):
    vx.set_project(SAMPLE)
    try:
        with vx.project(tmp_path):
            assert vx.project_root() == tmp_path
        assert vx.project_root() == SAMPLE
    finally:
        vx.set_project(None)


def test_a_question_loads_only_its_part_of_the_graph_and_answers_as_with_the_whole(tmp_path, monkeypatch):
    import shutil
    import threading

    from tarnwick.indexer import index_project

    shutil.copytree(SAMPLE / "bookshelf", tmp_path / "bookshelf")
    index_project(tmp_path, jobs=1)
    question = "how are overdue loans detected"
    filled = []
    real_fill = graph_module.fill_deferred
    monkeypatch.setattr(retrieve_module, "fill_deferred", lambda *a: filled.append(a[1]) or real_fill(*a))
    deferred = context.build_result(question, tmp_path).block, context.search(question, tmp_path)
    assert len(filled) == 2 and filled[0]
    monkeypatch.setattr(graph_module, "defer_next_graph", lambda: None)
    assert (context.build_result(question, tmp_path).block, context.search(question, tmp_path)) == deferred
    monkeypatch.undo()

    # A server answers on several threads: one thread's deferral is its own.
    with vx.project(tmp_path):
        vx.defer_next_graph()
        other = []
        def load():
            with vx.project(tmp_path):
                other.append(vx.load_graph())

        thread = threading.Thread(target=load)
        thread.start()
        thread.join()
        assert other[0]["nodes"] and vx.load_graph()["nodes"] == []
