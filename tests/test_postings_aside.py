"""A full build's postings gathered by a helper process: the same lengths,
postings and index as gathered in process (documents sent before the
splits of compound words, which the helper applies), and a helper that
stops fails the build instead of leaving postings out."""

import os
import random
import sys

import pytest

from random_trees import Tree, outputs
from tarnwick._scoring import encode_postings
from tarnwick.indexer import index_project
from tarnwick.search import full_build, postings_aside
from tarnwick.search.corpus import MemoryCorpus
from tarnwick.search.postings_aside import AsideFailed, PostingsAside
from tarnwick.search.tokens import add_compound_parts
from tarnwick.search.weights import DEFAULT_WEIGHTS


def _documents(seed: int, files: int) -> list:
    """Per file its document, then its symbols' ({term: weight}; some with
    the uncounted share a length leaves out)."""
    rng = random.Random(seed)
    words = [f"w{n}" for n in range(40)] + ["caf\u00e9", "\u00fcber", "x\U0001f600", "setw1", "w2w3"]
    made = []
    for _ in range(files):
        docs = []
        for _ in range(1 + rng.randint(0, 4)):
            terms = {rng.choice(words): rng.choice((1, 0.5, 2.25, 1 / 3)) for _ in range(rng.randint(0, 12))}
            if rng.random() < 0.3:
                terms["#uncounted"] = 0.25
            docs.append(terms)
        made.append(docs)
    return made


def _ready(tmp_path) -> PostingsAside:
    aside = PostingsAside.start(str(tmp_path / "search.db"))
    assert aside.ready()
    return aside


# Compounds whose words are in the documents or not, one word raised by two
# compounds in turn: the order in which they are applied shows.
SPLITS = {"setw1": ("set", "w1"), "w2w3": ("w2", "w3"), "w39": ("w3", "9")}


def _in_process(made: list, splits) -> tuple:
    corpus = MemoryCorpus()
    for docs in made:
        docs = [dict(terms) for terms in docs]
        if splits is not None:
            add_compound_parts(docs, splits, DEFAULT_WEIGHTS)
        number = corpus.add_file("", docs[0])
        for terms in docs[1:]:
            corpus.add_symbol(number, None, terms)
    terms = [(term, encode_postings(*entry)) for term, entry in corpus.sorted_terms()]
    return corpus.file_length, corpus.symbol_length, terms


@pytest.mark.parametrize(
    "seed, files, batch_terms, run_postings, batch_bytes, splits",
    [
        (1, 0, 10, 10, 10, None),  # nothing sent: empty lengths, no terms
        (1, 0, 10, 10, 10, SPLITS),
        (2, 1, 1, 1, 1, SPLITS),  # every file a batch, every posting a run, every term a frame
        (3, 60, 7, 25, 64, None),  # no splits told: the documents as sent
        (3, 60, 7, 25, 64, {}),
        (5, 60, 7, 25, 64, SPLITS),
        (4, 60, 10**9, 10**9, 10**9, SPLITS),  # one batch, no run written: sorted in memory
    ],
)
def test_helper_gathers_what_the_corpus_gathers(tmp_path, monkeypatch, seed, files, batch_terms, run_postings, batch_bytes, splits):
    monkeypatch.setattr(postings_aside, "BATCH_TERMS", batch_terms)
    monkeypatch.setattr(postings_aside, "HELPER_RUN_POSTINGS", run_postings)
    monkeypatch.setattr(postings_aside, "BATCH_BYTES", batch_bytes)
    made = _documents(seed, files)
    with _ready(tmp_path) as aside:
        for docs in made:
            assert aside.add_documents([dict(terms) for terms in docs])
        if splits is not None:
            assert aside.split(splits, DEFAULT_WEIGHTS.compound_share)
        lengths = aside.lengths()
        terms = list(aside.encoded_terms())
    assert (*lengths, terms) == _in_process(made, splits)
    assert os.listdir(tmp_path) == []  # its scratch runs and documents are gone


def test_a_helper_that_does_not_come_up_takes_no_documents(tmp_path, monkeypatch):
    monkeypatch.setattr(postings_aside, "BATCH_TERMS", 2)
    monkeypatch.setattr(postings_aside, "_helper_command", lambda path: [sys.executable, "-c", "raise SystemExit(1)"])
    aside = PostingsAside.start(str(tmp_path / "search.db"))
    assert aside.add_documents([{"one": 1.0}])  # not yet asked: its start overlaps the first files
    assert not aside.add_documents([{"two": 1.0}, {"three": 1.0}])
    assert not aside.split({}, 0.5)


def test_a_weight_of_another_type_is_a_type_error(tmp_path):
    # As in process, where the build reports a damaged cache.
    with _ready(tmp_path) as aside:
        aside.add_documents([{"word": "1.0"}])
        with pytest.raises(TypeError):
            aside.lengths()


