"""Placing one run's files in `.vestra/`.

Everything is written and flushed to temporaries first (the store, the
graph, the cache, the manifest), and the search index is built whole in a
temporary or updated in place in one transaction that readers do not see
until it commits, so a full disk, SQLite's own errors or an interruption
leave the previous index as it was.  Only then are the temporaries renamed
over the old files, the manifest last.

The search index names the graph file it belongs to by its identity, which
is taken through a handle on the very file this run placed, never by
looking the name up again (another process could have put its own there).
And the graph is parsed before anything is placed: text spliced from the
cache that does not parse never replaces a good graph.
"""

from __future__ import annotations

import contextlib
import marshal
import os
import sqlite3
import tempfile

from ..atomic import commit_files, discard_staged, signals_held, stage_files, stands_for, write_files
from ..collector import paused
from ..datadir import GRAPH_NAME, read_manifest, read_regular_file
from ..search.build import corpus_from_graph
from ..search.change import GraphChange
from ..search.full_build import Irregular, build_streamed
from ..search.graph_copy import full_rows
from ..search.state import candidates_of, file_state, fingerprint
from ..search.runs import PostingRuns
from ..search.index_file import InPlace, keep_side_files, settle_before_replacing, to_log_mode
from ..search.store import INDEX_NAME, build_index, reason, set_graph_identity
from ..search.update import update_index
from ..search.weights import DEFAULT_WEIGHTS
from .cache import DamagedCache

# Keeps the whole data folder out of version control and of the tools that
# pack a repository's files.
GITIGNORE_NAME = ".gitignore"
GITIGNORE_TEXT = b"*\n"


def ensure_gitignore(data_dir: str) -> None:
    """Write `.vestra/.gitignore` unless it already holds what we write."""
    try:
        data, _ = read_regular_file(os.path.join(data_dir, GITIGNORE_NAME), len(GITIGNORE_TEXT))
        if data == GITIGNORE_TEXT:
            return
    except OSError:
        pass
    write_files(data_dir, [(GITIGNORE_NAME, GITIGNORE_TEXT)])


# What earlier versions wrote and nothing reads any more (the cache was one
# JSON file before it became a database): left behind, it is dead weight.
RETIRED_NAMES = ("index-cache.json",)


def remove_retired(data_dir: str) -> None:
    for name in RETIRED_NAMES:
        try:
            os.unlink(os.path.join(data_dir, name))
        except OSError:  # absent, or not ours to remove (a folder of that name)
            pass


def graph_identity(info: os.stat_result) -> dict:
    """What the search index records of the graph file it belongs to."""
    return {
        "device": info.st_dev,
        "inode": info.st_ino,
        "size": info.st_size,
        "mtime_ns": info.st_mtime_ns,
        "ctime_ns": info.st_ctime_ns,
    }


def unplaced_identity(size: int) -> dict:
    """What the search index records when no graph file is placed: the
    size the file would have had (a bound on the graph's copies), and no
    file for it to vouch for."""
    return {"device": None, "inode": None, "size": size, "mtime_ns": None, "ctime_ns": None}


def _remove_graph_file(data_dir: str) -> None:
    """Take away the graph file a run that placed one left: a graph beside
    an index that no longer vouches for it would be read as the graph."""
    path = os.path.join(data_dir, GRAPH_NAME)
    try:
        if not os.path.isdir(path) or os.path.islink(path):
            os.unlink(path)
    except FileNotFoundError:
        pass


