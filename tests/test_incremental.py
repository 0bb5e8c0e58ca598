"""Incremental runs: only changed files are parsed again, and the output is
byte for byte what a full run writes."""

from __future__ import annotations

import json
import os
import re
import shutil
import sqlite3
import time
import zlib
from pathlib import Path

import pytest

from random_trees import outputs as every_output
from tarnwick.indexer import index_project

HERE = Path(__file__).resolve().parent
OUTPUTS = ("structured_summaries.json", "graph.json")


def outputs(root):
    """The data files, less the graph's stamp of the run that wrote it."""
    out = [(root / ".vestra" / name).read_bytes() for name in OUTPUTS]
    return [re.sub(rb'\n"generation":"[^"]*",', b"", data, count=1) for data in out]


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "p"
    shutil.copytree(HERE / "samples" / "ts-app", root / "web")
    shutil.copytree(HERE / "samples" / "go-mod", root / "svc")
    shutil.copytree(HERE.parent / "examples" / "bookshelf" / "bookshelf", root / "bookshelf")
    return root


def test_incremental_run_equals_full_run(project, monkeypatch):
    first = index_project(project, jobs=1)
    assert first.reused == 0
    total = first.files

    rules = project / "svc/store/rules.go"
    # Same size, written right after the run: only the content hash tells.
    rules.write_text(rules.read_text().replace("item.Quantity < item.Reorder", "item.Reorder > item.Quantity"))
    # Touched but unchanged: reused without parsing.
    loans = project / "bookshelf/loans.py"
    os.utime(loans, ns=(loans.stat().st_atime_ns, loans.stat().st_mtime_ns + 10**9))
    # A change that moves edges of files that did not change.
    task = project / "web/src/models/task.ts"
    task.write_text(task.read_text().replace("export function isOverdue", "export function isLate"))
    (project / "web/src/components/index.ts").unlink()
    (project / "svc/store/extra.go").write_text("package store\n\n// Count is new.\nfunc Count(s *Store) int { return len(s.items) }\n")

    second = index_project(project, jobs=1)
    assert second.reused == total - 3  # rules.go, task.ts changed; index.ts gone
    incremental = outputs(project)
    assert b"isLate" in incremental[0] and b"store/extra.go::Count" in incremental[1]

    full = index_project(project, jobs=1, full=True)
    assert full.reused == 0 and outputs(project) == incremental
    assert (second.files, second.edges, second.nodes) == (full.files, full.edges, full.nodes)
    # Nothing new learned: the cache is left as it is. Files changed within a
    # margin of a run are read again by the next, and the run that finds them
    # settled keeps that; margins short enough to wait out make that run come
    # first however long the runs above took.
    from tarnwick.indexer import cache as cache_module
    from tarnwick.indexer import walk_state

    monkeypatch.setattr(walk_state, "SETTLE_NS", 50_000_000)
    monkeypatch.setattr(cache_module, "_RACY_NS", 50_000_000)
    time.sleep(0.1)
    index_project(project, jobs=1)
    cache = project / ".vestra/index-cache.db"
    before = cache.stat().st_mtime_ns, cache.read_bytes()
    assert index_project(project, jobs=1).reused == second.files and outputs(project) == incremental
    assert (cache.stat().st_mtime_ns, cache.read_bytes()) == before

    # No source changed, but the resolution settings did.
    edge = b'"from":"web/src/App.tsx","to":"web/src/models/task.ts","rel":"imports"'
    assert edge in incremental[1]
    tsconfig = project / "web/tsconfig.json"
    tsconfig.write_text(tsconfig.read_text().replace('"@models": ["src/models/task.ts"],', ""))
    assert index_project(project, jobs=1).reused == second.files
    assert edge not in outputs(project)[1]
    incremental = outputs(project)

    # A cache that cannot be used means a full run, not a failure.
    (project / ".vestra/index-cache.db").write_text('{"signature": 1')
    assert index_project(project, jobs=1).reused == 0 and outputs(project) == incremental


def test_an_edit_to_an_extended_tsconfig_is_seen(tmp_path):
    files = {
        "tsconfig.base.json": '{"compilerOptions": {"baseUrl": ".", "paths": {"@m": ["a.ts"]}}}',
        "tsconfig.json": '{"extends": "./tsconfig.base.json"}',
        "a.ts": "export const a = 1;\n",
        "lib/b.ts": "export const a = 2;\n",
        "main.ts": 'import { a } from "@m";\n',
    }
    for rel, text in files.items():
        (tmp_path / rel).parent.mkdir(exist_ok=True)
        (tmp_path / rel).write_text(text)
    index_project(tmp_path, jobs=1)
    base = tmp_path / "tsconfig.base.json"
    base.write_text(base.read_text().replace('"a.ts"', '"lib/b.ts"'))
    assert index_project(tmp_path, jobs=1).reused == 3
    assert b'"from":"main.ts","to":"lib/b.ts","rel":"imports"' in outputs(tmp_path)[1]


