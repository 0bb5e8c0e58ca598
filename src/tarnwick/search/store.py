"""The search index file `.vestra/search.db`: postings in SQLite.

The file is an SQLite database written whole by `tarnwick-index` into a
temporary file and renamed over the old one, or updated in place in one
transaction of its write-ahead log; readers read one snapshot each, so
they never see a part of a run's index (`index_file`).  Its tables:

- ``meta(key, value)``: the format number, the byte order of the arrays,
  the generation of the graph it was built from, that graph file's size,
  modification time and inode, and its node and edge counts;
- ``arrays(name, data)``: per-document numbers as packed arrays (file norms,
  flags, priors, ids, lengths and first symbols; symbol norms, files and
  lengths), cut into chunks of
  `CHUNK` documents (rows ``file_norm/0``, ``file_norm/1``, ...), so that a
  query reads the numbers of the documents its terms name, not of all;
- ``terms(term, df, postings)``: one row per term, so a question costs one
  lookup per term whatever the size of the project: the number of documents
  that hold it before compound splitting (which an update needs), and its
  file and symbol postings in one blob, numbers as gaps and weights as
  indexes into a table of their distinct values (`reference_postings`
  describes the form; the scoring kernel encodes and decodes it);
- ``file_numbers(id, number)``: each file's number by its id;
- ``symbols(number, file, id, name, kind, line_start, line_end)``: what a
  result lists of each symbol (`symbol_row`): an id that begins with its
  file's id and "::" is kept without them, the file's number in ``file``,
  a name equal to the id as kept is left NULL, and a kind of the graph's
  own (`SYMBOL_KINDS`) is kept as its number (most are 0 or 1, which
  SQLite keeps in no bytes at all);
- ``chunks(first, data)`` and ``graph(name, data)``: the compact copy of the
  graph in chunks of files, each keyed by its first file's id (`compact`),
  and its top-level keys (the row ``top``), which `load_graph` reads instead
  of the graph file when the graph file is, by device, inode, size,
  modification and change time, the one it was made from;
- ``parts(id, nodes, edges)``: per file id its part of the graph (`parts`):
  its nodes, and the edges that touch it with their keys, packed relative
  to the file;
- ``sources(number, size, mtime_ns, digest)``: each source file as it was
  read (size, modification time, content digest), so that a query can tell
  the files edited since without reading them.  ``meta`` names when the
  run started (``indexed_ns``): a file changed within the same clock tick
  keeps its time and size, and only its digest tells;
- ``records(number, record)``: each file's summary record, the JSON text
  of the store compressed against the words records share
  (`RECORD_WORDS`), so that a query reads the records of the files it
  packs instead of parsing the whole store;
- ``splits(term, head, tail)``, ``candidates(term, files)`` and
  ``docstate(number, fingerprint, first_symbol, symbols, state)``: what a
  later run needs to update the index for the files that changed
  (`update`, `state`); ``importers(id, importers, imports)`` and
  ``test_folders(folder, id, maker)``: what the flags and priors are made
  of (`facts`).  ``meta`` counts the live symbols (``symbols``) and
  the slots of their arrays (``symbol_slots``), which an update may leave
  free between files, and says whether the index can be updated.

An index is used only for the graph it was built from: same generation,
same node and edge counts.  `reader` reads it, as untrusted input.
"""

from __future__ import annotations

import functools
import os
import sys
import zlib
from array import array

from ..errors import IndexProblem
from . import first_symbols

INDEX_NAME = "search.db"
FORMAT = 17

