"""A run that changed a few files copies the other files' blocks of the store
and the graph from the files the last run placed: what it writes is byte for
byte a full run's, and previous files that are not the ones the cache
describes (damaged, replaced, truncated, a link) are not copied from."""

from __future__ import annotations

import json
import os
import random
import shutil
import sqlite3
import zlib
from array import array

import pytest
from hypothesis import given
from hypothesis import strategies as st

from random_trees import Tree
from random_trees import differences, full_copy
from random_trees import outputs as every_output
from tarnwick.indexer import cache as cache_module
from tarnwick.indexer import index_project
from tarnwick.datadir import CHUNKED, chunk_digests, chunked_root, chunks_entry
from tarnwick.indexer import layout as layout_module
from tarnwick.indexer import writer as writer_module
from tarnwick.indexer.layout import Layout, plan_pieces


@pytest.fixture(autouse=True)
def _small_chunks(monkeypatch):
    # A few files a chunk: a small project's lists cut into several, so
    # that a run takes most digests over and hashes the rest.
    monkeypatch.setattr(layout_module, "CHUNK_FILES", 3)


def _project(root, count=12):
    for i in range(count):
        imports = "".join(f"from pkg import m{j}\n" for j in (i - 1, i - 2) if j >= 0)
        body = "".join(f"def f{i}_{k}(x):\n    return x + {k}\n\n" for k in range(1 + i % 3))
        (root / "pkg").mkdir(parents=True, exist_ok=True)
        (root / f"pkg/m{i}.py").write_text(f'"""Module {i}."""\n{imports}\n{body}')
    (root / "pkg/__init__.py").write_text("")


def outputs(root) -> tuple:
    # The store and the graph (its stamp of the run left out).
    found = every_output(root)
    return found["structured_summaries.json"], found["graph.json"]


def _full(root, target):
    shutil.copytree(root, target, ignore=shutil.ignore_patterns(".vestra"))
    index_project(target, jobs=1, full=True, progress=False)
    return outputs(target)


def _texts_read(monkeypatch) -> list:
    """The files whose blocks a run makes from the cache's texts."""
    read = []
    real = cache_module.Cache.texts

    def texts(self, path):
        read.append(path)
        return real(self, path)

    monkeypatch.setattr(cache_module.Cache, "texts", texts)
    return read


def _flip_byte(data: bytes) -> bytes:
    at = data.index(b'"name":"f') + 9
    return data[:at] + b"g" + data[at + 1 :]


def _set_layout(root, change) -> None:
    db = sqlite3.connect(root / ".vestra/index-cache.db")
    layout = Layout.unpack(db.execute("SELECT value FROM meta WHERE key = 'layout'").fetchone()[0])
    change(layout)
    db.execute("UPDATE meta SET value = ? WHERE key = 'layout'", (layout.pack(),))
    db.commit()
    db.close()


def _shift(section):
    def shift(layout):
        # One byte more for m6, the file before the edited one.
        layout.lengths[section][layout.paths.index("pkg/m6.py")] += 1

    return shift


def _vouch_by_digest(data_dir, name: str, data: bytes) -> None:
    """Write `data` as the file `name`, with a chunk list and a manifest
    made to match it (its chunks' lengths kept)."""
    lists = json.loads((data_dir / "digests.json").read_text())
    manifest = json.loads((data_dir / "manifest.json").read_text())
    lengths = lists["files"][name]["lengths"]
    digests = chunk_digests(data, lengths)
    lists["files"][name] = chunks_entry(lengths, digests)
    manifest["files"][name][CHUNKED] = chunked_root(lengths, digests)
    (data_dir / name).write_bytes(data)
    (data_dir / "digests.json").write_text(json.dumps(lists))
    (data_dir / "manifest.json").write_text(json.dumps(manifest))


def _as_older_manifest(data_dir) -> None:
    """The manifest as older runs wrote it: each file's SHA-256 whole, no chunk list."""
    import hashlib

    manifest = json.loads((data_dir / "manifest.json").read_text())
    for name, entry in manifest["files"].items():
        del entry[CHUNKED]
        entry["sha256"] = hashlib.sha256((data_dir / name).read_bytes()).hexdigest()
    (data_dir / "manifest.json").write_text(json.dumps(manifest))
    (data_dir / "digests.json").unlink()


def _edit_chunk_list(change, lose_identities=True):
    def edit(data_dir):
        lists = json.loads((data_dir / "digests.json").read_text())
        change(lists["files"]["graph.json"])
        (data_dir / "digests.json").write_text(json.dumps(lists))
        if lose_identities:
            (data_dir / "identities.json").unlink()

    return edit


