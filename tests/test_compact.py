"""The graph's copies in the search index: the compact copy rebuilds the graph
exactly or is not made, and an update for the files that changed leaves the
rows a full build makes."""

from __future__ import annotations

import copy
import json
import random
import sqlite3
import zlib

import pytest

from random_trees import Tree
from tarnwick.indexer import index_project
from tarnwick.indexer.linkage import EDGE_KINDS
from tarnwick.search import compact, graph_copy, parts
from tarnwick.search.reader import IndexCorpus
from tarnwick.search.store import TABLES


def _file(path, summary, symbols):
    nodes = [{"id": path, "kind": "file", "path": path, "summary": summary}]
    nodes += [
        {"id": f"{path}::{name}", "kind": "symbol", "path": path, "name": name, "symbol_kind": "function",
         "line_start": n, "line_end": n + 2}
        for n, name in enumerate(symbols)
    ]
    return nodes


def _graph(files: dict, out: dict) -> dict:
    """The graph of ``files`` (path -> (summary, symbol names)) and ``out``
    (path -> per section its targets), laid out as the indexer lays it out."""
    nodes = [node for path in sorted(files) for node in _file(path, *files[path])]
    edges = [
        {"from": path, "to": target, "rel": rel}
        for section, rel in enumerate(compact.EDGE_ORDER)
        for path in sorted(files)
        for target in out.get(path, [[]] * len(compact.EDGE_ORDER))[section]
    ]
    return {"version": 1, "generation": "g", "nodes": nodes, "edges": edges}


def _small():
    files = {"pkg/ä.py": ("Odd \udcff bytes.", ["f"]), "pkg/b.py": ("", ["g", "h"])}
    out = {"pkg/ä.py": [["pkg/b.py"], ["pkg/b.py::g"], [], [], ["os"], ["pkg/ä.py::f"]],
           "pkg/b.py": [[], ["pkg/ä.py::f"], [], [], [], ["pkg/b.py::g", "pkg/b.py::h"]]}
    return _graph(files, out)


def test_the_indexers_edge_kinds_are_the_copys_sections():
    assert (*EDGE_KINDS, "contains") == compact.EDGE_ORDER


def test_an_indexed_project_gets_its_copies(tmp_path):
    tree = Tree(tmp_path / "p", seed=4)
    index_project(tree.root, jobs=1, progress=False)
    stored = json.loads((tree.root / ".vestra" / "graph.json").read_text())
    index = IndexCorpus(tree.root, str(tree.root / ".vestra" / "search.db"))
    try:
        assert index.graph() == stored
        first = stored["nodes"][0]["id"]
        nodes, edges = index.graph_part([first])
        assert nodes == [n for n in stored["nodes"] if n["path"] == first]
        assert [e for _, e in edges] == [e for e in stored["edges"] if first in (e["from"], compact.base(e["to"]))]
    finally:
        index.close()


@pytest.mark.parametrize("graph", [_small(), {"nodes": [], "edges": []}])
def test_the_copy_rebuilds_the_graph(graph):
    top, chunks, _ = graph_copy.full_rows(graph)
    assert compact.decode(top, [blob for _, blob in chunks]) == graph


def _raw(blob: bytes) -> bytes:
    return zlib.decompress(blob)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda blob: blob[:-3], "truncated"),
        (lambda blob: blob + b"x", "truncated"),
        (lambda blob: b"\x00" + blob, "does not inflate"),
        (lambda blob: zlib.compress(_raw(blob)[:24]), "cut short"),  # whole zlib, numbers cut
        (lambda blob: zlib.compress((1).to_bytes(8, "little") + bytes(8)), "no files"),
    ],
)
def test_a_damaged_chunk_is_refused(damage, message):
    top, chunks, _ = graph_copy.full_rows(_small())
    with pytest.raises((ValueError, IndexError), match=message):
        compact.decode(top, [damage(blob) for _, blob in chunks])


def test_the_chunks_of_one_graph_share_one_bound():
    graph = _small()
    top, chunks, _ = graph_copy.full_rows(graph)
    blobs = [blob for _, blob in chunks]
    size = sum(len(_raw(blob)) for blob in blobs)
    assert size > sum(map(len, blobs))  # kept compressed
    assert compact.decode(top, blobs, size) == graph
    with pytest.raises(ValueError, match="larger than its graph"):
        compact.decode(top, blobs, size - 1)
    bomb = zlib.compress(bytes(1 << 20))
    with pytest.raises(ValueError, match="larger than its graph"):
        compact.decode_chunk(bomb, 1 << 16)


def _touching(graph, chosen) -> tuple:
    """The chosen files' nodes and the edges that touch them, in graph order."""
    nodes = [n for n in graph["nodes"] if n["path"] in chosen]
    edges = [e for e in graph["edges"] if compact.base(e["from"]) in chosen or compact.base(e["to"]) in chosen]
    return nodes, edges