def test_an_unparsable_file_does_not_cost_a_full_run(tmp_path):
    (tmp_path / "good.py").write_text("def f():\n    return 1\n")
    (tmp_path / "bad.py").write_text("def broken(:\n")
    (tmp_path / "other.py").write_text("def g():\n    return 2\n")
    first = index_project(tmp_path, jobs=1)
    assert [path for path, _ in first.unparsable] == ["bad.py"]
    (tmp_path / "other.py").write_text("def g():\n    return 3\n")
    again = index_project(tmp_path, jobs=1)
    # The edited file alone is parsed again; the cached failure is taken as it is.
    assert again.reused == 2 and [path for path, _ in again.unparsable] == ["bad.py"]


def _z(text: str) -> bytes:
    return zlib.compress(text.encode())


@pytest.mark.parametrize(
    "packed, reused",
    [
        # A blob that does not unpack under a sound head: found when a
        # resolution reads the file's reference fields (c.py reads a.py's),
        # and the run starts again from scratch.
        (b"not compressed", 0),
        (_z("hello"), 0),  # compressed, not JSON
        (_z("[]\0{}\0"), 0),  # a text missing
        ([], 1),  # no fields
        (["a", "b"], 1),  # fields of the wrong shape
        # Sound fields whose search documents are not documents: seen only
        # when the search index is built whole (an update reads the
        # documents of the files that changed), which then starts again
        # from scratch.
        ('{"a": 1}', 0),
        ("[1]", 0),
        ("[{}", 0),
        ('["many"]\n[{"f": 0}, {"f": 0}]', 0),  # a weight that is text
        ({"language": "cobol"}, 1),  # a language we do not read
        # Read only when a file that imports this one is resolved (here
        # c.py): the run then starts again from scratch.
        ({"imports": [[0, "os"]]}, 0),  # an import record cut short
        # Texts spliced into the outputs that do not parse: the record, the
        # nodes, the "contains" edges.  Found as they are written or read
        # back, before anything is placed (when the outputs are written
        # whole: copied from the previous ones, a kept file's texts are not
        # read at all).
        ((0, "{"), 0),
        ((1, '{"id":"a.py",'), 0),
        ((2, "]"), 0),
        ((1, None), 0),  # sound fields, the texts after the record cut off
    ],
)
def test_a_row_that_does_not_unpack_is_parsed_again(tmp_path, packed, reused):
    from tarnwick.indexer import cache as cache_module
    from tarnwick.indexer.cache_db import checksum

    (tmp_path / "a.py").write_text("import os\n\ndef f():\n    return 1\n")
    (tmp_path / "b.py").write_text("def g():\n    return 2\n")
    (tmp_path / "c.py").write_text("def h():\n    return 3\n")
    index_project(tmp_path, jobs=1)
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    blob, docs, links, head = db.execute("SELECT result, docs, links, head FROM files WHERE path = 'a.py'").fetchone()
    docs_text = zlib.decompress(docs)
    if isinstance(packed, str):  # the search documents
        docs_text, docs = packed.encode(), zlib.compress(packed.encode())
    elif isinstance(packed, bytes):
        blob = packed
    elif isinstance(packed, tuple):
        fields, texts = cache_module.unpack_parts(blob)
        texts[packed[0] :] = [] if packed[1] is None else [packed[1], *texts[packed[0] + 1 :]]
        blob = cache_module.pack_parts(fields, texts)
    else:
        fields, texts = cache_module.unpack_parts(blob)
        if isinstance(packed, dict):
            for name, value in packed.items():
                fields[cache_module._FIELDS.index(name)] = value
        else:
            fields = packed
        blob = cache_module.pack_parts(fields, texts)
        head = json.dumps(fields[: len(cache_module._HEAD)], separators=(",", ":"))
    # The checksum vouches for it.
    db.execute("UPDATE files SET result = ?, docs = ?, head = ?, checksum = ? WHERE path = 'a.py'", (blob, docs, head, checksum(blob, docs_text, head, links)))
    if isinstance(packed, tuple):
        db.execute("DELETE FROM meta WHERE key = 'layout'")
    db.commit()
    db.close()
    (tmp_path / "c.py").write_text("from a import f\n\ndef h():\n    return f()\n")  # something to write
    if isinstance(packed, str):
        (tmp_path / ".vestra/search.db").unlink()  # built whole, from every file's documents
    again = index_project(tmp_path, jobs=1, full=False)
    written = every_output(tmp_path)
    index_project(tmp_path, jobs=1, full=True)
    assert again.reused == reused and written == every_output(tmp_path)


def _every_language(tmp_path):
    """(path, fresh result) of files of each language, the samples and a
    star import, a partial parse and an unreadable file."""
    from tarnwick.indexer.extractors import grammar_of
    from tarnwick.indexer.summarize import summarize_file

    (tmp_path / "star.py").write_text("from .base import *\nimport os.path as p\nfrom . import util\n")
    (tmp_path / "broken.js").write_text("export * from './a';\nfunction f( {\n")
    (tmp_path / "blob.py").write_bytes(b"\0binary")
    files = [p for p in sorted(tmp_path.iterdir()) if p.is_file()]
    files += [p for p in sorted((HERE / "samples").rglob("*")) if p.is_file() and grammar_of(p.name)]
    for path in files:
        yield path, summarize_file((str(path), str(path), *grammar_of(path.name)))


