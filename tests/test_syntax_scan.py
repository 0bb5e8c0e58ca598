"""The walk over Python syntax trees (C++) against its Python reference: the
same names, words, definitions and imports, and the calls in the same order
(the order in which a file's references are listed follows it)."""

import ast
import dataclasses
import sys
import textwrap

import pytest

import tarnwick.indexer.extractors.python as extractor
from tarnwick._syntax import NodeScanner
from tarnwick.indexer.extractors.python import (
    _CHILDREN, _LEAVES, _NAME_LIKE, _NO_CHILDREN, _Scan, _learn, reference_scan,
)

FIELDS = _Scan.__slots__


def fresh_scanner():
    """A scanner that learns every node class's fields anew."""
    layouts = dict.fromkeys(_LEAVES, _NO_CHILDREN)

    def learn(node):
        layout = _learn(node)
        layouts[type(node)] = layout
        return layout

    return NodeScanner(ast, layouts, learn, _NAME_LIKE)


def scanned(scan, roots) -> dict:
    acc = _Scan()
    scan(roots, acc)
    out = {name: getattr(acc, name) for name in FIELDS}
    out["imports"] = [id(node) for node in acc.imports]  # the very statements, in order
    return out


def assert_same_walk(roots) -> dict:
    expected = scanned(reference_scan, roots)
    assert scanned(extractor._scan, roots) == expected
    assert scanned(fresh_scanner().scan, roots) == expected
    return expected


def module(source: str) -> ast.Module:
    return ast.parse(textwrap.dedent(source))


CASES = [
    # source -> (field, what it must hold)
    ("a.b.c(x)\n", "calls", [(1, 5, "a.b.c")]),
    ("f()()\nx[0]()\n(lambda: 1)()\n", "calls", [(1, 1, "f")]),
    ("g(h(i()))\n", "calls", [(1, 1, "g"), (1, 3, "h"), (1, 5, "i")]),
    ("x = y\ndel z\nfor k in v: pass\n", "loads", {"y", "v"}),
    ("x = y\ndel z\nfor k in v: pass\n", "stores", {"x", "z", "k"}),
    ("lambda p, *q, r=s, **t: p\n", "stores", {"p", "q", "r", "t"}),
    ("def f():\n    global a, b\n    nonlocal_ = 1\n", "globals", {"a", "b"}),
    ("def f():\n    class C: pass\n    async def g(): pass\n", "defs", {"f", "C", "g"}),
    ("f(**kw)\nf(key=1)\no.attr\n", "words", {"key", "attr"}),
    # A string that names something: a letter, then 1 to 39 word characters or hyphens.
    ('"a"; "ab"; "Content-Type"; "1ab"; "_ab"; "-ab"; "a b"; b"bytes"\n', "words", {"ab", "Content-Type"}),
    (f'"a{"x" * 39}"; "a{"x" * 40}"\n', "words", {"a" + "x" * 39}),
    ('"naïve"; "a²"; "日本"; "a日本"; "a\u00a0b"; "ü"\n', "words", {"naïve", "a²", "a日本"}),
    (f'"é{"x" * 39}"; "a{"é" * 39}"; "a{"é" * 40}"\n', "words", {"a" + "é" * 39}),
    # A nested import is listed, not walked; the walk goes on past it.
    ("def f():\n    import os\n    from . import m\n    os.path.join()\n", "calls", [(4, 16, "os.path.join")]),
    ("{**a, 'k': v}\n", "loads", {"a", "v"}),
    ("match x:\n    case {'k': y, **rest}: pass\n    case P(a=b) as c: pass\n    case [*s, 1]: pass\n",
     "loads", {"x", "P"}),
    ("x: int = f(y)\nasync def g():\n    await h()\n    async with i() as j: pass\n", "calls",
     [(4, 16, "i"), (3, 11, "h"), (1, 10, "f")]),  # statements popped last first
]


@pytest.mark.parametrize("source, field, expected", CASES)
def test_each_kind_of_node(source, field, expected):
    found = assert_same_walk(module(source).body)
    assert found[field] == expected


