"""The incremental cache: what the last run learned about each file, so the
next run re-parses only files whose size, modification time or content
changed.

It lives in `.vestra/index-cache.json` (plain JSON: a cache inside a
project folder must never be able to run code).  A file is reused as is
when its size and modification time match and it was last changed well
before the previous run started; otherwise its content hash decides.  Any
doubt (another format, another interpreter or grammar version, a malformed
entry) makes the run start from scratch.

The results of a file are kept as JSON texts that the next run splices into
its output unread, so each entry carries a checksum of its results: an entry
whose results are not the ones written (one character damaged, the file
still valid JSON) is not reused.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import sys
import time
import zlib
from dataclasses import fields

from ..datadir import read_regular, resolve_inside, source_digest
from .references import RECORDS
from .result import FileResult

# The bound on reading a source file, here and in the parsing workers: far
# above any size the walk admits; only guards against a file that grows
# without end while it is read.
READ_LIMIT = 1 << 30

CACHE_NAME = "index-cache.json"
CACHE_LIMIT = 1 << 30
FORMAT = 3
# A file's results unpack to far less than this; more is damage.
ENTRY_LIMIT = 256 << 20

# Modification times this close to the start of the run that wrote the
# cache may hide a later change of the same size in the same clock tick.
_RACY_NS = 2_000_000_000

# The fields kept, in the order of the record: a field added to it is kept too.
_FIELDS = tuple(f.name for f in fields(FileResult) if f.metadata.get("cached", True))


def digest(data: bytes) -> str:
    # The same digest the search index keeps for queries to check a file by.
    return source_digest(data)


def _code_digest() -> str:
    """Hash of the indexer's own sources: a changed extractor must not
    serve results of the old one."""
    h = hashlib.blake2b(digest_size=8)
    here = os.path.dirname(os.path.abspath(__file__))
    search = os.path.join(os.path.dirname(here), "search")
    for folder in (here, os.path.join(here, "extractors"), search):
        for name in sorted(os.listdir(folder)):
            if name.endswith(".py"):
                with open(os.path.join(folder, name), "rb") as f:
                    h.update(name.encode() + b"\0" + f.read())
    return h.hexdigest()


def signature() -> str:
    """What the cached results depend on besides the files themselves: this
    format, the Python grammar (ast) and the installed parser packages."""
    from importlib import metadata

    versions = [f"format={FORMAT}", f"python={sys.version_info[0]}.{sys.version_info[1]}", f"code={_code_digest()}"]
    for package in ("tree-sitter", "tree-sitter-typescript", "tree-sitter-javascript", "tree-sitter-go", "tree-sitter-java", "tree-sitter-rust"):
        try:
            versions.append(f"{package}={metadata.version(package)}")
        except metadata.PackageNotFoundError:
            versions.append(f"{package}=-")
    return ";".join(versions)


_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def _entry(result: FileResult) -> list:
    return [getattr(result, name) for name in _FIELDS]


def search_docs(path: str, text: str) -> list:
    """The search documents of the file `path` from their JSON text
    (DamagedCache when text taken from the cache does not parse as a list
    of documents)."""
    try:
        docs = json.loads(text)
    except (ValueError, RecursionError, TypeError):
        docs = None
    if not isinstance(docs, list) or not all(isinstance(doc, dict) for doc in docs):
        raise DamagedCache(f"the cache entry of {path} does not parse")
    return docs


class DamagedCache(ValueError):
    """Text taken from the cache does not parse: the run starts again from
    scratch (nothing was written)."""


def prove(result: FileResult) -> None:
    """Parse the JSON texts of a reused `result` before they are spliced
    into the output; DamagedCache when one does not parse (its search
    documents are checked as they are read, `search_docs`).  Only a run
    that writes needs this."""
    if result.error is not None:
        return  # an unparsable file: only its name is written, none of its texts
    try:
        json.loads(result.record_json)
        for text in (result.nodes_json, result.contains_json):
            json.loads("[" + text + "]")
    except (ValueError, RecursionError, TypeError):
        raise DamagedCache(f"the cache entry of {result.path} does not parse") from None


def _checksum(packed: str) -> str:
    """The checksum an entry keeps of its packed results."""
    return digest(packed.encode("ascii"))


def _pack(values: list) -> str:
    """A file's result fields as the cache keeps them: their JSON text,
    compressed and in base64.  The cache holds little more than the
    index's outputs already do, so it is kept small: about a quarter of
    the JSON (zlib's fastest level: a full run packs every file, and the
    default level saves a fifth of the size for three times the time),
    and a run that reuses a file never parses more than it needs."""
    text = _encode(values).encode("utf-8", "surrogatepass")
    return base64.b64encode(zlib.compress(text, 1)).decode("ascii")


def _unpack(packed: str) -> list:
    """The result fields of a packed entry (ValueError when damaged)."""
    unpacker = zlib.decompressobj()
    try:
        text = unpacker.decompress(base64.b64decode(packed.encode("ascii"), validate=True), ENTRY_LIMIT)
    except (zlib.error, UnicodeEncodeError) as exc:
        raise ValueError(f"damaged cache entry: {exc}") from None
    if unpacker.unconsumed_tail or not unpacker.eof:
        raise ValueError("damaged cache entry")
    values = json.loads(text.decode("utf-8", "surrogatepass"))
    if not isinstance(values, list):
        raise ValueError("malformed cache entry")
    return values


def _result(path: str, values: list) -> FileResult:
    if len(values) != len(_FIELDS):
        raise ValueError("malformed cache entry")
    result = FileResult(path)
    for name, value in zip(_FIELDS, values):
        setattr(result, name, value)
    if not isinstance(result.record_json, str) or not isinstance(result.bindings, dict) or not isinstance(result.search_docs, str):
        raise ValueError("malformed cache entry")
    # The shapes a fresh result has (JSON turned tuples and records into lists).
    result.counts = tuple(result.counts)
    records = RECORDS.get(result.language)
    if records is None:
        raise ValueError("malformed cache entry")
    result.bindings = {k: records.binding(v) for k, v in result.bindings.items()}
    result.star = [records.star(v) for v in result.star]
    result.imports = [records.imports(v) for v in result.imports]
    return result


class Cache:
    """Entries of the previous run, and the entries of this run.

    An entry is [size, modification time in ns, content hash, result fields
    packed (`_pack`), checksum of the packed fields].
    """

    def __init__(self, sig: str, previous: dict | None = None, written_ns: int = 0, run: dict | None = None):
        self.signature = sig
        self.previous = previous or {}
        self.written_ns = written_ns
        # What the previous run wrote: its generation, edge count and the
        # resolution settings (config files) it saw.
        self.run = run if isinstance(run, dict) else {}
        self.started_ns = time.time_ns()
        self.entries = {}

    @classmethod
    def load(cls, path: str, sig: str, root: str) -> "Cache":
        """The cache at `path` in the project `root`, or an empty one."""
        try:
            # A regular file of the project only (never a FIFO or a device
            # planted there, nor a link leading out of the project).
            real = resolve_inside(path, root)
            if real is None:
                raise ValueError("leads outside the project")
            data = json.loads(read_regular(real, CACHE_LIMIT).decode("utf-8"))
            if not isinstance(data, dict) or data.get("signature") != sig or not isinstance(data.get("files"), dict):
                raise ValueError("another format")
            started = data.get("started_ns")
            if not isinstance(started, int):
                raise ValueError("another format")
            return cls(sig, data["files"], started, data.get("run"))
        except (OSError, ValueError, RecursionError):  # nested too deep for the parser: damaged
            return cls(sig)

    def reuse(self, source) -> FileResult | None:
        """The previous result of `source` (a walk.SourceFile) when the file
        has not changed since, else None."""
        entry = self.previous.get(source.rel)
        if not isinstance(entry, list) or len(entry) != 5:
            return None
        size, mtime_ns, hashed, packed, checksum = entry
        if not isinstance(packed, str):
            return None
        if not (size == source.size and mtime_ns == source.mtime_ns and mtime_ns < self.written_ns - _RACY_NS):
            # Touched, or changed too close to the last run: the content decides.
            try:
                data = read_regular(source.path, READ_LIMIT)
            except OSError:
                return None
            if digest(data) != hashed:
                return None
        try:
            if _checksum(packed) != checksum:
                return None
            result = _result(source.rel, _unpack(packed))
        except (TypeError, ValueError, RecursionError, UnicodeError):
            return None
        if result.language != source.language:
            return None
        result.digest = hashed
        # The entry as read, so that an unchanged cache compares equal.
        self.entries[source.rel] = [source.size, source.mtime_ns, hashed, packed, checksum]
        return result

    def keep(self, source, hashed: str | None, result: FileResult) -> None:
        if hashed is not None:  # None: the file was not read in full
            packed = _pack(_entry(result))
            self.entries[source.rel] = [source.size, source.mtime_ns, hashed, packed, _checksum(packed)]

    def unchanged(self, configs: list) -> bool:
        """True when every file was reused, none came or went, and the
        resolution settings are as the previous run saw them: its output
        would be written again unchanged."""
        return self.entries == self.previous and self.run.get("configs") == configs

    def pieces(self, generation: str, edges: int, configs: list) -> list:
        """The cache file as a list of UTF-8 pieces, one per file: never one
        string the size of the whole (a lone surrogate is written as a JSON
        escape)."""
        run = {"generation": generation, "edges": edges, "configs": configs}
        head = {"signature": self.signature, "started_ns": self.started_ns, "run": run}
        out = [(_encode(head)[:-1] + ',"files":{').encode("utf-8", "backslashreplace")]
        for i, (rel, entry) in enumerate(self.entries.items()):
            out.append(f"{',' if i else ''}{_encode(rel)}:{_encode(entry)}".encode("utf-8", "backslashreplace"))
        out.append(b"}}\n")
        return out
