"""Is the code an answer would show still the code that was indexed?

The index keeps, for each source file, the size, modification time and
content digest its summary was made from (the search index's `sources`
table).  Before an answer shows code or line ranges, the few files it would
read are checked against that: one `lstat` each, and a read only for a file
of the recorded size whose time differs (touched, or rewritten as it was) or
lies within a clock tick of the indexing run (an edit then may keep both
its time and its size), or whose change time (its inode's, which no user
call can set back) lies after the run began: an edit that put its size and
time back (`touch -r`, `cp -p`, an archive's times) moved it.  A file edited, deleted or
replaced by a link or a folder since is *changed*: the answer leaves out its
code and line ranges (they may point at other code now) and says so in one
warning line.  Without that record (no search index, or one from another
run or version) a file modified after the index was written counts as
changed: after the graph file was written, or, for an index without one,
after its run began (the search index's `indexed_ns`, else the time of the
run's manifest).

Light at import: the query path uses it.
"""

from __future__ import annotations

import os
import stat
import time
from pathlib import Path

from .datadir import DATA_DIR, GRAPH_NAME, MANIFEST_NAME, read_manifest, read_regular, resolve_inside, source_digest
from .wording import INDEX_AGAIN, counted

# Times this close to the start of the indexing run may hide an edit made in
# the same clock tick: such a file is judged by its digest.
RACY_NS = 2_000_000_000
# Far above any file the indexer admits; a larger one has changed anyway.
READ_LIMIT = 1 << 30
NAMED_IN_WARNING = 5
# Files a process found unchanged by their digest, while they stay the very file it read
# (device, inode, size, modification and change time: an edit moves the change time, which no
# user call can set back): path -> (identity, digest), least recently found first.  A server
# asked about the same touched files again does not read them again.
_verified: dict = {}
VERIFIED_FILES = 4096


def _recorded(root: Path, paths: list, graph: dict):
    """(stamps by path or None, indexing start in ns or None) from the
    search index of `graph`: None for what it has none to give."""
    from .graph import open_search_index

    index = open_search_index(root)[0]
    if index is None or index.meta.get("generation") != graph.get("generation"):
        return None, None
    indexed_ns = index.meta.get("indexed_ns")
    indexed_ns = indexed_ns if type(indexed_ns) is int else None
    numbers = {}
    for path in paths:
        try:
            numbers[index.file_numbers([path])[0]] = path
        except ValueError:
            continue  # not indexed: judged by its time below
    try:
        stamps = index.source_stamps(numbers)
    except Exception:  # a damaged index must never end the query
        return None, indexed_ns
    return {numbers[n]: stamp for n, stamp in stamps.items()}, indexed_ns


def _graph_written_ns(root: Path, graph: dict, indexed_ns: int | None) -> int | None:
    """When the index of `graph` was written: its graph file's time, else
    when its run began (`indexed_ns`, from the search index of `graph`),
    else the time of the manifest of the run that made `graph`."""
    try:
        return os.stat(root / DATA_DIR / GRAPH_NAME).st_mtime_ns
    except OSError:
        pass
    if indexed_ns is not None:
        return indexed_ns
    manifest = read_manifest(root)
    generation = graph.get("generation")
    if manifest is None or type(generation) is not str or manifest.get("generation") != generation:
        return None
    try:
        return os.stat(root / DATA_DIR / MANIFEST_NAME).st_mtime_ns
    except OSError:
        return None


def _is_changed(root: Path, rel: str, stamp, indexed_ns: int | None, written_ns: int | None) -> bool:
    path = root / rel
    try:
        info = os.lstat(path)
    except (OSError, ValueError):
        return True  # deleted (or a name the system refuses)
    if not stat.S_ISREG(info.st_mode):
        return True  # replaced by a link, a folder, a FIFO
    if stamp is None:
        # Nothing recorded for the file: only its time can tell.
        return written_ns is None or info.st_mtime_ns > written_ns
    size, mtime_ns, digest = stamp
    if info.st_size != size:
        return True
    if info.st_mtime_ns == mtime_ns and (
        indexed_ns is None or (mtime_ns < indexed_ns - RACY_NS and info.st_ctime_ns < indexed_ns - RACY_NS)
    ):
        return False
    # Touched (a checkout rewrites files as they were), rewritten since the
    # run, or changed within a clock tick of it, where the same time and
    # size prove nothing.
    if digest is None or resolve_inside(path, root) is None:
        return True
    identity = (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)
    key = os.fspath(path)
    if _verified.get(key) == (identity, digest):
        return False  # the very file found unchanged by an earlier question
    try:
        changed = source_digest(read_regular(path, READ_LIMIT)) != digest
    except OSError:
        return True
    # A file changed within a clock tick of now may change again without changing its times.
    if not changed and time.time_ns() - info.st_ctime_ns > RACY_NS:
        _verified.pop(key, None)
        _verified[key] = (identity, digest)
        while len(_verified) > VERIFIED_FILES:
            del _verified[next(iter(_verified))]
    return changed


def changed_files(root: Path, paths, graph: dict) -> list[str]:
    """The files among `paths` (relative to `root`) whose content may no
    longer be what the index of `graph` was made from, sorted."""
    wanted = sorted({p for p in paths if isinstance(p, str) and p})
    if not wanted:
        return []
    root = Path(root)
    graph = graph if isinstance(graph, dict) else {}
    stamps, indexed_ns = _recorded(root, wanted, graph)
    written_ns = _graph_written_ns(root, graph, indexed_ns)
    stamps = stamps or {}
    return [rel for rel in wanted if _is_changed(root, rel, stamps.get(rel), indexed_ns, written_ns)]


def warning(changed: list[str]) -> str:
    """One line naming the changed files (the first few of them)."""
    shown = ", ".join(changed[:NAMED_IN_WARNING])
    if len(changed) > NAMED_IN_WARNING:
        shown += f" and {len(changed) - NAMED_IN_WARNING} more"
    return (
        f"{counted(len(changed), 'file')} changed since indexing ({shown}): their code and line ranges are left out;"
        f" {INDEX_AGAIN}"
    )


def _in(path, paths: set) -> bool:
    return isinstance(path, str) and path in paths


def without_positions(view: dict, graph: dict, changed: list[str]) -> tuple[dict, dict]:
    """The summary view and graph for packing, with the line ranges of the
    `changed` files taken out: their functions keep their place in the
    summary, but no code is cut out of them and no read points into them."""
    gone = set(changed)
    if not gone:
        return view, graph
    view = dict(view)
    for path in gone:
        record = view.get(path)
        if not isinstance(record, dict) or not isinstance(record.get("functions"), dict):
            continue
        functions = {
            name: {k: v for k, v in info.items() if k != "lines"} if isinstance(info, dict) else info
            for name, info in record["functions"].items()
        }
        view[path] = {**record, "functions": functions}
    nodes = graph.get("nodes")
    if isinstance(nodes, list):
        kept = [
            node
            for node in nodes
            if not (isinstance(node, dict) and node.get("kind") == "symbol" and _in(node.get("path"), gone))
        ]
        graph = {**graph, "nodes": kept}
    return view, graph
