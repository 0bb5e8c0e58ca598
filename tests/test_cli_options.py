"""Settings that stay, the query's scope, redaction and `index --json` through the command."""

import json
import shutil
from pathlib import Path

import pytest

from conftest import run_cli as run
from tarnwick.scope import Scope, ScopeError, is_test_path

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
QUERY = "how are overdue loans detected"
STRIPE = "sk_" + "live_" + "4eC39HqLyjWDarjtT1zdp7dc"


@pytest.fixture
def project(tmp_path):
    shutil.copytree(SAMPLE / "bookshelf", tmp_path / "bookshelf")
    tests = tmp_path / "tests"
    tests.mkdir()
    (tests / "test_loans.py").write_text(
        "def test_overdue_loans_are_detected():\n    assert find_overdue_loans(store) == []\n"
    )
    return tmp_path


def index(capsys, root, *extra):
    status, out, err = run(capsys, "index", str(root), "-q", *extra)
    assert status == 0, err
    return out, err


def test_settings_stay_for_every_command(capsys, project):
    (project / "pyproject.toml").write_text(
        '[tool.tarnwick]\nexclude = ["tests/"]\nbudget = 700\nlanguages = ["python"]\n'
    )
    (project / "bookshelf" / "app.js").write_text("function overdueLoans() { return []; }\n")
    out, _ = index(capsys, project)
    assert out.startswith("indexed 7 files")  # tests/ and app.js left out, as the file says
    index(capsys, project)  # and again, with nothing on the command line
    status, out, _ = run(capsys, "context", QUERY, "--root", str(project), "--json")
    data = json.loads(out)
    assert (status, data["token_budget"]) == (0, 700) and data["tokens"] <= 700
    assert all(not f["path"].startswith("tests/") for f in data["files"])
    status, out, _ = run(capsys, "context", QUERY, "--root", str(project), "--json", "--budget", "900")
    assert json.loads(out)["token_budget"] == 900  # the option wins


@pytest.mark.parametrize("command", [["index"], ["context", QUERY, "--root"], ["search", QUERY, "--root"]])
def test_an_unusable_settings_file_is_one_line_and_status_2(capsys, project, command):
    index(capsys, project)
    (project / ".tarnwick.toml").write_text("budget = 0\n")
    status, out, err = run(capsys, *command, str(project))
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and f"{project / '.tarnwick.toml'}: budget must be a whole number" in err


def test_an_unknown_key_is_a_warning(capsys, project):
    (project / ".tarnwick.toml").write_text("exclud = ['tests/']\n")
    warning = f"{project / '.tarnwick.toml'}: unknown key exclud (did you mean 'exclude'?); ignored"
    status, out, err = run(capsys, "index", str(project), "-q")
    assert status == 0 and out.startswith("indexed 8 files")
    assert err == f"tarnwick: warning: {warning}\n"
    # Said once, and returned with the answer where a script reads it.
    for command in (["index", str(project)], ["context", QUERY, "--root", str(project)],
                    ["search", QUERY, "--root", str(project)]):
        status, out, err = run(capsys, *command, "--json")
        assert (status, err) == (0, f"tarnwick: warning: {warning}\n")
        assert json.loads(out)["warnings"] == [warning]


def test_no_tests_and_path_narrow_the_answer(capsys, project):
    index(capsys, project)
    status, out, _ = run(capsys, "search", "overdue loans detected", "--root", str(project), "--json", "-n", "20")
    everything = [f["path"] for f in json.loads(out)["files"]]
    assert "tests/test_loans.py" in everything
    status, out, _ = run(capsys, "search", "overdue loans detected", "--root", str(project), "--json", "--no-tests")
    assert "tests/test_loans.py" not in [f["path"] for f in json.loads(out)["files"]]
    status, out, _ = run(capsys, "context", QUERY, "--root", str(project), "--json", "--path", "tests")
    assert [f["path"] for f in json.loads(out)["files"]] == ["tests/test_loans.py"]
    status, _, err = run(capsys, "context", QUERY, "--root", str(project), "--path", "../elsewhere")
    assert (status, err) == (2, "tarnwick: error: --path ../elsewhere: not inside the project\n")


@pytest.mark.parametrize("path, is_test", [
    ("tests/test_x.py", True), ("pkg/test_x.py", True), ("pkg/x_test.go", True), ("src/a.spec.ts", True),
    ("src/__tests__/a.js", True), ("src/test/java/AppTest.java", True), ("conftest.py", True),
    ("pkg/testing.py", False), ("src/contest.py", False), ("latest/x.py", False), ("src/attest.ts", False),
])
def test_test_paths(path, is_test):
    assert is_test_path(path) is is_test