def _move_lengths(entry) -> None:
    # The second and third chunks' border one byte on (the digests kept).
    first, second, third, *rest = entry["lengths"]
    entry["lengths"] = [first, second + 1, third - 1, *rest]


def _swap_bytes(layout):
    # Two records' lengths off by one, their sum (and so the run) kept.
    layout.lengths[0][layout.paths.index("pkg/m3.py")] += 1
    layout.lengths[0][layout.paths.index("pkg/m4.py")] -= 1


# What happens to the previous files after they were placed, and whether the
# next run may still copy from them.
TAMPERING = {
    "nothing": (None, True),
    "identities lost (the digest proves the files)": (lambda d: (d / "identities.json").unlink(), True),
    "a byte of the graph changed": (lambda d: (d / "graph.json").write_bytes(_flip_byte((d / "graph.json").read_bytes())), False),
    "a byte of the store changed": (
        lambda d: (d / "structured_summaries.json").write_bytes((d / "structured_summaries.json").read_bytes().replace(b"Module 5", b"Module 7")),
        False,
    ),
    "the store cut short": (lambda d: os.truncate(d / "structured_summaries.json", 40), False),
    "the graph a link to its copy": (
        lambda d: (shutil.copy(d / "graph.json", d / "copy.json"), os.unlink(d / "graph.json"), os.symlink("copy.json", d / "graph.json")),
        False,
    ),
    "the layout's records shifted by one byte": (lambda d: _set_layout(d.parent, _shift(0)), False),
    "the layout's nodes shifted by one byte": (lambda d: _set_layout(d.parent, _shift(1)), False),
    "records shifted inside a run, read for a search index built whole": (
        lambda d: (_set_layout(d.parent, _swap_bytes), (d / "search.db").unlink()),
        False,
    ),
    "the layout of another run": (lambda d: _set_layout(d.parent, lambda layout: setattr(layout, "generation", "x")), False),
    "an older manifest (whole files' digests)": (_as_older_manifest, True),
    "an older manifest, identities lost": (lambda d: (_as_older_manifest(d), (d / "identities.json").unlink()), True),
    "the chunk list damaged (the identities vouch)": (lambda d: (d / "digests.json").write_text("{"), True),
    "the chunk list gone, identities lost": (lambda d: ((d / "digests.json").unlink(), (d / "identities.json").unlink()), False),
    "a chunk's digest changed, identities lost": (
        _edit_chunk_list(lambda entry: entry.update(sha256=entry["sha256"][:-1] + ("0" if entry["sha256"][-1] != "0" else "1"))),
        False,
    ),
    "two chunks' lengths moved (the identities vouch)": (_edit_chunk_list(_move_lengths, lose_identities=False), True),
    "two chunks' lengths moved, identities lost": (_edit_chunk_list(_move_lengths), False),
    "the layout damaged": (
        lambda d: sqlite3.connect(d / "index-cache.db").execute("UPDATE meta SET value = x'00' WHERE key = 'layout'").connection.commit(),
        False,
    ),
}


@pytest.mark.parametrize("tampering", TAMPERING)
def test_a_spliced_run_writes_what_a_full_run_writes(tmp_path, monkeypatch, tampering):
    root = tmp_path / "p"
    _project(root)
    index_project(root, jobs=1, progress=False)
    tamper, spliced = TAMPERING[tampering]
    if tamper is not None:
        tamper(root / ".vestra")
    (root / "pkg/m7.py").write_text('"""Module 7, edited."""\n\ndef only(x):\n    return x\n')
    read = _texts_read(monkeypatch)
    index_project(root, jobs=1, progress=False)
    # Spliced, only the edited file's blocks are made; else every file's.
    assert read == ["pkg/m7.py"] if spliced else len(set(read)) == 13, read
    assert outputs(root) == _full(root, tmp_path / "full")


@pytest.mark.parametrize("seed", range(4))
def test_spliced_runs_over_random_changes_equal_full_runs(tmp_path, seed):
    # Small change sets, so that every run copies from the last one.
    tree = Tree(tmp_path / "live", seed, files=40)
    index_project(tree.root, jobs=1, progress=False)
    for round_ in range(6):
        history = [tree.change() for _ in range(tree.rng.randint(1, 3))]
        index_project(tree.root, jobs=1, progress=False)
        assert outputs(tree.root) == _full(tree.root, tmp_path / f"full{round_}"), history


