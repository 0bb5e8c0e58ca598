"""The incremental cache's file, `.vestra/index-cache.db`: one SQLite row
per source file, so a run reads only the stamps of unchanged files and
rewrites only the rows of what changed.

Tables:

- ``meta(key, value)``: the signature the rows were made under
  (`cache.signature`) and what the last run that wrote the outputs learned
  (``run``: its generation, figures and the resolution settings it saw, as
  JSON);
- ``files(path, size, mtime_ns, read_ns, digest, head, result, docs,
  links, checksum)``: each file's stamp (size and modification time as the
  walk saw them, when the run that took its digest began, the digest), the
  fields every run reads of every file (`cache.head_text`, as JSON text:
  read for a whole project in one pass), its
  result fields with the JSON texts spliced into the outputs
  (`cache.pack_fields`), apart from them its search documents (read one
  file at a time), its resolved links (its outgoing edges, then the keys
  its resolution read: `pack_links`), all zlib-compressed, and a checksum
  of each (their digests, `SUM_BYTES` bytes each, one after another);
- ``reads(key, path)``: for each key a resolution read (a module looked
  for, a file whose references were followed), the files whose edges it
  decided: a change to the key re-resolves those.  Both are kept as 32-bit
  hashes of their text, four bytes a number where 64-bit ones took eight (a
  collision only re-resolves a file in vain);
- ``names(hash, path)``: the path of each file hash that ``reads`` holds, so
  that the few readers of a changed key are named without hashing every
  path of the project (the names of files gone stay until a full run: they
  only ever name files that are not there).

The results of the files parsed in a run wait in a temporary table
(``spool``, in SQLite's own scratch file, never in the cache file) from
when their worker hands them over until the run's rows are written: held
in memory, a large project's results would be most of the run's peak.

A full run builds a new file in a temporary and renames it into place; a
later run changes rows in place in one transaction, committed after the
outputs are placed, so an interruption leaves the file as the last run
that finished left it (SQLite's journal undoes a half-written
transaction).  The rows always describe the files as they were read, so a
cache newer or older than the outputs only costs the next run a write.

The file is untrusted input (a `.vestra/` may come with a cloned
repository): it is opened only as a regular file inside the project whose
schema is exactly ours, with SQLite's `trusted_schema` off; any doubt
makes the run start from scratch with a new file.
"""

from __future__ import annotations

import hashlib
import json
import os
import sqlite3
import stat
import zlib
from operator import itemgetter
from typing import NamedTuple

from ..atomic import finish_temporary, new_temporary, told_as
from ..datadir import resolve_inside

CACHE_NAME = "index-cache.db"
# The JSON texts the cache keeps of what a run learned unpack to far less.
META_LIMIT = 64 << 20
LINKS_LIMIT = 64 << 20
DOCS_LIMIT = 256 << 20
# The file is mapped (up to SQLite's own cap) for a run: each row's checksum
# lies after its blobs, and reading every row's head follows their overflow
# pages, a read call each when not mapped.
MAP_BYTES = 1 << 32

TABLES = {
    "meta": "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID",
    "files": "CREATE TABLE files(path TEXT PRIMARY KEY, size INTEGER, mtime_ns INTEGER, read_ns INTEGER,"
    " digest TEXT, head TEXT, result BLOB, docs BLOB, links BLOB, checksum BLOB)",
    "reads": "CREATE TABLE reads(key INTEGER, path INTEGER, PRIMARY KEY(key, path)) WITHOUT ROWID",
    "names": "CREATE TABLE names(hash INTEGER, path TEXT, PRIMARY KEY(hash, path)) WITHOUT ROWID",
}


# A row's stamp is of our shape (else its file is parsed again).
SHAPED = (
    "typeof(size) = 'integer' AND typeof(mtime_ns) = 'integer' AND typeof(read_ns) = 'integer'"
    " AND typeof(digest) = 'text'"
)

# This run's parsed results until `put_spooled` writes their rows.
SPOOL = (
    "CREATE TEMP TABLE spool(path TEXT PRIMARY KEY, head TEXT, result BLOB, docs BLOB,"
    " result_sum BLOB, docs_sum BLOB, head_sum BLOB)"
)


class SpoolRow(NamedTuple):
    """A parsed file's texts as its row keeps them: the head fields' text,
    the packed result, the compressed search documents, and the digests of
    the packed result, of the documents' text and of the head."""

    head: str
    result: bytes
    docs: bytes
    result_sum: bytes
    docs_sum: bytes
    head_sum: bytes


