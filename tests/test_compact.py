"""The graph's compact copy rebuilds the graph exactly, or is not made."""

from __future__ import annotations

import copy

import pytest

from tarnwick.search import compact


def _graph() -> dict:
    return {
        "version": 1,
        "generation": "g",
        "nodes": [
            {"id": "pkg/ä.py", "kind": "file", "path": "pkg/ä.py", "summary": "Odd \udcff bytes."},
            {"id": "pkg/ä.py::f", "kind": "symbol", "path": "pkg/ä.py", "name": "f", "symbol_kind": "function",
             "line_start": 0, "line_end": 3},
        ],
        "edges": [{"from": "pkg/ä.py", "to": "pkg/ä.py::f", "rel": "contains"}],
    }


def test_the_copy_rebuilds_the_graph():
    graph = _graph()
    assert compact.decode(compact.encode(graph)) == graph
    empty = {"nodes": [], "edges": []}
    assert compact.decode(compact.encode(empty)) == empty


def _set(path, value):
    def change(graph):
        *where, last = path
        target = graph
        for key in where:
            target = target[key]
        target[last] = value
    return change


def _reorder(graph):
    node = graph["nodes"][0]
    graph["nodes"][0] = {key: node[key] for key in reversed(list(node))}


@pytest.mark.parametrize("change", [
    _set(("nodes", 1, "line_start"), 0.0),  # a float line
    _set(("nodes", 1, "line_end"), True),  # a bool line
    _set(("nodes", 0, "summary"), None),  # a summary that is not text
    _set(("nodes", 0, "extra"), 1),  # a key of its own
    _reorder,  # keys in another order
    _set(("nodes", 1, "kind"), "file"),  # a kind that does not fit its keys
    _set(("edges", 0, "rel"), 3),  # an edge field that is not text
    _set(("edges", 0, "weight"), 1),
    _set(("nodes", 1, "name"), "f\0g"),  # a NUL would split the table's text
    _set(("nodes", 0), ["not", "a", "node"]),
])
def test_a_graph_the_copy_cannot_rebuild_gets_none(change):
    graph = copy.deepcopy(_graph())
    change(graph)
    assert compact.encode(graph) is None
