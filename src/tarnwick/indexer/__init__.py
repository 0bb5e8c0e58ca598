"""The project indexer: writes `.vestra/structured_summaries.json` and
`.vestra/graph.json` for a Python project.

Steps: walk the project for source files (`walk`), parse and summarise each
file once, in worker processes for larger projects (`summarize`), resolve
cross-file references into graph edges (`linkage`), and write both files
atomically (`output`).
"""

from __future__ import annotations

import gc
import os
import sys
import time
from dataclasses import dataclass, field

from .linkage import resolve_edges
from .output import edge, encode, file_node, graph_text, summaries_text, write_atomic
from .summarize import FileResult, summarize_file
from .walk import DEFAULT_MAX_FILE_BYTES, walk_project

DATA_DIR = ".vestra"
SUMMARIES_NAME = "structured_summaries.json"
GRAPH_NAME = "graph.json"

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
    """A file counter on standard error, redrawn at most ten times a second."""

    def __init__(self, total: int, enabled: bool, stream=None):
        self.total = total
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.done = 0
        self._last = 0.0

    def step(self) -> None:
        self.done += 1
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._last >= 0.1 or self.done == self.total:
            self._last = now
            self.stream.write(f"\rindexing: {self.done}/{self.total} files")
            self.stream.flush()

    def close(self) -> None:
        if self.enabled and self.done:
            self.stream.write("\n")
            self.stream.flush()


def _worker_init() -> None:
    # Syntax trees hold no reference cycles: collecting only costs time.
    gc.disable()


def _default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def _summarize_all(tasks: list, jobs: int, progress: _Progress) -> list:
    if jobs <= 1 or len(tasks) < PARALLEL_MIN_FILES:
        was_enabled = gc.isenabled()
        gc.disable()
        try:
            out = []
            for task in tasks:
                out.append(summarize_file(task))
                progress.step()
            return out
        finally:
            if was_enabled:
                gc.enable()
    import multiprocessing

    # Largest files first, in small chunks, so both workers finish together.
    chunk = max(1, min(8, len(tasks) // (jobs * 16)))
    out = []
    with multiprocessing.get_context().Pool(jobs, initializer=_worker_init) as pool:
        for result in pool.imap_unordered(summarize_file, tasks, chunksize=chunk):
            out.append(result)
            progress.step()
    return out


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

    Files that cannot be read, decoded or parsed do not stop the run: they
    are listed in the result's `unparsable` and get a file node without a
    summary record.  Raises NotADirectoryError when `root` is not a folder.
    """
    started = time.perf_counter()
    root = os.path.abspath(os.fspath(root))
    if not os.path.isdir(root):
        raise NotADirectoryError(f"not a directory: {root}")
    stats = IndexStats(root=root)

    walk = walk_project(root, max_file_bytes)
    stats.skipped = walk.skipped
    stats.skipped_dirs = walk.skipped_dirs
    # Largest first for the pool; the output order is fixed afterwards.
    tasks = [(rel, abspath) for rel, abspath, _ in sorted(walk.files, key=lambda f: -f[2])]

    if progress is None:
        progress = len(tasks) >= PROGRESS_MIN_FILES and sys.stderr is not None and sys.stderr.isatty()
    counter = _Progress(len(tasks), bool(progress))
    try:
        results = _summarize_all(tasks, jobs if jobs is not None else _default_jobs(), counter)
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

    data_dir = os.path.join(root, DATA_DIR)
    os.makedirs(data_dir, exist_ok=True)
    stats.summaries_path = os.path.join(data_dir, SUMMARIES_NAME)
    stats.graph_path = os.path.join(data_dir, GRAPH_NAME)
    write_atomic(stats.summaries_path, summaries_text(records))
    write_atomic(stats.graph_path, graph_text(node_blocks, edge_blocks))

    stats.seconds = time.perf_counter() - started
    return stats


__all__ = ["IndexStats", "index_project", "DATA_DIR", "SUMMARIES_NAME", "GRAPH_NAME"]
