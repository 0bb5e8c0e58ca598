"""Counts that agree with their nouns, and one advice to index again,
wherever the commands print them."""

from __future__ import annotations

import ast
import re
from pathlib import Path

import pytest

from tarnwick.indexer.run import IndexStats, _Progress
from tarnwick.wording import INDEX_AGAIN, counted

PACKAGE = Path(__file__).resolve().parent.parent / "src" / "tarnwick"


@pytest.mark.parametrize(
    "count, words, expected",
    [
        (0, ("file",), "0 files"),
        (1, ("file",), "1 file"),
        (2, ("file",), "2 files"),
        (1, ("class", "classes"), "1 class"),
        (3, ("class", "classes"), "3 classes"),
        (1_000, ("edge",), "1000 edges"),
    ],
)
def test_a_count_takes_the_number_of_its_noun(count, words, expected):
    assert counted(count, *words) == expected


@pytest.mark.parametrize(
    "n, expected",
    [
        (1, "indexed 1 file, 1 unchanged: 1 function, 1 method, 1 class, 1 edge; 0 skipped, 0 unparsable; 0.00s"),
        (2, "indexed 2 files, 2 unchanged: 2 functions, 2 methods, 2 classes, 2 edges; 0 skipped, 0 unparsable; 0.00s"),
        (0, "indexed 0 files: 0 functions, 0 methods, 0 classes, 0 edges; 0 skipped, 0 unparsable; 0.00s"),
    ],
)
def test_the_summary_line_agrees_in_number(n, expected):
    stats = IndexStats(root="/p", files=n, unchanged=n, functions=n, methods=n, classes=n, edges=n)
    assert stats.summary_line() == expected


class _Stream(list):
    def write(self, text):
        self.append(text)

    def flush(self):
        pass


@pytest.mark.parametrize("total, last", [(1, "\rindexing: 1/1 file"), (2, "\rindexing: 2/2 files")])
def test_the_progress_counter_agrees_in_number(total, last):
    stream = _Stream()
    progress = _Progress(total, True, stream)
    for _ in range(total):
        progress.step()
    assert stream[-1] == last


def test_a_file_over_a_one_byte_limit_is_said_so(tmp_path):
    from tarnwick.indexer.walk import walk_project

    (tmp_path / "a.py").write_text("x = 1\n")
    assert walk_project(tmp_path, max_file_bytes=1).skipped == [("a.py", "larger than 1 byte")]


# An advice to run the indexer, in any of the spellings it once had.
_ADVICE = re.compile(r"run\s+`?tarnwick[- ]index", re.IGNORECASE)


def _advice_texts() -> list:
    """(file, line, text) of each string in the package's code (docstrings
    aside) that tells the user to run the indexer."""
    found = []
    for path in sorted(PACKAGE.rglob("*.py")):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        docstrings = {id(node.value) for node in ast.walk(tree) if isinstance(node, ast.Expr)}
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and id(node) not in docstrings:
                if _ADVICE.search(node.value):
                    found.append((path.relative_to(PACKAGE).as_posix(), node.lineno, node.value))
    return found


def test_the_advice_to_index_again_is_one_text():
    assert [(path, text) for path, _, text in _advice_texts()] == [("wording.py", INDEX_AGAIN)]