class CacheProblem(ValueError):
    """The cache file cannot be used (damaged, another format, not ours)."""


def _sql_text(value: str):
    # A name that is not UTF-8 reaches us with lone surrogates, which SQLite
    # cannot hold as text: such a name is kept as the bytes of that form.
    try:
        value.encode("utf-8")
        return value
    except UnicodeEncodeError:
        return value.encode("utf-8", "surrogatepass")


def _py_text(value) -> str:
    if isinstance(value, bytes):
        try:
            return value.decode("utf-8", "surrogatepass")
        except UnicodeDecodeError:
            raise CacheProblem("a name that is not ours") from None
    if not isinstance(value, str):
        raise CacheProblem("a name of another type")
    return value


def _named(paths) -> dict:
    """Each name of `paths` kept as bytes (`_sql_text`) by its text; one
    that does not decode is left out, like a row of another shape."""
    out = {}
    for path in paths:
        if type(path) is not str:
            try:
                out[path] = _py_text(path)
            except CacheProblem:
                pass
    return out


def _texts(paths: set) -> tuple[set, dict]:
    """(the rows' `paths` as text, the names among them kept as bytes by
    their text): most projects have none of those, told in one pass."""
    if not paths or set(map(type, paths)) == {str}:
        return paths, {}
    named = _named(paths)
    return {path for path in paths if type(path) is str} | set(named.values()), named


def text_hash(text: str) -> int:
    """A 32-bit hash of `text`, the same in every process."""
    data = text.encode("utf-8", "surrogatepass")
    return int.from_bytes(hashlib.blake2b(data, digest_size=4).digest(), "little", signed=True)


# A row's blobs, in the order of its checksum.
RESULT, DOCS, HEAD, LINKS = range(4)
# The bytes of one blob's digest in a checksum, and of the checksum.
SUM_BYTES = 16
CHECKSUM_BYTES = 4 * SUM_BYTES


# The checksum column as read: a value of another type is never fetched (a
# text that is not UTF-8 would not even decode).
CHECKSUM = "CASE WHEN typeof(checksum) = 'blob' THEN checksum END"


# The digests of a row's search documents and of its head, which follow one
# another in its checksum, as one value; None unless the head is text and
# the checksum of our shape (its file is parsed again).
HEAD_SUMS = (
    f"CASE WHEN typeof(head) = 'text' AND typeof(checksum) = 'blob' AND length(checksum) = {CHECKSUM_BYTES}"
    f" THEN substr(checksum, {DOCS * SUM_BYTES + 1}, {2 * SUM_BYTES}) END"
)


def _vouched(made: dict, head, sums, fields_of) -> dict | None:
    """The fields of a row's `head` when it is text its digests `sums` (see
    `HEAD_SUMS`) name, else None; `made` keeps each head text's digest and
    fields, for the rows that share it."""
    if sums is None or type(head) is not str:
        return None
    found = made.get(head)
    if found is None:
        found = made[head] = (blob_sum(head.encode("utf-8")), fields_of(head))
    return found[1] if found[1] is not None and sums.endswith(found[0]) else None


def blob_sum(data: bytes) -> bytes:
    """The digest a checksum keeps of one blob."""
    return hashlib.blake2b(data, digest_size=SUM_BYTES).digest()


def checksum(result: bytes, docs_text: bytes, head: str, links: bytes | None) -> bytes:
    """The checksum column of a row: a digest of each blob (of the search
    documents' text, not of its compressed form: the digest also tells the
    search index whether a file's documents changed), so that each can be
    checked alone."""
    return b"".join(blob_sum(blob or b"") for blob in (result, docs_text, head.encode("utf-8"), links))


def named_sum(check, at: int) -> bytes | None:
    """The digest the checksum `check` names at `at` (None: not a checksum)."""
    if type(check) is not bytes or len(check) != CHECKSUM_BYTES:
        return None
    return check[at * SUM_BYTES : (at + 1) * SUM_BYTES]


def _holds(check, at: int, blob) -> bool:
    """True when `blob` is the one the checksum `check` names at `at`."""
    if not isinstance(blob, (bytes, type(None))):
        return False
    named = named_sum(check, at)
    return named is not None and named == blob_sum(blob or b"")


