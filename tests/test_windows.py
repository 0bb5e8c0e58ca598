"""Key Code shows the part of a long function that answers, and never cuts
a file's best match short for a weaker one."""

import os
import re

import pytest

from tarnwick import context, windows
from tarnwick import context_packer as cp
from tarnwick.windows import LONG_LINES, WINDOW_LINES, best_window


def body(size, words=None):
    """``size`` lines of filler code; ``words`` puts text on given lines."""
    lines = [f"    value_{i} = compute(value_{i - 1})" for i in range(size)]
    for at, text in (words or {}).items():
        lines[at] = f"    {text}"
    return lines


TERMS = {"brotli", "decompress", "stream"}


@pytest.mark.parametrize("lines, start, end, expected", [
    # The matching lines in the middle of a long function: a window from the first of them.
    (body(120, {60: "# brotli stream", 64: "decompress(stream)"}), 0, 119, (60, 60 + WINDOW_LINES - 1)),
    # A window never passes the function's end.
    (body(120, {118: "brotli = decompress(stream)"}), 0, 119, (118, 119)),
    # Only the function's own lines count (the match at 10 lies before it).
    (body(200, {10: "brotli stream", 150: "decompress"}), 50, 199, (150, 150 + WINDOW_LINES - 1)),
    # A rare word outweighs a word on every line.
    ([f"    stream_{i}()" for i in range(100)[:70]] + ["    brotli()"] + ["    stream()"] * 29, 0, 99,
     (70, 70 + WINDOW_LINES - 1)),
    # Short functions are shown whole.
    (body(LONG_LINES, {30: "brotli stream"}), 0, LONG_LINES - 1, None),
    # The first lines already show the match.
    (body(120, {3: "brotli stream decompress"}), 0, 119, None),
    # Nothing matches.
    (body(120), 0, 119, None),
])
def test_best_window(lines, start, end, expected):
    assert best_window(lines, start, end, TERMS) == expected


def test_no_terms_no_window():
    assert best_window(body(120, {60: "brotli"}), 0, 119, set()) is None


def test_the_block_shows_the_window_with_its_true_range(tmp_path):
    source = ["def decode(body):"] + body(150, {100: 'raise ValueError("brotli stream not decompressed")'})
    (tmp_path / "codec.py").write_text("\n".join(source) + "\n")
    summaries = {"codec.py": {"functions": {"decode": {"params": ["body"], "lines": [0, 150]}}}}
    files = [{"id": "codec.py", "score": 1.0, "symbols": [
        {"id": "codec.py::decode", "name": "decode", "symbol_kind": "function", "line_start": 0, "line_end": 150,
         "score": 2.0}]}]
    view, first = context.focus_summaries(summaries, files, {"nodes": [], "edges": []},
                                          "brotli stream not decompressed", root=tmp_path)
    assert view["codec.py"]["functions"]["decode"]["lines"] == [101, 101 + WINDOW_LINES - 1]
    assert summaries["codec.py"]["functions"]["decode"]["lines"] == [0, 150]  # the store is untouched
    assert first["codec.py"][0]["line_end"] == 150  # the symbol itself keeps its range
    block = cp.pack({"files": files, "edges": []}, view, {"nodes": [], "edges": []}, tmp_path)
    header = re.search(r"# codec.py::decode \(lines (\d+)-(\d+)\)\n(.*)", block)
    assert header.group(1, 2) == ("102", str(102 + WINDOW_LINES - 1))
    assert "brotli stream not decompressed" in header.group(3)  # the range shown is the range named
    # Without the project's root nothing is read: the function from its first line.
    view, _ = context.focus_summaries(summaries, files, {"nodes": [], "edges": []}, "brotli stream")
    assert view["codec.py"]["functions"]["decode"]["lines"] == [0, 150]


def match(name, start, end, score):
    return {"id": f"a.py::{name}", "name": name, "symbol_kind": "function", "line_start": start, "line_end": end,
            "score": score}


