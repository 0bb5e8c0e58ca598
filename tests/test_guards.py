"""The edge case each indexing guard was written for: an edit in the same
tick as the last run, a pattern anchored in a nested .gitignore, a re-run
that finds a data file altered since."""

from __future__ import annotations

import json
import os

import pytest

from tarnwick.indexer import index_project


def write(root, rel, text):
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def summaries(root):
    return json.loads((root / ".vestra" / "structured_summaries.json").read_text())


def test_an_edit_that_keeps_size_and_time_in_the_same_tick_is_read(tmp_path):
    path = write(tmp_path, "a.py", '"""Alpha."""\ndef first(): pass\n')
    index_project(tmp_path, jobs=1)
    before = os.stat(path)
    # Same length, and the clock gives it the very same modification time.
    path.write_text('"""Omega."""\ndef finis(): pass\n')
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert os.stat(path).st_size == before.st_size
    index_project(tmp_path, jobs=1)
    record = summaries(tmp_path)["a.py"]
    assert record["description"] == "Omega." and list(record["functions"]) == ["finis"]


@pytest.mark.parametrize("rel, indexed", [
    ("sub/build.py", False),  # anchored to the folder of the .gitignore that says it
    ("sub/deeper/build.py", True),  # not below it
    ("build.py", True),  # nor above it
    ("other/build.py", True),
    ("sub/run.py", True),
])
def test_an_anchored_pattern_in_a_nested_gitignore(tmp_path, rel, indexed):
    write(tmp_path, "sub/.gitignore", "/build.py\n")
    write(tmp_path, "sub/run.py", "")
    write(tmp_path, rel, "")
    index_project(tmp_path, jobs=1)
    assert (rel in summaries(tmp_path)) == indexed


@pytest.mark.parametrize("name", ["graph.json", "structured_summaries.json"])
@pytest.mark.parametrize("how", ["edited", "removed"])
def test_a_rerun_with_nothing_changed_restores_a_data_file_altered_since(tmp_path, name, how):
    write(tmp_path, "a.py", '"""Alpha."""\nimport b\ndef first(): b.second()\n')
    write(tmp_path, "b.py", '"""Beta."""\ndef second(): pass\n')
    index_project(tmp_path, jobs=1)
    path = tmp_path / ".vestra" / name
    before = json.loads(path.read_text())
    if how == "edited":
        path.write_text(path.read_text().replace("a.py", "z.py"))  # same size, other content
    else:
        path.unlink()
    index_project(tmp_path, jobs=1)
    after = json.loads(path.read_text())
    if name == "graph.json":
        before.pop("generation"), after.pop("generation")
    assert after == before