@pytest.mark.parametrize("seed", range(3))
def test_runs_of_random_edits_parse_only_the_blocks_they_make(tmp_path, monkeypatch, seed):
    # Edits of Python modules (their definitions and imports move other
    # modules' edges): every run copies the other files' blocks from a
    # graph vouched for as placed, parses only those it made, and writes
    # what a full run writes.
    from tarnwick.indexer.writer import Outputs

    partial = []  # per run: whether only the blocks made anew were parsed
    real = Outputs.check_graph

    def check_graph(self):
        partial.append(self.unproven is not None)
        return real(self)

    monkeypatch.setattr(Outputs, "check_graph", check_graph)
    tree = Tree(tmp_path / "live", seed, files=40)
    index_project(tree.root, jobs=1, progress=False)
    for round_ in range(5):
        edited = sorted({tree.rng.choice(tree.modules["py"]) for _ in range(tree.rng.randint(1, 3))})
        for name in edited:
            tree.write("py", name)
        index_project(tree.root, jobs=1, progress=False)
        assert outputs(tree.root) == _full(tree.root, tmp_path / f"full{round_}"), edited
    assert partial == [True] * 5


@pytest.mark.parametrize("same", [False, True], ids=["names-changed", "same-names"])
@pytest.mark.parametrize("seed", range(30))
def test_pieces_cover_the_new_names_in_order(seed, same):
    rng = random.Random(seed)
    old = sorted(rng.sample(range(60), rng.randint(0, 30)))
    new = sorted(set(rng.sample(old, rng.randint(0, len(old)))) | set(rng.sample(range(60), rng.randint(0, 10))))
    old, new = [f"{n:02}" for n in old], [f"{n:02}" for n in (old if same else new)]
    kept = {path for path in new if rng.random() < 0.7}
    pieces = plan_pieces(old, new, kept)
    # Each name once, in order: runs of kept names as the old list has them,
    # the others written anew.
    names = [name for piece in pieces for name in (old[piece[1] : piece[2]] if piece[0] == "old" else [piece[1]])]
    assert names == new
    assert all(all(name in kept for name in old[p[1] : p[2]]) for p in pieces if p[0] == "old")
    assert all(p[1] not in kept or p[1] not in old for p in pieces if p[0] == "new")
    # Runs are maximal: two old runs never touch.
    assert all(not (a[0] == b[0] == "old" and a[2] == b[1]) for a, b in zip(pieces, pieces[1:]))


def test_the_layout_survives_its_packing_and_refuses_damage():
    sizes = {"structured_summaries.json": 9, "graph.json": 10}
    layout = Layout("g", ["a.py", "b\udcff.py"], [array("q", [i, 0]) for i in range(8)], array("q", [3, 4]), [1, 2, 3], sizes)
    again = Layout.unpack(layout.pack())
    assert (again.generation, again.paths, again.lengths, again.counts, again.bases, again.sizes) == (
        layout.generation, layout.paths, layout.lengths, layout.counts, layout.bases, layout.sizes)
    packed = layout.pack()
    for bad in (b"", packed[:-3], b"x" + packed, json.dumps({}).encode()):
        assert Layout.unpack(bad) is None
    for part in (*range(8), "counts"):  # a negative length or count anywhere
        damaged = Layout.unpack(packed)
        (damaged.counts if part == "counts" else damaged.lengths[part])[1] = -1
        assert Layout.unpack(damaged.pack()) is None


def _layout(files: int) -> Layout:
    sizes = {"structured_summaries.json": 9, "graph.json": 10}
    lengths = [array("q", [(i * 7 + section) % 50 for i in range(files)]) for section in range(layout_module.SECTIONS)]
    return Layout("g", [f"f{i:03}.py" for i in range(files)], lengths, array("q", range(files)), [1, 2, 3], sizes)


