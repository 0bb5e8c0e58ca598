"""Seeded random projects in several languages, and random changes to them.

A project holds a Python package (whose modules star-import and re-export
each other's functions, and may import each other as scripts do) with a
test folder (a suite while one of its files defines a test), CommonJS modules (with requires at the
top and inside functions), TypeScript modules resolved through a
tsconfig's `paths`, a Go module and a `.gitignore`; its files import each
other, so a change to one file moves edges of others.  `change` applies one
random change: an edit, an edit that keeps the size (invisible to a size
and time check in the same clock tick), an addition, a deletion, a rename,
an edit of a settings file, or the package's `__init__.py` coming or
going (which decides whether its modules import each other as scripts).
"""

from __future__ import annotations

import json
import random
import shutil
import sqlite3
from array import array
from pathlib import Path

from tarnwick._scoring import decode_postings

IDENTITY = {"generation", "device", "inode", "size", "mtime_ns", "ctime_ns", "indexed_ns"}
KINDS = ("py", "js", "ts", "go", "test")


def _words(rng: random.Random, n: int) -> list:
    syllables = ("ka", "lo", "mi", "ren", "tas", "vo", "quel", "dor", "pin", "sa")
    return ["".join(rng.choice(syllables) for _ in range(rng.randint(2, 3))) for _ in range(n)]