def test_every_field_of_a_result_survives_the_cache(tmp_path):
    """Each language's results, reused from the cache, equal the fresh ones
    field for field; the samples give every field a value of its own, so a
    field the cache left out would come back empty."""
    from dataclasses import fields
    from tarnwick.indexer.cache import decode_result, pack_fields
    from tarnwick.indexer.result import FileResult

    fresh = []
    for path, result in _every_language(tmp_path):
        language = result.language
        reused = decode_result(str(path), pack_fields(result), language)
        reused.digest = result.digest  # kept in the row's stamp
        reused.search_docs = result.search_docs  # kept beside the fields
        assert [getattr(reused, f.name) for f in fields(FileResult)] == [getattr(result, f.name) for f in fields(FileResult)], path
        fresh.append((path, result))
    empty = FileResult("")
    unfilled = [f.name for f in fields(FileResult) if all(getattr(r, f.name) == getattr(empty, f.name) for _, r in fresh)]
    assert unfilled == ["record", "symbols", "symbol_text"]  # what encoding the results drops


def test_results_taken_over_equal_their_rows_and_keep_their_own_mutable_fields(tmp_path):
    """Each unchanged file's result made from its row's head (shared by
    files of the same shape) equals the whole row decoded, field for field,
    and its mutable fields are its own."""
    from dataclasses import fields

    from tarnwick.indexer.cache import Cache, decode_result, signature, taken_over
    from tarnwick.indexer.result import FileResult

    for name in ("a.py", "b.py"):  # one head for both
        (tmp_path / name).write_text(f"def {name[0]}():\n    return 1\n")
    (tmp_path / "c.js").write_text("export function c() { return 3; }\n")
    (tmp_path / "d.py").write_bytes(b"\0binary")
    index_project(tmp_path, jobs=1)
    cache = Cache.load(str(tmp_path / ".vestra"), str(tmp_path), signature(), False)
    try:
        languages = {"a.py": "python", "b.py": "python", "c.js": "javascript", "d.py": "python"}
        taken = cache.reuse_all()
        assert sorted(taken) == ["a.py", "b.py", "c.js", "d.py"]
        assert {rel: fields["language"] for rel, (fields, *_) in taken.items()} == languages
        names = [f.name for f in fields(FileResult) if f.name not in ("record_json", "nodes_json", "contains_json", "search_docs")]
        made = {rel: taken_over(rel, fields, hashed) for rel, (fields, _, _, hashed) in taken.items()}
        for rel, result in made.items():
            whole = decode_result(rel, cache.db.result(rel), result.language, whole=True, texts=False)
            whole.digest = cache.db.stamp(rel)[3]
            assert [getattr(result, name) for name in names] == [getattr(whole, name) for name in names], rel
        assert made["d.py"].error is not None
        assert taken["a.py"][0] is taken["b.py"][0]  # one head's fields, shared
        first, second = made["a.py"], made["b.py"]
        first.symbols.append(("f", "function", 1, 2))
        first.symbol_text["f"] = ((), "", ())
        assert second.symbols == [] and second.symbol_text == {} and first.symbols != []
    finally:
        cache.db.discard()


def test_a_result_packed_in_a_worker_spools_as_one_packed_here(tmp_path):
    """A worker hands each result over with its texts packed for the cache
    (and without the texts): the spooled row, its digests and the result
    left behind are those of the same result packed in the parent."""
    import copy
    import pickle
    from tarnwick.indexer.cache import Cache, ready_for_spool
    from tarnwick.indexer.cache_db import CacheDB

    caches = []
    for name in ("here", "worker"):
        (tmp_path / name).mkdir()
        caches.append(Cache("sig", CacheDB.create(str(tmp_path / name))))
    (tmp_path / "src").mkdir()
    try:
        here, worker = caches
        for path, result in _every_language(tmp_path / "src"):
            sent = pickle.loads(pickle.dumps(ready_for_spool(copy.deepcopy(result))))
            assert (sent.search_docs, sent.record_json, sent.nodes_json) == (None, None, None), path
            kept, digest = here.spool(result)
            taken, sent_digest = worker.spool(sent)
            assert sent_digest == digest and vars(taken).keys() == vars(kept).keys() and "spool_row" not in vars(taken)
            assert here.texts(kept.path) == worker.texts(taken.path) and here.docs(kept.path) == worker.docs(taken.path)
        rows = [c.db.db.execute("SELECT * FROM temp.spool ORDER BY path").fetchall() for c in caches]
        assert rows[0] == rows[1] and len(rows[0]) > 5
    finally:
        for cache in caches:
            cache.db.discard()


