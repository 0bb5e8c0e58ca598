"""A block that keeps its budget: fewer files, shorter summaries, fewer excerpts."""

import copy
import math
import shutil
from pathlib import Path

import pytest

import tarnwick.context_packer as cp
from tarnwick import context
from tarnwick.fit import shorten
from tarnwick.indexer import index_project
from tarnwick.token_count import ESTIMATE, Counter, section_tokens

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "bookshelf"
QUESTIONS = [
    "how are overdue loans detected",
    "how is the fine computed",
    "where are loans saved to disk",
    "send a reminder e-mail to a member",
]


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = tmp_path_factory.mktemp("budget")
    shutil.copytree(SAMPLE / "bookshelf", root / "bookshelf")
    index_project(root, progress=False)
    return root


@pytest.mark.parametrize("budget", [500, 650, 1000, 1500, 2000, 5000])
@pytest.mark.parametrize("question", QUESTIONS)
def test_the_block_fits_and_still_quotes_code(project, question, budget):
    result = context.build_result(question, project, budget, tokens=ESTIMATE)
    assert result.tokens == cp.estimate_tokens(result.block) <= budget
    assert "### Key Code" in result.block
    assert result.block.count("\n- **`") == len(result.files) >= 1


def test_a_block_that_fits_is_the_packers_own(project):
    question = QUESTIONS[0]
    result = context.build_result(question, project, 5000, tokens=ESTIMATE)
    summaries = cp.load_summaries(project)
    import tarnwick.vx as vx

    with vx.project(project):
        retrieved = vx.retrieve(vx.load_graph(), question, top_files=8, top_edges=40)
    view, _ = context.focus_summaries(summaries, retrieved["files"], vx.load_graph(), question)
    assert result.block == cp.pack(retrieved, view, vx.load_graph(), project, 5000)


def test_a_stricter_tokenizer_is_held_too(project):
    # Twice the estimate's count: the packer's own sections must give way.
    strict = Counter("strict", lambda text: math.ceil(len(text) / 1.6))
    for budget in (1000, 2000, 5000):
        result = context.build_result(QUESTIONS[1], project, budget, tokens=strict)
        assert result.tokens == strict.count(result.block) <= budget
        assert result.tokenizer == "strict"


RECORD = {
    "description": "Lending rules.\nMore detail that is not shown.",
    "functions": {
        f"f{i}": {"params": ["a: int"], "returns": "int", "calls_external": ["g"], "lines": [i * 10, i * 10 + 5]}
        for i in range(5)
    },
    "classes": {"C": {"bases": ["B"], "methods": ["m"], "lines": [60, 70]}},
    "variables": [{"name": "X", "used_by": ["f0"]}],
    "internal_graph": [{"from": "f0", "to": "f1"}],
    "imports": [{"module": "os"}],
}


@pytest.mark.parametrize(
    "level, keys, functions, function_keys",
    [
        (0, set(RECORD), 5, {"params", "returns", "calls_external", "lines"}),
        (1, {"description", "functions", "classes"}, 5, {"params", "returns", "lines"}),
        (2, {"description", "functions", "classes"}, 3, {"params", "lines"}),
        (3, {"description", "functions"}, 3, {"lines"}),
        (4, {"description", "functions"}, 1, {"lines"}),
    ],
)
def test_shorter_summaries_keep_the_lines_key_code_reads(level, keys, functions, function_keys):
    before = copy.deepcopy(RECORD)
    short = shorten(RECORD, level)
    assert RECORD == before  # the stored record is never changed
    assert set(short) == keys
    assert list(short["functions"]) == [f"f{i}" for i in range(functions)]
    assert all(set(info) == function_keys for info in short["functions"].values())
    assert [info["lines"] for info in short["functions"].values()] == [[i * 10, i * 10 + 5] for i in range(functions)]
    if level >= 3:
        assert short["description"] == "Lending rules."


def test_section_counts_follow_the_headings():
    block = "## Project Context\n\n\n### Relevant Files\n- a\n\n### Key Code (pre-loaded)\n```\nx\n```"
    parts = section_tokens(block, len)
    assert list(parts) == ["header", "Relevant Files", "Key Code"]
    assert sum(parts.values()) == len(block)


@pytest.mark.parametrize("loads", [True, False])
def test_a_real_tokenizer_counts_where_it_loads_else_the_estimate(monkeypatch, loads):
    import sys
    import types

    from tarnwick import token_count

    class Encoding:
        def encode(self, text, disallowed_special=()):
            return text.split()

    def get_encoding(name):
        if not loads:
            raise OSError("cannot fetch the encoding file")
        assert name == "o200k_base"
        return Encoding()

    monkeypatch.setitem(sys.modules, "tiktoken", types.SimpleNamespace(get_encoding=get_encoding))
    monkeypatch.setattr(token_count, "_found", [])
    found = token_count.counter()
    assert found.name == ("o200k_base" if loads else "estimate")
    assert found.count("one two three") == (3 if loads else 5)
