"""An index without the graph file: the search index holds the graph in
parts, an update makes the graph's text of the changed files alone, and
the result is what a full run writes, however the runs switch between
writing `graph.json` and not."""

from __future__ import annotations

import json
import shutil
import sqlite3

import pytest

from random_trees import Tree, outputs
from tarnwick.datadir import read_manifest
from tarnwick.indexer import index_project
from tarnwick.indexer import writer as writer_module

# What names the run or the graph file rather than the graph: left out when
# an index with a graph file is compared with one without.
FILE_ONLY = ("graph.json", "digests.json")


def _full_copy(source, target, graph_file):
    shutil.copytree(source, target, ignore=shutil.ignore_patterns(".vestra"))
    index_project(target, jobs=1, full=True, progress=False, graph_file=graph_file)
    return outputs(target, decoded=True)


def _differences(a: dict, b: dict, leave_out=()) -> list:
    return [name for name in sorted(a.keys() | b.keys()) if name not in leave_out and a.get(name) != b.get(name)]


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


@pytest.mark.parametrize("seed", range(4))
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
        expected = _full_copy(tree.root, tmp_path / f"full{round_}", False)
        assert _differences(got, expected) == [], history
        # The same search index as a run that writes the graph file, which
        # the recorded size matches byte for byte.
        with_file = _full_copy(tree.root, tmp_path / f"file{round_}", True)
        assert _differences(_without_size(got), with_file, FILE_ONLY) == [], history
        assert _meta(tree.root)["size"] == (tmp_path / f"file{round_}/.vestra/graph.json").stat().st_size
        if round_ == 4:
            assert run_made == ["file"], run_made
    # An update of a few files never wrote the graph's text.
    monkeypatch.undo()
    made = _graph_made(monkeypatch)
    tree.write("py", tree.rng.choice(tree.modules["py"]))
    index_project(tree.root, jobs=1, progress=False, graph_file=False)
    assert made == ["counted"]
    assert _differences(outputs(tree.root, decoded=True), _full_copy(tree.root, tmp_path / "last", False)) == []


def test_the_graph_file_comes_and_goes_as_asked_and_stays_as_the_last_run_left_it(tmp_path):
    tree = Tree(tmp_path / "live", 7)
    root = tree.root
    graph = root / ".vestra/graph.json"
    steps = [
        # (graph_file asked, edit first, graph file after)
        (None, False, False),  # a new index: none
        (True, False, True),  # asked for, with nothing changed
        (None, True, True),  # kept on by later runs
        (None, False, True),
        (False, False, False),  # taken away, with nothing changed
        (None, True, False),
        (True, True, True),
    ]
    for asked, edit, present in steps:
        if edit:
            tree.change()
        index_project(root, jobs=1, progress=False, graph_file=asked)
        assert graph.exists() == present, (asked, edit)
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
        expected = _full_copy(root, tmp_path / f"full{len(list(tmp_path.iterdir()))}", present)
        assert _differences(outputs(root, decoded=True), expected) == [], (asked, edit)


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
    assert _differences(outputs(tree.root, decoded=True), _full_copy(tree.root, tmp_path / "full", False)) == []


# A reused file's nodes (1) or "contains" edges (2) forged under a checksum
# that vouches for them: text that is not a block of values, empty ones too.
FORGED_TEXTS = [(1, '{"id":"a.py",'), (2, "]"), (1, " "), (2, "\n"), (1, '{"id":"a.py"}],[{}')]


@pytest.mark.parametrize("forged", FORGED_TEXTS)
def test_a_forged_text_made_anew_in_a_counted_graph_is_parsed(tmp_path, monkeypatch, forged):
    import zlib

    from tarnwick.indexer import cache as cache_module
    from tarnwick.indexer.cache_db import checksum

    root = tmp_path / "p"
    root.mkdir()
    for i in range(6):
        (root / f"m{i}.py").write_text(f"def f{i}(x):\n    return x\n")
    (root / "a.py").write_text("import d\n\ndef f():\n    return d.g()\n")
    index_project(root, jobs=1, progress=False, graph_file=False)
    db = sqlite3.connect(root / ".vestra/index-cache.db")
    blob, docs, links, head = db.execute("SELECT result, docs, links, head FROM files WHERE path = 'a.py'").fetchone()
    fields, texts = cache_module.unpack_parts(blob)
    texts[forged[0]] = forged[1]
    blob = cache_module.pack_parts(fields, texts)
    db.execute("UPDATE files SET result = ?, checksum = ? WHERE path = 'a.py'", (blob, checksum(blob, zlib.decompress(docs), head, links)))
    db.commit()
    db.close()
    # d.py comes: a.py is resolved again and its blocks made from its row.
    (root / "d.py").write_text("def g():\n    return 1\n")
    again = index_project(root, jobs=1, progress=False, graph_file=False)
    # Found before anything was placed: the run started again from scratch.
    assert again.reused == 0
    assert _differences(outputs(root, decoded=True), _full_copy(root, tmp_path / "full", False)) == []


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
    assert _differences(outputs(tree.root, decoded=True), _full_copy(tree.root, tmp_path / "full", False)) == []


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


def test_a_graph_file_removed_by_hand_is_not_written_again_unless_asked(tmp_path):
    tree = Tree(tmp_path / "live", 13)
    graph = tree.root / ".vestra/graph.json"
    index_project(tree.root, jobs=1, progress=False, graph_file=True)
    graph.unlink()
    tree.change()
    index_project(tree.root, jobs=1, progress=False, graph_file=None)
    assert not graph.exists() and "graph.json" not in read_manifest(tree.root)["files"]
    index_project(tree.root, jobs=1, progress=False, graph_file=True)
    assert graph.exists() and "graph.json" in read_manifest(tree.root)["files"]
