"""The per-document numbers of a search index, read a chunk at a time.

Ranking needs, for each document its terms name, a norm, and for each file
its flags, prior and id (`rank`).  The index keeps these arrays cut into
chunks (`store.CHUNK` documents per row), and a query reads only the chunks
that hold the documents of its postings: what it reads follows its terms,
not the size of the project.

The numbers are kept in full-length arrays, filled as chunks are read and
left zero elsewhere, so `rank` indexes them as it indexes a corpus in
memory.  One `Documents` serves every connection to the same index file (a
server answers on several threads, one connection each) for as long as the
file is unchanged: `shared` keys them on the file's identity.  Filling a
chunk writes the same values whichever thread does it, and an array is never
resized, so readers need no lock.
"""

from __future__ import annotations

import threading
from array import array
from bisect import bisect_left
from itertools import repeat
from operator import floordiv

from .._scoring import ends_out_of_order, owners_from_firsts
from . import first_symbols
from .store import CHUNK, FILE_ARRAYS, FILE_IDS, SYMBOL_ARRAYS, chunk_name

_ALL_ARRAYS = {**FILE_ARRAYS, **SYMBOL_ARRAYS}
_ITEM_SIZES = {code: array(code).itemsize for code in _ALL_ARRAYS.values()}
# Arrays at least this large are mapped rather than filled with zeros.
_MAPPED_BYTES = 1 << 20

# The symbols' files are made from the files' first symbols (a fortieth of
# their size at 100,000 files) once a question wants this share of their
# chunks: fewer are read as they are.
FIRSTS_FROM = 4

# Postings this many times the number of chunks name nearly every chunk: all
# are read without working out which (what is read stays within a fixed
# multiple of the postings: CHUNK / DENSE documents per posting).
DENSE = 4
# Postings of the terms asked about that a `Documents` keeps decoded (a server asked
# about the same words again decodes them once): about 8 bytes each.
KEPT_POSTINGS = 4_000_000
# Index files whose numbers are kept at once (a server answers for one project;
# a few more cover an index replaced while a query still reads the old one).
KEPT = 4


def _zeros(code: str, count: int):
    """``count`` zeros of the type ``code``, indexed as an array is.  A large
    one is mapped as fresh pages: a question touches the pages of the
    documents it reads, never the rest (a project's symbols take megabytes)."""
    size = count * _ITEM_SIZES[code]
    if size < _MAPPED_BYTES:
        return memoryview(bytearray(size)).cast(code)
    import mmap  # only a large project's question needs it

    # Private: a shared mapping is shared memory, whose pages cost more and are never large.
    return memoryview(mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)).cast(code)


