import ctypes
import decimal
import enum
import math

import pytest

from conftest import module_entries

TB = "tarnwick.context_packer."


@pytest.fixture
def captured_pack(cp, monkeypatch):
    """pack_for_query with its collaborators replaced: records what reaches `pack`."""
    seen = {}
    monkeypatch.setattr(cp, "_vx_load_graph", lambda: {"nodes": []})
    monkeypatch.setattr(cp, "_vx_retrieve", lambda graph, query, **kw: {"files": [], "edges": []})
    monkeypatch.setattr(cp, "load_summaries", lambda root: {})
    monkeypatch.setattr(cp, "pack", lambda **kw: seen.update(kw) or "block")
    return seen


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda cp: cp.pack(1, {}, {}), "pack() takes at least 4 positional arguments (3 given)"),
        (lambda cp: cp.pack(*range(8)), "pack() takes at most 7 positional arguments (8 given)"),
        (lambda cp: cp.pack(*range(8), x=1), "pack() takes at most 7 positional arguments (8 given)"),
        (lambda cp: cp.expand_summary(), "expand_summary() takes exactly 1 positional argument (0 given)"),
        (lambda cp: cp.estimate_tokens("a", "b"), "estimate_tokens() takes exactly 1 positional argument (2 given)"),
        (lambda cp: cp.read_symbol_content(1, 2), "read_symbol_content() takes at least 3 positional arguments (2 given)"),
        (lambda cp: cp.read_symbol_content(*range(5)), "read_symbol_content() takes at most 4 positional arguments (5 given)"),
        (lambda cp: cp.pack_for_query(), "pack_for_query() takes at least 2 positional arguments (0 given)"),
        (lambda cp: cp.pack(retrieve_result=1, summaries={}, graph={}), "pack() takes at least 4 positional arguments (3 given)"),
        (lambda cp: cp.pack(summaries={}), "pack() takes at least 4 positional arguments (0 given)"),
        (lambda cp: cp.pack(1, graph={}, project_root=1), "pack() takes at least 4 positional arguments (1 given)"),
        (lambda cp: cp.expand_summary({}, summary={}), "expand_summary() got multiple values for keyword argument 'summary'"),
        (lambda cp: cp.pack(1, {}, {}, 1, retrieve_result=2), "pack() got multiple values for keyword argument 'retrieve_result'"),
        (lambda cp: cp.estimate_tokens(txt=1), "estimate_tokens() got an unexpected keyword argument 'txt'"),
        (lambda cp: cp._file_id(1, entry=2), "_file_id() got multiple values for keyword argument 'entry'"),
    ],
)
def test_count_and_keyword_errors(cp, call, message):
    exc = raised(lambda: call(cp))
    assert type(exc) is TypeError and str(exc) == message
    name = message.split("(")[0]
    line = {"pack": 291, "expand_summary": 51, "estimate_tokens": 213, "read_symbol_content": 224,
            "pack_for_query": 507, "_file_id": 281}[name]
    assert module_entries(exc) == [(TB + name, line)]


class Key(str):
    """A str subclass used as a keyword name."""


def test_keywords_by_value_and_str_subclass(cp):
    assert cp.estimate_tokens(**{"".join(["te", "xt"]): "abcd"}) == 2
    assert cp._basename(**{Key("path"): "a/b"}) == "b"
    exc = raised(lambda: cp._basename(**{Key("other"): "a/b"}))
    assert str(exc) == "_basename() got an unexpected keyword argument 'other'"


def vectorcall(function, args, kwnames):
    """Calls the function object's vectorcall slot directly, as C code may."""
    slot = ctypes.c_void_p.from_address(id(function) + 2 * ctypes.sizeof(ctypes.c_void_p)).value
    prototype = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object
    )
    array = (ctypes.py_object * len(args))(*args)
    positional = len(args) - len(kwnames)
    return prototype(slot)(function, array, positional, kwnames)


def test_non_str_keyword_names_refused(cp):
    assert vectorcall(cp._basename, ["x/y"], ()) == "y"
    with pytest.raises(TypeError, match=r"^_basename\(\) keywords must be strings$"):
        vectorcall(cp._basename, ["x/y"], (1,))


@pytest.mark.parametrize(
    "value, expected",
    [
        (1000.9, 1000), (True, 1), (decimal.Decimal("7.9"), 7), (-5.5, -5), (10**30, 10**30),
        (enum.IntEnum("E", "A")(1), 1), (type("Index", (), {"__index__": lambda self: 42})(), 42),
    ],
)
def test_int_conversion(cp, captured_pack, value, expected):
    assert cp.pack_for_query("q", "root", value) == "block"
    assert captured_pack["token_budget"] == expected and type(captured_pack["token_budget"]) is int


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("4000", TypeError, "Argument 'token_budget' has incorrect type (expected int, got str)"),
        (None, TypeError, "Argument 'token_budget' has incorrect type (expected int, got NoneType)"),
        ([], TypeError, "Argument 'token_budget' has incorrect type (expected int, got list)"),
        (math.nan, ValueError, "cannot convert float NaN to integer"),
        (math.inf, OverflowError, "cannot convert float infinity to integer"),
    ],
)
def test_int_conversion_failures(cp, captured_pack, value, error, message):
    exc = raised(lambda: cp.pack_for_query("q", "root", token_budget=value))
    assert type(exc) is error and str(exc) == message
    assert module_entries(exc) == [(TB + "pack_for_query", 510)]
    assert captured_pack == {}


