"""`tarnwick context --diff` and `--staged`: what was just changed comes first, as its current code."""

import json
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import run_cli as run
from tarnwick.cli.main import main

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="the git command is not installed")


def git(root, *args):
    subprocess.run(
        ["git", "-c", "user.email=t@example.com", "-c", "user.name=t", "-c", "commit.gpgsign=false", *args],
        cwd=root, check=True, capture_output=True,
    )


@pytest.fixture
def repo(tmp_path, capsys):
    shutil.copytree(SAMPLE / "bookshelf", tmp_path / "bookshelf")
    (tmp_path / ".gitignore").write_text(".vestra/\n")
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", "-A")
    git(tmp_path, "commit", "-qm", "one")
    assert main(["index", str(tmp_path), "-q"]) == 0
    capsys.readouterr()
    return tmp_path


def edit_fine(root):
    """Lines added above compute_fine and inside it, and no new index."""
    path = root / "bookshelf" / "loans.py"
    text = path.read_text()
    text = text.replace("def compute_fine(", "# Fines follow the lending policy.\n\n\ndef compute_fine(", 1)
    text = text.replace("    late = loan.days_late(today) - GRACE_DAYS\n",
                        "    late = loan.days_late(today) - GRACE_DAYS  # whole days only\n    late = max(late, 0)\n", 1)
    path.write_text(text)


def key_code(block):
    return block.split("### Key Code", 1)[1].split("\n### ", 1)[0] if "### Key Code" in block else ""


@pytest.mark.parametrize("question", ["how are books listed", "how is a member's fine computed", "what changed"])
def test_a_just_edited_function_leads_with_its_current_code(capsys, repo, question):
    edit_fine(repo)
    status, out, err = run(capsys, "context", question, "--root", str(repo), "--diff")
    assert (status, err) == (0, "")
    line, block = out.split("\n\n", 1)
    assert line == "Changes against HEAD: bookshelf/loans.py (modified: compute_fine)"
    assert block.split("### Relevant Files\n", 1)[1].startswith("- **`bookshelf/loans.py`**")
    code = key_code(block)
    assert "# bookshelf/loans.py::compute_fine (lines 39-45)" in code
    assert "    late = max(late, 0)\n" in code


def edit_copies(root):
    """The last method of storage.py, behind functions the question does not ask about."""
    path = root / "bookshelf" / "storage.py"
    path.write_text(path.read_text().replace(
        "        return sum(1 for loan in self.open_loans() if loan.isbn == isbn)\n",
        "        # open loans of this title only\n        return len([l for l in self.open_loans() if l.isbn == isbn])\n"))


@pytest.mark.parametrize("edit, question, header", [
    # The changes' line leaves the packer less than its threshold for Key Code.
    (edit_fine, "how are books listed", "# bookshelf/loans.py::compute_fine (lines 39-45)"),
    (edit_fine, "what changed", "# bookshelf/loans.py::compute_fine (lines 39-45)"),
    # Excerpts come in source order: the stored functions before it must give way.
    (edit_copies, "how are copies counted", "# bookshelf/storage.py::Store.copies_out (lines 88-90)"),
])
def test_at_the_smallest_budget_the_edited_function_is_still_quoted(capsys, repo, edit, question, header):
    edit(repo)
    status, out, _ = run(capsys, "context", question, "--root", str(repo), "--diff", "--budget", "500", "--json")
    data = json.loads(out)
    assert status == 0 and data["tokens"] <= 500
    assert header in key_code(data["block"])


def test_the_question_alone_can_take_the_place_of_ref(capsys, repo):
    edit_fine(repo)
    status, out, _ = run(capsys, "context", "--diff", "how are books listed", "--root", str(repo))
    assert status == 0 and out.startswith("Changes against HEAD: bookshelf/loans.py")


def test_a_clean_tree_is_one_line_then_the_normal_block(capsys, repo):
    status, out, _ = run(capsys, "context", "how are books listed", "--root", str(repo), "--diff")
    plain = run(capsys, "context", "how are books listed", "--root", str(repo))[1]
    assert status == 0
    assert out == "No changes against HEAD: the block answers the question alone.\n\n" + plain


