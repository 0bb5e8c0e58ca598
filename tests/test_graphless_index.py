"""An index without the graph file: the search index holds the graph in
parts, an update makes the graph's text of the changed files alone, and
the result is what a full run writes, however the runs switch between
writing `graph.json` and not."""

from __future__ import annotations

import json
import shutil
import sqlite3

import pytest

from random_trees import Tree, differences, full_copy, outputs
from tarnwick.datadir import read_manifest
from tarnwick.indexer import index_project
from tarnwick.indexer import writer as writer_module

# What names the run or the graph file rather than the graph: left out when
# an index with a graph file is compared with one without.
FILE_ONLY = ("graph.json", "digests.json")


def _without_size(found: dict) -> dict:
    """`found` with the recorded graph size left out of the search index's
    `meta` (compared with the graph file's size on its own)."""
    return {**found, "search.db:meta": [row for row in found["search.db:meta"] if row[0] != "size"]}


def _graph_made(monkeypatch) -> list:
    """Per run, how the graph was staged: "file" (a temporary) or "counted"."""
    made = []
    real_counted, real_staged = writer_module._Counted.__init__, writer_module._Staged.__init__

    def counted(self, name):
        made.append("counted")
        real_counted(self, name)

    def staged(self, data_dir, name):
        if name == "graph.json":
            made.append("file")
        real_staged(self, data_dir, name)

    monkeypatch.setattr(writer_module._Counted, "__init__", counted)
    monkeypatch.setattr(writer_module._Staged, "__init__", staged)
    return made


def _meta(root) -> dict:
    db = sqlite3.connect(f"file:{root / '.vestra/search.db'}?mode=ro", uri=True)
    try:
        return dict(db.execute("SELECT key, value FROM meta"))
    finally:
        db.close()


def _leftovers(root) -> list:
    return sorted(p.name for p in (root / ".vestra").iterdir() if p.name.endswith(".tmp"))


@pytest.mark.parametrize("seed", range(3))
def test_runs_without_the_graph_file_equal_full_runs_over_random_changes(tmp_path, seed, monkeypatch):
    made = _graph_made(monkeypatch)
    tree = Tree(tmp_path / "live", seed)
    index_project(tree.root, jobs=1, progress=False, graph_file=False)
    history = []
    for round_ in range(5):
        # Small change sets are updates (the graph merely counted); the
        # last round's many changes build the search index from a graph
        # staged whole and then dropped.
        history += [tree.change() for _ in range(tree.rng.randint(1, 3) if round_ < 4 else 20)]
        del made[:]
        index_project(tree.root, jobs=1, progress=False, graph_file=False)
        run_made = list(made)
        got = outputs(tree.root, decoded=True)
        assert not (tree.root / ".vestra/graph.json").exists()
        assert _leftovers(tree.root) == []
        expected = full_copy(tree.root, tmp_path / f"full{round_}", graph_file=False)
        assert differences(got, expected) == [], history
        # The same search index as a run that writes the graph file, which
        # the recorded size matches byte for byte.
        with_file = full_copy(tree.root, tmp_path / f"file{round_}", graph_file=True)
        assert differences(_without_size(got), with_file, FILE_ONLY) == [], history
        assert _meta(tree.root)["size"] == (tmp_path / f"file{round_}/.vestra/graph.json").stat().st_size
        if round_ == 4:
            assert run_made == ["file"], run_made
    # An update of a few files never wrote the graph's text.
    monkeypatch.undo()
    made = _graph_made(monkeypatch)
    tree.write("py", tree.rng.choice(tree.modules["py"]))
    index_project(tree.root, jobs=1, progress=False, graph_file=False)
    assert made == ["counted"]
    assert differences(outputs(tree.root, decoded=True), full_copy(tree.root, tmp_path / "last", graph_file=False)) == []