def test_keyword_learned_from_a_spread_first():
    # The first keyword seen has no name (None, a child field as learned);
    # a later keyword's name is text, which the walk must not descend into.
    tree = module("f(**a)\ng(b=c)\n")
    scanner = fresh_scanner()
    acc = _Scan()
    scanner.scan(tree.body, acc)
    assert acc.words == {"b"} and acc.loads == {"f", "a", "g", "c"}


@pytest.mark.parametrize("first, second", [("None", "True"), ("True", "None"), ("False", "None")])
def test_constant_patterns_whichever_comes_first(first, second):
    # The pattern's value is a constant, never a node: met first as None (the
    # walk pops the last case first), it must not teach the walk to descend
    # into the True of another.
    source = f"match x:\n    case {first}: f()\n    case {second}: g()\n"
    for scan in (reference_scan, fresh_scanner().scan):
        acc = _Scan()
        scan(module(source).body, acc)
        assert acc.loads == {"x", "f", "g"}
    result = extractor.summarize_text("m.py", "def h(x):\n" + textwrap.indent(source, "    "))
    assert result.error is None and result.record["functions"]["h"]["calls_external"] == ["f", "g"]


def test_imports_are_the_statements_themselves():
    tree = module("import a\nfrom b import c\n")
    acc = _Scan()
    extractor._scan(tree.body, acc)
    assert acc.imports == tree.body[::-1]


# Modules, not file names: some became packages (pathlib in 3.13).
STDLIB_MODULES = ["ast", "typing", "dataclasses", "argparse", "asyncio.base_events", "email._header_value_parser",
                  "json.decoder", "unittest.mock", "difflib", "pathlib",
                  "re._parser" if sys.version_info >= (3, 11) else "sre_parse"]


@pytest.mark.parametrize("name", STDLIB_MODULES)
def test_real_modules_walked_alike(name, monkeypatch):
    import importlib.util

    path = importlib.util.find_spec(name).origin
    with open(path, encoding="utf-8") as f:
        text = f.read()
    tree = ast.parse(text)
    assert_same_walk(tree.body)
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            assert_same_walk(node.body)
    # The whole summary, made with each walk.
    made = {}
    for walk, scan in (("reference", reference_scan), ("c++", extractor._scan)):
        monkeypatch.setattr(extractor, "_scan", scan)
        made[walk] = dataclasses.asdict(extractor.summarize_text(path, text))
    assert made["c++"] == made["reference"]


class Acc:
    def __init__(self, **fields):
        base = {name: set() for name in FIELDS}
        base.update(calls=[], imports=[])
        base.update(fields)
        self.__dict__.update(base)


def test_errors_come_back_as_python_exceptions():
    scanner = NodeScanner(ast, _CHILDREN, _learn, _NAME_LIKE)
    body = module("x = f(y)\n").body
    with pytest.raises(TypeError):
        scanner.scan(42, Acc())
    with pytest.raises(AttributeError):
        scanner.scan(body, object())
    with pytest.raises(TypeError, match="acc must hold"):
        scanner.scan(body, Acc(words=[]))
    with pytest.raises(TypeError, match="takes 2 arguments"):
        scanner.scan(body)
    with pytest.raises(TypeError, match="pair of tuples"):
        NodeScanner(ast, {}, lambda node: ("value",), _NAME_LIKE).scan(body, Acc())

    def refuse(node):
        raise LookupError(type(node).__name__)

    with pytest.raises(LookupError, match="Assign"):
        NodeScanner(ast, {}, refuse, _NAME_LIKE).scan(body, Acc())

    def broken(text):
        raise ValueError(text)

    with pytest.raises(ValueError, match="naïve"):
        NodeScanner(ast, _CHILDREN, _learn, broken).scan(module('"naïve"\n').body, Acc())


@pytest.mark.parametrize("args, error", [
    ((ast, {}, _learn), "takes 4 arguments"),
    ((object(), {}, _learn, _NAME_LIKE), "Name"),
    ((ast, [], _learn, _NAME_LIKE), "layouts must be a dict"),
    ((ast, {}, None, _NAME_LIKE), "must be callable"),
    ((ast, {}, _learn, 3), "must be callable"),
])
def test_scanner_refuses_bad_arguments(args, error):
    with pytest.raises((TypeError, AttributeError), match=error):
        NodeScanner(*args)
