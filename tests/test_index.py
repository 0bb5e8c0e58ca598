"""Tests of the project indexer (tarnwick-index)."""

from __future__ import annotations

import hashlib
import json
import multiprocessing
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import tarnwick.indexer.run as indexer_run
from tarnwick.datadir import CHUNKED, chunk_digests, chunked_root, mixed_set_problem
from tarnwick.cli.index import main
from tarnwick.indexer import index_project
from tarnwick import atomic
from tarnwick.indexer import output, pool, resolve_python
from tarnwick.indexer.summarize import summarize_file, summarize_text


def write(root: Path, rel: str, text: str, encoding: str = "utf-8", newline: str | None = "") -> Path:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding=encoding, newline=newline) as f:
        f.write(text)
    return path


def load(root: Path):
    """The store and the graph: the graph file when the run wrote one, else
    what queries read from the search index (the same dict)."""
    from tarnwick.graph import load_graph
    from tarnwick.project import project

    vestra = root / ".vestra"
    store = json.loads((vestra / "structured_summaries.json").read_text(encoding="utf-8"))
    if (vestra / "graph.json").exists():
        return store, json.loads((vestra / "graph.json").read_text(encoding="utf-8"))
    warnings = []
    with project(root):
        graph = load_graph(warnings=warnings)
    assert warnings == [] and graph["generation"]
    return store, graph


def snapshot(root: Path) -> list:
    """The store and graph bytes, without the graph's per-run generation stamp."""
    vestra = root / ".vestra"
    graph = re.sub(rb'"generation":"[^"]*",\n', b"", (vestra / "graph.json").read_bytes(), count=1)
    return [(vestra / "structured_summaries.json").read_bytes(), graph]


def packer_lines(path: Path) -> list:
    # How the context packer reads a source file before cutting bodies.
    return path.read_text(encoding="utf-8", errors="ignore").splitlines()


SAMPLE = textwrap.dedent(
    '''\
    """Order management API endpoints.

    More text.
    """
    from __future__ import annotations
    import json, os.path
    from os.path import join
    from .models import Order
    from . import schemas
    from .models import OrderCreate

    router = make_router()
    LIMIT: int = 10
    __all__ = ["get_orders"]


    @router.get("/orders")
    @cache
    def get_orders(db: Session, status: str = None, /, *args, limit=LIMIT, **kwargs) -> list[OrderResponse]:
        """List orders.

        Details.
        """
        def inner():
            return 1
        rows = db.query(Order).all()
        inner()
        len(rows)
        return [order_to_response(r) for r in rows] + [json.dumps(limit), db.query(1), helper()]


    async def create_order(db, *, data: OrderCreate, dry=False):
        LIMIT = 3
        return Order(LIMIT)


    def order_to_response(order):
        global LIMIT
        return order


    def helper(): return schemas.x()


    class OrderResponse(BaseModel, metaclass=Meta):
        """An order as the API returns it."""
        def to_dict(self):
            return {"limit": LIMIT}
        async def refresh(self): pass
        @property
        def total(self): return 1
        @total.setter
        def total(self, value): pass


    class Order: pass
    '''
)


def test_record_shape_field_by_field():
    record = summarize_text("app/orders.py", SAMPLE).record
    assert list(record) == ["description", "functions", "classes", "variables", "internal_graph", "imports"]
    assert record["description"] == "Order management API endpoints."
    assert list(record["functions"]) == ["get_orders", "create_order", "order_to_response", "helper"]
    lines = SAMPLE.splitlines()
    assert record["functions"]["get_orders"] == {
        "params": ["db: Session", "status: str = None", "/", "*args", "limit=LIMIT", "**kwargs"],
        "returns": "list[OrderResponse]",
        "async": False,
        # Order of first appearance, no repeats; the nested helper and the
        # builtin len are left out, a same-file function is internal.
        "calls_internal": ["order_to_response", "helper"],
        "calls_external": ["db.query", "json.dumps"],
        "decorators": ['@router.get("/orders")', "@cache"],
        # From the first decorator to the last line of the body.
        "lines": [lines.index('@router.get("/orders")'), lines.index("    return [order_to_response(r) for r in rows] + [json.dumps(limit), db.query(1), helper()]")],
        "description": "List orders.",
    }
    create = record["functions"]["create_order"]
    assert create["params"] == ["db", "*", "data: OrderCreate", "dry=False"]
    assert create["async"] is True and create["returns"] == "" and create["description"] == ""
    # A class defined in the same file is called from inside the file.
    assert create["calls_internal"] == ["Order"] and create["calls_external"] == []
    assert record["functions"]["helper"]["calls_external"] == ["schemas.x"]

    cls = record["classes"]["OrderResponse"]
    assert cls["bases"] == ["BaseModel", "metaclass=Meta"]
    assert cls["methods"] == ["to_dict", "refresh", "total"]
    assert cls["description"] == "An order as the API returns it."
    assert list(record["classes"]) == ["OrderResponse", "Order"]

    # Dunder names are left out; a local of the same name hides the module
    # variable (create_order), a global declaration does not.
    assert record["variables"] == [
        {"name": "router", "used_by": []},
        {"name": "LIMIT", "used_by": ["get_orders", "order_to_response", "OrderResponse.to_dict"]},
    ]
    assert record["internal_graph"] == [
        {"from": "get_orders", "to": "order_to_response", "rel": "calls"},
        {"from": "get_orders", "to": "helper", "rel": "calls"},
        {"from": "create_order", "to": "Order", "rel": "calls"},
    ]
    # __future__ is left out; imports of one module are merged.
    assert record["imports"] == [
        {"module": "json", "names": []},
        {"module": "os.path", "names": ["join"]},
        {"module": ".models", "names": ["Order", "OrderCreate"]},
        {"module": ".", "names": ["schemas"]},
    ]