@pytest.mark.parametrize(
    "change, repacked",
    [
        (lambda layout: None, 0),
        (lambda layout: layout.lengths[3].__setitem__(4, 99), 1),  # one file's block: its chunk of one section
        (lambda layout: layout.counts.__setitem__(0, 5), 1),
        (lambda layout: layout.paths.__setitem__(6, "f006b.py"), 1),  # a name: the names
    ],
    ids=["nothing", "block-length", "count", "name"],
)
def test_a_layout_packs_again_only_the_parts_that_changed(monkeypatch, change, repacked):
    monkeypatch.setattr(layout_module, "PACK_FILES", 3)
    previous = Layout.unpack(_layout(10).pack())
    layout = _layout(10)
    change(layout)
    compressed = []
    real = zlib.compress
    monkeypatch.setattr(layout_module.zlib, "compress", lambda data, level: compressed.append(data) or real(data, level))
    blob = layout.pack(previous)
    assert len(compressed) == 1 + repacked  # the head, then the parts packed again
    monkeypatch.setattr(layout_module.zlib, "compress", real)
    assert blob == layout.pack()  # the bytes of packing every part anew
    again = Layout.unpack(blob)
    assert (again.paths, again.lengths, again.counts) == (layout.paths, layout.lengths, layout.counts)
    assert len(again.parts) == 1 + 4 * (layout_module.SECTIONS + 1)  # the names, each array in four chunks


def _framed(layout: Layout, parts: list) -> bytes:
    head = {"generation": "g", "bases": layout.bases, "sizes": layout.sizes, "count": len(layout.paths), "parts": [len(p) for p in parts]}
    head = zlib.compress(json.dumps(head).encode(), 1)
    return len(head).to_bytes(4, "little") + head + b"".join(parts)


@pytest.mark.parametrize(
    "frame", ["cut", "longer", "head-beyond", "part-damaged", "part-trailing", "part-empty", "part-missing", "one-stream", "past-limit"]
)
def test_a_layout_whose_frame_does_not_hold_is_refused(monkeypatch, frame):
    monkeypatch.setattr(layout_module, "PACK_FILES", 3)
    layout = _layout(10)
    packed = layout.pack()
    parts = [part for _, part in layout.parts]
    assert _framed(layout, parts) == packed and Layout.unpack(packed) is not None
    blob = {
        "cut": packed[:-1],
        "longer": packed + b"\0",
        "head-beyond": len(packed).to_bytes(4, "little") + packed[4:],
        "part-damaged": _framed(layout, [parts[0], bytes(len(parts[1])), *parts[2:]]),
        "part-trailing": _framed(layout, [parts[0], parts[1] + b"\0", *parts[2:]]),
        "part-empty": _framed(layout, [parts[0], b"", *parts[1:]]),
        "part-missing": _framed(layout, parts[:-1]),
        "one-stream": zlib.compress(packed, 1),
        "past-limit": packed,
    }[frame]
    if frame == "past-limit":  # the head's text and the parts' bytes, one byte short
        head = zlib.decompress(packed[4 : 4 + int.from_bytes(packed[:4], "little")])
        whole = len(head) + sum(len(zlib.decompress(part)) for part in parts)
        monkeypatch.setattr(layout_module, "LAYOUT_LIMIT", whole)
        assert Layout.unpack(blob) is not None
        monkeypatch.setattr(layout_module, "LAYOUT_LIMIT", whole - 1)
    assert Layout.unpack(blob) is None


@given(
    lengths=st.lists(st.lists(st.sampled_from([0, 0, 1, 7, 300]), min_size=8, max_size=8), min_size=1, max_size=40),
    asked=st.lists(st.tuples(st.integers(0, 7), st.integers(0, 40), st.integers(0, 40)), max_size=30),
)
def test_runs_of_blocks_lie_where_the_blocks_start(lengths, asked):
    # Runs asked in any order (a run asks in order, a later one starts
    # over) lie where the whole array of starts puts them.
    paths = [f"f{i:02d}.py" for i in range(len(lengths))]
    columns = [array("q", [row[section] for row in lengths]) for section in range(8)]
    sizes = {"structured_summaries.json": 1, "graph.json": 1}
    summed = Layout("g", paths, columns, array("q", [0] * len(paths)), [5, 50, 500], sizes)
    whole = Layout("g", paths, columns, array("q", [0] * len(paths)), [5, 50, 500], sizes)
    for section, lo, hi in asked:
        lo, hi = sorted((min(lo, len(paths)), min(hi, len(paths))))
        starts = whole.starts(section)
        size = starts[hi] - starts[lo] - 2
        expected = (whole.offset(section, lo), size) if size > 0 else (0, 0)
        assert summed.run(section, lo, hi) == expected


# A reused file's nodes (1) or "contains" edges (2) forged under a checksum
# that vouches for them: text that is not a block of values.
FORGED_TEXTS = [(1, '{"id":"a.py",'), (2, "]"), (1, " "), (2, "\n"), (1, '{"id":"a.py"}],[{}')]


