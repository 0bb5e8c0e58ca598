"""The indexer against hostile or unlucky trees and data folders: names that
are not UTF-8, a damaged cache, SQLite failing while the search index is
written, overlapping runs, and a run started from inside a project."""

from __future__ import annotations

import fcntl
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import time
import zlib
from pathlib import Path

import pytest

from conftest import as_a_user, grows_linearly
from tarnwick.datadir import mixed_set_problem
from tarnwick.cli.index import main
from tarnwick.indexer import index_project
from tarnwick import atomic
from tarnwick.search.reader import IndexCorpus
from tarnwick.search.store import INDEX_NAME

DATA_FILES = [
    ".gitignore", "digests.json", "graph.json", "identities.json", "index-cache.db", "manifest.json", "search.db", "search.db-shm", "search.db-wal",
    "structured_summaries.json",
]


def write(root: Path, rel, text: str) -> Path:
    path = Path(os.fsdecode(os.path.join(os.fsencode(root), os.fsencode(rel))))
    folder = Path(root)
    folder.mkdir(parents=True, exist_ok=True)
    for part in path.relative_to(root).parts[:-1]:  # one at a time: trees may be deep
        folder = folder / part
        folder.mkdir(exist_ok=True)
    path.write_text(text)
    return path


def outputs(root: Path) -> list:
    vestra = root / ".vestra"
    data = [(vestra / name).read_bytes() for name in ("structured_summaries.json", "graph.json")]
    return [re.sub(rb'\n"generation":"[^"]*",', b"", d, count=1) for d in data]


def data_files(root: Path) -> dict:
    return {p.name: p.read_bytes() for p in sorted((root / ".vestra").iterdir())}


def project(root: Path) -> Path:
    write(root, "shop/orders.py", '"""Orders."""\nfrom .base import Base\n\nclass Order(Base):\n    def total(self):\n        return 1\n')
    write(root, "shop/base.py", '"""Base."""\n\nclass Base:\n    pass\n')
    write(root, "web/app.ts", 'import { helper } from "./util";\nexport function main() { return helper(); }\n')
    write(root, "web/util.ts", "export function helper() { return 1; }\n")
    return root


# -- names that are not UTF-8 ------------------------------------------------


@pytest.mark.parametrize(
    "name, text, symbol",
    [
        (b"\xffa.py", "def f():\n    return 1\n", "f"),
        (b"d\xfe/m.py", "def g():\n    return 2\n", "g"),
        (b"w\xff/x\xfe.ts", "export function h() { return 3; }\n", "h"),
        (b"k\xc3.go", "package k\n\nfunc K() int { return 4 }\n", "K"),
    ],
)
def test_a_name_that_is_not_utf8_is_indexed_under_one_escaped_form(tmp_path, name, text, symbol):
    project(tmp_path)
    write(tmp_path, name, text)
    rel = os.fsdecode(name)  # the bytes escaped as lone surrogates
    for _ in range(2):  # fresh, then from the cache
        stats = index_project(tmp_path, jobs=1)
        assert stats.files == 5 and not stats.unparsable
        vestra = tmp_path / ".vestra"
        store = json.loads((vestra / "structured_summaries.json").read_bytes().decode("utf-8"))
        graph = json.loads((vestra / "graph.json").read_bytes().decode("utf-8"))
        assert symbol in store[rel]["functions"]
        node_ids = {n["id"] for n in graph["nodes"]}
        assert {rel, f"{rel}::{symbol}"} <= node_ids
        index = IndexCorpus(tmp_path, str(vestra / INDEX_NAME))
        try:
            assert index.belongs_to(graph) and index.file_numbers([rel])
            ids = {info[0] for info in index.symbols(range(index.symbol_count)).values()}
            assert ids == {n["id"] for n in graph["nodes"] if n["kind"] == "symbol"}
        finally:
            index.close()
        assert mixed_set_problem(tmp_path, graph["generation"], ("structured_summaries.json", "graph.json")) is None


# -- a damaged cache -----------------------------------------------------------


def _damage(text: str) -> str:
    cut = text.index('"', 2)  # the quote that closes the first key
    return text[:cut] + text[cut + 1 :]


