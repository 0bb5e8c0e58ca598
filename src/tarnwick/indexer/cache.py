"""The incremental cache: what the last run learned about each file, so the
next run re-parses only files whose size, modification time or content
changed.

It lives in `.vestra/index-cache.db`, a row per file (`cache_db`).  A file
is taken as unchanged when its size and modification time match and it was
last changed well before the run that read it began, its change time (the
inode's, which no user call can set back) included: an edit that put the
size and modification time back (`touch -r`, `cp -p`, an archive's times)
still moves it.  Otherwise its content hash decides, and a file found
unchanged by it gets a new stamp, so a tree copied whole with its times
costs one read and digest per file, not a parse.  Any doubt about the file (another format, another
interpreter or grammar version, another schema) makes the run start from
scratch; a row that does not unpack has its file parsed again.

The results of a file are kept as JSON texts that the next run splices into
its output unread, so each row carries a checksum of its blobs: a row whose
results are not the ones written (one character damaged, the file still
valid JSON) is not reused.
"""

from __future__ import annotations

import hashlib
import json
import os
import sqlite3
import sys
import time
import zlib
from dataclasses import MISSING, fields

from ..collector import paused
from ..datadir import read_regular, source_digest
from ..search.documents import unpack_documents
from .cache_db import CacheDB, CacheProblem, SpoolRow, blob_sum, inflate_docs, pack_links, unpack_links
from .linkage import EDGE_KINDS
from .references import RECORDS
from .result import FileResult

# The bound on reading a source file, here and in the parsing workers: far
# above any size the walk admits; only guards against a file that grows
# without end while it is read.
READ_LIMIT = 1 << 30

FORMAT = 8
# A file's results unpack to far less than this; more is damage.
ENTRY_LIMIT = 256 << 20

# Files compared with their rows one row at a time; past this many, every
# row's stamp is read in one pass.
ROW_LOOKUPS = 64
# Heads read one row at a time; past this many, every row's in one pass
# (a row read alone costs several times its share of the pass).
HEAD_LOOKUPS = 4096

# Modification times this close to the start of the run that wrote the
# cache may hide a later change of the same size in the same clock tick.
_RACY_NS = 2_000_000_000


def _is_factory(f) -> bool:
    return f.default_factory is not MISSING


# The JSON texts spliced into the outputs, kept as they are beside the other
# fields (not as strings inside their JSON, which would escape every quote).
_TEXTS = ("record_json", "nodes_json", "contains_json")
# The fields kept, in the order of the record: a field added to it is kept too.
# The search documents are kept apart: only the search index's build reads
# them, one file at a time.
_KEPT = tuple(
    f.name for f in fields(FileResult) if f.metadata.get("cached", True) and f.name not in ("search_docs", *_TEXTS)
)
# What every run reads of every file, packed apart from the rest, which only
# the resolution of the files that read this one needs: decoded when first
# read (`CachedResult`).  A field with a plain default belongs here, as the
# class would answer for it before the result could decode it.
_HEAD = tuple(f.name for f in fields(FileResult) if f.name in _KEPT and not _is_factory(f))
_LAZY = tuple(name for name in _KEPT if name not in _HEAD)
_FIELDS = _HEAD + _LAZY
# The fields a row does not keep: a cached result gets their defaults.
_UNKEPT = tuple(f for f in fields(FileResult) if f.name not in (*_KEPT, *_TEXTS, "path"))


def digest(data: bytes) -> str:
    # The same digest the search index keeps for queries to check a file by.
    return source_digest(data)


def _code_digest() -> str:
    """Hash of the indexer's own code: a changed extractor, or a rebuilt
    extension module that counts words, must not serve results of the old
    one."""
    from importlib.machinery import EXTENSION_SUFFIXES

    h = hashlib.blake2b(digest_size=8)
    here = os.path.dirname(os.path.abspath(__file__))
    package = os.path.dirname(here)
    search = os.path.join(package, "search")
    for folder, suffixes in (
        (here, (".py",)),
        (os.path.join(here, "extractors"), (".py",)),
        (search, (".py",)),
        (package, tuple(EXTENSION_SUFFIXES)),
    ):
        for name in sorted(os.listdir(folder)):
            if name.endswith(suffixes):
                with open(os.path.join(folder, name), "rb") as f:
                    h.update(name.encode() + b"\0" + f.read())
    return h.hexdigest()