# Per-document arrays and their type codes, by the collection they number.
FILE_ARRAYS = {"file_norm": "f", "file_flags": "B", "file_prior": "f"}
SYMBOL_ARRAYS = {"symbol_norm": "f", "symbol_file": "I"}
# Each document's length, which only an update reads (to work out the norms).
LENGTH_ARRAYS = {"file_length": ("d", "file"), "symbol_length": ("d", "symbol")}
# The ids of the files, beside their arrays: a NUL-separated text per chunk.
FILE_IDS = "file_ids"
# Documents per chunk of an array: two chunks of 4-byte numbers share a page
# of the file, and one of 8-byte numbers fills one without an overflow page
# (at 1,024 each took a page of its own, half of it empty, or a page and a
# tenth).
CHUNK = 1000


def chunk_name(name: str, chunk: int) -> str:
    """The `arrays` row holding chunk number ``chunk`` of the array ``name``."""
    return f"{name}/{chunk}"


# The tables as the writer creates them, word for word.  A file whose schema
# holds anything else (a view, a trigger, another table or index) was not
# written by `write_index` and is not read: a `.vestra/` may come with a
# cloned repository, and a view can run any query SQLite can.
TABLES = {
    "meta": "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID",
    # Large values live in rowid tables: a key search in a table without rowids reads
    # the whole of every overflowing row it compares against.
    "arrays": "CREATE TABLE arrays(name TEXT PRIMARY KEY, data BLOB)",
    # A common term's postings take several pages: in a rowid table their overflow pages are
    # filled whole, and a lookup compares terms in the index, never reading a blob.
    "terms": "CREATE TABLE terms(term TEXT UNIQUE, df INTEGER, postings BLOB)",
    "parts": "CREATE TABLE parts(id TEXT PRIMARY KEY, nodes BLOB, edges BLOB)",
    "symbols": "CREATE TABLE symbols(number INTEGER PRIMARY KEY, file INTEGER, id TEXT, name TEXT, kind,"
    " line_start INTEGER, line_end INTEGER)",
    "graph": "CREATE TABLE graph(name TEXT PRIMARY KEY, data BLOB)",
    "chunks": "CREATE TABLE chunks(first TEXT PRIMARY KEY, data BLOB)",
    "sources": "CREATE TABLE sources(number INTEGER PRIMARY KEY, size INTEGER, mtime_ns INTEGER, digest TEXT)",
    "records": "CREATE TABLE records(number INTEGER PRIMARY KEY, record BLOB)",
    "file_numbers": "CREATE TABLE file_numbers(id TEXT PRIMARY KEY, number INTEGER) WITHOUT ROWID",
    # What an update needs (`state`): the compound words and their splits,
    # and per file what its documents were made from and hold.
    "splits": "CREATE TABLE splits(term TEXT PRIMARY KEY, head TEXT, tail TEXT) WITHOUT ROWID",
    "candidates": "CREATE TABLE candidates(term TEXT PRIMARY KEY, files INTEGER) WITHOUT ROWID",
    "docstate": "CREATE TABLE docstate(number INTEGER PRIMARY KEY, fingerprint BLOB, first_symbol INTEGER,"
    " symbols INTEGER, state BLOB)",
    # What the flags and priors are made of (`facts`), by file id.
    "importers": "CREATE TABLE importers(id TEXT PRIMARY KEY, importers INTEGER, imports INTEGER) WITHOUT ROWID",
    "test_folders": "CREATE TABLE test_folders(folder TEXT, id TEXT, maker INTEGER, PRIMARY KEY (folder, id)) WITHOUT ROWID",
}


def _blob(values: array) -> bytes:
    return values.tobytes()


# The symbol kinds the graph names, most frequent first: a `symbols` row
# keeps one of them as its position here, any other kind as its text.
SYMBOL_KINDS = ("function", "method", "class", "interface", "struct", "enum", "trait", "type")
_KIND_CODES = {kind: code for code, kind in enumerate(SYMBOL_KINDS)}


