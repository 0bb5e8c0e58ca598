"""The search index updated for the files that changed answers as a full
build does, and any doubt about the previous index means a full build; a
full build holds its postings in runs on disk, to the same index."""

from __future__ import annotations

import json
import shutil
import sqlite3

import pytest

from conftest import run_cli
from random_trees import Tree, outputs, write_files
from tarnwick.indexer import index_project
from tarnwick.indexer import publish
from tarnwick.search import runs, update
from tarnwick.search.reader import IndexCorpus

QUESTIONS = ("trusted host check", "parse the header value", "retry the request")


@pytest.fixture
def builds(monkeypatch):
    """How each run made its search index: "update" or "full"."""
    made = []
    real_update = publish.update_index

    def updated(*args, **kwargs):
        tmp = real_update(*args, **kwargs)
        if tmp is not None:
            made.append("update")
        return tmp

    def counted(real):
        def built(*args, **kwargs):
            made.append("full")
            return real(*args, **kwargs)

        return built

    monkeypatch.setattr(publish, "update_index", updated)
    for name in ("build_index", "build_streamed"):
        monkeypatch.setattr(publish, name, counted(getattr(publish, name)))
    return made


def _answers(capsys, root, questions=QUESTIONS) -> list:
    out = []
    for question in questions:
        status, text, _ = run_cli(capsys, "search", question, "--root", str(root), "--json")
        assert status == 0
        out.append(json.loads(text)["files"])
    return out


def _same_as_full(capsys, root, tmp_path, questions=QUESTIONS) -> None:
    full = tmp_path / "full"
    shutil.rmtree(full, ignore_errors=True)
    shutil.copytree(root, full, ignore=shutil.ignore_patterns(".vestra"))
    index_project(full, jobs=1, full=True, progress=False)
    assert outputs(root, decoded=True) == outputs(full, decoded=True)
    assert _answers(capsys, root, questions) == _answers(capsys, full, questions)


def _splits(root) -> dict:
    db = sqlite3.connect(f"file:{root / '.vestra/search.db'}?mode=ro", uri=True)
    try:
        return {term: (head, tail) for term, head, tail in db.execute("SELECT * FROM splits")}
    finally:
        db.close()


BASE = {
    "app/trustedhost.py": "def check(request):\n    return request.host\n",
    "app/headers.py": "def parse_header(value):\n    return value.split(';')\n\n\ndef same(a):\n    return a\n",
    "app/client.py": "from app import headers\n\n\ndef retry(request):\n    return headers.parse_header(request)\n",
}
HOSTS = "".join(f"def {name}():\n    pass\n\n\n" for name in ("trust_level", "trust_me", "host_name", "host_port"))
# Each step: the files written (None: removed), then whether the split of
# "trustedhost" is there afterwards.
STEPS = [
    # Words of the compound become common: its split appears, and the file
    # that holds it is derived again though it did not change.
    ({"app/hosts.py": HOSTS}, True),
    # Symbols outgrow their block, shrink within it, a file is renamed.
    (
        {
            "app/headers.py": BASE["app/headers.py"] + "\n\ndef header_value(h):\n    return h\n\n\ndef more(h):\n    return h\n",
            "app/client.py": "def retry(request):\n    return request\n",
            "app/renamed.py": BASE["app/trustedhost.py"],
            "app/trustedhost.py": None,
        },
        False,
    ),
    # A removal moves the last file down to the freed number; an addition takes one.
    ({"app/hosts.py": None, "app/aaa.py": "def same(a):\n    return a\n", "app/trustedhost.py": BASE["app/trustedhost.py"]}, False),
    ({"app/hosts.py": HOSTS}, True),
]


