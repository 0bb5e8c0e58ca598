"""What the search index is told of this run's graph (`search.change`):
the shares of the files parsed or resolved again, made from the same texts
and edges the graph file is written from, so that an update of the search
index never reads the graph back whole."""

from __future__ import annotations

import json

from ..search import compact
from ..search.change import GraphChange
from .linkage import EDGE_KINDS
from .output import edge, file_node


def _values(text: str) -> list:
    """The values of a block's text; a text that holds none (whitespace)
    is not a block, as the graph file's check finds too (ValueError)."""
    if not text:
        return []
    values = json.loads("[" + text + "]")
    if not values:
        raise ValueError("an empty block in the graph")
    return values


def graph_change(
    paths: list, parsed, texts, edges: dict, dirty: set, generation, counts: tuple, whole, check
) -> GraphChange:
    """The change of the graph of ``paths`` (in order) whose files ``dirty``
    were parsed or resolved again: ``parsed`` holds the files that parsed,
    ``texts(path)`` gives a parsed file's (record, nodes, "contains"
    edges) JSON texts, ``edges`` maps a file to its targets per edge kind,
    ``counts`` are the graph's (nodes, edges), ``whole()`` parses it and
    ``check()`` parses it without keeping it.
    Shares of a shape the graph's copies do not rebuild are not handed
    over (the update then reads the graph whole).  ValueError when the
    texts do not parse."""
    ordered = [path for path in paths if path in dirty]
    nodes, contains = [], []
    for path in ordered:
        if path in parsed:
            _, node_text, contains_text = texts(path)
            nodes.extend(_values(node_text))
            contains.extend(_values(contains_text))
        else:
            nodes.append(file_node(path, ""))
    targets = {path: edges.get(path) for path in ordered if path in parsed}  # a file that did not parse has none
    out = [
        edge(path, target, rel)
        for kind, rel in enumerate(EDGE_KINDS)
        for path in ordered
        for target in (targets.get(path) or [()] * len(EDGE_KINDS))[kind]
    ]
    shares = compact.shares({"nodes": nodes, "edges": out + contains})
    top = {"version": 1, "generation": generation, "nodes": [], "edges": []}
    return GraphChange(paths, top, *counts, shares, whole, check)
