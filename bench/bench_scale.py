"""Benchmark: indexing and querying at 1,000, 10,000 and 100,000 files.

The trees are assembled from real Python sources on this machine: the
standard libraries (site-packages included) of the CPython versions under
pyenv (/root/.pyenv/versions/3.*), newest first, each walked in sorted
order; files over 1 MiB are left out, and folders the indexer skips by
name (`site-packages`, `build`, `dist`, `vendor`) get a trailing `_`.  A tree of N files holds the first N
files of that sequence; when N exceeds the pool (about 29,000 files here),
further copies of the pool follow under `copy1/`, `copy2/`, ...  `--source
DIR` (repeatable) replaces the pool.

For each size the commands run as a user runs them, as separate processes
from this interpreter's environment (`tarnwick`, `context-packer`):

- full index (`tarnwick index -q`): wall time, files per second, peak
  memory of the whole process tree (the sum of the resident sizes of the
  indexer and its workers, sampled every 50 ms; the largest single process
  beside it);
- `.vestra/` size against the bytes of the source files it indexed;
- re-index with nothing changed, with one file edited, with 1 % of the
  files edited (a function appended to each);
- the median wall time of `tarnwick context`, `tarnwick search` and
  `context-packer` over a set of questions.

    .venv/bin/python bench/bench_scale.py [--sizes 1000,10000] [--repeat 1] [--work DIR]

With `--work DIR` the trees are kept there (built once, re-indexed each
run); without it they live in a temporary folder.  `--keep-index` reuses an
index left in a kept tree instead of the full run (for query figures only).
"""

from __future__ import annotations

import argparse
import glob
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MAX_BYTES = 1 << 20
LEFT_OUT = {"__pycache__", ".vestra", ".git"}
RENAMED = {"site-packages", "build", "dist", "vendor", "node_modules", "target"}
QUERIES = [
    "how does json encode floats",
    "where is the HTTP request line parsed",
    "ZipFile extract members",
    "how are email headers folded",
    "asyncio event loop call_later scheduling",
    "argparse mutually exclusive groups",
    "logging handler rotation",
    "parse a configuration file with sections",
]


def default_sources() -> list:
    found = glob.glob("/root/.pyenv/versions/3.*/lib/python3.*")
    found = [p for p in found if os.path.isdir(p) and not os.path.islink(p)]

    def version(path):
        return tuple(int(x) for x in os.path.basename(path)[len("python"):].split("."))

    return sorted(found, key=version, reverse=True)


def source_pool(sources: list) -> list:
    """(source path, relative target path, size) of every usable .py file."""
    pool = []
    for source in sources:
        label = os.path.basename(source.rstrip("/"))
        for dirpath, dirnames, filenames in os.walk(source):
            dirnames[:] = sorted(d for d in dirnames if d not in LEFT_OUT and not d.startswith("."))
            for name in sorted(filenames):
                if not name.endswith(".py"):
                    continue
                path = os.path.join(dirpath, name)
                try:
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    size = os.path.getsize(path)
                except OSError:
                    continue
                if size > MAX_BYTES:
                    continue
                parts = os.path.relpath(path, source).split(os.sep)
                # The indexer skips these folder names; here they are plain project code.
                parts = [f"{p}_" if p in RENAMED else p for p in parts]
                pool.append((path, os.path.join(label, *parts), size))
    return pool


