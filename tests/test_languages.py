"""TypeScript, JavaScript and Go: records, line numbers, module resolution and
Key Code fences, on the small sample projects in tests/samples."""

from __future__ import annotations

import json
import re
import shutil
from pathlib import Path

import pytest

from tarnwick import context_packer as cp, vx
from tarnwick.cli.index import main
from tarnwick.indexer import index_project
from tarnwick.indexer import extractors

SAMPLES = Path(__file__).resolve().parent / "samples"


def indexed(tmp_path, name, extra=None):
    root = tmp_path / name
    shutil.copytree(SAMPLES / name, root)
    for rel, text in (extra or {}).items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    stats = index_project(root, jobs=1)
    store = json.loads((root / ".vestra/structured_summaries.json").read_text())
    graph = json.loads((root / ".vestra/graph.json").read_text())
    return root, stats, store, graph


def edges(graph, rel):
    return {(e["from"], e["to"]) for e in graph["edges"] if e["rel"] == rel}


def line_of(root: Path, rel: str, fragment: str) -> int:
    """Index of the first line holding `fragment`, as the packer counts lines."""
    lines = (root / rel).read_text(encoding="utf-8", errors="ignore").splitlines()
    return next(i for i, line in enumerate(lines) if fragment in line)


def test_typescript_app(tmp_path):
    root, stats, store, graph = indexed(
        tmp_path,
        "ts-app",
        {"src/api/legacy.generated.ts": "export function old() {}\n", "out/app.ts": "", "node_modules/react/index.js": ""},
    )
    # .d.ts, node_modules: vendored/generated; legacy.generated.ts and out/: .gitignore
    assert (len(stats.vendored), stats.ignored) == (2, 2)
    assert "src/api/schema.generated.ts" in store  # re-included by "!"
    app = store["src/App.tsx"]
    assert app["description"] == "The task board: loads tasks and shows the overdue ones first."
    assert app["functions"]["sortTasks"] == {
        "params": ["tasks: Task[]", "now: Date"],
        "returns": "Task[]",
        "calls_external": ["isOverdue", "a.due.getTime", "b.due.getTime"],
        "lines": [line_of(root, "src/App.tsx", "export function sortTasks"), line_of(root, "src/App.tsx", "a.due.getTime()") + 1],
        "description": "Sorts overdue tasks to the top, then by due date.",
    }
    assert app["functions"]["App"]["calls_internal"] == ["sortTasks"]
    assert app["variables"] == [{"name": "REFRESH_MS", "used_by": ["App"]}]
    # An arrow-function component starts at its `export const` line; the
    # comment above it is its description, not part of its range.
    task_list = store["src/components/TaskList.tsx"]["functions"]["TaskList"]
    assert task_list["lines"][0] == line_of(root, "src/components/TaskList.tsx", "export const TaskList")
    assert task_list["description"] == "One row per task; overdue rows are highlighted."
    # Overloads: the implementation's range, the first signature's doc comment.
    parse = store["src/models/task.ts"]["functions"]["parseStatus"]
    start = line_of(root, "src/models/task.ts", "export function parseStatus(name: string): Status | undefined {")
    assert (parse["lines"], parse["description"]) == ([start, start + 2], "Reads a status name as sent by the task service.")
    client = store["src/api/client.ts"]["classes"]
    assert client["ApiClient"]["bases"] == ["HttpClient"]
    assert client["ApiClient"]["methods"] == ["fetchTasks", "complete"]
    kinds = {n["name"]: n["symbol_kind"] for n in graph["nodes"] if n["kind"] == "symbol"}
    assert (kinds["Status"], kinds["Task"], kinds["HttpClient.request"]) == ("enum", "interface", "method")
    # Alias ("@/...", exact "@models"), relative, barrel re-export, JSX use.
    assert {
        ("src/App.tsx", "src/api/client.ts"),
        ("src/App.tsx", "src/components/index.ts"),
        ("src/App.tsx", "src/models/task.ts"),
        ("src/components/index.ts", "src/components/TaskList.tsx"),
        ("src/main.tsx", "src/App.tsx"),
    } <= edges(graph, "imports")
    assert ("src/App.tsx", "src/components/TaskList.tsx") in edges(graph, "calls")


