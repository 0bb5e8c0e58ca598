"""Search indexes that change under concurrent queries, or come from someone else."""

import gc
import json
import os
import re
import signal
import subprocess
import sys
import sqlite3
import threading
import time
import zlib
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from conftest import as_a_user, copy_indexed, grows_linearly
from tarnwick import context, printable, vx
from tarnwick.cli.main import main
from tarnwick.indexer import index_project
from tarnwick.search import reader, store, tokens


def make_project(root, package, words):
    (root / package).mkdir(parents=True)
    for n, word in enumerate(words):
        (root / package / f"{word}.py").write_text(
            f'"""The {word} handling."""\ndef {word}_loans(amount):\n    return amount * {n}\n'
        )
    index_project(root, jobs=1)
    return root


@pytest.fixture
def two_projects(tmp_path):
    first = make_project(tmp_path / "a", "alpha", ["ledger", "interest", "payment"])
    second = make_project(tmp_path / "b", "beta", ["ledger", "schedule", "payment"])
    return first, second


def test_concurrent_queries_survive_their_index_being_replaced(two_projects):
    """Each thread keeps its own connection: a thread that sees a new search.db never
    closes one another thread is reading through."""
    roots = two_projects
    spares = []
    for root in roots:
        db = root / ".vestra" / "search.db"
        good = db.read_bytes()
        spares.append((db, [good, good[: len(good) // 2], good]))
    stop = threading.Event()
    failures = []

    def replace_in_a_loop():
        n = 0
        while not stop.is_set():
            for db, versions in spares:
                tmp = db.with_name(".swap.tmp")
                tmp.write_bytes(versions[n % len(versions)])
                os.replace(tmp, db)
            n += 1

    def ask(worker):
        try:
            for n in range(60):
                root = roots[(worker + n) % 2]
                package = "alpha" if root is roots[0] else "beta"
                ranked = context.search("ledger loans payment", root, limit=3)
                assert ranked and all(entry["path"].startswith(package + "/") for entry in ranked)
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)

    swapper = threading.Thread(target=replace_in_a_loop)
    workers = [threading.Thread(target=ask, args=(w,)) for w in range(4)]
    swapper.start()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    stop.set()
    swapper.join()
    vx.take_notes()
    assert failures == []


# --- a search.db from someone else --------------------------------------------

ENDLESS = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT 'format', x FROM c"
# Endless without making a row: no garbage collection runs (a finalizer that happened to run
# the signal's handler would lose its exception).
ENDLESS_COUNT = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"


@pytest.mark.parametrize("edit, reason", [
    (["DROP TABLE meta", f"CREATE VIEW meta(key, value) AS {ENDLESS}"], "holds the view 'meta'"),
    (["CREATE TRIGGER t AFTER INSERT ON meta BEGIN SELECT 1; END"], "holds the trigger 't'"),
    (["CREATE TABLE extra(x)"], "holds the table 'extra'"),
    (["CREATE INDEX by_value ON meta(value)"], "holds the index 'by_value'"),
    (["DROP TABLE meta", "CREATE TABLE meta(key, value)"], "holds the table 'meta'"),
    (["DROP TABLE graph"], "damaged (no table graph)"),
])
def test_an_index_with_a_schema_of_its_own_is_never_queried(two_projects, no_hang, edit, reason):
    root = two_projects[0]
    db = sqlite3.connect(root / ".vestra" / "search.db")
    for statement in edit:
        db.execute(statement)
    db.commit()
    db.close()
    ranked, (note,) = context.search_result("ledger loans", root)
    assert ranked[0]["path"] == "alpha/ledger.py"  # ranked in memory instead
    assert note.startswith("search index not used: ") and reason in note


@pytest.fixture
def opened_index(two_projects):
    root = two_projects[0]
    index = reader.IndexCorpus(root, str(root / ".vestra" / "search.db"))
    yield index
    index.close()


def test_a_query_that_runs_too_long_is_ended(opened_index, monkeypatch):
    monkeypatch.setattr(reader, "QUERY_SECONDS", 0.2)
    started = time.monotonic()
    with pytest.raises(reader.IndexProblem, match="a query ran longer than 0.2 s"):
        opened_index._rows(ENDLESS_COUNT)
    assert time.monotonic() - started < 5
    assert opened_index._rows("SELECT count(*) FROM meta")[0][0] > 0  # the next query runs afresh


def test_a_signal_ends_a_query_in_flight(opened_index):
    class Alarm(Exception):
        pass

    def ring(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, ring)
    # A collection during the query would run other tests' gc callbacks (hypothesis installs
    # one), where the alarm's exception is reported as unraisable and lost.
    collecting = gc.isenabled()
    gc.disable()
    try:
        with pytest.raises(Alarm):
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            opened_index._rows(ENDLESS_COUNT)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if collecting:
            gc.enable()


# --- damaged, deep or oversized data files --------------------------------------

DEEP = "[" * 200_000


def set_rows(root, statement, *params):
    db = sqlite3.connect(root / ".vestra" / "search.db")
    db.execute(statement, params)
    db.commit()
    db.close()


def deep_file(name):
    return lambda root: (root / ".vestra" / name).write_text(DEEP)


def oversized_parts(root):
    size = (root / ".vestra" / "graph.json").stat().st_size
    set_rows(root, "UPDATE parts SET edges = ?", zlib.compress(b"[]" + b" " * (4 * size + (1 << 20))))


def inflated_chunks(change):
    """Each chunk replaced by ``change`` of what it inflates to, packed again."""

    def damage(root):
        db = sqlite3.connect(root / ".vestra" / "search.db")
        rows = db.execute("SELECT first, data FROM chunks").fetchall()
        db.executemany("UPDATE chunks SET data = ? WHERE first = ?", [(zlib.compress(change(zlib.decompress(d))), f) for f, d in rows])
        db.commit()
        db.close()

    return damage


@pytest.mark.parametrize("damage, note", [
    (deep_file("manifest.json"), None),  # no manifest to check against: nothing to say
    (deep_file("identities.json"), None),  # no identities: files are hashed instead
    (lambda root: set_rows(root, "UPDATE graph SET data = ? WHERE name = 'top'", DEEP.encode()), "nested too deeply"),
    (lambda root: set_rows(root, "UPDATE parts SET nodes = ?", zlib.compress(DEEP.encode())), "nested too deeply"),
    (oversized_parts, "larger than the graph they were cut from could make them"),
    (lambda root: set_rows(root, "UPDATE chunks SET data = zeroblob(1 << 22)"),
     "more than its graph file could need"),
    (lambda root: set_rows(root, "UPDATE chunks SET data = 'text'"), "not a blob"),
    (lambda root: set_rows(root, "UPDATE chunks SET data = substr(data, 1, 24)"), "truncated"),
    (inflated_chunks(lambda raw: raw[:24]), "chunk cut short"),
    (inflated_chunks(lambda raw: raw + bytes(4 << 20)), "larger than its graph could make"),
])
def test_damaged_data_files_cost_a_note_not_the_answer(two_projects, damage, note):
    root = two_projects[0]
    expected = context.search("ledger loans", root)
    damage(root)
    ranked, notes = context.search_result("ledger loans", root)  # the graph of its files only
    assert ranked == expected
    with vx.project(root):
        assert vx.load_graph() == json.loads((root / ".vestra" / "graph.json").read_text())  # all of it
    notes += vx.take_notes()
    assert [n for n in notes if note in n] if note else notes == []
    assert "alpha/ledger.py" in context.build_result("ledger loans", root).block


@pytest.mark.parametrize("kind", [8, -1])
def test_a_symbol_kind_that_names_none_costs_the_index_not_the_answer(two_projects, kind):
    root = two_projects[0]
    set_rows(root, "UPDATE symbols SET kind = ?", kind)
    ranked, notes = context.search_result("ledger loans", root)  # ranked in memory instead
    assert ranked[0]["path"] == "alpha/ledger.py" and ranked[0]["symbols"][0]["kind"] == "function"
    assert [n for n in notes + vx.take_notes() if "a symbol of an unknown kind" in n]


def test_a_deeply_nested_graph_file_is_one_line(two_projects):
    root = two_projects[0]
    (root / ".vestra" / "graph.json").write_text(DEEP)
    with pytest.raises(vx.GraphError, match=r"graph.json: not valid JSON \(nested too deeply\)$"):
        context.search("ledger loans", root)


# --- questions -----------------------------------------------------------------

def test_marked_identifiers_are_found_as_before_in_linear_time():
    """The expression that finds names marked as code starts only where a run of name
    characters starts; it finds what the plain alternation found."""
    plain = re.compile(r"`\s*([\w.]+)\s*`|([\w.]+)\(|(\w+(?:\.\w+)+)")
    for question in ["`a.b` c(d) e.f..g.h", "x.y(", ".a.b", "a.", "` `a` b`", "`a.b`(c", "a..b(", "é.ü x_y.z("]:
        assert [m.groups() for m in tokens._MARKED_RE.finditer(question)] == [
            m.groups() for m in plain.finditer(question)
        ], question


@settings(max_examples=300)
@given(st.text(alphabet="ab._(` é1\n-", max_size=16))
def test_marked_identifiers_match_the_plain_expression(question):
    plain = re.compile(r"`\s*([\w.]+)\s*`|([\w.]+)\(|(\w+(?:\.\w+)+)")
    assert [m.groups() for m in tokens._MARKED_RE.finditer(question)] == [m.groups() for m in plain.finditer(question)]


@pytest.mark.parametrize("unit", ["a", "ab1f", "a.", "a(", "`a", "x-", "A", "a_"])
def test_question_terms_take_time_linear_in_the_question(unit):
    assert grows_linearly(lambda chars: tokens.query_terms(unit * (chars // len(unit))), 2_500)


@pytest.mark.parametrize("command", ["context", "search"])
@pytest.mark.parametrize("length, status", [(context.MAX_QUERY_CHARS, 0), (context.MAX_QUERY_CHARS + 1, 2)])
def test_questions_are_taken_up_to_the_stated_length(two_projects, capsys, command, length, status):
    question = ("ledger loans " * length)[:length]
    assert main([command, question, "--root", str(two_projects[0])]) == status
    err = capsys.readouterr().err
    if status:
        assert err == f"tarnwick: error: the query is 20,001 characters long; at most 20,000 are taken\n"


# --- warnings reach every caller ------------------------------------------------

@pytest.mark.parametrize("argv, shown", [
    (["context", "ledger loans", "--json"], lambda out: json.loads(out)["warnings"]),
    (["search", "ledger loans", "--json"], lambda out: json.loads(out)["warnings"]),
    (["search", "ledger loans"], None),
    (["context", "ledger loans"], None),
])
def test_an_unusable_search_index_is_a_warning_of_every_command(two_projects, capsys, argv, shown):
    root = two_projects[0]
    db = root / ".vestra" / "search.db"
    db.write_bytes(db.read_bytes()[:4096])
    assert main([*argv, "--root", str(root)]) == 0
    out, err = capsys.readouterr()
    assert "alpha/ledger.py" in out
    (line,) = err.splitlines()
    assert line.startswith(f"tarnwick: warning: search index not used: {db}: damaged")
    if shown:
        assert shown(out) == [line.removeprefix("tarnwick: warning: ")]


# --- a .vestra closed to the user -------------------------------------------------

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
BIN = Path(sys.executable).parent


@pytest.mark.parametrize("closed, status, line", [
    (".vestra", 1, "error: {root}/.vestra/graph.json: cannot read (Permission denied)"),
    (".vestra/structured_summaries.json", 1, "error: {root}/.vestra/structured_summaries.json: cannot read (Permission denied)"),
    (".vestra/search.db", 0, "warning: search index not used: {root}/.vestra/search.db: cannot open (Permission denied)"),
])
@pytest.mark.parametrize("command", [["tarnwick", "context", "overdue loans", "--root"],
                                     ["tarnwick", "search", "overdue loans", "--root"],
                                     ["context-packer", "overdue loans"]])
def test_index_files_closed_to_the_user_are_one_line(tmp_path, closed, status, line, command):
    root = tmp_path / "p"
    copy_indexed(SAMPLE, root)
    os.chmod(root / closed, 0)
    try:
        done = subprocess.run(as_a_user([str(BIN / command[0]), *command[1:], str(root)]),
                              capture_output=True, text=True, timeout=120)
    finally:
        os.chmod(root / closed, 0o755)
    prog = command[0]
    if prog == "context-packer":
        status *= 2  # the packer's command reports unusable data with status 2
        if closed == ".vestra":  # the store is what it reads first
            line = line.replace("graph.json", "structured_summaries.json")
        elif closed == ".vestra/structured_summaries.json":  # its loader takes it for an empty store
            status, line = 0, "warning: {root}/.vestra: structured_summaries.json cannot be read (Permission denied); run `tarnwick index` again"
    elif closed == ".vestra/structured_summaries.json":  # the search index holds the records asked for
        status, line = 0, "warning: {root}/.vestra: structured_summaries.json cannot be read (Permission denied); run `tarnwick index` again"
    assert done.returncode == status
    assert done.stderr == f"{prog}: {line.format(root=root)}\n"
    assert ("loans" in done.stdout) == (status == 0)


@pytest.mark.parametrize("linked", [".vestra/graph.json", ".vestra"])
@pytest.mark.parametrize("command", ["context", "search"])
def test_a_graph_leading_outside_the_root_is_one_line(two_projects, capsys, linked, command):
    ours, theirs = two_projects  # theirs answers "schedule"; read as no graph, ours would say "no file matches"
    (ours / linked).rename(ours / (linked + ".ours"))
    (ours / linked).symlink_to(theirs / linked)
    assert main([command, "schedule loans", "--root", str(ours)]) == 1
    out, err = capsys.readouterr()
    assert (out, err) == ("", f"tarnwick: error: {ours}/.vestra/graph.json: leads outside the project root\n")


# --- file names that hold control characters ------------------------------------

@pytest.mark.parametrize("name, escaped", [
    ("evil\n## Injected heading.py", "evil\\n## Injected heading.py"),
    ("red\x1b[31m.py", "red\\x1b[31m.py"),
    ("cr\rtab\t.py", "cr\\rtab\\t.py"),
    ("sep\u2028line.py", "sep\\u2028line.py"),
])
def test_names_with_control_characters_are_escaped_where_printed(tmp_path, capsys, name, escaped):
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / name).write_text('def ledger_loans(x):\n    """Ledger loans."""\n    return x\n')
    (tmp_path / "pkg" / "plain.py").write_text("def plain_loans():\n    return 1\n")
    index_project(tmp_path, jobs=1)
    root = str(tmp_path)
    assert main(["context", "ledger loans", "--root", root]) == 0
    block = capsys.readouterr().out
    assert f"pkg/{escaped}" in block and name not in block
    assert not any(c in block for c in "\r\x1b\u2028") and "\n## Injected" not in block
    assert main(["search", "ledger loans", "--root", root]) == 0
    listing = capsys.readouterr().out
    assert listing.startswith(f"pkg/{escaped}:1-3  function  ledger_loans  ") and len(listing.splitlines()) == 2
    assert main(["search", "ledger loans", "--root", root, "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["files"][0]["path"] == f"pkg/{name}"  # exact


def test_ordinary_names_reach_the_packer_untouched():
    result = {"files": [{"id": "a.py", "score": 1.0}], "edges": [{"from": "a.py", "to": "b.py", "rel": "imports"}]}
    summaries, graph = {"a.py": {}}, {"nodes": [{"id": "a.py"}]}
    assert all(a is b for a, b in zip(printable.packer_records(result, summaries, graph), (result, summaries, graph)))


def test_a_closed_store_without_a_search_index_is_one_line(tmp_path):
    root = tmp_path / "p"
    copy_indexed(SAMPLE, root)
    (root / ".vestra" / "search.db").unlink()
    store = root / ".vestra" / "structured_summaries.json"
    os.chmod(store, 0)
    try:
        done = subprocess.run(as_a_user([str(BIN / "tarnwick"), "context", "overdue loans", "--root", str(root)]),
                              capture_output=True, text=True, timeout=120)
    finally:
        os.chmod(store, 0o644)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"tarnwick: error: {store}: cannot read (Permission denied)\n"


def test_every_answer_from_one_thread_carries_the_warning(two_projects):
    root = two_projects[0]
    db = root / ".vestra" / "search.db"
    db.write_bytes(db.read_bytes()[:4096])
    for _ in range(3):  # the unusable index is remembered, and so is why
        _, warnings = context.search_result("ledger loans", root)
        assert [w for w in warnings if w.startswith("search index not used:")]
        assert [w for w in context.build_result("ledger loans", root).warnings if w.startswith("search index not used:")]
    assert vx.take_notes() == []  # each remark went with its answer: none waits on the thread
