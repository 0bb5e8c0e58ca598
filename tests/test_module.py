import builtins
import json
import math
import pathlib
import pickle
import subprocess
import sys
import textwrap
import typing
import warnings

import pytest

import tarnwick.vx

FUNCTIONS = [
    # name, def line, parameters, defaults, annotations
    ("load_summaries", 33, ["project_root"], None, {"project_root": "Path", "return": "dict"}),
    ("expand_summary", 51, ["summary"], None, {"summary": "dict", "return": "str"}),
    ("condense_summary", 179, ["summary"], None, {"summary": "dict", "return": "str"}),
    ("estimate_tokens", 213, ["text"], None, {"text": "str", "return": "int"}),
    (
        "read_symbol_content",
        224,
        ["project_root", "file_id", "functions", "max_lines"],
        (80,),
        {"project_root": "Path", "file_id": "str", "functions": "dict", "max_lines": "int", "return": "str"},
    ),
    ("_file_id", 281, ["entry"], None, {"entry": "Any", "return": "str"}),
    ("_basename", 287, ["path"], None, {"path": "str", "return": "str"}),
    (
        "pack",
        291,
        ["retrieve_result", "summaries", "graph", "project_root", "token_budget", "max_files", "max_read_targets"],
        (5000, 8, 8),
        {
            "retrieve_result": "Any", "summaries": "dict", "graph": "dict", "project_root": "Path",
            "token_budget": "int", "max_files": "int", "max_read_targets": "int", "return": "str",
        },
    ),
    ("pack_for_query", 507, ["query", "project_root", "token_budget"], (5000,),
     {"query": "str", "project_root": "Path", "token_budget": "int", "return": "str"}),
    ("main", 529, [], None, {"return": "None"}),
]

DOCSTRINGS = {
    "load_summaries": "Load structured_summaries.json from the project's .vestra/ dir.",
    "condense_summary": "Backward-compatible one-liner summary (used as fallback).",
    "estimate_tokens": "Rough token estimate: ceil(len / 3.2).",
    "read_symbol_content": "Read function bodies from a file for inline inclusion.\n\n"
    "    v3.8.33: bumped max_lines 60\u219280, reads top 3 functions instead of 2.\n    ",
    "pack_for_query": "Convenience function: full retrieval + packing pipeline.",
    "_file_id": None,
    "_basename": None,
    "main": None,
}


def test_namespace(cp):
    names = [k for k in vars(cp) if not (k.startswith("__") and k.endswith("__"))]
    # Tests elsewhere delete and restore globals, which moves them to the end of the dict.
    assert sorted(names) == sorted([
        "json", "sys", "ceil", "Path", "Any", "_vx_retrieve", "_vx_load_graph", "_classify_intent",
        "load_summaries", "expand_summary", "condense_summary", "estimate_tokens",
        "read_symbol_content", "_file_id", "_basename", "pack", "pack_for_query", "main",
    ])
    assert cp.json is json and cp.sys is sys and cp.ceil is math.ceil
    assert cp.Path is pathlib.Path and cp.Any is typing.Any
    assert cp._vx_retrieve is tarnwick.vx.retrieve
    assert cp._vx_load_graph is tarnwick.vx.load_graph
    assert cp._classify_intent is tarnwick.vx.classify_intent
    assert cp.__builtins__ is builtins
    assert cp.__test__ == {} and type(cp.__test__) is dict
    assert not hasattr(cp, "math")
    assert sys.modules["tarnwick.context_packer"] is cp
    assert cp.__doc__.startswith("Core context packing module for Ruvok pre-injection mode (v3.8.37).\n")
    assert "  - Budget default 3000 \u2192 5000\n" in cp.__doc__


@pytest.mark.parametrize("name, line, params, defaults, annotations", FUNCTIONS)
def test_function_attributes(cp, name, line, params, defaults, annotations):
    f = getattr(cp, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "tarnwick.context_packer"
    assert f.__defaults__ == defaults and f.__kwdefaults__ is None and f.__closure__ is None
    assert f.__globals__ is vars(cp)
    assert f.__annotations__ == annotations
    assert list(f.__annotations__)[-1] == "return"
    code = f.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == ("src/tarnwick/context_packer", name, line)
    assert code.co_argcount == len(params) and code.co_posonlyargcount == code.co_kwonlyargcount == 0
    assert list(code.co_varnames[: len(params)]) == params
    if name in DOCSTRINGS:
        assert f.__doc__ == DOCSTRINGS[name]
    # Running the code object itself is harmless.
    if not params:
        assert eval(code, {}) is None


@pytest.mark.parametrize("name", [entry[0] for entry in FUNCTIONS])
def test_attribute_reads_keep_reference_counts(cp, name):
    f = getattr(cp, name)
    for attribute in ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__",
                      "__defaults__", "__kwdefaults__", "__closure__", "__globals__", "__code__",
                      "__dict__"):
        value = getattr(f, attribute)
        if value is None:  # its count moves with everything else
            continue
        before = sys.getrefcount(value)
        getattr(f, attribute)
        assert sys.getrefcount(value) == before, attribute


