"""A full run starts its parsing workers before the walk (so they do not
carry a copy of its listing): they are the ones that parse, they are
stopped however the run ends, and the index is the one a single process
writes."""

from __future__ import annotations

import multiprocessing

import pytest

from random_trees import Tree, outputs
from tarnwick.indexer import index_project, pool
from tarnwick.indexer import run as indexer_run


def _watch_the_walk(monkeypatch) -> list:
    """The number of live workers each time the walk starts."""
    seen = []
    real = indexer_run.walk_project

    def walk(*args, **kwargs):
        seen.append(len(multiprocessing.active_children()))
        return real(*args, **kwargs)

    monkeypatch.setattr(indexer_run, "walk_project", walk)
    return seen


def _count_starts(monkeypatch) -> list:
    started = []
    real = pool._Worker.__init__

    def init(self, *args):
        started.append(1)
        real(self, *args)

    monkeypatch.setattr(pool._Worker, "__init__", init)
    return started


@pytest.mark.parametrize(
    "files, full, at_walk",
    [
        (60, True, 2),  # started early and used
        (10, True, 2),  # started early, stopped for a serial parse of a few files
        (60, False, 0),  # an incremental run starts them when it knows it needs them
    ],
)
def test_a_full_runs_workers_start_before_the_walk_and_give_the_same_index(tmp_path, monkeypatch, files, full, at_walk):
    tree = Tree(tmp_path / "a", seed=5, files=files)
    single = Tree(tmp_path / "b", seed=5, files=files)
    index_project(single.root, jobs=1, full=True, progress=False)
    seen = _watch_the_walk(monkeypatch)
    started = _count_starts(monkeypatch)
    index_project(tree.root, jobs=2, full=full, progress=False)
    assert seen == [at_walk]
    # The early workers parse: none is started again for the same run.
    assert len(started) == (2 if full or files >= indexer_run.PARALLEL_MIN_FILES else 0)
    assert multiprocessing.active_children() == []
    assert outputs(tree.root) == outputs(single.root)


def test_a_run_that_fails_in_its_walk_stops_its_early_workers(tmp_path, monkeypatch):
    Tree(tmp_path, seed=1, files=8)

    def failing_walk(*args, **kwargs):
        assert len(multiprocessing.active_children()) == 2
        raise OSError("the disk went away")

    monkeypatch.setattr(indexer_run, "walk_project", failing_walk)
    with pytest.raises(OSError, match="the disk went away"):
        index_project(tmp_path, jobs=2, full=True, progress=False)
    assert multiprocessing.active_children() == []
