"""The data files taken as they are now found, after a copy or a restore.

A copied project's `.vestra/` keeps its files' bytes but not their inodes
and change times, by which the index and `identities.json` vouch for the
graph and the store.  Until a run wrote them again, every query would check
their digests and parse the whole graph.  A run that finds nothing changed
has just checked those digests: it records the files' new identities.
"""

from __future__ import annotations

import os
import sqlite3

from ..datadir import GRAPH_NAME, IDENTITIES_NAME, MANIFEST_LIMIT, MANIFEST_NAME, SUMMARIES_NAME, file_identity, read_manifest, read_regular, record_identities
from ..errors import IndexProblem
from ..search.index_file import InPlace
from ..search.reader import IndexCorpus
from ..search.store import INDEX_NAME
from .publish import graph_identity


def revouch(root: str, data_dir: str, generation: str, with_graph: bool = True) -> None:
    """Let the index of the run `generation`, whose files were found whole,
    vouch for the graph file again (`with_graph`; else only the store's
    identity is recorded again).  Only a shortcut: nothing here fails the
    run."""
    if not with_graph:
        _revouch_store(root, data_dir, generation)
        return
    graph = os.path.join(data_dir, GRAPH_NAME)
    index_path = os.path.join(data_dir, INDEX_NAME)
    try:
        info = os.stat(graph)
        index = IndexCorpus(root, index_path)
        try:
            if index.vouches_for(info) or index.meta.get("generation") != generation:
                return
        finally:
            index.close()
        placed = {name: os.stat(os.path.join(data_dir, name)) for name in (SUMMARIES_NAME, GRAPH_NAME)}
        manifest = read_regular(os.path.join(data_dir, MANIFEST_NAME), MANIFEST_LIMIT)
        record_identities(data_dir, generation, manifest, placed)
        # Recorded only when the graph's bytes were checked against the
        # manifest as it stands now; else queries keep checking them.
        identities = read_manifest(root, IDENTITIES_NAME)
        if identities is None or identities.get("generation") != generation:
            return
        if identities["files"].get(GRAPH_NAME) != file_identity(info):
            return
        writer = InPlace(index_path)
        try:
            writer.record(graph_identity(info))
            writer.checkpoint()
        finally:
            writer.close()
    except (OSError, IndexProblem, sqlite3.Error):
        pass


def _revouch_store(root: str, data_dir: str, generation: str) -> None:
    """Record the store's identity again when `identities.json` does not
    hold it as it is now (a copied project): else every query hashes it."""
    try:
        info = os.stat(os.path.join(data_dir, SUMMARIES_NAME))
        identities = read_manifest(root, IDENTITIES_NAME)
        if (
            identities is not None
            and identities.get("generation") == generation
            and identities["files"].get(SUMMARIES_NAME) == file_identity(info)
        ):
            return
        manifest = read_regular(os.path.join(data_dir, MANIFEST_NAME), MANIFEST_LIMIT)
        record_identities(data_dir, generation, manifest, {SUMMARIES_NAME: info})
    except OSError:
        pass
