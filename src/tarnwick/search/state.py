"""What the search index keeps of each file so that the next run can update
it in place (`update`) instead of building it again.

Per file number, the `docstate` row holds a fingerprint of everything the
file's rows were made from (its documents before compound splitting, its
symbols as the graph lists them, its summary record), the first number and
the count of its symbols (a file's symbols are numbered together, in graph
order), and the packed state: the one-word names it brings to the splitting
of compounds, and what tells how many of its documents hold each term
before compound splitting.  For a file whose documents are its workers'
that is their key (the digest of their text in the indexer's cache, and
the history text added to them): the indexer gives the documents of that
key back when an update needs the counts (the cache keeps them anyway, and
the counts' terms would be a second copy of theirs); for any other file it
is the counts themselves.  A run gives a file whose fingerprint is
unchanged no work.
"""

from __future__ import annotations

import json
import sys
import zlib
from array import array
from collections import Counter
from hashlib import blake2b
from itertools import chain

from .build import name_parts, symbol_info
from .corpus import UNCOUNTED
from .tokens import one_word_terms

# A file's state unpacks to far less than this; more is damage.
STATE_LIMIT = 64 << 20

_encode = json.JSONEncoder(separators=(",", ":"), check_circular=False).encode


def fingerprint(entry: list, key: str | None, record: bytes | None) -> bytes:
    """The fingerprint of a file's rows: its `graph_files` ``entry``, the
    ``key`` of its workers' documents (their text, or None) and its packed
    summary ``record``."""
    path, summary, _, placed = entry
    digest = blake2b(digest_size=16)
    infos = [symbol_info(node, name) for node, name in placed]
    digest.update(_encode([path, summary, infos, key is None]).encode("utf-8", "surrogatepass"))
    for part in (key or "").encode("utf-8", "surrogatepass"), record or b"":
        digest.update(len(part).to_bytes(8, "little") + part)
    return digest.digest()


def candidates_of(entry: list) -> list:
    """The candidates of compounds that the file of ``entry`` names, sorted."""
    path, _, defined, _ = entry
    return sorted(one_word_terms(name_parts(path, defined)))


def term_counts(docs: list) -> dict:
    """How many of ``docs`` hold each term (before compound splitting)."""
    counts = Counter(chain.from_iterable(docs))
    counts.pop(UNCOUNTED, None)  # a length's share, not a term
    return counts


# A state's counts and names: zlib's level 4 packs them a twentieth smaller
# than the fastest level, for less time than their JSON took to write.
LEVEL = 4
_HEAD = 8
# Each count in 4 bytes.
_COUNT = "I" if array("I").itemsize == 4 else "L"


# The first byte of a state kept as the key of its documents (a state of
# counts is a zlib stream, whose first byte is never this).
_KEYED = 1


def file_state(docs: list, names: list, key: str | None) -> bytes:
    """The state of a file whose documents before compound splitting are
    ``docs``: by their ``key`` when they are its workers' (see the module),
    else by their counts."""
    return pack_keyed_state(key, names) if key is not None else pack_state(term_counts(docs), names)


def pack_keyed_state(key: str, names: list) -> bytes:
    """A state kept as its documents' key: the marker byte, the key's
    length in bytes and the number of names (4 bytes each, little-endian),
    the key, then the names separated by NUL characters, as UTF-8 (short:
    not compressed)."""
    data = key.encode("utf-8", "surrogatepass")
    head = bytes((_KEYED,)) + len(data).to_bytes(4, "little") + len(names).to_bytes(4, "little")
    return head + data + "\0".join(names).encode("utf-8", "surrogatepass")


def pack_state(counts: dict, names: list) -> bytes:
    """A file's state of counts as its `docstate` row keeps it, compressed:
    the number of terms and of names (4 bytes each, little-endian), each
    term's count (4 bytes, little-endian, in the terms' order), then the
    terms and the names separated by NUL characters (which no term or name
    holds)."""
    values = array(_COUNT, counts.values())
    if sys.byteorder != "little":
        values.byteswap()
    text = "\0".join(chain(counts, names)).encode("utf-8", "surrogatepass")
    head = len(counts).to_bytes(4, "little") + len(names).to_bytes(4, "little")
    return zlib.compress(head + values.tobytes() + text, LEVEL)


def unpack_state(blob) -> tuple:
    """The (term counts, names, None) of a packed state of counts, or
    (None, names, the documents' key) of one kept as the key; ValueError
    when it is not one."""
    if not isinstance(blob, bytes):
        raise ValueError("a file's state is not a blob")
    if blob[:1] == bytes((_KEYED,)):
        return _unpack_keyed(blob)
    try:
        inflate = zlib.decompressobj()
        data = inflate.decompress(blob, STATE_LIMIT)
        if inflate.unconsumed_tail or not inflate.eof or inflate.unused_data:
            raise ValueError("a file's state is truncated or too large")
        terms = int.from_bytes(data[:4], "little")
        names = int.from_bytes(data[4:_HEAD], "little")
        end = _HEAD + 4 * terms
        if len(data) < end:
            raise ValueError("a file's state is cut short")
        values = array(_COUNT)
        values.frombytes(data[_HEAD:end])
        if sys.byteorder != "little":
            values.byteswap()
        text = data[end:].decode("utf-8", "surrogatepass")
    except (zlib.error, UnicodeDecodeError) as exc:
        raise ValueError(f"a file's state does not unpack ({exc})") from None
    strings = text.split("\0") if terms + names else ([] if not text else None)
    if strings is None or len(strings) != terms + names or (values and min(values) == 0):
        raise ValueError("a file's state of another shape")
    counts = dict(zip(strings[:terms], values))
    if len(counts) != terms:
        raise ValueError("a file's state of another shape")
    return counts, strings[terms:], None


def _unpack_keyed(blob: bytes) -> tuple:
    if len(blob) < 9:
        raise ValueError("a file's state is cut short")
    end = 9 + int.from_bytes(blob[1:5], "little")
    count = int.from_bytes(blob[5:9], "little")
    if len(blob) < end:
        raise ValueError("a file's state is cut short")
    try:
        key = blob[9:end].decode("utf-8", "surrogatepass")
        text = blob[end:].decode("utf-8", "surrogatepass")
    except UnicodeDecodeError as exc:
        raise ValueError(f"a file's state does not unpack ({exc})") from None
    names = text.split("\0") if count else ([] if not text else None)
    if names is None or len(names) != count:
        raise ValueError("a file's state of another shape")
    return None, names, key