def test_added_deleted_binary_and_staged_files(capsys, repo):
    (repo / "bookshelf" / "audit.py").write_text('def audit_trail(loan):\n    """Who did what."""\n    return []\n')
    (repo / "bookshelf" / "cli.py").unlink()
    (repo / "cover.png").write_bytes(b"\x89PNG\0\0\0")
    git(repo, "add", "cover.png")
    git(repo, "commit", "-qm", "cover")
    (repo / "cover.png").write_bytes(b"\x89PNG\0\0\1")
    status, out, _ = run(capsys, "context", "audit trail", "--root", str(repo), "--diff", "HEAD", "--json")
    changes = json.loads(out)["changes"]
    assert status == 0
    assert [(f["path"], f["status"]) for f in changes["files"]] == [
        ("bookshelf/audit.py", "added"), ("bookshelf/cli.py", "deleted")]
    assert changes["skipped"] == [{"path": "cover.png", "reason": "binary"}]
    assert "def audit_trail(loan):" in json.loads(out)["block"]
    # Staged: only what was added to the index.
    edit_fine(repo)
    git(repo, "add", "bookshelf/loans.py")
    status, out, _ = run(capsys, "context", "audit trail", "--root", str(repo), "--staged")
    assert out.startswith("Staged changes: bookshelf/loans.py (modified: compute_fine)\n")


@pytest.mark.parametrize("ref, message", [
    ("nosuchref", "tarnwick: error: unknown revision 'nosuchref'\n"),
    ("--all", "tarnwick: error: not a revision: '--all'\n"),
    ("HEAD:bookshelf", "tarnwick: error: not a commit: 'HEAD:bookshelf' names a tree or a file\n"),
])
def test_a_bad_ref_is_one_line_and_status_2(capsys, repo, ref, message):
    assert run(capsys, "context", "q", "--root", str(repo), f"--diff={ref}") == (2, "", message)


def test_outside_a_work_tree(capsys, tmp_path):
    shutil.copytree(SAMPLE / "bookshelf", tmp_path / "bookshelf")
    assert main(["index", str(tmp_path), "-q"]) == 0
    capsys.readouterr()
    status, out, err = run(capsys, "context", "q", "--root", str(tmp_path), "--diff")
    assert (status, out, err) == (2, "", f"tarnwick: error: not in a git work tree: {tmp_path}\n")


def test_shallow_and_detached(capsys, repo, tmp_path_factory):
    edit_fine(repo)
    git(repo, "commit", "-qam", "two")
    clone = tmp_path_factory.mktemp("clone") / "c"
    git(repo, "clone", "-q", "--depth", "1", f"file://{repo}", str(clone))
    git(clone, "checkout", "-q", "--detach")
    assert main(["index", str(clone), "-q"]) == 0
    capsys.readouterr()
    status, out, err = run(capsys, "context", "q", "--root", str(clone), "--diff=HEAD~1")
    assert (status, out) == (2, "")
    assert err.startswith("tarnwick: error: unknown revision 'HEAD~1' (the repository is shallow")
    status, out, _ = run(capsys, "context", "fines", "--root", str(clone), "--diff")
    assert status == 0 and out.startswith("No changes against HEAD")


def test_changed_files_lead_at_most_five_those_the_question_found_first():
    from tarnwick.changed import ChangedFile, Changes, put_first

    record = {"description": "d", "functions": {"f": {"lines": [0, 3]}}}
    changes = Changes("HEAD", files=[
        ChangedFile(f"c{i}.py", "modified", lines_changed=i, record=record,
                    symbols=[{"name": "f", "symbol_kind": "function", "line_start": 0, "line_end": 3}],
                    current_lines={"f": (0, 3), "g": (5, 9)})
        for i in range(7)
    ] + [ChangedFile("gone.py", "deleted"), ChangedFile("notes.txt", "modified")])
    retrieved = [
        {"id": "a.py", "score": 5.0, "symbols": []},
        {"id": "c2.py::g", "score": 4.0, "symbols": [{"name": "g", "line_start": 40, "line_end": 44, "score": 2.0},
                                                   {"name": "removed", "line_start": 50, "line_end": 60, "score": 1.0}]},
    ]
    files, view = put_first(retrieved, {"a.py": {}}, changes, admits=lambda path: path != "c6.py")
    assert [f["id"] for f in files] == ["c2.py", "c5.py", "c4.py", "c3.py", "c1.py", "a.py"]
    c2 = files[0]
    # The changed function first, then the question's matches at their current lines; what is gone is dropped.
    assert [(s["name"], s["line_start"]) for s in c2["symbols"]] == [("f", 0), ("g", 5)]
    assert c2["symbols"][0]["score"] > c2["symbols"][1]["score"] and c2["score"] > 5.0
    assert view["c2.py"] is record and "gone.py" not in view and "notes.txt" not in view