def inflate_docs(blob, check) -> bytes | None:
    """The text of packed search documents when its digest is `check`, else None."""
    if not isinstance(blob, bytes):
        return None
    unpacker = zlib.decompressobj()
    try:
        text = unpacker.decompress(blob, DOCS_LIMIT)
    except zlib.error:
        return None
    if unpacker.unconsumed_tail or not unpacker.eof or blob_sum(text) != check:
        return None
    return text


def pack_links(edges: list, reads) -> bytes:
    """A file's outgoing edges (per edge kind, its sorted targets) and the
    keys its resolution read, as the cache keeps them: two JSON texts on
    two lines, so that the edges are read without the keys."""
    text = _encode(edges) + "\n" + _encode(sorted(reads))
    return zlib.compress(text.encode("utf-8", "surrogatepass"), 1)


def unpack_links(blob: bytes, kinds: int, with_reads: bool = False) -> tuple:
    """(edges, reads or None) of `pack_links` (CacheProblem when damaged)."""
    unpacker = zlib.decompressobj()
    try:
        text = unpacker.decompress(blob, LINKS_LIMIT)
        if unpacker.unconsumed_tail or not unpacker.eof:
            raise CacheProblem("damaged links")
        first, newline, second = text.decode("utf-8", "surrogatepass").partition("\n")
        edges = json.loads(first)
        reads = json.loads(second) if with_reads else None
    except (zlib.error, ValueError, TypeError, RecursionError, UnicodeError):
        raise CacheProblem("damaged links") from None
    if (
        not newline
        or not isinstance(edges, list)
        or len(edges) != kinds
        or not all(isinstance(targets, list) and all(isinstance(t, str) for t in targets) for targets in edges)
        or (with_reads and not (isinstance(reads, list) and all(isinstance(key, str) for key in reads)))
    ):
        raise CacheProblem("damaged links")
    return edges, reads


_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


