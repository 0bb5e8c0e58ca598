"""Placing one run's files in `.vestra/`.

Everything is written and flushed to temporaries first (the store, the
graph, the cache, the manifest and the search index), so a full disk,
SQLite's own errors or an interruption leave the previous index as it was.
Only then are the temporaries renamed over the old files, the manifest last.

The search index names the graph file it belongs to by its identity, which
is taken through a handle on the very file this run placed, never by
looking the name up again (another process could have put its own there).
And the graph is parsed before anything is placed: text spliced from the
cache that does not parse never replaces a good graph.
"""

from __future__ import annotations

import marshal
import os
import sqlite3
import tempfile

from ..atomic import commit_files, discard_staged, stage_files, write_files
from ..collector import paused
from ..datadir import GRAPH_NAME, read_manifest, read_regular_file
from ..search.build import corpus_from_graph
from ..search.graph_copy import full_rows
from ..search.state import candidates_of, fingerprint, pack_state, term_counts
from ..search.runs import PostingRuns
from ..search.store import INDEX_NAME, build_index, reason, set_graph_identity
from ..search.update import update_index
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


def _file_identity(info: os.stat_result) -> dict:
    """What the search index records of the graph file it belongs to."""
    return {
        "device": info.st_dev,
        "inode": info.st_ino,
        "size": info.st_size,
        "mtime_ns": info.st_mtime_ns,
        "ctime_ns": info.st_ctime_ns,
    }


def _stage_search_index(
    data_dir: str,
    graph: dict,
    graph_staged: str,
    prepared,
    sources: dict,
    indexed_ns: int | None,
    records: dict,
    doc_key=None,
    kept=None,
):
    """The search index of `graph`, written to a temporary; returns its
    path.  With `doc_key` (a file's documents as text, see
    `search.update`) the previous index is updated for the files that
    changed when it can be; otherwise it is built whole."""
    # The temporary's status stands in until the graph is placed: the same
    # kinds of numbers, so recording the final ones rewrites values in place.
    identity = {
        "generation": graph.get("generation"),
        "nodes": len(graph["nodes"]),
        "edges": len(graph["edges"]),
        **_file_identity(os.stat(graph_staged)),
    }
    if indexed_ns is not None:
        identity["indexed_ns"] = indexed_ns
    path = os.path.join(data_dir, INDEX_NAME)
    if doc_key is None:
        doc_key = _no_key
    else:
        root = os.path.dirname(data_dir)
        manifest = read_manifest(root)
        if manifest is not None:
            with paused():
                updated = update_index(
                    root, path, manifest.get("generation"), graph, identity, prepared, doc_key, sources, records, kept
                )
            if updated is not None:
                return updated
    states = _SpilledRows(data_dir)  # a file's row, for the rest of the build

    def keep(number, fid, entry, docs, first_symbol) -> None:
        # What a later run needs to update the index for this file.
        state = pack_state(term_counts(docs), candidates_of(entry))
        states.append((number, fingerprint(entry, doc_key(fid), records.get(fid)), first_symbol, len(entry[3]), state))

    try:
        # The postings go to disk in runs as they grow, not held for the project.
        runs = _posting_runs(path)
    except BaseException:
        states.close()
        raise
    try:
        with paused():
            try:
                corpus = corpus_from_graph(graph, prepared, keep=keep, runs=runs)
            except TypeError:
                # Only a document taken from the cache can hold a value of
                # another type (a weight that is text): fresh ones are ours.
                raise DamagedCache("a search document from the cache is of another shape") from None
            except sqlite3.Error as exc:
                raise OSError(f"{runs.path}: {reason(exc)}") from None
            graph_rows = full_rows(graph)
        return build_index(path, corpus, identity, graph_rows, sources, records, states)
    finally:
        runs.close()
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


def _posting_runs(path: str) -> PostingRuns:
    try:
        return PostingRuns(path)
    except sqlite3.Error as exc:
        raise OSError(f"{path}: {reason(exc)}") from None


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
    record are those the run of that generation indexed (`update_index`).

    Raises
    DamagedCache, or OSError (SQLite's errors too), with nothing placed.
    """
    staged = outputs.staged()
    search_tmp = None
    try:
        staged += stage_files(data_dir, files)
        with paused():
            graph = graph_of()
        search_tmp = _stage_search_index(
            data_dir, graph, outputs.graph.tmp, prepared, sources or {}, indexed_ns, records or {}, doc_key, kept
        )
        del graph
        placed = commit_files(data_dir, staged[:2])
        del staged[:2]
        set_graph_identity(search_tmp, _file_identity(placed[GRAPH_NAME]))
        staged.insert(0, (search_tmp, INDEX_NAME))
        search_tmp = None
        placed.update(commit_files(data_dir, staged))
        return placed
    finally:
        discard_staged(staged)
        if search_tmp is not None:
            discard_staged([(search_tmp, INDEX_NAME)])
