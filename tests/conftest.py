import os
import signal
import sys
import traceback
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

import tarnwick.context_packer as context_packer_module

SOURCE_FILE = "src/tarnwick/context_packer"

# Property-based tests: a quick profile for every run, and a long one for hunting
# (TARNWICK_HYPOTHESIS_PROFILE=long).
settings.register_profile(
    "ci",
    max_examples=100,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
settings.register_profile("long", max_examples=20000, deadline=None, suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("TARNWICK_HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture
def cp():
    return context_packer_module


def module_entries(exc):
    """(function name, line) of the traceback entries the extension added, outermost first."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == SOURCE_FILE
    ]


class Hung(Exception):
    pass


@pytest.fixture
def no_hang():
    """A read that would block fails the test after a few seconds instead of hanging the run."""
    def alarm(signum, frame):
        raise Hung
    previous = signal.signal(signal.SIGALRM, alarm)
    signal.alarm(10)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


_swaps = {}  # path -> the link target that replaces it when it is next opened
_hooked = []


def _swap_on_open(event, args):
    if event == "open" and _swaps and isinstance(args[0], (str, os.PathLike)):
        target = _swaps.pop(os.fspath(args[0]), None)
        if target is not None:
            link = Path(args[0])
            link.with_name(".swap").symlink_to(target)
            os.replace(link.with_name(".swap"), link)


@pytest.fixture
def swap_on_open():
    """swap(path, target): when `path` is next opened, a link to `target` takes its place just
    before the open, as a concurrent process could do right after a check of the path."""
    if not _hooked:
        sys.addaudithook(_swap_on_open)  # hooks stay for the process; this one idles when unarmed
        _hooked.append(True)
    yield lambda path, target: _swaps.__setitem__(os.fspath(path), target)
    _swaps.clear()


def grows_linearly(work, small: int, times: int = 16) -> bool:
    """Whether ``work(n)`` at ``times`` the size takes nearer ``times`` as long
    (linear) than ``times**2`` (quadratic), in CPU time: under ``times**1.5``,
    64 at sixteenfold, where linear work measures about 20 and quadratic work
    about 256.  A ratio, not a limit in seconds, so that a slow (sanitized,
    loaded) machine cannot fail it.  The best of three runs keeps a stray
    pause out of either side, and the cyclic collector is held off while
    measuring: its passes over a heap that grows with n would add a
    superlinear part of their own (about 35 instead of 20)."""
    import gc
    import time

    def best(n):
        spent = []
        for _ in range(3):
            started = time.process_time()
            work(n)
            spent.append(time.process_time() - started)
        return min(spent)

    gc.collect()
    gc.disable()
    try:
        return best(small * times) < times**1.5 * max(best(small), 1e-4)
    finally:
        gc.enable()


def as_a_user(argv):
    """``argv`` run as a user whom file permissions bind (root, without its override)."""
    import shutil

    if os.geteuid() != 0:
        return argv
    if shutil.which("setpriv") is None:
        pytest.skip("needs setpriv to drop root's permission override")
    return ["setpriv", "--bounding-set", "-dac_override,-dac_read_search", *argv]


def copy_indexed(source: Path, target: Path) -> None:
    """Copy an indexed project with its sources older than its graph, as
    they were when it was indexed: a checkout writes `.vestra/` before the
    sources beside it, which a query without its search index would take
    for edits made since."""
    import shutil

    shutil.copytree(source, target)
    graph_ns = (target / ".vestra" / "graph.json").stat().st_mtime_ns
    for path in target.rglob("*"):
        if path.is_file() and ".vestra" not in path.parts:
            os.utime(path, ns=(graph_ns - 10**10, graph_ns - 10**10))


def run_cli(capsys, *argv):
    """(status, stdout, stderr) of `tarnwick ARGV` run in process."""
    from tarnwick.cli.main import main

    try:
        status = main(list(argv))
    except SystemExit as exc:  # argparse: help and usage errors
        status = exc.code
    out, err = capsys.readouterr()
    return status, out, err
