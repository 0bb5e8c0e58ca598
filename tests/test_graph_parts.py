"""A file's part of the graph in its packed form: nodes and edges of the
indexer's shape kept as lists relative to their file, anything else as it
is; whatever is packed reads back exactly, and a hostile part is refused
before it can make more than its bound."""

from __future__ import annotations

import json
import zlib

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick.search import parts
from tarnwick.search.compact import EDGE_ORDER

FID = "pkg/a.py"


def _symbol(name, path=FID, fid=FID, kind="function", start=1, end=2):
    return {"id": f"{fid}::{name}", "kind": "symbol", "path": path, "name": name, "symbol_kind": kind,
            "line_start": start, "line_end": end}


FILE = {"id": FID, "kind": "file", "path": FID, "summary": "A file."}


def _raw(blob):
    return json.loads(zlib.decompress(blob))


@pytest.mark.parametrize("nodes, listed", [
    ([FILE, _symbol("f"), _symbol("C.m", kind="method", start=None, end=None)], [False, True, True]),
    ([FILE, _symbol("f", path="other.py")], [False, False]),  # a path not the file's
    ([FILE, _symbol("f", fid="pkg/a.pyx")], [False, False]),  # an id not the file's and the name
    ([FILE, {**_symbol("f"), "extra": 1}], [False, False]),  # another key
    ([FILE, dict(reversed(list(_symbol("f").items())))], [False, False]),  # keys in another order
    ([FILE, {**_symbol("f"), "kind": "file"}], [False, False]),
    ([FILE, {**_symbol("f"), "name": 3}], [False, False]),
    ([FILE, {"name": "f"}, "f", None], [False, False, False, False]),
    ([{"kind": "file"}, _symbol("f")], [False, False]),  # a file node without an id
    ([["odd"], _symbol("f")], [True, False]),  # not a node at all: kept as it is
    ([{**FILE, "id": ""}, _symbol("f", fid="")], [False, True]),
])
def test_nodes_read_back_as_they_were(nodes, listed):
    blob = parts.encode_nodes(nodes)
    assert [type(item) is list for item in _raw(blob)] == listed
    if all(type(node) is dict for node in nodes):
        assert parts.nodes_of(blob)[1] == nodes
    else:  # packed as they are, and refused when read, as any part not of nodes
        with pytest.raises(ValueError, match="unexpected shape"):
            parts.nodes_of(blob)


def _edge(start, end, rel="calls"):
    return {"from": start, "to": end, "rel": rel}


@pytest.mark.parametrize("keyed, kept", [
    ([[1, 0, _edge(FID, "b.py")], [5, 2, _edge(FID, FID + "::f", "contains")]], [[1, 0, "", "b.py"], [5, 2, "", "::f"]]),
    ([[1, 3, _edge("b.py", FID + "::C.m")]], [[1, 3, "b.py", "::C.m"]]),
    ([[0, 0, _edge(FID, "b.py", "calls")]], [[0, 0, "", "b.py", "calls"]]),  # not its section's relation
    ([[9, 0, _edge(FID, "b.py", "imports")]], [[9, 0, "", "b.py", "imports"]]),  # a section past the known
    ([[-1, 0, _edge(FID, "b.py", "contains")]], [[-1, 0, "", "b.py", "contains"]]),
    # Ends that would read as the file's own are kept as they are.
    ([[1, 0, _edge("", "b.py")]], [[1, 0, _edge("", "b.py")]]),
    ([[1, 0, _edge(FID, "::x")]], [[1, 0, _edge(FID, "::x")]]),
    ([[1, 0, {"to": "b.py", "from": FID, "rel": "calls"}]], [[1, 0, {"to": "b.py", "from": FID, "rel": "calls"}]]),
    ([[1, 0, {**_edge(FID, "b.py"), "weight": 2}]], [[1, 0, {**_edge(FID, "b.py"), "weight": 2}]]),
    ([[1, 0, _edge(FID, "b.py", None)]], [[1, 0, _edge(FID, "b.py", None)]]),
    ([[1, 0, _edge(FID, 7)]], [[1, 0, _edge(FID, 7)]]),
])
def test_edges_read_back_as_they_were(keyed, kept):
    blob = parts.encode_edges(FID, keyed)
    assert _raw(blob) == [FID, kept]
    assert parts.keyed(blob, owner=FID)[1] == keyed


