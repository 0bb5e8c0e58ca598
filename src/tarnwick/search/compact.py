"""A compact copy of the graph, kept in the search index in chunks of files.

`graph.json` spells every key of every node and edge, repeats each path in
every symbol node and edge, and makes a new object for every value.  The
compact copy is, per chunk of files, a table of the distinct strings plus
columns of numbers (packed arrays) that point into it; rebuilding the graph
from it makes far fewer objects than parsing `graph.json`, so it loads two
to three times as fast.

The graph the indexer writes is made of files' shares: each file's node
followed by the nodes of its symbols, files in path order; the edges in
sections by relation (`EDGE_ORDER`), each section in the order of the files
the edges come from.  A chunk holds the shares (nodes and outgoing edges) of
a run of files; a file starts a chunk when its id's checksum says so, so
what a chunk holds depends on the files alone, not on the files before it:
a change re-encodes only the chunks of the files it touches, and an updated
copy holds the very chunks a full build makes.  The copy is only written for
a graph of that shape, which it rebuilds exactly, and only read when the
graph file is, by its identity, the one it was made from.
"""

from __future__ import annotations

import json
import zlib
from array import array

FILE_KEYS = ("id", "kind", "path", "summary")
SYMBOL_KEYS = ("id", "kind", "path", "name", "symbol_kind", "line_start", "line_end")
EDGE_KEYS = ("from", "to", "rel")
# The sections of the graph's edges, in their order.
EDGE_ORDER = ("imports", "calls", "extends", "implements", "references", "contains")
SECTION = {rel: n for n, rel in enumerate(EDGE_ORDER)}
# Files per chunk, on average.
CHUNK_FILES = 64
# A chunk's ids repeat their paths and its numbers are mostly small: zlib's
# fastest level packs it to a sixth, and a full build packs every chunk.
LEVEL = 1
# What one chunk may inflate to, at most, when the reader gives no smaller
# bound: a damaged or planted blob must not make a reader allocate without end.
CHUNK_LIMIT = 1 << 28


class Share:
    """One file's share of the graph: its nodes (its own first) and, per
    section, the edges it is the source of, each in graph order."""

    __slots__ = ("fid", "nodes", "out")

    def __init__(self, fid: str, nodes: list, out: tuple) -> None:
        self.fid = fid
        self.nodes = nodes
        self.out = out


def starts_chunk(fid: str) -> bool:
    """Whether the file ``fid`` starts a chunk (the first file always does)."""
    return zlib.crc32(fid.encode("utf-8", "surrogatepass")) % CHUNK_FILES == 0


def base(node_id) -> str | None:
    """The file an id names: the id itself, or what comes before "::"."""
    return node_id.split("::", 1)[0] if isinstance(node_id, str) else None


def _file_node(node) -> str | None:
    """The id of a file node of the shape the copy rebuilds, else None."""
    if type(node) is dict and tuple(node) == FILE_KEYS and node["kind"] == "file":
        fid = node["id"]
        if type(fid) is str and fid == node["path"] and type(node["summary"]) is str:
            return fid
    return None


def _symbol_of(node, fid: str) -> bool:
    return (
        type(node) is dict
        and tuple(node) == SYMBOL_KEYS
        and node["kind"] == "symbol"
        and node["path"] == fid
        and type(node["line_start"]) is int
        and type(node["line_end"]) is int
    )


def _edge_section(edge, fid: str) -> int | None:
    """The section of an edge from ``fid`` of the shape the copy rebuilds."""
    if type(edge) is dict and tuple(edge) == EDGE_KEYS and edge["from"] == fid and type(edge["to"]) is str:
        return SECTION.get(edge["rel"])
    return None


def shares(graph: dict, only=None) -> dict | None:
    """The files' shares of ``graph`` by file id, in graph order (of the
    files ``only``, when given, whose shape alone is checked), or None when
    the graph is not of the shape the copy rebuilds."""
    nodes, edges = graph.get("nodes"), graph.get("edges")
    if type(nodes) is not list or type(edges) is not list:
        return None
    out: dict = {}
    last = None
    block = None
    for node in nodes:
        if type(node) is dict and node.get("kind") == "file":
            fid = _file_node(node)
            if fid is None or (last is not None and not fid > last):
                return None
            last = fid
            if only is None or fid in only:
                block = [node]
                out[fid] = Share(fid, block, tuple([] for _ in EDGE_ORDER))
            else:
                block = None
        elif block is not None:
            if not _symbol_of(node, last):
                return None
            block.append(node)
        elif last is None:
            return None
    order = (-1, "")
    for edge in edges:
        fid = edge.get("from") if type(edge) is dict else None
        if only is None or (type(fid) is str and fid in only):
            share = out.get(fid)
            section = _edge_section(edge, fid) if share is not None else None
            if section is None or (section, fid) < order:
                return None
            order = (section, fid)
            share.out[section].append(edge)
    return out


