"""The project indexer: writes `.vestra/structured_summaries.json` and
`.vestra/graph.json` for a Python project.

Steps: walk the project for source files (`walk`), parse and summarise each
file once, in worker processes for larger projects (`summarize`), resolve
cross-file references into graph edges (`linkage`), and write both files
atomically (`output`).
"""

from __future__ import annotations

import os
import stat
import sys
import threading
import time
from dataclasses import dataclass, field

from ..datadir import DATA_DIR, GRAPH_NAME, MANIFEST_NAME, SUMMARIES_NAME
from .linkage import resolve_edges
from .output import (
    edge,
    encode,
    file_node,
    graph_text,
    manifest_text,
    new_generation,
    summaries_text,
    sweep_temporaries,
    write_files,
)
from .pool import stack_size_for, summarize_in_workers, summarize_serially
from .summarize import FileResult
from .walk import DEFAULT_MAX_FILE_BYTES, walk_project

# Below this many files a pool costs more than it saves.
PARALLEL_MIN_FILES = 48
# Progress is shown by default from this many files on (on a terminal).
PROGRESS_MIN_FILES = 200


@dataclass
class IndexStats:
    """Figures of one indexing run."""

    root: str
    files: int = 0
    functions: int = 0
    methods: int = 0
    classes: int = 0
    nodes: int = 0
    edges: int = 0
    # (relative path, reason) of files left out by the walk.
    skipped: list = field(default_factory=list)
    skipped_dirs: int = 0
    # (relative path, message) of files that could not be read or parsed.
    unparsable: list = field(default_factory=list)
    seconds: float = 0.0
    summaries_path: str = ""
    graph_path: str = ""

    def summary_line(self) -> str:
        return (
            f"indexed {self.files} files: {self.functions} functions, {self.methods} methods, "
            f"{self.classes} classes, {self.edges} edges; {len(self.skipped)} skipped, "
            f"{len(self.unparsable)} unparsable; {self.seconds:.2f}s"
        )


class _Progress:
    """A file counter on standard error, redrawn at most ten times a second.

    Showing progress must never fail the run: a stream that is closed or
    cannot be written just turns the counter off.
    """

    def __init__(self, total: int, enabled: bool, stream=None):
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and self.stream is not None
        self.done = 0
        self._last = 0.0

    def _show(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError, AttributeError):
            self.enabled = False

    def step(self) -> None:
        self.done += 1
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._last >= 0.1 or self.done == self.total:
            self._last = now
            self._show(f"\rindexing: {self.done}/{self.total} files")

    def close(self) -> None:
        if self.enabled and self.done:
            self._show("\n")


def _default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def _summarize_all(tasks: list, jobs: int, max_file_bytes: int, progress: _Progress) -> list:
    stack = stack_size_for(max_file_bytes)
    if jobs <= 1 or len(tasks) < PARALLEL_MIN_FILES:
        return summarize_serially(tasks, stack, progress.step, threading.Event())
    return summarize_in_workers(tasks, jobs, stack, progress.step)


def _data_dir(root: str, create: bool) -> str:
    """The project's data directory (created when missing and `create`).
    Refuses one that is not a real folder of the project: a link could lead
    the writes anywhere."""
    data_dir = os.path.join(root, DATA_DIR)
    if create:
        try:
            os.mkdir(data_dir)
        except FileExistsError:
            pass
    try:
        mode = os.lstat(data_dir).st_mode
    except FileNotFoundError:
        return data_dir
    if not stat.S_ISDIR(mode):
        raise NotADirectoryError(f"{data_dir} is a link or a file, not a folder of the project; nothing written")
    return data_dir


def index_project(
    root=".",
    *,
    jobs: int | None = None,
    max_file_bytes: int = DEFAULT_MAX_FILE_BYTES,
    progress: bool | None = None,
) -> IndexStats:
    """Index the Python project at `root` and write its `.vestra` data.

    `jobs` worker processes parse the files (default: one per available
    core; 1 parses in this process).  Files larger than `max_file_bytes` are
    skipped.  `progress` shows a file counter on standard error: None shows
    it for large projects when standard error is a terminal.

    Files that cannot be read, decoded or parsed (even those that crash the
    parser) do not stop the run: they are listed in the result's
    `unparsable` and get a file node without a summary record.  Raises
    NotADirectoryError when `root` is not a folder or its `.vestra` is not a
    real folder inside it.
    """
    started = time.perf_counter()
    root = os.path.abspath(os.fspath(root))
    if not os.path.isdir(root):
        raise NotADirectoryError(f"not a directory: {root}")
    stats = IndexStats(root=root)
    # Refused before any work; stale temporaries of killed runs go now.
    sweep_temporaries(_data_dir(root, create=False))

    walk = walk_project(root, max_file_bytes)
    stats.skipped = walk.skipped
    stats.skipped_dirs = walk.skipped_dirs
    # Largest first for the pool; the output order is fixed afterwards.
    tasks = [(rel, abspath) for rel, abspath, _ in sorted(walk.files, key=lambda f: -f[2])]

    if progress is None:
        progress = len(tasks) >= PROGRESS_MIN_FILES and sys.stderr is not None and sys.stderr.isatty()
    counter = _Progress(len(tasks), bool(progress))
    try:
        results = _summarize_all(tasks, jobs if jobs is not None else _default_jobs(), max_file_bytes, counter)
    finally:
        counter.close()

    parsed: dict[str, FileResult] = {}
    for result in results:
        if result.error is not None:
            stats.unparsable.append((result.path, result.error))
        else:
            parsed[result.path] = result
    stats.unparsable.sort()
    paths = sorted(rel for rel, _, _ in walk.files)

    records = []
    node_blocks = []
    contains_blocks = []
    for path in paths:
        result = parsed.get(path)
        if result is None:
            node_blocks.append(encode(file_node(path, "")))
            continue
        records.append((path, result.record_json))
        node_blocks.append(result.nodes_json)
        contains_blocks.append(result.contains_json)
        functions, methods, classes = result.counts
        stats.functions += functions
        stats.methods += methods
        stats.classes += classes
    stats.nodes = len(paths) + stats.functions + stats.methods + stats.classes
    stats.files = len(records)

    edge_blocks = []
    for rel, pairs in zip(("imports", "calls", "extends"), resolve_edges(paths, parsed)):
        stats.edges += len(pairs)
        edge_blocks.extend(encode(edge(a, b, rel)) for a, b in pairs)
    stats.edges += stats.functions + stats.methods + stats.classes  # "contains"
    edge_blocks.extend(contains_blocks)

    data_dir = _data_dir(root, create=True)
    stats.summaries_path = os.path.join(data_dir, SUMMARIES_NAME)
    stats.graph_path = os.path.join(data_dir, GRAPH_NAME)
    # A lone surrogate (some source literals hold one) is written as a JSON
    # escape, which keeps the files valid UTF-8.
    generation = new_generation()
    files = [
        (SUMMARIES_NAME, summaries_text(records).encode("utf-8", "backslashreplace")),
        (GRAPH_NAME, graph_text(node_blocks, edge_blocks, generation).encode("utf-8", "backslashreplace")),
    ]
    # The manifest goes last: it commits the set.
    files.append((MANIFEST_NAME, manifest_text(generation, files)))
    write_files(data_dir, files)

    stats.seconds = time.perf_counter() - started
    return stats


__all__ = ["IndexStats", "index_project", "DATA_DIR", "SUMMARIES_NAME", "GRAPH_NAME", "MANIFEST_NAME"]