def test_a_spooled_result_reads_its_own_references_back(tmp_path):
    """A freshly parsed result holds only what other files' resolution
    reads once spooled: its own reference fields come back from the spool,
    equal to the fresh ones, as often as they are asked for after being
    let go, and a damaged spool entry is told as damage."""
    import copy
    from dataclasses import fields
    from tarnwick.indexer.cache import Cache, DamagedCache
    from tarnwick.indexer.cache_db import CacheDB
    from tarnwick.indexer.result import FileResult

    own = ["imports", "refs", "bases", "implements", "uses"]
    data, src = tmp_path / "data", tmp_path / "src"
    data.mkdir()
    src.mkdir()
    cache = Cache("sig", CacheDB.create(str(data)))
    kept = [f.name for f in fields(FileResult) if f.name not in ("record_json", "nodes_json", "contains_json", "search_docs")]
    try:
        for path, result in _every_language(src):
            expected = copy.deepcopy(result)
            spooled, _ = cache.spool(result)
            assert not set(own) & set(vars(spooled))
            for _ in range(2):
                assert [getattr(spooled, name) for name in kept] == [getattr(expected, name) for name in kept], path
                spooled.forget_own()
                assert not set(own) & set(vars(spooled))
        cache.db.db.execute("UPDATE temp.spool SET result = x'00'")
        with pytest.raises(DamagedCache):
            spooled.refs
    finally:
        cache.db.discard()


CHAIN = {
    "pkg/__init__.py": "",
    "pkg/a.py": "from .b import *\n",
    "pkg/b.py": "from .c import *\n",
    "pkg/c.py": "def f():\n    return 1\n",
    "pkg/d.py": "from .b import *\n",
    "pkg/user.py": "from .a import f, zzz\nfrom .late import g\n\ndef use():\n    return f() + g() + zzz()\n",
    # Its lookups meet what user.py's left in the resolver's memos.
    "pkg/user2.py": "from .late import g\nfrom .d import zzz\n\ndef use():\n    return g() + zzz()\n",
    "pkg/bystander.py": "def h():\n    return 2\n",
    "tools/run.py": "import helper\n\nhelper.go()\n",
    "tools/helper.py": "def go():\n    pass\n",
}


@pytest.mark.parametrize(
    "changes, edge, present, resolved",
    [
        # A definition moves along the star-import chain user -> a -> b -> c.
        (
            {"pkg/c.py": "def other():\n    return 1\n", "pkg/b.py": "from .c import *\n\ndef f():\n    return 3\n"},
            ("pkg/user.py", "pkg/b.py", "calls"),
            True,
            {"pkg/b.py", "pkg/c.py", "pkg/user.py", "pkg/user2.py"},
        ),
        # A name looked for in vain through two chains comes to be defined at their end.
        (
            {"pkg/c.py": "def f():\n    return 1\n\ndef zzz():\n    return 6\n"},
            ("pkg/user2.py", "pkg/c.py", "calls"),
            True,
            {"pkg/c.py", "pkg/user.py", "pkg/user2.py"},
        ),
        # A module imported before it existed appears.
        (
            {"pkg/late.py": "def g():\n    return 4\n"},
            ("pkg/user2.py", "pkg/late.py", "calls"),
            True,
            {"pkg/late.py", "pkg/user.py", "pkg/user2.py"},
        ),
        # The folder becomes a package: its modules no longer import each other as scripts.
        ({"tools/__init__.py": ""}, ("tools/run.py", "tools/helper.py", "imports"), False, {"tools/__init__.py", "tools/run.py"}),
        # The end of the chain goes.
        ({"pkg/c.py": None}, ("pkg/user.py", "pkg/c.py", "calls"), False, {"pkg/b.py", "pkg/user.py", "pkg/user2.py"}),
        # A body edited: nothing another file reads changed.
        ({"pkg/c.py": "def f():\n    return 5\n"}, ("pkg/user.py", "pkg/c.py", "calls"), True, {"pkg/c.py"}),
    ],
    ids=["definition-moves", "definition-appears", "module-appears", "becomes-package", "module-goes", "body-edit"],
)
def test_a_change_re_resolves_the_files_that_read_it(tmp_path, monkeypatch, changes, edge, present, resolved):
    from tarnwick.indexer import dependents

    for rel, text in CHAIN.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    index_project(tmp_path, jobs=1)
    for rel, text in changes.items():
        if text is None:
            (tmp_path / rel).unlink()
        else:
            (tmp_path / rel).write_text(text)
    asked = []
    real = dependents.resolve_edges

    def recording(*args):
        asked.append(set(args[4]))
        return real(*args)

    monkeypatch.setattr(dependents, "resolve_edges", recording)
    index_project(tmp_path, jobs=1)
    incremental = every_output(tmp_path, decoded=True)
    line = b'{"from":"%s","to":"%s","rel":"%s"}' % tuple(part.encode() for part in edge)
    assert (line in incremental["graph.json"]) == present
    assert asked == [resolved]
    # A full run builds the search index anew: its numbers may differ from an update's.
    index_project(tmp_path, jobs=1, full=True)
    assert every_output(tmp_path, decoded=True) == incremental