def symbol_row(number: int, info: tuple, file_number: int, file_id: str) -> tuple:
    """The `symbols` row of the symbol ``number`` of the file ``file_number``
    (whose id is ``file_id``), from what a result lists of it (`build.symbol_info`)."""
    sid, name, kind, start, end = info
    file = None
    if isinstance(sid, str) and sid.startswith(file_id + "::"):
        sid, file = sid[len(file_id) + 2 :], file_number
    code = _KIND_CODES.get(kind) if type(kind) is str else None
    kept = to_sql_text(kind) if code is None else code
    return number, file, *map(to_sql_text, (sid, None if name == sid else name)), kept, start, end


def symbol_from_row(row: tuple, file_id) -> tuple:
    """What a result lists of a symbol, from its `symbols` row less its
    number; ``file_id(number)`` gives the id of a file by its number.
    ValueError for a kind's number that names none."""
    file, sid, name, kind, start, end = row
    sid = from_sql_text(sid)
    name = sid if name is None else from_sql_text(name)
    if file is not None:
        sid = f"{file_id(file)}::{sid}"
    if type(kind) is int:
        if not 0 <= kind < len(SYMBOL_KINDS):
            raise ValueError("a symbol of an unknown kind")
        kind = SYMBOL_KINDS[kind]
    else:
        kind = from_sql_text(kind)
    return sid, name, kind, start, end


