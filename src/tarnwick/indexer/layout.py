"""Where each file's share lies in the store and the graph a run wrote
(`Layout`, kept in the cache), and the plan of a run that writes the
unchanged files' shares by copying their bytes from the previous files
(`plan_pieces`, `PreviousFiles`).

Both files are JSON lists of blocks, one block per file and section, laid
out by `writer`: "\\n" before the first block of a list, ",\\n" between
blocks, "\\n" after the last; an empty block is left out.  The store's
list holds the records; the graph's node list the nodes; its edge list the
edges of each kind, kind after kind, then the "contains" edges.  A file's
blocks keep their bytes for as long as its texts and edges stay (neither
parsed nor resolved again), so a run of such files is one byte range of the
previous file: its start is the list's start plus the lengths of the blocks
before it, each with its separator.
"""

from __future__ import annotations

import errno
import json
import mmap
import os
import stat
import sys
import zlib
from array import array
from bisect import bisect_left
from itertools import accumulate

from ..datadir import (
    CHUNKED,
    GRAPH_NAME,
    IDENTITIES_NAME,
    SUMMARIES_NAME,
    digest_holds,
    file_identity,
    read_chunks,
    read_manifest,
    resolve_inside,
)
from .cache import DamagedCache
from .linkage import EDGE_KINDS

# The sections, in the order of their lists: the store's records, the
# graph's nodes, then its edges (each kind, then "contains").
RECORDS, NODES = 0, 1
CONTAINS = 2 + len(EDGE_KINDS)
SECTIONS = CONTAINS + 1
# The lists: (file name, first section, sections) of each.
LISTS = ((SUMMARIES_NAME, RECORDS, 1), (GRAPH_NAME, NODES, 1), (GRAPH_NAME, NODES + 1, SECTIONS - NODES - 1))
FILES = (SUMMARIES_NAME, GRAPH_NAME)

# A layout's texts unpack to far less than this; more is damage.
LAYOUT_LIMIT = 1 << 30
# Files per packed chunk of each of a layout's arrays: a run whose files'
# blocks mostly kept their lengths packs only the chunks of the others.
PACK_FILES = 4096
# The packed head's length, before it.
_HEAD_SIZE = 4
# Files per chunk of a list, for the manifest's digests: a chunk begins at
# each section's start and at every this many files' blocks, so an edit
# leaves the other chunks' bytes (and digests) as they were.
CHUNK_FILES = 256


