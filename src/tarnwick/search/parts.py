"""Per file, the part of the graph that a one-shot query needs.

Of a graph, the packer reads only the nodes of the files it packs: a file's
own node (whose "id" is the file's id) and the symbols whose "path" is the
file.  The search index keeps these nodes for each file, with the edges
that touch the file, as compressed JSON along with their positions in the
graph's lists.  A query that runs once (`graph.defer_next_graph`) then builds
the graph of just the files it returns, in graph order, instead of loading
the whole graph.
"""

from __future__ import annotations

import json
import zlib

# What the parts of one query may grow to when inflated, at most (a damaged
# index must not make a query allocate without bound); the caller gives a
# smaller bound from the size of the graph they were cut from.
PART_LIMIT = 1 << 28


def encode(graph: dict, file_ids: list, edge_positions: list) -> list[bytes]:
    """Per file number (the order of ``file_ids``), the compressed part:
    ``[[[position, node], ...], [[position, edge], ...]]``.  The edges are
    those at ``edge_positions`` of the file."""
    numbers = {fid: n for n, fid in enumerate(file_ids)}
    nodes: list = [[] for _ in file_ids]
    for position, node in enumerate(graph.get("nodes") or ()):
        if not isinstance(node, dict):
            continue
        node_id = node.get("id")
        own = numbers.get(node_id) if isinstance(node_id, str) else None
        if own is not None:
            nodes[own].append([position, node])
        path = node.get("path")
        if node.get("kind") == "symbol" and isinstance(path, str):
            holder = numbers.get(path)
            if holder is not None and holder != own:
                nodes[holder].append([position, node])
    edges = graph.get("edges") or []
    # The graph came from JSON, so it holds no cycles to look for.
    text = json.JSONEncoder(separators=(",", ":"), check_circular=False).encode
    return [
        zlib.compress(text([nodes[n], [[p, edges[p]] for p in positions]]).encode(), 1)
        for n, positions in enumerate(edge_positions)
    ]


def decode(blobs, limit: int = PART_LIMIT) -> tuple[list, list]:
    """The (position, node) and (position, edge) pairs of the parts
    ``blobs``, each in graph order and once.  ValueError for a damaged part,
    or for parts that inflate to more than ``limit`` bytes together."""
    nodes: dict = {}
    edges: dict = {}
    left = min(limit, PART_LIMIT)
    for blob in blobs:
        try:
            inflate = zlib.decompressobj()
            # One byte over what is left tells a part too large from one that fits exactly.
            text = inflate.decompress(blob, left + 1)
            if len(text) > left:
                raise ValueError("parts larger than the graph they were cut from could make them")
            if inflate.unconsumed_tail or not inflate.eof:
                raise ValueError("part cut short")
            left -= len(text)
            node_pairs, edge_pairs = json.loads(text)
        except zlib.error as exc:
            raise ValueError(str(exc)) from None
        except RecursionError:
            raise ValueError("part nested too deeply") from None
        for pairs, into in ((node_pairs, nodes), (edge_pairs, edges)):
            for position, record in pairs:
                if type(position) is not int or not isinstance(record, dict):
                    raise ValueError("part of an unexpected shape")
                into[position] = record
    return sorted(nodes.items()), sorted(edges.items())