class Documents:
    """The per-document arrays of one index file, filled chunk by chunk.

    ``source`` (the index file's reader) gives the `arrays` rows:
    ``source.arrays(names)`` those named, ``source.array_chunks(name)``
    every chunk of one array in one pass, each as {row name: blob}; either
    raises for an unreadable file.  A chunk missing or of the wrong length
    raises ValueError.  Each array is read on its own: a
    question reads the norms of only the documents that can still enter
    its results, and the ids of only the files it returns.
    """

    def __init__(self, file_count: int, symbol_count: int) -> None:
        self.file_count, self.symbol_count = file_count, symbol_count
        for name, code in FILE_ARRAYS.items():
            setattr(self, name, _zeros(code, file_count))
        for name, code in SYMBOL_ARRAYS.items():
            setattr(self, name, _zeros(code, symbol_count))
        # Chunk -> the ids of its files, as read (a list of every file would take 8 bytes a
        # file of fresh pages: 800 KB at 100,000 files, for the few ids a question shows).
        self.file_ids: dict = {}
        # Id -> number of the files looked up so far (None: not a file of the index).
        self.numbers: dict = {}
        # File number -> (first, end) of its block of symbols, as read so far.
        self.blocks: dict = {}
        # Each file's first symbol once the symbols' files were made from them (`first_symbols`).
        self.first_symbols = None
        # With them, {file: the end of its block's room} where that is not the next file's first
        # symbol (`first_symbols.agrees_left`): the blocks an update moved out of file order.
        self.block_ends: dict = {}
        # While true, the symbols' files are left to the first symbols: the bound walks them
        # beside the symbols, and a file scored exactly has its symbols' files written from its
        # block (`own_blocks`); `owners_whole` makes them all.
        self.owners_deferred = False
        # The files whose blocks were written so while the symbols' files were left.
        self._owned: set = set()
        self._firsts_absent = False
        # Term -> its decoded postings, the least recently asked first, and how many they hold.
        self._postings: dict = {}
        self._postings_held = 0
        self._postings_lock = threading.Lock()
        # Per array, the chunks read so far; None once all of them are.
        self._read: dict = {name: set() if self._count(name) else None for name in (*FILE_ARRAYS, *SYMBOL_ARRAYS, FILE_IDS)}

    def postings(self, term: str, decode):
        """The decoded postings of ``term``: those kept, else ``decode()``'s
        (None for a term without postings, which is not kept)."""
        with self._postings_lock:
            found = self._postings.pop(term, None)
            if found is not None:
                self._postings[term] = found  # most recently asked last
                return found
        found = decode()
        if found is None:
            return None
        size = len(found[0]) + len(found[2])
        with self._postings_lock:
            if term not in self._postings and size <= KEPT_POSTINGS:
                self._postings[term] = found
                self._postings_held += size
                while self._postings_held > KEPT_POSTINGS:
                    dropped = self._postings.pop(next(iter(self._postings)))
                    self._postings_held -= len(dropped[0]) + len(dropped[2])
        return found

    def _count(self, name: str) -> int:
        return self.symbol_count if name in SYMBOL_ARRAYS else self.file_count

    def need(self, names, numbers, source, ordered: bool = False) -> None:
        """Read the chunks of the arrays ``names`` (of one collection) that
        hold the documents ``numbers`` (a sequence; ``ordered`` when it
        never decreases, as postings' numbers do)."""
        wanted = None
        for name in names:
            done = self._read[name]  # once, another thread may set it to None meanwhile
            if done is None:
                continue
            count = self._count(name)
            if wanted is None:
                wanted = _ordered_chunks(numbers) if ordered else _chunks_of(numbers, count)
            unread = wanted - done
            if unread and not (name == "symbol_file" and self._owners_from_firsts(len(unread), source)):
                self._fill(name, unread, count, source)

    def need_files(self, numbers, source) -> None:
        """Read the chunks that hold the files ``numbers`` (a sequence), of
        every file array and of the ids."""
        self.need((*FILE_ARRAYS, FILE_IDS), numbers, source)

    def need_symbols(self, numbers, source) -> None:
        """Read the chunks that hold the symbols ``numbers``, and those of
        the files they lie in."""
        self.need(SYMBOL_ARRAYS, numbers, source)
        self.need_files(self.owners(numbers, source), source)

    def owners(self, numbers, source):
        """The files the symbols ``numbers`` lie in (all of them, near
        enough, when the symbols are dense), their chunks of `symbol_file`
        read.  A file number out of range fails where it is used, as damage."""
        self.need(("symbol_file",), numbers, source)
        # Left to the first symbols, the symbols' files are not at hand: every file then, as for
        # dense symbols (a question that left them had a term of common words and read them all).
        if self.owners_deferred or len(numbers) >= DENSE * _chunk_count(self.file_count):
            return range(self.file_count)
        return list(map(self.symbol_file.__getitem__, numbers))

    def owners_whole(self) -> None:
        """Make the symbols' files whole where they were left to the first symbols."""
        if self.owners_deferred:
            _in_large_pages(self.symbol_file)
            owners_from_firsts(self.first_symbols, self.symbol_file)
            self.owners_deferred = False

    def own_blocks(self, blocks) -> None:
        """Write the symbols' files of the files ``blocks`` ({file number: (first, end)})
        while they are left to the first symbols: what the exact passes read of them."""
        if not self.owners_deferred:
            return
        owners, owned = self.symbol_file, self._owned
        for number, (first, end) in blocks.items():
            if number not in owned:
                if end > first:
                    owners[first:end] = array("I", [number]) * (end - first)
                owned.add(number)

    def _owners_from_firsts(self, unread: int, source) -> bool:
        """Make the symbols' files whole from the files' first symbols
        when ``unread`` of their chunks are wanted, enough that reading
        them would cost more; False (nothing done) for fewer, or for an
        index written without the first symbols."""
        if self._firsts_absent or unread * FIRSTS_FROM < _chunk_count(self.symbol_count):
            return False
        firsts = self._whole_firsts(source)
        if firsts is None:
            self._firsts_absent = True
            return False
        ends = ends_out_of_order(firsts, self.symbol_count)  # damage refused before any is kept
        self.block_ends = dict(zip(ends[::2], ends[1::2]))
        self.first_symbols = firsts
        # 8.8 MB of fresh pages at 100,000 files not written, however an update placed the blocks.
        self.owners_deferred = True
        self._read["symbol_file"] = None
        return True

    def _whole_firsts(self, source):
        """Every file's first symbol (`first_symbols`), or None when the
        index holds none of them; ValueError for a chunk missing or of the
        wrong length."""
        chunks = _chunk_count(self.file_count)
        numbered = {chunk_name(first_symbols.NAME, chunk): chunk for chunk in range(chunks)}
        found: dict = {}

        def take(row, blob) -> None:
            chunk = numbered.get(row) if isinstance(row, str) else None
            if chunk is not None:
                found[chunk] = blob

        source.array_chunks(first_symbols.NAME, take)
        if not found:
            return None
        firsts = array(first_symbols.CODE)
        for chunk in range(chunks):
            size = min(CHUNK, self.file_count - chunk * CHUNK)
            firsts.frombytes(_checked(first_symbols.CODE, found.get(chunk), size))
        return firsts

    def _fill(self, name: str, wanted: set, count: int, source) -> None:
        """Read the chunks ``wanted`` of the array ``name`` into place."""
        chunks = _chunk_count(count)
        if len(wanted) == chunks and wanted == set(range(chunks)):
            self._fill_whole(name, chunks, count, source)
        else:
            blobs = source.arrays([chunk_name(name, c) for c in sorted(wanted)])
            for chunk in sorted(wanted):
                self._put(name, chunk, count, blobs.get(chunk_name(name, chunk)))
        done = self._read[name]
        if done is not None:
            done |= wanted
            if len(done) * CHUNK >= count:
                self._read[name] = None

    def _fill_whole(self, name: str, chunks: int, count: int, source) -> None:
        """Read every chunk of the array ``name`` in one pass over its rows,
        each put in place as it comes (a rows' worth of memory, not the
        array's twice over)."""
        # Only a chunk's own name: a row named otherwise within the range is not one.
        numbered = {chunk_name(name, chunk): chunk for chunk in range(chunks)}
        if name != FILE_IDS:
            _in_large_pages(getattr(self, name))
        put = self._put if name == FILE_IDS else self._copier(name)
        found = set()

        def take(row, blob) -> None:
            chunk = numbered.get(row) if isinstance(row, str) else None
            if chunk is not None:
                put(name, chunk, count, blob)
                found.add(chunk)

        source.array_chunks(name, take)
        if len(found) != chunks:
            raise ValueError("an array chunk is missing")

    def _copier(self, name: str):
        """`_put` for the numbers of ``name``, as a copy of the chunk's bytes
        (a question of common words puts thousands of chunks in place)."""
        width = _ITEM_SIZES[_ALL_ARRAYS[name]]
        raw = getattr(self, name).cast("B")

        def put(name: str, chunk: int, count: int, blob) -> None:
            start = chunk * CHUNK
            size = min(CHUNK, count - start) * width
            if not isinstance(blob, bytes):
                raise ValueError("an array chunk is missing")
            if len(blob) != size:
                raise ValueError("an array chunk of the wrong length")
            raw[start * width : start * width + size] = blob

        return put

    def _put(self, name: str, chunk: int, count: int, blob) -> None:
        """Put the chunk ``chunk`` of the array ``name`` (``blob``) in place."""
        start = chunk * CHUNK
        size = min(CHUNK, count - start)
        if name == FILE_IDS:
            self.file_ids[chunk] = ids_of_chunk(blob, size)
        else:
            code = _ALL_ARRAYS[name]
            getattr(self, name)[start : start + size] = memoryview(_checked(code, blob, size)).cast(code)


