"""Benchmark: one `context-packer` query, end to end, as a user runs it.

Two trees are assembled in a work folder and indexed with `tarnwick-index`:

- `stdlib`: a copy of this interpreter's standard library without its
  `test`/`tests` folders and `site-packages` (about 780 files on 3.10);
- `large`: four such copies under one root (about 3,100 files).

For each tree the benchmark runs the `context-packer` command beside this
interpreter as a fresh process per query (`--repeat` rounds over the
queries) and reports the median and best wall time, and the CPU time
(user + system), which a machine shared with other work disturbs less.  A second set of fresh
processes reports where the time goes: start-up (interpreter and imports),
`load_graph`, `retrieve`, `load_summaries` and `pack`.

    .venv/bin/python bench/bench_query.py [--repeat 3] [--work DIR] [--tree stdlib|large]

With `--work DIR` the trees are kept there and only re-indexed; without it
they live in a temporary folder.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import time

from workdir import work_dir

LEFT_OUT = {"test", "tests", "site-packages", "__pycache__"}
LARGE_COPIES = 4

QUERIES = [
    "how does json encode floats",
    "where is the HTTP request line parsed",
    "ZipFile extract members with path traversal protection",
    "how are email headers folded",
    "asyncio event loop call_later scheduling",
    "argparse mutually exclusive groups",
    "tarfile extraction filters",
    "fix the logging handler rotation",
]

# Run in a fresh interpreter: times each step of the pipeline once, as the
# command does it, and prints them as JSON.
_STAGES = r"""
import json, sys, time
t0 = time.perf_counter()
import gc; gc.disable()  # as the command runs
from pathlib import Path
from tarnwick import vx, context_packer as cp
t1 = time.perf_counter()
root = Path(sys.argv[2]).resolve()
vx.set_project(root)
vx.defer_next_graph()  # as the command does
graph = vx.load_graph(); t2 = time.perf_counter()
result = vx.retrieve(graph, sys.argv[1], top_files=8, top_edges=40); t3 = time.perf_counter()
summaries = cp.load_summaries(root); t4 = time.perf_counter()
block = cp.pack(result, summaries, graph, root); t5 = time.perf_counter()
print(json.dumps({"imports": t1 - t0, "load_graph": t2 - t1, "retrieve": t3 - t2,
                  "load_summaries": t4 - t3, "pack": t5 - t4}))
"""


def copy_stdlib(source: str, target: str) -> int:
    files = 0
    for dirpath, dirnames, filenames in os.walk(source):
        dirnames[:] = sorted(d for d in dirnames if d not in LEFT_OUT)
        out_dir = os.path.join(target, os.path.relpath(dirpath, source))
        os.makedirs(out_dir, exist_ok=True)
        for name in filenames:
            if name.endswith(".py"):
                shutil.copyfile(os.path.join(dirpath, name), os.path.join(out_dir, name))
                files += 1
    return files


def build_trees(work: str, source: str, wanted: list) -> dict:
    trees = {}
    stdlib = os.path.join(work, "stdlib")
    if not os.path.isdir(stdlib):
        copy_stdlib(source, stdlib)
    trees["stdlib"] = stdlib
    if "large" in wanted:
        large = os.path.join(work, "large")
        if not os.path.isdir(large):
            for i in range(LARGE_COPIES):
                shutil.copytree(stdlib, os.path.join(large, f"copy{i + 1}"), ignore=shutil.ignore_patterns(".vestra"))
        trees["large"] = large
    return {name: trees[name] for name in wanted}


def _command(name: str) -> str:
    path = os.path.join(os.path.dirname(sys.executable), name)
    if not os.path.exists(path):
        sys.exit(f"{path} not found: install the package into this interpreter's environment first")
    return path


def _run(argv: list, cwd: str) -> tuple[float, float]:
    """Wall time and CPU time (user + system) of one process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def bench_tree(name: str, root: str, repeat: int) -> None:
    started = time.perf_counter()
    out = subprocess.run([_command("tarnwick-index"), "-q", root], capture_output=True, text=True, check=True)
    print(f"[{name}] {out.stdout.strip()} (wall {time.perf_counter() - started:.1f}s)")

    packer = _command("context-packer")
    times = [_run([packer, q, root], root) for _ in range(repeat) for q in QUERIES]
    wall = sorted(t[0] * 1000 for t in times)
    cpu = sorted(t[1] * 1000 for t in times)
    print(
        f"[{name}] context-packer: median {statistics.median(wall):.0f} ms, best {wall[0]:.0f} ms"
        f" (CPU time: median {statistics.median(cpu):.0f} ms, best {cpu[0]:.0f} ms; {len(wall)} runs)"
    )

    bare = sorted(_run([sys.executable, "-c", "pass"], root)[0] * 1000 for _ in range(5))
    stages: dict = {}
    for _ in range(repeat):
        for q in QUERIES:
            out = subprocess.run([sys.executable, "-c", _STAGES, q, root], capture_output=True, text=True, check=True)
            for key, value in json.loads(out.stdout).items():
                stages.setdefault(key, []).append(value * 1000)
    split = ", ".join(f"{key} {statistics.median(v):.1f}" for key, v in stages.items())
    print(f"[{name}] median ms: bare interpreter {statistics.median(bare):.1f}, {split}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=sysconfig.get_paths()["stdlib"], help="standard library to copy")
    parser.add_argument("--repeat", type=int, default=3, help="rounds over the queries")
    parser.add_argument("--work", help="keep the trees in this folder")
    parser.add_argument("--tree", action="append", choices=("stdlib", "large"), help="default: both")
    args = parser.parse_args(argv)
    wanted = args.tree or ["stdlib", "large"]

    with work_dir(args.work, "tarnwick-query-") as work:
        for name, root in build_trees(str(work), args.source, wanted).items():
            bench_tree(name, root, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