@pytest.mark.parametrize(
    "breaker",
    ["\f", "\v", "\x1c", "\x85", "\u2028", "\u2029"],
    ids=["formfeed", "vtab", "fs", "nel", "u2028", "u2029"],
)
@pytest.mark.parametrize("newline", ["\n", "\r\n"], ids=["lf", "crlf"])
def test_lines_cut_exact_bodies_with_extra_line_breaks(tmp_path, breaker, newline):
    # The breaker sits where the parser accepts it: a form feed at the start
    # of a line, the others inside strings and comments.
    lead = "\f" if breaker == "\f" else ""
    source = (
        f'"""Doc{breaker}string."""\n'
        f"X = 'a{breaker}b'\n"
        f"{lead}\n"
        f"@decorate  # note{breaker}more\n"
        f"def first(a):\n"
        f"    s = 'x{breaker}y'\n"
        f"    return s\n"
        f"\n"
        f"{lead}class Second:\n"
        f"    def method(self):  # end{breaker}\n"
        f"        return 2\n"
        f"\n"
        f"def third(): return 3\n"
    ).replace("\n", newline)
    path = write(tmp_path, "mod.py", source)
    index_project(tmp_path, jobs=1)
    store, graph = load(tmp_path)
    lines = packer_lines(path)
    record = store["mod.py"]
    first = record["functions"]["first"]["lines"]
    assert lines[first[0]] == "@decorate  # note"
    assert lines[first[1]] == "    return s"
    assert "\n".join(lines[first[0] : first[1] + 1]).count("def first") == 1
    third = record["functions"]["third"]["lines"]
    assert lines[third[0]] == lines[third[1]] == "def third(): return 3"
    symbols = {n["name"]: n for n in graph["nodes"] if n["kind"] == "symbol"}
    assert lines[symbols["Second"]["line_start"]] == "class Second:"
    assert lines[symbols["Second.method"]["line_start"]] == "    def method(self):  # end"
    assert lines[symbols["Second.method"]["line_end"]] == "        return 2"
    assert record["classes"]["Second"]["lines"] == [symbols["Second"]["line_start"], symbols["Second"]["line_end"]]


def test_bom_and_coding_cookie(tmp_path):
    write(tmp_path, "bom.py", '\ufeff"""With a BOM."""\ndef f():\n    return "é"\n')
    write(tmp_path, "latin.py", '# -*- coding: latin-1 -*-\n"""Caf\xe9."""\ndef g():\n    return 1\n', encoding="latin-1")
    stats = index_project(tmp_path, jobs=1)
    store, _ = load(tmp_path)
    assert stats.unparsable == []
    assert store["bom.py"]["description"] == "With a BOM."
    assert store["bom.py"]["functions"]["f"]["lines"] == [1, 2]
    assert store["latin.py"]["description"] == "Café."
    assert store["latin.py"]["functions"]["g"]["lines"] == [2, 3]


def test_unparsable_files_are_listed_not_fatal(tmp_path, capsys):
    write(tmp_path, "good.py", "def ok():\n    pass\n")
    write(tmp_path, "bad.py", "def broken(:\n")
    (tmp_path / "nul.py").write_bytes(b"x = 1\x00\n")
    (tmp_path / "binary.py").write_bytes(b"x = '\xff\xfe'\n")
    assert main([str(tmp_path), "-j", "1"]) == 0
    out, err = capsys.readouterr()
    assert "indexed 1 file:" in out and "3 unparsable" in out
    for name in ("bad.py", "nul.py", "binary.py"):
        assert f"cannot parse {name}" in err
    store, graph = load(tmp_path)
    assert list(store) == ["good.py"]
    # Still part of the project: a file node without a summary.
    files = [n["id"] for n in graph["nodes"] if n["kind"] == "file"]
    assert files == ["bad.py", "binary.py", "good.py", "nul.py"]


