"""The token estimate, the path helpers and the symbol body reader."""

import os
import sys
import traceback
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwick.context_packer as cp

RSC = "tarnwick.context_packer.read_symbol_content"


def entries(info):
    """(function name, line) of the extension's traceback entries, outermost first."""
    tb = traceback.extract_tb(info.value.__traceback__)
    return [(f.name, f.lineno) for f in tb if f.filename == "src/tarnwick/context_packer"]


def reference(root, file_id, functions, max_lines=80):
    """The reader written out in Python; an empty or inverted range adds nothing."""
    file_path = root / file_id
    if not file_path.exists():
        return ""
    all_lines = file_path.read_text(encoding="utf-8", errors="ignore").splitlines()
    if not functions:
        return ""
    chunks, total_lines = [], 0
    for fn_name, fn_info in sorted(functions.items(), key=lambda kv: kv[1].get("line_start", 0))[:3]:
        start = fn_info.get("line_start", 0)
        end = fn_info.get("line_end", start + 20)
        start = start if start > 0 else 0
        end = end if end < len(all_lines) - 1 else len(all_lines) - 1
        span = end - start + 1
        if end < start:
            continue
        if total_lines + span > max_lines:
            end = start + (max_lines - total_lines) - 1
            if end < start:
                break
            span = end - start + 1
        body = "\n".join(all_lines[start : end + 1])
        chunks.append(f"# {file_id}::{fn_name} (lines {start + 1}-{end + 1})\n{body}")
        total_lines += span
        if total_lines >= max_lines:
            break
    return "\n\n".join(chunks)


def lines(first, last):
    return "\n".join(f"line {i}" for i in range(first, last + 1))


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "proj"
    (root / "src").mkdir(parents=True)
    (root / "src" / "app.py").write_text(lines(1, 200) + "\n")
    return root


def read(root, functions, file_id="src/app.py", **kwargs):
    return cp.read_symbol_content(root, file_id, functions, **kwargs)


# --- estimate_tokens, _file_id, _basename -----------------------------------------------------


@pytest.mark.parametrize("length, tokens", [(0, 0), (1, 1), (3, 1), (4, 2), (16, 5), (17, 6),
                                            (100, 32), (3200, 1000), (3201, 1001)])