def test_javascript_package_mixing_module_systems(tmp_path):
    root, stats, store, graph = indexed(tmp_path, "js-pkg", {"vendor/lodash.js": "", "dist/csv.min.js": ""})
    assert stats.vendored == ["vendor/"] and stats.skipped_dirs == 1  # dist/
    assert store["index.js"]["description"] == "Entry point: CSV parsing and formatting."
    fmt = store["lib/format.cjs"]
    assert list(fmt["functions"]) == ["quoteField", "formatRow"]  # module.exports.formatRow = function ...
    assert fmt["functions"]["formatRow"]["params"] == ["row", "delimiter = ','"]
    assert fmt["internal_graph"] == [{"from": "formatRow", "to": "quoteField"}]
    assert store["lib/tokens.js"]["classes"]["Tokenizer"]["methods"] == ["constructor", "[Symbol.iterator]", "fieldEnd"]
    dialects = store["lib/dialects.js"]  # module.exports = { detect(text) {...}, excel: function () {...} }
    assert list(dialects["functions"]) == ["detect", "excel"]
    assert dialects["functions"]["detect"]["description"] == "Guesses the delimiter from the first line."
    assert dialects["variables"] == [{"name": "COMMON", "used_by": ["detect"]}]
    assert edges(graph, "imports") == {
        ("index.js", "lib/index.js"),  # require("./lib"): the folder's index
        ("index.js", "lib/parser.js"),  # no extension
        ("lib/format.mjs", "lib/format.cjs"),
        ("lib/format.mjs", "lib/index.js"),  # ESM import of a CommonJS file
        ("lib/index.js", "lib/format.cjs"),
        ("lib/parser.js", "lib/tokens.js"),
    }
    assert ("lib/parser.js", "lib/tokens.js") in edges(graph, "calls")  # new Tokenizer(...)


def test_go_module_with_two_packages(tmp_path):
    root, stats, store, graph = indexed(tmp_path, "go-mod", {"vendor/github.com/x/y/y.go": "package y\n"})
    assert stats.vendored == ["vendor/"]
    assert "_examples/basic/main.go" in store  # the go tool skips it, readers ask about it
    s = store["store/store.go"]
    assert s["description"] == "Package store keeps stock levels in memory."
    assert s["classes"]["Store"] == {
        "bases": ["sync.Mutex"],
        "methods": ["Add", "Below"],
        "lines": [line_of(root, "store/store.go", "type Store struct"), line_of(root, "store/store.go", "items map") + 1],
        "description": "Store holds items by SKU; safe for concurrent use.",
    }
    assert s["variables"] == [{"name": "DefaultReorder", "used_by": ["Store.Add"]}]
    low = store["report/report.go"]["functions"]["LowStock"]
    assert (low["params"], low["returns"]) == (["l Lister"], "string")
    nodes = {n["id"]: n for n in graph["nodes"]}
    add = nodes["store/store.go::Store.Add"]
    assert (add["symbol_kind"], add["line_start"]) == ("method", line_of(root, "store/store.go", "func (s *Store) Add"))
    assert {
        ("main.go", "report/report.go"),
        ("main.go", "store/store.go"),
        ("report/report.go", "store/store.go"),  # only a type is used: the package's main file
        ("_examples/basic/main.go", "store/store.go"),
    } == edges(graph, "imports")
    # Same package, other file: no import needed.
    assert ("store/store.go", "store/rules.go") in edges(graph, "calls")


