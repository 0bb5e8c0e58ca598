"""The ``context-packer`` console command: ``context-packer "QUERY" [ROOT]``.

Points the graph loader at the same project the packer reads (ROOT, or the
current directory when ROOT is absent), then runs the packer's own
command-line entry.  Around it stand the habits of a console tool
(`tarnwick.cli.console`) and one-line reports, with exit status 2, for a
root that cannot be resolved and for a graph or summary store that cannot
be used, instead of a traceback.
"""

from __future__ import annotations

import errno
import os
import sys
from pathlib import Path

from tarnwick import graph, project
from tarnwick.cli import console
from tarnwick.cli.status import ExitStatus
from tarnwick.collector import paused
from tarnwick.datadir import DATA_DIR, GRAPH_NAME, SUMMARIES_NAME, is_inside, mixed_set_problem
from tarnwick.wording import INDEX_AGAIN

PROG = "context-packer"


def _check_data_files(root: Path) -> None:
    for name in (SUMMARIES_NAME, GRAPH_NAME):
        path = root / DATA_DIR / name
        if os.path.lexists(path) and not is_inside(path, root):
            console.warn(PROG, f"{path}: leads outside the project root; ignored")
    problem = mixed_set_problem(root)
    if problem is not None:
        console.warn(PROG, f"{root / DATA_DIR}: {problem}; {INDEX_AGAIN}")


def _resolve_root(given: str) -> Path:
    root = Path(given).resolve()
    # From 3.13 on, resolve() no longer reports a link loop: ask the file system. A root that
    # does not exist is fine (it has no data).
    try:
        root.stat()
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise
    return root


def _run() -> int:
    root = None
    argv = sys.argv
    if len(argv) >= 2:
        # The packer reads summaries and sources under this root; the graph
        # must come from the same project.
        given = argv[2] if len(argv) > 2 else "."
        try:
            root = _resolve_root(given)
        except (OSError, RuntimeError) as exc:  # a link loop, a removed working directory
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
            console.error(PROG, f"cannot resolve the project root {given!r}: {reason}")
            return ExitStatus.PACKER_DATA
        project.set_project(root)
        graph.defer_next_graph()  # one query: only the graph of the files it finds is needed
        _check_data_files(root)
    # Imported here so this module loads even where the extension is not built.
    from tarnwick import context_packer

    try:
        with paused():  # the summary store is loaded inside
            context_packer.main()
    except graph.GraphError as exc:
        console.error(PROG, str(exc))
        return ExitStatus.PACKER_DATA
    except OSError as exc:  # a data file closed to this user, say (output faults have no file name)
        if exc.filename is None or isinstance(exc, BrokenPipeError):
            raise
        console.error(PROG, f"{exc.filename}: cannot read ({exc.strerror or exc})")
        return ExitStatus.PACKER_DATA
    except (TypeError, AttributeError):
        from tarnwick.store_faults import store_fault

        fault = store_fault(root) if root is not None else None
        if fault is None:
            raise
        console.error(PROG, fault)
        return ExitStatus.PACKER_DATA
    finally:
        # The packer's `retrieve` returns only what it reads: its remarks wait in the notes.
        for note in project.take_notes():
            console.warn(PROG, note)
    return ExitStatus.OK


def main() -> None:
    status = console.run(PROG, _run)
    if status:
        raise SystemExit(status)


def command() -> None:
    """The installed command: `main`, then the process ends at once, without
    the interpreter's teardown (a query runs before every prompt)."""
    try:
        main()
    except SystemExit as exc:
        if not isinstance(exc.code, int):
            raise
        console.leave(exc.code)
    console.leave(0)


if __name__ == "__main__":
    command()