def test_estimate_tokens(length, tokens):
    assert cp.estimate_tokens("x" * length) == tokens == (5 * length + 15) // 16
    assert cp.estimate_tokens("\u00e9\U0001f600" * (length // 2) + "\u00e9" * (length % 2)) == tokens


def test_estimate_tokens_ceil_and_argument(monkeypatch):
    with pytest.raises(TypeError, match=r"^Argument 'text' has incorrect type \(expected str, got bytes\)$") as info:
        cp.estimate_tokens(b"abcd")
    assert entries(info) == []
    monkeypatch.setattr(cp, "ceil", lambda quotient: quotient * 10)
    assert cp.estimate_tokens("abcd") == 12  # int(12.5): the module-level ceil is looked up
    monkeypatch.setattr(cp, "ceil", lambda quotient: "many")
    with pytest.raises(TypeError, match="^Expected int, got str$") as info:
        cp.estimate_tokens("abcd")
    assert entries(info) == [("tarnwick.context_packer.estimate_tokens", 217)]


class GetDict(dict):
    def get(self, key, default=None):
        return f"custom:{key}:{default!r}"


@pytest.mark.parametrize("entry, expected", [
    ({"id": "src/app.py", "score": 3}, "src/app.py"), ({}, ""), ({"id": None}, "None"), ({"id": 12}, "12"),
    ("src/x.py::f", "src/x.py::f"), (3, "3"), (None, "None"), (GetDict(id="x"), "custom:id:''"),
])
def test_file_id(entry, expected):
    assert cp._file_id(entry) == expected


def test_file_id_passes_exceptions_on():
    class BadStr:
        def __str__(self):
            raise ValueError("no text")

    for entry, line in [(BadStr(), 284), ({"id": BadStr()}, 283)]:
        with pytest.raises(ValueError) as info:
            cp._file_id(entry)
        assert entries(info) == [("tarnwick.context_packer._file_id", line)]


@pytest.mark.parametrize("path, expected", [
    ("src/pkg/mod.py", "mod.py"), ("mod.py", "mod.py"), ("src/pkg/", ""), ("", ""),
    ("a\\b\\c.py", "a\\b\\c.py"), ("/abs", "abs"), ("x/\u00fc\U0001f600", "\u00fc\U0001f600"),
])
def test_basename(path, expected):
    assert cp._basename(path) == expected


# --- read_symbol_content: the worked example and selection -------------------------------------

class Line(int):
    pass


EXAMPLE = {"main": {"line_start": 100, "line_end": 129}, "setup": {"line_start": 10, "line_end": 39},
           "run": {"line_start": 50, "line_end": 79}, "teardown": {"line_start": 5, "line_end": 6}}


@pytest.mark.parametrize("max_lines, last", [(80, 80), (40, 58)])
def test_worked_example(project, max_lines, last):
    assert read(project, EXAMPLE, max_lines=max_lines) == (
        "# src/app.py::teardown (lines 6-7)\n" + lines(6, 7) + "\n\n"
        "# src/app.py::setup (lines 11-40)\n" + lines(11, 40) + "\n\n"
        f"# src/app.py::run (lines 51-{last})\n" + lines(51, last)
    )


@pytest.mark.parametrize("functions, max_lines, headers", [
    ({"b": {"line_start": 5, "line_end": 5}, "a": {"line_start": 5, "line_end": 5}, "z": {"line_end": 0},
      "y": {"line_start": 9}}, 80, ["z (lines 1-1)", "b (lines 6-6)", "a (lines 6-6)"]),
    ({"f": {}, "g": {"line_start": -5}}, 80, ["g (lines 1-16)", "f (lines 1-21)"]),
    ({"f": {"line_start": 195, "line_end": 900}}, 80, ["f (lines 196-200)"]),
    ({7: {"line_start": 1, "line_end": 1}, (1, 2): {"line_start": 2, "line_end": 2}}, 80,
     ["7 (lines 2-2)", "(1, 2) (lines 3-3)"]),
    ({"big": {"line_start": 0, "line_end": 150}, "next": {"line_start": 160}}, 80, ["big (lines 1-80)"]),
    ({"f": {"line_start": 0, "line_end": 199}}, 10**30, ["f (lines 1-200)"]),
    ({"f": {"line_start": True, "line_end": Line(3)}}, True, ["f (lines 2-2)"]),
    (EXAMPLE, 0, []), (EXAMPLE, -(10**30), []),
])
def test_selection(project, functions, max_lines, headers):
    result = read(project, functions, max_lines=max_lines)
    assert [h[len("# src/app.py::"):] for h in result.split("\n") if h.startswith("#")] == headers
    assert result == reference(project, "src/app.py", functions, max_lines)


def test_missing_file_directory_empty_functions(project):
    assert read(project, EXAMPLE, file_id="src/nope.py") == read(project, EXAMPLE, file_id="src") == ""
    assert read(project, EXAMPLE, file_id="a\0b") == read(project, {}) == ""


# --- the two mends ------------------------------------------------------------------------------


@pytest.mark.parametrize("functions", [
    {"f": {"line_start": 0, "line_end": -5}},  # would show nearly the whole file as "(lines 1--4)"
    {"gone": {"line_start": 500, "line_end": 510}, "neg": {"line_start": 600, "line_end": -1}},
])
def test_empty_ranges_add_nothing(project, functions):
    assert read(project, functions) == ""


def test_empty_range_does_not_lower_the_total(project, tmp_path):
    functions = {"a": {"line_start": 0, "line_end": -100}, "b": {"line_start": 10, "line_end": 59},
                 "c": {"line_start": 60, "line_end": 99}}
    assert read(project, functions, max_lines=60) == (
        "# src/app.py::b (lines 11-60)\n" + lines(11, 60) + "\n\n# src/app.py::c (lines 61-70)\n" + lines(61, 70)
    )
    (tmp_path / "empty.py").write_text("")
    assert cp.read_symbol_content(tmp_path, "empty.py", {"f": {"line_start": 0}}) == ""


@pytest.mark.parametrize("make_id", [
    lambda root, secret: str(secret), lambda root, secret: "../secret.key",
    lambda root, secret: "src/../../secret.key", lambda root, secret: "../proj2/x.py",
    lambda root, secret: (root / "src" / "link.py").symlink_to(secret) or "src/link.py",
    lambda root, secret: (root / "dirlink").symlink_to(secret.parent) or "dirlink/secret.key",
    lambda root, secret: (root / "loop").symlink_to(root / "loop") or "loop",
])
def test_ids_leaving_the_root_are_not_read(project, make_id):
    secret = project.parent / "secret.key"
    secret.write_text("PRIVATE KEY\n")
    (project.parent / "proj2").mkdir()
    (project.parent / "proj2" / "x.py").write_text("PRIVATE\n")
    assert read(project, {"k": {}}, file_id=make_id(project, secret)) == ""


def test_ids_inside_the_root_keep_working(project, monkeypatch):
    fns = {"f": {"line_start": 1, "line_end": 2}}
    absolute = str(project / "src" / "app.py")
    (project / "alias.py").symlink_to(project / "src" / "app.py")
    (project.parent / "rootlink").symlink_to(project)
    monkeypatch.chdir(project)
    for root, file_id in [(project, absolute), (project, "src/../src/app.py"), (project, "alias.py"),
                          (project.parent / "rootlink", "src/app.py"), (Path("."), "src/app.py"), (Path(""), absolute)]:
        assert read(root, fns, file_id=file_id) == f"# {file_id}::f (lines 2-3)\nline 2\nline 3"


# --- files that are not plain files, are too large, or are swapped while being read ------------

@pytest.mark.parametrize("make", [
    os.mkfifo,
    # Sparse: over the 32 MiB bound without filling the disk.
    lambda path: (path.write_text("def f():\n    pass\n"), os.truncate(path, (32 << 20) + 1)),
])
def test_special_or_oversized_sources_read_as_empty(project, make, no_hang):
    make(project / "odd.py")
    assert read(project, {"f": {}}, file_id="odd.py") == ""


def test_a_link_swapped_in_before_the_open_is_not_followed(project, swap_on_open):
    secret = project.parent / "secret.py"
    secret.write_text("PRIVATE KEY\n" * 3)
    swap_on_open(project / "src" / "app.py", secret)
    assert read(project, {"f": {"line_start": 0, "line_end": 1}}) == ""


# --- text decoding, line splitting, and everything against the reference ------------------------


@pytest.mark.parametrize("raw, expected", [
    (b"a\r\nb\r\nc\r\n", ["a", "b", "c"]), (b"a\rb\x0cc", ["a", "b", "c"]),
    (b"a\x0bb\x1cc\x1dd\x1ee\n\n", ["a", "b", "c", "d", "e", ""]),
    ("a\u0085b\u2028c\u2029d".encode(), ["a", "b", "c", "d"]),
    (b"\xef\xbb\xbfa\nb\xff\xfe\n", ["\ufeffa", "b"]),
    ("abcdefghij\u0085klmnopqrstuvwxyz\u00e9\u00e9\u00e9\u00e9\u0085ABCDEFGHIJ".encode(),
     ["abcdefghij", "klmnopqrstuvwxyz\u00e9\u00e9\u00e9\u00e9", "ABCDEFGHIJ"]),
    ("\u0100bcdefghijklmnop\u2028qrstuvwxyz\U0001f600\u0085z".encode(),
     ["\u0100bcdefghijklmnop", "qrstuvwxyz\U0001f600", "z"]),
])
def test_line_splitting(tmp_path, raw, expected):
    (tmp_path / "f.py").write_bytes(raw)
    result = cp.read_symbol_content(tmp_path, "f.py", {"f": {"line_start": 0, "line_end": 50}})
    assert result == f"# f.py::f (lines 1-{len(expected)})\n" + "\n".join(expected)


class StandIn:
    """A stand-in root and file: joins to itself; read_text hands back (or raises) `value`."""

    def __init__(self, value, exists=True):
        self.value, self.exists_value, self.reads = value, exists, 0

    def __truediv__(self, other):
        return self.value / other if isinstance(self.value, Path) else self

    def exists(self):
        if isinstance(self.exists_value, BaseException):
            raise self.exists_value
        return self.exists_value

    def read_text(self, *, encoding, errors):
        assert (encoding, errors) == ("utf-8", "ignore")
        self.reads += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


PIECES = st.sampled_from(["a", "  def f():", "\u00e9", "\U0001f600", "\u0100", "\t", "\n", "\n", "\r\n", "\r",
                          "\x0b", "\x0c", "\x1c", "\x85", "\u2028", "\ufeff", "x" * 9, "latin\xe9 run\x85of text"])
NUMBER = st.one_of(st.integers(-30, 60), st.sampled_from([10**20, -(10**20), 2**62, -(2**62), 2**62 - 1]))
RECORD = st.fixed_dictionaries({}, optional={"line_start": NUMBER, "line_end": NUMBER})


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.lists(PIECES, max_size=80).map("".join),
       functions=st.dictionaries(st.text("abc", min_size=1, max_size=2), RECORD, max_size=5),
       max_lines=st.one_of(st.integers(-3, 90), st.sampled_from([10**25, -(10**25), 2**62])),
       stand_in=st.booleans())
def test_matches_reference(tmp_path, text, functions, max_lines, stand_in):
    (tmp_path / "gen.py").write_text(text, encoding="utf-8", newline="")
    root = StandIn(tmp_path) if stand_in else tmp_path
    result = cp.read_symbol_content(root, "gen.py", functions, max_lines)
    assert result == reference(tmp_path, "gen.py", functions, max_lines)
    chunks = len(result.split("\n\n# gen.py::")) if result else 0
    assert result.count("\n") - 2 * max(chunks - 1, 0) <= max(max_lines, 0)  # lines shown


class Lines:
    def splitlines(self):
        return ("t1", "t2")


@pytest.mark.parametrize("value, expected", [
    ("a\r\nb\x85c", "# f::g (lines 1-3)\na\nb\nc"), (Lines(), "# f::g (lines 1-2)\nt1\nt2"),
    (type("S", (str,), {})("s1\ns2"), "# f::g (lines 1-2)\ns1\ns2"),
    (PermissionError("no"), ""), (IsADirectoryError("dir"), ""),
])
def test_read_text_results(value, expected):
    assert cp.read_symbol_content(StandIn(value), "f", {"g": {}}) == expected
    missing = StandIn(value, exists=0)
    assert cp.read_symbol_content(missing, "f", {"g": {}}) == "" and missing.reads == 0


@pytest.mark.parametrize("root, functions, args, error, message, where", [
    ("root", {}, (), TypeError, "unsupported operand type(s) for /: 'str' and 'str'", [(RSC, 234)]),
    (StandIn("", exists=ValueError("bad")), {}, (), ValueError, "bad", [(RSC, 235)]),
    (StandIn(UnicodeDecodeError("utf-8", b"", 0, 1, "x")), {}, (), UnicodeDecodeError, None, [(RSC, 238)]),
    (StandIn(b"a\nb"), {"g": {}}, (), TypeError, "sequence item 0: expected str instance, bytes found", [(RSC, 267)]),
    (StandIn("a"), {"g": 1}, (), AttributeError, "'int' object has no attribute 'get'", [(RSC, 245), (RSC + ".lambda", 247)]),
    (StandIn("a"), {"g": {"line_start": None}, "h": {}}, (), TypeError,
     "'<' not supported between instances of 'int' and 'NoneType'", [(RSC, 245)]),
    (StandIn("a"), {"g": {"line_start": None}}, (), TypeError,
     "unsupported operand type(s) for +: 'NoneType' and 'int'", [(RSC, 255)]),
    (StandIn("a"), {"g": {"line_end": "x"}}, (), TypeError, "'<' not supported between instances of 'str' and 'int'", [(RSC, 257)]),
    (StandIn("a\nb"), {"g": {"line_start": 1.0}}, (), TypeError,
     "slice indices must be integers or None or have an __index__ method", [(RSC, 267)]),
    (StandIn("a"), {}, ("80",), TypeError, "Argument 'max_lines' has incorrect type (expected int, got str)", [(RSC, 228)]),
    (StandIn("a"), {}, (float("inf"),), OverflowError, None, [(RSC, 228)]),
    (StandIn("a"), [], (), TypeError, "Argument 'functions' has incorrect type (expected dict, got list)", []),
])
def test_failures(root, functions, args, error, message, where):
    with pytest.raises(error) as info:
        cp.read_symbol_content(root, "f", functions, *args)
    assert message is None or str(info.value) == message
    assert entries(info) == where


def test_records_with_their_own_get_and_reentry(project):
    class Record(dict):
        def get(self, key, default=None):
            assert read(project, {"in": {"line_start": 0, "line_end": 0}}) == "# src/app.py::in (lines 1-1)\nline 1"
            return {"line_start": 2, "line_end": 3}.get(key, default)

    assert read(project, {"r": Record(line_start=150), "d": {"line_start": 10, "line_end": 10}}) == (
        "# src/app.py::r (lines 3-4)\nline 3\nline 4\n\n# src/app.py::d (lines 11-11)\nline 11"
    )


def test_no_leaked_references(project):
    marker = 10**25 + 1
    name = "fn" + str(marker)
    record = {"line_start": 3, "line_end": marker}
    good = {name: record, "g": {"line_start": 5}}
    bad_records = ({name: record, "bad": 1}, {name: {"line_start": 0.5, "line_end": marker}})
    watched = (marker, name, record, project)
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        read(project, good, max_lines=12)
        for bad in bad_records:
            with pytest.raises((AttributeError, TypeError)):
                read(project, bad)
    assert [sys.getrefcount(obj) for obj in watched] == before