def test_java_packages(tmp_path):
    root, stats, store, graph = indexed(tmp_path, "java-app")
    base = "src/main/java/com/acme/shop/"
    service = store[base + "service/OrderService.java"]
    assert service["description"] == "Places orders and answers questions about them."
    assert service["classes"]["OrderService"]["methods"] == ["OrderService", "place", "isLarge"]
    nodes = {n["id"]: n for n in graph["nodes"]}
    place = nodes[base + "service/OrderService.java::OrderService.place"]
    # From the annotation line; the Javadoc above is not part of it.
    assert place["line_start"] == line_of(root, base + "service/OrderService.java", "@Deprecated")
    assert nodes[base + "service/Repository.java::Repository"]["symbol_kind"] == "interface"
    found = {(e["from"][len(base) :], e["to"][len(base) :], e["rel"]) for e in graph["edges"] if e["rel"] != "contains"}
    assert {
        ("App.java", "service/OrderService.java", "imports"),  # single-type import
        ("service/OrderService.java", "model/Order.java", "imports"),  # on-demand import, type used
        ("App.java", "service/OrderService.java", "calls"),  # new OrderService(...)
        ("service/OrderService.java", "service/AuditedService.java", "extends"),  # same package
        ("App.java", "service/Repository.java", "implements"),  # by a nested class
        ("model/Order.java", "model/OrderLine.java", "references"),  # a type in a declaration
    } <= found


def test_rust_crate_modules(tmp_path):
    root, stats, store, graph = indexed(tmp_path, "rust-crate", {"target/debug/build.rs": "fn main() {}\n"})
    assert "target/debug/build.rs" not in store and stats.vendored == ["target/"]  # Cargo's build output
    assert store["src/lib.rs"]["description"] == "Stock levels of a small warehouse, and reports on them."
    items = store["src/store/item.rs"]
    assert items["classes"]["Item"]["methods"] == ["new", "needs_reorder"]
    assert items["variables"] == [{"name": "DEFAULT_REORDER", "used_by": ["Item.new"]}]
    low = store["src/report.rs"]["functions"]["low_stock"]
    assert (low["params"], low["returns"], low["description"]) == (["store: &Store"], "String", "One line per item that needs reordering.")
    nodes = {n["id"]: n for n in graph["nodes"]}
    # From the attribute line; the doc comment above is not part of it.
    assert nodes["src/store/mod.rs::Store"]["line_start"] == line_of(root, "src/store/mod.rs", "#[derive(Debug, Default)]")
    assert nodes["src/store/item.rs::Priced"]["symbol_kind"] == "trait"
    assert {
        ("src/lib.rs", "src/store/mod.rs"),  # mod store; (store/mod.rs)
        ("src/lib.rs", "src/report.rs"),  # mod report; (report.rs)
        ("src/report.rs", "src/store/item.rs"),  # use crate::store::item::{...}
        ("src/store/mod.rs", "src/store/item.rs"),  # use item::Item, relative to the module
    } <= edges(graph, "imports")
    assert ("src/store/mod.rs", "src/store/item.rs") in edges(graph, "calls")  # Item::new
    assert ("src/report.rs", "src/store/item.rs") in edges(graph, "implements")  # impl Priced for Item


@pytest.mark.parametrize(
    "sample, query, tag",
    [
        ("ts-app", "sort overdue tasks", "tsx"),
        ("js-pkg", "quote csv field format row", "javascript"),
        ("go-mod", "store items below reorder level", "go"),
        ("java-app", "place an order and audit it", "java"),
        ("rust-crate", "items that need reordering", "rs"),
    ],
)
def test_key_code_fence_tags(tmp_path, sample, query, tag):
    root, *_ = indexed(tmp_path, sample)
    vx.set_project(root)
    try:
        block = cp.pack_for_query(query, root, token_budget=3000)
    finally:
        vx.set_project(None)
    code = block.split("### Key Code (pre-loaded)\n", 1)[1]
    fences = re.findall(r"^```(\w*)\n# ([^:\n]+)::", code, re.M)
    assert fences and tag in {t for t, _ in fences}
    tags = {"tsx": "tsx", "ts": "typescript", "js": "javascript", "go": "go", "cjs": "cjs", "mjs": "mjs", "java": "java", "rs": "rs"}
    assert all(t == tags[path.rsplit(".", 1)[1]] for t, path in fences)


