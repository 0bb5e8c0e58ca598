"""What the tree-sitter extractors see: one line per way code defines a
function, source -> the symbols expected (name, kind, first and last line,
0-based); and their cost on adversarial shapes."""

import textwrap

import pytest

from tarnwick.indexer.extractors import ecmascript, rust
from tarnwick.indexer.extractors.ecmascript import LARGE_FUNCTION_LINES
from tarnwick.indexer.result import FileResult


def extract(source: str, grammar: str = "javascript") -> FileResult:
    result = FileResult(path="m", language="rust" if grammar == "rust" else "javascript")
    module = rust if grammar == "rust" else ecmascript
    module.summarize(result, textwrap.dedent(source).encode(), grammar)
    return result


def symbols(source: str, grammar: str = "javascript") -> list:
    return extract(source, grammar).symbols


def long_body(lines: int) -> str:
    return "".join(f"  step{i}();\n" for i in range(lines))


PATTERNS = [
    # A property of any object, named as the code names it.
    ("res.redirect = function redirect(url) {\n  go(url);\n};\n", [("res.redirect", "method", 0, 2)]),
    ("exports.json = function (obj) {\n  return obj;\n};\n", [("json", "function", 0, 2)]),
    ("module.exports.compose = (a) => {\n  return a;\n};\n", [("compose", "function", 0, 2)]),
    ("Foo.prototype.bar = function () {\n  return 1;\n};\n", [("Foo.bar", "method", 0, 2)]),
    ("lib.Foo.prototype.bar = function () {\n  return 1;\n};\n", [("lib.Foo.bar", "method", 0, 2)]),
    ("Foo.prototype = {\n  bar() {\n    return 1;\n  },\n};\n", [("Foo.bar", "method", 1, 3)]),
    ("exports.helpers = {\n  trim(s) {\n    return s;\n  },\n};\n", [("helpers.trim", "method", 1, 3)]),
    # The module itself.
    ("module.exports = function (app) {\n  return app;\n};\n", [("module.exports", "function", 0, 2)]),
    ("exports = module.exports = function createApplication() {\n  return 1;\n};\n", [("createApplication", "function", 0, 2)]),
    ("module.exports = {\n  get body() {\n    return 1;\n  },\n  set body(v) {\n    x = v;\n  },\n};\n", [("body", "function", 1, 6)]),
    ("export default ok && function (config) {\n  return config;\n}\n", [("default", "function", 0, 2)]),
    ("export default memo(forwardRef(function Button(props) {\n  return props;\n}));\n", [("Button", "function", 0, 2)]),
    # Wrapped values and object literals bound to a name.
    ("const Button = memo(function (props) {\n  return props;\n});\n", [("Button", "function", 0, 2)]),
    ("const ids = items.map(x => x.id);\n", []),
    ("const traps = {\n  get(t, k) {\n    return t[k];\n  },\n  set: function (t, k, v) {\n    t[k] = v;\n  },\n};\n",
     [("traps.get", "method", 1, 3), ("traps.set", "method", 4, 6)]),
    ("const api = { users: { list() {\n  return [];\n} } };\n", [("api.users.list", "method", 0, 2)]),
    ("const It = Object.setPrototypeOf({\n  next() {\n    return 1;\n  },\n}, Base);\n", [("It.next", "method", 1, 3)]),
    ("const supported = (() => {\n  let ok = 1;\n  return ok;\n})();\n", [("supported", "function", 0, 3)]),
    ("const one = (() => 1)();\n", []),
    ("const headers = { 'content-type'() {} };\n", []),
    # A function attached by a call under a name.
    ("defineGetter(req, 'protocol', function protocol() {\n  return 'http';\n});\n", [("req.protocol", "method", 0, 2)]),
    ("on('data', function () {\n  read();\n});\n", []),
    ("defineGetter(req, 'x-forwarded', function () {\n  return 1;\n});\n", []),
    # Module wrappers read as the top level.
    ("(function () {\n  function helper() {\n    return 1;\n  }\n  lib.run = function () {};\n})();\n",
     [("helper", "function", 1, 3), ("lib.run", "method", 4, 4)]),
    ("!function () {\n  function helper() {}\n}();\n", [("helper", "function", 1, 1)]),
    ("(function (root, factory) {\n  root.x = factory();\n})(this, function () {\n  function api() {}\n  return api;\n});\n",
     [("api", "function", 3, 3)]),
    # Assigned twice: the first definition counts, once.
    ("Foo.prototype.bar = function () {};\nFoo.prototype.bar = function () {};\n", [("Foo.bar", "method", 0, 0)]),
    ("this.x = function () {};\n", []),
]