def test_parts_give_the_files_nodes_and_the_edges_that_touch_them_in_graph_order():
    graph = _small()
    _, _, rows = graph_copy.full_rows(graph)
    by_id = {fid: (nodes, edges) for fid, nodes, edges in rows}
    for chosen in (["pkg/ä.py"], ["pkg/b.py"], ["pkg/b.py", "pkg/ä.py"]):
        nodes, edges = parts.decode([by_id[f][0] for f in chosen], [by_id[f][1] for f in chosen])
        assert (nodes, [edge for _, edge in edges]) == _touching(graph, chosen)
    # Each file's part alone, its edges keyed in graph order.
    found = parts.decode_each(rows)
    assert list(found) == [fid for fid, _, _ in rows]
    for fid, (nodes, edges) in found.items():
        assert (nodes, [edge for _, edge in edges]) == _touching(graph, [fid])
        assert [key for key, _ in edges] == sorted(key for key, _ in edges)


@pytest.mark.parametrize(
    "damage, message",
    [
        # The nodes of one file under another's id: the part does not start with its file.
        (lambda rows: [(rows[0][0], rows[1][1], rows[0][2]), rows[1]], "does not start with its file"),
        (lambda rows: [(rows[0][0], parts.encode_nodes([{"id": rows[0][0], "kind": "symbol"}]), rows[0][2])], "does not start with its file"),
        (lambda rows: [(rows[0][0], parts.encode_nodes([]), rows[0][2])], "unexpected shape"),
        (lambda rows: [(rows[0][0], rows[0][1], parts.encode_edges(rows[0][0], [[0, 0, {"to": "x"}]]))], "unexpected shape"),
        # The edges of one file under another's id.
        (lambda rows: [(rows[0][0], rows[0][1], rows[1][2]), rows[1]], "an edge part of another file"),
    ],
)
def test_a_part_that_is_not_its_files_is_refused(damage, message):
    _, _, rows = graph_copy.full_rows(_small())
    with pytest.raises(ValueError, match=message):
        parts.decode_each(damage(rows))


def test_the_parts_of_one_question_share_one_bound():
    _, _, rows = graph_copy.full_rows(_small())
    # What a part inflates to and the ids it makes of its file's.
    sizes = [parts.nodes_of(nodes)[0] + parts.keyed(edges)[0] for _, nodes, edges in rows]
    assert all(size > len(zlib.decompress(nodes)) + len(zlib.decompress(edges)) for size, (_, nodes, edges) in zip(sizes, rows))
    assert parts.decode_each(rows, sum(sizes)).keys() == {fid for fid, _, _ in rows}
    with pytest.raises(ValueError, match="larger than the graph"):
        parts.decode_each(rows, sum(sizes) - 1)


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


def _swap(key, a, b):
    def change(graph):
        graph[key][a], graph[key][b] = graph[key][b], graph[key][a]
    return change


@pytest.mark.parametrize("change", [
    _set(("nodes", 1, "line_start"), 0.0),  # a float line
    _set(("nodes", 1, "line_end"), True),  # a bool line
    _set(("nodes", 0, "summary"), None),  # a summary that is not text
    _set(("nodes", 0, "extra"), 1),  # a key of its own
    _reorder,  # keys in another order
    _set(("nodes", 1, "kind"), "file"),  # a kind that does not fit its keys
    _set(("edges", 0, "rel"), 3),  # an edge field that is not text
    _set(("edges", 0, "rel"), "requires"),  # a relation of no section
    _set(("edges", 0, "weight"), 1),
    _set(("nodes", 1, "name"), "f\0g"),  # a NUL would split the table's text
    _set(("nodes", 0), ["not", "a", "node"]),
    _set(("nodes", 1, "path"), "pkg/ä.py"),  # a symbol under another file's node
    _set(("nodes", 0, "path"), "elsewhere.py"),  # a file whose id is not its path
    _swap("nodes", 0, 1),  # a symbol before any file
    _swap("nodes", 0, 2),  # files out of path order
    _swap("edges", 0, 1),  # edges out of their sections' order
    _set(("edges", 1, "from"), "pkg/ä.py::f"),  # an edge from a symbol
    _set(("edges", 1, "from"), "gone.py"),  # an edge from no file of the graph
])
def test_a_graph_the_copy_cannot_rebuild_gets_none(change):
    graph = copy.deepcopy(_small())
    change(graph)
    assert graph_copy.full_rows(graph) is None


# --- updates -------------------------------------------------------------------

def _database():
    db = sqlite3.connect(":memory:")
    for name in ("graph", "chunks", "parts"):
        db.execute(TABLES[name])
    return db


def _rows(db) -> dict:
    return {table: sorted(db.execute(f"SELECT * FROM {table}").fetchall()) for table in ("graph", "chunks", "parts")}


