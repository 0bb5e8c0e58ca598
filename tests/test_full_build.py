"""A full build of the search index reads the graph a file at a time: the
index is the one made from the graph parsed whole, and a graph of another
shape falls back to that way."""

import json
from itertools import islice

import pytest

from random_trees import Tree, outputs
from tarnwick.indexer import index_project, publish, run
from tarnwick.search import build, compact, full_build, runs


def _index(root, whole: bool, monkeypatch) -> dict:
    with monkeypatch.context() as patch:
        if whole:
            patch.setattr(publish, "build_streamed", _irregular)
        index_project(root, jobs=1, full=True, progress=False)
    return outputs(root)


def _irregular(*args, **kwargs):
    raise full_build.Irregular


@pytest.mark.parametrize(
    "seed, held, batch",
    [(3, 10**9, 10**9), (11, 60, 40), (23, 0, 1)],
)
def test_streamed_build_is_the_whole_build(tmp_path, monkeypatch, seed, held, batch):
    # Documents held from the first pass or read again, postings and
    # symbols' rows written in batches of any size: the same index.
    monkeypatch.setattr(build, "HELD_POSTINGS", held)
    monkeypatch.setattr(runs, "RUN_POSTINGS", batch)
    monkeypatch.setattr(full_build, "SYMBOL_BATCH", batch)
    built = [_index(Tree(tmp_path / str(whole), seed=seed).root, whole, monkeypatch) for whole in (False, True)]
    assert built[0] == built[1]


# Test folders with and without tests, a package's __init__ that gathers
# names, a file of declarations: what the whole project decides per file.
PROJECT = {
    "pkg/__init__.py": "from pkg import b\n\n\ndef one():\n    pass\n\n\ndef two():\n    pass\n",
    "gather/__init__.py": "from pkg.a import *\nfrom pkg.b import *\nfrom pkg import c\n",
    "gather/user.py": "import gather\nimport pkg\n",
    "pkg/a.py": "from pkg import b\n\n\ndef alpha():\n    return b.beta()\n",
    "pkg/b.py": "def beta():\n    return 1\n",
    "pkg/c.py": "import pkg.a\n",
    "pkg/tests/client.py": "from pkg import a\n\n\nclass HelperTests:\n    pass\n",
    "pkg/tests/runner.py": "def run():\n    pass\n",
    "lib/testing/tool.py": "def tool():\n    pass\n",
    "types.ts": "export interface Shape { size: number }\n",
}


def test_project_facts_are_those_of_the_whole_build(tmp_path, monkeypatch):
    built = []
    for whole in (False, True):
        root = tmp_path / str(whole)
        for rel, text in PROJECT.items():
            (root / rel).parent.mkdir(parents=True, exist_ok=True)
            (root / rel).write_text(text)
        built.append(_index(root, whole, monkeypatch))
    assert built[0] == built[1]


def test_a_copy_that_cannot_be_encoded_is_left_out_both_ways(tmp_path, monkeypatch):
    real = compact.encode_chunk

    def refusing(chunk):
        if any(share.fid.startswith("ts/") for share in chunk):
            raise ValueError("a string of the graph holds a NUL")
        return real(chunk)

    monkeypatch.setattr(compact, "encode_chunk", refusing)
    built = [_index(Tree(tmp_path / str(whole), seed=5).root, whole, monkeypatch) for whole in (False, True)]
    assert built[0] == built[1]
    assert built[0]["search.db:chunks"] == built[0]["search.db:parts"] == []


@pytest.mark.parametrize("shares_read, jobs", [(1, 1), (None, 1), (1, 2), (None, 2)])
def test_a_graph_of_another_shape_is_built_whole(tmp_path, monkeypatch, shares_read, jobs):
    # Found out after the first file or after the last one (edges from no
    # file): the first pass has taken records and, with a helper, handed it
    # documents by then; the whole build still has all of them.
    expected = _index(Tree(tmp_path / "whole", seed=9).root, True, monkeypatch)
    real = run.graph_shares

    def breaking(nodes, sections):
        yield from islice(real(nodes, sections), shares_read)
        raise full_build.Irregular

    monkeypatch.setattr(run, "graph_shares", breaking)
    monkeypatch.setattr(full_build, "ASIDE_MIN_FILES", 0)
    index_project(Tree(tmp_path / "streamed", seed=9).root, jobs=jobs, full=True, progress=False)
    assert outputs(tmp_path / "streamed") == expected


def _graph(tmp_path) -> dict:
    tree = Tree(tmp_path, seed=2)
    index_project(tree.root, jobs=1, progress=False)
    return json.loads((tree.root / ".vestra" / "graph.json").read_text())


def _streams(graph: dict):
    sections = [[[e for e in graph["edges"] if e["rel"] == rel]] for rel in compact.EDGE_ORDER]
    return [graph["nodes"]], sections


def test_shares_are_those_of_the_graph_parsed_whole(tmp_path):
    graph = _graph(tmp_path)
    got = [(s.fid, s.nodes, s.out) for s in full_build.shares(*_streams(graph))]
    want = [(s.fid, s.nodes, s.out) for s in compact.shares(graph).values()]
    assert got == want and len(got) > 10


def _symbol_first(g):
    g["nodes"].insert(0, g["nodes"].pop(1))


def _files_swapped(g):
    files = [n for n, node in enumerate(g["nodes"]) if node["kind"] == "file"]
    g["nodes"][files[0]]["id"] = g["nodes"][files[0]]["path"] = "zzz.py"


def _edge_from_no_file(g):
    g["edges"].append({"from": "zzzz/none.py", "to": "a.py", "rel": "contains"})


def _edge_in_another_section(g):
    edge = next(e for e in g["edges"] if e["rel"] == "contains")
    g["edges"].insert(0, dict(edge))  # read in the section "imports"


def _edge_of_an_earlier_file_later(g):
    contains = [e for e in g["edges"] if e["rel"] == "contains"]
    g["edges"].append(dict(contains[0]))


def _null_edge_at_the_end(g):
    g["edges"].append(None)


def _node_of_another_kind(g):
    g["nodes"].append({"id": "x", "kind": "module"})


@pytest.mark.parametrize(
    "damage",
    [
        _symbol_first,
        _files_swapped,
        _edge_from_no_file,
        _edge_in_another_section,
        _edge_of_an_earlier_file_later,
        _null_edge_at_the_end,
        _node_of_another_kind,
    ],
)
def test_a_graph_of_another_shape_is_irregular(tmp_path, damage):
    graph = _graph(tmp_path)
    damage(graph)
    nodes = [graph["nodes"]]
    if damage is _edge_in_another_section:
        sections = [[[graph["edges"][0]]]] + _streams({"edges": graph["edges"][1:], "nodes": []})[1][1:]
    elif damage is _null_edge_at_the_end:
        sections = _streams({"edges": graph["edges"][:-1], "nodes": []})[1]
        sections[-1].append([None])
    else:
        sections = _streams(graph)[1]
    with pytest.raises(full_build.Irregular):
        list(full_build.shares(nodes, sections))