@pytest.mark.parametrize("matches, expected", [
    # The weaker match comes first in the file: whole, it would leave the best 19 of its 51
    # lines; its first 29 lines leave the best whole.
    ([match("late", 100, 150, 3.0), match("early", 0, 60, 2.0)], [("late", [100, 150]), ("early", [0, 28])]),
    # No room worth showing beside the best: left out.
    ([match("late", 100, 175, 3.0), match("early", 0, 60, 2.0)], [("late", [100, 175])]),
    # Both fit in the packer's 80 lines: both whole.
    ([match("late", 100, 130, 3.0), match("early", 0, 30, 2.0)], [("late", [100, 130]), ("early", [0, 30])]),
    # A weaker match after the best may be cut itself.
    ([match("early", 0, 60, 3.0), match("late", 100, 150, 2.0)], [("early", [0, 60]), ("late", [100, 150])]),
    # Only the best is kept whole: the third may cut the second.
    ([match("best", 0, 10, 3.0), match("second", 100, 150, 2.0), match("third", 20, 70, 1.5)],
     [("best", [0, 10]), ("second", [100, 150]), ("third", [20, 70])]),
])
def test_a_weaker_match_never_cuts_the_best_short(tmp_path, matches, expected):
    (tmp_path / "a.py").write_text("".join(f"line_{i} = {i}\n" for i in range(200)))
    summaries = {"a.py": {"functions": {m["name"]: {"lines": [m["line_start"], m["line_end"]]} for m in matches}}}
    view, first = context.focus_summaries(summaries, [{"id": "a.py", "symbols": matches}], None, "")
    functions = view["a.py"]["functions"]
    assert [(m["name"], functions[m["name"]]["lines"]) for m in first["a.py"]] == expected
    block = cp.pack({"files": [{"id": "a.py"}], "edges": []}, view, {"nodes": [], "edges": []}, tmp_path)
    shown = {name: (int(a), int(b)) for name, a, b in re.findall(r"# a\.py::(\w+) \(lines (\d+)-(\d+)\)", block)}
    best, (first_line, last_line) = expected[0]
    assert shown[best] == (first_line + 1, last_line + 1)  # the packer shows the best whole


def long_function(name, size, words):
    """A ``size``-line function ``name`` whose lines in ``words`` say something."""
    return [f"def {name}(request):"] + body(size - 1, {at - 1: text for at, text in words.items()})


@pytest.mark.parametrize("source, query, expected", [
    # The question's words deep inside: the window starts at the first line holding them.
    (long_function("decode", 150, {100: 'raise ValueError("brotli stream not decompressed")'}),
     "brotli stream not decompressed", ("decode", 100, 100 + WINDOW_LINES - 1)),
    # A name spelled as code counts whole, stop words inside it included: the line that
    # spells it beats one holding two of its parts.
    (long_function("handle", 150, {50: "retry = parse(header)", 100: "retry_after = parse_retry_after(header)"}),
     "`parse_retry_after` ignores dates", ("handle", 100, 100 + WINDOW_LINES - 1)),
    # A hyphenated header name is one identifier.
    (long_function("handle", 150, {50: "none_match = match_none(tag)", 100: "if_none_match = headers.get(IF_NONE_MATCH)"}),
     "If-None-Match is ignored", ("handle", 100, 100 + WINDOW_LINES - 1)),
    # A word also asks for the short form code spells it with.
    (long_function("read", 150, {50: "chunk = read(size)", 110: "if len(chunk) > max_size: raise TooLarge()"}),
     "maximum size of a chunk", ("read", 110, 110 + WINDOW_LINES - 1)),
    # The words in the function's first lines: shown from its first line.
    (long_function("decode", 150, {2: "# brotli stream"}), "brotli stream", ("decode", 0, 149)),
])
def test_the_window_a_question_chooses(tmp_path, source, query, expected):
    (tmp_path / "a.py").write_text("\n".join(source) + "\n")
    name = source[0].split()[1].split("(")[0]
    matches = [{"name": name, "symbol_kind": "function", "line_start": 0, "line_end": len(source) - 1, "score": 3.0}]
    summaries = {"a.py": {"functions": {name: {"lines": [0, len(source) - 1]}}}}
    view, first = context.focus_summaries(summaries, [{"id": "a.py", "symbols": matches}], None, query, root=tmp_path)
    assert (name, *view["a.py"]["functions"][name]["lines"]) == expected


@pytest.mark.parametrize("outer_kind, shown", [
    # A function that matches best is shown itself, through the window around the
    # inner function that answers ...
    ("function", ("devtools", 82, 82 + WINDOW_LINES - 1)),
    # ... where a large class gives way to its matching method.
    ("class", ("devtools.set_state", 80, 90)),
])
def test_an_outer_function_is_shown_through_its_window(tmp_path, outer_kind, shown):
    source = long_function("devtools", 150, {80: "def set_state(state):", 82: "    send(state, devtools)"})
    (tmp_path / "a.py").write_text("\n".join(source) + "\n")
    matches = [
        {"name": "devtools", "symbol_kind": outer_kind, "line_start": 0, "line_end": 149, "score": 3.0},
        {"name": "devtools.set_state", "symbol_kind": "function", "line_start": 80, "line_end": 90, "score": 2.0},
    ]
    summaries = {"a.py": {"functions": {}}}
    view, first = context.focus_summaries(summaries, [{"id": "a.py", "symbols": matches}], None,
                                          "send the state to devtools", root=tmp_path)
    name = first["a.py"][0]["name"]
    assert [m["name"] for m in first["a.py"]] == [name]  # never both
    assert (name, *view["a.py"]["functions"][name]["lines"]) == shown