def to_sql_text(value):
    """A text column's value as SQLite can hold it.  A file name that is not
    UTF-8 reaches us with its bytes escaped as lone surrogates, which SQLite
    cannot take as text: such a value is kept as a BLOB of the same
    escaped form (`from_sql_text` reads it back)."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return value.encode("utf-8", "surrogatepass")
    return value


def from_sql_text(value):
    return value.decode("utf-8", "surrogatepass") if isinstance(value, bytes) else value


def write_index(path: str, corpus, graph_identity: dict, graph_rows=None) -> None:
    """Write ``corpus`` (a finished `MemoryCorpus`) to ``path`` atomically.

    ``graph_identity`` holds the graph's "generation", its file's "device",
    "inode", "size", "mtime_ns" and "ctime_ns", and its "nodes" and "edges"
    counts; ``graph_rows`` the copies of the graph (`graph_copy.full_rows`),
    if any.  Any failure
    (SQLite's included, as OSError) leaves the old file as it was.
    """
    from ..atomic import remove_temporary

    tmp = build_index(path, corpus, graph_identity, graph_rows)
    try:
        os.replace(tmp, path)
    except BaseException:
        remove_temporary(tmp)
        raise


# A summary record is made from one source file of at most a few MiB; a
# record that unpacks to more is damage (or a planted bomb), not ours.
RECORD_LIMIT = 64 << 20


# What summary records spell again and again, the commonest last: a record
# is a few hundred bytes, too short for zlib to learn its keys from itself,
# and packing it against these saves a tenth.  Part of the stored form: a
# change to it is a change of `FORMAT`.
RECORD_WORDS = (
    b'"rel":"calls"{"module":"typing","names":["async":true,"decorators":["@staticmethod"]"@classmethod"],'
    b'"bases":["Exception"],"returns":"bool""returns":"str"{"description":"'
    b'"classes":{"'
    b'"methods":["__init__",'
    b'"variables":["__all__",{"name":"'
    b'","used_by":["'
    b'"internal_graph":[{"from":"'
    b'","to":"'
    b'"imports":[{"module":"os"},{"module":"sys"},{"module":"'
    b'","names":["'
    b'"calls_internal":["'
    b'"calls_external":["self.'
    b'"decorators":["@property"],'
    b'"returns":"None",'
    b'"lines":['
    b'"functions":{"__init__":{"params":["self"'
    b'"params":["self"],"calls_external":["self.'
    b'"},"'
)


def pack_record(text: str) -> bytes:
    """A summary record's JSON text as the `records` table keeps it,
    compressed against `RECORD_WORDS`."""
    packer = zlib.compressobj(6, zdict=RECORD_WORDS)
    return packer.compress(text.encode("utf-8", "backslashreplace")) + packer.flush()


class PackedRecords:
    """Summary records by file id, packed (`pack_record`) when first asked
    for: an update packs only the records of the files it rewrites."""

    def __init__(self, texts: dict):
        self._texts = texts  # file id -> record JSON text, until packed
        self._packed: dict = {}

    def get(self, fid, default=None):
        packed = self._packed.get(fid)
        if packed is None:
            text = self._texts.pop(fid, None)
            if text is None:
                return default
            packed = self._packed[fid] = pack_record(text)
        return packed

    def take(self, fid):
        """The packed record of ``fid`` (None for none), forgotten here:
        a full build asks for each once."""
        packed = self.get(fid)
        self._packed.pop(fid, None)
        return packed

    def __contains__(self, fid) -> bool:
        return fid in self._packed or fid in self._texts

    def __getitem__(self, fid) -> bytes:
        packed = self.get(fid)
        if packed is None:
            raise KeyError(fid)
        return packed


def unpack_record(blob) -> str:
    """The JSON text of a packed record (ValueError when it is not one)."""
    if not isinstance(blob, bytes):
        raise ValueError("a record is not a blob")
    unpacker = zlib.decompressobj(zdict=RECORD_WORDS)
    try:
        data = unpacker.decompress(blob, RECORD_LIMIT)
    except zlib.error as exc:  # damaged, or packed against other words
        raise ValueError(f"a record does not unpack ({exc})") from None
    if unpacker.unconsumed_tail or not unpacker.eof:
        raise ValueError("a record is truncated or too large")
    return data.decode("utf-8")


def write_new_index(path: str, fill) -> str:
    """A new index file in a temporary beside ``path``: its tables made and
    ``fill(db)`` run in one transaction, flushed to disk, ready to be renamed
    over ``path``; returns the temporary's path.  A failure removes the
    temporary; SQLite's errors (a full disk) are raised as OSError."""
    import sqlite3

    from ..atomic import finish_temporary, new_temporary, remove_temporary

    tmp = new_temporary(path)
    try:
        db = open_for_writing(tmp)
        try:
            db.execute("PRAGMA page_size=8192")
            db.execute("BEGIN")
            for create in TABLES.values():
                db.execute(create)
            fill(db)
            db.execute("COMMIT")
        finally:
            db.close()
        finish_temporary(tmp, path)
    except sqlite3.Error as exc:
        remove_temporary(tmp)
        raise OSError(f"{path}: {reason(exc)}") from None
    except BaseException:
        remove_temporary(tmp)
        raise
    return tmp


def build_index(
    path: str,
    corpus,
    graph_identity: dict,
    graph_rows=None,
    sources: dict | None = None,
    records: dict | None = None,
    states: list | None = None,
) -> str:
    """`write_index`'s file, written to a temporary beside ``path`` and
    flushed to disk, ready to be renamed over it; returns the temporary's
    path.  ``sources`` maps a file id to the (size, modification time in
    ns, content digest or None) its summary was made from, which lets a
    query tell the files edited since; ``records`` maps a file id to its
    summary record as the store holds it, compressed (`pack_record`);
    ``states`` holds per file number the `docstate` row that lets a later
    run update the index (`state.FileState`; an index built without them
    is only ever rebuilt, and so is one built from a corpus that does not
    keep its term frequencies).  A failure removes the temporary;
    SQLite's errors (a full disk) are raised as OSError."""
    from .._scoring import encode_postings

    sources = sources or {}
    records = records or {}

    def fill(db) -> None:
        frequency = getattr(corpus, "frequency", None)
        updatable = bool(states) and frequency is not None
        write_meta(db, graph_identity, corpus.file_count, corpus.symbol_count, corpus.symbol_count, updatable)
        db.executemany("INSERT INTO arrays VALUES (?, ?)", _chunks(corpus))
        # The first of two equal ids keeps its number, as a search of the list would.
        db.executemany(
            "INSERT OR IGNORE INTO file_numbers VALUES (?, ?)", ((to_sql_text(fid), n) for n, fid in enumerate(corpus.file_ids))
        )
        df = (frequency or {}).get
        db.executemany(
            "INSERT INTO terms VALUES (?, ?, ?)",
            ((to_sql_text(term), df(term, 0), encode_postings(*entry)) for term, entry in corpus.sorted_terms()),
        )
        if updatable:
            write_state(db, corpus.splits, corpus.candidates, states)
            write_facts(db, *corpus.facts)
        files, ids = corpus.symbol_file, corpus.file_ids
        db.executemany(
            "INSERT INTO symbols VALUES (?, ?, ?, ?, ?, ?, ?)",
            (symbol_row(n, info, files[n], ids[files[n]]) for n, info in enumerate(corpus.symbol_info)),
        )
        write_graph_rows(db, graph_rows)
        db.executemany(
            "INSERT INTO sources VALUES (?, ?, ?, ?)",
            ((n, *sources[fid]) for n, fid in enumerate(corpus.file_ids) if fid in sources),
        )
        db.executemany(
            "INSERT INTO records VALUES (?, ?)",
            ((n, records[fid]) for n, fid in enumerate(corpus.file_ids) if fid in records),
        )

    return write_new_index(path, fill)


def write_graph_rows(db, rows) -> None:
    """Put the graph's copies (`graph_copy.full_rows`: top, chunk rows, part
    rows; None for none) in place of the index's."""
    for table in ("graph", "chunks", "parts"):
        db.execute(f"DELETE FROM {table}")
    if rows is None:
        return
    top, chunks, part_rows = rows
    db.execute("INSERT INTO graph VALUES ('top', ?)", (top,))
    db.executemany("INSERT INTO chunks VALUES (?, ?)", ((to_sql_text(fid), blob) for fid, blob in chunks))
    db.executemany("INSERT INTO parts VALUES (?, ?, ?)", ((to_sql_text(fid), n, e) for fid, n, e in part_rows))


def open_for_writing(path: str):
    """A connection to write the index file at ``path``, which nothing else
    reads until it is renamed into place: no journal, no waiting for the
    disk until the writer flushes it."""
    import sqlite3

    db = sqlite3.connect(path, isolation_level=None)
    try:
        db.execute("PRAGMA trusted_schema=OFF")
        db.execute("PRAGMA journal_mode=OFF")
        db.execute("PRAGMA synchronous=OFF")
    except BaseException:
        db.close()
        raise
    return db


@functools.lru_cache(maxsize=None)
def code_digest() -> str:
    """A digest of this package's sources: an index is updated only by the
    code that made it (another tokeniser, weight or split rule would mix
    two rankings in one index)."""
    # Imported here: only writers hash, and hashlib loads OpenSSL, which a
    # query would pay for at start-up.
    import hashlib

    digest = hashlib.blake2b(digest_size=8)
    here = os.path.dirname(os.path.abspath(__file__))
    for name in sorted(os.listdir(here)):
        if name.endswith(".py"):
            with open(os.path.join(here, name), "rb") as f:
                digest.update(name.encode() + b"\0" + f.read())
    return digest.hexdigest()


def write_meta(db, graph_identity: dict, files: int, symbols: int, symbol_slots: int, updatable: bool) -> None:
    """The `meta` rows (any earlier ones replaced)."""
    meta = {"format": FORMAT, "byteorder": sys.byteorder, "chunk": CHUNK, **graph_identity}
    meta.update(files=files, symbols=symbols, symbol_slots=symbol_slots, updatable=int(updatable))
    if updatable:
        meta["code"] = code_digest()
    db.execute("DELETE FROM meta")
    db.executemany("INSERT INTO meta VALUES (?, ?)", sorted(meta.items()))


def write_state(db, splits: dict, candidates: dict, states) -> None:
    """The rows an update reads: the compound splits, the candidates of
    compounds with the number of files that name them, and each file's
    `docstate` row (number, fingerprint, first symbol, symbol count,
    packed state)."""
    db.executemany("INSERT INTO splits VALUES (?, ?, ?)", sorted((to_sql_text(t), *map(to_sql_text, p)) for t, p in splits.items()))
    db.executemany("INSERT INTO candidates VALUES (?, ?)", sorted((to_sql_text(t), n) for t, n in candidates.items()))
    db.executemany("INSERT INTO docstate VALUES (?, ?, ?, ?, ?)", states)


def write_facts(db, counts: dict, members) -> None:
    """The rows the flags and priors are made of (`facts.whole`)."""
    db.executemany(
        "INSERT INTO importers VALUES (?, ?, ?)", ((to_sql_text(fid), *counts[fid]) for fid in sorted(counts))
    )
    db.executemany(
        "INSERT INTO test_folders VALUES (?, ?, ?)",
        ((to_sql_text(folder), to_sql_text(fid), int(maker)) for folder, fid, maker in sorted(members)),
    )


def array_rows(arrays: dict, file_count: int, symbol_slots: int, file_ids: list):
    """The `arrays` rows of the per-document ``arrays`` (by name, those of
    `FILE_ARRAYS`, `SYMBOL_ARRAYS` and `LENGTH_ARRAYS`, and the files'
    first symbols, `first_symbols`, when each file's symbols are numbered
    together), each cut into chunks of `CHUNK`, and of the file ids."""
    counts = {name: file_count for name in FILE_ARRAYS}
    counts.update((name, symbol_slots) for name in SYMBOL_ARRAYS)
    counts.update((name, file_count if of == "file" else symbol_slots) for name, (_, of) in LENGTH_ARRAYS.items())
    if arrays.get(first_symbols.NAME) is not None:
        counts[first_symbols.NAME] = file_count
    for name, count in counts.items():
        values = arrays[name]
        for chunk, start in enumerate(range(0, count, CHUNK)):
            yield chunk_name(name, chunk), _blob(values[start : start + CHUNK])
    for chunk, start in enumerate(range(0, file_count, CHUNK)):
        ids = "\0".join(file_ids[start : start + CHUNK])
        yield chunk_name(FILE_IDS, chunk), ids.encode("utf-8", "surrogatepass")


def _chunks(corpus):
    """The `arrays` rows of ``corpus``."""
    names = (*FILE_ARRAYS, *SYMBOL_ARRAYS, *LENGTH_ARRAYS)
    arrays = {name: getattr(corpus, name) for name in names}
    arrays[first_symbols.NAME] = first_symbols.in_file_order(corpus.symbol_file, corpus.file_count)
    return array_rows(arrays, corpus.file_count, corpus.symbol_count, corpus.file_ids)


def set_graph_identity(tmp: str, graph_identity: dict) -> None:
    """Record in the index built at ``tmp`` (`build_index`, not yet renamed)
    the identity of the graph file as it was finally placed.  SQLite's errors
    are raised as OSError."""
    import sqlite3

    from ..atomic import stands_for, told_as

    path = stands_for(tmp) or tmp
    try:
        db = sqlite3.connect(tmp, isolation_level=None)
        try:
            db.execute("PRAGMA journal_mode=OFF")
            db.execute("BEGIN")
            db.executemany("UPDATE meta SET value = ? WHERE key = ?", [(v, k) for k, v in sorted(graph_identity.items())])
            db.execute("COMMIT")
        finally:
            db.close()
        with told_as(path), open(tmp, "rb") as f:
            os.fsync(f.fileno())
    except sqlite3.Error as exc:
        raise OSError(f"{path}: {reason(exc)}") from None


def reason(exc: BaseException) -> str:
    if isinstance(exc, RecursionError):
        return "nested too deeply"
    text = str(exc) or type(exc).__name__
    return text.replace("\n", " ")
