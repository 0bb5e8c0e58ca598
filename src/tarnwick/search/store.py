"""The search index file `.vestra/search.db`: postings in SQLite.

The file is an SQLite database written whole by `tarnwick-index` into a
temporary file and renamed over the old one, so readers never see a part
of it and never wait for a lock (it is opened read-only and immutable).
Its tables:

- ``meta(key, value)``: the format number, the byte order of the arrays,
  the generation of the graph it was built from, that graph file's size,
  modification time and inode, and its node and edge counts;
- ``arrays(name, data)``: per-document numbers as packed arrays (file norms,
  flags and priors; symbol norms and files);
- ``terms(term, files, file_weights, symbols, symbol_weights)``: one row per
  term, its postings as packed arrays, so a question costs one lookup per
  term whatever the size of the project;
- ``files(number, edges, part)``: the positions in the graph's edge list
  of the edges that touch each file, and the file's part of the graph
  (`parts`); the file ids are one array, NUL-separated;
- ``symbols(number, id, name, kind, line_start, line_end)``;
- ``graph(name, data)``: the compact copy of the graph (`compact`), which
  `load_graph` reads instead of the graph file when the graph file is, by
  device, inode, size, modification and change time, the one it was made
  from;
- ``sources(number, size, mtime_ns, digest)``: each source file as it was
  read (size, modification time, content digest), so that a query can tell
  the files edited since without reading them.  ``meta`` names when the
  run started (``indexed_ns``): a file changed within the same clock tick
  keeps its time and size, and only its digest tells;
- ``records(number, record)``: each file's summary record, the JSON text
  of the store compressed, so that a query reads the records of the files
  it packs instead of parsing the whole store.

An index is used only for the graph it was built from: same generation,
same node and edge counts.  The file is read as untrusted input (it may
have come with a cloned repository): its schema must be the writer's, word
for word, before anything else is asked of it, no function of the schema
runs unless SQLite deems it harmless, and each query ends within
`QUERY_SECONDS` or at a signal.  Anything wrong with the file (not a
database, truncated, another format or schema, locked, not a regular file,
outside the project, a query that does not end) raises `IndexProblem` with
a one-line reason; the caller then ranks in memory.
"""

from __future__ import annotations

import os
import stat
import sys
import threading
import time
import zlib
from array import array

from ..datadir import resolve_inside
from ..errors import IndexProblem, IndexVersionError

INDEX_NAME = "search.db"
FORMAT = 4

_ARRAYS = {
    "file_norm": "f",
    "file_flags": "B",
    "file_prior": "f",
    "symbol_norm": "f",
    "symbol_file": "I",
}


# The tables as the writer creates them, word for word.  A file whose schema
# holds anything else (a view, a trigger, another table or index) was not
# written by `write_index` and is not read: a `.vestra/` may come with a
# cloned repository, and a view can run any query SQLite can.
TABLES = {
    "meta": "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID",
    # Large values live in rowid tables: a key search in a table without rowids reads
    # the whole of every overflowing row it compares against.
    "arrays": "CREATE TABLE arrays(name TEXT PRIMARY KEY, data BLOB)",
    "terms": "CREATE TABLE terms(term TEXT PRIMARY KEY, files BLOB, file_weights BLOB,"
    " symbols BLOB, symbol_weights BLOB) WITHOUT ROWID",
    "files": "CREATE TABLE files(number INTEGER PRIMARY KEY, edges BLOB, part BLOB)",
    "symbols": "CREATE TABLE symbols(number INTEGER PRIMARY KEY, id TEXT, name TEXT, kind TEXT,"
    " line_start INTEGER, line_end INTEGER)",
    "graph": "CREATE TABLE graph(name TEXT PRIMARY KEY, data BLOB)",
    "sources": "CREATE TABLE sources(number INTEGER PRIMARY KEY, size INTEGER, mtime_ns INTEGER, digest TEXT)",
    "records": "CREATE TABLE records(number INTEGER PRIMARY KEY, record BLOB)",
}
# The longest one query may run: a damaged file must not hang a command.
QUERY_SECONDS = 10.0
# Steps of SQLite's machine between two looks at the clock and at signals.
_PROGRESS_STEPS = 5000