def inner_match(score=3.0, start=80):
    return {"name": "devtools.set_state", "symbol_kind": "function", "line_start": start, "line_end": start + 10, "score": score}


OUTER = {"name": "devtools", "symbol_kind": "function", "line_start": 0, "line_end": 149, "score": 2.0}


@pytest.mark.parametrize("matches, stored, shown", [
    # An inner function that matches best is shown as the part of its function it is,
    # whether the function around it is a weaker match ...
    ([inner_match(), OUTER], {}, ("devtools", 80, 90)),
    # ... or only a stored function.
    ([inner_match()], {"devtools": {"lines": [0, 149]}}, ("devtools", 80, 90)),
    # A function of that name that does not hold it is another one.
    ([inner_match(start=160)], {"devtools": {"lines": [0, 149]}}, ("devtools.set_state", 160, 170)),
    # A method is shown as itself.
    ([dict(inner_match(), symbol_kind="method")], {"devtools": {"lines": [0, 149]}}, ("devtools.set_state", 80, 90)),
    # A match without a usable name says nothing about what holds it.
    ([inner_match(), dict(OUTER, name=["devtools"])], {}, ("devtools.set_state", 80, 90)),
])
def test_an_inner_function_is_shown_as_part_of_its_function(matches, stored, shown):
    summaries = {"a.py": {"functions": stored}}
    view, first = context.focus_summaries(summaries, [{"id": "a.py", "symbols": matches}], None, "set state")
    functions = view["a.py"]["functions"]
    assert len(first["a.py"]) == 1 and shown[0] == next(iter(functions))
    assert (shown[0], *functions[shown[0]]["lines"]) == shown


@pytest.fixture
def fresh_cache(monkeypatch):
    monkeypatch.setattr(windows, "_kept", {})
    return windows


def test_a_file_read_is_kept_while_it_is_the_same_file(tmp_path, fresh_cache, monkeypatch):
    monkeypatch.setattr(windows, "RACY_NS", -1)  # as if written long ago
    (tmp_path / "a.py").write_text("one\ntwo\n")
    first = windows.source_lines(tmp_path, "a.py")
    assert windows.source_lines(tmp_path, "a.py") is first and first.lines == ["one", "two"]
    (tmp_path / "a.py").write_text("one\ntwo\nthree\n")
    assert windows.source_lines(tmp_path, "a.py").lines == ["one", "two", "three"]
    (tmp_path / "a.py").unlink()
    assert windows.source_lines(tmp_path, "a.py") is None


def test_a_file_changed_within_a_clock_tick_is_read_again(tmp_path, fresh_cache, monkeypatch):
    # A coarse clock: an edit in the same tick leaves the file's times as they were.
    monkeypatch.setattr(windows, "_identity", lambda info: (info.st_dev, info.st_ino, info.st_size))
    (tmp_path / "a.py").write_text("one\n")
    assert windows.source_lines(tmp_path, "a.py").lines == ["one"]
    (tmp_path / "a.py").write_text("two\n")
    assert windows.source_lines(tmp_path, "a.py").lines == ["two"]


def test_files_kept_stay_within_their_bound(tmp_path, fresh_cache, monkeypatch):
    monkeypatch.setattr(windows, "RACY_NS", -1)
    monkeypatch.setattr(windows, "KEPT_BYTES", 25)
    for name in "abc":
        (tmp_path / f"{name}.py").write_text(name * 10)
        windows.source_lines(tmp_path, f"{name}.py")
    assert [os.path.basename(path) for path in windows._kept] == ["b.py", "c.py"]


def test_a_file_outside_the_project_is_not_read(tmp_path, fresh_cache):
    (tmp_path / "outside.py").write_text("secret\n")
    (tmp_path / "p").mkdir()
    (tmp_path / "p" / "link.py").symlink_to(tmp_path / "outside.py")
    assert windows.source_lines(tmp_path / "p", "link.py") is None