class CacheDB:
    """An open cache file (see the module's docstring)."""

    def __init__(self, db: sqlite3.Connection, path: str, target: str):
        self.db = db
        self.path = path  # the file written to (a temporary for a new cache)
        self.target = target  # where it is to live
        self.fresh = path != target
        self._spooling = False
        # The walk state committed with the rows (`walk_state`): a commit
        # without one drops the old, which would no longer match the rows.
        self.walk_blob = None
        self._walk_read = False
        # The paths of the rows of our shape as this run found them (`paths`).
        self.row_paths = None

    # -- opening -------------------------------------------------------------

    @classmethod
    def create(cls, data_dir: str) -> "CacheDB":
        """A new, empty cache in a temporary beside its place."""
        target = os.path.join(data_dir, CACHE_NAME)
        tmp = new_temporary(target)
        try:
            db = _connect(tmp)
            db.execute("PRAGMA journal_mode=OFF")  # a temporary: a failed run discards it
            for create in TABLES.values():
                db.execute(create)
            db.execute("BEGIN")
        except sqlite3.Error as exc:  # a full disk, as for the other files
            os.unlink(tmp)
            raise OSError(f"{target}: {exc}") from None
        except BaseException:
            os.unlink(tmp)
            raise
        return cls(db, tmp, target)

    @classmethod
    def open(cls, data_dir: str, root: str, signature: str) -> "CacheDB":
        """The project's cache for an incremental run, opened for writing
        (CacheProblem when there is none usable: a missing file, one of
        another signature or schema, damage)."""
        target = os.path.join(data_dir, CACHE_NAME)
        real = resolve_inside(target, root)
        if real is None:
            raise CacheProblem("leads outside the project")
        try:
            info = os.lstat(target)
        except OSError as exc:
            raise CacheProblem(str(exc)) from None
        if not stat.S_ISREG(info.st_mode):
            raise CacheProblem("not a regular file")
        try:
            db = _connect(target)
        except sqlite3.Error as exc:
            raise CacheProblem(str(exc)) from None
        # A cache may come from elsewhere: a text cell that is not UTF-8 reads
        # as bytes, which no path, head or digest of ours is, so its row is
        # parsed again instead of the fetch failing the run.
        db.text_factory = _text_or_bytes
        try:
            db.execute(f"PRAGMA mmap_size={MAP_BYTES}")
            _check_schema(db)
            row = db.execute("SELECT value FROM meta WHERE key = 'signature'").fetchone()
            if row is None or row[0] != signature:
                raise CacheProblem("another signature")
            db.execute("BEGIN IMMEDIATE")
        except (sqlite3.Error, CacheProblem) as exc:
            db.close()
            raise CacheProblem(str(exc)) from None
        return cls(db, target, target)

    # -- reading -------------------------------------------------------------

    def run(self) -> dict:
        """What the last run that wrote outputs learned ({} when unknown)."""
        row = self.db.execute("SELECT value FROM meta WHERE key = 'run'").fetchone()
        if row is None or not isinstance(row[0], str) or len(row[0]) > META_LIMIT:
            return {}
        try:
            run = json.loads(row[0])
        except (ValueError, RecursionError):
            return {}
        return run if isinstance(run, dict) else {}

    def walk_state(self) -> bytes | None:
        """The state the last run's walk kept, as stored (unchecked); until
        this run changes it, it is what a commit keeps."""
        if not self._walk_read:
            row = self.db.execute("SELECT value FROM meta WHERE key = 'walk'").fetchone()
            self._walk_kept = row[0] if row is not None and isinstance(row[0], bytes) else None
            self.walk_blob = self._walk_kept
            self._walk_read = True
        return self._walk_kept

    def layout(self):
        """Where the last run's outputs put each file's blocks, as kept
        (`layout.Layout.pack`), or None."""
        row = self.db.execute("SELECT value FROM meta WHERE key = 'layout'").fetchone()
        return row[0] if row is not None and isinstance(row[0], bytes) else None

    def stamps(self) -> dict:
        """path -> (size, mtime_ns, read_ns, digest) of every row; rows that
        are not of our shape are left out (their files are parsed again)."""
        rows = self._shaped("path, size, mtime_ns, read_ns, digest").fetchall()
        named = _named(map(itemgetter(0), rows))
        return {
            path if type(path) is str else named[path]: tuple(stamp)
            for path, *stamp in rows
            if type(path) is str or path in named
        }

    def paths(self) -> set:
        """The paths of `stamps`, without their stamps."""
        if self.row_paths is None:
            self.row_paths = _texts(set(map(itemgetter(0), self._shaped("path"))))[0]
        return self.row_paths

    def stamp(self, path: str) -> tuple | None:
        """The stamp of `path` as `stamps` gives it, or None."""
        for _, *stamp in self._shaped("path, size, mtime_ns, read_ns, digest", "path = ?", (_sql_text(path),)):
            return tuple(stamp)
        return None

    def _shaped(self, columns: str, where: str = "1", values=()):
        # The shapes are checked by SQLite: a project's rows in one pass.  A
        # name that is not UTF-8 is kept as bytes (`_sql_text`).
        return self.db.execute(
            f"SELECT {columns} FROM files WHERE {where} AND {SHAPED} AND typeof(path) IN ('text', 'blob')", values
        )

    def heads(self, fields_of) -> dict:
        """path -> (`fields_of` its head fields' text, whether links are
        kept, the digest of the search documents' text, the file's digest)
        of every row of our shape whose head is as its checksum says and
        gives fields (not None): what a run reads of every unchanged file,
        in one pass (the rest of a row is read when asked for).  Heads repeat
        from file to file: each text is hashed and made into fields once,
        which the rows of that text share.  The paths of all rows of our
        shape (`paths`) are kept on the way, as `row_paths`."""
        # A project's text cells decode: read so, they cost no call each.  A
        # cell that does not fails the pass, which is read again cell by cell.
        db = self.db
        db.text_factory = str
        try:
            return self._heads(fields_of)
        except sqlite3.OperationalError:
            db.text_factory = _text_or_bytes
            return self._heads(fields_of)
        finally:
            db.text_factory = _text_or_bytes

    def _heads(self, fields_of) -> dict:
        paths = []  # every row's, as stored
        keep = paths.append
        made = {}  # head text -> (its digest, its fields)
        out = {}
        for path, head, linked, sums, digest in self._shaped(f"path, head, links IS NOT NULL, {HEAD_SUMS}, digest"):
            keep(path)
            fields = _vouched(made, head, sums, fields_of)
            if fields is not None:
                if type(path) is not str:
                    try:
                        path = _py_text(path)
                    except CacheProblem:
                        continue
                out[path] = (fields, linked, sums[:SUM_BYTES], digest)
        self.row_paths = _texts(set(paths))[0]
        return out

    def head(self, path: str, fields_of, made: dict) -> tuple | None:
        """What `heads` gives of the row of `path` alone, or None when it
        has no row of our shape with a sound head; `made` keeps the fields
        of each head text met, for the rows that share it."""
        for head, linked, sums, digest in self._shaped(
            f"head, links IS NOT NULL, {HEAD_SUMS}, digest", "path = ?", (_sql_text(path),)
        ):
            fields = _vouched(made, head, sums, fields_of)
            return None if fields is None else (fields, linked, sums[:SUM_BYTES], digest)
        return None

    def row_count(self) -> int:
        """How many rows there are, of any shape (SQLite counts them by the
        paths' index)."""
        return self.db.execute("SELECT count(*) FROM files").fetchone()[0]

    def row_paths_raw(self) -> set:
        """The paths of all rows, of any shape, as text."""
        return _texts(set(map(itemgetter(0), self.db.execute("SELECT path FROM files"))))[0]

    def links(self, path: str) -> bytes | None:
        """The links blob of `path`'s row when its checksum holds, else None."""
        row = self.db.execute(f"SELECT links, {CHECKSUM} FROM files WHERE path = ?", (_sql_text(path),)).fetchone()
        return row[0] if row is not None and isinstance(row[0], bytes) and _holds(row[1], LINKS, row[0]) else None

    def blobs(self, path: str) -> tuple | None:
        """(result, links, digest of the search documents' text) of the row
        of `path` when their checksums hold, else None (links may be None:
        not resolved)."""
        row = self.db.execute(f"SELECT result, links, {CHECKSUM} FROM files WHERE path = ?", (_sql_text(path),)).fetchone()
        if row is None or not isinstance(row[0], bytes):
            return None
        result, links, check = row
        if not (_holds(check, RESULT, result) and _holds(check, LINKS, links)):
            return None
        return result, links, named_sum(check, DOCS)

    def docs(self, path: str) -> bytes | None:
        """The text of the search documents of `path` (this run's when
        spooled, else its row's) when its checksum holds, else None."""
        blob, check = self._blob(path, "docs", DOCS)
        return inflate_docs(blob, check)

    def row_docs(self, path: str) -> tuple | None:
        """(the packed search documents, the digest of their text) of the
        row of `path`, unchecked, or None."""
        row = self.db.execute(f"SELECT docs, {CHECKSUM} FROM files WHERE path = ?", (_sql_text(path),)).fetchone()
        named = named_sum(row[1], DOCS) if row is not None else None
        return (row[0], named) if named is not None and isinstance(row[0], bytes) else None

    def result(self, path: str) -> bytes | None:
        """The packed result of `path` (this run's when spooled, else its
        row's) when its checksum holds, else None."""
        blob, check = self._blob(path, "result", RESULT)
        if not isinstance(blob, bytes) or blob_sum(blob) != check:
            return None
        return blob

    def _blob(self, path: str, column: str, at: int) -> tuple:
        """(the blob of `column`, the digest its checksum names) for `path`:
        this run's spooled result first, else its row; (None, None)."""
        key = (_sql_text(path),)
        if self._spooling:
            row = self.db.execute(f"SELECT {column}, {column}_sum FROM temp.spool WHERE path = ?", key).fetchone()
            if row is not None:
                return row
        row = self.db.execute(f"SELECT {column}, {CHECKSUM} FROM files WHERE path = ?", key).fetchone()
        named = named_sum(row[1], at) if row is not None else None
        return (row[0], named) if named is not None else (None, None)

    def readers(self, keys, paths) -> set:
        """The files among `paths` whose resolution read one of `keys`."""
        found, named, unnamed = set(), set(), set()
        for key in keys:
            for hashed, name in self.db.execute(
                "SELECT reads.path, names.path FROM reads LEFT JOIN names ON names.hash = reads.path WHERE reads.key = ?",
                (text_hash(key),),
            ):
                try:
                    path = None if name is None else _py_text(name)
                except CacheProblem:
                    path = None
                # A name kept under another's hash is damage: not trusted.
                if path is not None and text_hash(path) == hashed:
                    named.add(hashed)
                    if path in paths:
                        found.add(path)
                else:
                    unnamed.add(hashed)
        unnamed -= named
        if unnamed:
            # Some reader has no sound name: every path is hashed to find it.
            found.update(path for path in paths if text_hash(path) in unnamed)
        return found

    # -- writing -------------------------------------------------------------

    def spool(self, path: str, row: SpoolRow) -> None:
        """Keep a parsed file's head fields, packed result and search
        documents with their digests for this run (`put_spooled` makes them
        its row)."""
        if not self._spooling:
            self.db.execute(SPOOL)
            self._spooling = True
        self.db.execute("INSERT OR REPLACE INTO temp.spool VALUES (?, ?, ?, ?, ?, ?, ?)", (_sql_text(path), *row))

    def put_spooled(self, path: str, stamp: tuple, links: bytes | None) -> None:
        """The row of a spooled file, with its stamp and `links`."""
        size, mtime_ns, read_ns, digest = stamp
        self.db.execute(
            "INSERT OR REPLACE INTO files SELECT path, ?, ?, ?, ?, head, result, docs, ?,"
            " CAST(result_sum || docs_sum || head_sum || ? AS BLOB) FROM temp.spool WHERE path = ?",
            (size, mtime_ns, read_ns, digest, links, blob_sum(links or b""), _sql_text(path)),
        )

    def set_links(self, path: str, links: bytes) -> None:
        row = self.db.execute(f"SELECT {CHECKSUM} FROM files WHERE path = ?", (_sql_text(path),)).fetchone()
        if row is not None and named_sum(row[0], LINKS) is not None:
            check = row[0][: LINKS * SUM_BYTES] + blob_sum(links)
            self.db.execute("UPDATE files SET links = ?, checksum = ? WHERE path = ?", (links, check, _sql_text(path)))

    def restamp(self, path: str, stamp: tuple) -> None:
        size, mtime_ns, read_ns, digest = stamp
        self.db.execute(
            "UPDATE files SET size = ?, mtime_ns = ?, read_ns = ? WHERE path = ? AND digest = ?",
            (size, mtime_ns, read_ns, _sql_text(path), digest),
        )

    def drop(self, path: str, reads) -> None:
        self.forget_reads(path, reads)
        self.db.execute("DELETE FROM files WHERE path = ?", (_sql_text(path),))

    def forget_reads(self, path: str, reads) -> None:
        hashed = text_hash(path)
        self.db.executemany("DELETE FROM reads WHERE key = ? AND path = ?", ((text_hash(k), hashed) for k in reads))

    def note_reads(self, path: str, reads) -> None:
        hashed = text_hash(path)
        self.db.executemany("INSERT OR IGNORE INTO reads VALUES (?, ?)", ((text_hash(k), hashed) for k in reads))
        if reads:
            self.db.execute("INSERT OR IGNORE INTO names VALUES (?, ?)", (hashed, _sql_text(path)))

    def set_meta(self, signature: str, run: dict) -> None:
        self.db.executemany(
            "INSERT OR REPLACE INTO meta VALUES (?, ?)",
            (("signature", signature), ("run", json.dumps(run, ensure_ascii=False, separators=(",", ":")))),
        )

    def set_layout(self, packed: bytes) -> None:
        self.db.execute("INSERT OR REPLACE INTO meta VALUES ('layout', ?)", (packed,))

    def commit(self) -> None:
        """Make this run's rows the cache: commit (and for a new cache,
        flush it and rename it into place)."""
        if self.walk_blob is not None:
            self.db.execute("INSERT OR REPLACE INTO meta VALUES ('walk', ?)", (self.walk_blob,))
        else:
            self.db.execute("DELETE FROM meta WHERE key = 'walk'")
        self.db.commit()
        self.db.close()
        self.db = None
        if self.fresh:
            finish_temporary(self.path, self.target)
            with told_as(self.target):
                os.replace(self.path, self.target)

    def discard(self) -> None:
        """Leave the cache as it was before this run (nothing once
        committed)."""
        if self.db is not None:
            try:
                self.db.rollback()
            except sqlite3.Error:
                pass
            self.db.close()
            self.db = None
        if self.fresh:  # gone already once placed
            try:
                os.unlink(self.path)
            except OSError:
                pass


def _text_or_bytes(data: bytes):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data


def _connect(path: str) -> sqlite3.Connection:
    db = sqlite3.connect(path, timeout=0, isolation_level=None, check_same_thread=False)
    db.execute("PRAGMA trusted_schema=OFF")
    return db


def _check_schema(db: sqlite3.Connection) -> None:
    found = set()
    for kind, name, table, create in db.execute("SELECT type, name, tbl_name, sql FROM sqlite_master"):
        if kind == "table" and TABLES.get(name) == create:
            found.add(name)
        elif not (kind == "index" and create is None and table in TABLES and str(name).startswith("sqlite_autoindex_")):
            raise CacheProblem(f"holds the {kind} {name!r}")
    if found != TABLES.keys():
        raise CacheProblem("tables missing")
