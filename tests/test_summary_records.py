"""Queries read the summary records of the files they pack from the search
index, and make the same block as from the whole store; a record the index
cannot give leaves the store in charge."""

from __future__ import annotations

import json
import shutil
import sqlite3
import zlib
from pathlib import Path

import pytest

import tarnwick.context_packer as cp
from tarnwick import context, summary_records
from tarnwick.indexer import index_project
from tarnwick.search.store import RECORD_LIMIT, pack_record, unpack_record

HERE = Path(__file__).resolve().parent
SAMPLE = HERE.parent / "examples" / "bookshelf"
QUERIES = [
    "how are overdue loans detected",
    "renew a loan",
    "send a reminder notification",
    "task list component rendering",
    "go store rules",
]


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    root = tmp_path_factory.mktemp("records") / "p"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns(".vestra"))
    shutil.copytree(HERE / "samples" / "ts-app", root / "web")
    shutil.copytree(HERE / "samples" / "go-mod", root / "svc")
    index_project(root, jobs=1, progress=False)
    return root


def _from_store(monkeypatch):
    monkeypatch.setattr(summary_records, "records_for", lambda *a: None)


@pytest.mark.parametrize("query", QUERIES)
def test_the_block_is_the_one_the_whole_store_gives(project, monkeypatch, query):
    loads = []
    real_load = cp.load_summaries
    monkeypatch.setattr(cp, "load_summaries", lambda root: loads.append(root) or real_load(root))
    fast = context.build_result(query, project)
    ranked = context.search(query, project)
    assert loads == []  # the store was never parsed
    _from_store(monkeypatch)
    slow = context.build_result(query, project)
    assert loads  # and now it was
    assert (fast.block, fast.symbols, fast.warnings) == (slow.block, slow.symbols, slow.warnings)
    assert ranked == context.search(query, project)


def _set_record(root: Path, path: str, blob) -> None:
    db = sqlite3.connect(root / ".vestra" / "search.db")
    (number,) = db.execute("SELECT number FROM file_numbers WHERE id = ?", (path,)).fetchone()
    db.execute("UPDATE records SET record = ? WHERE number = ?", (blob, number))
    db.commit()
    db.close()


def _packed_against(words: bytes, text: bytes) -> bytes:
    packer = zlib.compressobj(6, zdict=words)
    return packer.compress(text) + packer.flush()


@pytest.mark.parametrize(
    "blob",
    [
        b"not compressed",
        "text, not a blob",
        zlib.compress(b"{not json"),
        pack_record("[1, 2]"),  # a shape the packer refuses
        pack_record('{"functions": {"is_overdue": {"lines": [0, 0]}}}'[:-1]),  # cut short
        zlib.compress(b"[" * 100_000),  # too deep to parse
        zlib.compress(b" " * (RECORD_LIMIT + 1)),  # unpacks past the bound
        _packed_against(b'"functions":{', b'{"functions":{}}'),  # packed against other words
    ],
)
def test_a_damaged_record_in_the_index_leaves_the_store_in_charge(tmp_path, blob):
    root = tmp_path / "shelf"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns(".vestra"))
    index_project(root, jobs=1, progress=False)
    expected = context.build_result(QUERIES[0], root).block
    _set_record(root, "bookshelf/loans.py", blob)
    assert context.build_result(QUERIES[0], root).block == expected
    assert "bookshelf/loans.py" in {f["path"] for f in context.search("overdue loans", root)}


def test_without_a_usable_index_the_store_is_read(tmp_path, monkeypatch):
    root = tmp_path / "shelf"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns(".vestra"))
    index_project(root, jobs=1, progress=False)
    (root / ".vestra" / "search.db").unlink()
    assert summary_records.records_for(root, {"generation": None}, ["bookshelf/loans.py"]) is None
    loads = []
    real_load = cp.load_summaries
    monkeypatch.setattr(cp, "load_summaries", lambda root: loads.append(root) or real_load(root))
    assert "is_overdue" in context.build_result(QUERIES[0], root).block and loads == [root]


def test_records_are_decoded_once_per_index_and_read_afresh_from_a_new_one(tmp_path, monkeypatch):
    from tarnwick.search.reader import IndexCorpus

    root = tmp_path / "shelf"
    shutil.copytree(SAMPLE, root, ignore=shutil.ignore_patterns(".vestra"))
    index_project(root, jobs=1, progress=False)
    asked = []
    real = IndexCorpus.summary_records
    monkeypatch.setattr(IndexCorpus, "summary_records", lambda self, numbers: asked.append(list(numbers)) or real(self, numbers))
    first = context.build_result(QUERIES[0], root).block
    assert context.build_result(QUERIES[0], root).block == first and len(asked) == 1
    loans = root / "bookshelf" / "loans.py"
    loans.write_text(loans.read_text().replace("def is_overdue(", "def is_past_due("))
    index_project(root, jobs=1, progress=False)
    again = context.build_result(QUERIES[0], root).block
    assert len(asked) == 2 and "is_past_due" in again


@pytest.mark.parametrize("text", ["{}", '{"a":"\\ud800 é"}', "{" + '"k":"v",' * 10_000 + '"z":1}'])
def test_records_pack_and_unpack(text):
    assert unpack_record(pack_record(text)) == text
    with pytest.raises(ValueError):
        unpack_record(pack_record(text)[:-3])
    with pytest.raises(ValueError, match="does not unpack"):
        unpack_record(_packed_against(b"other words", text.encode("utf-8", "surrogatepass")))


def test_records_are_packed_against_the_words_they_share():
    record = SAMPLE / ".vestra" / "structured_summaries.json"
    texts = [json.dumps(r, separators=(",", ":")) for r in json.loads(record.read_text()).values()]
    plain = sum(len(zlib.compress(text.encode(), 6)) for text in texts)
    assert sum(len(pack_record(text)) for text in texts) < 0.95 * plain


def test_file_numbers_are_the_positions_of_the_ids(project):
    from tarnwick.search.reader import IndexCorpus

    index = IndexCorpus(project, str(project / ".vestra" / "search.db"))
    try:
        ids = [index.file_id(n) for n in range(index.file_count)]
        picks = [ids[-1], ids[0], ids[len(ids) // 2], ids[0]]
        assert index.file_numbers(picks) == [len(ids) - 1, 0, len(ids) // 2, 0]
        for missing in (["no/such.py"], [["unhashable"]], [ids[0], "no/such.py"]):
            with pytest.raises(ValueError):
                index.file_numbers(missing)
        assert index.file_numbers(picks) == [len(ids) - 1, 0, len(ids) // 2, 0]  # a miss is not kept as a hit
    finally:
        index.close()
