"""Benchmark: index a copy of the installed CPython standard library.

The copy leaves out the `test`/`tests`, `idlelib`, `lib2to3` and
`site-packages` folders (about 600 files, 11 MB of source).  Each run is a
whole `index_project` call: walking, parsing, resolving and writing both
data files.  Reported: files per second (best and median run) and the peak
resident memory of this process and of its worker processes.

    PYTHONPATH=src python bench/bench_index.py [--repeat 3] [--jobs N] [--source DIR]

Exit status 1 when the best run is below --min-rate files per second.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import sys
import sysconfig
import tempfile
import time

from tarnwick.index import index_project

LEFT_OUT = {"test", "tests", "idlelib", "lib2to3", "site-packages", "__pycache__"}


def copy_stdlib(source: str, target: str) -> int:
    """Copy the .py files of `source` into `target`; returns bytes copied."""
    total = 0
    for dirpath, dirnames, filenames in os.walk(source):
        dirnames[:] = sorted(d for d in dirnames if d not in LEFT_OUT)
        rel = os.path.relpath(dirpath, source)
        out_dir = os.path.join(target, rel)
        os.makedirs(out_dir, exist_ok=True)
        for name in filenames:
            if name.endswith(".py"):
                shutil.copyfile(os.path.join(dirpath, name), os.path.join(out_dir, name))
                total += os.path.getsize(os.path.join(out_dir, name))
    return total


def _maxrss_mib(who: int) -> float:
    kib = resource.getrusage(who).ru_maxrss
    # Linux reports KiB, macOS bytes.
    return kib / 1024 / (1024 if sys.platform == "darwin" else 1)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=sysconfig.get_paths()["stdlib"], help="tree to copy and index")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=None)
    parser.add_argument("--min-rate", type=float, default=0.0, help="fail below this many files per second")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-") as work:
        tree = os.path.join(work, "stdlib")
        size = copy_stdlib(args.source, tree)
        rates = []
        stats = None
        for run in range(args.repeat):
            shutil.rmtree(os.path.join(tree, ".vestra"), ignore_errors=True)
            started = time.perf_counter()
            stats = index_project(tree, jobs=args.jobs, progress=False)
            elapsed = time.perf_counter() - started
            rate = (stats.files + len(stats.unparsable)) / elapsed
            rates.append(rate)
            print(f"run {run + 1}: {elapsed:.2f}s, {rate:.0f} files/s", flush=True)
        out_sizes = os.path.getsize(stats.summaries_path) + os.path.getsize(stats.graph_path)

    print(f"source: {args.source} ({stats.files + len(stats.unparsable)} files, {size / 1e6:.1f} MB)")
    print(stats.summary_line())
    print(f"output: {out_sizes / 1e6:.1f} MB")
    print(f"files/s: best {max(rates):.0f}, median {statistics.median(rates):.0f}")
    print(f"peak memory: parent {_maxrss_mib(resource.RUSAGE_SELF):.0f} MiB, largest worker {_maxrss_mib(resource.RUSAGE_CHILDREN):.0f} MiB")
    if max(rates) < args.min_rate:
        print(f"below the required {args.min_rate:.0f} files/s", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