class Tree:
    def __init__(self, root: Path, seed: int, files: int = 24):
        self.root = Path(root)
        self.rng = random.Random(seed)
        self.serial = 0
        self.modules = {kind: [] for kind in KINDS}  # kind -> module names present
        self.functions = {}  # Python module name -> the functions it defines now
        for i in range(files):
            self.add(KINDS[i % len(KINDS)])
        self.write_settings()

    # -- file names --------------------------------------------------------

    def path(self, kind: str, name: str) -> Path:
        return self.root / {
            "py": f"pkg/{name}.py",
            "js": f"js/{name}.js",
            "ts": f"ts/src/{name}.ts",
            "go": f"svc/{name}/{name}.go",
            # Three test folders, so that each is often a suite and often not.
            "test": f"pkg/{('tests', 'testing', 'unittests')[sum(map(ord, name)) % 3]}/{name}.py",
        }[kind]

    def _new_name(self) -> str:
        self.serial += 1
        return f"{_words(self.rng, 1)[0]}{self.serial}"

    # -- contents ----------------------------------------------------------

    def _others(self, kind: str, name: str, k: int) -> list:
        others = [m for m in self.modules[kind] if m != name]
        # Now and then a name that is not there (yet): an import left dangling.
        if self.rng.random() < 0.3:
            others.append(f"gone{self.rng.randint(1, 9)}")
        return self.rng.sample(others, min(k, len(others)))

    def text(self, kind: str, name: str) -> str:
        rng = self.rng
        if kind == "test":
            # A test folder is a suite while one of its files defines a test:
            # an edit can make every file under it a test, or none.
            deps = self._others("py", name, rng.randint(0, 2))
            lines = [f"from pkg import {d}" for d in deps] + [""]
            for f in _words(rng, rng.randint(1, 2)):
                name = f"test_{f}" if rng.random() < 0.25 else f
                lines += [f"def {name}():", f"    return {deps[0] + '.helper(1)' if deps else 1}", ""]
            return "\n".join(lines)
        funcs = _words(rng, rng.randint(1, 4))
        deps = self._others(kind, name, rng.randint(0, 3))
        if kind == "py":
            self.functions[name] = funcs
            lines = [f'"""Module {name}: {" ".join(_words(rng, 3))}."""', ""]
            for d in deps:
                lines.append(rng.choice([f"from . import {d}", f"from pkg import {d}", f"import pkg.{d}", f"import {d}"]))
            # A function of some module, looked for through a star import (and
            # whatever that module star-imports in turn) or a re-export.
            elsewhere = [(m, f) for m, fs in self.functions.items() if m != name for f in fs]
            used = []
            if deps and elsewhere and rng.random() < 0.6:
                module, function = rng.choice(elsewhere)
                if rng.random() < 0.5:
                    lines.append(f"from .{rng.choice(deps)} import *")
                else:
                    lines.append(f"from .{rng.choice(deps)} import {function}")
                used.append(function)
            lines.append("")
            for f in funcs:
                lines += [f"def {f}(x, y=1):", f'    """{f} does {_words(rng, 1)[0]}."""']
                lines += [f"    {d}.helper(x)" for d in deps[:1]] + [f"    {u}(x)" for u in used] + [f"    return x + y", ""]
            lines += ["def helper(x):", "    return x", ""]
            if rng.random() < 0.5:
                base = f"{deps[0]}.Base" if deps else "object"
                lines += [f"class Base({base}):", "    def run(self):", "        return helper(1)", ""]
            return "\n".join(lines)
        if kind == "js":
            lines = ["'use strict'"]
            top, nested = deps[: len(deps) // 2], deps[len(deps) // 2 :]
            lines += [f"const {d} = require('./{d}')" for d in top]
            for f in funcs:
                lines += [f"function {f} (x) {{"]
                # Requires inside functions are met in document order only when the
                # query captures are sorted.
                lines += [f"  const {d} = require('./{d}')\n  {d}.helper(x)" for d in nested]
                lines += ["  return x", "}"]
            lines += ["module.exports.helper = function (x) { return x }"]
            lines += [f"module.exports.{f} = {f}" for f in funcs]
            return "\n".join(lines) + "\n"
        if kind == "ts":
            lines = []
            for d in deps:
                spec = rng.choice([f"./{d}", f"@lib/{d}"])
                lines.append(f'import {{ helper as {d}Helper }} from "{spec}";')
            for f in funcs:
                lines += [f"/** {f} does things. */", f"export function {f}(x: number): number {{"]
                lines += [f"  {d}Helper(x);" for d in deps[:1]] + ["  return x;", "}"]
            lines += ["export function helper(x: number): number {", "  return x;", "}"]
            return "\n".join(lines) + "\n"
        lines = [f"// Package {name} does {_words(rng, 1)[0]}.", f"package {name}", ""]
        if deps:
            lines += ["import ("] + [f'\t"example.com/app/{d}"' for d in deps] + [")", ""]
        for f in funcs:
            lines += [f"func {f.capitalize()}(x int) int {{"] + [f"\t{d}.Helper(x)" for d in deps] + ["\treturn x", "}", ""]
        lines += ["func Helper(x int) int { return x }", ""]
        return "\n".join(lines)

    def write(self, kind: str, name: str) -> None:
        path = self.path(kind, name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(self.text(kind, name))

    def write_settings(self, module: str = "example.com/app", lib: str = "src/*", ignored: str = "") -> None:
        (self.root / "pkg").mkdir(parents=True, exist_ok=True)
        (self.root / "pkg/__init__.py").write_text(self._init_text())
        (self.root / "svc").mkdir(parents=True, exist_ok=True)
        (self.root / "svc/go.mod").write_text(f"module {module}\n\ngo 1.22\n")
        (self.root / "ts").mkdir(parents=True, exist_ok=True)
        (self.root / "ts/tsconfig.json").write_text(
            '{"compilerOptions": {"baseUrl": ".", "paths": {"@lib/*": ["%s"]}}}\n' % lib
        )
        (self.root / ".gitignore").write_text(ignored)

    def _init_text(self) -> str:
        # Importing more of the package than it defines, it gathers names:
        # the credit of its importers goes to the modules.
        return '"""The package."""\n' + "".join(f"from . import {m}\n" for m in self.modules["py"][:2])

    # -- changes -----------------------------------------------------------

    def add(self, kind: str | None = None) -> str:
        kind = kind or self.rng.choice(KINDS)
        name = self._new_name()
        self.modules[kind].append(name)
        self.write(kind, name)
        return f"add {self.path(kind, name).relative_to(self.root)}"

    def _pick(self):
        kinds = [k for k in KINDS if self.modules[k]]
        kind = self.rng.choice(kinds)
        return kind, self.rng.choice(self.modules[kind])

    def change(self) -> str:
        """Apply one random change; returns what it did."""
        rng = self.rng
        what = rng.choice(("edit", "edit", "same size", "add", "delete", "rename", "settings"))
        if what == "add" or not any(self.modules.values()):
            return self.add()
        kind, name = self._pick()
        path = self.path(kind, name)
        rel = path.relative_to(self.root)
        if what == "edit":
            self.write(kind, name)
        elif what == "same size":
            data = bytearray(path.read_bytes())
            at = [i for i, b in enumerate(data) if chr(b).isalpha()]
            i = rng.choice(at)
            data[i] = ord("q" if data[i] != ord("q") else "z")
            path.write_bytes(bytes(data))
        elif what == "delete":
            path.unlink()
            self.modules[kind].remove(name)
            self.functions.pop(name, None)
        elif what == "rename":
            new = self._new_name()
            target = self.path(kind, new)
            target.parent.mkdir(parents=True, exist_ok=True)
            text = path.read_text()
            if kind == "go":
                text = text.replace(f"package {name}\n", f"package {new}\n")
            target.write_text(text)
            path.unlink()
            self.modules[kind][self.modules[kind].index(name)] = new
            if name in self.functions:
                self.functions[new] = self.functions.pop(name)
            return f"rename {rel} -> {target.relative_to(self.root)}"
        else:
            choice = rng.choice(("module", "paths", "ignore", "ignore none", "package"))
            if choice == "package":
                init = self.root / "pkg/__init__.py"
                if init.exists():
                    init.unlink()
                else:
                    init.write_text(self._init_text())
            elif choice == "module":
                self.write_settings(module=rng.choice(["example.com/app", "example.com/other"]))
            elif choice == "paths":
                self.write_settings(lib=rng.choice(["src/*", "lib/*", "src/*.ts"]))
            elif choice == "ignore":
                self.write_settings(ignored=f"{rel}\n")
            else:
                self.write_settings()
            return f"settings {choice}"
        return f"{what} {rel}"


# A run's figures that an update must give as a full run of the same tree does.
FIGURES = ("files", "functions", "methods", "classes", "nodes", "edges", "unparsable", "partial")


def figures(stats) -> tuple:
    return tuple(getattr(stats, name) for name in FIGURES)


def full_copy(source: Path, target: Path, full_figures: list | None = None, graph_file: bool = True) -> dict:
    """`outputs(decoded=True)` of a full run over a copy of `source`'s files
    (the run's `figures` appended to `full_figures` when given)."""
    from tarnwick.indexer import index_project

    shutil.copytree(source, target, ignore=shutil.ignore_patterns(".vestra"))
    stats = index_project(target, jobs=1, full=True, progress=False, graph_file=graph_file)
    if full_figures is not None:
        full_figures.append(figures(stats))
    return outputs(target, decoded=True)


def differences(a: dict, b: dict, leave_out=()) -> list:
    """The names of the outputs that differ (those in `leave_out` aside)."""
    return [name for name in sorted(a.keys() | b.keys()) if name not in leave_out and a.get(name) != b.get(name)]


def write_files(root: Path, files: dict) -> None:
    """Writes `files` (path -> text) under `root`; a text of None removes that file."""
    for rel, text in files.items():
        path = root / rel
        if text is None:
            path.unlink()
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)


def _without_generation(top: bytes) -> list:
    others, keys = json.loads(top)
    return [[pair for pair in others if pair[0] != "generation"], keys]


def outputs(root: Path, decoded: bool = False) -> dict:
    """What an indexing run wrote, less what names the run itself (its
    generation stamp, the graph file's identity in the search index).  The
    search index's tables are compared row by row, or ``decoded``: keyed by
    file ids and symbols' places in their files instead of numbers, which
    an updated index may give otherwise than a full build."""
    data = root / ".vestra"
    out = {
        "structured_summaries.json": (data / "structured_summaries.json").read_bytes(),
        "digests.json": _chunk_lists(root),
    }
    # Without a graph file, the size the index records is the graph's own
    # (what the file would have held), so it is compared too.
    identity = IDENTITY
    if (data / "graph.json").exists():
        graph = (data / "graph.json").read_bytes()
        first, _, rest = graph.partition(b'\n"generation":')
        out["graph.json"] = first + rest.partition(b"\n")[2]
    else:
        identity = IDENTITY - {"size"}
    db = sqlite3.connect(f"file:{data / 'search.db'}?mode=ro", uri=True)
    try:
        tables = [row[0] for row in db.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        for table in tables:
            rows = db.execute(f"SELECT * FROM {table}").fetchall()
            if table == "meta":
                rows = [row for row in rows if row[0] not in identity and not (decoded and row[0] == "symbol_slots")]
            elif table == "sources":  # the files' times are the tree's, not the index's
                rows = [(number, size, digest) for number, size, _, digest in rows]
            elif table == "graph":  # its top-level keys hold the generation
                rows = [(name, _without_generation(data) if name == "top" else data) for name, data in rows]
            out[f"search.db:{table}"] = sorted(rows, key=repr)
        if decoded:
            out.update(_by_name(out))
    finally:
        db.close()
    return out


def _chunk_lists(root: Path) -> dict:
    """Each data file's chunks, as the manifest's digests are made of them
    (the graph's first, its head with the run's stamp, left out), once
    proved, hashed afresh, to make the digests the manifest records."""
    from tarnwick.datadir import digest_holds, read_manifest

    files = read_manifest(root)["files"]
    lists = json.loads((root / ".vestra" / "digests.json").read_text())["files"]
    placed = sorted(name for name in ("graph.json", "structured_summaries.json") if (root / ".vestra" / name).exists())
    assert sorted(lists) == sorted(files) == placed
    for name in lists:
        assert digest_holds(root, name, (root / ".vestra" / name).read_bytes(), files[name]), name
    out = {"structured_summaries.json": lists["structured_summaries.json"]}
    if "graph.json" in lists:
        graph = lists["graph.json"]
        out["graph.json"] = (graph["lengths"], graph["sha256"][64:])
    return out


def _array(code: str, rows: dict, name: str) -> list:
    values = array(code)
    for chunk in range(len(rows)):
        blob = rows.get(f"{name}/{chunk}")
        if blob is None:
            break
        values.frombytes(blob)
    return values.tolist()


def _by_name(out: dict) -> dict:
    """The search index's tables keyed by names instead of numbers."""
    fid = {number: from_sql(name) for name, number in out["search.db:file_numbers"]}
    symbol = {}
    for number, _, first, count, _ in out["search.db:docstate"]:
        symbol.update((first + i, (fid[number], i)) for i in range(count))
    arrays = dict(out["search.db:arrays"])
    per_file = {
        name: dict(zip(map(fid.get, range(len(fid))), _array(code, arrays, name)))
        for name, code in (("file_flags", "B"), ("file_prior", "f"), ("file_norm", "f"), ("file_length", "d"))
    }
    per_symbol = {
        name: {symbol[n]: v for n, v in enumerate(_array(code, arrays, name)) if n in symbol}
        for name, code in (("symbol_norm", "f"), ("symbol_length", "d"), ("symbol_file", "I"))
    }
    per_symbol["symbol_file"] = {key: fid[v] for key, v in per_symbol["symbol_file"].items()}
    # Each file's first symbol, by its place: (the file, 0), or None for a file without symbols.
    firsts = _array("I", arrays, "file_first_symbol")
    per_file["file_first_symbol"] = {
        fid[n]: None if first == 0xFFFFFFFF else symbol.get(first, "not a live symbol") for n, first in enumerate(firsts)
    }
    terms = []
    for term, df, postings in out["search.db:terms"]:
        files, fw, symbols, sw = decode_postings(postings)
        f = sorted(zip(map(fid.get, files), fw))
        y = sorted(zip(map(symbol.get, symbols), sw))
        terms.append((term, f, y, df))
    by_number = {
        table: sorted((fid[row[0]], *row[1:]) for row in out[f"search.db:{table}"])
        for table in ("sources", "records")
    }
    return {
        "search.db:arrays": [per_file, per_symbol],
        "search.db:terms": terms,
        "search.db:file_numbers": sorted(fid.values()),
        "search.db:docstate": sorted((fid[n], fp, count, state) for n, fp, _, count, state in out["search.db:docstate"]),
        "search.db:symbols": sorted((symbol[row[0]], fid.get(row[1]), *row[2:]) for row in out["search.db:symbols"]),
        **{f"search.db:{table}": rows for table, rows in by_number.items()},
    }


def from_sql(value):
    return value.decode("utf-8", "surrogatepass") if isinstance(value, bytes) else value