def _blocks_hold_their_files_symbols(root) -> None:
    """Each file's block of symbols, as a question reads it (the symbols'
    files made from the files' first symbols), holds the
    symbols numbered as the file's, and the blocks hold every live symbol."""
    index = IndexCorpus(root, str(root / ".vestra" / "search.db"))
    try:
        index.need_owners([], range(index.symbol_slots))
        # Made from the files' first symbols; each block read below is checked against them.
        assert index._documents.first_symbols is not None
        held = 0
        for number in range(index.file_count):
            blocks = index.symbol_blocks([number])
            for first, end in zip(blocks[::2], blocks[1::2]):
                assert {index.symbol_file[s] for s in range(first, end)} == {number}
                held += end - first
        assert held == index.symbol_count
    finally:
        index.close()


def test_updates_answer_as_full_builds_do(tmp_path, capsys, builds):
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    assert builds == ["full"]
    _blocks_hold_their_files_symbols(root)
    for step, (files, split) in enumerate(STEPS):
        write_files(root, files)
        index_project(root, jobs=1, progress=False)
        assert builds[-1] == "update", step
        assert ("trustedhost" in _splits(root)) is split, step
        _blocks_hold_their_files_symbols(root)
        _same_as_full(capsys, root, tmp_path)


def test_an_update_gives_an_index_written_without_first_symbols_its_own(tmp_path, capsys, builds):
    # An index from before the files' first symbols were kept: the next
    # update writes them, as a full run would.
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    with sqlite3.connect(root / ".vestra" / "search.db") as db:
        db.execute("DELETE FROM arrays WHERE name LIKE 'file_first_symbol/%'")
    write_files(root, STEPS[1][0])
    index_project(root, jobs=1, progress=False)
    assert builds == ["full", "update"]
    _blocks_hold_their_files_symbols(root)
    _same_as_full(capsys, root, tmp_path)


def _blocks_and_terms(root) -> tuple[dict, dict]:
    """By file, its (first symbol, count); by term, its stored postings' row id and bytes."""
    db = sqlite3.connect(f"file:{root / '.vestra/search.db'}?mode=ro", uri=True)
    try:
        blocks = {
            fid: (first, count)
            for fid, first, count in db.execute(
                "SELECT id, first_symbol, symbols FROM file_numbers JOIN docstate USING (number)"
            )
        }
        terms = {term: (rowid, blob) for rowid, term, blob in db.execute("SELECT rowid, term, postings FROM terms")}
        return blocks, terms
    finally:
        db.close()


# Each edit of app/headers.py (the two functions it starts with) and the
# files whose blocks of symbols go to the end (their terms rewritten).
GROWTH = [
    # The symbols outgrow their block: the one-symbol block after it goes to the end.
    (BASE["app/headers.py"] + "\n\ndef header_value(h):\n    return h\n", {"app/trustedhost.py"}),
    # Again: that block, the last now, moves on.
    (BASE["app/headers.py"] + "\n\ndef header_value(h):\n    return h\n\n\ndef more(h):\n    return h\n", {"app/trustedhost.py"}),
    # A body edited: no block moves, and only the terms whose entries changed are written.
    (BASE["app/headers.py"].replace("value.split(';')", "value.partition(';')") + "\n\ndef header_value(h):\n    return h\n\n\ndef more(h):\n    return h\n", set()),
]


def test_an_edit_rewrites_the_postings_of_the_entries_it_changes(tmp_path, capsys, builds):
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    for step, (text, moved) in enumerate(GROWTH):
        before, terms_before = _blocks_and_terms(root)
        write_files(root, {"app/headers.py": text})
        index_project(root, jobs=1, progress=False)
        assert builds[-1] == "update", step
        after, terms_after = _blocks_and_terms(root)
        assert {fid for fid in after if after[fid][0] != before[fid][0]} == moved, step
        rewritten = {t for t, row in terms_after.items() if terms_before.get(t) != row}
        # A term of the client alone is not written again.
        assert "retry" in terms_after and "retry" not in rewritten, step
        if not moved:
            assert rewritten and rewritten <= {"split", "partition", "value", "valu"} | set(terms_after) - set(terms_before), step
        _blocks_hold_their_files_symbols(root)
        _same_as_full(capsys, root, tmp_path)