def test_skip_rules(tmp_path):
    write(tmp_path, "keep/mod.py", "def kept(): pass\n")
    write(tmp_path, "venv/__init__.py", "")  # a package that happens to be named venv
    for rel in (
        ".git/hooks/h.py",
        "__pycache__/m.py",
        "build/lib/m.py",
        "dist/m.py",
        "node_modules/pkg/m.py",
        ".hidden/m.py",
        ".venv/lib/m.py",
        "myenv/lib/m.py",
        "conda/lib/m.py",
        "pkg.egg-info/m.py",
    ):
        write(tmp_path, rel, "def skipped(): pass\n")
    write(tmp_path, "myenv/pyvenv.cfg", "home = /usr/bin\n")
    (tmp_path / "conda" / "conda-meta").mkdir()
    write(tmp_path, "big.py", "x = 1\n" + "#" * 5000 + "\n")
    outside = tmp_path.parent / (tmp_path.name + "-outside")
    write(outside, "secret.py", "def leaked(): pass\n")
    os.symlink(outside / "secret.py", tmp_path / "link_out.py")
    os.symlink(outside, tmp_path / "dir_out")
    os.symlink(tmp_path / "keep" / "mod.py", tmp_path / "alias.py")  # inside: indexed once
    os.symlink(tmp_path / "keep", tmp_path / "keep_again")
    os.symlink(tmp_path / "missing.py", tmp_path / "dangling.py")
    write(tmp_path, "odd::name.py", "def lost(): pass\n")
    write(tmp_path, "odd::dir/mod.py", "def lost(): pass\n")

    stats = index_project(tmp_path, jobs=1, max_file_bytes=4096)
    store, _ = load(tmp_path)
    assert sorted(store) == ["keep/mod.py", "venv/__init__.py"]
    assert dict(stats.skipped) == {
        "big.py": "larger than 4096 bytes",
        "dangling.py": "broken link",
        "dir_out": "link leads outside the project root",
        "link_out.py": "link leads outside the project root",
        "odd::dir/mod.py": 'path holds "::", which separates file and symbol in identifiers',
        "odd::name.py": 'path holds "::", which separates file and symbol in identifiers',
    }
    assert stats.skipped_dirs == 9 and stats.vendored == ["node_modules/"]


@pytest.mark.parametrize(
    "marker, gitignore, counts",
    [
        ("bin/activate", "", (1, 0, [])),
        ("Scripts/activate", "", (1, 0, [])),
        ("bin/python", "", (0, 0, [])),  # a bin folder alone is not an environment
        ("pyvenv.cfg", "env/\n", (1, 0, [])),  # an environment, ignored or not
        ("bin/python", "env/\n", (0, 1, [])),
    ],
)
def test_an_environment_is_told_by_what_it_holds(tmp_path, marker, gitignore, counts):
    write(tmp_path, "env/lib/m.py", "def f(): pass\n")
    write(tmp_path, f"env/{marker}", "")
    write(tmp_path, "vendor/pyvenv.cfg", "")  # an environment first, vendored code second
    write(tmp_path, "vendor/m.py", "")
    write(tmp_path, "keep.py", "")
    write(tmp_path, ".gitignore", gitignore)
    stats = index_project(tmp_path, jobs=1)
    walked = counts == (0, 0, [])
    assert (stats.skipped_dirs - 1, stats.ignored, stats.vendored) == counts
    assert stats.files == 1 + walked


def test_link_to_a_file_outside_any_walked_folder_is_indexed(tmp_path):
    write(tmp_path, "build/gen.py", "def generated(): pass\n")
    os.symlink(tmp_path / "build" / "gen.py", tmp_path / "gen.py")
    index_project(tmp_path, jobs=1)
    store, _ = load(tmp_path)
    assert list(store) == ["gen.py"]


def test_graph_nodes_and_edges(tmp_path):
    write(tmp_path, "src/shop/__init__.py", '"""Shop."""\nfrom .base import Model\n')
    write(tmp_path, "src/shop/base.py", '"""Base."""\nclass Model:\n    def save(self): pass\n\ndef make(): pass\n')
    write(
        tmp_path,
        "src/shop/orders.py",
        '"""Orders."""\nimport shop.base\nfrom shop import Model\nfrom . import base as b\n'
        "class Order(Model):\n    def place(self):\n        return b.make()\n\n"
        "def run():\n    shop.base.make()\n",
    )
    write(tmp_path, "tools/script.py", "import helper\nhelper.go()\n")
    write(tmp_path, "tools/helper.py", "def go(): pass\n")
    stats = index_project(tmp_path, jobs=1)
    _, graph = load(tmp_path)
    assert graph["version"] == 1
    assert [n["id"] for n in graph["nodes"]] == [
        "src/shop/__init__.py",
        "src/shop/base.py",
        "src/shop/base.py::Model",
        "src/shop/base.py::Model.save",
        "src/shop/base.py::make",
        "src/shop/orders.py",
        "src/shop/orders.py::Order",
        "src/shop/orders.py::Order.place",
        "src/shop/orders.py::run",
        "tools/helper.py",
        "tools/helper.py::go",
        "tools/script.py",
    ]
    nodes = {n["id"]: n for n in graph["nodes"]}
    assert nodes["src/shop/orders.py"] == {"id": "src/shop/orders.py", "kind": "file", "path": "src/shop/orders.py", "summary": "Orders."}
    assert nodes["src/shop/orders.py::Order.place"] == {
        "id": "src/shop/orders.py::Order.place",
        "kind": "symbol",
        "path": "src/shop/orders.py",
        "name": "Order.place",
        "symbol_kind": "method",
        "line_start": 5,
        "line_end": 6,
    }
    edges = [(e["rel"], e["from"], e["to"]) for e in graph["edges"] if e["rel"] != "contains"]
    assert edges == [
        ("imports", "src/shop/__init__.py", "src/shop/base.py"),
        ("imports", "src/shop/orders.py", "src/shop/__init__.py"),
        ("imports", "src/shop/orders.py", "src/shop/base.py"),
        ("imports", "tools/script.py", "tools/helper.py"),
        ("calls", "src/shop/orders.py", "src/shop/base.py"),
        ("calls", "tools/script.py", "tools/helper.py"),
        # Base class re-exported by the package: resolved to where it lives.
        ("extends", "src/shop/orders.py", "src/shop/base.py"),
    ]
    contains = [(e["from"], e["to"]) for e in graph["edges"] if e["rel"] == "contains"]
    assert contains == sorted(contains) and len(contains) == 7
    assert stats.edges == len(graph["edges"]) and stats.nodes == len(graph["nodes"])


