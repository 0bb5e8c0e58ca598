"""The messages of past commits as a field of their files' documents: read
from HEAD only, bounded, incremental and optional."""

import os
import shutil
import subprocess
import time

import pytest

from tarnwick import project as project_module, vx
from tarnwick.indexer import index_project
from tarnwick.indexer import history
from tarnwick.indexer.history import HISTORY_NAME, History, parse_log, read_history

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git")


@pytest.fixture(autouse=True)
def _no_project(monkeypatch):
    monkeypatch.delenv(vx.ENV_VAR, raising=False)
    monkeypatch.setattr(project_module, "_project_override", None)
    vx.take_notes()


def git(root, *args, when=1_700_000_000):
    env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@t", GIT_AUTHOR_DATE=f"{when} +0000", GIT_COMMITTER_DATE=f"{when} +0000")
    return subprocess.run(["git", "-c", "init.defaultBranch=main", *args], cwd=root, env=env, check=True,
                          capture_output=True, text=True).stdout.strip()


def commit(root, message, files, when):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    git(root, "add", "-A")
    git(root, "commit", "-q", "--allow-empty", "-m", message, when=when)
    return git(root, "rev-parse", "HEAD")


FILES = {
    "shop/payments.py": "def charge(order):\n    return order.total\n",
    "shop/emails.py": "def send(message):\n    return message\n",
    "shop/stock.py": "def count(item):\n    return item.quantity\n",
}


@pytest.fixture
def repo(tmp_path):
    """Three commits; HEAD is left at the second, so the third lies after it."""
    root = tmp_path / "proj"
    root.mkdir()
    git(root, "init", "-q")
    first = commit(root, "Initial import", FILES, 1_700_000_000)
    second = commit(root, "Refund webhooks retried after a gateway timeout",
                    {"shop/payments.py": FILES["shop/payments.py"] + "# retried\n"}, 1_700_000_100)
    third = commit(root, "Zephyr courier labels for parcels",
                   {"shop/emails.py": FILES["shop/emails.py"] + "# labels\n"}, 1_700_000_200)
    git(root, "checkout", "-q", "--detach", second)
    return root, (first, second, third)


def first_file(root, query):
    vx.set_project(root)
    files = vx.retrieve(vx.load_graph(), query)["files"]
    return files[0]["id"] if files else None


def cached_text(root):
    return (root / ".vestra" / HISTORY_NAME).read_text()


def test_messages_of_past_commits_find_their_files_and_nothing_after_head_is_read(repo):
    root, (_, second, third) = repo
    stats = index_project(root, jobs=1)
    assert stats.warnings == []
    assert first_file(root, "webhooks retried after timeout") == "shop/payments.py"
    assert first_file(root, "zephyr courier") is None
    assert "Zephyr" not in cached_text(root) and third not in cached_text(root)


def test_history_is_read_incrementally_and_afresh_when_head_moves_back(repo, monkeypatch):
    root, (first, second, third) = repo
    index_project(root, jobs=1)
    calls = spy_on_git(monkeypatch)
    git(root, "checkout", "-q", "--detach", third)
    index_project(root, jobs=1)
    logs = [args for args in calls if args[0] == "log"]
    assert logs and logs[0][-2] == f"{second}..{third}"  # only the new commit is read
    assert first_file(root, "zephyr courier") == "shop/emails.py"
    assert first_file(root, "webhooks retried after timeout") == "shop/payments.py"

    calls.clear()
    git(root, "checkout", "-q", "--detach", first)
    index_project(root, jobs=1)
    assert [args[-2] for args in calls if args[0] == "log"] == [first]  # read afresh from HEAD
    assert first_file(root, "zephyr courier") is None
    assert first_file(root, "webhooks retried") is None
    assert "Zephyr" not in cached_text(root) and "webhooks" not in cached_text(root)


def spy_on_git(monkeypatch):
    calls = []
    real = history._git

    def spy(where, args, timeout):
        calls.append(args)
        return real(where, args, timeout)

    monkeypatch.setattr(history, "_git", spy)
    return calls


def test_a_run_at_the_same_head_reads_no_log(repo, monkeypatch):
    root, _ = repo
    index_project(root, jobs=1)
    calls = spy_on_git(monkeypatch)
    stats = index_project(root, jobs=1)
    assert stats.reused == len(FILES)
    assert calls and not [args for args in calls if args[0] == "log"]


def test_a_commit_of_indexed_changes_reaches_the_index(repo):
    root, _ = repo
    (root / "shop" / "stock.py").write_text(FILES["shop/stock.py"] + "# recount\n")
    index_project(root, jobs=1)
    # The commit changes no file since the last run: only the history moved.
    commit(root, "Quokka importer for stock counts", {}, 1_700_000_300)
    index_project(root, jobs=1)
    assert first_file(root, "quokka importer") == "shop/stock.py"