@pytest.mark.parametrize("suffix", [".ts", ".go"])
@pytest.mark.parametrize("brk", ["\r", "\x0c", "\u2028", "\r\n"])
def test_line_numbers_count_every_splitlines_break(tmp_path, suffix, brk):
    if suffix == ".go":
        lines = ["package m", "", "// Doc.", "func f() int {", "\treturn 1 // a" + brk + "b", "}", "func g() {}"]
    else:
        lines = ["const a = 1;", "", "/** Doc. */", "function f(): number {", "  return 1; // a" + brk + "b", "}", "function g() {}"]
    (tmp_path / f"m{suffix}").write_bytes("\n".join(lines).encode() + b"\n")
    index_project(tmp_path, jobs=1)
    funcs = json.loads((tmp_path / ".vestra/structured_summaries.json").read_text())[f"m{suffix}"]["functions"]
    # "\r\n" is a row end for the parser too; the others only for the packer.
    assert funcs["f"]["lines"] == [3, 6] and funcs["f"]["description"] == "Doc."
    assert funcs["g"]["lines"] == [7, 7]


def test_bad_input_is_counted_not_fatal(tmp_path, capsys, monkeypatch):
    (tmp_path / "ok.ts").write_text("export function fine(): void {}\n")
    (tmp_path / "broken.ts").write_text("export function good() { return 1 }\nfunction bad( {\n")
    (tmp_path / "blob.js").write_bytes(b"\x00\x01binary" * 100)
    (tmp_path / "m.go").write_text("package m\nfunc G() {}\n")
    (tmp_path / "p.py").write_text("def p(): pass\n")
    real = extractors.missing_package
    monkeypatch.setattr("tarnwick.indexer.run.missing_package", lambda g: "tree-sitter-go" if g == "go" else real(g))
    assert main([str(tmp_path), "-j", "1"]) == 0
    out, err = capsys.readouterr()
    assert "3 files" in out and "1 skipped, 1 unparsable, 1 partly parsed" in out
    assert [line for line in err.splitlines() if "tree-sitter-go" in line] == [
        "tarnwick-index: warning: 1 file not indexed: the parser is missing (pip install tree-sitter-go)"
    ]
    assert "cannot parse blob.js: binary file" in err
    store = json.loads((tmp_path / ".vestra/structured_summaries.json").read_text())
    assert "good" in store["broken.ts"]["functions"] and "p" in store["p.py"]["functions"]


def test_module_resolution_rules(tmp_path):
    files = {
        # tsconfig "extends" a base that holds the aliases; comments and
        # trailing commas as editors write them.
        "web/tsconfig.base.json": '{"compilerOptions": {"baseUrl": "src", "paths": {"@lib/*": ["lib/*"],},}}',
        "web/tsconfig.json": '// app settings\n{"extends": "./tsconfig.base.json", "compilerOptions": {"strict": true}}',
        "web/src/lib/fmt.ts": "export function pad(s: string) { return s; }\n",
        "web/src/widgets/index.tsx": "export const Widget = () => null;\n",
        "web/src/util.ts": "export const util = 1;\n",
        "web/src/main.ts": 'import { pad } from "@lib/fmt";\nimport { Widget } from "./widgets";\n'
        'import { util } from "./util.js";\nimport config from "config/app";\n',  # ./util.js names util.ts
        "web/src/config/app.ts": "export default {};\n",  # reached through baseUrl
        # A GOPATH-style tree: no go.mod, packages under their import path.
        "gopath/src/example.org/tools/cmd/main.go": 'package main\nimport "example.org/tools/lib"\nfunc main() { lib.Run() }\n',
        "gopath/src/example.org/tools/lib/lib.go": "package lib\nfunc Run() {}\n",
    }
    for rel, text in files.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    index_project(tmp_path / "web", jobs=1)
    graph = json.loads((tmp_path / "web/.vestra/graph.json").read_text())
    assert {to for frm, to in edges(graph, "imports") if frm == "src/main.ts"} == {
        "src/lib/fmt.ts",
        "src/widgets/index.tsx",
        "src/util.ts",
        "src/config/app.ts",
    }
    index_project(tmp_path / "gopath", jobs=1)
    graph = json.loads((tmp_path / "gopath/.vestra/graph.json").read_text())
    assert ("src/example.org/tools/cmd/main.go", "src/example.org/tools/lib/lib.go") in edges(graph, "calls")


