"""Tests of the summary store reader and the two summary renderers."""
import gc
import json
import os
import pathlib
import sys

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick import context_packer as cp

# A plain Python rendering of both summaries. Its statements sit on the source lines that the
# extension reports, so results, exceptions and traceback lines can be compared one to one.
# `cut(value, n)` is `value[:n]` with the extension's messages for a value without subscripts
# and for a dict.
REFERENCE_SOURCE = "\n" * 50 + '''\
def expand_summary(summary):
    """Reference rendering of the rich block.

    Its statements sit on the lines that the extension reports in its
    traceback entries, so that both can be compared line for line.










    """
    if not summary:
        return ""
    lines = []

    # Description
    desc = summary.get("description", "").strip()
    if desc:
        if not desc.endswith("."):
            desc += "."
        lines.append(desc)

    # Functions
    funcs = summary.get("functions") or {}
    if isinstance(funcs, dict) and funcs:
        lines.append("Functions:")
        for fname, finfo in list(funcs.items())[:8]:
            if not fname:
                continue
            params = finfo.get("params", "")
            if isinstance(params, list):
                params = ", ".join(params)
            ret = finfo.get("returns", "")
            sig = f"  {fname}({params})"
            if ret:
                sig += f" -> {ret}"
            if finfo.get("async"):
                sig = f"  async {fname}({params})"
                if ret:
                    sig += f" -> {ret}"
            lines.append(sig)

            details = []
            calls_int = finfo.get("calls_internal", [])
            calls_ext = finfo.get("calls_external", [])
            all_calls = (calls_int or []) + (calls_ext or [])
            if all_calls:
                details.append(f"calls: {', '.join(cut(all_calls, 6))}")
            decorators = finfo.get("decorators", [])
            if decorators:
                details.append(f"decorators: {', '.join(cut(decorators, 3))}")
            if details:
                lines.append(f"    {' | '.join(details)}")

    # Classes
    classes = summary.get("classes") or {}
    if isinstance(classes, dict) and classes:
        cls_parts = []
        for cname, cinfo in list(classes.items())[:5]:
            bases = cinfo.get("bases", "")
            if isinstance(bases, list):
                bases = ", ".join(bases)
            label = f"{cname}({bases})" if bases else cname
            methods = cinfo.get("methods", [])
            if methods and isinstance(methods, list):
                label += f" [{', '.join(cut(methods, 4))}]"
            cls_parts.append(label)
        lines.append(f"Classes: {', '.join(cls_parts)}")

    # Variables
    variables = summary.get("variables", [])
    if variables:
        var_parts = []
        for v in cut(variables, 6):
            if isinstance(v, dict):
                name = v.get("name", "")
                used_by = v.get("used_by", [])
                if not name:
                    continue
                if used_by:
                    var_parts.append(f"{name} (used by: {', '.join(cut(used_by, 3))})")
                else:
                    var_parts.append(name)
            elif isinstance(v, str):
                var_parts.append(v)
        if var_parts:
            lines.append(f"Vars: {', '.join(var_parts)}")

    # Internal call graph
    internal_graph = summary.get("internal_graph", [])
    if internal_graph and isinstance(internal_graph, list):
        graph_strs = []
        for edge in cut(internal_graph, 6):
            if isinstance(edge, dict):
                frm = edge.get("from", "")
                to = edge.get("to", "")
                if frm and to:
                    graph_strs.append(f"{frm}->{to}")
        if graph_strs:
            lines.append(f"Call graph: {', '.join(graph_strs)}")

    # Imports
    imports = summary.get("imports", [])
    if imports and isinstance(imports, list):
        imp_strs = []
        for imp in cut(imports, 5):
            if isinstance(imp, dict):
                mod = imp.get("module", "")
                names = imp.get("names", [])
                if not mod:
                    continue
                if names:
                    imp_strs.append(f"{mod}({', '.join(cut(names, 4))})")
                else:
                    imp_strs.append(mod)
        if imp_strs:
            lines.append(f"Imports: {', '.join(imp_strs)}")


    # One text, no newline after the last line
    return "\\n".join(lines)


def condense_summary(summary):
    """Reference rendering of the one-line summary."""
    if not summary:
        return ""
    parts = []
    desc = summary.get("description", "").strip()
    if desc:
        if not desc.endswith("."):
            desc += "."
        parts.append(desc)
    funcs = summary.get("functions") or {}
    if isinstance(funcs, dict) and funcs:
        sigs = []
        for fname, finfo in list(funcs.items())[:5]:
            if not fname:
                continue
            params = finfo.get("params", "")
            if isinstance(params, list):
                params = ", ".join(params)
            ret = finfo.get("returns", "")
            sig = f"{fname}({params})"
            if ret:
                sig += f" -> {ret}"
            sigs.append(sig)
        if sigs:
            parts.append("Functions: " + ", ".join(sigs))
    text = " | ".join(parts)
    return text[:300]
'''