def test_long_docstrings(cp):
    assert cp.expand_summary.__doc__.startswith("Convert a structured summary into a rich multi-line block.\n\n")
    assert cp.expand_summary.__doc__.endswith("        Vars: router (used by: get_orders, create_order)\n    ")
    assert "        1. Relevant Files \u2014 file path + FULL structured summary\n" in cp.pack.__doc__
    assert cp.pack.__doc__.endswith("(lowest priority)\n    ")


@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ],
)
def test_setter_type_errors(cp, attribute, value, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        setattr(cp._basename, attribute, value)


def test_writable_attributes_round_trip(cp):
    f = cp._file_id
    saved = f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__annotations__
    try:
        f.__name__, f.__qualname__, f.__doc__ = "renamed", "Outer.renamed", "doc"
        f.custom = 5
        assert (f.__name__, f.__qualname__, f.__doc__, f.__dict__) == ("renamed", "Outer.renamed", "doc", {"custom": 5})
        del f.__doc__
        assert f.__doc__ is None
        f.__annotations__ = None
        assert f.__annotations__ == {}
    finally:
        f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__annotations__ = saved
        del f.custom


def test_assigning_defaults_warns_and_calls_keep_constants(cp, monkeypatch):
    seen = {}
    monkeypatch.setattr(cp, "pack", lambda **kw: seen.update(kw) or "block")
    monkeypatch.setattr(cp, "_vx_load_graph", lambda: {})
    monkeypatch.setattr(cp, "_vx_retrieve", lambda *a, **k: {})
    monkeypatch.setattr(cp, "load_summaries", lambda root: {})
    pack_for_query = cp.pack_for_query
    try:
        with pytest.warns(RuntimeWarning):
            pack_for_query.__defaults__ = (100,)
        with pytest.warns(RuntimeWarning):
            pack_for_query.__kwdefaults__ = {"token_budget": 3}
        assert pack_for_query.__defaults__ == (100,)
        assert pack_for_query("q", "root") == "block"
        assert seen["token_budget"] == 5000
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pack_for_query.__defaults__ = (5000,)
            pack_for_query.__kwdefaults__ = None


def test_method_binding_and_pickling(cp):
    class Holder:
        file_id = cp._file_id

        def __str__(self):
            return "holder"

    assert Holder().file_id() == "holder"
    assert Holder.file_id is cp._file_id
    for name in ("pack", "_basename", "main"):
        f = getattr(cp, name)
        assert pickle.loads(pickle.dumps(f)) is f


def test_reimport_returns_same_module_without_rerunning(cp):
    marker = cp.__test__
    del sys.modules["tarnwick.context_packer"]
    try:
        import importlib

        again = importlib.import_module("tarnwick.context_packer")
        assert again is cp and again.__test__ is marker
    finally:
        sys.modules["tarnwick.context_packer"] = cp


def run_python(code, *args):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True, timeout=60
    )


def test_import_on_the_interpreter_it_was_built_for_does_not_warn():
    result = run_python("import tarnwick.context_packer")
    assert result.returncode == 0 and result.stderr == "", result.stderr


def test_import_fails_at_line_26_when_vx_lacks_load_graph():
    result = run_python(
        """
        import sys, types, traceback
        fake = types.ModuleType("tarnwick.vx")
        fake.retrieve = lambda *a, **k: None
        fake.classify_intent = lambda q: None
        import tarnwick
        sys.modules["tarnwick.vx"] = fake
        try:
            import tarnwick.context_packer
        except ImportError as exc:
            entries = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                       if f.filename == "src/tarnwick/context_packer"]
            print(str(exc), entries)
            dead = exc.__traceback__
            while dead.tb_next: dead = dead.tb_next
            print("_vx_retrieve" in dead.tb_frame.f_globals, "_vx_load_graph" in dead.tb_frame.f_globals)
        fake.load_graph = lambda: {}
        sys.modules.pop("tarnwick.context_packer", None)
        import tarnwick.context_packer as cp
        print(cp._vx_load_graph is fake.load_graph)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "cannot import name load_graph [('init tarnwick.context_packer', 26)]",
        "True False",
        "True",
    ]


def test_loaded_under_another_name_registers_canonical_name(cp):
    result = run_python(
        """
        import importlib.util, sys
        spec = importlib.util.spec_from_file_location("alias.context_packer", sys.argv[1])
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(module.__name__, sys.modules["tarnwick.context_packer"] is module)
        """,
        cp.__file__,
    )
    assert result.stdout.split() == ["alias.context_packer", "True"], result.stderr


def test_running_as_main_calls_main(cp):
    result = run_python(
        """
        import _imp, importlib.util, sys
        sys.argv = ["context-packer"]
        spec = importlib.util.spec_from_file_location("tarnwick.context_packer", PATH)
        module = _imp.create_dynamic(spec)
        module.__name__ = "__main__"
        _imp.exec_dynamic(module)
        """.replace("PATH", repr(cp.__file__))
    )
    assert result.returncode == 1
    assert result.stderr == 'Usage: context-packer "your query" [project_root]\n'
    assert result.stdout == ""


def test_second_interpreter_is_refused(cp):
    result = run_python(
        """
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:  # 3.13 renamed it, and reports a failure instead of raising it
            import _interpreters as interpreters
        import tarnwick.context_packer
        interp = interpreters.create()
        try:
            print(interpreters.run_string(interp, "import tarnwick.context_packer"))
        except Exception as exc:
            print(exc)
        """
    )
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in result.stdout, result.stderr