@pytest.mark.parametrize("field", ["record_json", "nodes_json", "contains_json", "search_docs"])
@pytest.mark.parametrize("checksum", ["kept", "recomputed"])
def test_a_damaged_cache_entry_is_never_spliced(tmp_path, field, checksum):
    from tarnwick.indexer import cache as cache_module
    from tarnwick.indexer.cache_db import checksum as checksum_of

    project(tmp_path)
    index_project(tmp_path, jobs=1)
    db = sqlite3.connect(tmp_path / ".vestra/index-cache.db")
    blob, docs, links, head, check = db.execute(
        "SELECT result, docs, links, head, checksum FROM files WHERE path = 'shop/base.py'"
    ).fetchone()
    docs_text = zlib.decompress(docs)
    if field == "search_docs":
        docs_text = _damage(docs_text.decode()).encode()
        docs = zlib.compress(docs_text)
    else:
        values, texts = cache_module.unpack_parts(blob)
        at = cache_module._TEXTS.index(field)
        texts[at] = _damage(texts[at])
        blob = cache_module.pack_parts(values, texts)
    if checksum == "recomputed":  # the entry looks sound: only the graph's parse can tell
        check = checksum_of(blob, docs_text, head, links)
    db.execute("UPDATE files SET result = ?, docs = ?, checksum = ? WHERE path = 'shop/base.py'", (blob, docs, check))
    db.commit()
    db.close()
    write(tmp_path, "shop/orders.py", '"""Orders, edited."""\nfrom .base import Base\n\nclass Order(Base):\n    pass\n')

    stats = index_project(tmp_path, jobs=1)
    assert not stats.unparsable
    incremental = outputs(tmp_path)
    json.loads(incremental[1])
    index_project(tmp_path, jobs=1, full=True)
    assert outputs(tmp_path) == incremental


def _planted_trigger(path: Path) -> None:
    db = sqlite3.connect(path)
    db.execute("CREATE TRIGGER t AFTER UPDATE ON files BEGIN DELETE FROM files; END")
    db.commit()
    db.close()


@pytest.mark.parametrize(
    "content",
    [b"[" * 200_000, b"SQLite format 3\0" + b"\xff" * 200, b"\xff\xfe", b"", _planted_trigger],
    ids=["nested", "damaged-header", "not-utf8", "empty", "trigger"],
)
def test_an_unreadable_cache_means_a_full_run(tmp_path, content):
    project(tmp_path)
    index_project(tmp_path, jobs=1)
    expected = outputs(tmp_path)
    cache = tmp_path / ".vestra/index-cache.db"
    if callable(content):
        content(cache)
    else:
        cache.write_bytes(content)
    stats = index_project(tmp_path, jobs=1)
    assert stats.reused == 0 and outputs(tmp_path) == expected


def test_a_cache_linked_from_outside_the_project_is_not_read(tmp_path):
    # Two projects whose files agree in name, size and time but not in
    # content: the other one's cache would describe this one wrongly.
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    write(ours, "m.py", "def ours():\n    pass\n")
    write(theirs, "m.py", "def mine():\n    pass\n")
    for root in (ours, theirs):
        os.utime(root / "m.py", ns=(10**18, 10**18))
    index_project(theirs, jobs=1)
    (ours / ".vestra").mkdir()
    os.symlink(theirs / ".vestra/index-cache.db", ours / ".vestra/index-cache.db")
    stats = index_project(ours, jobs=1)
    assert stats.reused == 0
    assert "ours" in json.loads((ours / ".vestra/structured_summaries.json").read_text())["m.py"]["functions"]


# -- SQLite failing while the search index is written ----------------------------