def cut(value, n):
    if not hasattr(type(value), "__getitem__"):
        raise TypeError(f"'{type(value).__name__}' object is unsliceable")
    if isinstance(value, dict) and type(value).__getitem__ is dict.__getitem__:
        # Slices hash from 3.12 on; the extension keeps the error of earlier versions.
        raise TypeError("unhashable type: 'slice'")
    return value[:n]


reference = {"cut": cut}
exec(compile(REFERENCE_SOURCE, "<reference>", "exec"), reference)


def entry_line(error, function_name):
    """Line of the traceback entry that `function_name` added to `error`."""
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name.rpartition(".")[2] == function_name:
            return tb.tb_lineno
        tb = tb.tb_next
    return None


def outcome(function, record):
    try:
        return ("result", function(record))
    except Exception as error:  # the comparison covers the exception itself
        return (type(error), str(error), entry_line(error, function.__name__))


def assert_same(name, record):
    assert outcome(getattr(cp, name), record) == outcome(reference[name], record)


WORKED_EXAMPLE = {
    "description": "Order management API endpoints",
    "functions": {
        "get_orders": {
            "params": ["db: Session", "status: str = None"],
            "returns": "list[OrderResponse]",
            "calls_internal": ["order_to_response"],
            "calls_external": ["db.query"],
            "decorators": ["@router.get"],
        },
        "create_order": {
            "params": ["db: Session", "data: OrderCreate"],
            "returns": "Order",
            "calls_internal": ["validate_menu_items"],
        },
    },
    "classes": {"OrderResponse": {"bases": ["BaseModel"]}, "OrderCreate": {"bases": ["BaseModel"]}},
    "variables": [{"name": "router", "used_by": ["get_orders", "create_order"]}],
}


class Record(dict):
    """A dict with its own `get` and `items`, logging the keys asked for."""

    def __init__(self, *args, log=None):
        super().__init__(*args)
        self.log = log if log is not None else []

    def get(self, key, default=None):
        self.log.append(key)
        return dict.get(self, key, default)

    def items(self):
        self.log.append("items()")
        return list(dict.items(self))


class Items(list):
    def __getitem__(self, index):
        return Items(list.__getitem__(self, index))


def wrapped(value, log):
    """The same record with every nested dict a Record and every list an Items."""
    if isinstance(value, dict):
        return Record({k: wrapped(v, log) for k, v in value.items()}, log=log)
    if isinstance(value, list):
        return Items(wrapped(v, log) for v in value)
    return value


# --- records of any shape --------------------------------------------------------------------

scalars = st.one_of(st.none(), st.booleans(), st.integers(-3, 3),
                    st.sampled_from(["", " ", "a", "b.", "x y", "  d  ", "\u00e9", "\u4e00.",
                                     "\u3000\U0001f600"]))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=9),
    st.dictionaries(st.sampled_from(["", "a", "b", "c", "params", "returns", "async", "name",
                                     "used_by", "from", "to", "module", "names", "bases",
                                     "methods", "calls_internal", "calls_external",
                                     "decorators"]), inner, max_size=10)), max_leaves=30)
record_keys = st.sampled_from(["description", "functions", "classes", "variables",
                               "internal_graph", "imports", "other"])
records = st.dictionaries(record_keys, values, max_size=6)


@settings(deadline=None)
@given(records)
@pytest.mark.parametrize("name", ["expand_summary", "condense_summary"])
def test_any_record_matches_the_python_rendering(name, record):
    assert_same(name, record)


@settings(deadline=None)
@given(records)
@pytest.mark.parametrize("name", ["expand_summary", "condense_summary"])
def test_subclassed_entries_take_the_same_steps(name, record):
    # Nested dicts and lists as subclasses: the generic protocol, called in the same order.
    ours, theirs = [], []
    record_a = {k: wrapped(v, ours) for k, v in record.items()}
    record_b = {k: wrapped(v, theirs) for k, v in record.items()}
    assert outcome(getattr(cp, name), record_a) == outcome(reference[name], record_b)
    assert ours == theirs
    # ... and the exact-type paths agree with them (type names aside in messages).
    generic, exact = outcome(getattr(cp, name), record_a), outcome(getattr(cp, name), record)
    assert generic[0] == exact[0] and (generic[0] != "result" or generic == exact)


