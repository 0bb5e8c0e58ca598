"""A search index ranks exactly as the corpus it was written from, whichever
chunks of its per-document arrays a question happens to read."""

from __future__ import annotations

import json
import random
import sqlite3
from array import array

from array import array

import pytest
from hypothesis import given, strategies as st

from tarnwick.search import chunks
from tarnwick.search.corpus import MemoryCorpus
from tarnwick.search.rank import rank
from tarnwick.search.reader import IndexCorpus
from tarnwick.search import store
from tarnwick.search.store import CHUNK, SYMBOL_KINDS, symbol_from_row, symbol_row, write_index

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
        # Ids under their file's (kept short), under another's, names that differ from the id.
        home = f"pkg{owner % 7}/m{owner:05}.py" if s % 3 else "elsewhere.py"
        info = (f"{home}::f{s}", f"f{s}" if s % 5 else f"C.f{s}", "function", s, s + 2)
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
            for top in (1, 8, 40):
                assert rank(index, terms, top, about_tests) == rank(corpus, terms, top, about_tests)
    finally:
        index.close()


def test_files_are_found_by_id_in_every_chunk(written):
    root, path, corpus = written
    index = IndexCorpus(root, path)
    try:
        numbers = [0, CHUNK - 1, CHUNK, FILES - 1, 5]
        assert index.file_numbers([corpus.file_ids[n] for n in numbers]) == numbers
        assert [index.file_id(n) for n in numbers] == [corpus.file_ids[n] for n in numbers]
        for outside in (FILES, -1):  # past the last chunk, and a number no chunk holds
            with pytest.raises(IndexError):
                index.file_id(outside)
    finally:
        index.close()


def test_every_symbol_reads_back_as_written(written, monkeypatch):
    root, path, corpus = written
    monkeypatch.setattr(chunks, "_shared", {})  # the files' ids read for the symbols alone
    index = IndexCorpus(root, path)
    try:
        numbers = list(range(corpus.symbol_count))
        assert index.symbols(numbers) == corpus.symbols(numbers)
    finally:
        index.close()


@pytest.mark.parametrize(
    "file_id, info, kept",
    [
        ("a.py", ("a.py::C.f", "C.f", "method", 1, 2), (0, "C.f", None)),
        ("a.py", ("a.py::f", "g", "function", 1, 2), (0, "f", "g")),
        ("a.py", ("a.pyx::f", "f", "function", 1, None), (None, "a.pyx::f", "f")),  # another file's prefix
        ("a.py", ("b.py::f", "b.py::f", "function", None, None), (None, "b.py::f", None)),
        ("a.py", (None, "f", "symbol", 3, 4), (None, None, "f")),
        ("\udcff.py", ("\udcff.py::\udcfe", "\udcfe", "function", 1, 2), (0, "\udcfe".encode("utf-8", "surrogatepass"), None)),
    ],
)
def test_a_symbol_row_keeps_only_what_its_file_does_not_say(file_id, info, kept):
    row = symbol_row(7, info, 0, file_id)
    assert row[1:4] == kept
    assert symbol_from_row(row[1:], {0: file_id}.__getitem__) == info


def test_the_arrays_chunks_fill_their_pages(tmp_path):
    """Two chunks of 4-byte numbers share a page of the file and one of 8-byte numbers fills
    one, without overflow pages: the arrays' pages are nearly full."""
    count = 12 * CHUNK + 5
    kinds = {**store.FILE_ARRAYS, **store.SYMBOL_ARRAYS, **{name: code for name, (code, _) in store.LENGTH_ARRAYS.items()}}
    arrays = {name: array(code, range(count)) if code != "B" else array(code, bytes(count)) for name, code in kinds.items()}
    db = sqlite3.connect(tmp_path / "arrays.db")
    db.execute("PRAGMA page_size=8192")
    db.execute(store.TABLES["arrays"])
    db.executemany("INSERT INTO arrays VALUES (?, ?)", store.array_rows(arrays, count, count, [str(n % 10) for n in range(count)]))
    db.commit()
    pages = dict(db.execute("SELECT pagetype, count(*) FROM dbstat WHERE name = 'arrays' GROUP BY pagetype"))
    payload, size = db.execute("SELECT sum(payload), sum(pgsize) FROM dbstat WHERE name = 'arrays'").fetchone()
    db.close()
    assert "overflow" not in pages
    assert payload > 0.9 * size


