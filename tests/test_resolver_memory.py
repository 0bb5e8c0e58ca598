"""The Python resolver's bounded memos: forgetting a module lookup or a
file's defined names must change no edge and no key a resolution read,
whether the run is full or incremental."""

from __future__ import annotations

import sqlite3

import pytest

from random_trees import Tree, outputs
from tarnwick.indexer import index_project, resolve_python
from tarnwick.indexer.cache_db import unpack_links


def _cache_rows(root) -> dict:
    """Each file's links (edges and keys read) and the reverse `reads`
    table, in stored order: what the next run's re-resolution is planned from."""
    db = sqlite3.connect(f"file:{root / '.vestra' / 'index-cache.db'}?mode=ro", uri=True)
    try:
        links = {
            path: unpack_links(blob, 5, with_reads=True)
            for path, blob in db.execute("SELECT path, links FROM files WHERE links IS NOT NULL ORDER BY path")
        }
        reads = db.execute("SELECT key, path FROM reads").fetchall()
    finally:
        db.close()
    return {"links": links, "reads": reads}


def _forgetful(monkeypatch) -> None:
    # Every lookup is made anew and every file's names are read again.
    monkeypatch.setattr(resolve_python, "MEMO_LIMIT", 1)
    monkeypatch.setattr(resolve_python, "DEFINED_LIMIT", 1)


def _indexed_series(root, seed: int, changes: int) -> list:
    tree = Tree(root, seed, files=30)
    index_project(tree.root, jobs=1, progress=False)
    seen = [(outputs(tree.root), _cache_rows(tree.root))]
    for _ in range(changes):
        tree.change()
        index_project(tree.root, jobs=1, progress=False)
        seen.append((outputs(tree.root, decoded=True), _cache_rows(tree.root)))
    return seen


@pytest.mark.parametrize("seed", range(4))
def test_forgotten_memos_change_no_edge_and_no_key_read(tmp_path, monkeypatch, seed):
    remembering = _indexed_series(tmp_path / "a", seed, 4)
    _forgetful(monkeypatch)
    forgetting = _indexed_series(tmp_path / "b", seed, 4)
    assert len(forgetting) == len(remembering)
    for step, (got, expected) in enumerate(zip(forgetting, remembering)):
        assert got[1] == expected[1], step
        assert got[0] == expected[0], step
    # The trees do resolve edges that go through other files' imports.
    assert any(keys for _, keys in remembering[-1][1]["links"].values())


def test_a_memo_forgets_at_its_limit_and_answers_as_before(monkeypatch):
    paths = ["pkg/__init__.py", "pkg/a.py", "pkg/b.py", "pkg/c.py"]
    monkeypatch.setattr(resolve_python, "MEMO_LIMIT", 2)
    resolver = resolve_python.Resolver(paths, {})
    first = [resolver.module_file("pkg/a.py", 1, name) for name in ("b", "c", "d")]
    assert len(resolver._module_cache) == 1  # full at two: forgotten before the third answer
    assert first == ["pkg/b.py", "pkg/c.py", None]
    resolver._reads = [set()]
    assert resolver.module_file("pkg/a.py", 1, "b") == "pkg/b.py"
    assert resolver._reads[0] == {"?b"}
    # One string per key however often it was made.
    assert resolver._reads[0].pop() is resolver._key("?b")