@pytest.mark.parametrize("edited", [False, True])
def test_an_update_after_the_history_moved_answers_as_a_full_build(repo, monkeypatch, edited):
    # Each file's old terms are counted from its documents with the history
    # it had then, which its state names: the update equals a full build.
    from random_trees import outputs
    from tarnwick.indexer import publish

    root, _ = repo
    index_project(root, jobs=1)
    commit(root, "Quokka importer for stock counts", {"shop/stock.py": FILES["shop/stock.py"] + "# recount\n"}, 1_700_000_300)
    if edited:  # its documents changed as well as its history
        (root / "shop" / "payments.py").write_text(FILES["shop/payments.py"] + "def refund(order):\n    return order\n")
    commit(root, "Wombat ledger for refunds", {}, 1_700_000_400)
    updates = []
    real = publish.update_index
    monkeypatch.setattr(publish, "update_index", lambda *a, **k: updates.append(real(*a, **k)) or updates[-1])
    index_project(root, jobs=1)
    assert updates and updates[-1] is not None  # updated in place, not built again
    incremental = outputs(root, decoded=True)
    index_project(root, jobs=1, full=True)
    assert outputs(root, decoded=True) == incremental
    assert first_file(root, "quokka importer") == "shop/stock.py"


def test_a_damaged_cache_is_read_afresh(repo):
    root, _ = repo
    index_project(root, jobs=1)
    (root / ".vestra" / HISTORY_NAME).write_text('{"format": 1, "head": 3, "commits": [[1]]}')
    git(root, "commit", "-q", "--allow-empty", "-m", "nothing")
    index_project(root, jobs=1)
    assert first_file(root, "webhooks retried after timeout") == "shop/payments.py"


@pytest.mark.parametrize("with_git", [False, True], ids=["no git", "a repository without commits"])
def test_a_tree_without_history_indexes_as_before(tmp_path, with_git):
    if with_git:
        git(tmp_path, "init", "-q")
    for rel, text in FILES.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    stats = index_project(tmp_path, jobs=1)
    assert stats.warnings == []
    assert not (tmp_path / ".vestra" / HISTORY_NAME).exists()


def test_a_shallow_clone_is_one_note(repo, tmp_path):
    root, _ = repo
    clone = tmp_path / "shallow"
    git(tmp_path, "clone", "-q", "--depth", "1", f"file://{root}", str(clone))
    stats = index_project(clone, jobs=1)
    assert stats.warnings == ["history not read: a shallow clone holds only part of it"]


@pytest.mark.parametrize("script, note", [
    (None, "history not read: git cannot be run"),
    (f"#!/bin/sh\nexec {shutil.which('sleep')} 30\n", "history not read: git did not answer within 0.5 s"),
])
def test_a_missing_or_hanging_git_is_one_note_in_bounded_time(repo, tmp_path, monkeypatch, script, note):
    root, _ = repo
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    if script:
        (bin_dir / "git").write_text(script)
        (bin_dir / "git").chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir))
    started = time.monotonic()
    found = read_history(str(root), str(root / ".vestra"), time_limit=0.5)
    assert time.monotonic() - started < 5.0
    assert found.note == note and found.commits == []


def test_log_records_with_renames_and_a_cut_last_record():
    data = (
        b"\x1e" + b"a" * 40 + b" 20\nFix the parser\n\nIt dropped a BOM.\n\nDetails.\x00\nM\x00p.py\x00R090\x00old.py\x00new.py\x00"
        b"\x1e" + b"b" * 40 + b" 10\nAdd old\n\n\x00\nA\x00old.py\x00"
        b"\x1e" + b"c" * 40 + b" 5\nCut sh"
    )
    commits = parse_log(data, complete=False)
    assert commits == [
        ["a" * 40, 20, "Fix the parser\nIt dropped a BOM.", [["M", "p.py"], ["R090", "old.py", "new.py"]]],
        ["b" * 40, 10, "Add old", [["A", "old.py"]]],
    ]
    # What the old name went through belongs to the new one.
    assert History("h", commits).messages(["new.py", "p.py"]) == {
        "p.py": ["Fix the parser\nIt dropped a BOM."],
        "new.py": ["Fix the parser\nIt dropped a BOM.", "Add old"],
    }


def test_a_commit_touching_many_files_credits_none():
    many = [["M", f"f{i}.py"] for i in range(history.MAX_FILES_PER_COMMIT + 1)]
    few = [["M", "f0.py"]]
    found = History("h", [["a" * 40, 2, "Reformat everything", many], ["b" * 40, 1, "Fix f0", few]]).messages(["f0.py"])
    assert found == {"f0.py": ["Fix f0"]}