def _in_large_pages(values) -> None:
    """Ask for large pages under a mapped array about to be written whole: a
    fresh page costs a fault and a clearing, and at a large project's size
    (megabytes of symbols' files) the faults of small pages are most of the
    read.  A system without them keeps small pages."""
    advise = getattr(values.obj, "madvise", None)
    if advise is None:
        return  # not mapped: small enough to be filled in the heap
    import mmap

    try:
        advise(mmap.MADV_HUGEPAGE)
    except (AttributeError, OSError):
        pass


def _chunk_count(count: int) -> int:
    return -(-count // CHUNK)


def _chunks_of(numbers, count: int) -> set:
    """The chunks that hold the documents ``numbers`` of ``count``; all of
    them for numbers that are dense."""
    chunks = _chunk_count(count)
    if len(numbers) >= DENSE * chunks:
        return set(range(chunks))
    return set(map(floordiv, numbers, repeat(CHUNK)))


def _checked(code: str, blob, size: int) -> bytes:
    """``blob`` when it is a chunk of ``size`` values of type ``code``."""
    if not isinstance(blob, bytes):
        raise ValueError("an array chunk is missing")
    if len(blob) != size * _ITEM_SIZES[code]:
        raise ValueError("an array chunk of the wrong length")
    return blob


def _ordered_chunks(numbers) -> set:
    """The chunks that hold the documents ``numbers`` (never decreasing):
    one look per chunk they reach, however many of them it holds."""
    found = set()
    at, end = 0, len(numbers)
    while at < end:
        chunk = numbers[at] // CHUNK
        found.add(chunk)
        at = bisect_left(numbers, (chunk + 1) * CHUNK, at + 1)
    return found


def ids_of_chunk(blob, size: int) -> list:
    """The file ids a chunk of `FILE_IDS` holds (ValueError when not `size` of them)."""
    if not isinstance(blob, bytes):
        raise ValueError("a chunk of file ids is missing")
    ids = blob.decode("utf-8", "surrogatepass").split("\0")
    if len(ids) != size:
        raise ValueError("a chunk of file ids of the wrong length")
    return ids


_shared: dict = {}
_shared_lock = threading.Lock()


def shared(key, file_count: int, symbol_count: int) -> Documents:
    """The `Documents` of the index file identified by ``key`` (its path,
    identity and counts), made once and kept while it is among the `KEPT`
    last asked for."""
    with _shared_lock:
        documents = _shared.pop(key, None)
        if documents is None:
            documents = Documents(file_count, symbol_count)
        _shared[key] = documents  # most recently used last
        while len(_shared) > KEPT:
            del _shared[next(iter(_shared))]
        return documents
