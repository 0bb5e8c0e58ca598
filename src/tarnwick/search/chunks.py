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
from itertools import repeat
from operator import floordiv

from .store import CHUNK, FILE_ARRAYS, FILE_IDS, SYMBOL_ARRAYS, chunk_name

# Postings this many times the number of chunks name nearly every chunk: all
# are read without working out which (what is read stays within a fixed
# multiple of the postings: CHUNK / DENSE documents per posting).
DENSE = 4
# Index files whose numbers are kept at once (a server answers for one project;
# a few more cover an index replaced while a query still reads the old one).
KEPT = 4


def _zeros(code: str, count: int) -> array:
    return array(code, [0]) * count


class Documents:
    """The per-document arrays of one index file, filled chunk by chunk.

    ``read(names)`` is given the `arrays` row names to read and returns
    {name: blob}; it raises for an unreadable file.  A chunk missing or of
    the wrong length raises ValueError.
    """

    def __init__(self, file_count: int, symbol_count: int) -> None:
        self.file_count, self.symbol_count = file_count, symbol_count
        for name, code in FILE_ARRAYS.items():
            setattr(self, name, _zeros(code, file_count))
        for name, code in SYMBOL_ARRAYS.items():
            setattr(self, name, _zeros(code, symbol_count))
        self.file_ids: list = [None] * file_count
        # Id -> number of the files looked up so far (None: not a file of the index).
        self.numbers: dict = {}
        self._file_chunks: set = set()
        self._symbol_chunks: set = set()
        # Once every chunk is in, a query need not look at its postings' numbers.
        self._all_files = file_count == 0
        self._all_symbols = symbol_count == 0

    def need_files(self, numbers, read) -> None:
        """Read the chunks that hold the files ``numbers`` (a sequence)."""
        if self._all_files:
            return
        wanted = _chunks_of(numbers, self.file_count) - self._file_chunks
        if not wanted:
            return
        self._fill(FILE_ARRAYS, wanted, self.file_count, read, ids=True)
        self._file_chunks |= wanted
        self._all_files = len(self._file_chunks) * CHUNK >= self.file_count

    def need_symbols(self, numbers, read) -> None:
        """Read the chunks that hold the symbols ``numbers``, and those of
        the files they lie in."""
        if self._all_symbols and self._all_files:
            return
        wanted = _chunks_of(numbers, self.symbol_count) - self._symbol_chunks
        if wanted:
            # A file number out of range fails where it is used, as damage.
            self._fill(SYMBOL_ARRAYS, wanted, self.symbol_count, read)
            self._symbol_chunks |= wanted
            self._all_symbols = len(self._symbol_chunks) * CHUNK >= self.symbol_count
        if self._all_files:
            return
        if len(numbers) >= DENSE * _chunk_count(self.file_count):
            self.need_files(range(self.file_count), read)  # their files lie in every chunk, near enough
        else:
            self.need_files(list(map(self.symbol_file.__getitem__, numbers)), read)

    def _fill(self, arrays: dict, wanted: set, count: int, read, ids: bool = False) -> None:
        """Read the chunks ``wanted`` of ``arrays`` (and of the file ids) into place."""
        extra = (FILE_IDS,) if ids else ()
        blobs = read([chunk_name(name, c) for c in sorted(wanted) for name in (*arrays, *extra)])
        for chunk in sorted(wanted):
            start = chunk * CHUNK
            size = min(CHUNK, count - start)
            for name, code in arrays.items():
                getattr(self, name)[start : start + size] = _values(code, blobs.get(chunk_name(name, chunk)), size)
            if ids:
                self.file_ids[start : start + size] = _ids(blobs.get(chunk_name(FILE_IDS, chunk)), size)


def _chunk_count(count: int) -> int:
    return -(-count // CHUNK)


def _chunks_of(numbers, count: int) -> set:
    """The chunks that hold the documents ``numbers`` of ``count``; all of
    them for numbers that are dense."""
    chunks = _chunk_count(count)
    if len(numbers) >= DENSE * chunks:
        return set(range(chunks))
    return set(map(floordiv, numbers, repeat(CHUNK)))


def _values(code: str, blob, size: int) -> array:
    values = array(code)
    if not isinstance(blob, bytes):
        raise ValueError("an array chunk is missing")
    values.frombytes(blob)
    if len(values) != size:
        raise ValueError("an array chunk of the wrong length")
    return values


def _ids(blob, size: int) -> list:
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
