"""Answers from the code as it is: files changed since indexing are indexed
again before a command answers, when that is quick.

The query side finds the files an answer would show that changed since the
index was made (`tarnwick.freshness`) and asks `refresh(changed)` of the
caller; on True it answers again from the new index, else it leaves their
code out and says so in one warning line.  `tarnwick context`, `tarnwick
search` and the MCP tools pass a `Refresher`, which runs what the warning
asks the user to run (`tarnwick index` with the project's settings, reusing
every unchanged file) when `quick` says it is.

A run with a few edits parses only them, resolves again only what the
change can reach and updates the search index in place; it still takes
every unchanged file over from the cache and writes the store and the graph
whole.  At 10,000 files one edit costs about 0.5 s of CPU, at 100,000 two
seconds and more (see README, "Where the targets stand"), so a project of up
to `MAX_PROJECT_FILES` is indexed again before answering and a larger one
gets the warning.  A run that would parse more than `MAX_PARSED` files (an
index made by another build, a damaged cache, a checkout of another branch)
is stopped before it writes anything, and the answer gets the warning too
(300: what a whole project of the size once allowed cost).  Another indexing
run at work is never waited for.
"""

from __future__ import annotations

import threading
from pathlib import Path

MAX_CHANGED = 8
MAX_PROJECT_FILES = 10_000
MAX_PARSED = 300

# One refresh at a time in a process (a server answers on several threads).
_running = threading.Lock()


def quick(changed: int, project_files: int | None) -> bool:
    """Whether indexing again is quick enough to do before answering: a few
    changed files in a small project (of a known size)."""
    return 0 < changed <= MAX_CHANGED and project_files is not None and project_files <= MAX_PROJECT_FILES


class _Busy(Exception):
    """Another indexing run holds the project."""


def _busy() -> None:
    raise _Busy


class Refresher:
    """``refresher(changed)``: index the project at ``root`` again when
    `quick`; True once it is done."""

    def __init__(self, root: Path) -> None:
        self.root = Path(root)

    def _project_files(self) -> int | None:
        from ..graph import search_index

        index = search_index(self.root)
        return None if index is None else index.file_count

    def __call__(self, changed: list) -> bool:
        if not quick(len(changed), self._project_files()):
            return False
        from ..graph import release_search_indexes
        from ..indexer import TooMuchToIndex, index_project
        from ..settings import SettingsError
        from ..settings import load as load_settings

        with _running:
            try:
                settings = load_settings(self.root)
                options = {"max_file_bytes": settings.max_file_size} if settings.max_file_size else {}
                # This thread's snapshots would keep the run from emptying the index's log.
                release_search_indexes()
                # In this process: a server must not fork workers beside its threads.
                index_project(
                    self.root,
                    jobs=1,
                    progress=False,
                    excludes=settings.exclude,
                    languages=settings.languages,
                    on_wait=_busy,
                    most_parsed=MAX_PARSED,
                    graph_file=None,  # as the last run wrote it
                    **options,
                )
            except (_Busy, TooMuchToIndex, SettingsError, OSError):
                return False  # the answer says which files changed instead
        return True
