"""The index is a function of the tree: an incremental run writes what a full
run writes after any series of changes, and the same tree gives the same
bytes whatever the hash seed and the number of worker processes."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys

import pytest

from random_trees import Tree, figures, outputs
from random_trees import differences as _differences
from random_trees import full_copy as _full_copy
from tarnwick.indexer import index_project


@pytest.mark.parametrize("seed", range(6))
def test_incremental_runs_equal_full_runs_over_random_changes(tmp_path, seed):
    tree = Tree(tmp_path / "live", seed)
    index_project(tree.root, jobs=1, progress=False)
    history = []
    for round_ in range(5):
        # Changes land right after the previous run: same-size edits in the
        # same clock tick are caught only by the content hash.  The last
        # round changes many files at once.
        history += [tree.change() for _ in range(tree.rng.randint(1, 5) if round_ < 4 else 20)]
        incremental = index_project(tree.root, jobs=1, progress=False)
        got = outputs(tree.root, decoded=True)
        full_figures = []
        expected = _full_copy(tree.root, tmp_path / f"full{round_}", full_figures)
        assert _differences(got, expected) == [], history
        # The counts of the files taken over come from their rows' shared heads.
        assert figures(incremental) == full_figures[0], history
        assert incremental.reused >= 1 or round_ == 4


def test_a_rename_moves_the_edges_that_named_the_old_file(tmp_path):
    tree = Tree(tmp_path / "live", seed=99, files=8)
    index_project(tree.root, jobs=1, progress=False)
    (tree.root / "pkg/user.py").write_text("from pkg import target\n\ndef use():\n    return target.helper(1)\n")
    (tree.root / "pkg/target.py").write_text("def helper(x):\n    return x\n")
    index_project(tree.root, jobs=1, progress=False)
    assert b'"from":"pkg/user.py","to":"pkg/target.py","rel":"imports"' in outputs(tree.root)["graph.json"]
    os.rename(tree.root / "pkg/target.py", tree.root / "pkg/moved.py")
    index_project(tree.root, jobs=1, progress=False)
    got = outputs(tree.root, decoded=True)
    assert b"pkg/target.py" not in got["graph.json"]
    assert _differences(got, _full_copy(tree.root, tmp_path / "full")) == []


def _index_in_process(root, seed: str, jobs: int) -> None:
    env = dict(os.environ, PYTHONHASHSEED=seed)
    done = subprocess.run(
        [sys.executable, "-m", "tarnwick.cli.index", "-q", "--full", "-j", str(jobs), str(root)],
        env=env, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stderr


def test_same_bytes_under_any_hash_seed_and_any_jobs(tmp_path):
    # Enough files for the worker pool; CommonJS requires inside functions
    # were once listed in an order that changed from process to process.
    tree = Tree(tmp_path / "a", seed=7, files=64)
    shutil.copytree(tree.root, tmp_path / "b")
    _index_in_process(tmp_path / "a", "0", 1)
    _index_in_process(tmp_path / "b", "4242", 2)
    first, second = outputs(tmp_path / "a"), outputs(tmp_path / "b")
    assert _differences(first, second) == []
    # The tree does hold JavaScript files with several requires to order.
    assert any(line.startswith(b'"js/') and line.count(b'"module":"./') >= 2
               for line in first["structured_summaries.json"].splitlines())


KILLED_RUN = """
import os, signal, sys
from tarnwick.indexer import run

def killed(*args, **kwargs):
    os.kill(os.getpid(), signal.SIGKILL)

setattr(run, sys.argv[2], killed)
run.index_project(sys.argv[1], jobs=1, progress=False)
"""


# Killed before anything is placed (the cache's rows written, not committed),
# and once the outputs are placed but before the cache commits.
@pytest.mark.parametrize("point", ["publish", "record_identities"])
def test_a_run_killed_while_writing_leaves_what_the_next_run_mends(tmp_path, point):
    tree = Tree(tmp_path / "live", seed=5)
    index_project(tree.root, jobs=1, progress=False)
    before = outputs(tree.root, decoded=True)
    history = [tree.change() for _ in range(4)]
    killed = subprocess.run([sys.executable, "-c", KILLED_RUN, str(tree.root), point], capture_output=True, timeout=300)
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    if point == "publish":
        assert _differences(outputs(tree.root, decoded=True), before) == []
    index_project(tree.root, jobs=1, progress=False)
    assert _differences(outputs(tree.root, decoded=True), _full_copy(tree.root, tmp_path / "full")) == [], history
