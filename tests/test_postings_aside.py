"""A full build's postings gathered by a helper process: the same lengths,
postings and index as gathered in process (documents sent before the
splits of compound words, which the helper applies), and a helper that
stops fails the build instead of leaving postings out."""

import contextlib
import os
import random
import sys
from collections import Counter
from itertools import chain

import pytest

from random_trees import Tree, outputs
from tarnwick._scoring import encode_postings
from tarnwick.indexer import index_project
from tarnwick.search import full_build, postings_aside
from tarnwick.search.corpus import UNCOUNTED, MemoryCorpus
from tarnwick.search.postings_aside import AsideFailed, PostingsAside
from tarnwick.search.tokens import add_compound_parts, compound_splits
from tarnwick.search.weights import DEFAULT_WEIGHTS


def _documents(seed: int, files: int) -> list:
    """Per file its document, then its symbols' ({term: weight}; some with
    the uncounted share a length leaves out)."""
    rng = random.Random(seed)
    # Compounds rarer than their words; one word raised by two compounds.
    words = [f"w{n}" for n in range(40)] + ["caf\u00e9", "\u00fcber", "x\U0001f600", "settimeout", "timeoutvalue"]
    words += ["set", "timeout", "value"] * 4
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


# Candidates that split (one word raised by two compounds in turn: the order
# in which they are applied shows), and ones that do not.
CANDIDATES = ["settimeout", "timeoutvalue", "valueset", "absentwords"]


def _in_process(made: list, candidates) -> tuple:
    frequency = Counter()
    for docs in made:
        frequency.update(chain.from_iterable(docs))
    frequency.pop(UNCOUNTED, None)
    splits = compound_splits(frequency, candidates or ())
    corpus = MemoryCorpus()
    for docs in made:
        docs = [dict(terms) for terms in docs]
        add_compound_parts(docs, splits, DEFAULT_WEIGHTS)
        number = corpus.add_file("", docs[0])
        for terms in docs[1:]:
            corpus.add_symbol(number, None, terms)
    terms = [(term, frequency.get(term, 0), encode_postings(*entry)) for term, entry in corpus.sorted_terms()]
    return splits, corpus.file_length, corpus.symbol_length, terms


@pytest.mark.parametrize(
    "seed, files, batch_terms, run_postings, batch_bytes, candidates",
    [
        (1, 0, 10, 10, 10, None),  # nothing sent: empty lengths, no terms
        (1, 0, 10, 10, 10, CANDIDATES),
        (2, 1, 1, 1, 1, CANDIDATES),  # every file a batch, every posting a run, every term a frame
        (3, 60, 7, 25, 64, None),  # no candidates told: the documents as sent
        (3, 60, 7, 25, 64, []),
        (5, 60, 7, 25, 64, CANDIDATES),
        (4, 60, 10**9, 10**9, 10**9, CANDIDATES),  # one batch, no run written: sorted in memory
    ],
)
def test_helper_gathers_what_the_corpus_gathers(tmp_path, monkeypatch, seed, files, batch_terms, run_postings, batch_bytes, candidates):
    monkeypatch.setattr(postings_aside, "BATCH_TERMS", batch_terms)
    monkeypatch.setattr(postings_aside, "HELPER_RUN_POSTINGS", run_postings)
    monkeypatch.setattr(postings_aside, "BATCH_BYTES", batch_bytes)
    made = _documents(seed, files)
    with _ready(tmp_path) as aside:
        for docs in made:
            assert aside.add_documents([dict(terms) for terms in docs])
        if candidates is not None:
            assert aside.split(candidates, DEFAULT_WEIGHTS.compound_share)
        lengths = aside.lengths()
        terms = list(aside.encoded_terms())
    expected = _in_process(made, candidates)
    assert (*lengths, terms) == expected
    if files > 1 and candidates:
        assert {"settimeout", "timeoutvalue"} <= expected[0].keys()  # the mending is seen to
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
        aside.add_documents([{"set": 1.0, "timeout": 1.0}, {"set": 1.0, "timeout": 1.0}, {"settimeout": "1.0"}])
        aside.split(CANDIDATES, 0.5)
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
            aside.split(CANDIDATES, 0.5)


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


# A helper that makes its first term batch only after a minute: stopped
# before the build has read it all, however quick the machine.
_STALLING = (
    "import time; from tarnwick.search import postings_aside as p; made = p._Ahead.frame; "
    "p._Ahead.frame = lambda self, value, n=[]: (n.append(1), len(n) > 1 and time.sleep(60), made(self, value)); "
    "p.serve()"
)


# Stopped while it takes the documents, once told the splits (its postings
# made ahead while the build's last pass runs), and while they are read back.
@pytest.mark.parametrize("point", ["add_documents", "lengths", "encoded_terms"])
def test_a_build_whose_helper_stops_places_nothing(tmp_path, monkeypatch, started, point):
    tree = Tree(tmp_path / "tree", seed=7)
    before = _index(tree.root, jobs=1)
    real = getattr(PostingsAside, point)
    if point != "add_documents":
        command = postings_aside._helper_command
        monkeypatch.setattr(
            postings_aside, "_helper_command", lambda path: [part.replace("from tarnwick.search.postings_aside import serve; serve()", _STALLING) for part in command(path)]
        )

    def stopping(self, *args):
        if self.ready():  # up, and told of the first file: stopped mid-way
            self._process.kill()
            self._process.wait()
        return real(self, *args)

    monkeypatch.setattr(PostingsAside, point, stopping)
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


def _frames(count: int) -> list:
    return [[(f"term{n}", bytes([n % 256]) * 5000)] for n in range(count)]


def test_frames_are_made_ahead_of_a_reader_not_reading(tmp_path):
    # Far more than a pipe holds: the writer does not wait for the reader.
    read_end, write_end = os.pipe()
    with os.fdopen(read_end, "rb") as source, os.fdopen(write_end, "wb") as sink:
        ahead = postings_aside._Ahead(str(tmp_path), sink)
        try:
            for value in _frames(200):
                ahead.frame(value)
            got = [postings_aside._read_frame(source) for _ in range(200)]
            ahead.finish()
        finally:
            ahead.close()
    assert got == _frames(200)
    assert os.listdir(tmp_path) == []  # unlinked from the start


def test_frames_made_for_a_reader_that_went_away_fail(tmp_path):
    read_end, write_end = os.pipe()
    os.close(read_end)
    sink = os.fdopen(write_end, "wb")
    ahead = postings_aside._Ahead(str(tmp_path), sink)
    try:
        ahead.frame(["lost"])
        with pytest.raises(OSError):
            for value in _frames(50):
                ahead.frame(value)
            ahead.finish()
    finally:
        ahead.close()
        with contextlib.suppress(OSError):  # what it holds cannot be written either
            sink.close()