_PARSERS = ("tree-sitter", "tree-sitter-typescript", "tree-sitter-javascript", "tree-sitter-go", "tree-sitter-java", "tree-sitter-rust")


def _listed_versions(packages) -> dict:
    """package -> version of those found installed as `.dist-info` folders
    on the import path, the first entry that holds one winning (as for
    `importlib.metadata`, whose import costs more than this whole run
    when nothing changed)."""
    wanted = {package.replace("-", "_").lower(): package for package in packages}
    found = {}
    for entry in sys.path:
        try:
            names = os.listdir(entry or ".")
        except (OSError, TypeError, ValueError):
            continue
        for name in names:
            if not name.endswith(".dist-info"):
                continue
            project, _, version = name[: -len(".dist-info")].partition("-")
            package = wanted.get(project.replace(".", "_").lower())
            if package is not None and version and package not in found:
                found[package] = version
        if len(found) == len(wanted):
            break
    return found


def signature() -> str:
    """What the cached results depend on besides the files themselves: this
    format, the Python grammar (ast) and the installed parser packages."""
    versions = [f"format={FORMAT}", f"python={sys.version_info[0]}.{sys.version_info[1]}", f"code={_code_digest()}"]
    listed = _listed_versions(_PARSERS)
    for package in _PARSERS:
        version = listed.get(package)
        if version is None:
            from importlib import metadata

            try:
                version = metadata.version(package)
            except metadata.PackageNotFoundError:
                version = "-"
        versions.append(f"{package}={version}")
    return ";".join(versions)


_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def _entry(result: FileResult) -> list:
    return [getattr(result, name) for name in _FIELDS]


def search_docs(path: str, text: str) -> list:
    """The search documents of the file `path` from their JSON text
    (DamagedCache when text taken from the cache does not parse as a list
    of documents)."""
    docs = unpack_documents(text) if isinstance(text, str) else None
    if docs is None:
        raise DamagedCache(f"the cache entry of {path} does not parse")
    return docs


class DamagedCache(ValueError):
    """Text taken from the cache does not parse: the run starts again from
    scratch (nothing was written)."""


def prove(path: str, record_json: str) -> None:
    """Parse the summary record of a reused file before it is spliced into
    the store; DamagedCache when it does not parse (its nodes and edges are
    checked as the graph is parsed before it is placed, its search
    documents as they are read, `search_docs`).  Only a run that writes
    needs this."""
    try:
        json.loads(record_json)
    except (ValueError, RecursionError, TypeError):
        raise DamagedCache(f"the cache entry of {path} does not parse") from None


# zlib's level for a row's result and search documents.  They are packed in
# the parsing workers (`ready_for_spool`), not on the parent: level 4 keeps
# nine tenths of what the default level saves over the fastest (a tenth of
# both blobs) for a fifth of its extra time.
LEVEL = 4


def _compress(text: str) -> bytes:
    return zlib.compress(text.encode("utf-8", "surrogatepass"), LEVEL)


def _decompress(packed: bytes) -> str:
    unpacker = zlib.decompressobj()
    try:
        text = unpacker.decompress(packed, ENTRY_LIMIT)
    except (zlib.error, TypeError) as exc:
        raise ValueError(f"damaged cache entry: {exc}") from None
    if unpacker.unconsumed_tail or not unpacker.eof:
        raise ValueError("damaged cache entry")
    return text.decode("utf-8", "surrogatepass")


def pack_fields(result: FileResult) -> bytes:
    """A file's result fields but its search documents as the cache keeps
    them, compressed: the JSON text of the others, then each of its JSON
    texts, separated by NUL characters (which JSON text never holds)."""
    return pack_parts(_entry(result), [getattr(result, name) for name in _TEXTS])


def pack_parts(values: list, texts: list) -> bytes:
    head = len(_HEAD)
    return _compress("\0".join([_encode(values[:head]), _encode(values[head:]), *texts]))