def _functions(*names: str) -> str:
    return "".join(f"def {name}(value):\n    return value\n\n\n" for name in names)


# A file whose symbols outgrow their block (a.py, the functions appended to
# it), the files after it (paths in order, one edit made before), and the
# files whose blocks go to the end: the others keep theirs.
ROOM = [
    # One symbol after it, fewer than it has: that one moves, the file grows in place.
    ({"a.py": _functions("a1", "a2", "a3"), "b.py": _functions("b1"), "c.py": _functions("c1", "c2", "c3")}, {}, 1, {"b.py"}),
    # Two blocks make the room, fewer symbols together than the file has.
    (
        {
            "a.py": _functions("a1", "a2", "a3", "a4"),
            "b.py": _functions("b1"),
            "c.py": _functions("c1", "c2"),
            "d.py": _functions("d1", "d2", "d3"),
        },
        {},
        3,
        {"b.py", "c.py"},
    ),
    # A block freed in part by an edit makes room too: its file moves.
    (
        {"a.py": _functions("a1", "a2", "a3"), "b.py": _functions("b1", "b2", "b3"), "c.py": _functions("c1", "c2", "c3")},
        {"b.py": _functions("b1")},
        2,
        {"b.py"},
    ),
    # The next block is as large as the file: the file moves itself.
    ({"a.py": _functions("a1", "a2"), "b.py": _functions("b1", "b2", "b3"), "c.py": _functions("c1")}, {}, 1, {"a.py"}),
    # Room up to the last block only: the file moves itself.
    ({"a.py": _functions("a1", "a2", "a3"), "b.py": _functions("b1")}, {}, 2, {"a.py"}),
    # The file's block is the last: it grows in place, nothing moves.
    ({"a.py": _functions("a1", "a2")}, {}, 1, set()),
]


@pytest.mark.parametrize("files, first_edit, appended, moved", ROOM)
def test_a_growing_file_moves_the_fewer_symbols(tmp_path, capsys, builds, files, first_edit, appended, moved):
    root = tmp_path / "p"
    write_files(root, {f"pkg/{name}": text for name, text in files.items()})
    index_project(root, jobs=1, progress=False)
    if first_edit:
        write_files(root, {f"pkg/{name}": text for name, text in first_edit.items()})
        index_project(root, jobs=1, progress=False)
    before, _ = _blocks_and_terms(root)
    write_files(root, {"pkg/a.py": files["a.py"] + _functions(*(f"new{i}" for i in range(appended)))})
    index_project(root, jobs=1, progress=False)
    assert builds[-1] == "update"
    after, _ = _blocks_and_terms(root)
    slots = max(first + count for first, count in before.values())
    went = {fid.removeprefix("pkg/") for fid in after if after[fid][0] != before[fid][0]}
    assert went == moved
    assert all(after[f"pkg/{name}"][0] >= slots for name in moved)
    _blocks_hold_their_files_symbols(root)
    _same_as_full(capsys, root, tmp_path, ("return the value", "new0 a1 b1"))


def _damage_state(db) -> None:
    db.execute("UPDATE docstate SET state = x'00' WHERE number = 0")


def _keyed(db, number: int = 0) -> tuple:
    from tarnwick.search.state import unpack_state

    (state,) = db.execute("SELECT state FROM docstate WHERE number = ?", (number,)).fetchone()
    _, names, key = unpack_state(state)
    assert key is not None  # kept as the key of its workers' documents
    return names, key


def _set_key(db, key: str, names: list) -> None:
    from tarnwick.search.state import pack_keyed_state

    db.execute("UPDATE docstate SET state = ? WHERE number = 0", (pack_keyed_state(key, names),))