class Text(str):
    pass


class Mapping(dict):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda cp: cp.pack_for_query(b"q", "root"), "Argument 'query' has incorrect type (expected str, got bytes)"),
        (lambda cp: cp.pack(None, None, {}, None), "Argument 'summaries' has incorrect type (expected dict, got NoneType)"),
        (lambda cp: cp.pack(None, {}, [], None), "Argument 'graph' has incorrect type (expected dict, got list)"),
        (lambda cp: cp.estimate_tokens(None), "Argument 'text' has incorrect type (expected str, got NoneType)"),
        (lambda cp: cp.read_symbol_content(".", 1, {}), "Argument 'file_id' has incorrect type (expected str, got int)"),
    ],
)
def test_exact_type_checks_add_no_entry(cp, call, message):
    exc = raised(lambda: call(cp))
    assert type(exc) is TypeError and str(exc) == message
    assert module_entries(exc) == []


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda cp: cp.pack_for_query(Text("q"), "root"), "Argument 'query' has incorrect type (expected str, got Text). "),
        (lambda cp: cp.expand_summary(Mapping()), "Argument 'summary' has incorrect type (expected dict, got Mapping). "),
    ],
)
def test_subclasses_refused_with_note(cp, call, prefix):
    exc = raised(lambda: call(cp))
    assert str(exc).startswith(prefix) and "subclass" in str(exc).lower()


def test_conversions_run_before_exact_checks(cp):
    exc = raised(lambda: cp.pack(None, None, {}, None, "4000"))
    assert str(exc) == "Argument 'token_budget' has incorrect type (expected int, got str)"
    assert module_entries(exc) == [(TB + "pack", 296)]
    exc = raised(lambda: cp.pack(None, {}, {}, None, 1, max_read_targets=None))
    assert module_entries(exc) == [(TB + "pack", 298)]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda cp: cp.main(1), "main() takes no arguments (1 given)"),
        (lambda cp: cp.main(x=1), "main() takes no keyword arguments"),
        (lambda cp: cp.main(1, x=1), "main() takes no keyword arguments"),
    ],
)
def test_main_refuses_arguments(cp, call, message):
    exc = raised(lambda: call(cp))
    assert str(exc) == message and module_entries(exc) == []


@pytest.mark.parametrize(
    "returned, outcome",
    [("text", "text"), (None, None), (5, "Expected str, got int"), (Text("x"), "Expected str, got Text")],
)
def test_declared_return_of_pack_for_query(cp, captured_pack, monkeypatch, returned, outcome):
    monkeypatch.setattr(cp, "pack", lambda **kw: returned)
    if outcome is None or outcome == returned:
        assert cp.pack_for_query("q", "root") is returned
    else:
        exc = raised(lambda: cp.pack_for_query("q", "root"))
        assert str(exc) == outcome and module_entries(exc) == [(TB + "pack_for_query", 516)]


@pytest.mark.parametrize("ceil_result, outcome", [(2.7, 2), (None, None), ("x", "Expected int, got str")])
def test_declared_return_of_estimate_tokens(cp, monkeypatch, ceil_result, outcome):
    monkeypatch.setattr(cp, "ceil", lambda value: ceil_result)
    if isinstance(outcome, str):
        exc = raised(lambda: cp.estimate_tokens("abc"))
        assert str(exc) == outcome and module_entries(exc) == [(TB + "estimate_tokens", 217)]
    else:
        assert cp.estimate_tokens("abc") == outcome


def test_missing_module_global_is_a_name_error(cp, monkeypatch):
    monkeypatch.delattr(cp, "ceil")
    exc = raised(lambda: cp.estimate_tokens("abc"))
    assert type(exc) is NameError and str(exc) == "name 'ceil' is not defined"
    assert module_entries(exc) == [(TB + "estimate_tokens", 217)]
    monkeypatch.setattr("builtins.ceil", lambda value: 99, raising=False)
    assert cp.estimate_tokens("abc") == 99


def test_callees_are_looked_up_at_each_call(cp, captured_pack, monkeypatch):
    calls = []
    monkeypatch.setattr(cp, "_vx_load_graph", lambda: calls.append("graph") or {"n": 1})
    monkeypatch.setattr(cp, "_vx_retrieve", lambda graph, query, **kw: calls.append((graph, query, kw)) or "result")
    monkeypatch.setattr(cp, "load_summaries", lambda root: calls.append(root) or {"s": 1})
    root = object()
    assert cp.pack_for_query("q", root, 1000.9) == "block"
    assert calls == ["graph", ({"n": 1}, "q", {"top_files": 8, "top_edges": 40}), root]
    assert captured_pack == {
        "retrieve_result": "result", "summaries": {"s": 1}, "graph": {"n": 1}, "project_root": root,
        "token_budget": 1000,
    }


def test_runaway_recursion_is_an_error_not_a_crash(cp, monkeypatch):
    monkeypatch.setattr(cp.sys, "argv", ["context-packer", "q", "."])
    monkeypatch.setattr(cp, "_vx_load_graph", cp.main)
    with pytest.raises(RecursionError):
        cp.main()
