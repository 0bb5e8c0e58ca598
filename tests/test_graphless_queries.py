"""An index without `.vestra/graph.json`: found, read and answered from as
one with it, the graph coming from the search index's copy."""

import asyncio
import json
import os
import shutil
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import copy_indexed
from tarnwick import context, freshness, vx
from tarnwick.cli.main import main
from tarnwick.errors import GraphError, NoIndexError
from tarnwick.graph import GRAPH_LIMIT, load_graph, release_search_indexes
from tarnwick.indexer import index_project
from tarnwick.project import find_root, resolve_root
from tarnwick.search import reader

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
BIN = Path(sys.executable).parent
QUERY = "how are overdue loans detected"
EMPTY = {"nodes": [], "edges": []}


@pytest.fixture
def indexed(tmp_path):
    root = tmp_path / "p"
    copy_indexed(SAMPLE, root)
    return root


@pytest.fixture
def graphless(indexed):
    (indexed / ".vestra" / "graph.json").unlink()
    return indexed


def data(root, name):
    return root / ".vestra" / name


def whole_graph(root, defer=False):
    with vx.project(root):
        if defer:
            vx.defer_next_graph()
        graph = load_graph()
        return graph, vx.take_notes()


# --- the same answers with and without the graph file -----------------------------


def packer_command(root):
    done = subprocess.run([str(BIN / "context-packer"), QUERY], cwd=root, capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def pack_for_query(root):
    from tarnwick import context_packer

    with vx.project(root):
        return context_packer.pack_for_query(QUERY, root, token_budget=3000), vx.take_notes()


def cli(argv):
    def run(root):
        done = subprocess.run([str(BIN / "tarnwick"), *argv], cwd=root / "bookshelf", capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    return run


def mcp_tools(root):
    # The server is an optional extra (the sanitizer's build leaves it out).
    pytest.importorskip("mcp")
    from mcp import Client

    from tarnwick import mcp_server

    async def talk():
        async with Client(mcp_server.create_server(root)) as client:
            block = await client.call_tool("project_context", {"query": QUERY, "token_budget": 2000})
            ranked = await client.call_tool("search_symbols", {"query": QUERY, "limit": 4})
            # Everything but the time each step took.
            return [
                (r.is_error, [c.text for c in r.content], {k: v for k, v in r.structured_content.items() if k != "timings_ms"})
                for r in (block, ranked)
            ]

    return asyncio.run(asyncio.wait_for(talk(), 60))


# Each way in: the library, the specified pipeline and its command, the
# commands from a folder inside the project, the MCP server.
@pytest.mark.parametrize("answer", [
    lambda root: context.build_result(QUERY, root, 2500).block,
    pack_for_query,
    packer_command,
    cli(["search", QUERY, "--json"]),
    mcp_tools,
], ids=["context", "pack_for_query", "context-packer", "tarnwick-search", "mcp"])
def test_answers_are_the_same_without_the_graph_file(indexed, answer):
    kept = answer(indexed)
    data(indexed, "graph.json").unlink()
    assert answer(indexed) == kept
    assert kept and "loans" in json.dumps(kept)


def test_an_index_written_without_the_graph_file_answers_as_one_with_it(tmp_path):
    answers = []
    for graph_file in (True, False):
        root = tmp_path / str(graph_file)
        shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns(".vestra"))
        index_project(root, jobs=1, graph_file=graph_file)
        assert data(root, "graph.json").exists() == graph_file
        result = context.build_result(QUERY, root, 2500)
        answers.append((result.block, result.warnings, context.search_result(QUERY, root), pack_for_query(root)))
    assert answers[0] == answers[1] and "find_overdue_loans" in answers[0][0]


def test_the_copy_is_the_graph_the_file_held_whole_or_deferred(graphless):
    assert whole_graph(graphless) == (json.loads((SAMPLE / ".vestra" / "graph.json").read_text()), [])
    with vx.project(graphless):
        vx.defer_next_graph()
        graph = load_graph()
        assert graph["nodes"] == [] and graph["generation"]
        first = vx.retrieve(graph, QUERY)
        assert {n["path"] for n in graph["nodes"]} == {f["id"] for f in first["files"]}  # the files found only
        assert vx.retrieve(graph, QUERY) == first  # a second query loads the rest first
        assert graph == json.loads((SAMPLE / ".vestra" / "graph.json").read_text())
        assert vx.take_notes() == []


# --- finding the project ------------------------------------------------------------


def make_fifo(path):
    path.unlink(missing_ok=True)
    os.mkfifo(path)


@pytest.mark.parametrize("change, found", [
    (lambda root: None, True),
    (lambda root: data(root, "manifest.json").unlink(), False),
    (lambda root: make_fifo(data(root, "manifest.json")), False),  # never opened, never a project
    (lambda root: data(root, "manifest.json").write_text('{"files": {}}'), False),  # made by hand: names no run
])
def test_a_project_is_found_by_its_manifest(graphless, no_hang, change, found):
    change(graphless)
    assert find_root(graphless / "bookshelf") == (graphless if found else None)
    if found:
        assert resolve_root(graphless) == graphless
    else:
        with pytest.raises(NoIndexError, match=f"^no index in {graphless}; build one with"):
            resolve_root(graphless)


def test_an_unindexed_folder_with_a_bad_manifest_does_not_hide_the_project_above(graphless):
    inner = graphless / "bookshelf"
    (inner / ".vestra").mkdir()
    make_fifo(inner / ".vestra" / "manifest.json")
    assert find_root(inner) == graphless


@pytest.mark.parametrize("linked", ["manifest.json", "graph.json"])
def test_a_manifest_or_graph_leading_outside_is_refused(tmp_path, graphless, capsys, linked):
    theirs = tmp_path / "theirs"
    copy_indexed(SAMPLE, theirs)
    if linked == "manifest.json":
        data(graphless, linked).rename(data(graphless, linked + ".ours"))
        data(graphless, linked).symlink_to(data(theirs, linked))
    else:  # a link to nothing would pass for no graph file, and the copy would answer instead
        data(graphless, linked).symlink_to(tmp_path / "gone" / linked)
    assert find_root(graphless / "bookshelf") == graphless  # found, and refused by name
    with pytest.raises(GraphError, match=f"^{data(graphless, linked)}: leads outside the project root$"):
        resolve_root(graphless)
    assert main(["search", QUERY, "--root", str(graphless)]) == 1
    assert capsys.readouterr() == ("", f"tarnwick: error: {data(graphless, linked)}: leads outside the project root\n")


def test_a_graph_file_keeps_deciding_where_there_is_one(tmp_path, indexed):
    outside = tmp_path / "outside.json"
    outside.write_text("{}")
    data(indexed, "manifest.json").unlink()
    data(indexed, "manifest.json").symlink_to(outside)  # not read while the graph file is there
    assert resolve_root(indexed) == indexed


# --- an index the copy cannot be taken from --------------------------------------------


def set_rows(root, *statements):
    release_search_indexes()  # this thread's snapshot would keep the writer out
    db = sqlite3.connect(data(root, "search.db"))
    for statement, *params in statements:
        db.execute(statement, params)
    db.commit()
    db.close()


def edit_manifest(change):
    def edit(root):
        path = data(root, "manifest.json")
        manifest = json.loads(path.read_text())
        change(manifest)
        path.write_text(json.dumps(manifest))

    return edit


def top_of_another_run(root):
    db = sqlite3.connect(data(root, "search.db"))
    (top,) = db.execute("SELECT data FROM graph WHERE name = 'top'").fetchone()
    others, keys = json.loads(top)
    others = [[k, "another" if k == "generation" else v] for k, v in others]
    db.execute("UPDATE graph SET data = ? WHERE name = 'top'", (json.dumps([others, keys]).encode(),))
    db.commit()
    db.close()


def link_elsewhere(name):
    def link(root):
        theirs = root.parent / "theirs"
        copy_indexed(SAMPLE, theirs)
        data(root, name).unlink()
        data(root, name).symlink_to(data(theirs, name))

    return link


NO_GRAPH = f"no graph to answer from"


@pytest.mark.parametrize("damage, noted", [
    (lambda root: make_fifo(data(root, "manifest.json")), f"{NO_GRAPH} (no usable manifest.json)"),
    (link_elsewhere("manifest.json"), f"{NO_GRAPH} (no usable manifest.json)"),
    (edit_manifest(lambda m: m.update(generation="another")),
     f"{NO_GRAPH} (search.db is not from the indexing run that wrote manifest.json)"),
    (lambda root: data(root, "search.db").unlink(), f"{NO_GRAPH} (no search index)"),
    (link_elsewhere("search.db"), "search.db: leads outside the project root"),
    (lambda root: set_rows(root, ("DELETE FROM graph",), ("DELETE FROM chunks",)), f"{NO_GRAPH} (search.db holds no copy of it)"),
    (top_of_another_run, f"{NO_GRAPH} (the search index's copy is of another run)"),
    (lambda root: set_rows(root, ("UPDATE graph SET data = ? WHERE name = 'top'", b"[" * 100_000)), "nested too deeply"),
])
@pytest.mark.parametrize("defer", [False, True])
def test_without_a_usable_copy_the_graph_is_empty_and_the_answer_says_why(graphless, no_hang, damage, noted, defer):
    damage(graphless)
    graph, notes = whole_graph(graphless, defer)
    assert graph == EMPTY
    (note,) = notes
    assert noted in note
    try:
        ranked, warnings = context.search_result(QUERY, graphless)  # every answer carries the remark
    except (NoIndexError, GraphError):  # no manifest that is a file inside: no index, to the commands
        assert "no usable manifest.json" in noted
        return
    assert ranked == [] and [w for w in warnings if noted in w]


def test_a_damaged_whole_copy_leaves_the_parts_to_the_files_found(graphless):
    expected = context.search_result(QUERY, graphless)[0]
    set_rows(graphless, ("UPDATE chunks SET data = substr(data, 1, 24)",))
    graph, (note,) = whole_graph(graphless)
    assert graph == EMPTY and "truncated" in note
    assert context.search_result(QUERY, graphless) == (expected, [])  # the chunks are not read


def test_nothing_indexed_is_the_empty_graph_without_a_remark(tmp_path):
    assert whole_graph(tmp_path) == (EMPTY, [])
    (tmp_path / ".vestra").mkdir()
    assert whole_graph(tmp_path) == (EMPTY, [])


def test_a_graph_link_to_nothing_inside_the_root_is_no_graph_file(graphless):
    data(graphless, "graph.json").symlink_to(data(graphless, "gone.json"))
    assert resolve_root(graphless) == graphless
    assert whole_graph(graphless) == (json.loads((SAMPLE / ".vestra" / "graph.json").read_text()), [])


# --- the bound on what a copy may take --------------------------------------------------


def set_meta(root, key, value):
    set_rows(root, ("UPDATE meta SET value = ? WHERE key = ?", value, key))


@pytest.mark.parametrize("size, limit", [
    (GRAPH_LIMIT, 4 * GRAPH_LIMIT + (1 << 20)),
    (1 << 62, 4 * GRAPH_LIMIT + (1 << 20)),  # no graph file could be larger
    ("1000", 1 << 20),
])
def test_the_copy_may_take_a_few_times_its_graph_and_never_more_than_the_largest(graphless, size, limit):
    set_meta(graphless, "size", size)
    index = reader.IndexCorpus(graphless, str(data(graphless, "search.db")))
    try:
        assert index.graph_bytes_limit() == limit
    finally:
        index.close()


def test_the_bound_holds_without_a_graph_file(graphless):
    db = sqlite3.connect(data(graphless, "search.db"))
    (size,) = db.execute("SELECT value FROM meta WHERE key = 'size'").fetchone()
    db.close()
    set_rows(graphless, ("UPDATE chunks SET data = zeroblob(?) WHERE rowid = 1", 4 * size + (1 << 20) + 1))
    graph, (note,) = whole_graph(graphless)
    assert graph == EMPTY and "more than its graph file could need" in note


# --- freshness ---------------------------------------------------------------------


def indexed_ns(root):
    db = sqlite3.connect(data(root, "search.db"))
    (value,) = db.execute("SELECT value FROM meta WHERE key = 'indexed_ns'").fetchone()
    db.close()
    return value


def drop_run_start(root):
    set_rows(root, ("DELETE FROM meta WHERE key = 'indexed_ns'",))


@pytest.mark.parametrize("keep_graph, damage, changed", [
    (True, None, ["bookshelf/api.py"]),  # the graph file's time
    (False, None, ["bookshelf/api.py"]),  # the run's start
    (False, drop_run_start, ["bookshelf/api.py"]),  # the manifest's time
    # A manifest of another run says nothing of when this graph was made.
    (False, lambda root: (drop_run_start(root), edit_manifest(lambda m: m.update(generation="another"))(root)),
     ["bookshelf/api.py", "bookshelf/loans.py"]),
], ids=["graph-file", "run-start", "manifest", "another-manifest"])
def test_files_without_a_record_are_judged_by_when_the_index_was_written(indexed, keep_graph, damage, changed):
    """Without the sources' records, a file modified after the index was written counts as
    changed and one modified before does not."""
    if not keep_graph:
        data(indexed, "graph.json").unlink()
    graph, _ = whole_graph(indexed)
    set_rows(indexed, ("DELETE FROM sources",))
    if damage is not None:
        damage(indexed)
    if keep_graph:
        written = data(indexed, "graph.json").stat().st_mtime_ns
    elif damage is None:
        written = indexed_ns(indexed)
    else:
        written = data(indexed, "manifest.json").stat().st_mtime_ns
    api, loans = indexed / "bookshelf" / "api.py", indexed / "bookshelf" / "loans.py"
    os.utime(api, ns=(written + 10**9, written + 10**9))
    os.utime(loans, ns=(written - 10**9, written - 10**9))
    assert freshness.changed_files(indexed, ["bookshelf/api.py", "bookshelf/loans.py"], graph) == changed