class Layout:
    """The blocks of one run's store and graph: the run's `generation`, its
    `paths` (sorted), each section's block length per path (`lengths`), the
    number of edges between files per path (`counts`), the offset where
    each list begins (`bases`: the byte after its "[" or "{") and each
    file's size (`sizes`, by name)."""

    def __init__(self, generation: str, paths: list, lengths: list, counts: array, bases: list, sizes: dict):
        self.generation = generation
        self.paths = paths
        self.lengths = lengths
        self.counts = counts
        self.bases = bases
        self.sizes = sizes
        self._starts = None
        self._totals = {}  # section -> its blocks' bytes, separators included
        self._cursors = {}  # section -> (index, start) of the last `run` asked
        # (bytes, packed bytes) of each part, as packed or unpacked.
        self.parts = []

    def pack(self, previous: "Layout | None" = None) -> bytes:
        """The layout as the cache keeps it: the length of the packed head,
        the head (the generation, bases, sizes, count and the parts'
        lengths), then the parts, each compressed on its own: the names,
        then each array in chunks of `PACK_FILES`.  A part whose bytes are
        those of the same part of `previous` keeps its packed bytes."""
        raws = ["\0".join(self.paths).encode("utf-8", "surrogatepass")]
        step = PACK_FILES * array("q").itemsize
        for part in (*self.lengths, self.counts):
            data = _little(part).tobytes()
            raws.extend(data[at : at + step] for at in range(0, len(data), step))
        old = previous.parts if previous is not None else []
        self.parts = [
            old[index] if index < len(old) and old[index][0] == raw else (raw, zlib.compress(raw, 1))
            for index, raw in enumerate(raws)
        ]
        head = {
            "generation": self.generation,
            "bases": self.bases,
            "sizes": self.sizes,
            "count": len(self.paths),
            "parts": [len(packed) for _, packed in self.parts],
        }
        head = zlib.compress(json.dumps(head).encode("ascii"), 1)
        return b"".join([len(head).to_bytes(_HEAD_SIZE, "little"), head, *(packed for _, packed in self.parts)])

    @classmethod
    def unpack(cls, blob) -> "Layout | None":
        """The layout `pack` gave, or None when `blob` is not one."""
        try:
            if not isinstance(blob, bytes) or len(blob) < _HEAD_SIZE:
                return None
            size = int.from_bytes(blob[:_HEAD_SIZE], "little")
            head_text = _inflated(blob[_HEAD_SIZE : _HEAD_SIZE + size], LAYOUT_LIMIT)
            head = json.loads(head_text)
            count, generation, bases, sizes = head["count"], head["generation"], head["bases"], head["sizes"]
            lengths = head["parts"]
            if not (
                isinstance(lengths, list)
                and lengths
                and all(type(length) is int and length > 0 for length in lengths)
                and _HEAD_SIZE + size + sum(lengths) == len(blob)
            ):
                return None
            packed_parts, at, left = [], _HEAD_SIZE + size, LAYOUT_LIMIT - len(head_text)
            for length in lengths:
                packed = blob[at : at + length]
                raw = _inflated(packed, left)
                packed_parts.append((raw, packed))
                left -= len(raw)
                at += length
            names, arrays = packed_parts[0][0], b"".join(raw for raw, _ in packed_parts[1:])
            paths = names.decode("utf-8", "surrogatepass").split("\0") if count else []
            width = array("q").itemsize
            if (
                type(count) is not int
                or len(paths) != count
                or paths != sorted(paths)
                or len(arrays) != (SECTIONS + 1) * count * width
                or not isinstance(generation, str)
                or not (isinstance(bases, list) and len(bases) == len(LISTS) and all(type(b) is int and b > 0 for b in bases))
                or not (isinstance(sizes, dict) and all(type(sizes.get(name)) is int for name in FILES))
            ):
                return None
            parts = []
            for section in range(SECTIONS + 1):
                part = array("q")
                part.frombytes(arrays[section * count * width : (section + 1) * count * width])
                parts.append(_little(part))
        except (zlib.error, ValueError, TypeError, KeyError, UnicodeError, RecursionError):
            return None
        if any(min(part, default=0) < 0 for part in parts):
            return None
        layout = cls(generation, paths, parts[:SECTIONS], parts[SECTIONS], bases, sizes)
        layout.parts = packed_parts
        return layout

    def starts(self, section: int) -> array:
        """Where each path's block of `section` begins, as an offset from
        its list's first block, with one more entry for the list's end (an
        empty block "begins" where the next one does)."""
        if self._starts is None:
            self._starts = [None] * SECTIONS
        if self._starts[section] is None:
            # Only the list asked for: reading one record needs the records' alone.
            _, first, count = LISTS[_list_of(section)]
            carried = 0
            for section_ in range(first, first + count):
                sums = array("q", accumulate((length + 2 if length else 0 for length in self.lengths[section_]), initial=carried))
                self._starts[section_] = sums
                carried = sums[-1]
        return self._starts[section]

    def run(self, section: int, lo: int, hi: int) -> tuple:
        """(offset, size) in its file of the blocks of `section` of the
        paths lo to hi (excluded), joined by their separators."""
        start = self._start(section, lo)
        size = self._start(section, hi) - start - 2
        return (self.bases[_list_of(section)] + 1 + start, size) if size > 0 else (0, 0)

    def _start(self, section: int, index: int) -> int:
        """`starts(section)[index]`, summed from the last one asked for
        when it lies before: a run asks in order, and a project's lengths
        summed in whole slices cost far less than the array of its starts."""
        at, start = self._cursors.get(section, (0, None))
        if start is None or index < at:
            _, first, _ = LISTS[_list_of(section)]
            at, start = 0, sum(self._total(section_) for section_ in range(first, section))
        start += _joined(self.lengths[section][at:index])
        self._cursors[section] = (index, start)
        return start

    def _total(self, section: int) -> int:
        total = self._totals.get(section)
        if total is None:
            total = self._totals[section] = _joined(self.lengths[section])
        return total

    def chunk_lengths(self, name: str) -> list:
        """The lengths of the chunks the file `name` is cut into for its
        digest (see `CHUNK_FILES`): the same for the same bytes, whether
        written whole or spliced."""
        cuts = []
        for index, (list_name, first, count) in enumerate(LISTS):
            if list_name == name:
                base = self.bases[index] + 1
                for section in range(first, first + count):
                    cuts.extend(base + self._start(section, at) for at in range(0, len(self.paths) or 1, CHUNK_FILES))
        size = self.sizes[name]
        cuts = sorted({cut for cut in cuts if 0 < cut < size})
        return [end - start for start, end in zip([0] + cuts, cuts + [size])]

    def offset(self, section: int, index: int) -> int:
        return self.bases[_list_of(section)] + 1 + self.starts(section)[index]