@pytest.mark.parametrize("graph_file", [True, False], ids=["graph-file", "counted"])
@pytest.mark.parametrize("forged", FORGED_TEXTS)
def test_a_reused_files_text_made_anew_in_a_spliced_run_is_parsed(tmp_path, monkeypatch, forged, graph_file):
    # a.py looks for d.py: when d.py comes, a.py is resolved again and its
    # blocks are made from its row while every other file's are copied (or,
    # without a graph file, only counted).
    from tarnwick.indexer.cache_db import checksum

    root = tmp_path / "p"
    _project(root)
    (root / "a.py").write_text("import d\n\ndef f():\n    return d.g()\n")
    index_project(root, jobs=1, progress=False, graph_file=graph_file)
    db = sqlite3.connect(root / ".vestra/index-cache.db")
    blob, docs, links, head = db.execute("SELECT result, docs, links, head FROM files WHERE path = 'a.py'").fetchone()
    fields, texts = cache_module.unpack_parts(blob)
    texts[forged[0]] = forged[1]
    blob = cache_module.pack_parts(fields, texts)
    db.execute("UPDATE files SET result = ?, checksum = ? WHERE path = 'a.py'", (blob, checksum(blob, zlib.decompress(docs), head, links)))
    db.commit()
    db.close()
    (root / "d.py").write_text("def g():\n    return 1\n")
    read = _texts_read(monkeypatch)
    again = index_project(root, jobs=1, progress=False, graph_file=graph_file)
    # Found before anything was placed: the run started again from scratch.
    assert again.reused == 0 and "a.py" in read
    assert differences(every_output(root, decoded=True), full_copy(root, tmp_path / "full", graph_file=graph_file)) == []


def test_a_spliced_run_makes_only_the_changed_files_blocks(tmp_path, monkeypatch):
    # The same run as above with the row intact: a.py and d.py are made, the
    # rest copied, and the graph is what a full run writes.
    root = tmp_path / "p"
    _project(root)
    (root / "a.py").write_text("import d\n\ndef f():\n    return d.g()\n")
    index_project(root, jobs=1, progress=False)
    (root / "d.py").write_text("def g():\n    return 1\n")
    read = _texts_read(monkeypatch)
    again = index_project(root, jobs=1, progress=False)
    assert sorted(set(read)) == ["a.py", "d.py"] and again.reused == 14
    assert outputs(root) == _full(root, tmp_path / "full")


def test_a_previous_graph_vouched_for_only_by_its_digest_is_parsed_whole(tmp_path):
    # A graph whose copied text does not parse, with a manifest made to match
    # it: rewritten, it is not the file the last run placed (its status
    # moved), so only the digest proves it, and its copied blocks are
    # parsed too; the run starts again from scratch.
    root = tmp_path / "p"
    _project(root)
    index_project(root, jobs=1, progress=False)
    data_dir = root / ".vestra"
    graph = (data_dir / "graph.json").read_bytes().replace(b'"name":"f2_0"', b'"name":%f2_0"', 1)
    _vouch_by_digest(data_dir, "graph.json", graph)
    (root / "pkg/m7.py").write_text('"""Module 7, edited."""\n\ndef only(x):\n    return x\n')
    again = index_project(root, jobs=1, progress=False)
    assert again.reused == 0
    assert outputs(root) == _full(root, tmp_path / "full")


def test_a_spliced_run_hashes_only_the_chunks_it_did_not_copy_whole(tmp_path, monkeypatch):
    # 13 files, 3 a chunk: each list's chunk holding m7's blocks (and the
    # graph's head, with the run's stamp) is hashed; the rest are the last
    # run's digests, and the manifest's digests hold for the files' bytes.
    root = tmp_path / "p"
    _project(root)
    index_project(root, jobs=1, progress=False)
    hashed = []
    real = writer_module._hash_range

    def hash_range(f, start, length, buffer):
        hashed.append((os.path.basename(f.name), start, length))
        return real(f, start, length, buffer)

    monkeypatch.setattr(writer_module, "_hash_range", hash_range)
    (root / "pkg/m7.py").write_text('"""Module 7, edited."""\n\ndef only(x):\n    return x\n')
    index_project(root, jobs=1, progress=False)
    lists = json.loads((root / ".vestra/digests.json").read_text())["files"]
    chunks = sum(len(entry["lengths"]) for entry in lists.values())
    assert 2 <= len(hashed) <= 12 < chunks, (hashed, chunks)
    assert outputs(root) == _full(root, tmp_path / "full")