# --- expand_summary --------------------------------------------------------------------------

def test_worked_example_gives_the_eight_lines():
    assert cp.expand_summary(WORKED_EXAMPLE).split("\n") == [
        "Order management API endpoints.",
        "Functions:",
        "  get_orders(db: Session, status: str = None) -> list[OrderResponse]",
        "    calls: order_to_response, db.query | decorators: @router.get",
        "  create_order(db: Session, data: OrderCreate) -> Order",
        "    calls: validate_menu_items",
        "Classes: OrderResponse(BaseModel), OrderCreate(BaseModel)",
        "Vars: router (used by: get_orders, create_order)",
    ]


GET_ORDERS = WORKED_EXAMPLE["functions"]["get_orders"]


@pytest.mark.parametrize("record, expected", [
    ({}, ""),
    ({"other": 1, "description": " \t\u3000\n", "functions": {}, "variables": []}, ""),
    ({"description": "  Order management API endpoints.  "}, "Order management API endpoints."),
    ({"functions": {"get_orders": dict(
        GET_ORDERS, calls_internal=["order_to_response", "a", "b", "c"],
        calls_external=["db.query", "d", "e"], decorators=["@router.get", "@x", "@y", "@z"],
        **{"async": True})}},
     "Functions:\n  async get_orders(db: Session, status: str = None) -> list[OrderResponse]\n"
     "    calls: order_to_response, a, b, c, db.query, d | decorators: @router.get, @x, @y"),
    ({"functions": {"create_order": {"params": "db: Session, data: OrderCreate"},
                    "validate_menu_items": {}, "f": {"params": None}}},
     "Functions:\n  create_order(db: Session, data: OrderCreate)\n  validate_menu_items()\n"
     "  f(None)"),
    ({"functions": {str(i): {} for i in range(1, 9)} | {"": 1, "9": {}}},
     "Functions:\n" + "\n".join(f"  {i}()" for i in range(1, 9))),
    ({"functions": {"": {}, "x": {}} | {str(i): {} for i in range(7)}},
     "Functions:\n  x()\n" + "\n".join(f"  {i}()" for i in range(6))),
    ({"functions": {"": {"params": 1}}}, "Functions:"),
    ({"functions": [{"a": {}}]}, ""),
    ({"classes": {"OrderResponse": {"bases": ["BaseModel"],
                                    "methods": ["m1", "m2", "m3", "m4", "m5"]},
                  "OrderCreate": {"bases": "BaseModel"}, "Order": {"methods": ["m1"]}}},
     "Classes: OrderResponse(BaseModel) [m1, m2, m3, m4], OrderCreate(BaseModel), Order [m1]"),
    ({"variables": ["router", {"name": "x", "used_by": ["a", "b", "c", "d"]}, {"name": ""}, 5,
                    {"name": "y", "used_by": []}, "cut after six", "z"]},
     "Vars: router, x (used by: a, b, c), y, cut after six"),
    ({"variables": "abcdefgh"}, "Vars: a, b, c, d, e, f"),
    ({"internal_graph": [{"from": "a", "to": "b"}, {"from": "a"}, "x",
                         {"from": "b", "to": "c", "rel": "imports"}]}, "Call graph: a->b, b->c"),
    ({"imports": [{"module": "m", "names": list("abcde")}, {"module": "n"}, "p",
                  {"module": "", "names": ["z"]}]}, "Imports: m(a, b, c, d), n"),
    ({"imports": [{"module": 3, "names": [1.5]}]}, None),
    ({"description": "d\u00e9j\u00e0 vu", "variables": ["\U0001f600"],
      "imports": [{"module": 7, "names": ["x"]}]},
     "d\u00e9j\u00e0 vu.\nVars: \U0001f600\nImports: 7(x)"),
])
def test_expand_renders_each_section(record, expected):
    if expected is not None:
        assert cp.expand_summary(record) == expected
    assert_same("expand_summary", record)