def _joined(lengths: array) -> int:
    """The bytes of blocks of these `lengths`, each with its separator (an
    empty block has none)."""
    return sum(lengths) + 2 * (len(lengths) - lengths.count(0))


def _list_of(section: int) -> int:
    return 0 if section == RECORDS else 1 if section == NODES else 2


def _inflated(packed: bytes, limit: int) -> bytes:
    """The bytes of one packed part (ValueError when damaged or past `limit`)."""
    unpacker = zlib.decompressobj()
    raw = unpacker.decompress(packed, limit) if limit > 0 else b""
    if limit <= 0 or unpacker.unconsumed_tail or unpacker.unused_data or not unpacker.eof:
        raise ValueError("damaged layout")
    return raw


def _little(part: array) -> array:
    # Kept little-endian whatever the machine.
    if sys.byteorder != "little":
        part = array("q", part)
        part.byteswap()
    return part


def plan_pieces(old_paths: list, new_paths: list, kept) -> list:
    """The new files' blocks in order, as pieces: ("old", lo, hi) for the
    blocks of the old paths lo to hi (excluded), which are the kept files
    and stay as they were, and ("new", path) for a file whose blocks are
    written anew.  Costs what changed (and a pass over the names)."""
    if old_paths == new_paths:
        # The same files as before (a run that only edited some): no set of
        # either side's names is made.
        pieces, at = [], 0
        for index, path in enumerate(new_paths):
            if path not in kept:
                if index > at:
                    pieces.append(("old", at, index))
                pieces.append(("new", path))
                at = index + 1
        if at < len(old_paths):
            pieces.append(("old", at, len(old_paths)))
        return pieces
    old_set = set(old_paths)
    new_set = set(new_paths)
    fresh = [path for path in new_paths if path not in kept or path not in old_set]
    gone = old_set - new_set
    pieces = []
    at = 0
    for path in sorted(gone.union(fresh)):
        index = bisect_left(old_paths, path)
        if index > at:
            pieces.append(("old", at, index))
        if path in old_set:
            at = index + 1
        else:
            at = index
        if path in new_set:
            pieces.append(("new", path))
    if at < len(old_paths):
        pieces.append(("old", at, len(old_paths)))
    return pieces


class StaleLayout(DamagedCache):
    """The previous file does not hold the blocks its layout names: the
    outputs are written whole instead (or, found once they are written,
    the run starts again from scratch)."""


