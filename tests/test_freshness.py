"""Answers never show code under a line range that no longer holds it: a file
edited, deleted or replaced since indexing is named in one warning, and its
code and line ranges are left out."""

from __future__ import annotations

import os
import shutil
from pathlib import Path

import pytest

from tarnwick import context, freshness
from tarnwick.indexer import index_project

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
QUERY = "how are overdue loans detected"
LOANS = "bookshelf/loans.py"


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "shelf"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns(".vestra"))
    # Old times, as files have long before they are indexed.
    for path in root.rglob("*.py"):
        os.utime(path, ns=(10**18, 10**18))
    index_project(root, jobs=1, progress=False)
    return root


def _same_size_edit(path: Path, outside=None) -> None:
    """Change a few bytes and put the time back: what an edit within one
    tick of a coarse clock looks like to a size and time check."""
    info = path.stat()
    text = path.read_text()
    path.write_text(text.replace("past its due date", "past its due time"))
    os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))
    assert path.stat().st_size == info.st_size


def test_an_unchanged_project_has_no_warning(project):
    result = context.build_result(QUERY, project)
    assert result.warnings == []
    assert f"# {LOANS}::is_overdue (lines 23-25)" in result.block


def test_lines_added_above_a_function_never_show_other_code_under_its_range(project):
    _lines_above(project / LOANS)
    result = context.build_result(QUERY, project)
    assert result.warnings == [freshness.warning([LOANS])]
    assert "1 file changed since indexing (bookshelf/loans.py)" in result.warnings[0]
    assert f"# {LOANS}::" not in result.block  # no excerpt from it
    assert f"`{LOANS}` lines" not in result.block  # no read into it
    assert LOANS in result.block  # still listed among the relevant files
    entry = next(f for f in result.to_json()["files"] if f["path"] == LOANS)
    assert entry["symbols"] == []
    # Once indexed again, the answer is whole and fresh.
    index_project(project, jobs=1, progress=False)
    result = context.build_result(QUERY, project)
    assert result.warnings == [] and f"# {LOANS}::is_overdue (lines 35-37)" in result.block


def _lines_above(path: Path, outside: Path | None = None) -> None:
    path.write_text(path.read_text().replace("class LendingError", "# note\n" * 12 + "class LendingError"))


def _delete(path: Path, outside: Path) -> None:
    path.unlink()


def _link_outside(path: Path, outside: Path) -> None:
    outside.write_text("SECRET = 1\n" * 60)
    path.unlink()
    path.symlink_to(outside)


def _folder(path: Path, outside: Path) -> None:
    path.unlink()
    path.mkdir()


def _touch(path: Path, outside: Path) -> None:
    os.utime(path, ns=(10**18 + 5, 10**18 + 5))


def _grow(path: Path, outside: Path) -> None:
    with open(path, "a") as f:
        f.write("\n# more\n")


@pytest.mark.parametrize(
    "change, changed",
    [
        (_grow, True),
        (_delete, True),
        (_link_outside, True),
        (_folder, True),
        (_same_size_edit, True),  # caught by the digest: its time lies within the run's tick
        (_touch, False),  # a new time, the same content
    ],
)
def test_changes_between_indexing_and_a_question(project, tmp_path, change, changed):
    if change is _same_size_edit:
        _reindex_right_after_the_last_edit(project)
    change(project / LOANS, tmp_path / "outside.py")
    result = context.build_result(QUERY, project)
    assert (result.warnings == [freshness.warning([LOANS])]) is changed
    assert "SECRET" not in result.block
    assert (f"# {LOANS}::" not in result.block) is changed


def _reindex_right_after_the_last_edit(root: Path) -> None:
    """Index again with the files' times just before the run, as when the
    last edit came in the tick before it."""
    import time

    now = time.time_ns()
    for path in root.rglob("*.py"):
        os.utime(path, ns=(now, now))
    index_project(root, jobs=1, progress=False, full=True)


def _settled_index(root: Path, monkeypatch) -> None:
    """Index again once the files' last change (their copy, their times
    set: a change of the inode too) lies well before the run, by a margin
    made short enough to wait out."""
    import time

    monkeypatch.setattr(freshness, "RACY_NS", 50_000_000)
    time.sleep(0.1)
    index_project(root, jobs=1, progress=False, full=True)


def _chmod(path: Path) -> None:
    os.chmod(path, 0o600)


@pytest.mark.parametrize(
    "change, changed, read",
    [
        (None, False, []),  # long before the question: not even hashed
        (_chmod, False, ["loans.py"]),  # the inode changed, not the content: read, no warning
        (_same_size_edit, True, ["loans.py"]),  # `touch -r`, `cp -p`, an archive's times: only the change time tells
    ],
)
def test_after_a_settled_run_the_change_time_says_what_is_read(project, monkeypatch, change, changed, read):
    _settled_index(project, monkeypatch)
    if change is not None:
        change(project / LOANS)
    reads = []
    real = freshness.read_regular
    monkeypatch.setattr(freshness, "read_regular", lambda *a: reads.append(a[0]) or real(*a))
    result = context.build_result(QUERY, project)
    assert result.warnings == ([freshness.warning([LOANS])] if changed else [])
    assert (f"# {LOANS}::" not in result.block) is changed
    assert [Path(path).name for path in reads] == read