def _key_of_another_file(db) -> None:
    # Documents the cache holds, but not of this file.
    _set_key(db, _keyed(db, 1)[1], _keyed(db)[0])


def _key_not_hex(db) -> None:
    _set_key(db, "zz\0null", _keyed(db)[0])


def _key_of_a_nested_history(db) -> None:
    names, key = _keyed(db)
    _set_key(db, key.partition("\0")[0] + "\0" + "[" * 100_000, names)


def _key_of_a_history_not_a_field(db) -> None:
    names, key = _keyed(db)
    _set_key(db, key.partition("\0")[0] + '\0{"quokka":"heavy"}', names)


def _other_run(db) -> None:
    db.execute("UPDATE meta SET value = 'another run' WHERE key = 'generation'")


def _other_code(db) -> None:
    db.execute("UPDATE meta SET value = 'another' WHERE key = 'code'")


def _far_block(db) -> None:
    db.execute("UPDATE docstate SET first_symbol = 1000000 WHERE number = 0")


def _state_of_no_file(db) -> None:
    db.execute("UPDATE docstate SET number = 1000 WHERE number = 0")


def _symbols_miscounted(db) -> None:
    # The files' blocks no longer add up to the live symbols.
    db.execute("UPDATE meta SET value = value + 1 WHERE key = 'symbols'")


# Rows of the files' tables, each checked as a column.
COLUMN_DAMAGE = [
    # The files by number, as the chunks of their ids hold them.
    "DELETE FROM arrays WHERE name = 'file_ids/0'",
    "UPDATE arrays SET data = 7 WHERE name = 'file_ids/0'",
    "UPDATE arrays SET data = CAST('a.py' AS BLOB) WHERE name = 'file_ids/0'",  # fewer ids than files
    "UPDATE arrays SET data = CAST('a.py' || char(0) || 'a.py' || char(0) || 'b.py' AS BLOB) WHERE name = 'file_ids/0'",
    "UPDATE arrays SET data = x'ff00ff00ff' WHERE name = 'file_ids/0'",  # not UTF-8
    "UPDATE docstate SET symbols = -1 WHERE number = 0",
    "UPDATE docstate SET symbols = symbols + 1000000 WHERE number = 0",  # a block past the slots
    "UPDATE docstate SET first_symbol = 'first' WHERE number = 0",
    "UPDATE docstate SET first_symbol = -1 WHERE number = 0",
    "UPDATE docstate SET number = -1 WHERE number = 0",
    "DELETE FROM docstate WHERE number = 0",
]


@pytest.mark.parametrize(
    "damage",
    [
        _damage_state,
        _key_of_another_file,
        _key_not_hex,
        _key_of_a_nested_history,
        _key_of_a_history_not_a_field,
        _other_run,
        _other_code,
        _far_block,
        _state_of_no_file,
        _symbols_miscounted,
        COLUMN_DAMAGE[0],
        None,
    ],
)
def test_a_previous_index_in_doubt_is_built_again(tmp_path, capsys, builds, damage, monkeypatch):
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    if damage is None:
        # Too many changed files for an update to pay.
        monkeypatch.setattr(update, "CHANGED_SHARE", 0.0)
        write_files(root, {f"app/extra{i}.py": f"def extra{i}():\n    pass\n" for i in range(9)})
    else:
        db = sqlite3.connect(root / ".vestra/search.db", isolation_level=None)
        if callable(damage):
            damage(db)
        else:
            db.execute(damage)
        db.close()
        write_files(root, {"app/client.py": "def retry(request):\n    return request\n"})
    index_project(root, jobs=1, progress=False)
    assert builds == ["full", "full"]
    _same_as_full(capsys, root, tmp_path)