class Project:
    """Files and their edges, changed as an indexer run changes them: a file
    whose edges change is among those that changed."""

    def __init__(self, rng: random.Random, count: int):
        self.rng = rng
        self.serial = 0
        self.files, self.out = {}, {}
        for _ in range(count):
            self.add()
        for path in list(self.files):
            self.relink(path)

    def name(self) -> str:
        self.serial += 1
        # "a" sorts before every other file: a file added before all others.
        return f"{self.rng.choice('abcd')}/m{self.rng.randint(0, 10**6)}_{self.serial}.py"

    def add(self) -> str:
        path = self.name()
        self.files[path] = (f"module {self.serial}", [f"f{n}" for n in range(self.rng.randint(0, 3))])
        self.out[path] = [[] for _ in compact.EDGE_ORDER]
        return path

    def relink(self, path: str) -> None:
        others = sorted(self.files)
        targets = others + [f"{p}::f0" for p in others if self.files[p][1]] + ["os"]
        sections = [sorted(self.rng.sample(targets, min(len(targets), self.rng.randint(0, 3)))) for _ in EDGE_KINDS]
        self.out[path] = sections + [[f"{path}::{name}" for name in self.files[path][1]]]

    def change(self) -> tuple[set, set]:
        """One run's changes: (the files that changed, the files removed)."""
        dirty, removed = set(), set()
        for _ in range(self.rng.randint(1, 4)):
            what = self.rng.choice(("edit", "relink", "add", "remove")) if self.files else "add"
            if what == "add":
                path = self.add()
                self.relink(path)
                dirty.add(path)
                continue
            path = self.rng.choice(sorted(self.files))
            if what == "remove":
                del self.files[path], self.out[path]
                removed.add(path)
                dirty.discard(path)
                # Files that led to it are resolved again.
                for other, sections in self.out.items():
                    if any(compact.base(t) == path for targets in sections for t in targets):
                        self.relink(other)
                        dirty.add(other)
                continue
            if what == "edit":
                summary, symbols = self.files[path]
                self.files[path] = (summary + " edited", symbols + [f"g{self.serial}"])
            self.relink(path)
            dirty.add(path)
        # Now and then a file the indexer could not vouch for, though unchanged.
        if self.files and self.rng.random() < 0.3:
            dirty.add(self.rng.choice(sorted(self.files)))
        return dirty - removed, removed - self.files.keys()

    def graph(self) -> dict:
        return _graph(self.files, self.out)


@pytest.mark.parametrize("seed", range(8))
def test_an_updated_copy_holds_the_rows_of_a_full_build(monkeypatch, seed):
    monkeypatch.setattr(compact, "CHUNK_FILES", 3)  # many chunks, files moving between them
    project = Project(random.Random(seed), 12)
    live = _database()
    graph_copy.write_rows(live, graph_copy.full_rows(project.graph()))
    for _ in range(12):
        dirty, removed = project.change()
        graph = project.graph()
        graph_copy.update_rows(live, graph, compact.shares(graph, only=dirty), removed, 1 << 20)
        full = _database()
        graph_copy.write_rows(full, graph_copy.full_rows(graph))
        assert _rows(live) == _rows(full)
        top, = live.execute("SELECT data FROM graph").fetchone()
        chunks = [blob for _, blob in sorted(live.execute("SELECT first, data FROM chunks"))]
        assert compact.decode(top, chunks) == graph


def test_the_last_file_removed_leaves_an_empty_copy():
    project = Project(random.Random(1), 3)
    live = _database()
    graph_copy.write_rows(live, graph_copy.full_rows(project.graph()))
    removed = set(project.files)
    project.files.clear()
    project.out.clear()
    graph_copy.update_rows(live, project.graph(), {}, removed, 1 << 20)
    full = _database()
    graph_copy.write_rows(full, graph_copy.full_rows(project.graph()))
    assert _rows(live) == _rows(full) and _rows(live)["chunks"] == []


@pytest.mark.parametrize("damage", [
    "DELETE FROM graph",  # a copy without its top
    "UPDATE chunks SET data = substr(data, 1, 20)",  # a chunk cut short
    "UPDATE chunks SET data = CAST(data || x'00' AS BLOB)",  # bytes after a chunk's end
    "UPDATE chunks SET data = x'789c00'",  # a chunk that does not inflate
    "UPDATE parts SET edges = x'789c00'",  # a part that does not inflate
])
def test_an_update_of_a_damaged_copy_is_refused(damage):
    project = Project(random.Random(2), 6)
    live = _database()
    graph_copy.write_rows(live, graph_copy.full_rows(project.graph()))
    live.execute(damage)
    path = sorted(project.files)[0]
    project.relink(path)
    graph = project.graph()
    with pytest.raises(graph_copy.StaleCopy):
        graph_copy.update_rows(live, graph, compact.shares(graph, only={path}), set(), 1 << 20)