@pytest.mark.parametrize("changed", ["indexer/cache.py", "indexer/extractors/python.py", "search/tokens.py", "_words.so"])
def test_a_change_to_the_indexers_code_or_a_rebuilt_extension_starts_afresh(tmp_path, monkeypatch, changed):
    from importlib.machinery import EXTENSION_SUFFIXES

    from tarnwick.indexer import cache

    package = tmp_path / "tarnwick"
    files = ["indexer/cache.py", "indexer/extractors/python.py", "search/tokens.py", "_words.so", "README.txt"]
    for rel in files:
        (package / rel).parent.mkdir(parents=True, exist_ok=True)
        (package / rel).write_bytes(b"one")
    monkeypatch.setattr(cache, "__file__", str(package / "indexer" / "cache.py"))
    monkeypatch.setattr("importlib.machinery.EXTENSION_SUFFIXES", [".so"])
    before = cache._code_digest()
    (package / "README.txt").write_bytes(b"two")  # not code: the cache stays
    assert cache._code_digest() == before
    (package / changed).write_bytes(b"two")
    assert cache._code_digest() != before
    assert ".so" in EXTENSION_SUFFIXES


def _rerun_with_damaged_cache(root, statements, edited: str, text: str, decoded: bool = False):
    """Index, damage the cache by ``statements``, edit one file and index
    again: that run's stats, and whether its outputs are a full run's
    (the search index ``decoded`` when the edit adds symbols)."""
    index_project(root, jobs=1)
    db = sqlite3.connect(root / ".vestra/index-cache.db")
    for statement, args in statements:
        db.execute(statement, args)
    db.commit()
    db.close()
    (root / edited).write_text(text)
    again = index_project(root, jobs=1)
    written = every_output(root, decoded=decoded)
    index_project(root, jobs=1, full=True)
    return again, written == every_output(root, decoded=decoded)


@pytest.mark.parametrize(
    "value",
    [
        "NULL",
        "CAST(checksum || x'ff' AS TEXT)",  # a text that does not decode
        "substr(checksum, 2)",
        "checksum || x'00'",
        "zeroblob(64)",
    ],
)
@pytest.mark.parametrize("damaged", ["a.py", "b.py"])
def test_a_checksum_not_of_our_shape_has_its_row_parsed_again(tmp_path, value, damaged):
    # b.py is edited (its old row is read for its reference fields and
    # reads), a.py resolved again as it imports it.
    (tmp_path / "a.py").write_text("import b\n\ndef f():\n    return b.g()\n")
    (tmp_path / "b.py").write_text("def g():\n    return 2\n")
    (tmp_path / "c.py").write_text("def h():\n    return 3\n")
    again, as_full = _rerun_with_damaged_cache(
        tmp_path,
        [(f"UPDATE files SET checksum = {value} WHERE path = ?", (damaged,))],
        "b.py",
        "def g():\n    return 2\n\ndef k():\n    return 4\n",
        decoded=True,
    )
    assert as_full and again.functions == 4 and again.reused == (1 if damaged == "a.py" else 2)


@pytest.mark.parametrize("head", ['["error",', '[null,"python",false,[9,0,0,9],""]'])
@pytest.mark.parametrize(
    "edit, reused",
    [
        # Resolving the edited file reads a.py's head: the run starts again
        # reading every head first, and a.py is parsed again.
        ("from a import f\n\ndef g():\n    return f()\n", 0),
        # Nothing reads it: the file is taken over, its blocks copied.
        ("def g():\n    return 3\n", 1),
    ],
)
def test_a_head_its_checksum_does_not_name_is_not_used(tmp_path, head, edit, reused):
    (tmp_path / "a.py").write_text("def f():\n    return 1\n")
    (tmp_path / "b.py").write_text("def g():\n    return 2\n")
    again, as_full = _rerun_with_damaged_cache(
        tmp_path, [("UPDATE files SET head = ? WHERE path = 'a.py'", (head,))], "b.py", edit
    )
    assert again.reused == reused and again.functions == 2 and as_full


@pytest.mark.parametrize("links", ["x'789c'", "NULL"])  # damaged, or gone from a file that parsed
@pytest.mark.parametrize("layout", ["kept", "dropped"])
def test_damaged_links_of_a_kept_file_never_reach_the_graph(tmp_path, layout, links):
    # Kept, the file's edges are copied from the previous graph; written
    # whole, its links are read and found damaged: the run starts afresh.
    (tmp_path / "a.py").write_text("import b\n\ndef f():\n    return b.g()\n")
    (tmp_path / "b.py").write_text("def g():\n    return 2\n")
    (tmp_path / "c.py").write_text("def h():\n    return 3\n")
    damage = [(f"UPDATE files SET links = {links} WHERE path = 'a.py'", ())]
    if layout == "dropped":
        damage.append(("DELETE FROM meta WHERE key = 'layout'", ()))
    again, as_full = _rerun_with_damaged_cache(tmp_path, damage, "c.py", "def h():\n    return 4\n")
    assert as_full and again.edges == 2 + 3
    assert again.reused == (2 if layout == "kept" else 0)


