"""Results taken over unchanged are made only when read: a one-edit run
makes those its resolution follows, and its figures and outputs are a full
run's."""

from __future__ import annotations

import os
import time
from unittest.mock import ANY

import pytest

from random_trees import figures, outputs, write_files
from tarnwick.indexer import index_project
from tarnwick.indexer import run as run_module
from tarnwick.indexer.parsed import Parsed, language_of, languages, of_language
from tarnwick.indexer.result import FileResult

FILES = {
    "pkg/__init__.py": "from .core import run\n",
    "pkg/core.py": "from .util import helper\n\ndef run():\n    return helper()\n",
    "pkg/util.py": "def helper():\n    return 1\n",
    # Two files of one shape share their head: counted twice all the same.
    "pkg/same_a.py": "def same():\n    return 1\n",
    "pkg/same_b.py": "def same():\n    return 1\n",
    "pkg/broken.py": "def (:\n",
    "web/a.js": "const b = require('./b');\nfunction a() { return b.b(); }\nmodule.exports = { a };\n",
    "web/b.js": "function b() { return 2; }\nmodule.exports = { b };\n",
}

# change -> at most how many results taken over are made by the run
CHANGES = {
    "a Python module edited": ({"pkg/util.py": "def helper():\n    return 2\n\ndef more():\n    return 3\n"}, 1),
    "a script edited": ({"web/b.js": "function b() { return 5; }\nfunction c() {}\nmodule.exports = { b, c };\n"}, 1),
    # A file that comes or goes runs every resolver: the scripts' results are made.
    "a file added": ({"pkg/extra.py": "from .core import run\n"}, 2),
    "a file removed": ({"pkg/same_b.py": None}, 2),
    "the broken file mended": ({"pkg/broken.py": "def mended():\n    return 0\n"}, 0),
}


@pytest.mark.parametrize("change", list(CHANGES), ids=list(CHANGES))
def test_a_run_makes_few_results_and_counts_as_a_full_run(tmp_path, monkeypatch, change):
    files, most = CHANGES[change]
    root = tmp_path / "p"
    write_files(root, FILES)
    index_project(root, jobs=1, progress=False)
    write_files(root, files)
    made = []
    real = run_module.taken_over
    monkeypatch.setattr(run_module, "taken_over", lambda path, *rest: made.append(path) or real(path, *rest))
    incremental = index_project(root, jobs=1, progress=False)
    assert len(made) <= most and len(made) == len(set(made)), made  # each made once at most
    got = outputs(root, decoded=True)
    full = index_project(root, jobs=1, progress=False, full=True)
    assert figures(incremental) == figures(full)
    assert outputs(root, decoded=True) == got
    assert incremental.unparsable == ([] if "mended" in change else [("pkg/broken.py", full.unparsable[0][1])])
    assert incremental.unchanged == incremental.files - (0 if "removed" in change else 1)


def _result(path, language):
    result = FileResult(path)
    result.language = language
    return result


def test_parsed_makes_each_result_once_and_tells_languages_without_making_them():
    made = []

    def make(path, fields, digest):
        made.append(path)
        result = _result(path, fields["language"])
        result.digest = digest
        return result

    heads = []  # d.py is held by its language alone: its head fields read when it is
    head = lambda path, language: heads.append(path) or {"language": language}  # noqa: E731
    taken = {"a.py": {"language": "python"}, "b.js": {"language": "javascript"}, "d.py": "python"}
    parsed = Parsed(make, taken, {"a.py": "d1", "b.js": "d2"}, head)
    parsed.add(_result("c.py", "python"))
    assert list(languages(parsed)) == [("a.py", "python"), ("b.js", "javascript"), ("d.py", "python"), ("c.py", "python")]
    assert language_of(parsed, "b.js") == "javascript" and language_of(parsed, "d.py") == "python" and made == heads == []
    assert parsed["d.py"] is parsed["d.py"] and heads == ["d.py"] and made == ["d.py"]
    made.clear()
    assert set(parsed.paths() - {"a.py"}) == {"b.js", "c.py", "d.py"} and "b.js" in parsed and "z.py" not in parsed

    python = of_language(parsed, "python")
    assert "a.py" in python and "c.py" in python and "b.js" not in python and "z.py" not in python
    with pytest.raises(KeyError):
        python["b.js"]
    assert python.get("b.js") is None and made == []
    first = python["a.py"]
    # Made once, and kept by the whole: the same object whichever way it is read.
    assert parsed["a.py"] is first and python["a.py"] is first and first.digest == "d1" and made == ["a.py"]
    assert list(python) == ["a.py", "d.py", "c.py"] and len(python) == 3 and len(parsed) == 4
    # A plain dict of results is read alike.
    plain = {"a.py": _result("a.py", "python"), "b.js": _result("b.js", "javascript")}
    assert list(of_language(plain, "python")) == ["a.py"] and language_of(plain, "b.js") == "javascript"
    assert list(languages(plain)) == [("a.py", "python"), ("b.js", "javascript")]