@pytest.mark.parametrize("damage", ["docs = x'789c'", "docs = NULL", "checksum = NULL"])
def test_a_changed_file_whose_old_documents_the_cache_lost_has_the_index_built_again(tmp_path, capsys, builds, damage):
    # Its state names its old documents by their key: without them its old
    # terms cannot be taken out, and the whole index is built again.
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    with sqlite3.connect(root / ".vestra/index-cache.db") as db:
        db.execute(f"UPDATE files SET {damage} WHERE path = 'app/client.py'")
    write_files(root, {"app/client.py": "def retry(request):\n    return request\n"})
    index_project(root, jobs=1, progress=False)
    assert builds == ["full", "full"]
    _same_as_full(capsys, root, tmp_path)


def test_an_unchanged_file_derived_again_counts_its_old_terms_from_the_cache(tmp_path, capsys, builds, monkeypatch):
    # The holder of a compound whose split changes is derived again, its old
    # terms counted from its documents as the cache keeps them.
    asked = []
    real = update._Update._unpack

    def unpack(self, number, fid):
        asked.append(fid)
        return real(self, number, fid)

    monkeypatch.setattr(update._Update, "_unpack", unpack)
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    write_files(root, STEPS[0][0])
    index_project(root, jobs=1, progress=False)
    assert builds == ["full", "update"] and "app/trustedhost.py" in asked
    _same_as_full(capsys, root, tmp_path)


@pytest.mark.parametrize("damage", [*COLUMN_DAMAGE, None])
def test_the_files_tables_are_refused_as_they_are_read_when_damaged(tmp_path, damage):
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    db = sqlite3.connect(root / ".vestra/search.db", isolation_level=None)
    try:
        if damage is not None:
            db.execute(damage)
        reading = update._Update(db, None, None, None, {}, update.DEFAULT_WEIGHTS)
        if damage is None:
            reading.load()
            assert sorted(reading.old_numbers) == sorted(BASE)
            # Each file's block by its number, as the table holds it.
            blocks = db.execute("SELECT first_symbol, symbols FROM docstate ORDER BY number").fetchall()
            assert [reading.old_blocks[number] for number in range(3)] == blocks and len(blocks) == 3
        else:
            # Refused as the files' ids are read, or file 0's block.
            with pytest.raises(update._Rebuild):
                reading.load()
                reading.old_blocks[0]
    finally:
        db.close()


