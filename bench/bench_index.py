"""Benchmark: index a copy of real sources, fully and incrementally.

Trees (--tree):
- `stdlib`: the installed CPython standard library without its `test`,
  `tests`, `idlelib`, `lib2to3` and `site-packages` folders (about 600
  files, 11 MB);
- `mixed`: that copy plus Go sources from /usr/share/gocode/src and
  JavaScript/TypeScript sources from /usr/share/nodejs (Debian's
  `golang-*-dev` and `node-*` packages), up to --per-language files each.
  Languages whose sources are absent are left out, and the run says so.

`--files N` repeats the tree in sub-folders until it holds about N files
(the memory check: 10,000).  Each run is a whole `index_project` call:
walking, parsing, resolving and writing.  Reported: files per second of
full runs (best and median), the time of a re-run with nothing changed and
of one with one file changed, and the peak resident memory of this process
and of its largest worker.

    .venv/bin/python bench/bench_index.py [--tree mixed] [--repeat 3] [--jobs N] [--files N]

(the installed package: run from the sources unbuilt, the indexer counts
words in Python, the reference of its C++ loops).

Per language it also reports how much of the real sources was read: files,
partly parsed and unparsable ones, symbols, and import edges between the
tree's own files.  Exit status 1 when the best full run is below --min-rate
files per second, or with --check when a language present has more than 2%
of its files unreadable or partly read, or no symbols or resolved imports.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import sys
import sysconfig
import tempfile
import time

from tarnwick.indexer import index_project
from tarnwick.indexer.extractors import grammar_of

LEFT_OUT = {"test", "tests", "idlelib", "lib2to3", "site-packages", "__pycache__", "node_modules", "vendor", "testdata"}
GO_SOURCES = "/usr/share/gocode/src"
JS_SOURCES = "/usr/share/nodejs"


def copy_tree(source: str, target: str, suffixes: tuple, limit: int | None = None) -> tuple:
    """Copy files with `suffixes` of `source` into `target` (sorted walk, at
    most `limit` source files); returns (source files, their bytes)."""
    files = total = 0
    for dirpath, dirnames, filenames in os.walk(source):
        dirnames[:] = sorted(d for d in dirnames if d not in LEFT_OUT and not d.startswith("."))
        out_dir = os.path.join(target, os.path.relpath(dirpath, source))
        for name in sorted(filenames):
            if not name.endswith(suffixes) or name.endswith((".d.ts", ".min.js")):
                continue
            src = os.path.join(dirpath, name)
            if os.path.islink(src) or not os.path.isfile(src):
                continue
            os.makedirs(out_dir, exist_ok=True)
            shutil.copyfile(src, os.path.join(out_dir, name))
            if name == "go.mod":
                continue  # steers import resolution; not a source file
            files += 1
            total += os.path.getsize(src)
            if limit is not None and files >= limit:
                return files, total
    return files, total


def build_tree(kind: str, target: str, per_language: int) -> tuple:
    files, size = copy_tree(sysconfig.get_paths()["stdlib"], os.path.join(target, "py"), (".py",))
    parts = [f"{files} Python"]
    if kind == "mixed":
        for label, source, suffixes in (
            ("Go", GO_SOURCES, (".go", "go.mod")),
            ("JavaScript/TypeScript", JS_SOURCES, (".js", ".mjs", ".cjs", ".ts", ".tsx")),
        ):
            if not os.path.isdir(source):
                print(f"note: {source} is absent: no {label} files in the tree", file=sys.stderr)
                continue
            n, b = copy_tree(source, os.path.join(target, label.split("/")[0].lower()), suffixes, per_language)
            files += n
            size += b
            parts.append(f"{n} {label}")
    return files, size, ", ".join(parts)


def coverage(stats) -> dict:
    """language -> {files, partial, unparsable, symbols, imports} of the
    last run's output."""
    with open(stats.graph_path, encoding="utf-8") as f:
        graph = json.load(f)
    out = {}

    def row(path):
        language = grammar_of(path)[0]
        return out.setdefault(language, dict.fromkeys(("files", "partial", "unparsable", "symbols", "imports"), 0))

    for node in graph["nodes"]:
        row(node["path"])["files" if node["kind"] == "file" else "symbols"] += 1
    for edge in graph["edges"]:
        if edge["rel"] == "imports":
            row(edge["from"])["imports"] += 1
    for path in stats.partial:
        row(path)["partial"] += 1
    for path, _ in stats.unparsable:
        row(path)["unparsable"] += 1
    return out


