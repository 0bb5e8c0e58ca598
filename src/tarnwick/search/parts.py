"""Per file, the part of the graph that a one-shot query needs.

Of a graph, the packer reads only the nodes of the files it packs: a file's
own node and the symbols in it.  The search index keeps, per file id, these
nodes and the edges that touch the file (from it, or to it or one of its
symbols), compressed: nodes and edges of the indexer's shape as lists of
their values, ids relative to the file's own (`encode_nodes`,
`encode_edges`), which keeps a part a third smaller.  Each edge is kept with its key: its section
(`compact.EDGE_ORDER`), the file it comes from and its place among that
file's edges of the section, which sort as the graph orders its edges and do
not shift when other files change.  Nodes sort by their file, as the graph
orders its files.  A query that runs once (`graph.defer_next_graph`) then
builds the graph of just the files it returns, in graph order, instead of
loading the whole graph.
"""

from __future__ import annotations

import json
import zlib

from .compact import EDGE_ORDER, base

# What the parts of one query may grow to when inflated, at most (a damaged
# index must not make a query allocate without bound); the caller gives a
# smaller bound from the size of the graph they were cut from.
PART_LIMIT = 1 << 28

# The graph came from JSON, so it holds no cycles to look for.
_text = json.JSONEncoder(separators=(",", ":"), check_circular=False).encode

# zlib's level for a part: its text, without keys and with the file's own
# id left out, is small enough that a higher level costs less than level 1
# did on the plain JSON.
LEVEL = 6

# The keys of the nodes and edges the indexer writes, in its order: those
# are kept as lists of their values, any other as it is.
_SYMBOL_KEYS = ["id", "kind", "path", "name", "symbol_kind", "line_start", "line_end"]
_EDGE_KEYS = ["from", "to", "rel"]


def _pack(value) -> bytes:
    return zlib.compress(_text(value).encode("utf-8", "surrogatepass"), LEVEL)


def encode_nodes(nodes: list) -> bytes:
    """A file's nodes, packed: its own node first as it is, then each symbol
    node in the file as ``[name, symbol_kind, line_start, line_end]`` (its
    id being the file's and the name, its path the file's)."""
    if not nodes or type(nodes[0]) is not dict:
        return _pack(nodes)
    first = nodes[0]
    fid, path = first.get("id"), first.get("path")
    if type(fid) is not str or type(path) is not str:
        return _pack(nodes)
    out = [first]
    prefix = fid + "::"
    for node in nodes[1:]:
        if (
            type(node) is dict
            and list(node) == _SYMBOL_KEYS
            and type(node["name"]) is str
            and node["kind"] == "symbol"
            and node["path"] == path
            and node["id"] == prefix + node["name"]
        ):
            name = node["name"]
            out.append([name, node["symbol_kind"], node["line_start"], node["line_end"]])
        else:
            out.append(node)
    return _pack(out)


def _relative(end: str, fid: str, prefix: str):
    """An edge's end as kept in the part of ``fid``: "" for the file, its
    symbols from "::", another id as it is (None: one that would read as
    either)."""
    if end == fid:
        return ""
    if end.startswith(prefix):
        return end[len(fid) :]
    if not end or end.startswith("::"):
        return None
    return end


def encode_edges(fid: str, keyed: list) -> bytes:
    """The keyed edges (``[[section, place, edge], ...]``) of the part of
    ``fid``, packed as ``[fid, rows]``: an edge of the indexer's shape as
    ``[section, place, from, to]`` (its relation said by its section, else
    kept after them), ends relative to ``fid`` (`_relative`); any other as
    ``[section, place, edge]``."""
    prefix = fid + "::"
    rows = []
    for section, place, edge in keyed:
        if type(edge) is dict and list(edge) == _EDGE_KEYS and type(edge["from"]) is str and type(edge["to"]) is str and type(edge["rel"]) is str:
            start, end = _relative(edge["from"], fid, prefix), _relative(edge["to"], fid, prefix)
            if start is not None and end is not None:
                row = [section, place, start, end]
                if not (type(section) is int and 0 <= section < len(EDGE_ORDER)) or EDGE_ORDER[section] != edge["rel"]:
                    row.append(edge["rel"])
                rows.append(row)
                continue
        rows.append([section, place, edge])
    return _pack([fid, rows])


def keyed_edges(share) -> list:
    """The ``[section, place, edge]`` of the edges a `compact.Share` is the source of."""
    return [[section, place, edge] for section, edges in enumerate(share.out) for place, edge in enumerate(edges)]


def touching(shares: dict) -> dict:
    """Per file id of ``shares`` (`compact.shares`), the keyed edges that
    touch it, in graph order."""
    out: dict = {fid: [] for fid in shares}
    for fid, share in shares.items():
        own = out[fid]
        for keyed in keyed_edges(share):
            own.append(keyed)
            target = out.get(base(keyed[2]["to"]))
            if target is not None and target is not own:
                target.append(keyed)
    for edges in out.values():
        edges.sort(key=edge_key)
    return out


def edge_key(keyed) -> tuple:
    """Where a keyed edge stands in the graph's order."""
    section, place, edge = keyed
    return section, edge["from"], place


_TOO_LARGE = "parts larger than the graph they were cut from could make them"


