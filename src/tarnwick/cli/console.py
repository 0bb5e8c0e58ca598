"""Console behaviour shared by our commands.

Every command runs its body through `run`, which gives it the habits of a
well-behaved Unix tool:

- text that the terminal's encoding cannot carry (a lone surrogate from a
  docstring, a file name that is not valid UTF-8) is written with backslash
  escapes instead of failing the command;
- a reader that goes away (`| head`) ends the command quietly;
- a write that fails (a full disk, a closed standard output) is one line on
  standard error and status 1;
- Ctrl-C is one line and status 130; termination (SIGTERM, SIGHUP) is one
  line and 128 + the signal number, after the command's own clean-up ran.

Messages go through `error` and `warn`, which never raise: losing a message
must not turn into a second failure.
"""

from __future__ import annotations

import _signal  # `signal` itself builds enums of every signal and handler: a question's process has no use for them
import errno
import os
import sys
from contextlib import contextmanager
from collections.abc import Callable

from ..printable import shown
from .status import ExitStatus

class Terminated(BaseException):
    """The process was asked to end (SIGTERM, SIGHUP); raised in the main
    thread so that clean-up code runs before it exits."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _terminate(signum, frame):
    raise Terminated(signum)


@contextmanager
def _termination_raises():
    names = ("SIGTERM", "SIGHUP")
    previous = {}
    try:
        for name in names:
            if hasattr(_signal, name):
                signum = getattr(_signal, name)
                try:
                    previous[signum] = _signal.signal(signum, _terminate)
                except ValueError:  # not the main thread: leave the handlers alone
                    break
        yield
    finally:
        for signum, handler in previous.items():
            _signal.signal(signum, handler)


class OutputError(Exception):
    """Standard output could not take what the command wrote."""

    def __init__(self, cause: BaseException):
        super().__init__(cause)
        self.cause = cause


class _Output:
    """Standard output that reports its own failures as `OutputError`, so a
    failing write is never mistaken for a failure of the command's work."""

    def __init__(self, stream):
        self._stream = stream

    def _guard(self, method, *args):
        if self._stream is None:
            raise OutputError(OSError(errno.EBADF, os.strerror(errno.EBADF)))
        try:
            return method(*args)
        except BrokenPipeError:
            raise
        except (OSError, ValueError) as exc:
            raise OutputError(exc) from None

    def write(self, text):
        return self._guard(lambda: self._stream.write(text))

    def writelines(self, lines):
        return self._guard(lambda: self._stream.writelines(lines))

    def flush(self):
        if self._stream is not None:
            self._guard(self._stream.flush)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _escape_unencodable(stream) -> None:
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        try:
            reconfigure(errors="backslashreplace")
        except (ValueError, OSError):
            pass


def say(line: str) -> None:
    """One line on standard error; never raises."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(line + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def one_line(text: str) -> str:
    """`text` with line breaks and other control characters shown as
    escapes, for a one-line message."""
    return shown(text)


def error(prog: str, message: str) -> None:
    """`prog: error: message` on standard error; never raises."""
    say(f"{prog}: error: {one_line(message)}")


def warn(prog: str, message: str) -> None:
    """`prog: warning: message` on standard error; never raises."""
    say(f"{prog}: warning: {one_line(message)}")


def _discard(stream) -> None:
    # Whatever is still buffered goes nowhere, so that the interpreter's own
    # flush at exit neither fails nor prints a second report.
    if stream is None:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError):
        pass


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__


def leave(status: int) -> None:
    """End a finished command's process with `status` at once.

    Everything is written; what is left is the interpreter's teardown, which
    frees every object one by one (a tenth of a short query's time).  Where
    the streams cannot be flushed, the usual exit reports it instead.
    """
    try:
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:  # None where the stream was closed at start-up
                stream.flush()
    except (OSError, ValueError):
        raise SystemExit(status) from None
    os._exit(status)


def run(prog: str, body: Callable[[], int | None]) -> int:
    """Run a command's `body` and return its exit status (None counts as 0)."""
    original = sys.stdout
    _escape_unencodable(original)
    _escape_unencodable(sys.stderr)
    sys.stdout = _Output(original)
    try:
        with _termination_raises():
            status = body()
            sys.stdout.flush()
        return status or 0
    except BrokenPipeError:
        _discard(original)
        return ExitStatus.BROKEN_PIPE
    except OutputError as exc:
        _discard(original)
        error(prog, f"cannot write to standard output: {_reason(exc.cause)}")
        return ExitStatus.WRITE_FAILED
    except KeyboardInterrupt:
        say(f"{prog}: interrupted")
        return ExitStatus.INTERRUPTED
    except Terminated as exc:
        say(f"{prog}: terminated")
        return ExitStatus.SIGNALLED + exc.signum
    finally:
        sys.stdout = original
