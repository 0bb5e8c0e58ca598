"""`tarnwick index --watch` indexes again once edits hold still, and ends
with one line and status 130 at Ctrl-C."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tarnwick.cli import watch

TARNWICK = Path(sys.executable).with_name("tarnwick")


def _touch(root: Path, rel: str, text: str = "x = 1\n") -> None:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


class Stop(Exception):
    pass


def _runs(root: Path, steps: dict, ticks: int) -> list[int]:
    """The ticks (sleeps) after which `watch` indexed, when ``steps`` maps a
    tick to the edits made during it."""
    clock, runs = [0], []

    def sleep(seconds):
        clock[0] += 1
        if clock[0] > ticks:
            raise Stop
        for edit in steps.get(clock[0], ()):
            edit(root)

    with pytest.raises(Stop):
        watch.watch(str(root), lambda: runs.append(clock[0]), sleep=sleep)
    return runs


def edit(rel):
    """An edit that grows the file: two within one tick of the file clock still show."""

    def grow(root):
        path = root / rel
        _touch(root, rel, (path.read_text() if path.exists() else "") + "x = 1\n")

    return grow


def restored(rel):
    """An edit of the same size whose modification time is put back (`touch
    -r`, `cp -p`), a clock tick after the file was written."""

    def rewrite(root):
        path = root / rel
        before = path.stat()
        time.sleep(0.05)
        path.write_text(path.read_text().replace("1", "2"))
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))

    return rewrite


@pytest.mark.parametrize(
    "steps, runs",
    [
        ({}, []),
        ({1: [edit("a.py")]}, [2]),  # seen at tick 1, still at tick 2: one run
        ({1: [edit("a.py")], 2: [edit("b.py")], 3: [edit("a.py")]}, [4]),  # a burst makes one run
        ({1: [edit("a.py")], 6: [lambda root: (root / "a.py").unlink()]}, [2, 7]),  # a deletion counts
        ({1: [edit("new/c.py")]}, [2]),  # so does a new file in a new folder
        ({1: [edit(".vestra/graph.json"), edit(".git/HEAD"), edit("node_modules/m/i.js")]}, []),  # never read
        ({1: [restored("a.py")]}, [2]),  # the same size, its time put back: its change time moved
    ],
)
def test_edits_are_indexed_once_they_hold_still(tmp_path, steps, runs):
    _touch(tmp_path, "a.py")
    assert _runs(tmp_path, steps, ticks=10) == runs


def test_an_edit_during_a_run_makes_another(tmp_path):
    _touch(tmp_path, "a.py")
    runs = []

    def index_once():
        runs.append(len(runs))
        if len(runs) == 1:
            _touch(tmp_path, "a.py", "x = 22\n")  # another size: the same tick may hold both edits

    sleeps = iter([lambda: _touch(tmp_path, "a.py", "x = 3\n")] + [lambda: None] * 4)

    def sleep(seconds):
        try:
            next(sleeps)()
        except StopIteration:
            raise Stop from None

    with pytest.raises(Stop):
        watch.watch(str(tmp_path), index_once, sleep=sleep)
    assert runs == [0, 1]


def _read_line(stream, deadline: float) -> str:
    os.set_blocking(stream.fileno(), False)
    buffer = ""
    while time.monotonic() < deadline:
        chunk = stream.readline()
        if chunk:
            buffer += chunk
            if buffer.endswith("\n"):
                return buffer
        else:
            time.sleep(0.05)
    raise AssertionError(f"no line within the deadline (got {buffer!r})")


@pytest.mark.skipif(not TARNWICK.exists(), reason="the tarnwick command is not installed")
def test_the_watch_picks_up_an_edit_and_ends_at_ctrl_c(tmp_path):
    _touch(tmp_path, "app.py", "def first():\n    return 1\n")
    process = subprocess.Popen(
        [str(TARNWICK), "index", "--watch", "-j", "1", str(tmp_path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # A suite started with SIGINT ignored (`nohup ... &`) would hand that on: the
        # command gets Ctrl-C as it does from an interactive shell.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        deadline = time.monotonic() + 60
        assert ": 1 function," in _read_line(process.stdout, deadline)
        _touch(tmp_path, "app.py", "def first():\n    return 1\n\n\ndef second():\n    return 2\n")
        assert ": 2 functions" in _read_line(process.stdout, deadline)
        process.send_signal(signal.SIGINT)
        assert process.wait(60) == 130
    finally:
        process.kill()
        process.wait()
    err = process.stderr.read()
    assert err == f"tarnwick: watching {tmp_path} for changes; Ctrl-C ends\ntarnwick: interrupted\n"