def _cpu() -> float:
    """CPU seconds of this process and its finished workers: less sensitive
    than wall time to other work on a shared machine."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def _maxrss_mib(who: int) -> float:
    kib = resource.getrusage(who).ru_maxrss
    # Linux reports KiB, macOS bytes.
    return kib / 1024 / (1024 if sys.platform == "darwin" else 1)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", choices=("stdlib", "mixed"), default="stdlib")
    parser.add_argument("--per-language", type=int, default=700, help="Go and JS/TS files in the mixed tree")
    parser.add_argument("--files", type=int, default=0, help="repeat the tree up to about this many files")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=None)
    parser.add_argument("--min-rate", type=float, default=0.0, help="fail below this many files per second")
    parser.add_argument("--check", action="store_true", help="fail when a language is read badly")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-") as work:
        tree = os.path.join(work, "tree")
        files, size, parts = build_tree(args.tree, os.path.join(tree, "copy0"), args.per_language)
        copies = 1
        while args.files and files * (copies + 1) <= args.files + files // 2:
            shutil.copytree(os.path.join(tree, "copy0"), os.path.join(tree, f"copy{copies}"))
            copies += 1
        rates = []
        cpu_ms = []
        stats = None
        for run in range(args.repeat):
            started, cpu = time.perf_counter(), _cpu()
            stats = index_project(tree, jobs=args.jobs, progress=False, full=True)
            elapsed = time.perf_counter() - started
            done = stats.files + len(stats.unparsable)
            rates.append(done / elapsed)
            cpu_ms.append((_cpu() - cpu) * 1000 / done)
            print(f"full run {run + 1}: {elapsed:.2f}s, {rates[-1]:.0f} files/s, {cpu_ms[-1]:.2f} CPU ms/file", flush=True)
        unchanged = []
        unchanged_cpu = []
        for _ in range(args.repeat):
            started, cpu = time.perf_counter(), _cpu()
            again = index_project(tree, jobs=args.jobs, progress=False)
            unchanged.append(time.perf_counter() - started)
            unchanged_cpu.append(_cpu() - cpu)
        parsed_again = again.files + len(again.unparsable) - again.reused
        victim = os.path.join(tree, "copy0", "py", "json", "encoder.py")
        with open(victim, "a", encoding="utf-8") as f:
            f.write("\n\ndef added_by_the_benchmark():\n    return 1\n")
        started = time.perf_counter()
        index_project(tree, jobs=args.jobs, progress=False)
        one_changed = time.perf_counter() - started
        out_sizes = os.path.getsize(stats.summaries_path) + os.path.getsize(stats.graph_path)
        languages = coverage(stats)

    print(f"tree: {args.tree}, {copies} cop{'y' if copies == 1 else 'ies'} of {parts} ({files * copies} files, {size * copies / 1e6:.1f} MB)")
    print(stats.summary_line())
    print(f"output: {out_sizes / 1e6:.1f} MB")
    print(f"full run files/s: best {max(rates):.0f}, median {statistics.median(rates):.0f}")
    print(f"full run CPU per file: best {min(cpu_ms):.2f} ms, median {statistics.median(cpu_ms):.2f} ms")
    print(
        f"re-run, nothing changed: best {min(unchanged):.3f}s, median {statistics.median(unchanged):.3f}s "
        f"(CPU {min(unchanged_cpu):.3f}s)"
    )
    print(f"re-run, one file changed: {one_changed:.3f}s")
    if parsed_again:
        print(f"note: {parsed_again} unchanged files were parsed again by a re-run", file=sys.stderr)
    print(f"peak memory: parent {_maxrss_mib(resource.RUSAGE_SELF):.0f} MiB, largest worker {_maxrss_mib(resource.RUSAGE_CHILDREN):.0f} MiB")
    failed = []
    for language, row in sorted(languages.items()):
        print(
            f"{language}: {row['files']} files ({row['partial']} partly parsed, {row['unparsable']} unparsable), "
            f"{row['symbols']} symbols, {row['imports']} import edges"
        )
        bad = row["partial"] + row["unparsable"]
        if bad > 0.02 * row["files"] or (row["files"] >= 20 and not (row["symbols"] and row["imports"])):
            failed.append(language)
    if max(rates) < args.min_rate:
        print(f"below the required {args.min_rate:.0f} files/s", file=sys.stderr)
        return 1
    if args.check and failed:
        print(f"read badly: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