def _stage_search_index(
    data_dir: str,
    graph_of,
    stand_in: dict,
    prepared,
    sources: dict,
    indexed_ns: int | None,
    records,
    doc_key=None,
    kept=None,
    streamed=None,
    rebuild: bool = False,
    change=None,
    old_docs=None,
):
    """The search index of the graph: the path of a temporary it was
    built in whole, or, with `doc_key` (a file's documents as text, see
    `search.update`), the previous index updated in place for the files
    that changed when it can be, unless `rebuild` (`InPlace`, its
    transaction open), by what `change` (`search.change`) tells of the
    graph, else by the graph parsed whole.  A build of the whole reads
    `streamed` (the graph a file at a time) when it is given and the graph
    is of the indexer's shape, else `graph_of()`, the graph parsed whole."""
    # The temporary's status stands in until the graph is placed: the same
    # kinds of numbers, so recording the final ones rewrites values in place.
    identity = dict(stand_in)
    if indexed_ns is not None:
        identity["indexed_ns"] = indexed_ns
    path = os.path.join(data_dir, INDEX_NAME)
    if doc_key is None:
        doc_key = _no_key
    elif not rebuild:
        root = os.path.dirname(data_dir)
        manifest = read_manifest(root)
        if manifest is not None:
            with paused():
                if change is None:
                    change = GraphChange.of_graph(graph_of())
                counts = {"generation": change.top.get("generation"), "nodes": change.nodes, "edges": change.edges}
                updated = update_index(
                    root, path, manifest.get("generation"), change, {**counts, **identity}, prepared, doc_key, sources, records, kept,
                    old_docs=old_docs,
                )
            if updated is not None:
                try:
                    change.check()
                except BaseException:
                    updated.close()  # not committed: rolled back
                    raise
                return updated
            change = None  # whatever it read of the graph goes before a build
    if streamed is not None:
        try:
            with _posting_runs(path) as runs, paused():
                return _documents_checked(
                    build_streamed, path, streamed.shares, prepared, doc_key, streamed.top, identity, sources, records, runs,
                    DEFAULT_WEIGHTS, streamed.aside,
                )
        except Irregular:
            pass
    with paused():
        graph = graph_of()
    return _build_whole(path, graph, {**_counts(graph), **identity}, prepared, sources, records, doc_key)


def _counts(graph: dict) -> dict:
    return {"generation": graph.get("generation"), "nodes": len(graph["nodes"]), "edges": len(graph["edges"])}


def _documents_checked(build, *args):
    try:
        return build(*args)
    except TypeError:
        # Only a document taken from the cache can hold a value of
        # another type (a weight that is text): fresh ones are ours.
        raise DamagedCache("a search document from the cache is of another shape") from None


def _build_whole(path: str, graph: dict, identity: dict, prepared, sources: dict, records, doc_key):
    data_dir = os.path.dirname(path)
    states = _SpilledRows(data_dir)  # a file's row, for the rest of the build

    def keep(number, fid, entry, docs, first_symbol) -> None:
        # What a later run needs to update the index for this file.
        key = doc_key(fid)
        state = file_state(docs, candidates_of(entry), key)
        states.append((number, fingerprint(entry, key, records.get(fid)), first_symbol, len(entry[3]), state))

    try:
        # The postings go to disk in runs as they grow, not held for the project.
        with _posting_runs(path) as runs, paused():
            corpus = _documents_checked(corpus_from_graph, graph, prepared, DEFAULT_WEIGHTS, keep, runs)
            graph_rows = full_rows(graph)
            return build_index(path, corpus, identity, graph_rows, sources, records, states)
    finally:
        states.close()


class _SpilledRows:
    """Rows of numbers, texts and bytes kept in a scratch file of this run
    until they are written, then read back once, in order: a full build's
    `docstate` rows held in memory would grow with the project."""

    def __init__(self, directory: str):
        self._file = tempfile.TemporaryFile(dir=directory)
        self._count = 0

    def append(self, row: tuple) -> None:
        data = marshal.dumps(row)
        self._file.write(len(data).to_bytes(4, "little") + data)
        self._count += 1

    def __len__(self) -> int:
        return self._count

    def __iter__(self):
        self._file.flush()
        self._file.seek(0)
        for _ in range(self._count):
            size = int.from_bytes(self._file.read(4), "little")
            yield marshal.loads(self._file.read(size))

    def close(self) -> None:
        self._file.close()


