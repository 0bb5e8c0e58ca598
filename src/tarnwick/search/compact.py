"""A compact copy of the graph, kept in the search index for fast loading.

`graph.json` spells every key of every node and edge, repeats each path in
every symbol node and edge, and makes a new object for every value.  The
compact copy is a table of the distinct strings plus columns of numbers
(packed arrays) that point into it; rebuilding the graph from it makes far
fewer objects than parsing `graph.json`, so it loads two to three times as
fast.  It is only written when it rebuilds the graph exactly, and only read
when the graph file is, by its identity, the one it was made from.
"""

from __future__ import annotations

import json
from array import array

FILE_KEYS = ("id", "kind", "path", "summary")
SYMBOL_KEYS = ("id", "kind", "path", "name", "symbol_kind", "line_start", "line_end")
EDGE_KEYS = ("from", "to", "rel")
# Node columns (signed: -1 marks a file node in the kind column).
NODE_COLUMNS = ("ids", "paths", "texts", "kinds", "starts", "ends")
EDGE_COLUMNS = ("sources", "targets", "rels")


def _ints(values) -> bytes:
    return array("q", values).tobytes()


def encode(graph: dict) -> dict | None:
    """The compact copy of ``graph`` as named blobs, or None when it would not
    rebuild the graph exactly (nodes or edges of another shape, strings that
    hold a NUL)."""
    # String -> its number, in the order first met (the table's order).
    index: dict = {}

    number = index.setdefault  # number(text, len(index)): the next number when new

    keys = list(graph)
    if "nodes" not in keys or "edges" not in keys:
        return None
    columns: dict = {name: [] for name in NODE_COLUMNS + EDGE_COLUMNS}
    ids, paths, texts, kinds, starts, ends = (columns[name] for name in NODE_COLUMNS)
    try:
        for node in graph["nodes"]:
            shape = tuple(node) if type(node) is dict else None
            if shape == FILE_KEYS and node["kind"] == "file":
                ids.append(number(node["id"], len(index)))
                paths.append(number(node["path"], len(index)))
                texts.append(number(node["summary"], len(index)))
                kinds.append(-1)
                starts.append(0)
                ends.append(0)
            elif (
                shape == SYMBOL_KEYS
                and node["kind"] == "symbol"
                and type(node["line_start"]) is int
                and type(node["line_end"]) is int
            ):
                ids.append(number(node["id"], len(index)))
                paths.append(number(node["path"], len(index)))
                texts.append(number(node["name"], len(index)))
                kinds.append(number(node["symbol_kind"], len(index)))
                starts.append(node["line_start"])
                ends.append(node["line_end"])
            else:
                return None
        for edge in graph["edges"]:
            if type(edge) is not dict or tuple(edge) != EDGE_KEYS:
                return None
            columns["sources"].append(number(edge["from"], len(index)))
            columns["targets"].append(number(edge["to"], len(index)))
            columns["rels"].append(number(edge["rel"], len(index)))
        blobs = {name: _ints(values) for name, values in columns.items()}
        strings = "\0".join(index)  # TypeError for anything but strings
    except (ValueError, TypeError, OverflowError):
        return None
    if strings.count("\0") != max(len(index) - 1, 0):
        return None  # a string holding a NUL would split in two
    others = [[key, graph[key]] for key in keys if key not in ("nodes", "edges")]
    blobs["strings"] = strings.encode("utf-8", "surrogatepass")
    blobs["top"] = json.dumps([others, keys], ensure_ascii=False).encode("utf-8", "surrogatepass")
    # Every node and edge was checked to be of a shape the columns rebuild
    # exactly (keys in order, texts, integer lines), so the copy is not
    # decoded again to be compared: at 10,000 files that took two seconds.
    return blobs


def decode_top(blobs: dict) -> dict:
    """The graph's top-level keys in their order, "nodes" and "edges" as
    empty lists."""
    others, keys = json.loads(blobs["top"].decode("utf-8", "surrogatepass"))
    parts = dict(others)
    parts["nodes"] = []
    parts["edges"] = []
    return {key: parts[key] for key in keys}


def decode(blobs: dict) -> dict:
    """The graph rebuilt from its compact copy (ValueError, TypeError,
    IndexError or KeyError when the copy is damaged)."""
    t = blobs["strings"].decode("utf-8", "surrogatepass").split("\0")
    columns = {}
    for name in NODE_COLUMNS + EDGE_COLUMNS:
        values = array("q")
        values.frombytes(blobs[name])
        columns[name] = values
    count = len(columns["ids"])
    if any(len(columns[name]) != count for name in NODE_COLUMNS):
        raise ValueError("node columns of unequal length")
    if not len(columns["sources"]) == len(columns["targets"]) == len(columns["rels"]):
        raise ValueError("edge columns of unequal length")
    nodes = [
        {"id": t[a], "kind": "symbol", "path": t[b], "name": t[c], "symbol_kind": t[d], "line_start": e, "line_end": f}
        if d >= 0
        else {"id": t[a], "kind": "file", "path": t[b], "summary": t[c]}
        for a, b, c, d, e, f in zip(*(columns[name] for name in NODE_COLUMNS))
    ]
    edges = [
        {"from": t[a], "to": t[b], "rel": t[c]}
        for a, b, c in zip(columns["sources"], columns["targets"], columns["rels"])
    ]
    graph = decode_top(blobs)
    graph["nodes"] = nodes
    graph["edges"] = edges
    return graph
