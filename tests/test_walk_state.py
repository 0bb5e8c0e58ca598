"""A walk that takes folders over from the last walk's state finds what a
walk from scratch finds, whatever changed in between: files added,
deleted, renamed, edited (in the same tick too), folders moved, links
swapped in, ignore files and settings changed."""

from __future__ import annotations

import json
import os
import random
import time
import zlib

import pytest

from tarnwick.indexer import index_project, walk_state
from tarnwick.indexer.walk import walk_project

FIELDS = ("files", "skipped", "skipped_dirs", "vendored", "ignored", "warnings", "unsupported", "configs")
LATER = 10 * walk_state.SETTLE_NS  # a run that starts well after the tree was written


def write(root, rel, text="x = 1\n"):
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def seen(walk) -> dict:
    return {name: getattr(walk, name) for name in FIELDS}


def record(root, **settings):
    """The state of a walk that vouches for every folder, and a clock tick
    passed, so that a change from here on shows in a folder's status."""
    walk = walk_project(root, started_ns=time.time_ns() + LATER, **settings)
    time.sleep(0.02)
    return walk.state.encode()


def again(root, state, **settings):
    """A walk given `state`, and one from scratch: they must agree."""
    kept = walk_project(root, previous=state, started_ns=time.time_ns() + LATER, **settings)
    fresh = walk_project(root, started_ns=time.time_ns() + LATER, **settings)
    assert seen(kept) == seen(fresh)
    kept.fresh = fresh
    return kept


def tree(root):
    write(root, "app/main.py")
    write(root, "app/util.py", "def helper():\n    return 1\n")
    write(root, "app/deep/inner.py")
    write(root, "app/deep/deeper/most.py")
    write(root, "web/src/index.ts", "export const a = 1;\n")
    write(root, "web/src/types.d.ts", "declare const b: number;\n")
    write(root, "web/dist.min.js", "var a=1;\n")
    write(root, "web/tsconfig.json", "{}\n")
    write(root, "web/node_modules/lib/index.js")
    write(root, "rust/Cargo.toml", "[package]\n")
    write(root, "rust/target/debug/build.rs")
    write(root, "rust/src/lib.rs", "fn main() {}\n")
    write(root, "env/pyvenv.cfg", "home = /usr\n")
    write(root, "env/lib/site.py")
    write(root, "tool/bin/activate", "")
    write(root, "tool/bin/run.py")
    write(root, "native/code.c", "int main;\n")
    write(root, "gen/made.py")
    write(root, "logs/keep.py")
    write(root, "odd/a::b.py")
    write(root, ".gitignore", "gen/\n*.log.py\n")
    write(root, "logs/.gitignore", "/keep.py\n")
    write(root, "big/large.py", "#" * 4000 + "\n")
    os.symlink("../app/util.py", root / "web/util_link.py")
    os.symlink("app/deep", root / "deep_link")


def rename(root, rel, new):
    os.rename(root / rel, root / new)


def swap_for_link(root, rel, target):
    (root / rel).unlink()
    os.symlink(target, root / rel)


def same_size_same_time(root, rel):
    path = root / rel
    before = path.stat()
    data = bytearray(path.read_bytes())
    data[0] = ord("y") if data[0] != ord("y") else ord("z")
    path.write_bytes(bytes(data))
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


def replace_by_folder(root, rel):
    (root / rel).unlink()
    write(root, rel + "/inside.py")