def _split_parts(packed: bytes, texts: bool = True) -> tuple:
    """(the head fields, the text of the others, the JSON texts) of a
    packed entry (ValueError when damaged); without `texts` these are
    None and the entry is inflated only as far as the fields reach."""
    if texts:
        head, rest, *texts = _decompress(packed).split("\0")
    else:
        head, rest = _leading(packed, 2)
        texts = [None] * len(_TEXTS)
    values = json.loads(head)
    if not isinstance(values, list) or len(values) != len(_HEAD) or len(texts) != len(_TEXTS):
        raise ValueError("malformed cache entry")
    return values, rest, texts


def _leading(packed: bytes, count: int) -> list:
    """The first `count` parts of a packed entry, inflated only as far as
    they reach: the texts after them are most of it.  (ValueError when
    damaged; damage further on is found when the texts are read.)"""
    unpacker = zlib.decompressobj()
    data = b""
    try:
        while data.count(b"\0") < count:
            chunk = unpacker.decompress(packed, 1 << 14)
            packed = unpacker.unconsumed_tail
            if not chunk:
                raise ValueError("damaged cache entry")
            data += chunk
    except (zlib.error, TypeError) as exc:
        raise ValueError(f"damaged cache entry: {exc}") from None
    return [part.decode("utf-8", "surrogatepass") for part in data.split(b"\0", count)[:count]]


def unpack_texts(packed: bytes) -> list:
    """The JSON texts (`_TEXTS`) of a packed entry (ValueError when damaged)."""
    parts = _decompress(packed).split("\0")
    if len(parts) != 2 + len(_TEXTS):
        raise ValueError("malformed cache entry")
    return parts[2:]


def _lazy_values(rest: str) -> list:
    values = json.loads(rest)
    if not isinstance(values, list) or len(values) != len(_LAZY):
        raise ValueError("malformed cache entry")
    return values


def unpack_parts(packed: bytes) -> tuple:
    """(the result fields, the JSON texts) of a packed entry (ValueError
    when damaged)."""
    values, rest, texts = _split_parts(packed)
    return values + _lazy_values(rest), texts


def docs_bytes(result: FileResult) -> bytes:
    """A file's search documents as the cache keeps them (`cache_db`
    compresses them)."""
    return result.search_docs.encode("utf-8", "surrogatepass")


class CachedResult(FileResult):
    """A result taken from the cache.  Its reference fields (`_LAZY`: what
    only resolving the files that read this one needs) are decoded when
    first read: a run with one file edited reads those of a handful of
    files.  Their damage is found then, and raises DamagedCache."""

    def __getattr__(self, name):
        # Reached only for an attribute not set yet: a field not decoded, or
        # a mutable default made when first asked for (`_new_result`).
        if name not in _LAZY:
            factory = _UNKEPT_FACTORIES.get(name)
            if factory is None:
                raise AttributeError(name)
            value = self.__dict__[name] = factory()
            return value
        rest = self.__dict__.pop("_rest", None)
        if rest is None:
            rest = _rest_of(self.path, self.__dict__.pop("_db", None))
        try:
            _set_lazy(self, _lazy_values(rest))
        except (TypeError, ValueError, RecursionError, AttributeError) as exc:
            raise DamagedCache(f"the cache entry of {self.path} does not parse ({exc})") from None
        return getattr(self, name)


def _rest_of(path: str, db) -> str:
    """The reference fields' text of the row of `path`, read from the cache
    file `db` (a result made from its head alone)."""
    if db is None:
        raise AttributeError("_rest")
    packed = db.result(path)
    try:
        if packed is None:
            raise ValueError("checksum")
        return _leading(packed, 2)[1]
    except (ValueError, UnicodeError):
        raise DamagedCache(f"the cache entry of {path} is damaged") from None


# The reference fields only the file's own resolution reads (others read
# its definitions, bindings and star imports): a freshly parsed result
# leaves them in the spool until then (`SpooledResult`).
_OWN = ("imports", "refs", "bases", "implements", "uses")


