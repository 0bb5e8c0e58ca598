"""Incremental runs: only changed files are parsed again, and the output is
byte for byte what a full run writes."""

from __future__ import annotations

import os
import re
import shutil
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


def test_incremental_run_equals_full_run(project):
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
    # Nothing new learned: the cache is left as it is.
    cache = project / ".vestra/index-cache.json"
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
    (project / ".vestra/index-cache.json").write_text('{"signature": 1')
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


@pytest.mark.parametrize(
    "packed, reused",
    [
        ("not base64!", 1),
        ("aGVsbG8=", 1),  # base64, not compressed
        ("eJzLSM3JyQcABiwCFQ==", 1),  # compressed, not JSON
        ("eJyLjgUAARUAuQ==", 1),  # JSON, but no fields ("[]")
        ("eJyLVkpU0lFKUooFAArqAjA=", 1),  # fields of the wrong shape
        # Sound fields whose search documents are not documents: seen only as
        # the index is written, which then starts again from scratch.
        ('{"a": 1}', 0),
        ("[1]", 0),
        ("[{}", 0),
        ('[{"f": "many"}, {"f": "many"}]', 0),  # a weight that is text
        ("eJyLzivNydFRSs5Pys9R0klLzClO1YmO1amuBZFoSEkJgaINdMAQKBodqxQLABW5E5o=", 1),  # a language we do not read
        ("eJyLzivNydFRKqgsycjPU9JJS8wpTtWJjtWprgWR0dEGOkr5xUqxsWAeDCkpIRBQBRgCRaNjlWIB+KcWZw==", 1),  # an import record cut short
    ],
)
def test_an_entry_that_does_not_unpack_is_parsed_again(tmp_path, packed, reused):
    import json

    from tarnwick.indexer import cache as cache_module

    (tmp_path / "a.py").write_text("def f():\n    return 1\n")
    (tmp_path / "b.py").write_text("def g():\n    return 2\n")
    (tmp_path / "c.py").write_text("def h():\n    return 3\n")
    index_project(tmp_path, jobs=1)
    path = tmp_path / ".vestra/index-cache.json"
    cache = json.loads(path.read_text())
    entry = cache["files"]["a.py"]
    if not reused:
        fields = cache_module._unpack(entry[3])
        fields[cache_module._FIELDS.index("search_docs")] = packed
        packed = cache_module._pack(fields)
    entry[3], entry[4] = packed, cache_module._checksum(packed)  # the checksum vouches for it
    path.write_text(json.dumps(cache))
    (tmp_path / "c.py").write_text("def h():\n    return 4\n")  # something to write
    again = index_project(tmp_path, jobs=1, full=False)
    written = every_output(tmp_path)
    index_project(tmp_path, jobs=1, full=True)
    assert again.reused == reused and written == every_output(tmp_path)


def test_the_cache_is_far_smaller_than_its_json(project):
    import json

    index_project(project, jobs=1)
    cache = json.loads((project / ".vestra/index-cache.json").read_text())
    from tarnwick.indexer import cache as cache_module

    packed = sum(len(entry[3]) for entry in cache["files"].values())
    plain = sum(len(json.dumps(cache_module._unpack(entry[3]))) for entry in cache["files"].values())
    assert packed * 2 < plain


def test_every_field_of_a_result_survives_the_cache(tmp_path):
    """Each language's results, reused from the cache, equal the fresh ones
    field for field; the samples give every field a value of its own, so a
    field the cache left out would come back empty."""
    from dataclasses import fields
    from types import SimpleNamespace

    from tarnwick.indexer.cache import Cache
    from tarnwick.indexer.extractors import grammar_of
    from tarnwick.indexer.result import FileResult
    from tarnwick.indexer.summarize import summarize_file

    (tmp_path / "star.py").write_text("from .base import *\nimport os.path as p\nfrom . import util\n")
    (tmp_path / "broken.js").write_text("export * from './a';\nfunction f( {\n")
    (tmp_path / "blob.py").write_bytes(b"\0binary")
    files = [p for p in sorted(tmp_path.iterdir()) if p.is_file()]
    files += [p for p in sorted((HERE / "samples").rglob("*")) if p.is_file() and grammar_of(p.name)]
    fresh, cache = [], Cache("sig")
    for path in files:
        language, grammar = grammar_of(path.name)
        source = SimpleNamespace(rel=str(path), path=str(path), language=language, size=path.stat().st_size, mtime_ns=0)
        result = summarize_file((source.rel, str(path), language, grammar))
        cache.keep(source, result.digest, result)
        fresh.append((source, result))
    again = Cache("sig", cache.entries)
    for source, result in fresh:
        reused = again.reuse(source)
        assert reused == result, source.rel
    empty = FileResult("")
    unfilled = [f.name for f in fields(FileResult) if all(getattr(r, f.name) == getattr(empty, f.name) for _, r in fresh)]
    assert unfilled == ["record", "symbols", "symbol_text"]  # what encoding the results drops