def _inflate(blob, left: int):
    try:
        inflate = zlib.decompressobj()
        # One byte over what is left tells a part too large from one that fits exactly.
        text = inflate.decompress(blob, left + 1)
        if len(text) > left:
            raise ValueError(_TOO_LARGE)
        if inflate.unconsumed_tail or not inflate.eof:
            raise ValueError("part cut short")
        return len(text), json.loads(text)
    except zlib.error as exc:
        raise ValueError(str(exc)) from None
    except RecursionError:
        raise ValueError("part nested too deeply") from None


def _shape() -> ValueError:
    return ValueError("part of an unexpected shape")


def nodes_of(blob, limit: int = PART_LIMIT) -> tuple[int, list]:
    """The size and the nodes of a node part (ValueError when it is damaged
    or, with the ids its symbols get, comes to more than ``limit``).  The
    size counts the ids made as well as the text inflated: a small part
    must not make ids of a large file's name without bound."""
    size, kept = _inflate(blob, limit)
    if type(kept) is not list or not kept or type(kept[0]) is not dict:
        raise _shape()
    first = kept[0]
    fid, path = first.get("id"), first.get("path")
    nodes = [first]
    for item in kept[1:]:
        if type(item) is dict:
            nodes.append(item)
            continue
        if type(item) is not list or len(item) != 4 or type(item[0]) is not str or type(fid) is not str or type(path) is not str:
            raise _shape()
        name, kind, start, end = item
        size += len(fid) + 2 + len(name)
        if size > limit:
            raise ValueError(_TOO_LARGE)
        nodes.append({"id": f"{fid}::{name}", "kind": "symbol", "path": path, "name": name, "symbol_kind": kind, "line_start": start, "line_end": end})
    return size, nodes


def _absolute(end, fid: str) -> str:
    if type(end) is not str:
        raise _shape()
    if not end:
        return fid
    return fid + end if end.startswith("::") else end


def keyed(blob, limit: int = PART_LIMIT, owner: str | None = None) -> tuple[int, list]:
    """The size and the ``[section, place, edge]`` items of an edge part
    (ValueError when it is damaged, is not the part of ``owner`` when one
    is named, or, with the ids its ends get, comes to more than ``limit``;
    the size counts both, as for `nodes_of`)."""
    size, kept = _inflate(blob, limit)
    if type(kept) is not list or len(kept) != 2 or type(kept[0]) is not str or type(kept[1]) is not list:
        raise _shape()
    fid, rows = kept
    if owner is not None and fid != owner:
        raise ValueError("an edge part of another file")
    items = []
    for row in rows:
        if type(row) is not list or not 3 <= len(row) <= 5:
            raise _shape()
        section, place = row[0], row[1]
        if type(section) is not int or type(place) is not int:
            raise _shape()
        if len(row) == 3:
            edge = row[2]
            if type(edge) is not dict or type(edge.get("from")) is not str:
                raise _shape()
        else:
            start, end = _absolute(row[2], fid), _absolute(row[3], fid)
            size += (len(start) if start is not fid else 0) + (len(end) if end is not fid else 0)
            if size > limit:
                raise ValueError(_TOO_LARGE)
            if len(row) == 5:
                rel = row[4]
            elif 0 <= section < len(EDGE_ORDER):
                rel = EDGE_ORDER[section]
            else:
                raise _shape()
            edge = {"from": start, "to": end, "rel": rel}
        items.append([section, place, edge])
    return size, items


def decode_each(rows, limit: int = PART_LIMIT) -> dict:
    """{file id: (its nodes, the (key, edge) pairs of its edges)} of the
    parts ``rows`` ((file id, nodes blob, edges blob) each), each file read
    from its own part alone (it holds every edge that touches the file).
    ValueError for a damaged part, one whose first node is not its file's,
    or parts that inflate to more than ``limit`` bytes together."""
    left = min(limit, PART_LIMIT)
    out = {}
    for fid, node_blob, edge_blob in rows:
        size, nodes = nodes_of(node_blob, left)
        left -= size
        if nodes[0].get("kind") != "file" or nodes[0].get("id") != fid:
            raise ValueError("a part that does not start with its file")
        size, items = keyed(edge_blob, left, fid)
        left -= size
        out[fid] = (nodes, [((section, edge["from"], place), edge) for section, place, edge in items])
    return out


def decode(node_blobs, edge_blobs, limit: int = PART_LIMIT) -> tuple[list, list]:
    """The nodes and the (key, edge) pairs of the parts ``node_blobs`` and
    ``edge_blobs``, each in graph order and once.  ValueError for a damaged
    part, or for parts that inflate to more than ``limit`` bytes together."""
    left = min(limit, PART_LIMIT)
    blocks: dict = {}
    for blob in node_blobs:
        size, nodes = nodes_of(blob, left)
        left -= size
        fid = nodes[0].get("id")
        if type(fid) is not str:
            raise ValueError("part of an unexpected shape")
        blocks[fid] = nodes
    edges: dict = {}
    for blob in edge_blobs:
        size, items = keyed(blob, left)
        left -= size
        for item in items:
            edges[edge_key(item)] = item[2]
    nodes = [node for fid in sorted(blocks) for node in blocks[fid]]
    return nodes, sorted(edges.items(), key=lambda pair: pair[0])