def test_a_weight_of_another_type_in_a_compound_is_a_type_error(tmp_path):
    with _ready(tmp_path) as aside:
        aside.add_documents([{"setw1": "1.0"}])
        aside.split(SPLITS, 0.5)
        with pytest.raises(TypeError):
            aside.lengths()


def test_a_helper_that_stops_fails_the_build(tmp_path):
    with _ready(tmp_path) as aside:
        aside._process.kill()
        aside.add_documents([{"word": 1.0}])
        with pytest.raises(AsideFailed):
            aside.lengths()


def test_a_helper_that_stops_before_the_splits_fails_the_build(tmp_path):
    with _ready(tmp_path) as aside:
        aside._process.kill()
        aside._process.wait()
        with pytest.raises(AsideFailed):
            aside.add_documents([{"word": 1.0}] * 3)
            aside.split(SPLITS, 0.5)


def _index(root, jobs: int) -> dict:
    index_project(root, jobs=jobs, full=True, progress=False)
    return outputs(root)


@pytest.fixture
def started(monkeypatch) -> list:
    """The helpers a build started (None: one that could not start)."""
    monkeypatch.setattr(full_build, "ASIDE_MIN_FILES", 0)
    real = PostingsAside.start
    helpers = []

    def spy(path):
        helpers.append(real(path))
        return helpers[-1]

    monkeypatch.setattr(PostingsAside, "start", spy)
    return helpers


@pytest.mark.parametrize("seed", [3, 17])
def test_an_index_built_with_a_helper_is_the_one_built_in_process(tmp_path, monkeypatch, started, seed):
    monkeypatch.setattr(postings_aside, "HELPER_RUN_POSTINGS", 50)
    alone = _index(Tree(tmp_path / "alone", seed=seed).root, jobs=1)
    assert started == []
    aside = _index(Tree(tmp_path / "aside", seed=seed).root, jobs=2)
    assert len(started) == 1 and started[0] is not None
    assert aside == alone


def test_a_helper_that_cannot_start_leaves_the_postings_to_the_build(tmp_path, monkeypatch, started):
    alone = _index(Tree(tmp_path / "alone", seed=5).root, jobs=1)
    monkeypatch.setattr(sys, "executable", str(tmp_path / "no-python"))
    assert _index(Tree(tmp_path / "aside", seed=5).root, jobs=2) == alone
    assert started == [None]


def test_a_helper_that_does_not_come_up_leaves_the_postings_to_the_build(tmp_path, monkeypatch, started):
    alone = _index(Tree(tmp_path / "alone", seed=5).root, jobs=1)
    monkeypatch.setattr(postings_aside, "_helper_command", lambda path: [sys.executable, "-c", "raise SystemExit(1)"])
    assert _index(Tree(tmp_path / "aside", seed=5).root, jobs=2) == alone
    assert len(started) == 1 and started[0] is not None and started[0]._process.returncode == 1


def test_a_build_whose_helper_stops_places_nothing(tmp_path, monkeypatch, started):
    tree = Tree(tmp_path / "tree", seed=7)
    before = _index(tree.root, jobs=1)
    real = PostingsAside.add_documents

    def stopping(self, docs):
        if self.ready():  # up, and told of the first file: stopped mid-way
            self._process.kill()
            self._process.wait()
        return real(self, docs)

    monkeypatch.setattr(PostingsAside, "add_documents", stopping)
    monkeypatch.setattr(postings_aside, "BATCH_TERMS", 0)
    with pytest.raises(OSError, match="postings helper stopped"):
        index_project(tree.root, jobs=2, full=True, progress=False)
    assert outputs(tree.root) == before
    monkeypatch.undo()
    assert _index(tree.root, jobs=2) == before


@pytest.mark.parametrize(
    "numbers, amended, expected",
    [
        ([], [(4, 1.0)], [(4, 1.0)]),  # a posting where the term had none
        ([2, 5], [(1, 3.0)], [(1, 3.0), (2, 0.5), (5, 0.5)]),  # before the first
        ([2, 5], [(9, 3.0)], [(2, 0.5), (5, 0.5), (9, 3.0)]),  # after the last
        ([2, 5, 7], [(5, 3.0)], [(2, 0.5), (5, 3.0), (7, 0.5)]),  # a weight raised
        ([2, 5, 7], [(2, 3.0), (6, 3.0), (7, 4.0)], [(2, 3.0), (5, 0.5), (6, 3.0), (7, 4.0)]),
    ],
)
def test_amended_postings_take_their_place(numbers, amended, expected):
    from array import array

    from tarnwick.search.amends import _merged

    got = _merged(
        array("I", numbers + [n for n, _ in amended]), array("f", [0.5] * len(numbers) + [w for _, w in amended]), len(amended)
    )
    assert list(zip(*got)) == expected
