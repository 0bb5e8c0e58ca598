"""The summary store and the graph written to temporaries one file's texts
at a time, from the rows the cache holds of each (`Cache.texts`): neither
output is ever held in memory whole, as text or as pieces.  The layout is
`output`'s (one record, node or edge per line), byte for byte; the
manifest's record of each file is made of its chunks' digests, each taken
over from the previous file where the chunk was copied from it whole.

The graph is read back from its temporary a megabyte at a time for the
search index (`read_list`): text spliced from the cache that does not parse
fails the run before anything is placed."""

from __future__ import annotations

import errno
import hashlib
import json
import os
import tempfile
from array import array
from bisect import bisect_left, bisect_right

from ..atomic import finish_temporary, new_temporary, remove_temporary, told_as
from ..datadir import CHUNKED, GRAPH_NAME, SUMMARIES_NAME, chunked_root, chunks_entry
from .layout import CONTAINS, LISTS, NODES, RECORDS, SECTIONS, Layout, StaleLayout, copy_range
from .linkage import EDGE_KINDS
from .output import edge, encode, file_node

NO_EDGES = ((),) * len(EDGE_KINDS)
# Bytes gathered before they are hashed and written.
FLUSH_BYTES = 1 << 20


def _utf8(text: str) -> bytes:
    # A lone surrogate (some source literals hold one) is written as a JSON
    # escape, which keeps the files valid UTF-8 (as `output` writes them).
    return text.encode("utf-8", "backslashreplace")


class _Out:
    """Bytes appended to an open file, counted, with the ranges copied from
    a previous file noted."""

    def __init__(self, file):
        self._file = file
        self._held: list = []
        self._held_bytes = 0
        self.size = 0
        self.copies = []  # (offset here, offset in the previous file, size)

    def write(self, data: bytes) -> None:
        self._held.append(data)
        self._held_bytes += len(data)
        self.size += len(data)
        if self._held_bytes >= FLUSH_BYTES:
            self.flush()

    def copy(self, previous, name: str, offset: int, size: int) -> None:
        """Append `size` bytes at `offset` of the previous file `name`
        (`layout.PreviousFiles`), copied in the kernel: never through a
        buffer of ours."""
        self.flush()
        self.copies.append((self.size, offset, size))
        copy_range(previous.fd(name), self._file.fileno(), offset, size, self.size)
        self.size += size
        self._file.seek(self.size)

    def flush(self) -> None:
        data = b"".join(self._held)
        self._held, self._held_bytes = [], 0
        self._file.write(data)
        self._file.flush()


class _Staged(_Out):
    """A data file written to a temporary beside its place."""

    def __init__(self, data_dir: str, name: str):
        self.name = name
        self.target = os.path.join(data_dir, name)
        self.tmp = new_temporary(self.target)
        with told_as(self.target):
            super().__init__(open(self.tmp, "wb"))
        self.chunks = None  # (lengths, digests), once written (`Outputs.seal`)

    def digest(self) -> dict:
        """What the manifest records of the file."""
        return {"size": self.size, CHUNKED: chunked_root(*self.chunks)}

    def seal(self, lengths: list, known: dict) -> None:
        """Take the digest of each chunk (`lengths`) of the written file:
        one copied whole from a chunk of the previous file (`known`: its
        chunks by offset, `PreviousFiles.chunks`) has that chunk's, the
        others are read back and hashed."""
        copied = [copy[0] for copy in self.copies]
        digests = []
        buffer = bytearray(FLUSH_BYTES)
        with open(self.tmp, "rb") as f:
            start = 0
            for length in lengths:
                digests.append(_copied_digest(self.copies, copied, known, start, length) or _hash_range(f, start, length, buffer))
                start += length
        self.chunks = (lengths, digests)

    # A full disk names the file being written, not its temporary.
    def flush(self) -> None:
        with told_as(self.target):
            super().flush()

    def copy(self, previous, name: str, offset: int, size: int) -> None:
        with told_as(self.target):
            super().copy(previous, name, offset, size)

    def finish(self) -> None:
        self.flush()
        with told_as(self.target):
            self._file.close()
        finish_temporary(self.tmp, self.target)

    def close(self) -> None:
        self._file.close()