@pytest.mark.parametrize("source, expected", PATTERNS)
def test_javascript_definitions(source, expected):
    assert symbols(source) == expected


TS_PATTERNS = [
    # A getter and its setter are one member; overloads end at the implementation.
    ("class Store {\n  get size(): number {\n    return 1;\n  }\n  set size(n: number) {\n    this.n = n;\n  }\n}\n",
     [("Store", "class", 0, 7), ("Store.size", "method", 1, 6)]),
    ("class S {\n  f(a: string): void;\n  f(a: number): void;\n  f(a: any) {\n  }\n}\n",
     [("S", "class", 0, 5), ("S.f", "method", 1, 4)]),
    ("class S {\n  get a() { return 1; }\n  other() {}\n  set a(v) {}\n}\n",
     [("S", "class", 0, 4), ("S.a", "method", 1, 1), ("S.other", "method", 2, 2)]),
    ("export const create = (<T,>(init: T) => {\n  return init;\n}) as Create;\n", [("create", "function", 0, 2)]),
    # Namespaces name what they hold.
    ("namespace A.B {\n  export function f() {\n  }\n  const g = () => {\n  };\n  export class C {\n    m() {}\n  }\n}\n",
     [("A.B.f", "method", 1, 2), ("A.B.g", "method", 3, 4), ("A.B.C", "class", 5, 7), ("A.B.C.m", "method", 6, 6)]),
    ("declare namespace D {\n  function h(): void;\n  namespace E {\n    function k(): void;\n  }\n}\n",
     [("D.h", "method", 1, 1), ("D.E.k", "method", 3, 3)]),
    ("export namespace N {\n  function k() {}\n}\n", [("N.k", "method", 1, 1)]),
]


@pytest.mark.parametrize("source, expected", TS_PATTERNS)
def test_typescript_definitions(source, expected):
    assert symbols(source, "typescript") == expected


def wrapper(lines: int) -> str:
    return (
        "export default async function fetch(url) {\n"
        "  return new Promise((resolve, reject) => {\n"
        + long_body(lines)
        + "    const abort = () => {\n      reject(1);\n    };\n"
        "    function finalize() {\n      done();\n      clean();\n    }\n"
        "    const tiny = () => 1;\n"
        "    response.on('end', function onEnd() {\n      a();\n      b();\n    });\n"
        "  });\n}\n"
    )


def test_named_functions_inside_a_long_function_are_its_own_symbols():
    n = LARGE_FUNCTION_LINES
    result = extract(wrapper(n))
    assert result.symbols == [
        ("fetch", "function", 0, n + 15),
        ("fetch.abort", "function", n + 2, n + 4),
        ("fetch.finalize", "function", n + 5, n + 8),
        ("fetch.onEnd", "function", n + 10, n + 13),
    ]
    # What the inner functions call is still called by the outer one.
    assert {"done", "clean", "reject", "a", "b"} <= set(result.record["functions"]["fetch"]["calls_external"])
    assert result.symbol_text["fetch.finalize"][2] == ["clean", "done"]
    assert list(result.record["functions"]) == ["fetch"]


def test_a_function_an_excerpt_shows_whole_keeps_its_inner_functions():
    assert [s[0] for s in extract(wrapper(LARGE_FUNCTION_LINES - 20)).symbols] == ["fetch"]


def test_inner_functions_stop_two_levels_down():
    def nest(name, depth):
        inner = nest(f"{name}x", depth - 1) if depth else "  leaf();\n"
        return f"function {name}() {{\n{long_body(LARGE_FUNCTION_LINES)}{inner}}}\n"

    names = [s[0] for s in symbols(nest("f", 4))]
    assert names == ["f", "f.fx", "f.fx.fxx"]


