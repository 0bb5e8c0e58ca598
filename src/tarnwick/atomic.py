"""The atomic write of the data directory's files: a temporary file in the
same folder, flushed to disk, then renamed over the old file, so a reader
sees either the old file or the new one, never a part of either.  Used by
the indexer for its files and by the search index's writer; the
temporaries that killed runs left behind are swept here too.
"""

from __future__ import annotations

import os
import re
import signal
import stat
import tempfile
import time
from contextlib import contextmanager

# Temporaries are named ".<file>.<pid>.<random>.tmp", so that a later run can
# tell whether the process that wrote one is still at work; a database built
# in one may leave its journal beside it.
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.(?P<pid>[0-9]+)\.[A-Za-z0-9_]+\.tmp(-journal|-wal|-shm)?")
# Names of the data files' temporaries before they carried the process id.
_OLD_TEMPORARY = re.compile(r"\.(structured_summaries|graph)\.json\.[A-Za-z0-9_]{8}\.tmp")
OLD_TEMPORARY_AGE = 3600.0


def stands_for(path) -> str | None:
    """The path of the file a temporary at `path` is to replace, or None
    when `path` is not one of ours."""
    if path is None:
        return None
    path = os.fsdecode(path)
    match = _TEMPORARY.fullmatch(os.path.basename(path))
    return os.path.join(os.path.dirname(path), match["name"]) if match else None


def told_by_its_file(exc: OSError, path: str | None = None) -> OSError:
    """`exc` as the user should read it: about the file a temporary stands
    in for (`path`, else the one its name gives), never about the temporary,
    whose random name the user never saw.  An error of the system that
    names no file (a full disk on a write) is told as one about `path`.
    Anything else is returned as it is."""
    real = stands_for(exc.filename) or stands_for(exc.filename2)
    if real is None and (path is None or exc.filename is not None or exc.strerror is None):
        return exc
    told = type(exc)(f"{real or path}: {exc.strerror or exc}")
    told.errno = exc.errno  # for callers that tell errors apart by it; str() stays the text above
    return told


@contextmanager
def told_as(path: str | None = None):
    """A block that writes a temporary of `path`: its errors name `path`
    (see `told_by_its_file`); without `path`, only those that name a
    temporary are told anew, by the file the temporary stands in for."""
    try:
        yield
    except OSError as exc:
        told = told_by_its_file(exc, path)
        if told is exc:
            raise
        raise told from None


def _running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # exists, owned by someone else
        return True
    return True


def sweep_temporaries(directory: str) -> list:
    """Remove what runs that were killed left behind in `directory`: our
    temporaries whose writer is no longer running.  Returns their names."""
    removed = []
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return removed
    now = time.time()
    for entry in entries:
        match = _TEMPORARY.fullmatch(entry.name)
        try:
            if match:
                stale = not _running(int(match["pid"]))
            elif _OLD_TEMPORARY.fullmatch(entry.name):
                stale = now - entry.stat(follow_symlinks=False).st_mtime > OLD_TEMPORARY_AGE
            else:
                continue
            if stale and entry.is_file(follow_symlinks=False):
                os.unlink(entry.path)
                removed.append(entry.name)
        except OSError:
            continue
    return removed


