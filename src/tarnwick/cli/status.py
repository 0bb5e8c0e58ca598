"""The exit statuses of the `tarnwick` command, in one table."""

from __future__ import annotations

from enum import IntEnum

__all__ = ["ExitStatus"]


class ExitStatus(IntEnum):
    OK = 0
    # No index, an index that cannot be used, no file matches the query.
    FAILED = 1
    NO_MATCH = 1
    # Bad usage: an unknown command or option, a bad value, a settings file
    # that cannot be used, a REF git does not know.
    USAGE = 2
