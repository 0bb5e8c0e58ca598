"""Which project a question is about, and the remarks gathered while
answering it.

Every command, the MCP server and `load_graph()` find the project the same
way, in this order:

1. an explicit root: a command's ROOT or ``--root``, ``project(root)`` for
   the calling thread inside a ``with`` block, else ``set_project(root)``
   for the process (``set_project(None)`` clears it);
2. the environment variable ``TARNWICK_PROJECT`` (an empty value counts as
   unset; a relative path is taken against the current directory);
3. the nearest directory at or above the current working directory that
   contains ``.vestra/graph.json`` or a ``.vestra/manifest.json`` that names
   an indexing run (an index written without a graph file answers from its
   search index);
4. nothing: ``project_root()`` returns None, and a command says there is no
   index to answer from.
"""

from __future__ import annotations

import contextlib
import os
import stat
import threading
from collections.abc import Iterator
from pathlib import Path

from .datadir import DATA_DIR, GRAPH_NAME, MANIFEST_NAME, is_inside, read_manifest
from .errors import GraphError, NoIndexError, UnreadableIndexError

__all__ = [
    "ENV_VAR",
    "GRAPH_RELPATH",
    "NoIndexError",
    "UnreadableIndexError",
    "find_root",
    "graph_path",
    "project",
    "project_root",
    "resolve_root",
    "set_project",
    "take_notes",
]

ENV_VAR = "TARNWICK_PROJECT"
GRAPH_RELPATH = Path(DATA_DIR) / GRAPH_NAME
MANIFEST_RELPATH = Path(DATA_DIR) / MANIFEST_NAME



_project_override: Path | None = None


def set_project(root: str | os.PathLike[str] | None) -> None:
    """Use ``root`` as the project for later ``load_graph()`` calls.

    A relative path is made absolute against the current directory now.
    ``None`` clears the override.
    """
    global _project_override
    _project_override = None if root is None else Path(root).absolute()


# The project of the calling thread's `project()` block, if any: a server answers
# questions about several projects at once, and one thread's choice is not another's.
_thread_project = threading.local()


@contextlib.contextmanager
def project(root: str | os.PathLike[str]) -> Iterator[None]:
    """Use ``root`` as the project of the calling thread inside a ``with``
    block (ahead of every other choice), then the choice made before it
    again."""
    previous = getattr(_thread_project, "root", None)
    _thread_project.root = Path(root).absolute()
    try:
        yield
    finally:
        _thread_project.root = previous


def project_root() -> Path | None:
    """The project chosen by the search order of the module docs, or None."""
    chosen = getattr(_thread_project, "root", None)
    if chosen is not None:
        return chosen
    if _project_override is not None:
        return _project_override
    env = os.environ.get(ENV_VAR)
    if env:
        return Path(env).absolute()
    return find_root()


def find_root(start: str | os.PathLike[str] | None = None) -> Path | None:
    """The nearest folder at or above ``start`` (default: the working folder)
    that holds ``.vestra/graph.json`` or a manifest that names an indexing
    run, or None."""
    try:
        here = Path(start).absolute() if start is not None else Path.cwd()
    except OSError:  # the working directory was removed
        return None
    for directory in (here, *here.parents):
        try:
            if (directory / GRAPH_RELPATH).exists() or _has_manifest(directory):
                return directory
        except OSError:  # e.g. a directory we may not look into
            continue
    return None


def _has_manifest(directory: Path) -> bool:
    """True when ``directory``'s manifest names an indexing run, or is a
    file that leads outside ``directory`` (which `resolve_root` refuses by
    name); a manifest made by hand or left damaged makes no index."""
    path = directory / MANIFEST_RELPATH
    if not stat.S_ISREG(os.stat(path).st_mode):
        return False
    return not is_inside(path, directory) or _names_a_run(directory)


def _names_a_run(directory: Path) -> bool:
    manifest = read_manifest(directory)
    return manifest is not None and type(manifest.get("generation")) is str


def graph_path() -> Path | None:
    """Return the graph file of the chosen project (it need not exist)."""
    root = project_root()
    return None if root is None else root / GRAPH_RELPATH



def resolve_folder(given: str | os.PathLike[str]) -> Path:
    """``given`` resolved; NotADirectoryError (one line) unless it is a folder."""
    try:
        path = Path(given).resolve()
    except (OSError, RuntimeError) as exc:  # a link loop, a removed working folder
        raise NotADirectoryError(f"cannot resolve {given}: {getattr(exc, 'strerror', None) or exc}") from None
    try:
        is_dir = path.is_dir()
    except OSError as exc:  # inside a folder closed to this user
        raise NotADirectoryError(f"cannot look at {path}: {exc.strerror or exc}") from None
    if not is_dir:
        raise NotADirectoryError(f"not a folder: {path}")
    return path


def resolve_root(root: str | os.PathLike[str] | None = None) -> Path:
    """The indexed project to answer from: ``root``, or the one the search
    order finds (see the module docs), resolved.

    Raises NotADirectoryError for a root that is not a folder,
    NoIndexError when there is no index to read (neither a graph file nor
    a manifest that names an indexing run), UnreadableIndexError for one
    this user may not read and GraphError for a graph file or manifest that
    leads outside the root (a cloned `.vestra/` may hold such a link; read
    as no graph, it would answer every question with "no file matches").
    """
    if root is None:
        root = project_root()
        if root is None:
            raise NoIndexError(
                f"no index in {Path.cwd()} or any folder above it; build one with `tarnwick index`"
            )
    path = resolve_folder(root)
    graph = path / GRAPH_RELPATH
    if _is_file(graph):
        if not is_inside(graph, path):
            raise GraphError(graph, "leads outside the project root")
        return path
    # No graph file: a manifest that names a run stands for the index (its search index holds the graph).
    manifest = path / MANIFEST_RELPATH
    if _is_file(manifest):
        for name in (manifest, graph):  # a dangling graph link too: it would pass for no graph
            if os.path.lexists(name) and not is_inside(name, path):
                raise GraphError(name, "leads outside the project root")
        try:
            os.close(os.open(manifest, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)))
        except PermissionError as exc:
            raise UnreadableIndexError.of(exc) from None
        except OSError:
            pass  # replaced meanwhile: read below as what it is now
        if _names_a_run(path):
            return path
    raise NoIndexError(f"no index in {path}; build one with `tarnwick index {path}`")


def _is_file(path: Path) -> bool:
    """True for a regular file at ``path``; UnreadableIndexError when this user
    may not look (the folder is closed to them)."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (FileNotFoundError, NotADirectoryError):
        return False
    except OSError as exc:
        raise UnreadableIndexError.of(exc) from None


# --------------------------------------------------------------------------
# Notes for the user

# Per thread, for the packer's pipeline only: its `retrieve` returns the
# records the packer reads and no more, so its remarks wait here.
_notes = threading.local()


def note(text: str, into: list | None = None) -> None:
    """Keep the one-line remark `text` once: in `into`, the warnings of the
    caller's result, or without one for the calling thread's `take_notes`."""
    gathered = into
    if gathered is None:
        gathered = getattr(_notes, "lines", None)
        if gathered is None:
            gathered = _notes.lines = []
    if text not in gathered:
        gathered.append(text)


def take_notes() -> list[str]:
    """One-line remarks gathered by the calling thread since its last call
    (for example a search index that could not be used), for a command to
    show; clears them."""
    taken = getattr(_notes, "lines", None) or []
    _notes.lines = []
    return taken