@pytest.mark.parametrize("racy, reads", [(False, 1), (True, 2)], ids=["settled", "changed within a tick of now"])
def test_a_file_found_unchanged_by_its_digest_is_read_again_only_once_it_changes(project, monkeypatch, racy, reads):
    import time

    _settled_index(project, monkeypatch)
    monkeypatch.setattr(freshness, "_verified", {})
    _chmod(project / LOANS)  # a new change time, the same content: judged by its digest
    time.sleep(0.1)
    if racy:
        monkeypatch.setattr(freshness, "RACY_NS", 10**12)
    read = []
    real = freshness.read_regular
    monkeypatch.setattr(freshness, "read_regular", lambda *a: read.append(Path(a[0]).name) or real(*a))
    for _ in range(2):
        result = context.build_result(QUERY, project)
        assert result.warnings == [] and f"# {LOANS}::" in result.block
    assert read.count("loans.py") == reads
    if not racy:
        assert set(read) == {"loans.py"}  # the other files settled: not even hashed
    # An edit that puts back the size and modification time moves the change time: read, and seen.
    _same_size_edit(project / LOANS)
    result = context.build_result(QUERY, project)
    assert result.warnings == [freshness.warning([LOANS])] and read.count("loans.py") == reads + 1


def test_without_the_search_index_a_later_time_tells(project):
    (project / ".vestra" / "search.db").unlink()
    assert context.build_result(QUERY, project).warnings == []
    loans = project / LOANS
    loans.write_text(loans.read_text() + "\n")
    result = context.build_result(QUERY, project)
    assert result.warnings[-1] == freshness.warning([LOANS])
    assert f"# {LOANS}::" not in result.block


def test_search_leaves_out_the_ranges_of_changed_files(project):
    before = {f["path"]: f["symbols"] for f in context.search("overdue loans", project)}
    assert before[LOANS]
    loans = project / LOANS
    loans.write_text("# moved\n" + loans.read_text())
    ranked, warnings = context.search_result("overdue loans", project)
    after = {f["path"]: f["symbols"] for f in ranked}
    assert after[LOANS] == [] and warnings == [freshness.warning([LOANS])]
    assert {p: s for p, s in after.items() if p != LOANS} == {p: s for p, s in before.items() if p != LOANS}


@pytest.mark.parametrize(
    "changed, text",
    [
        (["a.py"], "1 file changed since indexing (a.py):"),
        (["a", "b", "c", "d", "e"], "5 files changed since indexing (a, b, c, d, e):"),
        (["a", "b", "c", "d", "e", "f", "g"], "7 files changed since indexing (a, b, c, d, e and 2 more):"),
    ],
)
def test_the_warning_names_a_few_files(changed, text):
    assert freshness.warning(changed).startswith(text)


def test_positions_are_taken_out_of_the_view_and_graph_only():
    view = {"a.py": {"description": "A.", "functions": {"f": {"lines": [3, 9], "params": ["x"]}, "g": "odd"}},
            "b.py": {"functions": {"h": {"lines": [1, 2]}}}}
    graph = {"generation": "x", "nodes": [
        {"id": "a.py", "kind": "file", "path": "a.py"},
        {"id": "a.py::f", "kind": "symbol", "path": "a.py", "name": "f", "line_start": 3, "line_end": 9},
        {"id": "b.py::h", "kind": "symbol", "path": "b.py", "name": "h", "line_start": 1, "line_end": 2},
        {"kind": "symbol", "path": ["not", "hashable"]},
    ], "edges": []}
    new_view, new_graph = freshness.without_positions(view, graph, ["a.py"])
    assert new_view["a.py"] == {"description": "A.", "functions": {"f": {"params": ["x"]}, "g": "odd"}}
    assert new_view["b.py"] is view["b.py"]
    assert [n.get("id") for n in new_graph["nodes"]] == ["a.py", "b.py::h", None]
    assert view["a.py"]["functions"]["f"]["lines"] == [3, 9] and len(graph["nodes"]) == 4  # inputs untouched
    assert freshness.without_positions(view, graph, []) == (view, graph)


def test_a_fifo_in_place_of_a_file_of_the_same_size_and_time_is_a_change(tmp_path):
    from tarnwick import vx

    (tmp_path / "a.py").write_text("def f():\n    return 1\n")
    empty = tmp_path / "empty.py"
    empty.write_text("")
    for path in (tmp_path / "a.py", empty):
        os.utime(path, ns=(10**18, 10**18))
    index_project(tmp_path, jobs=1, progress=False)
    empty.unlink()
    os.mkfifo(empty)
    os.utime(empty, ns=(10**18, 10**18))
    with vx.project(tmp_path):
        graph = vx.load_graph()
    assert freshness.changed_files(tmp_path, ["a.py", "empty.py", "a.py"], graph) == ["empty.py"]