class _Counted:
    """A graph that is not written, only measured: an update's search index
    takes the changed files' shares from the run itself, and no graph file
    is placed, so the bytes of the others' blocks need not be made."""

    tmp = None

    def __init__(self, name: str):
        self.name = name
        self.size = 0

    def write(self, data: bytes) -> None:
        self.size += len(data)

    def copy(self, previous, name: str, offset: int, size: int) -> None:
        self.size += size

    def flush(self) -> None:
        pass

    finish = close = flush


class GraphNeeded(Exception):
    """The graph's text was asked for where only its size was kept: the run
    is made again with the graph written out (nothing was placed)."""


def _copied_digest(copies: list, copied: list, known: dict, start: int, length: int):
    """The digest of the previous file's chunk that the bytes at `start`
    (`length` of them) were copied from whole, or None."""
    at = bisect_right(copied, start) - 1
    if at < 0:
        return None
    here, there, size = copies[at]
    if start + length > here + size:
        return None
    chunk = known.get(there + start - here)
    return chunk[1] if chunk is not None and chunk[0] == length else None


def _hash_range(f, start: int, length: int, buffer: bytearray) -> bytes:
    digest = hashlib.sha256()
    f.seek(start)
    with memoryview(buffer) as view:
        while length > 0:
            got = f.readinto(view[: min(length, len(buffer))])
            if not got:
                raise OSError(errno.EIO, "the written file ended early", f.name)
            digest.update(view[:got])
            length -= got
    return digest.digest()


class _List:
    """Blocks of JSON values (one or more joined by ",\\n"; empty ones left
    out) laid out as `output` joins them: "\\n" before the first, ",\\n"
    between, "\\n" after the last."""

    def __init__(self, out: _Out, count: int = 0):
        self.out = out
        self.count = count

    def add(self, *parts: str) -> int:
        """Append the block made of `parts`; returns its size in bytes (0:
        left out, as the last part is empty)."""
        if not parts[-1]:
            return 0
        self._separate()
        size = 0
        for part in parts:
            data = _utf8(part)
            self.out.write(data)
            size += len(data)
        return size

    def copy(self, previous, name: str, span: tuple) -> None:
        """Append the blocks at `span` ((offset, size)) of the previous file."""
        if span[1]:
            self._separate()
            self.out.copy(previous, name, *span)

    def _separate(self) -> None:
        self.out.write(b",\n" if self.count else b"\n")
        self.count += 1

    def end(self) -> None:
        if self.count:
            self.out.write(b"\n")


class Outputs:
    """The store and the graph of one run, staged (`write_outputs`)."""

    def __init__(self, store: _Staged, graph, place_graph: bool = True):
        self.store = store
        self.graph = graph
        # False: the graph is staged only for the search index to read
        # (or merely counted), never placed.
        self.place_graph = place_graph
        self.node_span = (0, 0)  # where the nodes' values lie in the graph
        self.edge_span = (0, 0)
        self.layout = None  # where each file's blocks lie (`layout.Layout`)
        # (start, end) of the graph's blocks whose text no run has parsed
        # yet; None: all of them (the graph written whole from the cache).
        self.unproven = None

    def digests_text(self) -> bytes:
        """`digests.json`: each file's chunks, as the manifest's digests are made of them."""
        files = {out.name: chunks_entry(*out.chunks) for out in self.placed()}
        return json.dumps({"files": files}, sort_keys=True, separators=(",", ":")).encode("ascii")

    def placed(self) -> list:
        """The outputs the run places: the store, and the graph when asked for."""
        return [self.store, self.graph] if self.place_graph else [self.store]

    def staged(self) -> list:
        """(temporary, name) of the files to place, for `commit_files`."""
        return [(out.tmp, out.name) for out in self.placed()]

    def discard(self) -> None:
        for out in (self.store, self.graph):
            out.close()
            if out.tmp is not None:
                remove_temporary(out.tmp)

    def drop_scratch(self) -> None:
        """Remove the graph staged only to be read."""
        if not self.place_graph and self.graph.tmp is not None:
            self.graph.close()
            remove_temporary(self.graph.tmp)

    def need_graph(self) -> None:
        """GraphNeeded unless the graph's text was written."""
        if self.graph.tmp is None:
            raise GraphNeeded("the graph is needed whole")

    def check_graph(self) -> None:
        """Parse the graph's text taken from the cache (ValueError or
        RecursionError when it does not parse): a block copied from a
        previous graph vouched for as placed was parsed by the run that
        wrote it, so a spliced graph costs only its blocks made anew.  A
        graph merely counted has no text but its blocks made anew, which the
        search index's change parsed already (`handoff.graph_change`)."""
        if self.graph.tmp is None:
            return
        if self.unproven is None:
            for span in (self.node_span, self.edge_span):
                for _ in iter_values(self.graph.tmp, span):
                    pass
            return
        with open(self.graph.tmp, "rb") as f:
            for start, end in self.unproven:
                f.seek(start)
                # A block is one value or more: whitespace alone would
                # leave two separators side by side.
                if not json.loads(b"[" + f.read(end - start) + b"]"):
                    raise ValueError("an empty block in the graph")


