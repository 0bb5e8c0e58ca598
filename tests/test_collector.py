"""The collector held off around large loads, and what an indexing run's
loads made kept out of its later collections."""

from __future__ import annotations

import gc
import weakref

import pytest

from tarnwick.collector import paused, settling
from tarnwick.indexer import index_project


class _Node:
    pass


def _cycle():
    node = _Node()
    node.self = node
    return node


@pytest.fixture(autouse=True)
def _thawed():
    gc.unfreeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize("wanted", [True, False])
def test_what_a_paused_block_made_is_frozen_only_while_settling(wanted):
    with settling(wanted):
        with paused():
            made = [_Node() for _ in range(100)]
        assert (gc.get_freeze_count() >= len(made)) == wanted
        assert gc.isenabled()
    assert gc.get_freeze_count() == 0


def test_paused_alone_freezes_nothing():
    with paused():
        made = [_Node() for _ in range(100)]
    assert gc.get_freeze_count() == 0 and len(made) == 100


def test_a_freeze_of_the_process_that_runs_us_is_left_as_it_is():
    kept = [_Node() for _ in range(10)]
    gc.freeze()
    before = gc.get_freeze_count()
    with settling():
        with paused():
            made = [_Node() for _ in range(100)]
        assert gc.get_freeze_count() == before
    assert gc.get_freeze_count() == before and kept and made


@pytest.mark.parametrize("fails", [False, True])
def test_nested_settling_thaws_once_at_the_outer_end_even_on_failure(fails):
    try:
        with settling():
            with settling():
                with paused():
                    made = _Node()
            assert gc.get_freeze_count() > 0  # the inner end thaws nothing
            if fails:
                raise KeyError
    except KeyError:
        pass
    assert gc.get_freeze_count() == 0 and made


def test_a_cycle_dropped_while_frozen_is_freed_once_thawed():
    with settling():
        with paused():
            cycle = _cycle()
        gone = weakref.ref(cycle)
        del cycle
        gc.collect()
        assert gone() is not None  # frozen: no collection looks at it
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("full", [False, True])
def test_an_indexing_run_leaves_nothing_frozen(tmp_path, monkeypatch, full):
    # An incremental run freezes what its loads made and thaws it; a full run never freezes.
    for i in range(3):
        (tmp_path / f"m{i}.py").write_text(f"def f{i}():\n    return {i}\n")
    index_project(tmp_path, jobs=1)
    (tmp_path / "m1.py").write_text("def f1():\n    return 9\n")
    freezes = []
    freeze = gc.freeze
    monkeypatch.setattr(gc, "freeze", lambda: (freezes.append(1), freeze())[1])
    index_project(tmp_path, jobs=1, full=full)
    assert gc.get_freeze_count() == 0
    assert bool(freezes) != full