CHANGES = {
    "nothing": lambda r: None,
    "edit": lambda r: write(r, "app/deep/inner.py", "y = 22\n"),
    "edit same size, same time": lambda r: same_size_same_time(r, "app/util.py"),
    "add": lambda r: write(r, "app/deep/deeper/new.py"),
    "add folder": lambda r: write(r, "app/fresh/one.py"),
    "delete": lambda r: (r / "app/deep/deeper/most.py").unlink(),
    "rename file": lambda r: rename(r, "app/main.py", "app/entry.py"),
    "rename folder": lambda r: rename(r, "app/deep", "app/shallow"),
    "swap two folders": lambda r: (
        rename(r, "app/deep", "app/tmp"), rename(r, "web/src", "app/deep"), rename(r, "app/tmp", "web/src")
    ),
    "link swapped in for a file": lambda r: swap_for_link(r, "app/main.py", "deep/inner.py"),
    "link swapped in for a folder": lambda r: (
        rename(r, "app/deep", "deep_real"), os.symlink("../deep_real", r / "app/deep")
    ),
    "link out of the root": lambda r: swap_for_link(r, "app/util.py", "/etc/hostname"),
    "file becomes a folder": lambda r: replace_by_folder(r, "app/main.py"),
    "grows past the limit": lambda r: write(r, "app/main.py", "#" * 5000 + "\n"),
    "shrinks below the limit": lambda r: write(r, "big/large.py", "small = 1\n"),
    "gitignore edited in place": lambda r: (r / ".gitignore").write_text("app/deep/\n"),
    "gitignore emptied": lambda r: (r / ".gitignore").write_text(""),
    "nested gitignore added": lambda r: write(r, "app/.gitignore", "util.py\n"),
    "nested gitignore removed": lambda r: (r / "logs/.gitignore").unlink(),
    "info exclude added": lambda r: write(r, ".git/info/exclude", "app/\n"),
    "invalid pattern added": lambda r: (r / "logs/.gitignore").write_text("/keep.py\n[z-a]\n"),
    "environment made": lambda r: write(r, "app/deep/pyvenv.cfg", ""),
    "environment unmade": lambda r: (r / "env/pyvenv.cfg").unlink(),
    "activate removed": lambda r: (r / "tool/bin/activate").unlink(),
    "activate added": lambda r: write(r, "app/deep/deeper/bin/activate", ""),
    "cargo project removed": lambda r: (r / "rust/Cargo.toml").unlink(),
    "config edited": lambda r: write(r, "web/tsconfig.json", '{"compilerOptions": {}}\n'),
    "only declarations left": lambda r: (r / "web/src/index.ts").unlink(),
    "the only script grows past the limit": lambda r: write(r, "web/src/index.ts", "//" * 2500 + "\n"),
    "link target edited": lambda r: write(r, "app/util.py", "def helper():\n    return 2222\n"),
    "link retargeted": lambda r: swap_for_link(r, "web/util_link.py", "../app/main.py"),
    "unsupported added": lambda r: write(r, "native/more.rb", "puts 1\n"),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_walk_from_the_kept_state_finds_what_a_fresh_walk_finds(tmp_path, change):
    settings = dict(max_file_bytes=4500, excludes=["*.c"])
    tree(tmp_path)
    state = record(tmp_path, **settings)
    CHANGES[change](tmp_path)
    kept = again(tmp_path, state, **settings)
    if change == "nothing":
        assert kept.as_before is False  # a link's file is never vouched for
        assert kept.listed == 0 and not kept.state_changed


@pytest.mark.parametrize("seed", range(8))
def test_random_series_of_changes(tmp_path, seed):
    rng = random.Random(seed)
    tree(tmp_path)
    state = record(tmp_path)
    history = []
    for _ in range(6):
        for change in rng.sample(sorted(CHANGES), 3):
            try:
                CHANGES[change](tmp_path)
            except (OSError, ValueError):
                continue  # what it changes is gone already
            history.append(change)
        try:
            kept = again(tmp_path, state)
        except AssertionError as exc:
            raise AssertionError(history) from exc
        state = kept.state.encode()
        time.sleep(0.02)


def test_a_tree_as_it_was_is_vouched_for_without_a_listing(tmp_path):
    write(tmp_path, "a/one.py")
    write(tmp_path, "a/b/two.py")
    state = record(tmp_path)
    kept = again(tmp_path, state)
    assert kept.as_before and kept.unvouched == set() and kept.listed == 0 and not kept.state_changed
    # An edit shows in the file's own status only: its folder is not listed again.
    write(tmp_path, "a/b/two.py", "changed = True\n")
    kept = again(tmp_path, state)
    assert kept.unvouched == {"a/b/two.py"} and kept.listed == 0 and not kept.as_before


def _settled_state(root, monkeypatch):
    """The state of a walk begun now, its tree written well before (by a
    margin made short enough to wait out)."""
    monkeypatch.setattr(walk_state, "SETTLE_NS", 50_000_000)
    time.sleep(0.1)
    walk = walk_project(root, started_ns=time.time_ns())
    assert walk.state.walked_ns is not None
    return walk.state.encode()


@pytest.mark.parametrize(
    "change, unvouched",
    [
        (lambda r: None, set()),
        (lambda r: same_size_same_time(r, "a/one.py"), {"a/one.py"}),  # `touch -r`, `cp -p`, tar, rsync -t
        (lambda r: os.chmod(r / "a/one.py", 0o600), {"a/one.py"}),  # the content unchanged: a read tells
    ],
)
def test_a_file_whose_inode_changed_since_the_walk_is_not_vouched_for(tmp_path, monkeypatch, change, unvouched):
    write(tmp_path, "a/one.py")
    write(tmp_path, "a/two.py", "y = 2\n")
    state = _settled_state(tmp_path, monkeypatch)
    change(tmp_path)
    kept = again(tmp_path, state)
    assert kept.unvouched == unvouched and kept.listed == 0 and kept.as_before == (not unvouched)


def test_a_state_kept_before_walks_had_their_start_vouches_by_size_and_time(tmp_path, monkeypatch):
    write(tmp_path, "a/one.py")
    data, _ = walk_state.unpack(_settled_state(tmp_path, monkeypatch))
    del data["walked_ns"]  # as a state written before the change time counted
    state = walk_state.pack(data)
    same_size_same_time(tmp_path, "a/one.py")
    kept = again(tmp_path, state)
    assert kept.as_before and kept.unvouched == set()
    # Written again (another file came), it vouches from its walk's start on.
    write(tmp_path, "a/two.py")
    kept = again(tmp_path, state)
    assert kept.state.walked_ns is not None and kept.unvouched == {"a/two.py"}


def test_the_kept_start_moves_on_only_for_a_change_it_would_vouch_for(tmp_path, monkeypatch):
    write(tmp_path, "a/one.py")
    state = _settled_state(tmp_path, monkeypatch)
    walked = walk_state.unpack(state)[0]["walked_ns"]
    os.chmod(tmp_path / "a/one.py", 0o600)
    # Changed within the margin of this walk's start: its state keeps the old
    # start (the same bytes), and the next walk reads the file again.
    racy = walk_project(tmp_path, previous=state, started_ns=time.time_ns())
    assert racy.unvouched == {"a/one.py"} and racy.state.walked_ns == walked and not racy.state_changed
    # Well after: the state moves on, and then vouches for the file.
    later = walk_project(tmp_path, previous=state, started_ns=time.time_ns() + LATER)
    assert later.unvouched == {"a/one.py"} and later.state.walked_ns > walked and later.state_changed
    assert walk_project(tmp_path, previous=later.state.encode(), started_ns=time.time_ns() + LATER).as_before


@pytest.mark.parametrize("how", ["same size, same time", "racy file"])
# The file in a folder of its own, beside files of other folders, at the root, deep down.
@pytest.mark.parametrize("rel", ["a/one.py", "b/two.py", "top.py", "a/b/c/deep.py"])
def test_a_file_its_state_cannot_vouch_for_is_not_vouched_for(tmp_path, how, rel):
    for name in ("a/one.py", "b/two.py", "top.py", "a/b/c/deep.py", "a/b/other.py"):
        write(tmp_path, name)
    walk = walk_project(tmp_path, started_ns=time.time_ns() + LATER)
    walk.state.unsettled.add(rel)  # as a run whose cache row was too recent leaves it
    state = walk.state.encode()
    if how == "same size, same time":
        same_size_same_time(tmp_path, rel)
    kept = again(tmp_path, state)
    assert kept.unvouched == {rel} and not kept.as_before


def test_a_folder_listed_close_to_its_last_change_is_listed_again(tmp_path):
    write(tmp_path, "a/one.py")
    # The run began right after the folder changed: a change in the same
    # clock tick would leave its status as it was.
    state = walk_project(tmp_path, started_ns=time.time_ns()).state.encode()
    kept = again(tmp_path, state)
    assert kept.listed == 2 and kept.state_changed
    # Listed again far enough from its change, the folder is kept.
    assert walk_project(tmp_path, previous=kept.state.encode(), started_ns=time.time_ns() + LATER).listed == 0


def test_a_recent_ignore_file_keeps_no_state(tmp_path):
    write(tmp_path, "a/one.py")
    write(tmp_path, "a/.gitignore", "two.py\n")
    assert walk_project(tmp_path, started_ns=time.time_ns()).state is None
    assert walk_project(tmp_path, started_ns=time.time_ns() + LATER).state is not None


@pytest.mark.parametrize(
    "settings",
    [
        dict(max_file_bytes=10),
        dict(excludes=["a/"]),
        dict(use_gitignore=False),
        dict(languages=["typescript"]),
    ],
)
def test_other_walk_settings_walk_afresh(tmp_path, settings):
    write(tmp_path, "a/one.py")
    write(tmp_path, ".gitignore", "b/\n")
    write(tmp_path, "b/two.py")
    state = record(tmp_path)
    kept = again(tmp_path, state, **settings)
    assert kept.listed == kept.fresh.listed and kept.state_changed


def _damaged(state: bytes, rng: random.Random) -> bytes:
    data, _ = walk_state.unpack(state)
    record = rng.choice(data["records"])
    at = rng.randrange(len(record))
    record[at] = rng.choice([None, 7, "x/y", [], [1, 2], "\u0105W", {"a": 1}, -1, True])
    return walk_state.pack(data)


@pytest.mark.parametrize("seed", range(12))
def test_a_damaged_state_costs_a_listing_not_a_wrong_walk(tmp_path, seed):
    tree(tmp_path)
    state = record(tmp_path)
    again(tmp_path, _damaged(state, random.Random(seed)))


@pytest.mark.parametrize("blob", [b"", b"not zlib", zlib.compress(b"[1, 2]"), zlib.compress(b"{"), None, "text"])
def test_a_state_that_is_not_one_is_ignored(tmp_path, blob):
    write(tmp_path, "a/one.py")
    kept = again(tmp_path, blob)
    assert kept.listed == 2 and kept.unvouched is None


def _chunked_tree(root, monkeypatch) -> bytes:
    """Eight folders of one file each, their records packed two folders to
    a chunk; the state of a walk of them."""
    monkeypatch.setattr(walk_state, "CHUNK_FOLDERS", 2)
    for i in range(8):
        write(root, f"f{i}/m.py")
    return record(root)


@pytest.mark.parametrize(
    "change, repacked",
    [
        (lambda root: None, 0),
        (lambda root: write(root, "f3/m.py", "x = 22\n"), 1),  # one folder's record: its chunk
        (lambda root: write(root, "f3/n.py"), 1),  # listed again: a new record in its place
        (lambda root: write(root, "f0a/m.py"), 5),  # a folder more: the root's chunk, and every one from it on moves
    ],
    ids=["nothing", "file-edited", "file-added", "folder-added"],
)
def test_a_state_packs_again_only_the_chunks_whose_folders_changed(tmp_path, monkeypatch, change, repacked):
    state = _chunked_tree(tmp_path, monkeypatch)
    change(tmp_path)
    kept = again(tmp_path, state)
    packed = []
    real = walk_state._packed_json
    monkeypatch.setattr(walk_state, "_packed_json", lambda value: packed.append(value) or real(value))
    blob = kept.state.encode()
    assert len(packed) == 1 + repacked  # the head, then the chunks packed again
    # The same bytes as packing every chunk anew, and a state that reads back.
    data, chunks = walk_state.unpack(blob)
    sizes = [len(part) for part, _ in chunks]
    assert walk_state.pack(data) == blob and set(sizes[:-1]) == {2} and sum(sizes) == len(kept.state.records)
    assert walk_project(tmp_path, previous=blob, started_ns=time.time_ns() + LATER).as_before


def _frames(state: bytes) -> dict:
    data, chunks = walk_state.unpack(state)
    fields = {name: value for name, value in data.items() if name != "records"}
    first, *rest = [chunk for _, chunk in chunks]

    def framed(parts: list) -> bytes:
        text = json.dumps({**fields, "chunks": [len(part) for part in parts]}, ensure_ascii=False, separators=(",", ":"))
        head = zlib.compress(text.encode(), 1)
        return len(head).to_bytes(4, "little") + head + b"".join(parts)

    assert framed([first, *rest]) == state
    return {
        "cut": state[:-1],
        "longer": state + b"\0",
        "head-beyond": len(state).to_bytes(4, "little") + state[4:],
        "chunk-not-a-list": framed([zlib.compress(b'{"a":1}'), *rest]),
        "chunk-damaged": framed([bytes(len(first)), *rest]),
        "chunk-trailing": framed([first + b"\0", *rest]),
        "chunk-empty": framed([b"", first, *rest]),
        "one-stream": zlib.compress(json.dumps(data).encode()),
    }


@pytest.mark.parametrize(
    "frame", ["cut", "longer", "head-beyond", "chunk-not-a-list", "chunk-damaged", "chunk-trailing", "chunk-empty", "one-stream"]
)
def test_a_state_whose_frame_does_not_hold_is_ignored(tmp_path, monkeypatch, frame):
    broken = _frames(_chunked_tree(tmp_path, monkeypatch))[frame]
    assert walk_state.unpack(broken) is None
    kept = again(tmp_path, broken)
    assert kept.listed == kept.fresh.listed and kept.unvouched is None


def test_a_state_that_inflates_past_the_limit_is_ignored(tmp_path, monkeypatch):
    state = _chunked_tree(tmp_path, monkeypatch)
    data, chunks = walk_state.unpack(state)
    whole = sum(len(zlib.decompress(chunk)) for _, chunk in chunks)
    head = len(zlib.decompress(state[4 : 4 + int.from_bytes(state[:4], "little")]))
    monkeypatch.setattr(walk_state, "STATE_LIMIT", head + whole)
    assert walk_state.unpack(state) is not None
    monkeypatch.setattr(walk_state, "STATE_LIMIT", head + whole - 1)
    assert walk_state.unpack(state) is None


# -- whole runs ------------------------------------------------------------------

SETTLE_NS = 50_000_000


@pytest.fixture
def settling(monkeypatch):
    """Margins short enough for a test to wait them out; the walks of the
    runs, as made."""
    from tarnwick.indexer import cache, run

    monkeypatch.setattr(walk_state, "SETTLE_NS", SETTLE_NS)
    monkeypatch.setattr(cache, "_RACY_NS", SETTLE_NS)
    walks = []
    real = run.walk_project

    def walked(*args, **kwargs):
        walks.append(real(*args, **kwargs))
        return walks[-1]

    monkeypatch.setattr(run, "walk_project", walked)
    return walks


def settle():
    time.sleep(2 * SETTLE_NS / 1e9)


def _full_copy(source, target):
    import shutil

    from random_trees import outputs

    shutil.copytree(source, target, ignore=shutil.ignore_patterns(".vestra"))
    index_project(target, jobs=1, full=True, progress=False)
    return outputs(target, decoded=True)


@pytest.mark.parametrize("seed", range(4))
def test_runs_that_take_folders_over_equal_full_runs(tmp_path, seed, settling):
    from random_trees import Tree, outputs

    tree = Tree(tmp_path / "live", seed)
    settle()
    index_project(tree.root, jobs=1, progress=False)
    history = []
    for round_ in range(5):
        if tree.rng.random() < 0.5:
            settle()  # else the changes land in the margin of the last run
        history += [tree.change() for _ in range(tree.rng.randint(1, 4))]
        if tree.rng.random() < 0.7:
            settle()
        index_project(tree.root, jobs=1, progress=False)
        got = outputs(tree.root, decoded=True)
        assert got == _full_copy(tree.root, tmp_path / f"full{round_}"), history
    settle()
    index_project(tree.root, jobs=1, progress=False)
    settle()
    before = outputs(tree.root)
    stats = index_project(tree.root, jobs=1, progress=False)
    assert settling[-1].as_before and settling[-1].listed == 0
    assert stats.unchanged == stats.files and outputs(tree.root) == before
    # Folders were taken over along the way, not only at the end.
    assert any(walk.unvouched is not None and walk.listed < settling[0].listed for walk in settling[1:-2])


def test_a_run_with_nothing_changed_reads_no_cache_rows(tmp_path, settling, monkeypatch):
    from random_trees import outputs
    from tarnwick.indexer import cache

    root = tmp_path / "p"

    write(root, "a/one.py", "def one():\n    return 1\n")
    write(root, "b/two.py", "def two():\n    return 2\n")
    write(root, "b/three.py", "def three():\n    return 3\n")
    settle()
    index_project(root, jobs=1, progress=False)
    settle()
    monkeypatch.setattr(cache.CacheDB, "stamps", lambda self: pytest.fail("stamps read"))
    assert index_project(root, jobs=1, progress=False).unchanged == 3
    # A few files edited, added and removed: only their own rows are compared.
    write(root, "a/one.py", "def uno():\n    return 1\n")
    write(root, "c/four.py", "def four():\n    return 4\n")
    (root / "b/three.py").unlink()
    stats = index_project(root, jobs=1, progress=False)
    monkeypatch.undo()
    assert (stats.files, stats.unchanged) == (3, 1)
    summaries = json.loads((root / ".vestra/structured_summaries.json").read_text())
    assert sorted(summaries) == ["a/one.py", "b/two.py", "c/four.py"]
    assert list(summaries["a/one.py"]["functions"]) == ["uno"]
    assert outputs(root, decoded=True) == _full_copy(root, tmp_path / "full")


def _kept_state(root):
    import sqlite3

    db = sqlite3.connect(root / ".vestra/index-cache.db")
    try:
        return db.execute("SELECT value FROM meta WHERE key = 'walk'").fetchone()
    finally:
        db.close()


def test_a_run_that_cannot_keep_a_state_drops_the_old_one(tmp_path, settling):
    write(tmp_path, "a/one.py")
    write(tmp_path, ".gitignore", "b/\n")
    settle()
    index_project(tmp_path, jobs=1, progress=False)
    assert _kept_state(tmp_path) is not None
    write(tmp_path, ".gitignore", "a/\n")  # too recent to vouch for
    write(tmp_path, "c/three.py")
    index_project(tmp_path, jobs=1, progress=False)
    assert _kept_state(tmp_path) is None
    summaries = json.loads((tmp_path / ".vestra/structured_summaries.json").read_text())
    assert sorted(summaries) == ["c/three.py"]


def test_declarations_that_become_the_project_are_indexed(tmp_path, settling):
    write(tmp_path, "web/app.ts", "export function run() { return 1; }\n")
    write(tmp_path, "web/types.d.ts", "declare function typed(): number;\n")
    settle()
    index_project(tmp_path, jobs=1, progress=False)
    (tmp_path / "web/app.ts").unlink()
    settle()
    index_project(tmp_path, jobs=1, progress=False)
    summaries = json.loads((tmp_path / ".vestra/structured_summaries.json").read_text())
    assert sorted(summaries) == ["web/types.d.ts"]


def test_an_edit_in_the_same_tick_as_the_run_is_read(tmp_path, settling):
    path = write(tmp_path, "a/one.py", '"""Alpha."""\ndef first(): pass\n')
    settle()
    path.write_text('"""Gamma."""\ndef third(): pass\n')
    # Its time not safely before the run's start (as in the same clock tick):
    # its row cannot vouch for it.
    os.utime(path, ns=(time.time_ns(), time.time_ns() + 10**9))
    index_project(tmp_path, jobs=1, progress=False)
    before = path.stat()
    # Same length, and the clock gives it the very same modification time;
    # its folder's status is unchanged too.
    path.write_text('"""Omega."""\ndef finis(): pass\n')
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    settle()
    index_project(tmp_path, jobs=1, progress=False)
    assert settling[-1].unvouched == {"a/one.py"}  # its folder taken over, the file not vouched for
    record = json.loads((tmp_path / ".vestra/structured_summaries.json").read_text())["a/one.py"]
    assert record["description"] == "Omega." and list(record["functions"]) == ["finis"]


def test_an_edit_that_puts_size_and_time_back_is_read(tmp_path, settling):
    root = tmp_path / "p"
    path = write(root, "a/one.py", '"""Alpha."""\ndef first(): pass\n')
    write(root, "a/two.py", "def second(): pass\n")
    settle()
    index_project(root, jobs=1, progress=False)
    settle()  # its row and the walk's state vouch for its size and time on their own
    before = path.stat()
    # Same length, then its time put back (`touch -r`, `cp -p`, an archive's
    # times): only its change time moved.
    path.write_text('"""Omega."""\ndef finis(): pass\n')
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert (path.stat().st_size, path.stat().st_mtime_ns) == (before.st_size, before.st_mtime_ns)
    stats = index_project(root, jobs=1, progress=False)
    assert settling[-1].unvouched == {"a/one.py"} and stats.unchanged == 1
    record = json.loads((root / ".vestra/structured_summaries.json").read_text())["a/one.py"]
    assert record["description"] == "Omega." and list(record["functions"]) == ["finis"]
    from random_trees import outputs

    assert outputs(root, decoded=True) == _full_copy(root, tmp_path / "full")


def test_a_tree_copied_with_its_times_costs_a_read_not_a_parse(tmp_path, settling, monkeypatch):
    import shutil

    from tarnwick.indexer import cache, run

    for n in range(4):
        write(tmp_path, f"pkg/m{n}.py", f"def f{n}():\n    return {n}\n")
    settle()
    index_project(tmp_path, jobs=1, progress=False)
    settle()
    # Each file replaced by a copy with its times (`cp -a`, rsync -t): a new inode.
    for path in sorted((tmp_path / "pkg").iterdir()):
        shutil.copy2(path, path.with_name("copy.tmp"))
        os.replace(path.with_name("copy.tmp"), path)
    settle()
    parsed, digested = [], []
    real_summarize, real_read = run._summarize_all, cache.read_regular
    monkeypatch.setattr(run, "_summarize_all", lambda tasks, *a: parsed.extend(tasks) or real_summarize(tasks, *a))
    monkeypatch.setattr(cache, "read_regular", lambda path, limit: digested.append(path) or real_read(path, limit))
    before = _kept_state(tmp_path)
    stats = index_project(tmp_path, jobs=1, progress=False)
    assert parsed == [] and len(digested) == 4 and stats.unchanged == 4
    assert _kept_state(tmp_path) != before  # the new stamps and state kept
    # Once read, the files are vouched for as they are.
    settle()
    digested.clear()
    index_project(tmp_path, jobs=1, progress=False)
    assert settling[-1].as_before and digested == []


def test_the_parser_versions_are_those_the_package_metadata_gives():
    from importlib import metadata

    from tarnwick.indexer.cache import _PARSERS, _listed_versions

    listed = _listed_versions(_PARSERS + ("no-such-package-here",))
    for package in _PARSERS:
        try:
            assert listed.get(package) == metadata.version(package)
        except metadata.PackageNotFoundError:
            assert package not in listed
    assert "no-such-package-here" not in listed


def test_a_run_that_learns_nothing_leaves_the_cache_as_it_is(tmp_path):
    write(tmp_path, "a/one.py")
    index_project(tmp_path, jobs=1, progress=False)
    cache = tmp_path / ".vestra/index-cache.db"
    before = cache.stat().st_mtime_ns, cache.read_bytes()
    # Its folders are listed again (too recent to take over), to the same records.
    index_project(tmp_path, jobs=1, progress=False)
    assert (cache.stat().st_mtime_ns, cache.read_bytes()) == before
