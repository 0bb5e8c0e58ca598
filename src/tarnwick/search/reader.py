"""Reading the search index `.vestra/search.db` (its format: `store`).

`IndexCorpus` is the corpus interface of `rank` over the file: a question
reads the postings of its terms, the per-document numbers of the documents
they name (`chunks`), and the rows of the few files and symbols it returns,
so what it reads follows what it asks and returns, not the size of the
project.

The file is read as untrusted input (it may have come with a cloned
repository): its schema must be the writer's, word for word, before
anything else is asked of it, no function of the schema runs unless SQLite
deems it harmless, and each query ends within `QUERY_SECONDS` or at a
signal.  Anything wrong with the file (not a database, truncated, another
format or schema, locked, not a regular file, outside the project, a query
that does not end) raises `IndexProblem` with a one-line reason; the caller
then ranks in memory.
"""

from __future__ import annotations

import os
import stat
import sys
import threading
import time
import zlib
from array import array

from .._scoring import decode_postings
from ..datadir import GRAPH_LIMIT, resolve_inside
from . import chunks, first_symbols
from .corpus import norms
from .index_file import begin_snapshot, connect_for_reading, side_file_problem
from .weights import DEFAULT_WEIGHTS
from ..errors import IndexProblem, IndexVersionError
from .store import (
    CHUNK,
    FILE_ARRAYS,
    FILE_IDS,
    FORMAT,
    SYMBOL_ARRAYS,
    TABLES,
    from_sql_text,
    reason,
    symbol_from_row,
    to_sql_text,
    unpack_record,
)
from ..wording import INDEX_AGAIN

# The longest one query may run: a damaged file must not hang a command.
QUERY_SECONDS = 10.0
# Steps of SQLite's machine between two looks at the clock and at signals.
_PROGRESS_STEPS = 5000
# Values bound in one query, under the least limit SQLite builds have.
_BATCH = 500
_DOCUMENT_ARRAYS = frozenset((*FILE_ARRAYS, *SYMBOL_ARRAYS))
# Files whose decoded parts of the graph a connection keeps: a server asked
# about the same files again decodes them once.
KEPT_PARTS = 256
# What a file's total takes besides its scores.
FILE_FACTS = ("file_flags", "file_prior")


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