def _edited(root):
    write_files(root, UTIL_EDITED)


def _saved_by_replacing(root):
    # As editors that write a new file and rename it over the old one do:
    # the folder changes, and the walk lists it again.
    tmp = root / "pkg" / "util.py.tmp"
    tmp.write_text(UTIL_EDITED["pkg/util.py"])
    os.replace(tmp, root / "pkg" / "util.py")


def _row_dropped(root):
    # The count of the rows no longer that of the files the walk vouches for.
    import sqlite3

    db = sqlite3.connect(root / ".vestra" / "index-cache.db")
    db.execute("DELETE FROM files WHERE path = 'pkg/same_a.py'")
    db.commit()
    db.close()
    _edited(root)


def _forged(change):
    """The last run's record forged by `change` (its functions miscounted as
    well, which a run that carried it would show), then one file edited (the
    broken one mended when the record names no error)."""

    def setup(root):
        import json
        import sqlite3

        db = sqlite3.connect(root / ".vestra" / "index-cache.db")
        (text,) = db.execute("SELECT value FROM meta WHERE key = 'run'").fetchone()
        run = json.loads(text)
        db.execute("UPDATE meta SET value = ? WHERE key = 'run'", (json.dumps({**run, **change(run)}),))
        db.commit()
        db.close()
        write_files(root, MENDED if "unparsable" in change(run) and not change(run)["unparsable"] else UTIL_EDITED)

    return setup


UTIL_EDITED = {"pkg/util.py": "def helper():\n    return 2\n"}
MENDED = {"pkg/broken.py": "def mended():\n    return 0\n"}

# How a one-edit run is set up, whether it reads every head (a record that
# does not add up, rows that are not the files') or those of the changed
# files alone, carrying the last run's figures, and how the rows were found
# to be the files': by their count (the walk listed no folder again) or
# by their paths.
RUNS = {
    "an edit in place": (_edited, False, [True]),
    "an edit saved by replacing the file": (_saved_by_replacing, False, [False]),
    "a row dropped": (_row_dropped, True, [True]),
    "its files miscounted": (_forged(lambda run: {"files": run["files"] + 1, "functions": 0}), True, ANY),
    "an unparsable file that is not there": (
        _forged(lambda run: {"unparsable": [*run["unparsable"], ["gone.py", "x"]], "functions": 0}),
        True,
        ANY,
    ),
    "fewer nodes than files": (_forged(lambda run: {"nodes": 1, "functions": 0}), True, ANY),
    "a count that is not a number": (_forged(lambda run: {"functions": "5"}), True, ANY),
    # The edited file's old head says it did not parse; the record disagrees.
    "the edited file's error not on record": (
        _forged(lambda run: {"unparsable": [], "files": run["files"] + 1, "functions": 0}),
        True,
        ANY,
    ),
}


@pytest.mark.parametrize("case", list(RUNS))
def test_the_last_runs_figures_are_carried_only_when_they_add_up(tmp_path, monkeypatch, case):
    from tarnwick.indexer import cache as cache_module
    from tarnwick.indexer import walk_state
    from tarnwick.indexer.cache import Cache

    # Folders and files settle soon, so that a walk may take the listings
    # as kept and vouch for the files it does not name.
    monkeypatch.setattr(walk_state, "SETTLE_NS", 50_000_000)
    monkeypatch.setattr(cache_module, "_RACY_NS", 50_000_000)
    root = tmp_path / "p"
    write_files(root, FILES)
    time.sleep(0.1)
    index_project(root, jobs=1, progress=False)
    time.sleep(0.1)
    index_project(root, jobs=1, progress=False)  # `.vestra/` made, the root settles too
    setup, every_head, listings = RUNS[case]
    setup(root)
    passes, kept, runs = [], [], []
    real_reuse, real_rows, real_index = Cache.reuse_all, Cache.rows_are, run_module._index
    monkeypatch.setattr(Cache, "reuse_all", lambda self: passes.append(1) or real_reuse(self))
    monkeypatch.setattr(Cache, "rows_are", lambda self, paths, listing: kept.append(listing) or real_rows(self, paths, listing))
    monkeypatch.setattr(run_module, "_index", lambda *args, **kw: runs.append(1) or real_index(*args, **kw))
    incremental = index_project(root, jobs=1, progress=False)
    # Every head read or not, and never started again.
    assert len(passes) == (1 if every_head else 0) and len(runs) == 1
    assert listings is ANY or kept == listings
    got = outputs(root, decoded=True)
    full = index_project(root, jobs=1, progress=False, full=True)
    assert figures(incremental) == figures(full) and incremental.unparsable == full.unparsable
    assert outputs(root, decoded=True) == got