_text = st.text(alphabet="a:/.", max_size=6)


@settings(max_examples=300)
@given(
    fid=_text,
    ends=st.lists(st.tuples(_text, _text, st.integers(-1, 7), st.sampled_from(EDGE_ORDER + ("odd",))), max_size=6),
    names=st.lists(st.tuples(_text, _text), max_size=4),
)
def test_any_part_reads_back_exactly(fid, ends, names):
    """Ids made of the file's own and of colons: no end or symbol is read as another."""
    keyed = []
    for n, (start, end, section, rel) in enumerate(ends):
        keyed.append([section, n, _edge(fid + start if start.startswith("::") else start, fid + end, rel)])
    assert parts.keyed(parts.encode_edges(fid, keyed), owner=fid)[1] == keyed
    nodes = [{"id": fid, "kind": "file", "path": fid, "summary": ""}]
    nodes += [_symbol(name, fid=prefix or fid, path=fid) for name, prefix in names]
    assert parts.nodes_of(parts.encode_nodes(nodes))[1] == nodes


def _pack(value) -> bytes:
    return zlib.compress(json.dumps(value).encode())


@pytest.mark.parametrize("blob, message", [
    (_pack([FID, [[9, 0, "", "b.py"]]]), "unexpected shape"),  # no relation for a section past the known
    (_pack([FID, [[1, 0, 3, "b.py"]]]), "unexpected shape"),
    (_pack([FID, [[1, 0, "", "b.py", "calls", 1]]]), "unexpected shape"),
    (_pack([FID, [[True, 0, "", "b.py"]]]), "unexpected shape"),
    (_pack([FID, [[1, 0, {"to": "b.py"}]]]), "unexpected shape"),
    (_pack([FID, [[1, 0]]]), "unexpected shape"),
    (_pack([3, []]), "unexpected shape"),
    (_pack([[1, 0, _edge(FID, "b.py")]]), "unexpected shape"),  # the form without its file
    (_pack(["b.py", []]), "an edge part of another file"),
])
def test_a_damaged_edge_part_is_refused(blob, message):
    with pytest.raises(ValueError, match=message):
        parts.keyed(blob, owner=FID)


@pytest.mark.parametrize("kept", [
    [FILE, ["f", "function", 1]],
    [FILE, [3, "function", 1, 2]],
    [{"kind": "file", "path": FID}, ["f", "function", 1, 2]],  # no id to make the symbol's of
    [FILE, "f"],
    [],
    {"nodes": []},
])
def test_a_damaged_node_part_is_refused(kept):
    with pytest.raises(ValueError, match="unexpected shape"):
        parts.nodes_of(_pack(kept))


def test_ids_made_of_a_long_name_count_against_the_bound():
    """A part of under a kilobyte naming a file of 64 KiB: each id it would make holds the
    name, so a million of them would be 64 GB."""
    fid = "x" * (1 << 16)
    nodes = _pack([{"id": fid, "kind": "file", "path": fid}] + [["f", "function", 1, 2]] * 200)
    edges = _pack([fid, [[1, n, "::f", "::g"] for n in range(200)]])
    assert len(nodes) < 1024 and len(edges) < 1024
    made = 200 * (1 << 16)  # the ids' bytes, at least
    for read, blob in ((parts.nodes_of, nodes), (parts.keyed, edges)):
        with pytest.raises(ValueError, match="larger than the graph"):
            read(blob, made // 2)
        assert read(blob, 4 * made)[0] >= made  # within a bound that holds them, they read