class SpooledResult(FileResult):
    """A result this run parsed, spooled (`Cache.spool`): its own reference
    fields (`_OWN`) are read back from the spool when its resolution asks,
    and let go after (`forget_own`).  Held for the whole project until the
    resolution they would be half of the run's memory."""

    def __getattr__(self, name):
        # Reached only for an attribute not set: a field left in the spool.
        if name not in _OWN:
            raise AttributeError(name)
        rest = _rest_of(self.path, self.__dict__.get("_db"))
        try:
            values = dict(zip(_LAZY, _lazy_values(rest)))
            make = RECORDS[self.language].imports
            values["imports"] = [make(item) for item in values["imports"]]
        except (TypeError, ValueError, RecursionError) as exc:
            raise DamagedCache(f"the spooled result of {self.path} does not parse ({exc})") from None
        for own in _OWN:
            setattr(self, own, values[own])
        return getattr(self, name)

    def forget_own(self) -> None:
        for name in _OWN:
            self.__dict__.pop(name, None)


def _spooled(result: FileResult, db) -> SpooledResult:
    result.__class__ = SpooledResult
    result._db = db
    result.forget_own()
    return result


def spool_row(result: FileResult) -> SpoolRow:
    """A freshly parsed result's texts as its cache row keeps them: its
    head fields, its packed result fields and search documents, and the
    digests its checksum is made of."""
    head = head_text(result)
    packed = pack_fields(result)
    docs_text = docs_bytes(result)
    return SpoolRow(
        head,
        packed,
        zlib.compress(docs_text, LEVEL),
        blob_sum(packed),
        blob_sum(docs_text),
        blob_sum(head.encode("utf-8")),
    )


def ready_for_spool(result: FileResult) -> FileResult:
    """In a parsing worker: ``result`` with its texts packed for the cache
    (`spool_row`) in place of the texts themselves, so the packing's cost
    falls on the workers and a fraction of the bytes travels back."""
    result.spool_row = spool_row(result)
    _drop_texts(result)
    return result


def head_text(result: FileResult) -> str:
    """The fields every run reads of every file (`_HEAD`), as a row keeps
    them apart from the rest."""
    return _encode(_entry(result)[: len(_HEAD)])


def _drop_texts(result: FileResult) -> None:
    # Held for the whole project, the texts would be most of the run's memory.
    for name in (*_TEXTS, "search_docs"):
        setattr(result, name, None)


def _set_lazy(result: FileResult, values: list) -> None:
    for name, value in zip(_LAZY, values):
        setattr(result, name, value)
    if not isinstance(result.bindings, dict):
        raise ValueError("malformed cache entry")
    # The shapes a fresh result has (JSON turned tuples and records into lists).
    records = RECORDS[result.language]
    result.bindings = {k: records.binding(v) for k, v in result.bindings.items()}
    result.star = [records.star(v) for v in result.star]
    result.imports = [records.imports(v) for v in result.imports]


# What a cached result holds of the fields a row does not keep: a run makes
# one result per unchanged file, so they are set in one dict update, and
# the mutable ones are made only when asked for (`CachedResult`).
_UNKEPT_VALUES = {f.name: f.default for f in _UNKEPT if not _is_factory(f)}
_UNKEPT_FACTORIES = {f.name: f.default_factory for f in _UNKEPT if _is_factory(f)}


def _new_result(path: str, fields: dict) -> CachedResult:
    """A cached result of `path` holding `fields` (the mutable fields a row
    does not keep are made fresh when first read)."""
    result = CachedResult.__new__(CachedResult)
    held = result.__dict__
    held["path"] = path
    held.update(fields)
    return result


def _fields(values: list, rest: str | None, texts: list) -> dict:
    """A cached result's fields but its path, from its head fields' values,
    the text of the others and its JSON texts (ValueError or TypeError when
    they are not a result's)."""
    held = dict(_UNKEPT_VALUES)
    held.update(zip(_HEAD, values))
    held.update(zip(_TEXTS, texts))
    if held["language"] not in RECORDS:
        raise ValueError("malformed cache entry")
    held["counts"] = tuple(held["counts"])
    held["_rest"] = rest
    return held


def _result(path: str, values: list, rest: str, texts: list) -> CachedResult:
    return _new_result(path, _fields(values, rest, texts))