def test_calls_after_an_inner_function_belong_to_the_outer_one():
    body = long_body(LARGE_FUNCTION_LINES)
    result = extract(f"function outer() {{\n{body}  function inner() {{\n    a();\n    b();\n  }}\n  after();\n}}\n")
    calls = result.record["functions"]["outer"]["calls_external"]
    assert "after" in calls and "a" in calls
    assert result.symbol_text["outer.inner"][2] == ["a", "b"]


RUST_PATTERNS = [
    ("cfg_net! {\n    pub fn spawn() {}\n    pub struct Handle;\n}\n", [("spawn", "function", 1, 1), ("Handle", "struct", 2, 2)]),
    ("cfg_rt! {\n    impl Runtime {\n        pub fn block_on(&self) {}\n    }\n}\nstruct Runtime;\n",
     [("Runtime", "struct", 5, 5), ("Runtime.block_on", "method", 2, 2)]),
    ("cfg_a! {\n    cfg_b! {\n        fn deep() {}\n    }\n}\n", [("deep", "function", 2, 2)]),
    ("struct X;\nimpl X {\n    cfg_io! {\n        pub fn read(&self) {}\n    }\n}\n", [("X", "struct", 0, 0), ("X.read", "method", 3, 3)]),
    ("cfg_net!(pub fn bind() {});\n", [("bind", "function", 0, 0)]),
    # Not item syntax: left alone.
    ("lazy_static! {\n    static ref X: u32 = 1;\n}\n", []),
    ("fn main() {\n    vec![1, 2];\n    quote! { fn not_mine() {} };\n}\n", [("main", "function", 0, 3)]),
    ("macro_rules! m {\n    () => { fn gen() {} };\n}\n", []),
]


@pytest.mark.parametrize("source, expected", RUST_PATTERNS)
def test_rust_items_inside_macro_bodies(source, expected):
    assert symbols(source, "rust") == expected


def test_a_rust_macro_body_keeps_its_calls_and_file_lines():
    result = extract("cfg_net! {\n    pub fn connect() {\n        open();\n    }\n}\n", "rust")
    assert result.symbols == [("connect", "function", 1, 3)]
    assert result.record["functions"]["connect"]["calls_external"] == ["open"]
    assert not result.partial


# Adversarial shapes: each must read whole and right; their cost is measured
# by hand (README), not here.


def test_many_variables_each_read_by_its_own_functions():
    n = 2000
    source = "".join(f"var v{i} = {i};\nfunction f{i}() {{ return v{i} + v{(i * 7) % n}; }}\n" for i in range(n))
    result = extract(source)
    used = {v["name"]: v["used_by"] for v in result.record["variables"]}
    assert len(used) == n and len(result.symbols) == n
    assert used["v7"] == ["f1", "f7"]
    assert used["v0"] == ["f0"]


def test_a_class_of_many_methods_lists_each_once():
    n = 3000
    methods = "".join(f"  m{i % (n - 1)}(a: number): number {{ return a; }}\n" for i in range(n))
    result = extract(f"class Big {{\n{methods}}}\n", "typescript")
    assert len(result.symbols) == n  # the class and n - 1 distinct methods
    assert result.record["classes"]["Big"]["methods"][:2] == ["m0", "m1"]


def test_overload_signatures_replaced_by_their_implementation():
    n = 500
    source = "".join(f"export function f{i}(a: string): void;\nexport function f{i}(a: any) {{\n}}\n" for i in range(n))
    result = extract(source, "typescript")
    assert result.symbols == [(f"f{i}", "function", 3 * i + 1, 3 * i + 2) for i in range(n)]


@pytest.mark.parametrize("links, partial", [(100, False), (6000, True)])
def test_a_long_method_chain_is_read_and_marked_partial_past_the_depth_limit(links, partial):
    source = "function f() {\n  a" + "".join(f".b{i % 10}()" for i in range(links)) + ";\n}\n"
    result = extract(source)
    assert result.symbols == [("f", "function", 0, 2)]
    assert result.partial is partial
    if not partial:
        assert "a.b0" in result.record["functions"]["f"]["calls_external"]