def test_parallel_run_writes_the_same_files(tmp_path, monkeypatch):
    for i in range(6):
        write(tmp_path, f"pkg/m{i}.py", f'"""Module {i}."""\nfrom .m{(i + 1) % 6} import f{(i + 1) % 6}\ndef f{i}():\n    return f{(i + 1) % 6}()\n')
    index_project(tmp_path, jobs=1)
    serial = snapshot(tmp_path)
    monkeypatch.setattr(indexer_run, "PARALLEL_MIN_FILES", 1)
    index_project(tmp_path, jobs=2)
    parallel = snapshot(tmp_path)
    assert parallel == serial
    assert b'"calls"' in serial[1]


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_a_failed_write_keeps_a_consistent_set(tmp_path, monkeypatch, failing):
    write(tmp_path, "a.py", '"""First."""\n')
    index_project(tmp_path, jobs=1)
    vestra = tmp_path / ".vestra"
    names = [".gitignore", "digests.json", "graph.json", "identities.json", "index-cache.db", "manifest.json", "search.db", "search.db-shm",
             "search.db-wal", "structured_summaries.json"]
    before = {n: (vestra / n).read_bytes() for n in names if n != "search.db-shm"}
    write(tmp_path, "a.py", '"""Second."""\n')
    real = getattr(atomic.os, failing)
    calls = []

    def fail_on_the_graph(*args):
        calls.append(args)
        if len(calls) == 2:  # the store's went through
            raise OSError(28, "No space left on device")
        return real(*args)

    monkeypatch.setattr(atomic.os, failing, fail_on_the_graph)
    with pytest.raises(OSError) as failed:
        index_project(tmp_path, jobs=1)
    monkeypatch.undo()
    # Told of the file the user knows, not of the temporary that stood in for it.
    assert str(failed.value) == f"{vestra / 'graph.json'}: No space left on device"
    assert sorted(os.listdir(vestra)) == names
    if failing == "fsync":  # nothing replaced
        assert {n: (vestra / n).read_bytes() for n in before} == before
    else:  # the new store beside the old graph is told apart
        assert (vestra / "graph.json").read_bytes() == before["graph.json"]
        assert mixed_set_problem(tmp_path, json.loads(before["graph.json"])["generation"]) is not None
    index_project(tmp_path, jobs=1)
    store, graph = load(tmp_path)
    assert store["a.py"]["description"] == "Second."
    assert mixed_set_problem(tmp_path, graph["generation"]) is None


def test_recorded_identities_spare_the_hash_but_not_an_edit(tmp_path, monkeypatch):
    write(tmp_path, "a.py", '"""First."""\n')
    index_project(tmp_path, jobs=1)
    generation = load(tmp_path)[1]["generation"]
    with monkeypatch.context() as patch:
        patch.setattr(hashlib, "sha256", None)  # any hashing fails the check
        assert mixed_set_problem(tmp_path, generation) is None
    store = tmp_path / ".vestra" / "structured_summaries.json"
    store.write_bytes(store.read_bytes().replace(b"First", b"Fjrst"))  # same size, same inode
    assert mixed_set_problem(tmp_path, generation) is not None


@pytest.mark.parametrize("checked", [True, False])
def test_a_copied_project_is_vouched_for_again_by_a_run_that_finds_nothing_changed(tmp_path, monkeypatch, checked):
    from tarnwick.indexer import revouch
    from tarnwick.search.reader import IndexCorpus

    original, copy = tmp_path / "original", tmp_path / "copy"
    for i in range(3):
        write(original, f"m{i}.py", f'"""Module {i}."""\n\ndef f{i}():\n    return {i}\n')
    index_project(original, jobs=1)
    shutil.copytree(original, copy)  # the same bytes and times, new inodes and change times
    data = copy / ".vestra"

    def vouched() -> bool:
        index = IndexCorpus(copy, str(data / "search.db"))
        try:
            return index.vouches_for(os.stat(data / "graph.json"))
        finally:
            index.close()

    assert not vouched()
    kept = {name: (data / name).read_bytes() for name in ("graph.json", "structured_summaries.json", "manifest.json")}
    if not checked:  # the files' bytes not checked again (a clock too coarse to wait out): nothing vouched
        monkeypatch.setattr(revouch, "record_identities", lambda *args, **kwargs: None)
    index_project(copy, jobs=1)
    assert vouched() is checked
    assert {name: (data / name).read_bytes() for name in kept} == kept
    if checked:
        with monkeypatch.context() as patch:
            patch.setattr(hashlib, "sha256", None)  # vouched for: no query hashes them
            assert mixed_set_problem(copy, load(copy)[1]["generation"], ("structured_summaries.json", "graph.json")) is None
    # An edit after it is still seen.
    write(copy, "m1.py", '"""Changed."""\n')
    index_project(copy, jobs=1)
    assert load(copy)[0]["m1.py"]["description"] == "Changed."
    assert vouched()