_NO_TEXTS = [None] * len(_TEXTS)


def _head_fields(head: str) -> dict | None:
    """What a cached result holds but for its path and what the run sets,
    from a row's head text (None: not one)."""
    try:
        values = json.loads(head)
        if not isinstance(values, list) or len(values) != len(_HEAD):
            return None
        return _fields(values, None, _NO_TEXTS)
    except (TypeError, ValueError, RecursionError):
        return None


def taken_over(path: str, fields: dict, hashed: str | None) -> CachedResult:
    """The result of the unchanged file `path` from its row's head fields
    (`Cache.reuse_all`) and its digest: the mutable fields a row does not
    keep are made fresh when first read, each result its own."""
    result = CachedResult.__new__(CachedResult)
    held = result.__dict__
    held.update(fields)
    held["path"] = path
    held["digest"] = hashed
    return result


def decode_result(path: str, packed: bytes, language: str, whole: bool = False, texts: bool = True) -> FileResult | None:
    """The result kept in `packed` for the file `path` of `language`, or
    None when it does not unpack to one; its reference fields are decoded
    when first read (`CachedResult`), or now when `whole`; its JSON texts
    are None unless `texts`."""
    try:
        result = _result(path, *_split_parts(packed, texts))
        if whole:
            _set_lazy(result, _lazy_values(result.__dict__.pop("_rest")))
    except (TypeError, ValueError, RecursionError, UnicodeError):
        return None
    return result if result.language == language else None


def reference_shape(result: FileResult | None):
    """What resolving other files may read of a file's results: a change
    to it can move their edges."""
    if result is None or result.error is not None:
        return None
    return (result.language, result.defined, result.bindings, result.star, result.package)