def test_the_graph_file_comes_and_goes_as_asked_and_stays_as_the_last_run_left_it(tmp_path):
    tree = Tree(tmp_path / "live", 7)
    root = tree.root
    graph = root / ".vestra/graph.json"
    steps = [
        # (graph_file asked, what happens first, graph file after)
        (None, None, False),  # a new index: none
        (True, None, True),  # asked for, with nothing changed
        (None, "edit", True),  # kept on by later runs
        (None, None, True),
        (False, None, False),  # taken away, with nothing changed
        (None, "edit", False),
        (True, "edit", True),
        (None, "remove", False),  # removed by hand: not written again unless asked
    ]
    for asked, first, present in steps:
        if first == "edit":
            tree.change()
        elif first == "remove":
            graph.unlink()
            tree.change()
        index_project(root, jobs=1, progress=False, graph_file=asked)
        assert graph.exists() == present, (asked, first)
        manifest = read_manifest(root)
        assert ("graph.json" in manifest["files"]) == present
        assert sorted(json.loads((root / ".vestra/digests.json").read_text())["files"]) == sorted(manifest["files"])
        meta = _meta(root)
        assert meta["generation"] == manifest["generation"]
        if present:
            info = graph.stat()
            assert (meta["inode"], meta["size"], meta["ctime_ns"]) == (info.st_ino, info.st_size, info.st_ctime_ns)
        else:
            assert (meta["device"], meta["inode"], meta["mtime_ns"], meta["ctime_ns"]) == (None,) * 4
        expected = full_copy(root, tmp_path / f"full{len(list(tmp_path.iterdir()))}", graph_file=present)
        assert differences(outputs(root, decoded=True), expected) == [], (asked, first)


def test_an_update_that_needs_the_graph_whole_is_made_again_with_it(tmp_path, monkeypatch):
    # The search index cannot be updated (as when the last one is of
    # another version): its build reads the graph a file at a time, which
    # a counted graph does not have; the run starts again with the graph
    # staged and writes what a full run writes.
    from tarnwick.indexer import publish as publish_module

    tree = Tree(tmp_path / "live", 3)
    index_project(tree.root, jobs=1, progress=False, graph_file=False)
    tree.write("py", tree.modules["py"][0])
    made = _graph_made(monkeypatch)
    monkeypatch.setattr(publish_module, "update_index", lambda *args, **kwargs: None)
    index_project(tree.root, jobs=1, progress=False, graph_file=False)
    assert made == ["counted", "file"]
    monkeypatch.undo()
    assert _leftovers(tree.root) == [] and not (tree.root / ".vestra/graph.json").exists()
    assert differences(outputs(tree.root, decoded=True), full_copy(tree.root, tmp_path / "full", graph_file=False)) == []


def test_a_run_stopped_right_after_taking_the_graph_file_away_leaves_an_index_that_belongs_together(tmp_path, monkeypatch):
    from tarnwick.indexer import publish as publish_module

    tree = Tree(tmp_path / "live", 5)
    index_project(tree.root, jobs=1, progress=False, graph_file=True)
    before = read_manifest(tree.root)
    tree.change()
    real = publish_module._remove_graph_file

    def remove_then_stop(data_dir):
        real(data_dir)
        raise KeyboardInterrupt

    monkeypatch.setattr(publish_module, "_remove_graph_file", remove_then_stop)
    with pytest.raises(KeyboardInterrupt):
        index_project(tree.root, jobs=1, progress=False, graph_file=False)
    monkeypatch.undo()
    # The last run's store and search index, of one generation, nothing staged left.
    assert read_manifest(tree.root) == before
    assert _meta(tree.root)["generation"] == before["generation"]
    assert not (tree.root / ".vestra/graph.json").exists() and _leftovers(tree.root) == []
    # The next run mends it into what a full run writes.
    index_project(tree.root, jobs=1, progress=False, graph_file=False)
    assert differences(outputs(tree.root, decoded=True), full_copy(tree.root, tmp_path / "full", graph_file=False)) == []


def test_a_copied_project_without_a_graph_file_has_its_store_vouched_for_again(tmp_path, monkeypatch):
    # A copy keeps the bytes but not the inodes and change times by which
    # queries skip hashing the store; a run that finds nothing changed
    # records them again, and the queries after it hash nothing.
    from tarnwick import datadir
    from tarnwick.datadir import file_identity, mixed_set_problem

    tree = Tree(tmp_path / "live", 11)
    index_project(tree.root, jobs=1, progress=False, graph_file=False)
    copy = tmp_path / "copy"
    shutil.copytree(tree.root, copy)
    store = copy / ".vestra/structured_summaries.json"

    def recorded():
        return read_manifest(copy, "identities.json")["files"]

    assert recorded()["structured_summaries.json"] != file_identity(store.stat())
    stats = index_project(copy, jobs=1, progress=False, graph_file=None)
    assert stats.unchanged == stats.files and not (copy / ".vestra/graph.json").exists()
    assert recorded() == {"structured_summaries.json": file_identity(store.stat())}
    hashed = []
    real = datadir.digest_holds
    monkeypatch.setattr(datadir, "digest_holds", lambda *args, **kwargs: hashed.append(args[1]) or real(*args, **kwargs))
    assert mixed_set_problem(copy, None) is None and hashed == []