@pytest.mark.parametrize(
    "kind, kept",
    [("function", 0), ("method", 1), ("class", 2), ("type", 7), ("symbol", "symbol"), ("Function", "Function"),
     (None, None), ("\udcff", "\udcff".encode("utf-8", "surrogatepass"))],
)
def test_a_symbol_kind_of_the_graph_is_kept_as_its_number(kind, kept):
    info = ("a.py::f", "f", kind, 1, 2)
    row = symbol_row(3, info, 0, "a.py")
    assert row[4] == kept and type(row[4]) is type(kept)
    assert symbol_from_row(row[1:], {0: "a.py"}.__getitem__) == info


@pytest.mark.parametrize("code", [-1, len(SYMBOL_KINDS), 1 << 40])
def test_a_kind_number_that_names_no_kind_is_refused(code):
    with pytest.raises(ValueError, match="unknown kind"):
        symbol_from_row((0, "f", None, code, 1, 2), {0: "a.py"}.__getitem__)


def test_parts_kept_from_earlier_questions_are_the_graphs_own(tmp_path, monkeypatch):
    from random_trees import Tree
    from tarnwick.indexer import index_project
    from tarnwick.search import reader
    from tarnwick.search.compact import base

    tree = Tree(tmp_path / "p", seed=4)
    index_project(tree.root, jobs=1, progress=False)
    stored = json.loads((tree.root / ".vestra" / "graph.json").read_text())
    files = [node["id"] for node in stored["nodes"] if node["kind"] == "file"]
    monkeypatch.setattr(reader, "KEPT_PARTS", 3)  # some kept, some dropped between questions
    index = IndexCorpus(tree.root, str(tree.root / ".vestra" / "search.db"))
    try:
        for asked in (files[:1], files[:3], files[2:6], files[1:2], files[::2], files[:3]):
            nodes, edges = index.graph_part(asked)
            assert nodes == [node for node in stored["nodes"] if node["path"] in asked]
            assert [edge for _, edge in edges] == [
                edge for edge in stored["edges"] if edge["from"] in asked or base(edge["to"]) in asked
            ]
            assert index.file_edges(asked) == edges
    finally:
        index.close()


@pytest.mark.parametrize(
    "damage, message",
    [
        ("DELETE FROM arrays WHERE name = 'symbol_file/1'", "an array chunk is missing"),
        ("UPDATE arrays SET data = substr(data, 1, 8) WHERE name = 'symbol_file/2'", "an array chunk of the wrong length"),
        ("UPDATE arrays SET data = 'text' WHERE name = 'symbol_file/0'", "an array chunk is missing"),
        # A row of another name inside the array's range of names is not a chunk of it.
        ("UPDATE arrays SET name = 'symbol_file/1x' WHERE name = 'symbol_file/1'", "an array chunk is missing"),
        ("INSERT INTO arrays VALUES ('symbol_file/0x', x'00')", None),
        ("INSERT INTO arrays VALUES ('symbol_file/3', zeroblob(4096))", None),  # past the last chunk
    ],
)
@pytest.mark.parametrize("whole", [True, False])
def test_damaged_chunks_are_refused_whether_read_whole_or_one_by_one(written, tmp_path, damage, message, whole, monkeypatch):
    import shutil
    import sqlite3

    root, path, corpus = written
    (tmp_path / ".vestra").mkdir()
    copy = tmp_path / ".vestra" / "search.db"
    shutil.copyfile(path, copy)
    with sqlite3.connect(copy) as db:
        db.execute(damage)
    monkeypatch.setattr(chunks, "_shared", {})
    index = IndexCorpus(tmp_path, str(copy))
    try:
        # Every symbol at once names every chunk: the array is read in one pass; a symbol at a
        # time reads its chunk by name.
        asked = [range(corpus.symbol_count)] if whole else [[0], [CHUNK], [2 * CHUNK]]
        documents = index._documents

        def read():
            for numbers in asked:
                documents.need(("symbol_file",), numbers, index)

        if message is None:
            read()
            assert list(documents.symbol_file) == list(corpus.symbol_file)
        else:
            with pytest.raises(ValueError, match=message):
                read()
    finally:
        index.close()