def write_outputs(
    data_dir: str, paths: list, parsed: dict, texts, check, edges: dict, generation: str, previous=None, graph: str = "file"
) -> Outputs:
    """Stage the store and the graph of the files `paths` (in order):
    `parsed` maps the files that parsed to their results, `texts(path)`
    gives a parsed file's (record, nodes, "contains" edges) JSON texts and
    `check(path, record)` is shown each record first; `edges` maps a file
    to its targets per edge kind.  With `previous` ((layout, open files,
    pieces): see `layout.plan_pieces`), the blocks of the kept files are
    copied from the previous files, and only the others' are made.
    `graph` is "file" for a graph to place, "scratch" for one staged only
    to be read, "counted" for one merely measured (with `previous` alone:
    the kept files' blocks are then not read).  Raises what those raise,
    or OSError, with nothing left behind."""
    store = _Staged(data_dir, SUMMARIES_NAME)
    try:
        staged_graph = _Counted(GRAPH_NAME) if graph == "counted" and previous is not None else _Staged(data_dir, GRAPH_NAME)
    except BaseException:
        store.close()
        remove_temporary(store.tmp)
        raise
    outputs = Outputs(store, staged_graph, graph == "file")
    blocks = _Blocks(parsed, texts, check, edges)
    try:
        if previous is not None:
            _splice(outputs, paths, blocks, generation, *previous)
        else:
            with tempfile.TemporaryFile(dir=data_dir) as scratch:
                _write(outputs, scratch, paths, blocks, generation)
        store.finish()
        staged_graph.finish()
        known = previous[1].chunks if previous is not None else {}
        for out in outputs.placed():
            out.seal(outputs.layout.chunk_lengths(out.name), known.get(out.name, {}))
    except BaseException:
        outputs.discard()
        raise
    return outputs


class _Blocks:
    """Each file's block of each section (`layout.SECTIONS`), as text."""

    def __init__(self, parsed: dict, texts, check, edges: dict):
        self._parsed = parsed
        self._texts = texts
        self._check = check
        self._edges = edges

    def of(self, path: str) -> list:
        """The blocks of `path`, but for its edges of the kinds other than
        "contains" ("" for an empty block)."""
        blocks = [""] * SECTIONS
        if path not in self._parsed:
            blocks[NODES] = encode(file_node(path, ""))
            return blocks
        record, blocks[NODES], blocks[CONTAINS] = self._texts(path)
        self._check(path, record)
        blocks[RECORDS] = encode(path) + ":" + record
        return blocks

    def targets(self, path: str) -> list:
        """The file's edges between files: per kind, their targets."""
        return (self._edges.get(path) or NO_EDGES) if path in self._parsed else NO_EDGES

    def edges(self, path: str, kind: int, targets: list) -> str:
        """The block of `path`'s edges of `kind` (`targets`: `targets(path)`)."""
        if not targets[kind]:
            return ""
        rel = EDGE_KINDS[kind]
        return ",\n".join(encode(edge(path, target, rel)) for target in targets[kind])


def _headers(outputs: Outputs, generation) -> None:
    outputs.store.write(b"{")
    stamp = f'"generation":{encode(generation)},\n' if generation is not None else ""
    outputs.graph.write(_utf8('{\n"version":1,\n' + stamp + '"nodes":['))