class IndexCorpus:
    """A search index opened for reading; the corpus interface of `rank`."""

    # No document's norm is below this: the indexer norms every document with
    # the default weights, from a length of at least zero.  `rank` bounds the
    # scores of documents whose norms it has not read with it.
    least_norm = norms([0.0], DEFAULT_WEIGHTS, 1.0)[0]

    def __init__(self, root, path: str) -> None:
        import sqlite3

        self.path = path
        self._kept_parts: dict = {}  # file id -> its decoded part of the graph, first decoded first
        # What the query side decoded of the summary records (`summary_records`), kept with the index.
        self.kept_records: dict = {}
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
        problem = side_file_problem(real, info.st_size)
        if problem is not None:
            raise IndexProblem(f"{problem}; {INDEX_AGAIN}")
        try:
            # One snapshot: the index as the last update committed before it.
            self.db, self._version = connect_for_reading(real)
            self._guard_queries()
            self._check_schema()
            self.meta = dict(self._rows("SELECT key, value FROM meta"))
            size = self._row("PRAGMA page_count")[0] * self._row("PRAGMA page_size")[0]
            if self.meta.get("format") != FORMAT or self.meta.get("byteorder") != sys.byteorder:
                raise IndexVersionError(f"{path}: written by another version; {INDEX_AGAIN}")
        except IndexProblem:
            self.close()
            raise
        except (sqlite3.Error, ValueError, TypeError) as exc:
            self.close()
            raise IndexProblem(f"{path}: damaged or not a search index ({reason(exc)}); {INDEX_AGAIN}") from None
        # Symbols are counted as live ones (for the ranking) and as the slots
        # of their arrays, which an update may leave free between them.
        counts = self.meta.get("files"), self.meta.get("symbols"), self.meta.get("symbol_slots")
        # A file's numbers take a byte or more, a symbol's eight: counts the file
        # cannot hold are damage (and must not size the arrays kept for them).
        if (
            self.meta.get("chunk") != CHUNK
            or any(type(n) is not int or n < 0 for n in counts)
            or counts[1] > counts[2]
            or counts[0] + 8 * counts[2] > size
        ):
            self.close()
            raise IndexProblem(f"{path}: damaged (its tables disagree); {INDEX_AGAIN}")
        self.file_count, self.symbol_count, self.symbol_slots = counts
        identity = (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)
        key = (real, identity, self.meta.get("generation"), *counts)
        # Whatever this file's numbers other connections to it have read already.
        self._documents = chunks.shared(key, self.file_count, self.symbol_slots)

    def release(self) -> None:
        """End the snapshot (a long-lived process between its questions: a
        snapshot held would keep the indexer from emptying its log).  The
        next read takes a new one, refused if the index changed since."""
        if self.db is not None and self.db.in_transaction:
            self.db.execute("ROLLBACK")

    def renew(self) -> bool:
        """Take a new snapshot; False (and none taken) when the index changed
        since this one was opened: open it again to read the new one."""
        self.release()
        try:
            self._resume()
        except IndexProblem:
            return False
        return True

    def _resume(self) -> None:
        import sqlite3

        try:
            version = begin_snapshot(self.db)
        except sqlite3.Error as exc:
            raise self._damaged(exc) from None
        if version != self._version:
            self.db.execute("ROLLBACK")
            raise IndexProblem(f"{self.path}: updated while in use; ask again")

    def _guard_queries(self) -> None:
        """Read the file as untrusted input (no function of the schema runs
        unless it is harmless: `connect_for_reading`): every query ends within `QUERY_SECONDS`
        or at a signal (whose handler's exception is raised again once
        SQLite has stopped)."""
        self._deadline = float("inf")
        self._raised = None
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
        return self._each_row(query, params, None)

    def _each_row(self, query: str, params, take) -> list:
        """The rows of ``query`` run under the time bound: all of them, or
        each handed to ``take`` as it comes (none kept) when one is given."""
        import sqlite3

        if not self.db.in_transaction:
            self._resume()
        self._deadline = time.monotonic() + QUERY_SECONDS
        _signal_catch.active = self
        try:
            cursor = self.db.execute(query, params)
            if take is None:
                return cursor.fetchall()
            for row in cursor:
                take(*row)
            return []
        except sqlite3.OperationalError:
            raised, self._raised = self._raised, None
            if raised is not None:
                raise raised from None
            if time.monotonic() > self._deadline:
                raise IndexProblem(
                    f"{self.path}: a query ran longer than {QUERY_SECONDS:g} s; {INDEX_AGAIN}"
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
                self._refuse_other_format(found)
                raise IndexProblem(
                    f"{self.path}: not a search index of tarnwick-index (it holds the {kind} {name!r});"
                    f" {INDEX_AGAIN}"
                )
        if found != TABLES.keys():
            self._refuse_other_format(found)
            missing = ", ".join(sorted(TABLES.keys() - found))
            raise IndexProblem(f"{self.path}: damaged (no table {missing}); {INDEX_AGAIN}")

    def _refuse_other_format(self, found: set) -> None:
        """Raise IndexVersionError when the file is an index of another format:
        its tables differ, yet its `meta` table (the writer's, read as a plain
        table) names another format number."""
        if "meta" not in found:
            return
        row = self._row("SELECT value FROM meta WHERE key = 'format'")
        if row is not None and type(row[0]) is int and row[0] != FORMAT:
            raise IndexVersionError(f"{self.path}: written by another version; {INDEX_AGAIN}")

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
        from (or would have been, when the run wrote none): a few times that
        size (escapes, positions, an edge kept with both its files), so a
        damaged index cannot make a query allocate more than the project
        could need.  A size beyond any graph file's counts as the largest."""
        size = self.meta.get("size")
        if type(size) is not int or size < 0:
            size = 0
        return 4 * min(size, GRAPH_LIMIT) + (1 << 20)

    def _sized(self, table: str, column: str, where: str = "", params=()) -> None:
        """Refuse ``column`` of ``table`` (rows ``where``) holding anything
        but blobs, or more than the graph they were cut from could make."""
        # length() and typeof() read only the rows' headers.
        total, others = self._row(
            f"SELECT sum(length({column})), sum(typeof({column}) != 'blob') FROM {table}{where}", params
        )
        if others:
            raise ValueError("compact copy holds a value that is not a blob")
        if (total or 0) > self.graph_bytes_limit():
            raise ValueError(f"compact copy of {total} bytes, more than its graph file could need")

    def _damaged(self, exc: BaseException) -> IndexProblem:
        return IndexProblem(f"{self.path}: damaged ({reason(exc)}); {INDEX_AGAIN}")

    def _graph_copy(self, whole: bool):
        """The compact copy's top and, when ``whole``, its chunks in graph
        order; None when the index holds none.  Raises `IndexProblem` for a
        damaged copy."""
        import sqlite3

        from . import compact

        try:
            self._sized("graph", "data")
            rows = dict(self._rows("SELECT name, data FROM graph"))
            if not rows and self._row("SELECT count(*) FROM chunks")[0] == 0:
                return None  # a graph of a shape the copy does not rebuild
            if rows.keys() != {"top"}:
                raise ValueError("compact copy without its top or with rows of its own")
            if not whole:
                return compact.decode_top(rows["top"])
            self._sized("chunks", "data")
            chunks = sorted((from_sql_text(first), data) for first, data in self._rows("SELECT first, data FROM chunks"))
            return compact.decode(rows["top"], [data for _, data in chunks], self.graph_bytes_limit())
        except (sqlite3.Error, ValueError, TypeError, IndexError, KeyError, AttributeError, RecursionError, OverflowError) as exc:
            raise self._damaged(exc) from None

    def graph(self) -> dict | None:
        """The graph rebuilt from the compact copy (see `_graph_copy`)."""
        return self._graph_copy(True)

    def graph_top(self) -> dict | None:
        """The graph's top-level keys from the compact copy, "nodes" and
        "edges" empty (see `_graph_copy`)."""
        return self._graph_copy(False)

    def _parts(self, file_ids, columns: str) -> list:
        """The rows (``columns``) of the parts of ``file_ids``."""
        file_ids = sorted(set(file_ids))
        rows = self._rows_in(f"SELECT {columns} FROM parts WHERE id IN ({{}})", list(map(to_sql_text, file_ids)))
        if len(rows) != len(file_ids):
            raise ValueError("a file without its part")
        return rows

    def graph_part(self, file_ids) -> tuple[list, list]:
        """The nodes that the packer reads for the files ``file_ids`` and the
        (key, edge) pairs of the edges that touch them, each in graph order
        (`parts`).  Raises `IndexProblem` when the index cannot give them."""
        import sqlite3

        try:
            blocks = self._decoded_parts(file_ids)
        except (sqlite3.Error, ValueError, TypeError, KeyError, AttributeError) as exc:
            raise self._damaged(exc) from None
        return [node for fid in sorted(blocks) for node in blocks[fid][0]], _edges_of(blocks)

    def file_edges(self, file_ids) -> list:
        """The (key, edge) pairs of the edges that touch the files
        ``file_ids``, in graph order (ValueError when the index cannot give
        them)."""
        try:
            return _edges_of(self._decoded_parts(file_ids))
        except (TypeError, KeyError, AttributeError) as exc:
            raise ValueError(reason(exc)) from None

    def _decoded_parts(self, file_ids) -> dict:
        """{file id: (its nodes, its (key, edge) pairs)} of ``file_ids``,
        those decoded by an earlier query of this connection kept (shared
        by the answers, which copy what they change)."""
        from . import parts

        kept = self._kept_parts
        wanted = sorted(set(file_ids))
        missing = [fid for fid in wanted if fid not in kept]
        if missing:
            rows = self._parts(missing, "id, nodes, edges")
            kept.update(parts.decode_each(((from_sql_text(fid), n, e) for fid, n, e in rows), self.graph_bytes_limit()))
        found = {fid: kept[fid] for fid in wanted}
        while len(kept) > KEPT_PARTS:
            del kept[next(iter(kept))]
        return found

    def _rows_in(self, query: str, values: list) -> list:
        """The rows of ``query``, whose ``{}`` is the list of an IN, for all
        ``values`` (bound in batches SQLite takes)."""
        rows = []
        for start in range(0, len(values), _BATCH):
            batch = values[start : start + _BATCH]
            rows.extend(self._rows(query.format(",".join("?" * len(batch))), batch))
        return rows

    # -- the corpus interface

    def __getattr__(self, name: str):
        # The per-document arrays `rank` reads, filled as postings name documents.
        if name in _DOCUMENT_ARRAYS:
            if name == "symbol_file":
                self._documents.owners_whole()  # whoever reads them whole finds them whole
            return getattr(self._documents, name)
        raise AttributeError(name)

    def arrays(self, names: list) -> dict:
        """{name: data} of the `arrays` rows ``names``."""
        return dict(self._rows_in("SELECT name, data FROM arrays WHERE name IN ({})", names))

    def array_chunks(self, name: str, take) -> None:
        """Hand every row of the array ``name``'s chunks to ``take(row
        name, data)`` as it is read: one range of the rows' index ("/"
        sorts just before "0"), no row kept."""
        self._each_row("SELECT name, data FROM arrays WHERE name > ? AND name < ?", (f"{name}/", f"{name}0"), take)

    def postings(self, term: str):
        """(file numbers, weights, symbol numbers, weights) of ``term``, or
        None; the numbers of the documents they name are read with them."""
        out = self.stored_postings(term)
        if out is not None:
            self._documents.need_files(out[0], self)
            self._documents.need_symbols(out[2], self)
        return out

    def stored_postings(self, term: str):
        """(file numbers, weights, symbol numbers, weights) of ``term``, or
        None; nothing else is read (`need_owners`, `need_norms`).  Those
        decoded for an earlier question on this index file are kept."""
        return self._documents.postings(term, lambda: self._decoded_postings(term))

    def _decoded_postings(self, term: str):
        row = self._row("SELECT postings FROM terms WHERE term = ?", (term,))
        if row is None:
            return None
        if not isinstance(row[0], bytes):
            raise ValueError("postings not a blob")
        # The form is checked as it is decoded; the numbers' ranges where they are scored.
        return decode_postings(row[0])

    def need_owners(self, files, symbols) -> None:
        """Read the files' flags and priors of the files ``files`` and of
        those the symbols ``symbols`` lie in, and those symbols' files."""
        documents = self._documents
        documents.need(FILE_FACTS, files, self, ordered=True)
        documents.need(FILE_FACTS, documents.owners(symbols, self), self)

    def owners_left(self):
        """Each file's first symbol while the symbols' files are left to them,
        else None."""
        documents = self._documents
        return documents.first_symbols if documents.owners_deferred else None

    def scored_owners(self):
        """The symbols' files as far as made: whole, or, while they are left to
        the first symbols, those of the files whose blocks were looked up
        (`symbol_blocks`), the only symbols the exact passes score."""
        return self._documents.symbol_file

    def need_norms(self, files, symbols) -> None:
        """Read the norms of the files ``files`` and symbols ``symbols``
        (postings' numbers: increasing)."""
        self._documents.need(("file_norm",), files, self, ordered=True)
        self._documents.need(("symbol_norm",), symbols, self, ordered=True)

    def symbol_blocks(self, numbers):
        """The blocks of the symbols of the files ``numbers`` (a file's
        symbols are numbered together): a packed array of (first, end)
        pairs in increasing order, empty blocks left out; None when the
        index does not keep them (one that is only ever built anew)."""
        if self.meta.get("updatable") != 1:
            return None
        documents = self._documents
        known = documents.blocks
        wanted = set(numbers)
        missing = sorted(number for number in wanted if number not in known)
        if missing:
            rows = self._rows_in("SELECT number, first_symbol, symbols FROM docstate WHERE number IN ({})", missing)
            if len(rows) != len(missing):
                return None
            # Made from the first symbols, the symbols' files must hold the blocks as stated.
            firsts, owners, left = documents.first_symbols, documents.symbol_file, documents.owners_deferred
            for number, first, count in rows:
                if not (type(first) is int and type(count) is int and first >= 0 and count >= 0):
                    raise ValueError("a file's block of symbols out of range")
                if first + count > self.symbol_slots:
                    raise ValueError("a file's block of symbols out of range")
                if firsts is not None and not (
                    first_symbols.agrees_left(firsts, documents.block_ends, number, first, count, self.symbol_slots)
                    if left
                    else first_symbols.agrees(firsts, owners, number, first, count)
                ):
                    raise ValueError("a file's block of symbols is not where its first symbol says")
                known[number] = (first, first + count)
        documents.own_blocks({number: known[number] for number in wanted})
        blocks = array("I")
        for first, end in sorted(known[number] for number in wanted):
            if end > first:
                blocks.append(first)
                blocks.append(end)
        return blocks

    def file_id(self, number: int) -> str:
        if not 0 <= number < self.file_count:
            raise IndexError("file number out of range")
        ids = self._documents.file_ids.get(number // CHUNK)
        if ids is None:
            self._documents.need((FILE_IDS,), (number,), self)
            ids = self._documents.file_ids[number // CHUNK]
        return ids[number % CHUNK]

    def _file_id(self, number) -> str:
        if type(number) is not int or not 0 <= number < self.file_count:
            raise ValueError("a symbol's file out of range")
        return self.file_id(number)

    def file_numbers(self, file_ids) -> list:
        """The numbers of the files ``file_ids`` (ValueError for one not in
        the index)."""
        known = self._documents.numbers
        file_ids = list(file_ids)
        if not all(isinstance(fid, str) for fid in file_ids):
            raise ValueError("not a file of the index")
        asked = sorted({fid for fid in file_ids if fid not in known})
        rows = self._rows_in("SELECT id, number FROM file_numbers WHERE id IN ({})", list(map(to_sql_text, asked)))
        found = {from_sql_text(fid): number for fid, number in rows}
        for fid in asked:
            number = found.get(fid)
            if number is not None and (type(number) is not int or not 0 <= number < self.file_count):
                raise ValueError("a file number out of range")
            known[fid] = number
        numbers = [known[fid] for fid in file_ids]
        if None in numbers:
            raise ValueError("not a file of the index")
        return numbers

    def source_stamps(self, numbers) -> dict:
        """number -> (size, modification time in ns, digest or None) of the
        source files as they were indexed; files without a record are left
        out."""
        rows = self._rows_in("SELECT number, size, mtime_ns, digest FROM sources WHERE number IN ({})", sorted(set(numbers)))
        return {
            number: (size, mtime_ns, digest)
            for number, size, mtime_ns, digest in rows
            if type(size) is int and type(mtime_ns) is int and (digest is None or type(digest) is str)
        }

    def summary_records(self, numbers) -> dict:
        """number -> the file's summary record as JSON text (as the store
        holds it); files without a record are left out.  IndexProblem for
        a record that does not unpack."""
        rows = self._rows_in("SELECT number, record FROM records WHERE number IN ({})", sorted(set(numbers)))
        try:
            return {number: unpack_record(blob) for number, blob in rows}
        except (ValueError, TypeError, zlib.error) as exc:
            raise self._damaged(exc) from None

    def symbols(self, numbers) -> dict:
        numbers = list(numbers)
        query = "SELECT number, file, id, name, kind, line_start, line_end FROM symbols WHERE number IN ({})"
        out = {row[0]: symbol_from_row(row[1:], self._file_id) for row in self._rows_in(query, numbers)}
        if len(out) != len(set(numbers)):
            raise ValueError("symbols missing")
        return out

def _edges_of(blocks: dict) -> list:
    """The (key, edge) pairs of the parts ``blocks``, each once, in graph order."""
    edges = {key: edge for _, pairs in blocks.values() for key, edge in pairs}
    return sorted(edges.items(), key=lambda pair: pair[0])


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