@contextlib.contextmanager
def _posting_runs(path: str):
    """A scratch database for the postings' runs; SQLite's errors while it
    is in use are raised as OSError."""
    try:
        runs = PostingRuns(path)
    except sqlite3.Error as exc:
        raise OSError(f"{path}: {reason(exc)}") from None
    try:
        yield runs
    except sqlite3.Error as exc:
        raise OSError(f"{path}: {reason(exc)}") from None
    finally:
        runs.close()


def _no_key(fid):
    return None


def publish(
    data_dir: str,
    outputs,
    files: list,
    graph_of,
    prepared,
    sources: dict | None = None,
    indexed_ns: int | None = None,
    records: dict | None = None,
    doc_key=None,
    kept=None,
    streamed=None,
    rebuild: bool = False,
    change=None,
    old_docs=None,
) -> dict:
    """Replace the run's store and graph (`outputs`, staged by
    `writer.write_outputs`), its other `files` ((name, bytes) pairs, the
    manifest last) and the search index built from the graph
    (`graph_of()` gives it as parsed from its file) and the workers'
    documents (`prepared`, see `corpus_from_graph`); returns the placed
    files' status by name.
    `sources` maps each source file to the (size, modification time,
    digest) it was indexed with, `indexed_ns` is when the run began, and
    `records` maps each file to its packed summary record, and
    `doc_key(file id)` gives the text of a file's documents, by which the
    previous search index is updated for the files that changed;
    `kept` is (generation, files): the files whose documents, symbols and
    record are those the run of that generation indexed (`update_index`);
    `streamed` gives the graph a file at a time for a build of the whole
    (`.top`, its top-level keys; `.shares()`, see `full_build.shares`;
    `.aside`, whether a helper process may gather its postings),
    `rebuild` builds it whole even when the previous one could be updated,
    and `change` tells what the update needs of the graph (`search.change`);
    `old_docs(file id, key)` gives the documents a file's state in the
    previous index names by their key (`search.update`).

    Raises
    DamagedCache, or OSError (SQLite's errors too), with nothing placed.
    """
    staged = outputs.staged()
    placing = len(staged)
    search = None
    try:
        staged += stage_files(data_dir, files)
        if outputs.place_graph:
            stand_in = graph_identity(os.stat(outputs.graph.tmp))
        else:
            stand_in = unplaced_identity(outputs.graph.size)
        search = _stage_search_index(
            data_dir, graph_of, stand_in, prepared, sources or {}, indexed_ns, records or {}, doc_key, kept, streamed, rebuild, change,
            old_docs,
        )
        path = os.path.join(data_dir, INDEX_NAME)
        if not isinstance(search, InPlace):
            # Before anything is placed: this may wait for queries, or refuse.
            settle_before_replacing(path)
        # From the update's commit to the manifest, Ctrl-C and termination
        # wait: stopped in between, the set would be mixed.
        with signals_held():
            if not outputs.place_graph:
                # First: stopped right after, the last run's index and
                # store still belong together, and answer without it.
                _remove_graph_file(data_dir)
            if isinstance(search, InPlace):
                search.commit()  # a full disk fails here, with nothing placed
            placed = commit_files(data_dir, staged[:placing])
            del staged[:placing]
            if outputs.place_graph:
                identity = graph_identity(placed[GRAPH_NAME])
                if isinstance(search, InPlace):
                    search.record(identity)
                else:
                    set_graph_identity(search, identity)
            if not isinstance(search, InPlace):
                _to_log_mode(search)
                staged.insert(0, (search, INDEX_NAME))
                search = None
            placed.update(commit_files(data_dir, staged))
        if INDEX_NAME in placed:
            keep_side_files(path)
        return placed
    finally:
        discard_staged(staged)
        outputs.drop_scratch()
        if isinstance(search, InPlace):
            search.checkpoint()
            search.close()
        elif search is not None:
            discard_staged([(search, INDEX_NAME)])


def _to_log_mode(tmp: str) -> None:
    try:
        to_log_mode(tmp)
    except sqlite3.Error as exc:
        raise OSError(f"{stands_for(tmp) or tmp}: {reason(exc)}") from None
