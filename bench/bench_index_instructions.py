"""Benchmark: the instructions of one full indexing run, counted by callgrind.

A count of instructions does not move with the machine's load, so two
versions of the indexer can be compared exactly on a shared machine: the
first --files Python files of the standard-library copy of
`bench_index.py` (sorted walk) are indexed from scratch by one process
(`tarnwick-index -j 1 -q`) under `valgrind --tool=callgrind`, and the
total is printed in millions.

    python bench/bench_index_instructions.py [--bin .venv/bin] [--files 115] [--keep DIR]

--bin names the folder of the `tarnwick-index` to count, so an older
version built in another work tree is counted on the same files:

    git worktree add --detach /tmp/before <commit> && (cd /tmp/before && ./scripts/test.sh --co -q)
    python bench/bench_index_instructions.py --bin /tmp/before/.venv/bin

--keep leaves callgrind's output file in DIR for `callgrind_annotate`.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_index import copy_tree  # noqa: E402


def total_instructions(out_file: str) -> int:
    """The event total of a callgrind output file."""
    with open(out_file, encoding="utf-8", errors="replace") as f:
        for line in f:
            match = re.match(r"(?:summary|totals):\s*(\d+)", line)
            if match:
                return int(match.group(1))
    raise SystemExit(f"no total in {out_file}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", default=os.path.dirname(sys.executable), help="folder holding tarnwick-index")
    parser.add_argument("--files", type=int, default=115, help="Python files of the standard library to index")
    parser.add_argument("--keep", help="folder to leave callgrind's output file in")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    index = os.path.join(args.bin, "tarnwick-index")
    with tempfile.TemporaryDirectory(prefix="tarnwick-instructions-") as work:
        tree = os.path.join(work, "tree")
        files, size = copy_tree(sysconfig.get_paths()["stdlib"], tree, (".py",), args.files)
        out_dir = args.keep or work
        os.makedirs(out_dir, exist_ok=True)
        out_file = os.path.join(out_dir, f"callgrind.index.{os.getpid()}")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", index, "-j", "1", "-q", tree],
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        count = total_instructions(out_file)
    print(f"{index}: {files} files, {size / 1e6:.1f} MB: {count / 1e6:,.0f} M instructions")
    if args.keep:
        print(f"callgrind output: {out_file}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
