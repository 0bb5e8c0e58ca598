"""How the search index file is opened: by readers, each on one snapshot,
and by the indexer, which updates it in place.

The file is an SQLite database in write-ahead-log mode.  The indexer writes
an update as one transaction into the log (`search.db-wal`) and readers
take SQLite's shared lock and read one snapshot: the index as the last
transaction committed before they began, never a half-written one.  A run
stopped at any point (Ctrl-C, a signal, SIGKILL, a full disk) leaves a log
whose uncommitted tail every reader skips.

The side files (`-wal`, `-shm`, and a `-journal` we never write) may come
with a cloned repository: each must be absent or a regular file (SQLite
would follow a link out of the project or open a FIFO), a log must stay
within a bound, and the indexer removes what it did not write before it
opens the file for writing (a planted journal would be played back into
the file, and may name other files).  The indexer leaves the log and its
index behind when it is done, empty, so that a reader who may not create
files in `.vestra/` still reads through them.  Where they are missing and
cannot be made, a reader reads the file as immutable only when no writer can
exist (a read-only file system or a folder nobody may write).
"""

from __future__ import annotations

import contextlib
import os
import stat

from ..errors import IndexProblem
from ..wording import INDEX_AGAIN

SIDE_SUFFIXES = ("-wal", "-shm", "-journal")
# How long a reader waits for the indexer's brief locks (the log's recovery,
# a reset): far longer than they last, short enough not to hang a query.
READER_WAIT_SECONDS = 5.0
# How long the indexer waits for queries still reading an older snapshot
# before it replaces the file whole.
WRITER_WAIT_SECONDS = 30.0
# A log larger than this beyond the file itself is not ours: an update
# writes the pages it changes, and each run empties the log when it ends.
LOG_SLACK = 256 << 20
# How much of the file an update maps (SQLite caps it lower on its own).
MAP_BYTES = 1 << 32


def _uri(real: str, flags: str) -> str:
    for char, escaped in (("%", "%25"), ("?", "%3f"), ("#", "%23")):
        real = real.replace(char, escaped)
    return "file:" + real + "?" + flags


def side_file_problem(real: str, size: int) -> str | None:
    """Why the side files of the index file ``real`` (of ``size`` bytes)
    must not be read, or None."""
    for suffix in SIDE_SUFFIXES:
        try:
            info = os.lstat(real + suffix)
        except FileNotFoundError:
            continue
        except OSError as exc:
            return f"{os.path.basename(real)}{suffix}: cannot look at it ({exc.strerror or exc})"
        if not stat.S_ISREG(info.st_mode):
            return f"{os.path.basename(real)}{suffix}: not a regular file"
        if suffix == "-wal" and info.st_size > size + LOG_SLACK:
            return f"{os.path.basename(real)}{suffix}: larger than its index could make it"
    return None


def _no_writer_can_exist(folder: str) -> bool:
    """True when nothing can write in ``folder``: a read-only file system,
    or a folder that grants no one the right to write."""
    try:
        if os.statvfs(folder).f_flag & getattr(os, "ST_RDONLY", 1):
            return True
        return not os.stat(folder).st_mode & 0o222
    except OSError:
        return False


def _log_is_empty(real: str) -> bool:
    try:
        return os.lstat(real + "-wal").st_size == 0
    except FileNotFoundError:
        return True
    except OSError:
        return False


def begin_snapshot(db) -> int:
    """Begin a read transaction on ``db``; returns its data version, which
    differs from an earlier one of the same connection when another has
    committed since."""
    db.execute("BEGIN")
    return db.execute("PRAGMA data_version").fetchone()[0]  # the read begins: the snapshot is taken


def _snapshot_of(uri: str, timeout: float) -> tuple:
    import sqlite3

    # Used only by the thread that opened it (`graph` keeps one per thread):
    # the module refuses any other thread instead of letting two share it.
    db = sqlite3.connect(uri, uri=True, timeout=timeout, isolation_level=None)
    try:
        db.execute("PRAGMA trusted_schema=OFF")
        return db, begin_snapshot(db)
    except BaseException:
        db.close()
        raise


def connect_for_reading(real: str) -> tuple:
    """(a read-only connection to the index file ``real``, the data version
    of the snapshot it is in).  ``real`` is resolved, inside the project, a
    regular file whose side files passed `side_file_problem`."""
    import sqlite3

    try:
        return _snapshot_of(_uri(real, "mode=ro"), READER_WAIT_SECONDS)
    except sqlite3.OperationalError as exc:
        # The log and its index are missing and may not be made here.
        cannot_make = "readonly" in str(exc) or "unable to open" in str(exc)
        if not (cannot_make and _log_is_empty(real) and _no_writer_can_exist(os.path.dirname(real))):
            raise
    # Nothing can change the file while it is read: it may be read as it lies.
    return _snapshot_of(_uri(real, "mode=ro&immutable=1"), 0)


def clear_foreign_side_files(path: str) -> None:
    """Remove the side files of the index file ``path`` that this indexer
    did not leave: any journal (updates go to the log, never to a journal)
    and any side file that is not a regular file.  Called with the run's
    lock held."""
    for suffix in SIDE_SUFFIXES:
        side = path + suffix
        try:
            info = os.lstat(side)
        except OSError:
            continue
        if suffix == "-journal" or not stat.S_ISREG(info.st_mode):
            try:
                os.unlink(side)
            except IsADirectoryError:
                raise OSError(f"{side}: a folder where the index's {suffix[1:]} goes; remove it") from None