def test_updates_across_the_arrays_chunks_answer_as_full_builds_do(tmp_path, capsys, builds, monkeypatch):
    # Two documents a chunk: files come and go across chunks' edges, the
    # chunks a change moves are rewritten, those past the end dropped.
    from tarnwick.search import chunks, reader, store

    for module in (store, update, reader, chunks):
        monkeypatch.setattr(module, "CHUNK", 2)
    root = tmp_path / "p"
    extra = {f"app/extra{i}.py": f"def extra{i}(x):\n    return x\n\n\ndef more{i}(y):\n    return y\n" for i in range(4)}
    write_files(root, {**BASE, **extra})
    index_project(root, jobs=1, progress=False)
    steps = [
        {"app/extra1.py": None, "app/extra2.py": None, "app/extra3.py": None},  # seven files to four
        {"app/client.py": BASE["app/client.py"] + "\n\ndef again(r):\n    return r\n"},  # one file edited
        {**extra, "app/zzz.py": "def last():\n    pass\n"},  # and to eight
    ]
    for step, files in enumerate(steps):
        write_files(root, files)
        index_project(root, jobs=1, progress=False)
        assert builds[-1] == "update", step
        _same_as_full(capsys, root, tmp_path)
        # No row past the arrays' ends (a reader would never ask for one).
        db = sqlite3.connect(f"file:{root / '.vestra/search.db'}?mode=ro", uri=True)
        meta = dict(db.execute("SELECT key, value FROM meta"))
        rows = {name for (name,) in db.execute("SELECT name FROM arrays")}
        db.close()
        counts = {name: meta["files"] for name in (*store.FILE_ARRAYS, store.FILE_IDS, "file_length", "file_first_symbol")}
        counts.update((name, meta["symbol_slots"]) for name in (*store.SYMBOL_ARRAYS, "symbol_length"))
        assert rows == {f"{name}/{chunk}" for name, count in counts.items() for chunk in range(-(-count // 2))}, step


def test_an_update_cut_short_leaves_the_previous_index(tmp_path, monkeypatch):
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    before = outputs(root)

    def interrupted(self):
        raise KeyboardInterrupt

    monkeypatch.setattr(update._Update, "_rewrite", interrupted)
    write_files(root, {"app/client.py": "def retry(request):\n    return request\n"})
    with pytest.raises(KeyboardInterrupt):
        index_project(root, jobs=1, progress=False)
    assert outputs(root) == before
    assert sorted(p.name for p in (root / ".vestra").iterdir() if p.name.endswith(".tmp")) == []


def test_postings_written_in_runs_make_the_same_index(tmp_path, monkeypatch):
    built = []
    for size in (10**9, 1, 40):
        monkeypatch.setattr(runs, "RUN_POSTINGS", size)
        tree = Tree(tmp_path / str(size), seed=7)
        index_project(tree.root, jobs=1, full=True, progress=False)
        built.append(outputs(tree.root))
    assert built[0] == built[1] == built[2]


def test_an_unsaved_cache_does_not_vouch_for_the_index(tmp_path, capsys, builds, monkeypatch):
    """A run whose cache could not be saved leaves rows older than its
    index: a file edited back to what such a row holds must be indexed
    anew, not taken as the index has it (nor its old terms guessed)."""
    from tarnwick.indexer.cache_db import CacheDB

    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    edited = {"app/client.py": "def retry(request):\n    return request\n"}
    real_commit = CacheDB.commit

    def full_disk(self):
        raise sqlite3.OperationalError("database or disk is full")

    monkeypatch.setattr(CacheDB, "commit", full_disk)
    write_files(root, edited)
    stats = index_project(root, jobs=1, progress=False)
    assert any("could not be saved" in line for line in stats.warnings)
    monkeypatch.setattr(CacheDB, "commit", real_commit)
    write_files(root, {"app/client.py": BASE["app/client.py"]})
    again = index_project(root, jobs=1, progress=False)
    # The index counts the edited file's terms from documents of a key the
    # unsaved cache never kept: it is built again rather than misread.
    assert again.reused == len(BASE) and builds[-1] == "full"
    _same_as_full(capsys, root, tmp_path)


def _touch(root, rel: str, seconds: int = 5) -> None:
    import os

    path = root / rel
    os.utime(path, ns=(path.stat().st_atime_ns, path.stat().st_mtime_ns + seconds * 1_000_000_000))


RETRY = {"app/client.py": "def retry(request):\n    return request\n"}


# Runs after the first: the files touched (their content kept) and written.
@pytest.mark.parametrize(
    "runs",
    [
        # Touched in the run that edits another file.
        [(["app/headers.py"], RETRY)],
        # Touched before a run that changed nothing else: the cache alone kept the new stamp.
        [(["app/headers.py"], {}), ([], RETRY)],
        # Two such runs, then a run that changes nothing but a touch again.
        [(["app/headers.py"], {}), (["app/trustedhost.py"], {}), (["app/headers.py"], RETRY)],
        # A quiet touch, then files removed and added: the numbers change hands.
        [(["app/headers.py"], {}), ([], {**RETRY, "app/trustedhost.py": None, "app/aaa.py": "def a():\n    pass\n"})],
        # A file removed: the last file moves down to its number.
        [(["app/headers.py"], {}), ([], {"app/client.py": None})],
    ],
)
def test_an_update_keeps_each_files_stamp_as_the_walk_saw_it(tmp_path, builds, runs):
    """A file touched without a change keeps its rows but not its old time:
    queries tell edited files by it."""
    root = tmp_path / "p"
    write_files(root, BASE)
    index_project(root, jobs=1, progress=False)
    for touched, written in runs:
        for rel in touched:
            _touch(root, rel)
        write_files(root, written)
        index_project(root, jobs=1, progress=False)
    assert builds[1:] == ["update"]
    db = sqlite3.connect(root / ".vestra/search.db")
    stamps = db.execute("SELECT f.id, s.mtime_ns FROM sources s JOIN file_numbers f ON f.number = s.number").fetchall()
    db.close()
    files = sorted(str(path.relative_to(root)) for path in root.rglob("*.py"))
    assert sorted(stamps) == [(rel, (root / rel).stat().st_mtime_ns) for rel in files]


def _flat_tree(root, count: int, version: int = 0) -> None:
    # Files that import nothing: a file is resolved again only when it changed.
    write_files(root, {f"pkg/m{n:02d}.py": f"def handler_{n}_{version}(request):\n    return request\n" for n in range(count)})


def _spy_on_the_search_index(monkeypatch) -> tuple:
    """The shares handed over (their counts) and the updates tried (their changes)."""
    from tarnwick.indexer import publish, run

    handed, updates = [], []
    real_change, real_update = run.graph_change, publish.update_index
    monkeypatch.setattr(run, "graph_change", lambda *args: handed.append(len(args[4])) or real_change(*args))
    monkeypatch.setattr(publish, "update_index", lambda *args, **kwargs: updates.append(args[3]) or real_update(*args, **kwargs))
    return handed, updates


def _equals_a_full_run(tmp_path, root) -> None:
    again = tmp_path / "again"
    shutil.copytree(root, again, ignore=shutil.ignore_patterns(".vestra"))
    index_project(again, jobs=1, full=True, progress=False)
    assert outputs(root, decoded=True) == outputs(again, decoded=True)


@pytest.mark.parametrize(
    "edited, full, handed_off",
    [
        (1, False, True),
        (8, False, True),  # the share an update takes, to the file
        (9, False, False),
        (1, True, False),  # a full run builds the search index a file at a time
    ],
)
def test_shares_handed_to_the_search_index_only_when_it_may_be_updated(tmp_path, monkeypatch, edited, full, handed_off):
    # Beyond the share, the search index is built a file at a time: never
    # the whole graph parsed only to learn that an update will not do.
    handed, updates = _spy_on_the_search_index(monkeypatch)
    root = tmp_path / "p"
    _flat_tree(root, 40)
    index_project(root, jobs=1, progress=False)
    assert handed == []  # the first run has no index to update
    for n in range(edited):
        write_files(root, {f"pkg/m{n:02d}.py": f"def handler_{n}_1(request):\n    return request\n"})
    index_project(root, jobs=1, progress=False, full=full)
    assert handed == ([edited] if handed_off else [])
    assert [change.known for change in updates] == ([True] if handed_off else [])
    _equals_a_full_run(tmp_path, root)


def test_files_resolved_again_for_an_imported_file_keep_the_update(tmp_path, monkeypatch):
    # One edited file that a third of the project imports: its importers are
    # resolved again (beyond the shares handed over), yet their documents
    # stand, so the search index is still updated, not built anew.
    handed, updates = _spy_on_the_search_index(monkeypatch)
    root = tmp_path / "p"
    _flat_tree(root, 40)
    users = {f"pkg/m{n:02d}.py": f"from pkg.m00 import handler_0_0\n\ndef use_{n}():\n    return handler_0_0(None)\n" for n in range(1, 15)}
    write_files(root, users)
    index_project(root, jobs=1, progress=False)
    write_files(root, {"pkg/m00.py": "def handler_0_0(request):\n    return None\n\ndef handler_0_1():\n    return 1\n"})
    index_project(root, jobs=1, progress=False)
    assert handed == []  # more files to resolve again than shares handed over
    assert [change.known for change in updates] == [False]
    _equals_a_full_run(tmp_path, root)