@pytest.mark.parametrize("record, error, message, line", [
    ({"description": None}, AttributeError, "'NoneType' object has no attribute 'strip'", 72),
    ({"functions": {"f": 3}}, AttributeError, "'int' object has no attribute 'get'", 85),
    ({"classes": {"C": None}}, AttributeError, "'NoneType' object has no attribute 'get'", 115),
    ({"functions": {"f": {"params": ["a", 2]}}}, TypeError,
     "sequence item 1: expected str instance, int found", 87),
    ({"functions": {"f": {"calls_internal": ["a"], "calls_external": "b"}}}, TypeError,
     'can only concatenate list (not "str") to list', 101),
    ({"functions": {"f": {"calls_internal": 5}}}, TypeError,
     "unsupported operand type(s) for +: 'int' and 'list'", 101),
    ({"functions": {"f": {"decorators": True}}}, TypeError, "'bool' object is unsliceable", 106),
    ({"functions": {"f": {"decorators": {"@a": 1}}}}, TypeError, "unhashable type: 'slice'", 106),
    ({"variables": 7}, TypeError, "'int' object is unsliceable", 129),
    ({"variables": [{"name": "v", "used_by": 1.5}]}, TypeError,
     "'float' object is unsliceable", 136),
    ({"variables": [{"name": 4}]}, TypeError,
     "sequence item 0: expected str instance, int found", 142),
    ({"classes": {"C": {"methods": ["m", None]}}}, TypeError,
     "sequence item 1: expected str instance, NoneType found", 121),
    ({"imports": [{"module": "m", "names": 9}]}, TypeError, "'int' object is unsliceable", 168),
])
def test_expand_failures_are_the_interpreters(record, error, message, line):
    assert outcome(cp.expand_summary, record) == (error, message, line)
    assert_same("expand_summary", record)


def test_unpacking_of_a_custom_items():
    class Pairs(dict):
        def items(self):
            return [("f", {}), ("g",)]
    for name in ("expand_summary", "condense_summary"):
        got = outcome(getattr(cp, name), {"functions": Pairs(a=1)})
        assert got[:2] == (ValueError, "not enough values to unpack (expected 2, got 1)")
        assert got == outcome(reference[name], {"functions": Pairs(a=1)})


class Greedy(list):
    """Ignores the bound of a cut, so a section gets more entries than its cap."""

    def __getitem__(self, index):
        return list(self)


@pytest.mark.parametrize("record", [
    {"variables": Greedy(f"v{i}" for i in range(30))},
    {"internal_graph": Greedy({"from": f"a{i}", "to": "b"} for i in range(30))},
    {"imports": Greedy({"module": f"m{i}", "names": Greedy("xyzzy")} for i in range(30))},
])
def test_a_cut_may_return_more_than_asked(record):
    assert cp.expand_summary(record).count(", ") >= 29
    assert_same("expand_summary", record)


def test_values_are_formatted_like_format():
    class Shown:
        def __format__(self, spec):
            assert spec == ""
            return "<shown>"
    record = {"functions": {"f": {"params": Shown(), "returns": Shown()}},
              "internal_graph": [{"from": Shown(), "to": 2}]}
    assert cp.expand_summary(record) == (
        "Functions:\n  f(<shown>) -> <shown>\nCall graph: <shown>->2")


# --- condense_summary ------------------------------------------------------------------------

@pytest.mark.parametrize("record, expected", [
    ({}, ""),
    (WORKED_EXAMPLE, "Order management API endpoints. | Functions: get_orders(db: Session, "
                     "status: str = None) -> list[OrderResponse], create_order(db: Session, "
                     "data: OrderCreate) -> Order"),
    ({"description": "No stop"}, "No stop."),
    ({"description": "Stop.", "functions": {}}, "Stop."),
    ({"description": "   ", "functions": {"f": {"async": True}}}, "Functions: f()"),
    ({"functions": {"a": {}, "": {}, "b": {"params": "x"}, "c": {"returns": "int"}, "d": {},
                    "e": {}, "f": {}}}, "Functions: a(), b(x), c() -> int, d()"),
    ({"functions": {"": {}, "e": {}}}, "Functions: e()"),
    ({"functions": {"": 1}}, ""),
])
def test_condense_renders_one_line(record, expected):
    assert cp.condense_summary(record) == expected
    assert_same("condense_summary", record)


def test_condense_cuts_at_300_code_points():
    record = {"description": "\u00e9" * 290, "functions": {"f": {}}}
    text = cp.condense_summary(record)
    assert text == "\u00e9" * 290 + ". | Functi" and len(text) == 300
    assert len(cp.condense_summary(WORKED_EXAMPLE)) == 166