# From CPython 3.11 on, a pending signal's handler runs as the progress
# callback is entered, before its body can catch what the handler raises;
# SQLite then ends the query "interrupted" and the exception would be lost.
# The sqlite3 module reports it as unraisable when callback tracebacks are
# on, so a hook keeps it for the thread whose query it ended.
_signal_catch = threading.local()
_hook_installed = False


def _catch_signals_in_callbacks() -> None:
    global _hook_installed
    if _hook_installed or sys.version_info < (3, 11):
        return
    import sqlite3

    previous = sys.unraisablehook

    def keep_for_query(unraisable) -> None:
        index = getattr(_signal_catch, "active", None)
        if index is not None and index._raised is None and unraisable.object == index._progress:
            index._raised = unraisable.exc_value
            return
        previous(unraisable)

    sys.unraisablehook = keep_for_query
    sqlite3.enable_callback_tracebacks(True)
    _hook_installed = True


def _blob(values: array) -> bytes:
    return values.tobytes()


def _text(value):
    """A text column's value as SQLite can hold it.  A file name that is not
    UTF-8 reaches us with its bytes escaped as lone surrogates, which SQLite
    cannot take as text: such a value is kept as a BLOB of the same
    escaped form (`_untext` reads it back)."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return value.encode("utf-8", "surrogatepass")
    return value


def _untext(value):
    return value.decode("utf-8", "surrogatepass") if isinstance(value, bytes) else value


def write_index(
    path: str, corpus, graph_identity: dict, edge_positions: list, file_parts: list, compact_graph=None
) -> None:
    """Write ``corpus`` (a finished `MemoryCorpus`) to ``path`` atomically.

    ``graph_identity`` holds the graph's "generation", its file's "device",
    "inode", "size", "mtime_ns" and "ctime_ns", and its "nodes" and "edges"
    counts; ``edge_positions`` the sorted edge positions and ``file_parts``
    the parts of the graph (`parts.encode`) per file number;
    ``compact_graph`` the blobs of `compact.encode`, if any.  Any failure
    (SQLite's included, as OSError) leaves the old file as it was.
    """
    tmp = build_index(path, corpus, graph_identity, edge_positions, file_parts, compact_graph)
    try:
        os.replace(tmp, path)
    except BaseException:
        _unlink(tmp)
        raise


# A summary record is made from one source file of at most a few MiB; a
# record that unpacks to more is damage (or a planted bomb), not ours.
RECORD_LIMIT = 64 << 20


def pack_record(text: str) -> bytes:
    """A summary record's JSON text as the `records` table keeps it."""
    return zlib.compress(text.encode("utf-8", "backslashreplace"), 6)


def unpack_record(blob) -> str:
    """The JSON text of a packed record (ValueError when it is not one)."""
    if not isinstance(blob, bytes):
        raise ValueError("a record is not a blob")
    unpacker = zlib.decompressobj()
    data = unpacker.decompress(blob, RECORD_LIMIT)
    if unpacker.unconsumed_tail or not unpacker.eof:
        raise ValueError("a record is truncated or too large")
    return data.decode("utf-8")


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def build_index(
    path: str,
    corpus,
    graph_identity: dict,
    edge_positions: list,
    file_parts: list,
    compact_graph=None,
    sources: dict | None = None,
    records: dict | None = None,
) -> str:
    """`write_index`'s file, written to a temporary beside ``path`` and
    flushed to disk, ready to be renamed over it; returns the temporary's
    path.  ``sources`` maps a file id to the (size, modification time in
    ns, content digest or None) its summary was made from, which lets a
    query tell the files edited since; ``records`` maps a file id to its
    summary record as the store holds it, compressed (`pack_record`).  A
    failure removes the temporary;
    SQLite's errors (a full disk) are raised as OSError."""
    import sqlite3

    from ..atomic import finish_temporary, new_temporary

    tmp = new_temporary(path)
    try:
        db = sqlite3.connect(tmp, isolation_level=None)
        try:
            db.execute("PRAGMA journal_mode=OFF")
            db.execute("PRAGMA synchronous=OFF")
            db.execute("PRAGMA page_size=8192")
            db.execute("BEGIN")
            for create in TABLES.values():
                db.execute(create)
            meta = {"format": FORMAT, "byteorder": sys.byteorder, **graph_identity}
            meta.update(files=corpus.file_count, symbols=corpus.symbol_count)
            db.executemany("INSERT INTO meta VALUES (?, ?)", sorted(meta.items()))
            arrays = [(name, _blob(getattr(corpus, name))) for name in _ARRAYS]
            arrays.append(("file_ids", "\0".join(corpus.file_ids).encode("utf-8", "surrogatepass")))
            db.executemany("INSERT INTO arrays VALUES (?, ?)", arrays)
            db.executemany(
                "INSERT INTO terms VALUES (?, ?, ?, ?, ?)",
                ((_text(term), *(_blob(a) for a in entry)) for term, entry in sorted(corpus.terms())),
            )
            db.executemany(
                "INSERT INTO files VALUES (?, ?, ?)",
                ((n, _blob(array("I", e)), part) for n, (e, part) in enumerate(zip(edge_positions, file_parts))),
            )
            db.executemany(
                "INSERT INTO symbols VALUES (?, ?, ?, ?, ?, ?)",
                ((n, *map(_text, info)) for n, info in enumerate(corpus.symbol_info)),
            )
            db.executemany("INSERT INTO graph VALUES (?, ?)", sorted((compact_graph or {}).items()))
            sources = sources or {}
            db.executemany(
                "INSERT INTO sources VALUES (?, ?, ?, ?)",
                ((n, *sources[fid]) for n, fid in enumerate(corpus.file_ids) if fid in sources),
            )
            records = records or {}
            db.executemany(
                "INSERT INTO records VALUES (?, ?)",
                ((n, records[fid]) for n, fid in enumerate(corpus.file_ids) if fid in records),
            )
            db.execute("COMMIT")
        finally:
            db.close()
        finish_temporary(tmp, path)
    except sqlite3.Error as exc:
        _unlink(tmp)
        raise OSError(f"{path}: {_reason(exc)}") from None
    except BaseException:
        _unlink(tmp)
        raise
    return tmp


def set_graph_identity(tmp: str, graph_identity: dict) -> None:
    """Record in the index built at ``tmp`` (`build_index`, not yet renamed)
    the identity of the graph file as it was finally placed.  SQLite's errors
    are raised as OSError."""
    import sqlite3

    try:
        db = sqlite3.connect(tmp, isolation_level=None)
        try:
            db.execute("PRAGMA journal_mode=OFF")
            db.execute("BEGIN")
            db.executemany("UPDATE meta SET value = ? WHERE key = ?", [(v, k) for k, v in sorted(graph_identity.items())])
            db.execute("COMMIT")
        finally:
            db.close()
        with open(tmp, "rb") as f:
            os.fsync(f.fileno())
    except sqlite3.Error as exc:
        raise OSError(f"{tmp}: {_reason(exc)}") from None


class IndexCorpus:
    """A search index opened for reading; the corpus interface of `rank`."""

    def __init__(self, root, path: str) -> None:
        import sqlite3

        self.path = path
        real = resolve_inside(path, root)
        if real is None:
            raise IndexProblem(f"{path}: leads outside the project root")
        try:
            # Never open a FIFO or a device: SQLite would block or read it.
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
            try:
                info = os.fstat(fd)
            finally:
                os.close(fd)
        except OSError as exc:
            raise IndexProblem(f"{path}: cannot open ({exc.strerror or exc})") from None
        if not stat.S_ISREG(info.st_mode):
            raise IndexProblem(f"{path}: not a regular file")
        try:
            # Immutable: the file is only ever replaced whole, so there is
            # nothing to lock and no journal to look for.
            for char, escaped in (("%", "%25"), ("?", "%3f"), ("#", "%23")):
                real = real.replace(char, escaped)
            uri = "file:" + real + "?mode=ro&immutable=1"
            # Used only by the thread that opened it (`vx` keeps one per thread): the
            # module refuses any other thread instead of letting two share it.
            self.db = sqlite3.connect(uri, uri=True, timeout=0)
            self._guard_queries()
            self._check_schema()
            rows = self._rows("SELECT key, value FROM meta")
            self.meta = dict(rows)
            if self.meta.get("format") != FORMAT or self.meta.get("byteorder") != sys.byteorder:
                raise IndexVersionError(f"{path}: written by another version; run tarnwick-index again")
            arrays = dict(self._rows("SELECT name, data FROM arrays"))
            for name, code in _ARRAYS.items():
                values = array(code)
                values.frombytes(arrays[name])
                setattr(self, name, values)
            ids = arrays["file_ids"].decode("utf-8", "surrogatepass")
            self.file_ids = ids.split("\0") if ids else []
        except IndexProblem:
            self.close()
            raise
        except (sqlite3.Error, KeyError, ValueError, TypeError, AttributeError) as exc:
            self.close()
            raise IndexProblem(f"{path}: damaged or not a search index ({_reason(exc)}); run tarnwick-index again") from None
        self.file_count = len(self.file_norm)
        self.symbol_count = len(self.symbol_norm)
        if (
            self.meta.get("files") != self.file_count
            or self.meta.get("symbols") != self.symbol_count
            or len(self.file_ids) != self.file_count
            or len(self.file_flags) != self.file_count
            or len(self.file_prior) != self.file_count
            or len(self.symbol_file) != self.symbol_count
        ):
            self.close()
            raise IndexProblem(f"{path}: damaged (its tables disagree); run tarnwick-index again")

    def _guard_queries(self) -> None:
        """Read the file as untrusted input: no function of the schema runs
        unless it is harmless, and every query ends within `QUERY_SECONDS`
        or at a signal (whose handler's exception is raised again once
        SQLite has stopped)."""
        self._deadline = float("inf")
        self._raised = None
        self.db.execute("PRAGMA trusted_schema=OFF")
        _catch_signals_in_callbacks()
        self.db.set_progress_handler(self._progress, _PROGRESS_STEPS)

    def _progress(self) -> int:
        try:
            return time.monotonic() > self._deadline
        except BaseException as exc:  # a signal handler raised while SQLite was busy
            self._raised = exc
            return 1

    def _rows(self, query: str, params=()) -> list:
        """All rows of ``query``, run under the time bound."""
        import sqlite3

        self._deadline = time.monotonic() + QUERY_SECONDS
        _signal_catch.active = self
        try:
            return self.db.execute(query, params).fetchall()
        except sqlite3.OperationalError:
            raised, self._raised = self._raised, None
            if raised is not None:
                raise raised from None
            if time.monotonic() > self._deadline:
                raise IndexProblem(
                    f"{self.path}: a query ran longer than {QUERY_SECONDS:g} s; run tarnwick-index again"
                ) from None
            raise
        finally:
            self._deadline = float("inf")
            _signal_catch.active = None

    def _row(self, query: str, params=()):
        rows = self._rows(query, params)
        return rows[0] if rows else None

    def _check_schema(self) -> None:
        found = set()
        for kind, name, table, create in self._rows("SELECT type, name, tbl_name, sql FROM sqlite_master"):
            if kind == "table" and TABLES.get(name) == create:
                found.add(name)
            elif not (kind == "index" and create is None and table in TABLES and str(name).startswith("sqlite_autoindex_")):
                raise IndexProblem(
                    f"{self.path}: not a search index of tarnwick-index (it holds the {kind} {name!r});"
                    " run tarnwick-index again"
                )
        if found != TABLES.keys():
            missing = ", ".join(sorted(TABLES.keys() - found))
            raise IndexProblem(f"{self.path}: damaged (no table {missing}); run tarnwick-index again")

    def close(self) -> None:
        db = getattr(self, "db", None)
        if db is not None:
            db.close()
            self.db = None

    def belongs_to(self, graph: dict) -> bool:
        """True when this index was built from ``graph``."""
        generation = graph.get("generation")
        nodes, edges = graph.get("nodes"), graph.get("edges")
        return (
            isinstance(generation, str)
            and generation == self.meta.get("generation")
            and isinstance(nodes, list)
            and len(nodes) == self.meta.get("nodes")
            and len(edges if isinstance(edges, list) else ()) == self.meta.get("edges")
        )

    def vouches_for(self, info: os.stat_result) -> bool:
        """True when the graph file described by ``info`` is, by device,
        inode, size, modification and change time, the one this index was
        built from (a change time cannot be set back by any tool)."""
        meta = self.meta
        return (
            stat.S_ISREG(info.st_mode)
            and info.st_dev == meta.get("device")
            and info.st_ino == meta.get("inode")
            and info.st_size == meta.get("size")
            and info.st_mtime_ns == meta.get("mtime_ns")
            and info.st_ctime_ns == meta.get("ctime_ns")
        )

    def graph_bytes_limit(self) -> int:
        """The most that the graph's copies here (the compact copy, the parts of
        one query) may take, by the size of the graph file this index was built
        from: a few times that size (escapes, positions, an edge kept with
        both its files), so a damaged index cannot make a query allocate more
        than the project could need."""
        size = self.meta.get("size")
        if type(size) is not int or size < 0:
            size = 0
        return 4 * size + (1 << 20)

    def _blobs(self, *names) -> dict:
        """The compact copy's blobs (those named, or all)."""
        where = f" WHERE name IN ({','.join('?' * len(names))})" if names else ""
        # length() and typeof() read only the rows' headers.
        total, others = self._row("SELECT sum(length(data)), sum(typeof(data) != 'blob') FROM graph" + where, names)
        if others:
            raise ValueError("compact copy holds a value that is not a blob")
        if (total or 0) > self.graph_bytes_limit():
            raise ValueError(f"compact copy of {total} bytes, more than its graph file could need")
        return dict(self._rows("SELECT name, data FROM graph" + where, names))

    def _damaged(self, exc: BaseException) -> IndexProblem:
        return IndexProblem(f"{self.path}: damaged ({_reason(exc)}); run tarnwick-index again")

    def _from_compact(self, decode, *names):
        """``decode`` of the compact copy's blobs (those named, or all), or
        None when the index holds none.  Raises `IndexProblem` for a damaged
        copy."""
        import sqlite3

        try:
            blobs = self._blobs(*names)
            return decode(blobs) if blobs else None
        except (sqlite3.Error, ValueError, TypeError, IndexError, KeyError, AttributeError, RecursionError) as exc:
            raise self._damaged(exc) from None

    def graph(self) -> dict | None:
        """The graph rebuilt from the compact copy (see `_from_compact`)."""
        from . import compact

        return self._from_compact(compact.decode)

    def graph_top(self) -> dict | None:
        """The graph's top-level keys from the compact copy, "nodes" and
        "edges" empty (see `_from_compact`)."""
        from . import compact

        return self._from_compact(compact.decode_top, "top")

    def graph_part(self, numbers) -> tuple[list, list]:
        """The (position, record) pairs of the nodes that the packer reads
        for the files ``numbers`` and of the edges that touch them, each in
        graph order (`parts`).  Raises `IndexProblem` when the index cannot
        give them."""
        import sqlite3

        from . import parts

        try:
            blobs = []
            for number in numbers:
                row = self._row("SELECT part FROM files WHERE number = ?", (number,))
                if row is None or not isinstance(row[0], bytes):
                    raise ValueError(f"no part for file {number}")
                blobs.append(row[0])
            return parts.decode(blobs, self.graph_bytes_limit())
        except (sqlite3.Error, ValueError, TypeError) as exc:
            raise self._damaged(exc) from None

    # -- the corpus interface

    def postings(self, term: str):
        row = self._row("SELECT files, file_weights, symbols, symbol_weights FROM terms WHERE term = ?", (term,))
        if row is None:
            return None
        out = []
        for blob, code in zip(row, "IfIf"):
            values = array(code)
            values.frombytes(blob)
            out.append(values)
        if len(out[0]) != len(out[1]) or len(out[2]) != len(out[3]):
            raise ValueError("postings of unequal length")
        if (out[0] and max(out[0]) >= self.file_count) or (out[2] and max(out[2]) >= self.symbol_count):
            raise ValueError("postings out of range")
        return out

    def file_id(self, number: int) -> str:
        return self.file_ids[number]

    def file_numbers(self, file_ids) -> list:
        """The numbers of the files ``file_ids`` (ValueError for one not in
        the index)."""
        numbers = self.__dict__.get("_numbers")
        if numbers is None:
            # Made once per opened index: a query looks up a few files several
            # times, and a search of the list costs as much as the whole map.
            # Built from the end, so the first of two equal ids keeps its number.
            count = len(self.file_ids)
            numbers = self._numbers = dict(zip(reversed(self.file_ids), range(count - 1, -1, -1)))
        try:
            return [numbers[fid] for fid in file_ids]
        except (KeyError, TypeError):
            raise ValueError("not a file of the index") from None

    def source_stamps(self, numbers) -> dict:
        """number -> (size, modification time in ns, digest or None) of the
        source files as they were indexed; files without a record are left
        out."""
        numbers = sorted(set(numbers))
        if not numbers:
            return {}
        marks = ",".join("?" * len(numbers))
        rows = self._rows(f"SELECT number, size, mtime_ns, digest FROM sources WHERE number IN ({marks})", numbers)
        return {
            number: (size, mtime_ns, digest)
            for number, size, mtime_ns, digest in rows
            if type(size) is int and type(mtime_ns) is int and (digest is None or type(digest) is str)
        }

    def summary_records(self, numbers) -> dict:
        """number -> the file's summary record as JSON text (as the store
        holds it); files without a record are left out.  IndexProblem for
        a record that does not unpack."""
        numbers = sorted(set(numbers))
        if not numbers:
            return {}
        marks = ",".join("?" * len(numbers))
        rows = self._rows(f"SELECT number, record FROM records WHERE number IN ({marks})", numbers)
        try:
            return {number: unpack_record(blob) for number, blob in rows}
        except (ValueError, TypeError, zlib.error) as exc:
            raise self._damaged(exc) from None

    def symbols(self, numbers) -> dict:
        numbers = list(numbers)
        out = {}
        for start in range(0, len(numbers), 500):
            chunk = numbers[start : start + 500]
            marks = ",".join("?" * len(chunk))
            for row in self._rows(
                f"SELECT number, id, name, kind, line_start, line_end FROM symbols WHERE number IN ({marks})", chunk
            ):
                out[row[0]] = tuple(map(_untext, row[1:]))
        if len(out) != len(set(numbers)):
            raise ValueError("symbols missing")
        return out

    def edge_positions(self, numbers) -> set:
        positions: set = set()
        for number in numbers:
            row = self._row("SELECT edges FROM files WHERE number = ?", (number,))
            if row is None:
                raise ValueError(f"no file {number}")
            values = array("I")
            values.frombytes(row[0])
            positions.update(values)
        return positions


def indexed_generation(root, path: str) -> str | None:
    """The generation of the graph the index at ``path`` was built from, or
    None when there is no usable index there."""
    try:
        index = IndexCorpus(root, path)
    except IndexProblem:
        return None
    try:
        return index.meta.get("generation")
    finally:
        index.close()


def _reason(exc: BaseException) -> str:
    if isinstance(exc, RecursionError):
        return "nested too deeply"
    text = str(exc) or type(exc).__name__
    return text.replace("\n", " ")