def _new_layout(outputs: Outputs, generation, paths: list, lengths: list, counts: array, bases: list) -> Layout:
    sizes = {SUMMARIES_NAME: outputs.store.size, GRAPH_NAME: outputs.graph.size}
    return Layout(generation, paths, lengths, counts, bases, sizes)


def _write(outputs: Outputs, scratch, paths, blocks: _Blocks, generation) -> None:
    store, graph = outputs.store, outputs.graph
    _headers(outputs, generation)
    bases = [store.size, graph.size, 0]
    records = _List(store)
    nodes = _List(graph)
    lengths = [array("q", bytes(8 * len(paths))) for _ in range(SECTIONS)]
    counts = array("q", bytes(8 * len(paths)))
    # The "contains" edges come after all others: set aside meanwhile, each
    # led by ",\n" (mended below when no other edge comes first).
    aside = _Out(scratch)
    contains = _List(aside, count=1)
    for i, path in enumerate(paths):
        texts = blocks.of(path)
        lengths[RECORDS][i] = records.add(texts[RECORDS])
        lengths[NODES][i] = nodes.add(texts[NODES])
        lengths[CONTAINS][i] = contains.add(texts[CONTAINS])
    records.end()
    store.write(b"}\n")
    nodes.end()
    outputs.node_span = (bases[1], graph.size)
    graph.write(b'],\n"edges":[')
    bases[2] = start = graph.size
    others = _List(graph)
    # Read once each: a kept file's edges come from its cache row.
    targets = [blocks.targets(path) for path in paths]
    for kind in range(len(EDGE_KINDS)):
        sizes = lengths[NODES + 1 + kind]
        for i, path in enumerate(paths):
            sizes[i] = others.add(blocks.edges(path, kind, targets[i]))
            counts[i] += len(targets[i][kind])
    aside.flush()
    scratch.seek(0)
    lead = True
    while True:
        data = scratch.read(FLUSH_BYTES)
        if not data:
            break
        if lead and not others.count:
            data = b"\n" + data[2:]
        lead = False
        graph.write(data)
    others.count += contains.count - 1
    others.end()
    outputs.edge_span = (start, graph.size)
    graph.write(b"]\n}\n")
    outputs.layout = _new_layout(outputs, generation, paths, lengths, counts, bases)


def _splice(outputs: Outputs, paths, blocks: _Blocks, generation, layout: Layout, previous, pieces: list) -> None:
    """`_write`'s bytes, with the kept files' blocks copied from the
    previous files at the places `layout` gives (`pieces`, in order)."""
    store, graph = outputs.store, outputs.graph
    counted = graph.tmp is None
    unproven = [] if GRAPH_NAME in previous.vouched else None
    made = {piece[1]: blocks.of(piece[1]) for piece in pieces if piece[0] == "new"}
    targets = {path: blocks.targets(path) for path in made}
    counts = array("q")
    for piece in pieces:
        if piece[0] == "old":
            counts.extend(layout.counts[piece[1] : piece[2]])
        else:
            counts.append(sum(map(len, targets[piece[1]])))
    _headers(outputs, generation)
    bases = [store.size, graph.size, 0]
    lengths = [array("q") for _ in range(SECTIONS)]
    lists = []
    for index, (name, first, count) in enumerate(LISTS):
        out = store if name == SUMMARIES_NAME else graph
        if index == 2:
            graph.write(b'],\n"edges":[')
            bases[2] = graph.size
        start = out.size
        joined = _List(out)
        for section in range(first, first + count):
            sizes = lengths[section]
            for piece in pieces:
                if piece[0] == "old":
                    _, lo, hi = piece
                    span = layout.run(section, lo, hi)
                    if span[1] and not (counted and out is graph) and not previous.holds_blocks(name, *span):
                        raise StaleLayout(name)
                    joined.copy(previous, name, span)
                    sizes.extend(layout.lengths[section][lo:hi])
                elif section < NODES + 1 or section == CONTAINS:
                    sizes.append(joined.add(made[piece[1]][section]))
                    if section != RECORDS and sizes[-1] and unproven is not None:
                        unproven.append((graph.size - sizes[-1], graph.size))
                else:  # edges between files, encoded here
                    sizes.append(joined.add(blocks.edges(piece[1], section - NODES - 1, targets[piece[1]])))
        joined.end()
        lists.append((start, out.size))
        if index == 0:
            store.write(b"}\n")
    outputs.node_span, outputs.edge_span = lists[1], lists[2]
    outputs.unproven = unproven
    graph.write(b"]\n}\n")
    outputs.layout = _new_layout(outputs, generation, paths, lengths, counts, bases)