def _older_manifest(data):
    # As older runs wrote it: each file's SHA-256 whole, and no chunk list.
    manifest = json.loads((data / "manifest.json").read_text())
    for name, entry in manifest["files"].items():
        entry["sha256"] = hashlib.sha256((data / name).read_bytes()).hexdigest()
        del entry[CHUNKED]
    (data / "manifest.json").write_text(json.dumps(manifest))
    (data / "digests.json").unlink()


def _chunk_list(change):
    def edit(data):
        lists = json.loads((data / "digests.json").read_text())
        change(lists["files"]["structured_summaries.json"])
        (data / "digests.json").write_text(json.dumps(lists))

    return edit


def _store_edited(data):
    store = data / "structured_summaries.json"
    store.write_bytes(store.read_bytes().replace(b"First", b"Fjrst"))


# What becomes of a set whose identities are lost (copied elsewhere, say):
# its digests are then checked, and whether the set is found whole.
UNVOUCHED = {
    "as written": (lambda data: None, True),
    "the store edited": (_store_edited, False),
    "an older manifest": (_older_manifest, True),
    "an older manifest, the store edited": (lambda data: (_older_manifest(data), _store_edited(data)), False),
    "no chunk list": (lambda data: (data / "digests.json").unlink(), False),
    "a damaged chunk list": (lambda data: (data / "digests.json").write_text('{"files": [1'), False),
    "a chunk list that is not JSON's object": (lambda data: (data / "digests.json").write_text("[]"), False),
    "a chunk's digest changed": (_chunk_list(lambda entry: entry.update(sha256="00" + entry["sha256"][2:])), False),
    "a digest cut short": (_chunk_list(lambda entry: entry.update(sha256=entry["sha256"][:-2])), False),
    "a chunk's length changed": (_chunk_list(lambda entry: entry["lengths"].__setitem__(0, entry["lengths"][0] + 1)), False),
    "a length that is not a count": (_chunk_list(lambda entry: entry["lengths"].__setitem__(0, 1.5)), False),
    "the chunk list a link": (
        lambda data: (os.rename(data / "digests.json", data.parent / "d.json"), os.symlink("../d.json", data / "digests.json")),
        True,
    ),
}


@pytest.mark.parametrize("change", UNVOUCHED)
def test_a_set_without_identities_is_checked_by_its_digests(tmp_path, change):
    for i in range(4):
        write(tmp_path, f"m{i}.py", f'"""First {i}."""\n\ndef f{i}():\n    return {i}\n')
    index_project(tmp_path, jobs=1)
    data = tmp_path / ".vestra"
    generation = load(tmp_path)[1]["generation"]
    (data / "identities.json").unlink()
    alter, whole = UNVOUCHED[change]
    alter(data)
    names = ("structured_summaries.json", "graph.json")
    assert (mixed_set_problem(tmp_path, generation, names) is None) is whole
    # The next run writes a set that holds, whatever it found.
    write(tmp_path, "m1.py", '"""Second."""\n')
    index_project(tmp_path, jobs=1)
    (data / "identities.json").unlink()
    assert mixed_set_problem(tmp_path, load(tmp_path)[1]["generation"], names) is None
    assert CHUNKED in json.loads((data / "manifest.json").read_text())["files"]["graph.json"]


@pytest.mark.parametrize("written, read", [("as placed", False), ("none", True), ("an earlier write", True)])
def test_identities_are_vouched_for_without_reading_what_the_run_wrote(tmp_path, monkeypatch, written, read):
    from types import SimpleNamespace

    from tarnwick import datadir

    write(tmp_path, "a.py", '"""First."""\n')
    index_project(tmp_path, jobs=1)
    data = tmp_path / ".vestra"
    (data / "identities.json").unlink()
    names = ("structured_summaries.json", "graph.json")
    for name in names:  # placed in a later tick than written
        while os.stat(data / name).st_ctime_ns <= os.stat(data / name).st_mtime_ns:
            os.chmod(data / name, 0o644)
    placed = {name: os.stat(data / name) for name in names}
    status = {
        "as placed": placed,
        "none": None,
        "an earlier write": {name: SimpleNamespace(**{k: getattr(placed[name], k) for k in ("st_dev", "st_ino", "st_size")}, st_mtime_ns=1) for name in names},
    }[written]
    reads = []
    real = datadir.read_regular_file
    monkeypatch.setattr(datadir, "read_regular_file", lambda path, limit: reads.append(path) or real(path, limit))
    manifest = (data / "manifest.json").read_bytes()
    datadir.record_identities(str(data), json.loads(manifest)["generation"], manifest, placed, lambda d, c: True, status)
    assert bool(reads) == read and (data / "identities.json").exists()