@pytest.mark.parametrize("damaged", ["a.py", "b.py"])
def test_a_head_another_row_vouches_for_is_not_used_under_a_checksum_that_does_not_name_it(tmp_path, damaged):
    # a.py and b.py have the same head text; one row's checksum names
    # another head.  Whichever row comes first, only that file is parsed
    # again, once c.py's resolution reads both heads.
    from tarnwick.indexer.cache_db import HEAD, SUM_BYTES

    for name in ("a.py", "b.py"):
        (tmp_path / name).write_text(f"def {name[0]}():\n    return 1\n")
    (tmp_path / "c.py").write_text("def c():\n    return 3\n")
    index_project(tmp_path, jobs=1)
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    (heads,) = db.execute("SELECT count(DISTINCT head) FROM files WHERE path IN ('a.py', 'b.py')").fetchone()
    (check,) = db.execute("SELECT checksum FROM files WHERE path = ?", (damaged,)).fetchone()
    check = check[: HEAD * SUM_BYTES] + bytes(SUM_BYTES) + check[(HEAD + 1) * SUM_BYTES :]
    db.close()
    again, as_full = _rerun_with_damaged_cache(
        tmp_path,
        [("UPDATE files SET checksum = ? WHERE path = ?", (check, damaged))],
        "c.py",
        "from a import a\nfrom b import b\n\ndef c():\n    return a() + b()\n",
    )
    assert heads == 1 and as_full
    assert again.reused == 1  # the other of the two


@pytest.mark.parametrize("lookups", [0, 1, 1000])
def test_files_compared_row_by_row_or_all_rows_at_once_are_judged_alike(tmp_path, monkeypatch, lookups):
    # Up to `ROW_LOOKUPS` files are compared with their own rows, then every
    # row's stamp is read at once: touched files are reused either way, a
    # row of another shape is parsed again, gone files' rows are dropped.
    from tarnwick.indexer import cache as cache_module

    monkeypatch.setattr(cache_module, "ROW_LOOKUPS", lookups)
    for i in range(8):
        (tmp_path / f"m{i}.py").write_text(f"def f{i}():\n    return {i}\n")
    index_project(tmp_path, jobs=1)
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    db.execute("UPDATE files SET size = NULL WHERE path = 'm1.py'")
    db.commit()
    db.close()
    for i in (1, 2, 3, 4):  # touched, not changed
        info = (tmp_path / f"m{i}.py").stat()
        os.utime(tmp_path / f"m{i}.py", ns=(info.st_atime_ns, info.st_mtime_ns + 10**9))
    (tmp_path / "m5.py").write_text("def f5():\n    return 55\n")
    (tmp_path / "m6.py").unlink()
    again = index_project(tmp_path, jobs=1)
    assert (again.files, again.reused) == (7, 5)  # m1.py (its row) and m5.py parsed
    written = every_output(tmp_path, decoded=True)  # an update numbers files otherwise
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    rows = sorted(path for (path,) in db.execute("SELECT path FROM files"))
    db.close()
    assert rows == [f"m{i}.py" for i in (0, 1, 2, 3, 4, 5, 7)]
    index_project(tmp_path, jobs=1, full=True)
    assert written == every_output(tmp_path, decoded=True)


@pytest.mark.parametrize(
    "damage, hashed_all",
    [
        ([], False),
        # user.py's name gone: its hash is named by no row.
        ([("DELETE FROM names WHERE path = 'pkg/user.py'", ())], True),
        # user.py's name kept under bystander.py's hash, and bystander's under user's.
        (
            [
                ("UPDATE names SET path = 'swap' WHERE path = 'pkg/user.py'", ()),
                ("UPDATE names SET path = 'pkg/user.py' WHERE path = 'pkg/bystander.py'", ()),
                ("UPDATE names SET path = 'pkg/bystander.py' WHERE path = 'swap'", ()),
            ],
            True,
        ),
        # A name that is not text.
        ([("UPDATE names SET path = 7 WHERE path = 'pkg/user.py'", ())], True),
    ],
    ids=["sound", "name-missing", "names-swapped", "name-not-text"],
)
def test_the_readers_of_a_changed_key_are_named_without_hashing_every_path(tmp_path, monkeypatch, damage, hashed_all):
    # The cache keeps each reader's path beside its hash: only a name that
    # is missing or is not its hash's sends the run to hash every path.
    from tarnwick.indexer import cache_db, dependents

    for rel, text in CHAIN.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    for i in range(40):
        (tmp_path / "pkg" / f"other{i}.py").write_text(f"def o{i}():\n    return {i}\n")
    index_project(tmp_path, jobs=1)
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    named = db.execute("SELECT count(*), count(DISTINCT hash) FROM names").fetchone()
    (readers,) = db.execute("SELECT count(DISTINCT path) FROM reads").fetchone()
    for statement, args in damage:
        db.execute(statement, args)
    db.commit()
    db.close()
    (tmp_path / "pkg/c.py").write_text("def f():\n    return 1\n\ndef zzz():\n    return 6\n")
    hashed, asked = [], []
    real_hash, real_resolve = cache_db.text_hash, dependents.resolve_edges
    monkeypatch.setattr(cache_db, "text_hash", lambda text: hashed.append(text) or real_hash(text))
    monkeypatch.setattr(dependents, "resolve_edges", lambda *args: asked.append(set(args[4])) or real_resolve(*args))
    index_project(tmp_path, jobs=1)
    incremental = every_output(tmp_path, decoded=True)
    assert asked == [{"pkg/c.py", "pkg/user.py", "pkg/user2.py"}]
    assert named == (readers, readers) and readers >= 4  # a name for every file whose resolution read a key
    assert ("pkg/other7.py" in hashed) == hashed_all
    index_project(tmp_path, jobs=1, full=True)
    assert every_output(tmp_path, decoded=True) == incremental