def test_condense_failures():
    assert outcome(cp.condense_summary, {"description": 1}) == (
        AttributeError, "'int' object has no attribute 'strip'", 184)
    assert outcome(cp.condense_summary, {"functions": {"f": {"params": [None]}}}) == (
        TypeError, "sequence item 0: expected str instance, NoneType found", 197)


def test_no_references_leak_on_success_or_failure():
    failing = [{"functions": {"f": {"params": ["a", 2]}}},
               {"variables": [{"name": "v", "used_by": 1.5}]},
               {"functions": Record({"f": Record({"calls_internal": Items(["a"])})})}]
    for record in [WORKED_EXAMPLE, *failing]:
        objects = []
        stack = [record]
        while stack:
            item = stack.pop()
            objects.append(item)
            if isinstance(item, (dict, list)):
                stack.extend(item.values() if isinstance(item, dict) else item)
        # Small ints and one-letter strs are shared: garbage left by earlier tests must not be
        # collected between the two counts.
        gc.collect()
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(50):
            for name in ("expand_summary", "condense_summary"):
                outcome(getattr(cp, name), record)
        gc.collect()
        assert [sys.getrefcount(o) for o in objects] == before


def test_mutation_during_rendering_is_safe():
    funcs = {}

    class Mutator:
        def __format__(self, spec):
            funcs.clear()
            calls.clear()
            return "m"
    calls = ["a", "b"]
    funcs.update(f={"params": Mutator(), "calls_internal": calls}, g={})
    record = {"functions": funcs}
    assert cp.expand_summary(record) == "Functions:\n  f(m)\n  g()"


# --- load_summaries --------------------------------------------------------------------------

def write_store(root, content):
    (root / ".vestra").mkdir(exist_ok=True)
    store = root / ".vestra" / "structured_summaries.json"
    store.write_bytes(content)
    return store


STORE = {"app/orders.py": WORKED_EXAMPLE, "n.py": 5}


@pytest.mark.parametrize("content, expected", [
    (json.dumps(STORE).encode(), STORE),
    (b"\xef\xbb\xbf" + json.dumps(STORE).encode(), STORE),
    (b"{}", {}),
    (b"", {}),
    (b"[]", {}), (b"null", {}), (b'"text"', {}), (b"3", {}),
    (b"{not json", {}),
    (b'{"a.py": "\xff\xfe bad bytes"}', {}),       # not UTF-8: malformed, not a crash
    (b"\xef\xbb\xbf\xef\xbb\xbf{}", {}),           # a second BOM is not JSON
    (b"[" * 100_000 + b"]" * 100_000, {}),         # nesting beyond the recursion limit
    (b'{"a": ' + b"1" * 5000 + b"}", {}),          # an integer beyond the digit limit
])
def test_store_contents(tmp_path, content, expected):
    write_store(tmp_path, content)
    assert cp.load_summaries(tmp_path) == expected


def test_store_is_read_afresh_into_a_new_dict(tmp_path):
    store = write_store(tmp_path, b'{"a.py": {"description": "x"}}')
    first, second = cp.load_summaries(tmp_path), cp.load_summaries(tmp_path)
    assert first == second and first is not second
    first["b.py"] = {}
    store.write_bytes(b'{"c.py": 1}')
    assert cp.load_summaries(tmp_path) == {"c.py": 1} and second == {"a.py": {"description": "x"}}


def test_large_store(tmp_path):
    big = {f"src/m{i}.py": dict(WORKED_EXAMPLE) for i in range(20_000)}
    write_store(tmp_path, json.dumps(big).encode())
    assert cp.load_summaries(tmp_path) == big


def test_missing_or_unreadable_stores(tmp_path):
    assert cp.load_summaries(tmp_path) == {}
    assert cp.load_summaries(tmp_path / "missing") == {}
    (tmp_path / ".vestra").write_text("a file where the directory should be")
    assert cp.load_summaries(tmp_path) == {}
    (tmp_path / ".vestra").unlink()
    (tmp_path / ".vestra" / "structured_summaries.json").mkdir(parents=True)
    assert cp.load_summaries(tmp_path) == {}

    class Unreadable(type(pathlib.Path())):
        def read_text(self, encoding=None):
            raise PermissionError(13, "Permission denied")
    assert cp.load_summaries(Unreadable(tmp_path)) == {}


