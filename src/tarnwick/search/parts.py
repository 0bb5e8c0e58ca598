"""Per file, the part of the graph that a one-shot query needs.

Of a graph, the packer reads only the nodes of the files it packs: a file's
own node and the symbols in it.  The search index keeps, per file id, these
nodes and the edges that touch the file (from it, or to it or one of its
symbols) as compressed JSON.  Each edge is kept with its key: its section
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

from .compact import base

# What the parts of one query may grow to when inflated, at most (a damaged
# index must not make a query allocate without bound); the caller gives a
# smaller bound from the size of the graph they were cut from.
PART_LIMIT = 1 << 28

# The graph came from JSON, so it holds no cycles to look for.
_text = json.JSONEncoder(separators=(",", ":"), check_circular=False).encode


def encode(value: list) -> bytes:
    """A file's nodes, or its keyed edges (``[[section, place, edge], ...]``), packed."""
    return zlib.compress(_text(value).encode("utf-8", "surrogatepass"), 1)


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


def _inflate(blob, left: int):
    try:
        inflate = zlib.decompressobj()
        # One byte over what is left tells a part too large from one that fits exactly.
        text = inflate.decompress(blob, left + 1)
        if len(text) > left:
            raise ValueError("parts larger than the graph they were cut from could make them")
        if inflate.unconsumed_tail or not inflate.eof:
            raise ValueError("part cut short")
        return len(text), json.loads(text)
    except zlib.error as exc:
        raise ValueError(str(exc)) from None
    except RecursionError:
        raise ValueError("part nested too deeply") from None


def keyed(blob, limit: int = PART_LIMIT) -> tuple[int, list]:
    """The size inflated and the ``[section, place, edge]`` items of an edge
    part (ValueError when it is damaged or inflates to more than ``limit``)."""
    size, items = _inflate(blob, limit)
    if type(items) is not list:
        raise ValueError("part of an unexpected shape")
    for item in items:
        if type(item) is not list or len(item) != 3:
            raise ValueError("part of an unexpected shape")
        section, place, edge = item
        if type(section) is not int or type(place) is not int or type(edge) is not dict or type(edge.get("from")) is not str:
            raise ValueError("part of an unexpected shape")
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
        size, nodes = _inflate(node_blob, left)
        left -= size
        if type(nodes) is not list or not nodes or not all(type(node) is dict for node in nodes):
            raise ValueError("part of an unexpected shape")
        if nodes[0].get("kind") != "file" or nodes[0].get("id") != fid:
            raise ValueError("a part that does not start with its file")
        size, items = keyed(edge_blob, left)
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
        size, nodes = _inflate(blob, left)
        left -= size
        if type(nodes) is not list or not nodes or not all(type(node) is dict for node in nodes):
            raise ValueError("part of an unexpected shape")
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