def read_list(path: str, span: tuple, chunk: int = FLUSH_BYTES, shared=None) -> list:
    """The values of the list laid out at `span` ((start, end) byte
    offsets) of the file `path`, parsed a chunk at a time (ValueError or
    RecursionError when they do not parse; see `iter_values`).

    With `shared` ({text: text}), the texts under the keys of `SHARED` are
    taken from it (and added to it) as each chunk is parsed: a graph's
    paths, kinds and ids repeat in every node and edge that names them,
    and made once each they take a third less memory."""
    out = []
    for values in iter_values(path, span, chunk):
        if shared is not None:
            _share(values, shared.setdefault)
        out.extend(values)
    return out


def iter_values(path: str, span: tuple, chunk: int = FLUSH_BYTES):
    """The values laid out at `span` of the file `path`, as lists parsed a
    chunk at a time.  Chunks end at a ",\n", which compact JSON holds only
    between values: if every chunk parses, so does the whole list, to the
    same values."""
    start, end = span
    with open(path, "rb") as f:
        f.seek(start)
        left = end - start
        carry = b""
        while left > 0:
            data = f.read(min(chunk, left))
            if not data:
                raise ValueError(f"{path} is shorter than written")
            left -= len(data)
            data = carry + data
            if left > 0:
                cut = data.rfind(b",\n")
                if cut < 0:
                    carry = data
                    continue
                carry = data[cut + 2 :]
                data = data[:cut]
            yield json.loads(b"[" + data + b"]")


# The members of nodes and edges whose texts repeat.
SHARED = ("id", "path", "kind", "symbol_kind", "from", "to", "rel")


def _share(values: list, one) -> None:
    for value in values:
        if type(value) is dict:
            for key in SHARED:
                text = value.get(key)
                if type(text) is str:
                    value[key] = one(text, text)


class StoredRecords:
    """The summary records by file, read from the staged store whenever
    asked for (`store.PackedRecords` takes them from here): a build that
    finds the graph of another shape mid-way asks again for the records
    it has taken."""

    def __init__(self, outputs: Outputs):
        self._layout = outputs.layout
        self._index = None  # path -> its place, made only if the paths are not in order
        self._file = open(outputs.store.tmp, "rb")

    def _place(self, fid) -> int | None:
        """The place of the file `fid` in the layout when it has a record:
        found by bisection (an update asks for a few), the paths being in
        path order; else from a table of them all."""
        layout = self._layout
        paths = layout.paths
        if self._index is None:
            i = bisect_left(paths, fid) if type(fid) is str else len(paths)
            if i == len(paths) or paths[i] != fid:
                self._index = {path: i for i, path in enumerate(paths)}
        if self._index is not None:
            i = self._index.get(fid)
        return i if i is not None and layout.lengths[RECORDS][i] else None

    def pop(self, fid, default=None):
        i = self._place(fid)
        if i is None:
            return default
        # The block is the file's name as a key, then its record: one that
        # is not (a layout that does not fit) fails the run before anything
        # is placed.
        key = _utf8(encode(fid)) + b":"
        self._file.seek(self._layout.offset(RECORDS, i) - 1)
        block = self._file.read(self._layout.lengths[RECORDS][i] + 3)
        if not (block[:1] == b"\n" and block[1 : len(key) + 1] == key and block[-3:] in (b"},\n", b"}\n}")):
            raise StaleLayout(SUMMARIES_NAME)
        return block[len(key) + 1 : -2].decode("utf-8")

    def __contains__(self, fid) -> bool:
        return self._place(fid) is not None

    def close(self) -> None:
        self._file.close()