def test_go_module_path_claimed_twice_resolves_alike_on_every_run(tmp_path):
    # Copies of one module (an example, a fork): the first folder keeps the path.
    for i in range(8):
        (tmp_path / f"m{i}/lib").mkdir(parents=True)
        (tmp_path / f"m{i}/go.mod").write_text("module example.org/m\n")
        (tmp_path / f"m{i}/lib/lib.go").write_text("package lib\nfunc Run() {}\n")
    (tmp_path / "cmd").mkdir()
    (tmp_path / "cmd/main.go").write_text('package main\nimport "example.org/m/lib"\nfunc main() { lib.Run() }\n')
    index_project(tmp_path, jobs=1)
    graph = json.loads((tmp_path / ".vestra/graph.json").read_text())
    assert {to for frm, to in edges(graph, "calls") if frm == "cmd/main.go"} == {"m0/lib/lib.go"}


FOLDER_TREE = {
    "package.json": '{"name": "app", "main": "lib/app.js"}',
    "lib/app.js": "module.exports = function app() {};\n",
    "index.js": "module.exports = {};\n",
    "lib/router/index.js": "exports.route = function () {};\n",
    "lib/router/layer.js": "exports.layer = function () {};\n",
    "lib/view/package.json": '{"main": "./render"}',  # a folder of its own, "main" without extension
    "lib/view/render.js": "exports.render = function () {};\n",
    "lib/view/index.js": "exports.unused = 1;\n",
    "lib/broken/package.json": "[" * 100_000,  # damaged: the index file is the answer
    "lib/broken/index.js": "exports.b = 1;\n",
    "lib/outside/package.json": '{"main": "../../../elsewhere.js"}',  # leaves the project: ignored
    "lib/outside/index.js": "exports.o = 1;\n",
    "lib/dir/package.json": '{"main": "src"}',  # "main" naming a folder: its index
    "lib/dir/src/index.js": "exports.d = 1;\n",
}


@pytest.mark.parametrize("importer, spec, target", [
    ("test/app.test.js", "../..", None),  # above the project
    ("test/app.test.js", "..", "lib/app.js"),  # the project's folder: its package.json "main"
    ("lib/router/layer.js", "../..", "lib/app.js"),
    ("lib/router/layer.js", ".", "lib/router/index.js"),  # no package.json: index.js
    ("lib/app.js", "./router", "lib/router/index.js"),
    ("lib/app.js", "./view", "lib/view/render.js"),
    ("lib/app.js", "./broken", "lib/broken/index.js"),
    ("lib/app.js", "./outside", "lib/outside/index.js"),
    ("lib/app.js", "./dir", "lib/dir/src/index.js"),
])
def test_a_required_folder_resolves_as_node_does(tmp_path, importer, spec, target):
    files = dict(FOLDER_TREE)
    files[importer] = files.get(importer, "") + f"const m = require('{spec}');\nm();\n"
    for rel, text in files.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    index_project(tmp_path, jobs=1)
    graph = json.loads((tmp_path / ".vestra/graph.json").read_text())
    found = {to for frm, to in edges(graph, "imports") if frm == importer}
    assert found == ({target} if target else set())


def test_an_edited_package_main_moves_the_edge_without_a_source_change(tmp_path):
    for rel, text in {"package.json": '{"main": "a.js"}', "a.js": "", "b.js": "", "t/x.js": "require('..');\n"}.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    index_project(tmp_path, jobs=1)
    (tmp_path / "package.json").write_text('{"main": "b.js", "version": "2.0.0"}')
    index_project(tmp_path, jobs=1)
    graph = json.loads((tmp_path / ".vestra/graph.json").read_text())
    assert {to for frm, to in edges(graph, "imports") if frm == "t/x.js"} == {"b.js"}
