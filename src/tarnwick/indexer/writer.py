"""The summary store and the graph written to temporaries one file's texts
at a time, from the rows the cache holds of each (`Cache.texts`): neither
output is ever held in memory whole, as text or as pieces.  The layout is
`output`'s (one record, node or edge per line), byte for byte, and the
manifest's record of each file (size, SHA-256) is taken as it is written.

The graph is read back from its temporary a megabyte at a time for the
search index (`read_list`): text spliced from the cache that does not parse
fails the run before anything is placed."""

from __future__ import annotations

import hashlib
import json
import os
import tempfile

from ..atomic import finish_temporary, new_temporary, remove_temporary
from ..datadir import GRAPH_NAME, SUMMARIES_NAME
from .linkage import EDGE_KINDS
from .output import edge, encode, file_node

# Bytes gathered before they are hashed and written.
FLUSH_BYTES = 1 << 20


def _utf8(text: str) -> bytes:
    # A lone surrogate (some source literals hold one) is written as a JSON
    # escape, which keeps the files valid UTF-8 (as `output` writes them).
    return text.encode("utf-8", "backslashreplace")


class _Out:
    """Bytes appended to an open file, counted (and hashed when asked)."""

    def __init__(self, file, hashed: bool):
        self._file = file
        self._sha = hashlib.sha256() if hashed else None
        self._held: list = []
        self._held_bytes = 0
        self.size = 0

    def write(self, data: bytes) -> None:
        self._held.append(data)
        self._held_bytes += len(data)
        self.size += len(data)
        if self._held_bytes >= FLUSH_BYTES:
            self.flush()

    def flush(self) -> None:
        data = b"".join(self._held)
        self._held, self._held_bytes = [], 0
        if self._sha is not None:
            self._sha.update(data)
        self._file.write(data)
        self._file.flush()

    def digest(self) -> dict:
        """What the manifest records of the file (`datadir.file_digest`)."""
        return {"size": self.size, "sha256": self._sha.hexdigest()}


class _Staged(_Out):
    """A data file written to a temporary beside its place."""

    def __init__(self, data_dir: str, name: str):
        self.name = name
        self.target = os.path.join(data_dir, name)
        self.tmp = new_temporary(self.target)
        super().__init__(open(self.tmp, "wb"), hashed=True)

    def finish(self) -> None:
        self.flush()
        self._file.close()
        finish_temporary(self.tmp, self.target)

    def close(self) -> None:
        self._file.close()


class _List:
    """Blocks of JSON values (one or more joined by ",\\n"; empty ones left
    out) laid out as `output` joins them: "\\n" before the first, ",\\n"
    between, "\\n" after the last."""

    def __init__(self, out: _Out, count: int = 0):
        self.out = out
        self.count = count

    def add(self, *parts: str) -> tuple:
        """Append the block made of `parts`; returns (offset, size) of the
        last part's bytes in the file."""
        if not parts[-1]:
            return (0, 0)
        self.out.write(b",\n" if self.count else b"\n")
        self.count += 1
        for part in parts[:-1]:
            self.out.write(_utf8(part))
        data = _utf8(parts[-1])
        offset = self.out.size
        self.out.write(data)
        return offset, len(data)

    def end(self) -> None:
        if self.count:
            self.out.write(b"\n")


class Outputs:
    """The store and the graph of one run, staged (`write_outputs`)."""

    def __init__(self, store: _Staged, graph: _Staged):
        self.store = store
        self.graph = graph
        self.node_span = (0, 0)  # where the nodes' values lie in the graph
        self.edge_span = (0, 0)
        self.record_spans: dict = {}  # file -> (offset, size) of its record in the store

    def staged(self) -> list:
        """(temporary, name) of the store and the graph, for `commit_files`."""
        return [(self.store.tmp, self.store.name), (self.graph.tmp, self.graph.name)]

    def discard(self) -> None:
        for out in (self.store, self.graph):
            out.close()
            remove_temporary(out.tmp)


def write_outputs(data_dir: str, paths: list, parsed: dict, texts, check, edges: dict, generation: str) -> Outputs:
    """Stage the store and the graph of the files `paths` (in order):
    `parsed` maps the files that parsed to their results, `texts(path)`
    gives a parsed file's (record, nodes, "contains" edges) JSON texts and
    `check(path, record)` is shown each record first; `edges` maps a file
    to its targets per edge kind.  Raises what those raise, or OSError,
    with nothing left behind."""
    store = _Staged(data_dir, SUMMARIES_NAME)
    try:
        graph = _Staged(data_dir, GRAPH_NAME)
    except BaseException:
        store.close()
        remove_temporary(store.tmp)
        raise
    outputs = Outputs(store, graph)
    try:
        with tempfile.TemporaryFile(dir=data_dir) as scratch:
            _write(outputs, scratch, paths, parsed, texts, check, edges, generation)
        store.finish()
        graph.finish()
    except BaseException:
        outputs.discard()
        raise
    return outputs


def _write(outputs: Outputs, scratch, paths, parsed, texts, check, edges, generation) -> None:
    store, graph = outputs.store, outputs.graph
    store.write(b"{")
    records = _List(store)
    stamp = f'"generation":{encode(generation)},\n' if generation is not None else ""
    graph.write(_utf8('{\n"version":1,\n' + stamp + '"nodes":['))
    nodes = _List(graph)
    start = graph.size
    # The "contains" edges come after all others: set aside meanwhile, each
    # led by ",\n" (mended below when no other edge comes first).
    aside = _Out(scratch, hashed=False)
    contains = _List(aside, count=1)
    for path in paths:
        if path not in parsed:
            nodes.add(encode(file_node(path, "")))
            continue
        record, node_text, contains_text = texts(path)
        check(path, record)
        outputs.record_spans[path] = records.add(encode(path) + ":", record)
        nodes.add(node_text)
        contains.add(contains_text)
    records.end()
    store.write(b"}\n")
    nodes.end()
    outputs.node_span = (start, graph.size)
    graph.write(b'],\n"edges":[')
    start = graph.size
    others = _List(graph)
    for kind, rel in enumerate(EDGE_KINDS):
        for path in paths:
            targets = edges.get(path)
            if targets and targets[kind]:
                others.add(",\n".join(encode(edge(path, target, rel)) for target in targets[kind]))
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


def read_list(path: str, span: tuple, chunk: int = FLUSH_BYTES, shared=None) -> list:
    """The values of the list laid out at `span` ((start, end) byte
    offsets) of the file `path`, parsed a chunk at a time (ValueError or
    RecursionError when they do not parse).  Chunks end at a ",\n", which
    compact JSON holds only between values: if every chunk parses, so does
    the whole list, to the same values.

    With `shared` ({text: text}), the texts under the keys of `SHARED` are
    taken from it (and added to it) as each chunk is parsed: a graph's
    paths, kinds and ids repeat in every node and edge that names them,
    and made once each they take a third less memory."""
    start, end = span
    out = []
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
            values = json.loads(b"[" + data + b"]")
            if shared is not None:
                _share(values, shared.setdefault)
            out.extend(values)
    return out


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
    """The summary records by file, read from the staged store when asked
    for (`store.PackedRecords` takes them from here)."""

    def __init__(self, outputs: Outputs):
        self._spans = outputs.record_spans
        self._file = open(outputs.store.tmp, "rb")

    def pop(self, fid, default=None):
        span = self._spans.pop(fid, None)
        if span is None:
            return default
        offset, size = span
        self._file.seek(offset)
        return self._file.read(size).decode("utf-8")

    def __contains__(self, fid) -> bool:
        return fid in self._spans

    def close(self) -> None:
        self._file.close()

