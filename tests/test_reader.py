"""A search index ranks exactly as the corpus it was written from, whichever
chunks of its per-document arrays a question happens to read."""

from __future__ import annotations

import random

import pytest

from tarnwick.search import chunks
from tarnwick.search.corpus import MemoryCorpus
from tarnwick.search.rank import rank
from tarnwick.search.reader import IndexCorpus
from tarnwick.search.store import CHUNK, write_index

WORDS = [f"w{i}" for i in range(60)]
SYMBOL_WORDS = [f"s{i}" for i in range(10)]  # in no file's own document
FILES = 2 * CHUNK + 37  # three chunks, the last one short


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    rng = random.Random(7)
    corpus = MemoryCorpus()
    for n in range(FILES):
        terms = {w: float(rng.randint(1, 3)) for w in rng.sample(WORDS, 4)}
        if n % 600 == 1:
            terms["rare"] = 1.0  # a few postings: only their chunks are read
        corpus.add_file(f"pkg{n % 7}/m{n:05}.py", terms, flags=rng.choice([0, 0, 1, 2]))
    # Symbols placed at random: their files lie in other chunks than their own.
    for s in range(3 * CHUNK):
        owner = rng.randrange(FILES)
        info = (f"pkg{owner % 7}/m{owner:05}.py::f{s}", f"f{s}", "function", s, s + 2)
        terms = {w: 1.0 for w in rng.sample(WORDS + SYMBOL_WORDS, 3)}
        if s % 900 == 5:
            terms["seldom"] = 1.0
        corpus.add_symbol(owner, info, terms)
    corpus.set_imported_by({rng.randrange(FILES): rng.randint(1, 9) for _ in range(50)})
    corpus.finish()
    root = tmp_path_factory.mktemp("index")
    (root / ".vestra").mkdir()
    path = root / ".vestra" / "search.db"
    write_index(str(path), corpus, {"generation": "g", "nodes": 0, "edges": 0})
    return root, str(path), corpus


@pytest.mark.parametrize(
    "terms",
    [
        {"w1": 1.0},
        {"s1": 1.0},  # files reached through their symbols only
        {"rare": 1.0},
        {"seldom": 1.0},  # a few symbols, their files in other chunks
        {"rare": 1.0, "seldom": 2.0},
        {"w2": 1.0, "s9": 0.5},
        {w: 1.0 for w in WORDS[:20]},
        {"absent": 1.0},
    ],
)
def test_an_index_ranks_as_its_corpus(written, terms, monkeypatch):
    root, path, corpus = written
    monkeypatch.setattr(chunks, "_shared", {})  # only what these terms read
    index = IndexCorpus(root, path)
    try:
        for about_tests in (False, True):
            assert rank(index, terms, 40, about_tests) == rank(corpus, terms, 40, about_tests)
    finally:
        index.close()


def test_files_are_found_by_id_in_every_chunk(written):
    root, path, corpus = written
    index = IndexCorpus(root, path)
    try:
        numbers = [0, CHUNK - 1, CHUNK, FILES - 1, 5]
        assert index.file_numbers([corpus.file_ids[n] for n in numbers]) == numbers
        assert [index.file_id(n) for n in numbers] == [corpus.file_ids[n] for n in numbers]
    finally:
        index.close()