@pytest.mark.parametrize("buckets", [1, 3])
def test_keys_and_paths_whose_hashes_collide_only_resolve_files_again_in_vain(tmp_path, monkeypatch, buckets):
    # The reads are kept by hashes: with every key and path in a few buckets,
    # a changed key's readers are among those resolved again, and the run
    # is a full run's.
    from tarnwick.indexer import cache_db, dependents

    real_hash, real_resolve = cache_db.text_hash, dependents.resolve_edges
    monkeypatch.setattr(cache_db, "text_hash", lambda text: real_hash(text) % buckets)
    for rel, text in CHAIN.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    index_project(tmp_path, jobs=1)
    (tmp_path / "pkg/c.py").write_text("def f():\n    return 1\n\ndef zzz():\n    return 6\n")
    asked = []
    monkeypatch.setattr(dependents, "resolve_edges", lambda *args: asked.append(set(args[4])) or real_resolve(*args))
    index_project(tmp_path, jobs=1)
    incremental = every_output(tmp_path, decoded=True)
    assert len(asked) == 1 and {"pkg/c.py", "pkg/user.py", "pkg/user2.py"} <= asked[0]
    if buckets == 1:  # every reader's hash is the changed keys': resolved again in vain
        assert "tools/run.py" in asked[0]
    index_project(tmp_path, jobs=1, full=True)
    assert every_output(tmp_path, decoded=True) == incremental


@pytest.mark.parametrize(
    "damage, in_paths, in_heads",
    [
        (None, True, True),
        ("UPDATE files SET head = NULL WHERE path = 'a.py'", True, False),
        ("UPDATE files SET head = CAST(head AS BLOB) WHERE path = 'a.py'", True, False),
        ("UPDATE files SET checksum = NULL WHERE path = 'a.py'", True, False),
        ("UPDATE files SET checksum = checksum || x'00' WHERE path = 'a.py'", True, False),
        ("UPDATE files SET checksum = substr(checksum, 1, 63) WHERE path = 'a.py'", True, False),
        ("UPDATE files SET checksum = CAST(checksum AS TEXT) WHERE path = 'a.py'", True, False),
        ("UPDATE files SET size = NULL WHERE path = 'a.py'", False, False),
        ("UPDATE files SET digest = x'07' WHERE path = 'a.py'", False, False),
        ("UPDATE files SET path = CAST(path AS BLOB) WHERE path = 'a.py'", True, True),
        ("UPDATE files SET path = x'ff' WHERE path = 'a.py'", False, False),
        # Text cells that do not decode: the pass is read again cell by cell.
        ("UPDATE files SET head = CAST(x'ff61' AS TEXT) WHERE path = 'a.py'", True, False),
        ("UPDATE files SET path = CAST(x'ff61' AS TEXT) WHERE path = 'a.py'", False, False),
        ("UPDATE files SET digest = CAST(x'ff61' AS TEXT) WHERE path = 'b.py'", True, True),
    ],
)
def test_the_heads_pass_keeps_the_paths_of_every_row_of_our_shape(tmp_path, damage, in_paths, in_heads):
    # The rows' paths gathered while the heads are read are those a reading
    # of the paths alone gives: rows whose head does not hold stay among them.
    from tarnwick.indexer.cache import signature
    from tarnwick.indexer.cache_db import CacheDB

    for name in ("a.py", "b.py"):
        (tmp_path / name).write_text(f"def {name[0]}():\n    return 1\n")
    index_project(tmp_path, jobs=1)
    if damage is not None:
        db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
        db.execute(damage)
        db.commit()
        db.close()
    found = []
    for read_heads in (True, False):  # one run's connection at a time
        db = CacheDB.open(str(tmp_path / ".vestra"), str(tmp_path), signature())
        try:
            heads = set(db.heads(lambda head: head)) if read_heads else None
            # Cells read after the pass still decode as the rest of the run reads them.
            found.append((db.paths(), heads, set(db.stamps())))
        finally:
            db.discard()
    (by_heads, heads, stamped), (alone, _, _) = found
    assert by_heads == alone == stamped == ({"a.py", "b.py"} if in_paths else {"b.py"})
    assert heads == ({"a.py", "b.py"} if in_heads else {"b.py"})


