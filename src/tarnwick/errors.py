"""The errors a caller of tarnwick must tell apart, under one base.

Each names one state of a project's index (or of a request) and its
message is one line.  Each keeps the builtin base it had before it had a
common one, so an ``except ValueError`` or ``except LookupError`` written
against it still catches it.  The commands map these classes to exit
statuses in one table (`tarnwick.cli.status`).
"""

from __future__ import annotations

from pathlib import Path

__all__ = [
    "ChangesError",
    "DamagedIndexError",
    "GitFailed",
    "GraphError",
    "IndexProblem",
    "IndexVersionError",
    "NoIndexError",
    "TarnwickError",
    "UnreadableIndexError",
    "UsageError",
]


class TarnwickError(Exception):
    """Base of the errors below; ``str()`` is one line."""


class NoIndexError(TarnwickError, LookupError):
    """The project has no `.vestra` index; the message says how to build one."""


class UnreadableIndexError(TarnwickError, OSError):
    """The index is there but this user may not read it (a `.vestra` folder or
    file closed to them); the message is one line naming it."""

    @classmethod
    def of(cls, exc: OSError) -> "UnreadableIndexError":
        return cls(f"{exc.filename}: cannot read ({exc.strerror or exc})")


class GraphError(TarnwickError, ValueError):
    """A graph file exists but cannot be used.

    ``str(error)`` is one line: ``"<path>: <what is wrong>"``.  The parts are
    kept as ``path`` and ``reason``.
    """

    def __init__(self, path: Path | str, reason: str) -> None:
        self.path = Path(path)
        self.reason = reason
        message = f"{path}: {reason}"
        super().__init__(message.replace("\r", "\\r").replace("\n", "\\n"))


class DamagedIndexError(TarnwickError, ValueError):
    """A summary store record holds a value of the wrong type; the message
    names the file, record and field."""


class IndexProblem(TarnwickError):
    """The search index cannot be used (damaged, closed, outside the project)."""


class IndexVersionError(IndexProblem):
    """The search index was written by another version of tarnwick."""


class UsageError(TarnwickError, ValueError):
    """A request that cannot be carried out as asked: a settings file, a
    `--path` or a REF that cannot be used."""


class ChangesError(UsageError):
    """Changes that cannot be read as asked: git missing, not a work tree,
    a REF git does not know."""


class GitFailed(ChangesError):
    """git itself failed or took too long: the request was sound."""