def build_tree(pool: list, root: str, files: int) -> tuple:
    """Copy the first `files` files of the pool (repeated) into `root`;
    returns (files, bytes) and leaves a marker so a kept tree is reused."""
    marker = os.path.join(root, ".bench-tree")
    if os.path.isfile(marker):
        with open(marker) as f:
            count, size = (int(x) for x in f.read().split())
        if count == files:
            return count, size
        shutil.rmtree(root)
    total = 0
    for i in range(files):
        src, rel, size = pool[i % len(pool)]
        copy = i // len(pool)
        target = os.path.join(root, f"copy{copy}" if copy else "", rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(src, target)
        total += size
    with open(marker, "w") as f:
        f.write(f"{files} {total}")
    return files, total


# --------------------------------------------------------------------------
# Memory of a process tree


def _children_map() -> dict:
    children: dict = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name may hold spaces and parentheses: fields follow the last ")".
        ppid = int(stat[stat.rindex(b")") + 2 :].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    return children


def _rss(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


class TreeMemory:
    """Samples the summed resident size of a process and its descendants."""

    def __init__(self, pid: int, interval: float = 0.05):
        self.pid = pid
        self.interval = interval
        self.peak_total = 0
        self.peak_single = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set():
            children = _children_map()
            todo, seen = [self.pid], []
            while todo:
                pid = todo.pop()
                seen.append(pid)
                todo.extend(children.get(pid, ()))
            sizes = [_rss(pid) for pid in seen]
            self.peak_total = max(self.peak_total, sum(sizes))
            self.peak_single = max(self.peak_single, max(sizes, default=0))
            self._stop.wait(self.interval)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()


# --------------------------------------------------------------------------
# Running the commands


def command(name: str) -> str:
    path = os.path.join(os.path.dirname(sys.executable), name)
    if not os.path.exists(path):
        sys.exit(f"{path} not found: install the package into this interpreter's environment first")
    return path


def _children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_measured(argv: list, cwd: str) -> tuple:
    """(wall seconds, peak tree bytes, peak single-process bytes, stdout,
    CPU seconds of the process and its workers)."""
    cpu = _children_cpu()
    started = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    memory = TreeMemory(proc.pid)
    out, err = proc.communicate()
    wall = time.perf_counter() - started
    memory.stop()
    if proc.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed with status {proc.returncode}:\n{err}")
    return wall, memory.peak_total, memory.peak_single, out, _children_cpu() - cpu


def timed(argv: list, cwd: str, ok=(0,)) -> float:
    started = time.perf_counter()
    proc = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if proc.returncode not in ok:
        raise SystemExit(f"{' '.join(argv)} failed with status {proc.returncode}:\n{proc.stderr}")
    return time.perf_counter() - started


def data_size(root: str) -> int:
    total = 0
    for entry in os.scandir(os.path.join(root, ".vestra")):
        if entry.is_file(follow_symlinks=False):
            total += entry.stat().st_size
    return total


def edit(path: str, n: int) -> None:
    with open(path, "a", encoding="utf-8") as f:
        f.write(f"\n\ndef added_by_the_benchmark_{n}():\n    return {n}\n")


def mib(n: int) -> str:
    return f"{n / (1 << 20):.0f} MiB"


def bench_size(pool: list, work: str, files: int, repeat: int, keep_index: bool) -> dict:
    root = os.path.join(work, f"tree-{files}")
    count, source_bytes = build_tree(pool, root, files)
    tarnwick = command("tarnwick")
    row = {"files": count, "source_bytes": source_bytes}
    print(f"[{files}] tree: {count} files, {source_bytes / 1e6:.1f} MB of Python sources", flush=True)

    if not (keep_index and os.path.isdir(os.path.join(root, ".vestra"))):
        wall, total, single, out, cpu = run_measured([tarnwick, "index", "-q", "--full", root], root)
        row.update(full=wall, peak_tree=total, peak_single=single, full_cpu=cpu)
        print(f"[{files}] {out.strip()}", flush=True)
        print(
            f"[{files}] full index: {wall:.1f} s, {count / wall:.0f} files/s (CPU {cpu:.1f} s, "
            f"{cpu * 1000 / count:.1f} ms per file); peak memory {mib(total)} (process tree), "
            f"largest process {mib(single)}; load average {os.getloadavg()[0]:.1f}",
            flush=True,
        )
    size = data_size(root)
    row["vestra"] = size
    print(f"[{files}] .vestra/: {size / 1e6:.1f} MB, {size / source_bytes:.2f} x the indexed sources", flush=True)

    def reindex(label: str) -> float:
        wall, total, _, _, cpu = run_measured([tarnwick, "index", "-q", root], root)
        print(f"[{files}] re-index, {label}: {wall:.2f} s (CPU {cpu:.2f} s, peak {mib(total)})", flush=True)
        return wall

    sources = sorted(
        os.path.join(d, n) for d, _, names in os.walk(root) if ".vestra" not in d for n in names if n.endswith(".py")
    )
    row["unchanged"] = min(reindex("nothing changed") for _ in range(max(1, repeat)))
    stamp = int(time.time())
    edit(sources[len(sources) // 2], stamp)
    row["one_edited"] = reindex("one file edited")
    step = 100
    for i, path in enumerate(sources[::step]):
        edit(path, stamp + i + 1)
    row["percent_edited"] = reindex(f"1 % edited ({len(sources[::step])} files)")

    queries = {
        "tarnwick context": lambda q: [tarnwick, "context", q, "--root", root],
        "tarnwick search": lambda q: [tarnwick, "search", q, "--root", root],
        "context-packer": lambda q: [command("context-packer"), q, root],
    }
    for label, argv in queries.items():
        times = [timed(argv(q), root, ok=(0, 1)) * 1000 for _ in range(max(1, repeat)) for q in QUERIES]
        row[label] = statistics.median(times)
        print(
            f"[{files}] {label}: median {row[label]:.0f} ms, best {min(times):.0f} ms ({len(times)} runs, "
            f"load average {os.getloadavg()[0]:.1f})",
            flush=True,
        )
    return row


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,10000", help="comma-separated tree sizes (default: 1000,10000)")
    parser.add_argument("--repeat", type=int, default=1, help="rounds over the queries and unchanged re-runs")
    parser.add_argument("--source", action="append", help="folder of Python sources for the pool (repeatable)")
    parser.add_argument("--work", help="keep the trees in this folder")
    parser.add_argument("--keep-index", action="store_true", help="reuse an index in a kept tree (no full run)")
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",") if s.strip()]

    sources = args.source or default_sources()
    pool = source_pool(sources)
    if not pool:
        sys.exit("no Python sources found; name some with --source")
    print(f"pool: {len(pool)} files, {sum(p[2] for p in pool) / 1e6:.0f} MB from {', '.join(sources)}", flush=True)

    def run_all(work: str) -> None:
        rows = [bench_size(pool, work, n, args.repeat, args.keep_index) for n in sizes]
        print()
        print("| files | full index | files/s | peak memory | `.vestra/` / sources | unchanged | one edited | 1 % edited | context | search | context-packer |")
        print("|---|---|---|---|---|---|---|---|---|---|---|")
        for r in rows:
            full = f"{r['full']:.1f} s (CPU {r['full_cpu']:.0f} s)" if "full" in r else "-"
            rate = f"{r['files'] / r['full']:.0f}" if "full" in r else "-"
            peak = mib(r["peak_tree"]) if "peak_tree" in r else "-"
            print(
                f"| {r['files']:,} | {full} | {rate} | {peak} | {r['vestra'] / 1e6:.0f} / {r['source_bytes'] / 1e6:.0f} MB "
                f"({r['vestra'] / r['source_bytes']:.2f}x) | {r['unchanged']:.2f} s | {r['one_edited']:.2f} s | "
                f"{r['percent_edited']:.2f} s | {r['tarnwick context']:.0f} ms | {r['tarnwick search']:.0f} ms | "
                f"{r['context-packer']:.0f} ms |"
            )

    if args.work:
        os.makedirs(args.work, exist_ok=True)
        run_all(args.work)
    else:
        with tempfile.TemporaryDirectory(prefix="tarnwick-scale-") as work:
            run_all(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
