"""`tarnwick index --watch`: keep a project's index current while it is edited.

After the first run the tree is polled every `INTERVAL` seconds for the
size, modification and change times of its files (an edit can put the
first two back, not the change time; the standard library only: no
notification service to install).  The folders the indexer never reads are
left out: the data folder, hidden folders such as `.git`, build output and
other people's code by name, and links to folders.  A change is indexed
once the tree has held still for `SETTLE` seconds, so a save, a checkout or
a formatter touching many files makes one run.  Each run is the ordinary
incremental one under the project's run lock (a run started by hand
meanwhile is waited for); what it prints is what `tarnwick index` prints.
Ctrl-C ends the watch: one line, status 130.
"""

from __future__ import annotations

import os
import stat
import time
from typing import Callable

from ..datadir import DATA_DIR

INTERVAL = 1.0
SETTLE = 0.5
# Folder names the indexer never walks into, beside hidden ones.
SKIPPED = frozenset({DATA_DIR, "__pycache__", "node_modules", "bower_components", "jspm_packages", "site-packages"})


def snapshot(root: str) -> dict:
    """{relative path: (size, modification time, change time, type)} of the
    files under ``root`` that an indexing run may read."""
    found: dict = {}
    folders = [root]
    while folders:
        folder = folders.pop()
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue  # removed meanwhile, or closed to us: the run will say
        for entry in entries:
            try:
                info = entry.stat(follow_symlinks=False)
            except OSError:
                continue
            if stat.S_ISDIR(info.st_mode):
                if not entry.name.startswith(".") and entry.name not in SKIPPED:
                    folders.append(entry.path)
            else:
                found[os.path.relpath(entry.path, root)] = (
                    info.st_size, info.st_mtime_ns, info.st_ctime_ns, stat.S_IFMT(info.st_mode)
                )
    return found


def watch(
    root: str,
    index_once: Callable[[], None],
    interval: float = INTERVAL,
    settle: float = SETTLE,
    sleep: Callable[[float], None] = time.sleep,
) -> None:
    """Call ``index_once()`` whenever the files under ``root`` change and then
    hold still for ``settle`` seconds; returns only by an exception (Ctrl-C)."""
    seen = snapshot(root)
    while True:
        sleep(interval)
        now = snapshot(root)
        if now == seen:
            continue
        while True:
            sleep(settle)
            later = snapshot(root)
            if later == now:
                break
            now = later
        index_once()
        # Edits made while the run was at work show against what it started from.
        seen = now