def encode_chunk(chunk: list) -> bytes:
    """A chunk of shares as one compressed blob: the count of its numbers,
    the numbers (per file its node count and its edge count per section, the
    nodes' columns, the edges' targets), then the NUL-separated strings.
    ValueError when a string holds a NUL (it would split in two)."""
    index: dict = {}  # string -> its number, in the order first met
    number = index.setdefault
    numbers = array("q", [len(chunk)])
    numbers.extend(len(share.nodes) for share in chunk)
    for share in chunk:
        numbers.extend(len(edges) for edges in share.out)
    for share in chunk:
        file_node, *symbols = share.nodes
        numbers.extend((number(file_node["id"], len(index)), number(file_node["summary"], len(index)), -1, 0, 0))
        for node in symbols:
            numbers.extend(
                (
                    number(node["id"], len(index)),
                    number(node["name"], len(index)),
                    number(node["symbol_kind"], len(index)),
                    node["line_start"],
                    node["line_end"],
                )
            )
    for section in range(len(EDGE_ORDER)):
        for share in chunk:
            numbers.extend(number(edge["to"], len(index)) for edge in share.out[section])
    try:
        strings = "\0".join(index)
    except TypeError:
        raise ValueError("a value of the graph that is not text") from None
    if strings.count("\0") != max(len(index) - 1, 0):
        raise ValueError("a string of the graph holds a NUL")
    raw = len(numbers).to_bytes(8, "little") + numbers.tobytes() + strings.encode("utf-8", "surrogatepass")
    return zlib.compress(raw, LEVEL)


def inflate(blob, limit: int = CHUNK_LIMIT) -> bytes:
    """A chunk's blob inflated, if it fits in ``limit`` bytes (ValueError when
    it is damaged or larger, TypeError when it is not a blob)."""
    if not isinstance(blob, bytes):
        raise TypeError("a chunk is not a blob")
    unpacker = zlib.decompressobj()
    try:
        data = unpacker.decompress(blob, max(limit, 0))
    except zlib.error:
        raise ValueError("a chunk does not inflate") from None
    if unpacker.unconsumed_tail or not unpacker.eof or unpacker.unused_data:
        raise ValueError("a chunk is truncated or larger than its graph could make")
    return data


def decode_chunk(blob, limit: int = CHUNK_LIMIT) -> list:
    """The shares of a chunk, if it inflates to at most ``limit`` bytes
    (ValueError, TypeError, IndexError or OverflowError when the blob is
    damaged)."""
    return _decode_raw(inflate(blob, limit))


def _decode_raw(blob: bytes) -> list:
    count = int.from_bytes(blob[:8], "little")
    if len(blob) < 8 + 8 * count:
        raise ValueError("chunk cut short")
    numbers = array("q")
    numbers.frombytes(blob[8 : 8 + 8 * count])
    t = blob[8 + 8 * count :].decode("utf-8", "surrogatepass").split("\0")
    files = numbers[0]
    sections = len(EDGE_ORDER)
    if not 0 < files <= count:
        raise ValueError("chunk of no files")
    node_counts = numbers[1 : 1 + files]
    edge_counts = numbers[1 + files : 1 + files + files * sections]
    at = 1 + files + files * sections
    out = []
    for n in range(files):
        size = node_counts[n]
        if size < 1:
            raise ValueError("a file without its node")
        end = at + 5 * size
        a, b, _, _, _ = numbers[at : at + 5]
        fid = t[a]
        nodes = [{"id": fid, "kind": "file", "path": fid, "summary": t[b]}]
        columns = numbers[at + 5 : end]
        nodes.extend(
            {"id": t[a], "kind": "symbol", "path": fid, "name": t[b], "symbol_kind": t[c], "line_start": d, "line_end": e}
            for a, b, c, d, e in zip(*(columns[k::5] for k in range(5)))
        )
        if len(nodes) != size:
            raise ValueError("chunk cut short")
        out.append(Share(fid, nodes, tuple([] for _ in EDGE_ORDER)))
        at = end
    for section, rel in enumerate(EDGE_ORDER):
        for n, share in enumerate(out):
            size = edge_counts[n * sections + section]
            if size < 0 or at + size > len(numbers):
                raise ValueError("chunk cut short")
            fid = share.fid
            share.out[section].extend({"from": fid, "to": t[x], "rel": rel} for x in numbers[at : at + size])
            at += size
    if at != len(numbers):
        raise ValueError("chunk of another length")
    return out


def chunks_of(ordered) -> list:
    """The ``ordered`` shares cut into chunks: lists of shares, each begun by
    the first share or one whose file starts a chunk."""
    out: list = []
    for share in ordered:
        if not out or starts_chunk(share.fid):
            out.append([])
        out[-1].append(share)
    return out


def encode_top(graph: dict) -> bytes:
    """The graph's top-level keys in their order, with the values of all
    but "nodes" and "edges"."""
    keys = list(graph)
    others = [[key, graph[key]] for key in keys if key not in ("nodes", "edges")]
    return json.dumps([others, keys], ensure_ascii=False).encode("utf-8", "surrogatepass")


def decode_top(top: bytes) -> dict:
    """The graph's top-level keys in their order, "nodes" and "edges" as
    empty lists."""
    others, keys = json.loads(top.decode("utf-8", "surrogatepass"))
    parts = dict(others)
    parts["nodes"] = []
    parts["edges"] = []
    return {key: parts[key] for key in keys}


def decode(top: bytes, blobs: list, limit: int = CHUNK_LIMIT) -> dict:
    """The graph rebuilt from its top and its chunks in order, which may
    inflate to ``limit`` bytes in all (ValueError beyond)."""
    chunks = []
    for blob in blobs:
        raw = inflate(blob, limit)
        limit -= len(raw)
        chunks.append(_decode_raw(raw))
    graph = decode_top(top)
    nodes = graph["nodes"]
    edges = graph["edges"]
    for chunk in chunks:
        for share in chunk:
            nodes.extend(share.nodes)
    for section in range(len(EDGE_ORDER)):
        for chunk in chunks:
            for share in chunk:
                edges.extend(share.out[section])
    return graph