@pytest.mark.parametrize("given, root, paths", [
    (["./bookshelf/", "a//b"], None, ("bookshelf", "a/b")),
    (["."], None, ()),
    (["..cache/x"], None, ("..cache/x",)),  # a folder whose name starts with two dots
    (["/p/src/"], "/p", ("src",)),
    (["/p"], "/p", ()),
    (["a/../../b"], None, None),
    ([".."], None, None),
    (["/p/src"], None, None),  # absolute, and no root to place it in
    (["/elsewhere"], "/p", None),
])
def test_scope_paths_are_normalised(given, root, paths):
    if paths is None:
        with pytest.raises(ScopeError, match="not inside the project"):
            Scope.of(given, root=root)
    else:
        assert Scope.of(given, root=root).paths == paths


def test_scope_admits_whole_folder_names():
    assert Scope.of(["bookshelf"]).admits("bookshelf/loans.py") and not Scope.of(["book"]).admits("bookshelf/x.py")


def test_secrets_are_redacted_unless_asked(capsys, project):
    loans = project / "bookshelf" / "loans.py"
    loans.write_text(loans.read_text().replace(
        '    """True when an open loan is past its due date by more than the grace period."""\n',
        f'    """True when an open loan is past its due date by more than the grace period."""\n    key = "{STRIPE}"\n', 1))
    index(capsys, project)
    status, out, _ = run(capsys, "context", QUERY, "--root", str(project))
    assert status == 0 and STRIPE not in out and '    key = "[REDACTED stripe-key]"\n' in out
    status, out, _ = run(capsys, "context", QUERY, "--root", str(project), "--json")
    assert json.loads(out)["redacted"] == ["stripe-key"]
    status, out, _ = run(capsys, "context", QUERY, "--root", str(project), "--no-redact")
    assert f'    key = "{STRIPE}"\n' in out


def test_index_json_and_verbose_list_what_was_left_out(capsys, project):
    (project / "bookshelf" / "big.py").write_text("x = 1\n" * 5000)
    (project / "bookshelf" / "report.rb").write_text("puts 1\n")
    (project / "bookshelf" / "bad.py").write_text("def broken(:\n")
    (project / "vendor" / "lib").mkdir(parents=True)
    (project / "vendor" / "lib" / "six.py").write_text("def f():\n    pass\n")
    (project / "web").mkdir()
    (project / "web" / "app.min.js").write_text("function a(){}\n")
    status, out, err = run(capsys, "index", str(project), "--json", "--max-size", "20000")
    data = json.loads(out)
    assert (status, err) == (0, "")
    assert data["counts"]["files"] == 8 and data["counts"]["skipped"] == 1
    assert data["skipped"] == [{"path": "bookshelf/big.py", "reason": "larger than 20000 bytes"}]
    assert [f["path"] for f in data["unparsable"]] == ["bookshelf/bad.py"]
    assert (data["counts"]["in_languages_not_read"], data["languages_not_read"]) == (1, {"Ruby": 1})
    assert (data["counts"]["vendored_or_generated"], data["vendored_or_generated"]) == (2, ["vendor/", "web/app.min.js"])
    # Unchanged counts indexed files only: the unparsable one is counted as such, every run.
    (project / "bookshelf" / "cli.py").write_text("def main():\n    return 0\n")
    for unchanged in (7, 8):
        counts = json.loads(run(capsys, "index", str(project), "--json", "--max-size", "20000")[1])["counts"]
        assert (counts["files"], counts["unchanged"], counts["unparsable"]) == (8, unchanged, 1)
    (project / "bookshelf" / "bad.py").unlink()
    (project / "bookshelf" / "big\nline.py").write_text("x = 1\n" * 5000)
    status, out, err = run(capsys, "index", str(project), "-v", "--max-size", "20000")
    assert err.splitlines() == [
        "tarnwick: skipped bookshelf/big\\nline.py: larger than 20000 bytes",  # one line, whatever the name
        "tarnwick: skipped bookshelf/big.py: larger than 20000 bytes",
        "tarnwick: left out vendor/: vendored or generated",
        "tarnwick: left out web/app.min.js: vendored or generated",
    ]
    assert out.startswith("indexed 8 files, 8 unchanged") and "2 skipped" in out and "2 vendored or generated" in out
