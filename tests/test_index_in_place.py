"""The search index updated in place: readers each read one whole index
(the one committed before their question began), a run stopped at any point
leaves one, and side files planted beside the index are never followed."""

from __future__ import annotations

import os
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

from tarnwick.context import search_result
from tarnwick.errors import IndexProblem
from tarnwick.indexer import index_project
from tarnwick.search.reader import IndexCorpus

QUESTIONS = ("zanzibar harbour", "handle request header")
WORDS = ("alpha", "beta", "gamma", "delta", "omega")


def _tree(root, files: int = 80) -> None:
    for i in range(files):
        path = root / "pkg" / f"m{i}.py"
        path.parent.mkdir(parents=True, exist_ok=True)
        word = WORDS[i % len(WORDS)]
        path.write_text(f"def handle_{word}_{i}(request):\n    return parse_header(request.{word})\n\n\nclass {word.title()}{i}:\n    pass\n")


def _edit(root) -> None:
    (root / "pkg" / "zanzibar.py").write_text("def zanzibar_harbour(request):\n    return handle_alpha_0(request)\n")


def _answers(root) -> list:
    return [[(f["path"], f["score"]) for f in search_result(question, root)[0]] for question in QUESTIONS]


def _index(root) -> IndexCorpus:
    return IndexCorpus(root, str(root / ".vestra" / "search.db"))


def test_a_reader_keeps_its_snapshot_until_it_asks_again(tmp_path):
    _tree(tmp_path, files=6)
    index_project(tmp_path, jobs=1, progress=False)
    inode = (tmp_path / ".vestra/search.db").stat().st_ino
    reader = _index(tmp_path)
    try:
        generation = reader.meta["generation"]
        _edit(tmp_path)
        index_project(tmp_path, jobs=1, progress=False)
        assert (tmp_path / ".vestra/search.db").stat().st_ino == inode  # updated, not copied
        # Committed after its snapshot began: not seen, whole or in part.
        assert reader.postings("zanzibar") is None and reader.file_count == 6
        assert reader.renew() is False
        with pytest.raises(IndexProblem, match="updated while in use"):
            reader.postings("handle")
    finally:
        reader.close()
    fresh = _index(tmp_path)
    try:
        assert fresh.meta["generation"] != generation and fresh.postings("zanzibar") is not None
        assert fresh.renew() is True  # nothing committed since: the same index on a new snapshot
    finally:
        fresh.close()


def _link_out(side, outside) -> None:
    side.symlink_to(outside)


def _fifo(side, outside) -> None:
    os.mkfifo(side)


def _oversized_log(side, outside) -> None:
    with open(side, "wb") as f:  # sparse: larger than any log of this index
        f.truncate(side.with_name("search.db").stat().st_size + (300 << 20))


@pytest.mark.parametrize("suffix", ["-wal", "-shm", "-journal"])
@pytest.mark.parametrize("plant", [_link_out, _fifo, _oversized_log])
def test_planted_side_files_are_never_followed(tmp_path, suffix, plant):
    if plant is _oversized_log and suffix != "-wal":
        pytest.skip("only the log has a bound")
    root, outside = tmp_path / "p", tmp_path / "outside.txt"
    _tree(root, files=4)
    index_project(root, jobs=1, progress=False)
    outside.write_bytes(b"not the project's\n" * 100)
    side = root / ".vestra" / f"search.db{suffix}"
    if side.exists():
        side.unlink()
    plant(side, outside)
    with pytest.raises(IndexProblem, match=f"search.db{suffix}"):
        _index(root).close()
    # The indexer removes what it did not leave, and reads the index again.
    _edit(root)
    index_project(root, jobs=1, progress=False)
    assert outside.read_bytes() == b"not the project's\n" * 100
    assert not (root / ".vestra" / f"search.db{suffix}").is_symlink()
    index = _index(root)
    try:
        assert index.postings("zanzibar") is not None
    finally:
        index.close()


def test_a_planted_journal_is_never_played_back(tmp_path):
    """A journal beside the index is not ours (updates go to the log): a
    reader refuses to play it back, the indexer removes it unread."""
    _tree(tmp_path, files=4)
    index_project(tmp_path, jobs=1, progress=False)
    data = tmp_path / ".vestra"
    before = (data / "search.db").read_bytes()
    # A journal's header that claims pages to put back.
    (data / "search.db-journal").write_bytes(b"\xd9\xd5\x05\xf9\x20\xa1\x63\xd7" + b"\x00\x00\x00\x01" + b"\x00" * 500)
    assert (data / "search.db").read_bytes() == before
    _edit(tmp_path)
    index_project(tmp_path, jobs=1, progress=False)
    assert not (data / "search.db-journal").exists()
    assert _answers(tmp_path)[0][0][0] == "pkg/zanzibar.py"


def _run(root) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-m", "tarnwick.cli.index", "-q", "-j", "1", str(root)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )


def test_a_run_stopped_at_any_moment_leaves_one_whole_index(tmp_path):
    root, saved = tmp_path / "p", tmp_path / "saved"
    _tree(root)
    index_project(root, jobs=1, progress=False)
    _edit(root)
    before = _answers(root)  # the previous index, the edit not yet indexed
    shutil.copytree(root / ".vestra", saved)
    # Killed between the index's commit and the graph's placement, the index
    # belongs to a graph not yet placed: left aside, the previous graph ranked
    # in memory.  Ctrl-C and termination wait for the set to be placed.
    for name in ("search.db", "search.db-wal", "search.db-shm"):
        (root / ".vestra" / name).unlink()
    aside = _answers(root)
    shutil.rmtree(root / ".vestra")
    shutil.copytree(saved, root / ".vestra")
    started = time.monotonic()
    assert _run(root).wait(timeout=120) == 0
    took = time.monotonic() - started  # the moments to stop it at, on this machine
    after = _answers(root)
    assert before != after and after[0][0][0] == "pkg/zanzibar.py"
    rng = random.Random(21)
    signals = [signal.SIGKILL] * 6 + [signal.SIGTERM, signal.SIGINT] * 2
    for step, signum in enumerate(signals):
        shutil.rmtree(root / ".vestra")
        shutil.copytree(saved, root / ".vestra")
        process = _run(root)
        time.sleep(rng.uniform(0.0, took))
        process.send_signal(signum)
        process.wait(timeout=120)
        assert _answers(root) in ((before, after, aside) if signum == signal.SIGKILL else (before, after)), (step, signum)
        index_project(root, jobs=1, progress=False)
        assert _answers(root) == after, (step, signum)


@pytest.mark.parametrize(
    "log, folder_mode, opened",
    [
        (b"", 0o555, True),  # nothing can write here and nothing is logged: read as it lies
        (b"", 0o755, False),  # a writer may come: never read without the lock
        (b"\x37\x7f\x06\x82" + b"\x00" * 28, 0o555, False),  # pages in a log that cannot be read through
    ],
)
def test_a_reader_that_cannot_make_the_log_files(tmp_path, monkeypatch, log, folder_mode, opened):
    import sqlite3

    from tarnwick.search import index_file

    root = tmp_path / "p"
    _tree(root, files=4)
    index_project(root, jobs=1, progress=False)
    data = root / ".vestra"
    (data / "search.db-shm").unlink()
    (data / "search.db-wal").write_bytes(log)
    real = index_file._snapshot_of

    def cannot_make(uri, timeout):
        if "immutable" not in uri:
            raise sqlite3.OperationalError("attempt to write a readonly database")
        return real(uri, timeout)

    monkeypatch.setattr(index_file, "_snapshot_of", cannot_make)
    data.chmod(folder_mode)
    try:
        if opened:
            index = _index(root)
            assert index.file_numbers(["pkg/m0.py"]) == [0]
            index.close()
        else:
            with pytest.raises(IndexProblem, match="readonly"):
                _index(root)
    finally:
        data.chmod(0o755)


@pytest.mark.parametrize("released", [True, False])
def test_a_server_between_calls_lets_the_log_be_emptied(tmp_path, released):
    from tarnwick.graph import release_search_indexes, search_index

    _tree(tmp_path, files=4)
    index_project(tmp_path, jobs=1, progress=False)
    held = search_index(tmp_path)  # a call of a long-lived server
    assert held.file_numbers(["pkg/m0.py"]) == [0]
    if released:
        release_search_indexes()  # the call ends
    _edit(tmp_path)
    index_project(tmp_path, jobs=1, progress=False)
    log = (tmp_path / ".vestra" / "search.db-wal").stat().st_size
    assert (log == 0) is released
    # The next call sees the new index.
    assert _answers(tmp_path)[0][0][0] == "pkg/zanzibar.py"
    assert search_index(tmp_path) is not held


def test_a_full_disk_during_an_update_keeps_the_previous_index(tmp_path, monkeypatch, capsys):
    from conftest import run_cli
    from tarnwick.search import index_file

    _tree(tmp_path, files=4)
    index_project(tmp_path, jobs=1, progress=False)
    before = _answers(tmp_path)
    real = index_file.InPlace.__init__

    def little_room(self, path):
        real(self, path)
        pages = self.db.execute("PRAGMA page_count").fetchone()[0]
        self.db.execute(f"PRAGMA max_page_count={pages}")  # no page more: SQLite's "full"

    monkeypatch.setattr(index_file.InPlace, "__init__", little_room)
    (tmp_path / "pkg" / "zanzibar.py").write_text("".join(f"def zanzibar_{i}():\n    pass\n" for i in range(400)))
    status, out, err = run_cli(capsys, "index", str(tmp_path), "-q")
    assert status != 0 and err.count("\n") == 1 and "full" in err, err
    assert _answers(tmp_path) == before
    monkeypatch.undo()
    index_project(tmp_path, jobs=1, progress=False)
    assert _answers(tmp_path)[0][0][0] == "pkg/zanzibar.py"
