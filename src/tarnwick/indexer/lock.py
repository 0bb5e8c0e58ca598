"""One indexing run at a time per project.

Two runs that overlap would each replace some of the data files, and the
set left behind could hold one run's graph beside the other's search index.
A run therefore holds an exclusive lock on the project's data folder itself
(no lock file to leave behind or to plant); the lock goes with the process,
so a killed run never keeps it.  Platforms without `flock` run unguarded.
"""

from __future__ import annotations

import contextlib
import os

try:
    import fcntl
except ImportError:  # not a POSIX platform
    fcntl = None


@contextlib.contextmanager
def run_lock(data_dir: str, on_wait=None):
    """Hold the indexing lock of `data_dir` for the block.  When another run
    holds it, `on_wait()` is called once and the lock is waited for (Ctrl-C
    and termination still end the wait)."""
    if fcntl is None:
        yield
        return
    flags = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    fd = os.open(data_dir, flags)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            if on_wait is not None:
                on_wait()
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)  # releases the lock