class Cache:
    """The stamps of the previous run's files (`cache_db`), and this run's
    verdict on each: unchanged (its row is used as it is) or not."""

    def __init__(self, sig: str, db: CacheDB, run: dict | None = None):
        self.signature = sig
        self.db = db
        self._previous = None
        self._previous_paths = None
        self._looked_up = 0
        # What the previous run wrote: its generation, figures and the
        # resolution settings (config files) it saw.
        self.run = run if isinstance(run, dict) else {}
        self.started_ns = time.time_ns()
        # Files found unchanged by their digest: their new stamp.
        self.restamped = {}
        # Files whose row, as this run leaves it, does (settled) or does not
        # (unsettled) vouch for their size and time on its own.
        self.settled = set()
        self.unsettled = set()
        # The packed documents of rows this run replaces or drops, as the
        # last run left them (`store`).
        self._previous_docs = {}
        # The heads read one row at a time (`head_of`), then all of them.
        self._heads_looked_up = 0
        self._heads_made = {}
        self._all_heads = None

    @property
    def previous(self) -> dict:
        """path -> (size, mtime_ns, read_ns, digest) of every row, read when
        first asked for: a run whose walk vouches for every file never is."""
        if self._previous is None:
            self._previous = self.db.stamps() if not self.db.fresh else {}
        return self._previous

    @property
    def previous_paths(self) -> set:
        """The files of `previous`, read without their stamps when those
        are not at hand: a run with a few files to compare needs only
        their own."""
        if self._previous_paths is None:
            if self._previous is not None:
                self._previous_paths = set(self._previous)
            else:
                self._previous_paths = self.db.paths() if not self.db.fresh else set()
        return self._previous_paths

    def rows_are(self, paths: set, listing_kept: bool) -> bool:
        """Whether the rows are those of the files `paths`.  When the walk
        kept every folder's listing, the files are the last run's, whose
        rows that run's commit left: their count tells.  Else their paths,
        all rows' (a row not of our shape among them fails as its head is
        read)."""
        if self.db.fresh:
            return False
        if self._previous_paths is not None:
            return self._previous_paths == paths
        return self.db.row_count() == len(paths) if listing_kept else self.db.row_paths_raw() == paths

    def rows_taken_as(self, paths: set) -> None:
        """The rows are those of `paths` (`rows_are`): `previous_paths`."""
        self._previous_paths = set(paths)

    def _stamp(self, rel: str) -> tuple | None:
        if self._previous is None:
            self._looked_up += 1
            if self._looked_up <= ROW_LOOKUPS:
                return self.db.stamp(rel) if not self.db.fresh else None
        return self.previous.get(rel)

    @classmethod
    def load(cls, data_dir: str, root: str, sig: str, full: bool) -> "Cache":
        """The project's cache, or a new empty one for a full run (or when
        the old one cannot be used)."""
        if not full:
            try:
                db = CacheDB.open(data_dir, root, sig)
            except CacheProblem:
                pass
            else:
                try:
                    return cls(sig, db, db.run())
                except (sqlite3.Error, CacheProblem):
                    db.discard()
        return cls(sig, CacheDB.create(data_dir))

    def unchanged(self, source) -> bool:
        """True when `source` (a walk.SourceFile) is as the cache's row
        says: same size and modification time, last changed (its inode too)
        well before the run that read it began (a later change in the same
        clock tick could keep both, and an edit can put both back), else the
        same digest."""
        stamp = self._stamp(source.rel)
        if stamp is None:
            return False
        size, mtime_ns, read_ns, hashed = stamp
        settled_ns = read_ns - _RACY_NS
        same = size == source.size and mtime_ns == source.mtime_ns
        if same and mtime_ns < settled_ns and source.ctime_ns < settled_ns:
            self.settled.add(source.rel)
            return True
        # Touched, or changed too close to the run that read it: the content decides.
        try:
            data = read_regular(source.path, READ_LIMIT)
        except OSError:
            return False
        if digest(data) != hashed:
            return False
        if not same or self._settled(source):
            # A new stamp spares the next run this reading (one still too
            # close to this run would not).
            self.restamped[source.rel] = (source.size, source.mtime_ns, self.started_ns, hashed)
            if self._settled(source):
                self.settled.add(source.rel)
        return True

    def _settled(self, source) -> bool:
        """Whether a row stamped by this run vouches for the file on its own
        next time: changed (its times, its inode) well before this run began."""
        return source.mtime_ns < self.started_ns - _RACY_NS and source.ctime_ns < self.started_ns - _RACY_NS

    def reuse_all(self) -> dict:
        """rel -> (the head fields of its result, whether its links are kept,
        the digest of its search documents' text, the file's digest) of each
        row that holds a sound head, read in one pass: files of the same
        shape share the fields, and `taken_over` makes a result of them when
        one is read; the rest of a row (the reference fields, the texts, the
        links) is read when asked for.  The run takes over those of its
        unchanged files whose language is the row's; the others are parsed
        again."""
        with paused():  # an entry per file, and no cycles among them
            return self.db.heads(self._fields_of)

    def head_of(self, path: str) -> tuple | None:
        """What `reuse_all` gives of the row of `path` (None: no sound
        head), read alone while few are asked for: a run whose walk vouches
        for all but a few files reads the heads of those it needs.  Past
        `HEAD_LOOKUPS`, every row's head is read in one pass, and kept."""
        if self._all_heads is None:
            self._heads_looked_up += 1
            if self._heads_looked_up <= HEAD_LOOKUPS:
                return self.db.head(path, self._fields_of, self._heads_made)
            self._all_heads = self.reuse_all()
        return self._all_heads.get(path)

    def _fields_of(self, head: str) -> dict | None:
        fields = _head_fields(head)
        if fields is not None:
            fields["_db"] = self.db
        return fields

    def edges(self, path: str):
        """The edges the last run resolved for an unchanged file, from its
        row (DamagedCache when the row does not hold them as written)."""
        blob = self.db.links(path)
        try:
            if blob is None:
                raise CacheProblem("no links")
            return unpack_links(blob, len(EDGE_KINDS))[0]
        except CacheProblem:
            raise DamagedCache(f"the links of {path} in the cache are damaged") from None

    def spool(self, result: FileResult) -> tuple:
        """Hand a freshly parsed `result`'s texts to the cache file's spool
        (`texts` and `docs` read them back) and return (the result without
        them, the digest of its search documents' text).  A worker has
        packed them already (`ready_for_spool`); else they are packed here."""
        row = result.__dict__.pop("spool_row", None)
        if row is None:
            row = spool_row(result)
        try:
            self.db.spool(result.path, row)
        except sqlite3.Error as exc:  # a full disk, as for the other files
            raise OSError(f"{self.db.target}: {exc}") from None
        _drop_texts(result)
        return _spooled(result, self.db), row.docs_sum

    def texts(self, path: str) -> list:
        """The JSON texts (record, nodes, "contains" edges) of a file this
        run parsed or reused (DamagedCache when they are not as written)."""
        packed = self.db.result(path)
        try:
            if packed is None:
                raise ValueError("checksum")
            return unpack_texts(packed)
        except (ValueError, UnicodeError):
            raise DamagedCache(f"the cache entry of {path} is damaged") from None

    def docs(self, path: str) -> str:
        """The search documents' text of an unchanged file, from its row
        (DamagedCache when it does not hold them as written)."""
        text = self.db.docs(path)
        if text is None:
            raise DamagedCache(f"the search documents of {path} in the cache are damaged")
        return text.decode("utf-8", "surrogatepass")

    def _keep_docs(self, path: str) -> None:
        """Keep the packed search documents of the row of `path` as the
        last run left it, before this run replaces or drops it: the search
        index counts a changed file's old terms from them (`previous_docs`)."""
        found = self.db.row_docs(path)
        if found is not None:
            self._previous_docs[path] = found

    def previous_docs(self, path: str, check: bytes) -> str | None:
        """The search documents' text of `path` whose digest is `check`: of
        its row as the last run left it, else as this run leaves it; None
        when neither holds them."""
        for found in (self._previous_docs.get(path), self.db.row_docs(path)):
            if found is not None and found[1] == check:
                text = inflate_docs(found[0], check)
                if text is not None:
                    return text.decode("utf-8", "surrogatepass")
        return None

    def old_result(self, source) -> FileResult | None:
        """The previous result of a changed file, when its row holds one."""
        blobs = self.db.blobs(source.rel) if source.rel in self.previous_paths else None
        return decode_result(source.rel, blobs[0], source.language, whole=True) if blobs else None

    def stamp(self, source, hashed: str) -> tuple:
        return (source.size, source.mtime_ns, self.started_ns, hashed)

    def old_reads(self, path: str):
        """The keys the previous resolution of a file read (to forget)."""
        blobs = self.db.blobs(path) if path in self.previous_paths else None
        if blobs is None or blobs[1] is None:
            return ()
        try:
            return unpack_links(blobs[1], len(EDGE_KINDS), with_reads=True)[1]
        except CacheProblem:
            return ()

    def store(self, paths: list, fresh: list, edges: dict, reads: dict, keep_docs: bool = False) -> None:
        """This run's changes to the rows (committed once the outputs are
        placed): rows of the files parsed again ((result, source) pairs of
        `fresh`, spooled), the links of the files resolved again (`edges`, and
        `reads`: the keys read now and before), the stamps of files found
        unchanged by their digest; the rows of files gone are dropped.
        With `keep_docs`, the search documents of the rows replaced or
        dropped are kept for `previous_docs`."""
        db = self.db
        known = self.previous_paths
        for rel in known - set(paths):
            if keep_docs:
                self._keep_docs(rel)
            db.drop(rel, self.old_reads(rel))
        for rel, stamp in self.restamped.items():
            db.restamp(rel, stamp)
        for path, (now, before) in reads.items():
            db.forget_reads(path, before)
            db.note_reads(path, now)
        for result, source in fresh:
            if keep_docs and result.path in known:
                self._keep_docs(result.path)
            if result.digest is None:  # not read in full: parsed again next time
                db.drop(result.path, ())
                self.unsettled.add(result.path)
                continue
            if self._settled(source):
                self.settled.add(result.path)
            else:
                self.unsettled.add(result.path)
            linked = reads.get(result.path)
            blob = pack_links(edges[result.path], linked[0]) if linked is not None else None
            db.put_spooled(result.path, self.stamp(source, result.digest), blob)
        fresh_paths = {result.path for result, _ in fresh}
        for path, (now, _) in reads.items():
            if path not in fresh_paths:
                db.set_links(path, pack_links(edges[path], now))