def test_lone_surrogate_keeps_the_store_valid_utf8(tmp_path):
    write(tmp_path, "s.py", 'def f():\n    "bad \\ud800 doc"\n')
    index_project(tmp_path, jobs=1)
    raw = (tmp_path / ".vestra" / "structured_summaries.json").read_bytes()
    store = json.loads(raw.decode("utf-8"))
    assert store["s.py"]["functions"]["f"]["description"] == "bad \ud800 doc"


def test_cli_summary_line_and_errors(tmp_path, capsys):
    write(tmp_path, "m.py", "class A:\n    def m(self): pass\ndef f(): pass\n")
    assert main([str(tmp_path), "--quiet"]) == 0
    out, err = capsys.readouterr()
    assert out.startswith("indexed 1 file: 1 function, 1 method, 1 class, 3 edges; 0 skipped, 0 unparsable; ")
    assert out.rstrip().endswith("s") and out.count("\n") == 1 and err == ""
    assert main([str(tmp_path / "m.py")]) == 2
    assert "not a directory" in capsys.readouterr().err


def test_progress_counter_on_stderr(tmp_path, capsys):
    for i in range(3):
        write(tmp_path, f"m{i}.py", "")
    index_project(tmp_path, jobs=1, progress=True)
    err = capsys.readouterr().err
    assert err.endswith("indexing: 3/3 files\n")


def test_sample_project_data_is_current(tmp_path):
    # The committed example data must be what the indexer writes today.
    import shutil

    sample = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
    copy = tmp_path / "bookshelf"
    shutil.copytree(sample, copy, ignore=shutil.ignore_patterns(".vestra", "__pycache__"))
    index_project(copy, jobs=1)
    assert snapshot(copy) == snapshot(sample)
    graph = json.loads((sample / ".vestra" / "graph.json").read_text(encoding="utf-8"))
    assert mixed_set_problem(sample, graph["generation"]) is None


def run_index(*args, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "tarnwick.cli.index", *args], capture_output=True, text=True, timeout=120, **kwargs
    )


def deep_file(root: Path, terms: int) -> None:
    # Legal Python that nests one level per operator: deep enough to overflow
    # the default C stack inside the interpreter's parser.
    write(root, "deep.py", "x = " + "+".join(["1"] * terms) + "\n")


def test_a_file_that_overflows_the_parser_stack_is_indexed(tmp_path):
    deep_file(tmp_path, 300_000)
    write(tmp_path, "a.py", "def f(): pass\n")
    result = run_index(str(tmp_path), "-j", "1")
    assert result.returncode == 0, result.stderr
    store, _ = load(tmp_path)
    # Newer interpreters refuse such nesting with a RecursionError of their own.
    refused = result.stderr.startswith("tarnwick-index: cannot parse deep.py: RecursionError")
    assert sorted(store) == (["a.py"] if refused else ["a.py", "deep.py"])


@pytest.mark.skipif(multiprocessing.get_start_method() != "fork", reason="the stand-ins need forked workers")
@pytest.mark.parametrize("fault, reason", [("crash", "the parser crashed (SIGKILL)"), ("hang", "gave up after 1 s")])
def test_a_worker_that_dies_or_hangs_costs_only_its_file(tmp_path, monkeypatch, fault, reason):
    for i in range(20):
        write(tmp_path, f"m{i:02}.py", f"def f{i}(): pass\n")
    real = pool.summarize_file

    def misbehave_on(task):
        if task[0] in ("m03.py", "m11.py"):
            if fault == "hang":
                time.sleep(60)
            # Dies on this very file; SIGKILL, which no sanitizer runtime turns into another signal.
            os.kill(os.getpid(), signal.SIGKILL)
        return real(task)

    monkeypatch.setattr(pool, "summarize_file", misbehave_on)
    monkeypatch.setattr(pool, "FILE_TIMEOUT", 1.0)
    monkeypatch.setattr(indexer_run, "PARALLEL_MIN_FILES", 1)
    stats = index_project(tmp_path, jobs=2)
    assert stats.unparsable == [("m03.py", reason), ("m11.py", reason)]
    assert stats.files == 18


# Runs the indexer with one file that holds its worker until the test has
# sent a signal; forked workers inherit the stand-in.
# A suite started with SIGINT ignored (`nohup ... &`) hands that on to the child: it gets the
# interpreter's own handler back, as when started from an interactive shell.
SLOW_RUN = """
import signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
from tarnwick.cli import index
from tarnwick.indexer import pool
real = pool.summarize_file
def slow(task):
    if task[0] == "slow.py":
        open(sys.argv[2], "w").close()
        time.sleep(60)
    return real(task)
pool.summarize_file = slow
sys.exit(index.main([sys.argv[1], "-j", "2"]))
"""