def _default_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def mode_for(path: str) -> int:
    """The mode a replacement of `path` gets: the old file's, else the default."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        return _default_mode()


def _new_temporary(directory: str, name: str) -> tuple:
    return tempfile.mkstemp(dir=directory, prefix=f".{name}.{os.getpid()}.", suffix=".tmp")


def new_temporary(path: str) -> str:
    """An empty temporary file beside `path`, named as ours (see
    `sweep_temporaries`), for a writer that fills it by name."""
    with told_as(path):
        fd, tmp = _new_temporary(os.path.dirname(os.path.abspath(path)), os.path.basename(path))
    os.close(fd)
    return tmp


def _writable_mode(path: str) -> int:
    """The mode of a temporary that is to replace `path`: the old file's,
    with reading and writing kept for its writer, which may open it again
    before it is placed (`commit_files` then gives it the old mode as is)."""
    return mode_for(path) | stat.S_IRUSR | stat.S_IWUSR


def finish_temporary(tmp: str, path: str) -> None:
    """Flush the filled temporary `tmp` to disk and give it the mode of the
    `path` it is to replace (see `_writable_mode`)."""
    with told_as(path):
        with open(tmp, "rb") as f:
            os.fsync(f.fileno())
        os.chmod(tmp, _writable_mode(path))


def _write_temporary(directory: str, name: str, data) -> str:
    path = os.path.join(directory, name)
    mode = _writable_mode(path)
    with told_as(path):
        fd, tmp = _new_temporary(directory, name)
        try:
            with os.fdopen(fd, "wb") as f:
                # A large file may come as a list of pieces, never joined in memory.
                if isinstance(data, list):
                    f.writelines(data)
                else:
                    f.write(data)
                f.flush()
                os.fsync(f.fileno())
            os.chmod(tmp, mode)
        except BaseException:
            remove_temporary(tmp)
            raise
    return tmp


def remove_temporary(path: str) -> None:
    """Remove a temporary that will not be placed (one already gone is fine)."""
    try:
        os.unlink(path)
    except OSError:
        pass


STOP_SIGNALS = {getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)}


@contextmanager
def signals_held(signals=STOP_SIGNALS):
    """Hold back `signals` for the block (delivered when it ends), where the
    platform can."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def stage_files(directory: str, files) -> list:
    """Write each (name, bytes or list of bytes) file of `files` to a
    temporary in `directory`, flushed to disk; returns the (temporary, name)
    pairs for `commit_files`.  A failure (a full disk, an interruption)
    removes the temporaries already written and replaces nothing."""
    staged = []
    try:
        for name, data in files:
            staged.append((_write_temporary(directory, name, data), name))
    except BaseException:
        discard_staged(staged)
        raise
    return staged


def discard_staged(staged) -> None:
    """Remove the temporaries of `staged` that were not committed."""
    for tmp, _ in staged:
        remove_temporary(tmp)


def commit_files(directory: str, staged: list) -> dict:
    """Rename the temporaries of `staged` over their files, in order; each
    pair is removed from `staged` once in place.  Returns the status of each
    file as this call placed it, taken through an open handle: another
    process replacing the name right after cannot lend us its file.

    The renames run with Ctrl-C and termination held back; the caller
    removes what is left in `staged` should one fail (`discard_staged`).
    """
    placed = {}
    with signals_held():
        # All opened before the first rename: one that cannot be opened fails
        # the set with nothing replaced.
        handles = []
        try:
            for tmp, name in staged:
                with told_as(os.path.join(directory, name)):
                    handles.append(os.open(tmp, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0)))
            for fd in handles:
                tmp, name = staged[0]
                path = os.path.join(directory, name)
                with told_as(path):
                    # The old file's mode only now: one its owner may not read
                    # or write (a read-only search index) would fail a later step.
                    os.fchmod(fd, mode_for(path))
                    os.replace(tmp, path)
                staged.pop(0)
                placed[name] = os.fstat(fd)  # after the rename, which sets its change time
        finally:
            for fd in handles:
                os.close(fd)
    sync_folder(directory)
    return placed


def sync_folder(directory: str) -> None:
    """Make the renames in `directory` durable where the platform allows it."""
    try:
        dir_fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def write_files(directory: str, files) -> dict:
    """Replace each (name, bytes or list of bytes) file in `directory`, in
    the order given; returns their status as placed (see `commit_files`).

    Every temporary is written and flushed to disk before the first file is
    replaced, so a full disk or an interruption leaves all old files as they
    were and no temporary behind.  The replacements run with Ctrl-C and
    termination held back; the last file named should be the one that
    commits the set (the manifest).
    """
    staged = stage_files(directory, files)
    try:
        return commit_files(directory, staged)
    finally:
        discard_staged(staged)