class InPlace:
    """The index file opened by the indexer for an update in place: a
    writing connection in write-ahead-log mode (``db``) and a reading one
    that keeps the log and its index on disk when the writer closes (SQLite
    removes them when the last connection that may write closes)."""

    def __init__(self, path: str) -> None:
        import sqlite3

        clear_foreign_side_files(path)
        self.path = path
        self.db = sqlite3.connect(path, isolation_level=None, timeout=WRITER_WAIT_SECONDS)
        self._keeper = None
        try:
            self.db.execute("PRAGMA trusted_schema=OFF")
            # An update reads every file's numbers, state and stamps, and the
            # arrays whole: mapped, SQLite reads their pages without a call each.
            self.db.execute(f"PRAGMA mmap_size={MAP_BYTES}")
            # From an index written whole: into the log's mode without a
            # journal (only the header's two bytes change).
            if self.db.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                self.db.execute("PRAGMA journal_mode=OFF")
                if self.db.execute("PRAGMA journal_mode=WAL").fetchone()[0] != "wal":
                    raise sqlite3.OperationalError("cannot use a write-ahead log here")
            # Each commit flushed, as a file replaced whole was before its rename.
            self.db.execute("PRAGMA synchronous=FULL")
            self._keeper = sqlite3.connect(_uri(os.path.realpath(path), "mode=ro"), uri=True, isolation_level=None)
            self._keeper.execute("PRAGMA schema_version").fetchone()
        except BaseException:
            self.close()
            raise

    def commit(self) -> None:
        """Commit the update: readers see it from their next snapshot on.
        SQLite's errors (a full disk) are raised as OSError, with the
        previous index kept."""
        import sqlite3

        try:
            self.db.execute("COMMIT")
        except sqlite3.Error as exc:
            raise OSError(f"{self.path}: {exc}") from None

    def record(self, rows: dict) -> None:
        """Replace the `meta` values of ``rows`` in a transaction of their
        own.  SQLite's errors (a full disk) are raised as OSError."""
        import sqlite3

        try:
            self.db.execute("BEGIN IMMEDIATE")
            self.db.executemany("UPDATE meta SET value = ? WHERE key = ?", [(v, k) for k, v in sorted(rows.items())])
            self.db.execute("COMMIT")
        except sqlite3.Error as exc:
            with contextlib.suppress(sqlite3.Error):
                self.db.execute("ROLLBACK")
            raise OSError(f"{self.path}: {exc}") from None

    def checkpoint(self) -> None:
        """Copy the log into the file and empty it, as far as the queries
        reading older snapshots allow (never waiting for them: the next run
        copies the rest)."""
        import sqlite3

        try:
            self.db.execute("PRAGMA busy_timeout=0")
            self.db.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()
        except sqlite3.Error:
            pass  # a full disk: the log keeps the pages, readers still read them

    def close(self) -> None:
        if self.db is not None:
            self.db.close()
            self.db = None
        if self._keeper is not None:
            self._keeper.close()
            self._keeper = None


def keep_side_files(path: str) -> None:
    """Make the log and its index of the index file ``path`` (just placed)
    and leave them, for readers who may not make them.  Only a help to
    those readers: nothing here fails the run."""
    import sqlite3

    try:
        InPlace(path).close()
    except (OSError, sqlite3.Error):
        pass


def settle_before_replacing(path: str) -> None:
    """Make the index file ``path`` safe to replace whole by a new file
    renamed over it: every committed page copied out of the log into the
    old file, then the log and its index removed, so that the new file is
    never read through the old file's log (a log names no file: SQLite would
    lay its pages over any file of that name).  Queries reading the old file
    keep their snapshot (they hold the removed files open).  Raises OSError
    when queries on older snapshots do not end in time; called with the
    run's lock held."""
    import sqlite3

    clear_foreign_side_files(path)
    if not (os.path.lexists(path) and os.path.lexists(path + "-wal")):
        _remove_side_files(path)
        return
    try:
        db = sqlite3.connect(path, isolation_level=None, timeout=WRITER_WAIT_SECONDS)
        try:
            db.execute("PRAGMA trusted_schema=OFF")
            busy, _, _ = db.execute("PRAGMA wal_checkpoint(FULL)").fetchone()
        finally:
            db.close()
    except sqlite3.DatabaseError:
        # Not a database (damaged or planted): nothing in its log is worth keeping.
        busy = 0
    if busy:
        raise OSError(f"{path}: queries still read an older index; {INDEX_AGAIN}")
    _remove_side_files(path)


def _remove_side_files(path: str) -> None:
    for suffix in ("-wal", "-shm"):
        try:
            os.unlink(path + suffix)
        except FileNotFoundError:
            pass


def to_log_mode(path: str) -> None:
    """Put the index file just built at ``path`` (a temporary nothing else
    has open) into write-ahead-log mode."""
    import sqlite3

    from ..atomic import stands_for

    db = sqlite3.connect(path, isolation_level=None)
    try:
        db.execute("PRAGMA journal_mode=OFF")
        if db.execute("PRAGMA journal_mode=WAL").fetchone()[0] != "wal":
            raise IndexProblem(f"{stands_for(path) or path}: cannot use a write-ahead log here")
    finally:
        db.close()