@pytest.mark.parametrize("signum, status, line", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")])
def test_a_stopped_run_ends_with_one_line_and_keeps_the_old_files(tmp_path, signum, status, line):
    project, started = tmp_path / "p", tmp_path / "started"
    for i in range(60):
        write(project, f"m{i:02}.py", f"def f{i}(): pass\n")
    index_project(project, jobs=1)
    before = sorted((p.name, p.read_bytes()) for p in (project / ".vestra").iterdir())
    write(project, "slow.py", "")
    process = subprocess.Popen(
        [sys.executable, "-c", SLOW_RUN, str(project), str(started)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )
    deadline = time.monotonic() + 60
    while not started.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    # A terminal sends Ctrl-C to the whole process group; SIGTERM goes to the parent alone.
    if signum == signal.SIGINT:
        os.killpg(process.pid, signum)
    else:
        process.send_signal(signum)
    out, err = process.communicate(timeout=30)
    assert (process.returncode, out, err) == (status, "", f"tarnwick-index: {line}\n")
    assert sorted((p.name, p.read_bytes()) for p in (project / ".vestra").iterdir()) == before


def test_termination_while_writing_leaves_no_temporary(tmp_path, monkeypatch, capsys):
    write(tmp_path, "a.py", "def f(): pass\n")
    index_project(tmp_path, jobs=1)
    before = sorted((p.name, p.read_bytes()) for p in (tmp_path / ".vestra").iterdir())
    write(tmp_path, "a.py", "def g(): pass\n")
    real = atomic.os.fsync

    def terminated_midway(fd):
        os.kill(os.getpid(), signal.SIGTERM)
        return real(fd)

    monkeypatch.setattr(atomic.os, "fsync", terminated_midway)
    assert main([str(tmp_path), "-q"]) == 143
    assert capsys.readouterr().err == "tarnwick-index: terminated\n"
    assert sorted((p.name, p.read_bytes()) for p in (tmp_path / ".vestra").iterdir()) == before


def test_a_source_swapped_for_a_fifo_is_not_read(tmp_path):
    os.mkfifo(tmp_path / "p.py")  # a reader that opened it would wait for a writer forever
    assert summarize_file(("p.py", str(tmp_path / "p.py"))).error == "cannot read: not a regular file"


def test_stale_temporaries_are_swept(tmp_path):
    write(tmp_path, "a.py", "")
    vestra = tmp_path / ".vestra"
    vestra.mkdir()
    finished = subprocess.Popen([sys.executable, "-c", ""])
    finished.wait()
    stale = [
        ".structured_summaries.json.ab12cd34.tmp",
        f".graph.json.{finished.pid}.k2j4_x.tmp",
        f".search.sqlite.{finished.pid}.k2j4_x.tmp-journal",
    ]
    live = [f".graph.json.{os.getppid()}.k2j4_x.tmp", "notes.tmp"]
    for name in stale + live:
        (vestra / name).write_text("x")
    os.utime(vestra / stale[0], (0, 0))
    index_project(tmp_path, jobs=1)
    assert sorted(p.name for p in vestra.iterdir()) == sorted(
        live + [".gitignore", "digests.json", "graph.json", "identities.json", "index-cache.db", "manifest.json", "search.db", "search.db-shm",
                "search.db-wal", "structured_summaries.json"]
    )


@pytest.mark.parametrize("kind", ["link", "file"])
def test_a_data_dir_that_is_not_a_real_folder_is_refused(tmp_path, kind):
    project, elsewhere = tmp_path / "p", tmp_path / "elsewhere"
    write(project, "a.py", "")
    elsewhere.mkdir()
    if kind == "link":
        (project / ".vestra").symlink_to(elsewhere)
    else:
        (project / ".vestra").write_text("")
    result = run_index(str(project))
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"tarnwick-index: {project / '.vestra'} is a link or a file, not a folder of the project; nothing written\n"
    assert list(elsewhere.iterdir()) == []


def test_progress_with_standard_error_closed(tmp_path):
    write(tmp_path, "a.py", "def f(): pass\n")
    result = subprocess.run(
        f'exec "{sys.executable}" -m tarnwick.cli.index --progress "{tmp_path}" 2>&-', shell=True, capture_output=True, text=True
    )
    assert result.returncode == 0 and result.stdout.startswith("indexed 1 file:")
    assert "f" in load(tmp_path)[0]["a.py"]["functions"]


def test_modules_that_star_import_each_other_resolve_in_linear_time(tmp_path, monkeypatch):
    n = 16
    for i in range(n):
        stars = "".join(f"from .m{j} import *\n" for j in range(n) if j != i)
        write(tmp_path, f"pkg/m{i}.py", f"{stars}def f{i}():\n    return f{(i + 1) % n}() + nowhere()\n")
    write(tmp_path, "pkg/__init__.py", "")
    looked_up = []
    real = resolve_python.Resolver.module_file

    def counted(self, *args):
        looked_up.append(args)
        if len(looked_up) > 20 * n * n:  # a search over every path needs millions
            raise AssertionError("the star-import search revisits modules")
        return real(self, *args)

    monkeypatch.setattr(resolve_python.Resolver, "module_file", counted)
    index_project(tmp_path, jobs=1)
    _, graph = load(tmp_path)
    calls = {(e["from"], e["to"]) for e in graph["edges"] if e["rel"] == "calls"}
    assert calls == {(f"pkg/m{i}.py", f"pkg/m{(i + 1) % n}.py") for i in range(n)}


def test_lean_store_renders_like_the_full_one(tmp_path, monkeypatch):
    # The store leaves out members that hold their readers' defaults; every
    # rendering of the sample projects must be what the full records give.
    from tarnwick import context, context_packer as cp, vx

    here = Path(__file__).resolve().parent
    roots = {}
    for form in ("lean", "full"):
        root = roots[form] = tmp_path / form
        for sample in sorted((here / "samples").iterdir()):
            shutil.copytree(sample, root / sample.name)
        shutil.copytree(here.parent / "examples" / "bookshelf" / "bookshelf", root / "bookshelf")
        with monkeypatch.context() as m:
            if form == "full":
                m.setattr(output, "lean_record", lambda record: record)
            index_project(root, jobs=1)
    (lean, _), (full, _) = load(roots["lean"]), load(roots["full"])
    size = {form: (root / ".vestra" / "structured_summaries.json").stat().st_size for form, root in roots.items()}
    assert size["lean"] < 0.9 * size["full"] and list(lean) == list(full)
    for path, record in full.items():
        for render in (cp.expand_summary, cp.condense_summary):
            assert render(lean[path]) == render(record), path
    queries = {f"{Path(path).stem} {' '.join(record.get('functions', {}))}" for path, record in full.items()}
    for query in sorted(queries):
        blocks = []
        for root in roots.values():
            with vx.project(root):
                blocks.append((cp.pack_for_query(query, root), context.build(query, root)))
        assert blocks[0] == blocks[1], query


def test_files_in_languages_not_read_are_counted_in_the_summary(tmp_path, capsys):
    for rel in ("m.py", "native/fast.c", "native/fast.h", "native/vec.cpp", "app/models/user.rb", "build.sh",
                "notes.txt", "data.json", "gen/skip.c", ".hidden/x.rb"):
        write(tmp_path, rel, "")
    write(tmp_path, ".gitignore", "gen/\n")
    stats = index_project(tmp_path, jobs=1)
    assert stats.unsupported == {"C": 2, "C++": 1, "Ruby": 1, "shell": 1}
    assert ", 5 in languages not read;" in stats.summary_line()
    for rel in ("native/fast.c", "native/fast.h", "native/vec.cpp", "app/models/user.rb", "build.sh"):
        (tmp_path / rel).unlink()
    assert "languages not read" not in index_project(tmp_path, jobs=1).summary_line()


@pytest.mark.parametrize("count, other_edges", [(0, False), (1, False), (1, True), (3000, False), (3000, True)])
def test_the_data_files_written_file_by_file_parse_whole(tmp_path, count, other_edges):
    from tarnwick.indexer.linkage import EDGE_KINDS
    from tarnwick.indexer.writer import StoredRecords, read_list, write_outputs

    # Files that did not parse (every seventh), of two nodes or one (with a
    # lone surrogate in some), without "contains" edges (every other one).
    paths = [f"m{i}.py" for i in range(count)]
    parsed = {path: None for i, path in enumerate(paths) if i % 7 != 3}

    def texts(path):
        i = int(path[1:-3])
        nodes = [{"id": path, "n": f"é{i}"}] + ([{"id": f"{path}::f\udcff"}] if i % 5 == 0 else [])
        contains = [] if i % 2 else [{"from": path, "to": f"{path}::f"}]
        return json.dumps({"i": i}), ",\n".join(map(output.encode, nodes)), ",\n".join(map(output.encode, contains))

    checked = []
    edges = {path: [[f"t{kind}"] if other_edges and kind != 1 else [] for kind in range(len(EDGE_KINDS))] for path in parsed}
    outputs = write_outputs(str(tmp_path), paths, parsed, texts, lambda path, record: checked.append(path), edges, "g1")
    try:
        nodes, contains = [], []
        for path in paths:
            if path in parsed:
                _, node_text, contains_text = texts(path)
                nodes += json.loads(f"[{node_text}]")
                contains += json.loads(f"[{contains_text}]")
            else:
                nodes.append(output.file_node(path, ""))
        others = [output.edge(path, f"t{kind}", rel) for kind, rel in enumerate(EDGE_KINDS) for path in parsed if edges[path][kind]]
        graph = Path(outputs.graph.tmp).read_bytes()
        store = Path(outputs.store.tmp).read_bytes()
        assert json.loads(graph) == {"version": 1, "generation": "g1", "nodes": nodes, "edges": others + contains}
        assert json.loads(store) == {path: json.loads(texts(path)[0]) for path in parsed}
        # One value a line.
        assert graph.count(b"\n") == 8 + len(nodes) + len(others + contains) - (not nodes) - (not others + contains)
        for out, data in ((outputs.graph, graph), (outputs.store, store)):
            lengths = outputs.layout.chunk_lengths(out.name)
            assert sum(lengths) == len(data) and min(lengths) > 0
            assert out.digest() == {"size": len(data), CHUNKED: chunked_root(lengths, chunk_digests(data, lengths))}
        for chunk in (5, 64, 1 << 20):  # chunks cut inside values, between them, and whole
            assert read_list(outputs.graph.tmp, outputs.node_span, chunk) == nodes
            assert read_list(outputs.graph.tmp, outputs.edge_span, chunk) == others + contains
        records = StoredRecords(outputs)
        assert [records.pop(path) for path in parsed] == [texts(path)[0] for path in parsed] and checked == list(parsed)
        # Asked again (a build that falls back to the whole graph): read again.
        assert [records.pop(path) for path in parsed] == [texts(path)[0] for path in parsed]
        records.close()
    finally:
        outputs.discard()
    assert os.listdir(tmp_path) == []