@pytest.mark.parametrize("how", [["--full"], []], ids=["built", "updated"])
def test_a_full_disk_while_writing_the_search_index_keeps_the_previous_index(tmp_path, monkeypatch, capsys, how):
    project(tmp_path)
    index_project(tmp_path, jobs=1)
    before = data_files(tmp_path)
    write(tmp_path, "shop/base.py", '"""Base, edited."""\n\nclass Base:\n    pass\n')
    # Enough new terms that an update must grow the file.
    write(tmp_path, "shop/many.py", "".join(f"def word{i}_{i * 7}():\n    pass\n" for i in range(300)))
    real = sqlite3.connect

    def small_disk(*args, **kwargs):
        db = real(*args, **kwargs)
        # No room beyond what the file holds: SQLITE_FULL, "database or disk is full".
        pages = db.execute("PRAGMA page_count").fetchone()[0]
        db.execute(f"PRAGMA max_page_count={max(3, pages)}")
        return db

    monkeypatch.setattr(sqlite3, "connect", small_disk)
    assert main([str(tmp_path), "-q", *how]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1
    assert err.startswith("tarnwick-index: cannot write the index: ") and "full" in err
    assert data_files(tmp_path) == before
    monkeypatch.undo()
    assert main([str(tmp_path), "-q"]) == 0
    assert b"Base, edited." in outputs(tmp_path)[0]



@pytest.mark.parametrize(
    "name, mode",
    [
        ("search.db", 0o444),  # written once more after it is built: the graph's identity
        ("graph.json", 0o444),
        ("manifest.json", 0o200),  # opened when placed
        ("graph.json", 0o000),
    ],
    ids=["search.db-0444", "graph.json-0444", "manifest.json-0200", "graph.json-0000"],
)
def test_data_files_their_owner_may_not_write_are_replaced_keeping_their_mode(tmp_path, name, mode):
    project(tmp_path)
    index_project(tmp_path, jobs=1)
    vestra = tmp_path / ".vestra"
    os.chmod(vestra / name, mode)
    for text in ("Base, edited.", "Base, edited again."):  # and every run after it
        write(tmp_path, "shop/base.py", f'"""{text}"""\n\nclass Base:\n    pass\n')
        done = subprocess.run(as_a_user([sys.executable, "-m", "tarnwick.cli.index", str(tmp_path), "-q"]),
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
        assert text.encode() in outputs(tmp_path)[0]
        graph = json.loads((vestra / "graph.json").read_bytes())
        assert mixed_set_problem(tmp_path, graph["generation"], ("structured_summaries.json", "graph.json")) is None
        index = IndexCorpus(tmp_path, str(vestra / INDEX_NAME))
        try:
            assert index.vouches_for(os.stat(vestra / "graph.json"))
        finally:
            index.close()
        assert os.stat(vestra / name).st_mode & 0o7777 == mode

def test_the_search_index_vouches_only_for_the_graph_its_run_placed(tmp_path, monkeypatch):
    project(tmp_path)
    graph_path = tmp_path / ".vestra" / "graph.json"
    real = os.replace

    def another_run_replaces_the_graph(src, dst):
        real(src, dst)
        if os.fspath(dst) == str(graph_path):
            shutil.copyfile(graph_path, str(graph_path) + ".other")
            real(str(graph_path) + ".other", graph_path)

    monkeypatch.setattr(atomic.os, "replace", another_run_replaces_the_graph)
    index_project(tmp_path, jobs=1)
    monkeypatch.undo()
    index = IndexCorpus(tmp_path, str(tmp_path / ".vestra" / INDEX_NAME))
    try:
        assert not index.vouches_for(os.stat(graph_path))
    finally:
        index.close()


# -- overlapping runs -----------------------------------------------------------------


def test_a_second_run_waits_for_the_first_with_one_line(tmp_path):
    project(tmp_path)
    index_project(tmp_path, jobs=1)
    write(tmp_path, "shop/base.py", '"""Base, edited."""\n\nclass Base:\n    pass\n')
    fd = os.open(tmp_path / ".vestra", os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # a run at work
        second = subprocess.Popen(
            [sys.executable, "-m", "tarnwick.cli.index", str(tmp_path), "-q"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        line = second.stderr.readline()
        assert line == "tarnwick-index: another indexing run of this project is at work; waiting for it to end\n"
        time.sleep(0.3)
        assert second.poll() is None and b"Base, edited." not in outputs(tmp_path)[0]
    finally:
        os.close(fd)
    out, err = second.communicate(timeout=60)
    assert second.returncode == 0 and out.startswith("indexed 4 files") and err == ""
    assert b"Base, edited." in outputs(tmp_path)[0]


# -- the data folder in version control, and runs from inside a project -----------


@pytest.mark.parametrize("is_folder", [False, True])
def test_the_cache_file_of_earlier_versions_goes(tmp_path, is_folder):
    project(tmp_path)
    retired = tmp_path / ".vestra" / "index-cache.json"
    retired.parent.mkdir()
    if is_folder:  # not a file we wrote: left, and the run goes on
        retired.mkdir()
    else:
        retired.write_text("{}")
    index_project(tmp_path, jobs=1)
    assert retired.exists() == is_folder and (tmp_path / ".vestra" / "index-cache.db").is_file()


def test_the_data_folder_ignores_itself(tmp_path):
    project(tmp_path)
    index_project(tmp_path, jobs=1)
    assert (tmp_path / ".vestra/.gitignore").read_bytes() == b"*\n"
    assert sorted(data_files(tmp_path)) == DATA_FILES
    if shutil.which("git"):
        subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
        listed = subprocess.run(
            ["git", "-C", str(tmp_path), "status", "--porcelain", "--untracked-files=all"],
            capture_output=True, text=True, check=True,
        ).stdout
        assert ".vestra" not in listed and "shop/base.py" in listed


@pytest.mark.parametrize(
    "args, indexed, note",
    [
        ([], ".", True),  # the enclosing project
        (["-q"], ".", False),
        (["."], "web", False),  # a ROOT given: that folder
    ],
)
def test_a_run_from_a_subfolder_reindexes_its_project(tmp_path, monkeypatch, capsys, args, indexed, note):
    project(tmp_path)
    index_project(tmp_path, jobs=1)
    write(tmp_path, "shop/base.py", '"""Base, edited."""\n\nclass Base:\n    pass\n')
    monkeypatch.chdir(tmp_path / "web")
    assert main(args) == 0
    err = capsys.readouterr().err
    assert (f"tarnwick-index: indexing the project at {tmp_path}\n" in err) == note
    root = (tmp_path / indexed).resolve()
    store = json.loads((root / ".vestra/structured_summaries.json").read_text())
    assert (indexed == ".") == ("shop/base.py" in store)
    assert (indexed == ".") == (not (tmp_path / "web/.vestra").exists())
    if indexed == ".":
        assert store["shop/base.py"]["description"] == "Base, edited."


@pytest.mark.parametrize(
    "above",
    [
        {".vestra/.gitignore": "*\n"},  # a first run stopped before it wrote the index
        {".vestra/manifest.json": "{}"},  # no graph: nothing a query would answer from
    ],
)
def test_a_data_folder_without_an_index_above_does_not_capture_a_run(tmp_path, monkeypatch, capsys, above):
    for rel, text in above.items():
        write(tmp_path, rel, text)
    write(tmp_path, "web/app.py", "def serve():\n    return 1\n")
    monkeypatch.chdir(tmp_path / "web")
    assert main([]) == 0
    assert "indexing the project at" not in capsys.readouterr().err
    store = json.loads((tmp_path / "web/.vestra/structured_summaries.json").read_text())
    assert list(store) == ["app.py"]


# -- settings files and resolution ------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"a": 1, // note\n "b": [1, 2,], }', {"a": 1, "b": [1, 2]}),
        ('{"url": "http://x/*y*/", "c": "//no"}', {"url": "http://x/*y*/", "c": "//no"}),
        ('{"q": "say \\"/*\\" ok", /* c */ "r": 2}', {"q": 'say "/*" ok', "r": 2}),
        ('{"a": [1, /* last */ ], "b": {"c": 1, // end\n}}', {"a": [1], "b": {"c": 1}}),
        ('/* head */ {"a": "\\\\"} // tail', {"a": "\\"}),
        ('{"a": ",]"}', {"a": ",]"}),
    ],
)
def test_settings_with_comments_and_trailing_commas(text, expected):
    from tarnwick.indexer.jsonc import parse_jsonc

    assert parse_jsonc(text) == expected


@pytest.mark.parametrize(
    "text",
    [
        '{"a": 1 /* never closed' + " /*" * 300_000,
        '{"a": "never closed' + ' "/*' * 200_000,
        "[" * 200_000 + "]" * 200_000,
        '{"a": [1,,]}',
    ],
    ids=["open-comments", "open-string", "nested", "double-comma"],
)
def test_bad_settings_are_refused_in_one_pass(text, no_hang):
    from tarnwick.indexer.jsonc import parse_jsonc

    with pytest.raises(ValueError):
        parse_jsonc(text)


@pytest.mark.parametrize("name", ["tsconfig.json", "jsconfig.json"])
@pytest.mark.parametrize("content", ["[" * 200_000, '{"compilerOptions": ' + "/*" * 200_000], ids=["nested", "open-comments"])
def test_an_unusable_tsconfig_is_one_warning_and_no_settings(tmp_path, name, content, no_hang):
    write(tmp_path, name, content)
    write(tmp_path, "a.ts", 'import { b } from "./b";\nimport { c } from "c";\nexport function a() { return b() + c(); }\n')
    write(tmp_path, "b.ts", "export function b() { return 1; }\n")
    stats = index_project(tmp_path, jobs=1)
    assert stats.files == 2
    assert [w for w in stats.warnings if name in w] == [w for w in stats.warnings]
    assert len(stats.warnings) == 1 and stats.warnings[0].startswith(f"{name}: not valid JSON (")
    graph = json.loads(outputs(tmp_path)[1])
    assert {"from": "a.ts", "to": "b.ts", "rel": "imports"} in graph["edges"]


def _reference_match(paths: dict, spec: str):
    """`paths` matching as the TypeScript compiler does it, one pattern at a time."""
    best = None
    for pattern, targets in paths.items():
        if "*" in pattern:
            prefix, _, suffix = pattern.partition("*")
            if spec.startswith(prefix) and spec.endswith(suffix) and len(spec) >= len(prefix) + len(suffix):
                if best is None or len(prefix) > len(best[0]):
                    best = (prefix, targets, spec[len(prefix) : len(spec) - len(suffix)])
        elif spec == pattern:
            return targets, None
    return None if best is None else (best[1], best[2])


@pytest.mark.parametrize(
    "paths, spec",
    [
        ({"@a/*": ["x/*"], "@a/b/*": ["y/*"]}, "@a/b/c"),  # the longest prefix
        ({"@a/*": ["x/*"], "@a/b": ["z"]}, "@a/b"),  # an exact pattern wins
        ({"@a/*.js": ["x/*.ts"], "@a/*": ["y/*"]}, "@a/m.js"),  # the first of equal prefixes
        ({"@a/*": ["y/*"], "@a/*.js": ["x/*.ts"]}, "@a/m.js"),
        ({"*": ["v/*"]}, "lib"),
        ({"ab*ba": ["x"]}, "aba"),  # prefix and suffix may not overlap
        ({"ab*ba": ["x/*"]}, "abba"),
        ({"@a/*": ["x/*"]}, "@b/c"),
    ],
)
def test_paths_patterns_pick_the_pattern_the_compiler_picks(paths, spec):
    from tarnwick.indexer.resolve_js import _Config

    assert _Config(None, paths)._match(spec) == _reference_match(paths, spec)


def test_paths_patterns_by_the_thousand_match_like_one_at_a_time():
    import random

    from tarnwick.indexer.resolve_js import _Config

    rng = random.Random(7)
    words = ["a", "ab", "b", "@s", "/", "x.js", ""]
    paths = {}
    for n in range(400):
        pattern = "".join(rng.choice(words) for _ in range(rng.randrange(3)))
        if rng.random() < 0.8:
            pattern += "*" + "".join(rng.choice(words) for _ in range(rng.randrange(3)))
        paths.setdefault(pattern, [f"t{n}/*"])
    config = _Config(None, paths)
    for _ in range(2000):
        spec = "".join(rng.choice(words) for _ in range(rng.randrange(6)))
        assert config._match(spec) == _reference_match(paths, spec), spec


def re_exporting_modules(root: Path, n: int) -> None:
    for i in range(n):
        stars = "".join(f'export * from "./m{j}";\n' for j in range(n) if j != i)
        write(root, f"m{i}.ts", f'{stars}import * as ns from "./m{(i + 2) % n}";\n'
              f"export function f{i}() {{ return ns.f{(i + 1) % n}() + ns.nowhere(); }}\n")


def test_modules_that_re_export_each_other_are_followed_once_per_name(tmp_path, monkeypatch):
    from tarnwick.indexer import resolve_js

    n = 30
    re_exporting_modules(tmp_path, n)
    looked_up = []
    real = resolve_js.JsResolver._symbol_file

    def counted(self, *args):
        looked_up.append(args)
        return real(self, *args)

    specifiers = []
    real_file_for = resolve_js.JsResolver.file_for

    def counted_file_for(self, *args):
        specifiers.append(args)
        return real_file_for(self, *args)

    monkeypatch.setattr(resolve_js.JsResolver, "_symbol_file", counted)
    monkeypatch.setattr(resolve_js.JsResolver, "file_for", counted_file_for)
    index_project(tmp_path, jobs=1)
    # (module, name, hops left): each once; a search along every chain takes n**4
    assert len(looked_up) == len(set(looked_up)) and len(looked_up) < 5 * 3 * n * n
    # each module's `export *` specifiers looked up once, not once per name searched for
    assert len(specifiers) < 3 * n * n


def test_re_exports_resolve_as_a_search_without_memory_does(tmp_path, monkeypatch):
    from tarnwick.indexer import resolve_js

    re_exporting_modules(tmp_path, 6)
    index_project(tmp_path, jobs=1)
    remembered = outputs(tmp_path)

    def forgetful(self, path, name, hops=0):
        return None if path is None or hops > resolve_js._MAX_HOPS else self._symbol_file(path, name, hops)

    monkeypatch.setattr(resolve_js.JsResolver, "symbol_file", forgetful)
    index_project(tmp_path, jobs=1, full=True)
    assert outputs(tmp_path) == remembered
    assert b'"from":"m0.ts","to":"m1.ts","rel":"calls"' in remembered[1]


@pytest.mark.parametrize(
    "settings, source, target, rel",
    [
        (("tsconfig.json", '{"compilerOptions": {"baseUrl": ".", "paths": {"@lib": ["lib.ts"]}}}'),
         ("m.ts", 'import { lib } from "@lib";\nexport function m() { return lib(); }\n'),
         ("lib.ts", "export function lib() { return 1; }\n"), "imports"),
        (("go.mod", "module example.com/deep\n"),
         ("m.go", 'package m\n\nimport "example.com/deep/lib"\n\nfunc M() int { return lib.Lib() }\n'),
         ("lib/lib.go", "package lib\n\nfunc Lib() int { return 1 }\n"), "imports"),
        (("Cargo.toml", '[package]\nname = "deep"\n'),
         ("m.rs", "pub fn m() -> i32 { crate::lib_helper() }\n"),
         ("src/lib.rs", "pub mod d;\npub fn lib_helper() -> i32 { 1 }\n"), "calls"),
    ],
    ids=["typescript", "go", "rust"],
)
def test_a_file_a_thousand_folders_deep_finds_its_settings(tmp_path, settings, source, target, rel, no_hang):
    deep = "/".join(["d"] * 1000)
    write(tmp_path, settings[0], settings[1])
    write(tmp_path, target[0], target[1])
    where = f"src/{deep}/{source[0]}" if settings[0] == "Cargo.toml" else f"{deep}/{source[0]}"
    try:
        write(tmp_path, where, source[1])
        stats = index_project(tmp_path, jobs=1)
        assert stats.files == 2 and not stats.unparsable and not stats.warnings
        graph = json.loads(outputs(tmp_path)[1])
        assert {"from": where, "to": target[0], "rel": rel} in graph["edges"]
    finally:
        remove_chain(tmp_path / where)


def remove_chain(path: Path) -> None:
    """Remove a file and its folders up to the first that holds anything
    else, one at a time (removing a deep tree recursively overflows)."""
    path.unlink(missing_ok=True)
    folder = path.parent
    while True:
        try:
            folder.rmdir()
        except OSError:
            return
        folder = folder.parent


# -- the Python extractor: each guard of a repeated name ------------------------------

REPEATS = '''\
from typing import overload
from m import a, b
from m import b, c, a
LIMIT = 1
OTHER = 2
@overload
def f(x: int) -> int: ...
def f(x):
    return LIMIT
def g():
    return LIMIT + OTHER
def g():
    return 0
class C:
    def m(self):
        return OTHER
    def m(self, y):
        return LIMIT
'''


@pytest.mark.parametrize(
    "part, expected",
    [
        (lambda r: r["functions"]["f"]["lines"], [7, 8]),  # an overload gives way to its implementation
        (lambda r: r["functions"]["g"]["lines"], [9, 10]),  # a plain second definition does not
        (lambda r: r["classes"]["C"]["methods"], ["m"]),
        (lambda r: r["imports"], [{"module": "typing", "names": ["overload"]}, {"module": "m", "names": ["a", "b", "c"]}]),
        (lambda r: r["variables"], [{"name": "LIMIT", "used_by": ["f", "g", "C.m"]}, {"name": "OTHER", "used_by": ["g", "C.m"]}]),
    ],
    ids=["overload", "redefinition", "methods", "imports", "variables"],
)
def test_python_names_met_again(part, expected):
    from tarnwick.indexer.summarize import summarize_text

    assert part(summarize_text("x.py", REPEATS).record) == expected


def _module(shape: str, n: int) -> str:
    """A file of `n` symbols in one of the shapes that once cost time
    quadratic in their number."""
    if shape == "python-functions":
        return "".join(f"def f{i}(): return {i}\n" for i in range(n))
    if shape == "python-variables":  # each read by functions all over the module
        return "".join(f"V{i} = {i}\n" for i in range(n)) + "".join(
            f"def g{i}():\n    return V{i} + V{(i * 7) % n}\n" for i in range(n))
    if shape == "javascript":
        return "".join(f"var v{i} = {i};\nfunction f{i}() {{ return v{i} + v{(i * 7) % n}; }}\n" for i in range(n))
    return "class Big {\n" + "".join(f"  m{i}() {{}}\n" for i in range(n)) + "}\n"  # little besides the names


@pytest.mark.parametrize("shape", ["python-functions", "python-variables", "javascript", "typescript"])
def test_extraction_grows_linearly_with_the_files_symbols(shape):
    from tarnwick.indexer.extractors import ecmascript
    from tarnwick.indexer.result import FileResult
    from tarnwick.indexer.summarize import summarize_text

    def extract(n):
        text = _module(shape, n)
        if shape.startswith("python"):
            return summarize_text("m.py", text)
        return ecmascript.summarize(FileResult(path="m", language="javascript"), text.encode(), shape)

    assert grows_linearly(extract, 1000)


def test_paths_patterns_cost_grows_linearly_with_their_number():
    from tarnwick.indexer.resolve_js import _Config

    def resolve(n):  # n patterns, n bare specifiers
        config = _Config(".", {f"@scope{i}/*": [f"lib{i}/*"] for i in range(n)})
        for i in range(n):
            list(config.candidates(f"pkg{i}/sub"))

    assert grows_linearly(resolve, 2000)


# -- ignore patterns that would backtrack ----------------------------------------------


def _random_lines(rng) -> list:
    atoms = ["a", "b", "*", "?", "[ab]", "x.py", ".", "c"]
    lines = []
    for _ in range(rng.randrange(1, 4)):
        segments = ["**" if rng.random() < 0.15 else "".join(rng.choice(atoms) for _ in range(rng.randrange(1, 4)))
                    for _ in range(rng.randrange(1, 4))]
        line = "/".join(segments)
        line = ("/" if rng.random() < 0.2 else "") + line + ("/" if rng.random() < 0.2 else "")
        lines.append(("!" if rng.random() < 0.2 else "") + line)
    return lines


@pytest.mark.parametrize("seed", range(4))
def test_ignore_patterns_without_backtracking_decide_as_before(seed):
    import random

    import pathspec

    from tarnwick.indexer import globs
    from tarnwick.indexer.ignore import _Spec

    rng = random.Random(seed)
    names = ["a", "b", "ab", "ba", "x.py", "c", ".a", "aab", "abc"]
    for _ in range(400):
        lines = _random_lines(rng)
        if any("***" in line for line in lines):
            continue
        try:
            before = pathspec.GitIgnoreSpec.from_lines(lines)
        except Exception:
            continue
        ours = _Spec([(g.include, g) for g in map(globs.compile_line, lines) if g is not None])
        for _ in range(12):
            probe = "/".join(rng.choice(names) for _ in range(rng.randrange(1, 4))) + rng.choice(["", "/"])
            assert ours.check(probe) == before.check_file(probe).include, (lines, probe)


@pytest.mark.parametrize(
    "line, name, ignored",
    [
        ("*a*a*a*a*a*a*a*b", "a" * 62 + "c.py", False),
        ("*a*a*a*a*a*a*a*b.py", "a" * 62 + "b.py", True),
        ("src/**/*x*y*z*", "src/" + "/".join(["xy" * 40] * 30) + "/m.py", False),
        ("[ab]*[!c]*?*.py", "b" + "c" * 200 + "qq.py", True),
        ("[ab]*[!c]*?*.py", "b" + "c" * 200 + "q.py", False),
    ],
)
def test_an_ignore_pattern_with_many_wildcards_is_matched_at_once(tmp_path, line, name, ignored, no_hang):
    write(tmp_path, ".gitignore", line + "\n")
    write(tmp_path, name, "def f():\n    pass\n")
    write(tmp_path, "keep.py", "def g():\n    pass\n")
    stats = index_project(tmp_path, jobs=1)
    store = json.loads((tmp_path / ".vestra/structured_summaries.json").read_text())
    assert (name not in store) == ignored and "keep.py" in store
    assert stats.ignored == int(ignored)