def test_a_cell_read_after_a_sound_heads_pass_that_does_not_decode_is_no_crash(tmp_path):
    # The pass reads its rows' text whole; the cells read after it are read
    # as every other, a text that does not decode as bytes.
    from tarnwick.indexer.cache import signature
    from tarnwick.indexer.cache_db import CacheDB

    (tmp_path / "a.py").write_text("def f():\n    return 1\n")
    index_project(tmp_path, jobs=1)
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    db.execute("UPDATE meta SET value = CAST(x'ff61' AS TEXT) WHERE key = 'run'")
    db.commit()
    db.close()
    db = CacheDB.open(str(tmp_path / ".vestra"), str(tmp_path), signature())
    try:
        assert set(db.heads(lambda head: head)) == {"a.py"}
        assert db.run() == {}
    finally:
        db.discard()


@pytest.mark.parametrize("lookups", [0, 1000])
@pytest.mark.parametrize(
    "damage",
    [
        "UPDATE files SET path = x'ff' WHERE path = 'a.py'",
        # Text cells that do not decode, on the unchanged and on the edited row.
        "UPDATE files SET path = CAST(x'ff61' AS TEXT) WHERE path = 'a.py'",
        "UPDATE files SET head = CAST(x'ff61' AS TEXT) WHERE path = 'a.py'",
        "UPDATE files SET digest = CAST(x'ff61' AS TEXT) WHERE path = 'a.py'",
        "UPDATE files SET path = CAST(x'ff62' AS TEXT) WHERE path = 'b.py'",
        "UPDATE files SET head = CAST(x'ff62' AS TEXT) WHERE path = 'b.py'",
        "UPDATE files SET digest = CAST(x'ff62' AS TEXT) WHERE path = 'b.py'",
        "UPDATE names SET path = CAST(x'ff61' AS TEXT)",
    ],
)
def test_a_row_whose_text_does_not_decode_is_left_out_not_a_crash(tmp_path, monkeypatch, lookups, damage):
    # Its file is parsed again, whether the rows are read by their heads, by
    # their stamps all at once or by their paths, and their heads one at a
    # time or all at once.
    from tarnwick.indexer import cache as cache_module

    monkeypatch.setattr(cache_module, "ROW_LOOKUPS", lookups)
    monkeypatch.setattr(cache_module, "HEAD_LOOKUPS", lookups)
    (tmp_path / "a.py").write_text("def f():\n    return 1\n")
    (tmp_path / "b.py").write_text("import a\n\ndef g():\n    return a.f()\n")
    again, as_full = _rerun_with_damaged_cache(tmp_path, [(damage, ())], "b.py", "import a\n\ndef g():\n    return 2\n")
    assert as_full and again.functions == 2
    if "SET path" in damage and "a.py" in damage:
        assert again.reused == 0  # no row is its file's


def test_a_row_of_another_language_than_the_walks_is_parsed_again(tmp_path):
    # Its head is sound, as its checksum says, but names another language;
    # read when b.py's resolution follows its import.
    from tarnwick.indexer.cache_db import HEAD, SUM_BYTES, blob_sum

    (tmp_path / "a.py").write_text("def f():\n    return 1\n")
    (tmp_path / "b.py").write_text("def g():\n    return 2\n")
    index_project(tmp_path, jobs=1)
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    head, check = db.execute("SELECT head, checksum FROM files WHERE path = 'a.py'").fetchone()
    db.close()
    head = head.replace('"python"', '"javascript"', 1)
    check = check[: HEAD * SUM_BYTES] + blob_sum(head.encode("utf-8")) + check[(HEAD + 1) * SUM_BYTES :]
    again, as_full = _rerun_with_damaged_cache(
        tmp_path,
        [("UPDATE files SET head = ?, checksum = ? WHERE path = 'a.py'", (head, check))],
        "b.py",
        "from a import f\n\ndef g():\n    return f()\n",
    )
    assert '"javascript"' in head and as_full and again.reused == 0 and again.functions == 2


@pytest.mark.parametrize("order", ["as walked", "reversed"])
def test_the_runs_paths_are_in_path_order_however_the_walk_gives_its_files(tmp_path, monkeypatch, order):
    # The walk's files in path order are the run's paths as they come; in
    # any other order they are sorted first: the outputs are a full run's.
    from tarnwick.indexer import run as run_module

    for name in ("b.py", "a.py", "c/d.py", "c.py"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(f"def f():\n    return {len(name)}\n")
    index_project(tmp_path, jobs=1)
    walk = run_module.walk_project

    def walked(*args, **kwargs):
        found = walk(*args, **kwargs)
        if order == "reversed":
            found.files = found.files[::-1]
        return found

    monkeypatch.setattr(run_module, "walk_project", walked)
    (tmp_path / "c.py").write_text("def f():\n    return 9\n")
    again = index_project(tmp_path, jobs=1)
    written = every_output(tmp_path)
    monkeypatch.undo()
    index_project(tmp_path, jobs=1, full=True)
    assert written == every_output(tmp_path) and again.unchanged == 3