@pytest.mark.parametrize("place", [
    lambda root, outside: write_store(root, b"").unlink() or
    (root / ".vestra" / "structured_summaries.json").symlink_to(outside / "store.json"),
    lambda root, outside: (root / ".vestra").symlink_to(outside),
    lambda root, outside: write_store(root, b"").unlink() or os.mkfifo(root / ".vestra" / "structured_summaries.json"),
])
def test_stores_elsewhere_or_not_plain_files_read_as_missing(tmp_path, place, no_hang):
    root, outside = tmp_path / "proj", tmp_path / "elsewhere"
    root.mkdir(), outside.mkdir()
    (outside / "structured_summaries.json").write_text('{"x.py": {"description": "planted"}}')
    (outside / "store.json").write_text('{"x.py": {"description": "planted"}}')
    place(root, outside)
    assert cp.load_summaries(root) == {}


def test_a_store_linked_inside_the_root_is_read(tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "store.json").write_text('{"a.py": {}}')
    write_store(tmp_path, b"").unlink()
    (tmp_path / ".vestra" / "structured_summaries.json").symlink_to(tmp_path / "data" / "store.json")
    assert cp.load_summaries(tmp_path) == {"a.py": {}}


def test_a_store_swapped_for_a_link_before_the_open_is_not_followed(tmp_path, swap_on_open):
    (tmp_path / "planted.json").write_text('{"x.py": {"description": "planted"}}')
    root = tmp_path / "proj"
    root.mkdir()
    store = write_store(root, b'{"a.py": {}}')
    swap_on_open(store, tmp_path / "planted.json")
    assert cp.load_summaries(root) == {}


class FakePath:
    """Logs the operations load_summaries performs on its path."""

    def __init__(self, log, exists=True, text="{}"):
        self.log, self.exists_answer, self.text = log, exists, text

    def __truediv__(self, part):
        self.log.append(("/", part))
        return self

    def exists(self):
        self.log.append("exists")
        if isinstance(self.exists_answer, Exception):
            raise self.exists_answer
        return self.exists_answer

    def read_text(self, **kwargs):
        self.log.append(("read_text", kwargs))
        if isinstance(self.text, Exception):
            raise self.text
        return self.text


class FakeJson:
    JSONDecodeError = json.JSONDecodeError

    def __init__(self, log, result):
        self.log, self.result = log, result

    def __getattr__(self, name):
        self.log.append(("json.", name))
        def loads(text):
            self.log.append(("loads", text))
            if isinstance(self.result, Exception):
                raise self.result
            return self.result
        return loads


@pytest.fixture
def fake_json(monkeypatch):
    def install(log, result):
        monkeypatch.setattr(cp, "json", FakeJson(log, result))
    return install


def test_store_is_read_through_the_module_names_in_order(fake_json):
    log, decoded = [], {"a.py": {}}
    fake_json(log, decoded)
    assert cp.load_summaries(FakePath(log, text="TEXT")) is decoded
    assert log == [("/", ".vestra"), ("/", "structured_summaries.json"), "exists",
                   ("json.", "loads"), ("read_text", {"encoding": "utf-8-sig"}), ("loads", "TEXT")]
    log.clear()
    assert cp.load_summaries(FakePath(log, exists=0)) == {}
    assert log[-1] == "exists"


class OtherDict(dict):
    pass


@pytest.mark.parametrize("root, decoded, error, line", [
    ("/tmp/project", {}, TypeError, 35),
    (FakePath([], exists=OSError(5, "I/O error")), {}, OSError, 36),
    (FakePath([], exists=ValueError("bad answer")), {}, ValueError, 36),
    (FakePath([]), OtherDict(), TypeError, 41),
    (FakePath([]), KeyError("decoder bug"), KeyError, 39),
    (FakePath([]), MemoryError(), MemoryError, 39),
    (FakePath([], text=RecursionError()), {}, RecursionError, 39),  # only the decoder's counts
    (FakePath([], text=ValueError("embedded null byte")), {}, ValueError, 39),
])
def test_load_failures_propagate(fake_json, root, decoded, error, line):
    fake_json([], decoded)
    with pytest.raises(error) as caught:
        cp.load_summaries(root)
    assert entry_line(caught.value, "load_summaries") == line
    if isinstance(decoded, OtherDict):
        assert str(caught.value) == "Expected dict, got OtherDict"


@pytest.mark.parametrize("decoded", [json.JSONDecodeError("x", "", 0), UnicodeDecodeError(
    "utf-8", b"\xff", 0, 1, "invalid start byte"), RecursionError(), ValueError("digits"),
    FileNotFoundError(), [1], None, OtherDict.__mro__])
def test_decoder_refusals_give_an_empty_map(fake_json, decoded):
    fake_json([], decoded)
    assert cp.load_summaries(FakePath([])) == {}