class PreviousFiles:
    """The store and the graph the last run placed, open and mapped, once
    proved to be those its layout describes: the manifest names the
    layout's generation, and each file is the one the manifest names (by
    its recorded identity, or else by its digest)."""

    def __init__(self, maps: dict, fds: list, names: tuple = FILES):
        self.maps = maps  # name -> mmap
        self._fds = fds
        self._names = names
        # name -> {offset: (length, digest)} of the file's chunks, where the
        # manifest's digest is made of them: a chunk copied whole keeps it.
        self.chunks = {}
        # The names vouched for by their status as the last run placed them
        # (not only by a digest the manifest beside them could have been
        # made to match): that run proved their text.
        self.vouched = set()

    @classmethod
    def open(cls, root: str, data_dir: str, layout: Layout, names: tuple = FILES) -> "PreviousFiles | None":
        """The files `names` (of `FILES`) of the last run, or None."""
        manifest = read_manifest(root)
        if manifest is None or manifest.get("generation") != layout.generation:
            return None
        identities = read_manifest(root, IDENTITIES_NAME)
        known = identities.get("files", {}) if identities and identities.get("generation") == layout.generation else {}
        maps, fds = {}, []
        opened = cls(maps, fds, names)
        try:
            for name in names:
                expected = manifest["files"].get(name)
                path = os.path.join(data_dir, name)
                if not isinstance(expected, dict) or resolve_inside(path, root) is None:
                    opened.close()
                    return None
                fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0))
                fds.append(fd)
                info = os.fstat(fd)
                if not stat.S_ISREG(info.st_mode) or info.st_size != layout.sizes[name] or info.st_size != expected.get("size"):
                    opened.close()
                    return None
                if info.st_size == 0:
                    opened.close()
                    return None
                maps[name] = mmap.mmap(fd, info.st_size, access=mmap.ACCESS_READ)
                chunks = read_chunks(root, name, expected) if CHUNKED in expected else None
                if file_identity(info) == known.get(name):
                    opened.vouched.add(name)
                elif not digest_holds(root, name, maps[name], expected, chunks):
                    opened.close()
                    return None
                if chunks is not None:
                    starts = accumulate(chunks[0][:-1], initial=0)
                    opened.chunks[name] = dict(zip(starts, zip(*chunks)))
        except OSError:
            opened.close()
            return None
        return opened

    def fd(self, name: str) -> int:
        return self._fds[self._names.index(name)]

    def holds_blocks(self, name: str, offset: int, size: int) -> bool:
        """True when `offset` and `size` mark whole blocks of a list of the
        file `name`: a separator before, one after (a layout that does not
        fit its file is not followed)."""
        data = self.maps[name]
        end = offset + size
        return (
            1 <= offset
            and end + 1 < len(data)
            and data[offset - 1] == 0x0A
            and data[offset] in (0x7B, 0x22)  # an object, or a record's key
            and data[end - 1] == 0x7D
            and data[end : end + 2] in (b",\n", b"\n]", b"\n}")
        )

    def close(self) -> None:
        for data in self.maps.values():
            data.close()
        self.maps.clear()
        for fd in self._fds:
            os.close(fd)
        self._fds.clear()


def copy_range(src: int, dst: int, offset: int, size: int, at: int) -> None:
    """Copy `size` bytes at `offset` of the file `src` to `at` in `dst`, in
    the kernel where it can."""
    while size > 0:
        try:
            done = os.copy_file_range(src, dst, size, offset, at)
        except (AttributeError, OSError) as exc:
            if isinstance(exc, OSError) and exc.errno not in (errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP):
                raise
            done = os.pwrite(dst, os.pread(src, min(size, 1 << 20), offset), at)
        if done <= 0:
            raise OSError(errno.EIO, "the previous file ended early")
        offset += done
        at += done
        size -= done
