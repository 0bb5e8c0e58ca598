"""The exit statuses of the commands, in one table, and the one place that
maps an error to its status."""

from __future__ import annotations

from enum import IntEnum

from ..errors import GitFailed, TarnwickError, UsageError

__all__ = ["ExitStatus", "status_of"]


class ExitStatus(IntEnum):
    OK = 0
    # No index, an index that cannot be used, no file matches the query.
    FAILED = 1
    NO_MATCH = 1
    # Standard output could not take what the command wrote.
    WRITE_FAILED = 1
    # Bad usage: an unknown command or option, a bad value, a settings file
    # that cannot be used, a REF git does not know.
    USAGE = 2
    # context-packer: a root it cannot resolve, a graph or summary store it
    # cannot use.
    PACKER_DATA = 2
    # Ended by a signal, as a shell reports it: 128 + the signal's number.
    SIGNALLED = 128
    INTERRUPTED = 130  # SIGINT
    BROKEN_PIPE = 141  # SIGPIPE


# The first class an error is an instance of gives its status.
_STATUS_OF = (
    (GitFailed, ExitStatus.FAILED),
    (UsageError, ExitStatus.USAGE),
    (NotADirectoryError, ExitStatus.USAGE),  # a ROOT that is not a folder
    (TarnwickError, ExitStatus.FAILED),
)


def status_of(error: BaseException) -> ExitStatus:
    """The status a command ends with for `error`, one of the errors it
    reports in one line (a `TarnwickError`, or a ROOT that is not a folder)."""
    for kind, status in _STATUS_OF:
        if isinstance(error, kind):
            return status
    raise TypeError(f"no exit status for {type(error).__name__}")