@pytest.mark.parametrize(
    "name, damage, message",
    [
        ("file_norm", None, None),
        ("file_flags", None, None),
        ("file_ids", None, None),
        # The last chunk holds only the files left over: a full chunk there is damage.
        ("file_norm", "UPDATE arrays SET data = zeroblob(4096) WHERE name = 'file_norm/2'", "of the wrong length"),
        ("file_prior", "UPDATE arrays SET data = substr(data, 1, 36 * 4) WHERE name = 'file_prior/2'", "of the wrong length"),
        ("file_flags", "DELETE FROM arrays WHERE name = 'file_flags/2'", "an array chunk is missing"),
        ("file_ids", "DELETE FROM arrays WHERE name = 'file_ids/0'", "an array chunk is missing"),
        ("file_ids", "UPDATE arrays SET data = CAST(data || x'0078' AS BLOB) WHERE name = 'file_ids/2'", "file ids of the wrong length"),
    ],
)
def test_a_file_array_read_whole_takes_its_short_last_chunk_as_it_is(written, tmp_path, name, damage, message, monkeypatch):
    import shutil
    import sqlite3

    root, path, corpus = written
    (tmp_path / ".vestra").mkdir()
    copy = tmp_path / ".vestra" / "search.db"
    shutil.copyfile(path, copy)
    if damage:
        with sqlite3.connect(copy) as db:
            db.execute(damage)
    monkeypatch.setattr(chunks, "_shared", {})
    index = IndexCorpus(tmp_path, str(copy))
    try:
        documents = index._documents
        if message is not None:
            with pytest.raises(ValueError, match=message):
                documents.need((name,), range(corpus.file_count), index)
            return
        documents.need((name,), range(corpus.file_count), index)
        if name == "file_ids":
            read = [documents.file_ids[n // CHUNK][n % CHUNK] for n in range(corpus.file_count)]
            assert read == [corpus.file_id(n) for n in range(corpus.file_count)]
        else:
            assert list(getattr(documents, name)) == list(getattr(corpus, name))
    finally:
        index.close()


def test_decoded_postings_are_kept_within_their_bound(written, monkeypatch):
    root, path, corpus = written
    monkeypatch.setattr(chunks, "_shared", {})
    index = IndexCorpus(root, path)
    try:
        sizes = {term: len(corpus.postings(term)[0]) + len(corpus.postings(term)[2]) for term in ("rare", "seldom", "w1", "w2")}
        # Room for the two small terms and one common one, not two common ones.
        monkeypatch.setattr(chunks, "KEPT_POSTINGS", sizes["rare"] + sizes["seldom"] + max(sizes["w1"], sizes["w2"]))
        decoded = []
        real = index._decoded_postings
        monkeypatch.setattr(index, "_decoded_postings", lambda term: decoded.append(term) or real(term))
        for term in ("rare", "seldom", "w1", "rare", "w2", "w1", "absent", "absent", "seldom"):
            assert [list(a) for a in index.stored_postings(term) or ()] == [list(a) for a in corpus.postings(term) or ()]
        # w2 pushed out w1 and, the least recently asked then, "seldom"; nothing is kept for "absent".
        assert decoded == ["rare", "seldom", "w1", "w2", "w1", "absent", "absent", "seldom"]
        kept = index._documents._postings
        assert index._documents._postings_held == sum(len(p[0]) + len(p[2]) for p in kept.values())
        assert index._documents._postings_held <= chunks.KEPT_POSTINGS
        monkeypatch.setattr(chunks, "KEPT_POSTINGS", sizes["w1"] - 1)  # a term larger than the bound is not kept
        index._documents._postings.clear()
        index._documents._postings_held = 0
        index.stored_postings("w1")
        assert index._documents._postings == {}
    finally:
        index.close()


@pytest.mark.parametrize(
    "numbers, expected",
    [
        ([], set()),
        ([0], {0}),
        ([CHUNK - 1, CHUNK], {0, 1}),  # either side of a chunk's edge
        ([CHUNK, 2 * CHUNK - 1], {1}),
        ([5, 5, 5, CHUNK - 1], {0}),  # repeated numbers
        ([0, 3 * CHUNK, 3 * CHUNK + 1, 7 * CHUNK + 9], {0, 3, 7}),  # chunks skipped over
    ],
)
def test_the_chunks_of_ordered_numbers(numbers, expected):
    from array import array

    assert chunks._ordered_chunks(array("I", numbers)) == expected
    assert chunks._ordered_chunks(numbers) == chunks._chunks_of(numbers, 10 * CHUNK) == expected


@given(st.lists(st.integers(0, 40 * CHUNK), max_size=60))
def test_ordered_numbers_name_the_chunks_any_numbers_name(numbers):
    numbers.sort()
    assert chunks._ordered_chunks(numbers) == {n // CHUNK for n in numbers}


@pytest.fixture
def updatable(tmp_path):
    """A small project indexed as `tarnwick index` indexes it (the index keeps each file's block)."""
    from tarnwick.indexer import index_project

    root = tmp_path / "p"
    root.mkdir()
    for n in range(3):
        (root / f"m{n}.py").write_text("".join(f"def f{n}_{i}(x):\n    return x\n\n\n" for i in range(n + 1)))
    index_project(root, jobs=1, progress=False)
    return root, str(root / ".vestra" / "search.db")


def test_a_files_block_of_symbols_is_read_only_from_an_index_that_keeps_them(written, updatable):
    index = IndexCorpus(*written[:2])
    try:
        assert index.symbol_blocks([0, 1]) is None  # built without what an update needs
    finally:
        index.close()
    index = IndexCorpus(*updatable)
    try:
        blocks = index.symbol_blocks(range(index.file_count))
        assert sum(blocks[1::2]) - sum(blocks[::2]) == index.symbol_count == 6
        assert list(blocks) == sorted(blocks)
    finally:
        index.close()


@pytest.mark.parametrize(
    "change, outcome",
    [
        ("UPDATE docstate SET first_symbol = -1 WHERE number = 1", "a file's block of symbols out of range"),
        ("UPDATE docstate SET symbols = 1000 WHERE number = 1", "a file's block of symbols out of range"),
        ("UPDATE docstate SET first_symbol = 'x' WHERE number = 1", "a file's block of symbols out of range"),
        ("DELETE FROM docstate WHERE number = 1", None),  # not told: every posting is looked at by its file
    ],
)
def test_damaged_blocks_of_symbols_are_refused(updatable, change, outcome, monkeypatch):
    import sqlite3

    root, path = updatable
    db = sqlite3.connect(path)
    db.execute(change)
    db.commit()
    db.close()
    monkeypatch.setattr(chunks, "_shared", {})
    index = IndexCorpus(root, path)
    try:
        if outcome is None:
            assert index.symbol_blocks([0, 1]) is None
        else:
            with pytest.raises(ValueError, match=outcome):
                index.symbol_blocks([0, 1])
    finally:
        index.close()


@pytest.mark.parametrize("damage", [None, "swapped", "overlapping", "shifted", "moved overlapping"])
def test_first_symbols_that_disagree_with_a_files_block_are_refused(updatable, damage, monkeypatch):
    # Damaged, the files' first symbols still make a plausible array (swapped: file 1's block
    # out of file order, as an update moves one; overlapping or shifted: in order; moved
    # overlapping: file 1's block out of order and its room too short): the symbols' files are
    # left to them, and the blocks of the files a question scores exactly say otherwise.
    import sqlite3
    from array import array

    root, path = updatable
    if damage is not None:
        with sqlite3.connect(path) as db:
            blob = array("I", db.execute("SELECT data FROM arrays WHERE name = 'file_first_symbol/0'").fetchone()[0])
            assert list(blob) == [0, 1, 3]  # blocks of 1, 2 and 3 symbols
            if damage == "swapped":
                blob[1], blob[2] = blob[2], blob[1]
            elif damage == "overlapping":
                blob[2] = 2  # file 1's block of two runs into file 2's
            elif damage == "shifted":
                blob[1] = 2  # file 1's block said to begin one symbol later
            else:
                blob = array("I", [2, 1, 0])  # file 1's room runs up to file 0's, one symbol on
            db.execute("UPDATE arrays SET data = ? WHERE name = 'file_first_symbol/0'", (blob.tobytes(),))
    monkeypatch.setattr(chunks, "_shared", {})
    index = IndexCorpus(root, path)
    try:
        index.need_owners([], range(index.symbol_slots))
        assert index._documents.first_symbols is not None
        assert index._documents.owners_deferred
        if damage is not None:
            with pytest.raises(ValueError, match="not where its first symbol says"):
                index.symbol_blocks([1])
        else:
            blocks = index.symbol_blocks(range(index.file_count))
            assert sum(blocks[1::2]) - sum(blocks[::2]) == index.symbol_count == 6
            # Left to the first symbols, the symbols' files are written for the blocks looked up.
            assert list(index.scored_owners()) == [0, 1, 1, 2, 2, 2]
    finally:
        index.close()


def test_blocks_looked_up_before_the_symbols_files_were_left_get_their_files_written(updatable, monkeypatch):
    # A server's first question read the symbols' files chunk by chunk and looked up file 2's
    # block; a later one leaves them to the first symbols: the block's files must be written.
    root, path = updatable
    monkeypatch.setattr(chunks, "_shared", {})
    index = IndexCorpus(root, path)
    try:
        monkeypatch.setattr(chunks, "FIRSTS_FROM", 0)  # never worth it: chunks are read
        index.need_owners([], [0])
        index.symbol_blocks([2])
        documents = index._documents
        assert documents.first_symbols is None
        documents.symbol_file[3:6] = array("I", [0, 0, 0])  # as if its chunk held other files' symbols only
        documents._read["symbol_file"] = set()
        monkeypatch.setattr(chunks, "FIRSTS_FROM", 4)
        index.need_owners([], range(index.symbol_slots))
        assert documents.owners_deferred
        index.symbol_blocks([1, 2])
        assert list(index.scored_owners())[1:6] == [1, 1, 2, 2, 2]
        assert list(index.symbol_file) == [0, 1, 1, 2, 2, 2]  # read whole, made whole
        assert not documents.owners_deferred
    finally:
        index.close()


@pytest.mark.parametrize("large_pages", ["advised", "refused", "unknown"])
def test_a_mapped_array_read_whole_holds_the_indexs_numbers(written, large_pages, monkeypatch):
    import mmap

    root, path, corpus = written
    monkeypatch.setattr(chunks, "_MAPPED_BYTES", 1)  # every array mapped, as a large project's are
    monkeypatch.setattr(chunks, "_shared", {})
    if large_pages == "refused":
        monkeypatch.setattr(mmap, "MADV_HUGEPAGE", 0x7FFF, raising=False)  # no such advice: EINVAL
    elif large_pages == "unknown":
        monkeypatch.delattr(mmap, "MADV_HUGEPAGE", raising=False)
    index = IndexCorpus(root, path)
    try:
        documents = index._documents
        documents.need(("symbol_file",), range(corpus.symbol_count), index)
        documents.need(("file_prior",), range(corpus.file_count), index)
        assert isinstance(documents.symbol_file.obj, mmap.mmap)
        assert list(documents.symbol_file) == list(corpus.symbol_file)
        assert list(documents.file_prior) == list(corpus.file_prior)
    finally:
        index.close()


@pytest.fixture(scope="module")
def project_index(tmp_path_factory):
    """A project indexed as `tarnwick index` indexes it, many files sharing
    words in their functions' names and bodies."""
    from tarnwick.indexer import index_project

    rng = random.Random(5)
    words = ["parse", "line", "header", "fold", "event", "loop", "group", "rotate", "config", "section"]
    root = tmp_path_factory.mktemp("p") / "p"
    root.mkdir()
    for n in range(40):
        body = []
        for i in range(rng.randint(0, 6)):
            a, b = rng.sample(words, 2)
            body.append(f"def {a}_{b}_{i}(value):\n    \"\"\"{rng.choice(words)} {rng.choice(words)}\"\"\"\n    return value\n\n\n")
        (root / f"{rng.choice(words)}_{n}.py").write_text("".join(body) or "VALUE = 1\n")
    index_project(root, jobs=1, progress=False)
    return root, str(root / ".vestra" / "search.db")


@pytest.mark.parametrize("question", ["parse the line", "fold a header event", "rotate", "group config section loop"])
def test_symbols_files_left_to_the_first_symbols_rank_as_made_whole(project_index, question, monkeypatch):
    from tarnwick.search.tokens import query_terms
    from tarnwick.search.weights import DEFAULT_WEIGHTS

    terms = query_terms(question, DEFAULT_WEIGHTS)
    answers = []
    for left in (True, False):
        monkeypatch.setattr(chunks, "_shared", {})
        if not left:  # made whole as soon as they are left
            monkeypatch.setattr(IndexCorpus, "owners_left", lambda self: self._documents.owners_whole())
        index = IndexCorpus(*project_index)
        try:
            answers.append([rank(index, terms, top, False) for top in (1, 3, 8)])
            assert index._documents.owners_deferred is left
        finally:
            index.close()
    assert answers[0] == answers[1] and answers[0][2]
