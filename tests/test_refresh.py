"""The commands answer from the code as it is: files changed since indexing
are indexed again first when few in a small project, else named in a
warning; never their old code under their old lines, never an outside file."""

from __future__ import annotations

import json
import sqlite3
import threading
from pathlib import Path

import pytest

from conftest import run_cli
from tarnwick import context, freshness
from tarnwick.cli import refresh
from tarnwick.indexer import TooMuchToIndex, index_project
from tarnwick.indexer.lock import run_lock

from test_freshness import LOANS, QUERY, _delete, _lines_above, _link_outside, project  # noqa: F401 (project: a fixture)


@pytest.mark.parametrize(
    "changed, project_files, quick",
    [
        (1, 7, True),
        (refresh.MAX_CHANGED, refresh.MAX_PROJECT_FILES, True),
        (0, 7, False),  # nothing to do
        (refresh.MAX_CHANGED + 1, 7, False),
        (1, refresh.MAX_PROJECT_FILES + 1, False),
        (1, None, False),  # no search index tells the project's size
    ],
)
def test_indexing_again_is_quick_for_a_few_files_of_a_small_project(changed, project_files, quick):
    assert refresh.quick(changed, project_files) is quick


def _hold_the_lock(root: Path):
    """Another indexing run at work on the project."""
    return run_lock(str(root / ".vestra"))


def _small(monkeypatch):
    monkeypatch.setattr(refresh, "MAX_PROJECT_FILES", 3)


def _few(monkeypatch):
    monkeypatch.setattr(refresh, "MAX_CHANGED", 0)


@pytest.mark.parametrize("change", [_lines_above, _delete, _link_outside])
@pytest.mark.parametrize("bound", [None, _small, _few, _hold_the_lock])
def test_a_changed_file_is_indexed_again_or_named(project, tmp_path, capsys, monkeypatch, change, bound):
    change(project / LOANS, tmp_path / "outside.py")
    held = None
    if bound is _hold_the_lock:
        held = bound(project)
        held.__enter__()
    elif bound is not None:
        bound(monkeypatch)
    try:
        status, out, err = run_cli(capsys, "context", QUERY, "--root", str(project), "--json")
    finally:
        if held is not None:
            held.__exit__(None, None, None)
    block = json.loads(out)["block"]
    assert "SECRET" not in block
    if bound is None:  # indexed again: the answer is whole and current
        assert err == "" and status == 0
        if change is _lines_above:
            assert f"# {LOANS}::is_overdue (lines 35-37)" in block
        else:
            assert LOANS not in block
    else:
        assert err == f"tarnwick: warning: {freshness.warning([LOANS])}\n"
        assert f"# {LOANS}::" not in block


def _data_files(root: Path) -> dict:
    return {p.name: p.read_bytes() for p in (root / ".vestra").iterdir() if p.is_file()}


def _edit_two(root: Path) -> None:
    _lines_above(root / LOANS)
    models = root / "bookshelf" / "models.py"
    models.write_text(models.read_text() + "\n\ndef added_helper():\n    return 1\n")


@pytest.mark.parametrize("most_parsed, stops", [(2, False), (1, True), (0, True)])
def test_a_run_told_how_many_files_it_may_parse_stops_before_writing(project, most_parsed, stops):
    _edit_two(project)
    before = _data_files(project)
    if stops:
        with pytest.raises(TooMuchToIndex, match="^2 files to parse, more than "):
            index_project(project, jobs=1, progress=False, most_parsed=most_parsed)
        assert _data_files(project) == before  # nothing written, no temporary left
    # A run (the next one, when this one stopped) parses the two edited files alone.
    stats = index_project(project, jobs=1, progress=False, most_parsed=None if stops else most_parsed)
    assert stats.files - stats.unchanged == 2
    assert index_project(project, jobs=1, progress=False, most_parsed=0).unchanged == stats.files


def _cache_gone(root: Path) -> None:
    (root / ".vestra" / "index-cache.db").unlink()


def _cache_of_another_build(root: Path) -> None:
    db = sqlite3.connect(root / ".vestra" / "index-cache.db")
    try:
        with db:
            db.execute("UPDATE meta SET value = 'another build' WHERE key = 'signature'")
    finally:
        db.close()


@pytest.mark.parametrize("cache", [None, _cache_gone, _cache_of_another_build])
def test_a_refresh_that_would_parse_the_whole_project_warns_instead(project, capsys, monkeypatch, cache):
    monkeypatch.setattr(refresh, "MAX_PARSED", 3)  # fewer than the project's files, more than its edits
    _lines_above(project / LOANS)
    if cache is not None:
        cache(project)
    before = _data_files(project)
    status, out, err = run_cli(capsys, "context", QUERY, "--root", str(project), "--json")
    block = json.loads(out)["block"]
    if cache is None:
        assert (status, err) == (0, "")
        assert f"# {LOANS}::is_overdue (lines 35-37)" in block
    else:
        assert err == f"tarnwick: warning: {freshness.warning([LOANS])}\n"
        assert f"# {LOANS}::" not in block
        assert _data_files(project) == before


def test_search_indexes_a_changed_file_again(project, capsys):
    loans = project / LOANS
    loans.write_text("# moved\n" * 5 + loans.read_text())
    status, out, err = run_cli(capsys, "search", "overdue loans", "--root", str(project), "--json")
    found = {f["path"]: f["symbols"] for f in json.loads(out)["files"]}
    assert (status, err) == (0, "")
    assert {s["name"]: s["lines"] for s in found[LOANS]}["find_overdue_loans"] == [33, 38]


def test_the_library_only_warns(project):
    _lines_above(project / LOANS, None)
    asked = []
    result = context.build_result(QUERY, project, refresh=lambda changed: asked.append(changed) or False)
    assert asked == [[LOANS]] and result.warnings == [freshness.warning([LOANS])]
    assert context.build_result(QUERY, project).warnings == result.warnings  # no refresh given: nothing written


def test_threads_answering_at_once_share_what_they_read(project):
    queries = [QUERY, "renew a loan", "fine for a late book", "send reminders", "member borrowing limit"]
    expected = {q: context.search(q, project) for q in queries}
    failures = []

    def ask(offset: int) -> None:
        try:
            for i in range(len(queries) * 3):
                q = queries[(i + offset) % len(queries)]
                assert context.search(q, project) == expected[q]
        except BaseException as exc:  # noqa: BLE001 (reported below)
            failures.append(exc)

    threads = [threading.Thread(target=ask, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert failures == []


def test_a_replaced_index_is_read_anew(project):
    """What a process kept of an index is dropped once the index is replaced."""
    assert "bookshelf/ledger_export.py" not in [f["path"] for f in context.search("ledger export", project)]
    (project / "bookshelf" / "ledger_export.py").write_text("def export_ledger_rows():\n    return []\n")
    index_project(project, jobs=1, progress=False)
    assert context.search("ledger export", project)[0]["path"] == "bookshelf/ledger_export.py"
