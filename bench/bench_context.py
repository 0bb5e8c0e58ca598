"""Benchmark: what the focused pipeline adds to a query on a copy of the
standard library.

Indexes a copy of the installed CPython standard library once (as
bench_index.py does), then runs each question both ways on the same loaded
graph and summary store:

- plain: `vx.retrieve` and the packer's `pack` over the stored summaries
  (what `pack_for_query` does after loading);
- focused: the same plus `context.focus_summaries`, the per-query view.

Both with the per-file "symbols" retrieval returns and with the matches
scored by the view itself from the graph (a result without "symbols").
Reported: the median and worst time of the view per question, and of what
the focused pipeline adds to a query.  Times are this thread's CPU time (best of
--repeat runs), which other work on a shared machine disturbs less than the
wall clock.  The graph and store are loaded once, since
both roads load them alike.

    .venv/bin/python bench/bench_context.py [--repeat 5] [--source DIR]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_query import copy_stdlib  # noqa: E402

from tarnwick import context, vx  # noqa: E402
from tarnwick import context_packer as cp  # noqa: E402
from tarnwick.indexer import index_project  # noqa: E402

QUESTIONS = [
    "how does the json encoder escape non-ascii strings",
    "where are http cookies parsed",
    "how does shutil copy file permissions",
    "how is a zip file's central directory read",
    "how does logging rotate log files by size",
    "where does argparse format the help message",
    "how does the email parser decode headers",
    "how are tar archive members extracted safely",
    "how does asyncio schedule a callback later",
    "how does textwrap wrap long lines",
]


def _time(fn, repeat: int) -> tuple[float, object]:
    best = float("inf")
    value = None
    for _ in range(repeat):
        started = time.thread_time()
        value = fn()
        best = min(best, time.thread_time() - started)
    return best, value


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default=sysconfig.get_paths()["stdlib"], help="tree to copy and index")
    parser.add_argument("--repeat", type=int, default=5, help="runs per question (best is kept)")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-") as work:
        root = Path(work) / "stdlib"
        copy_stdlib(args.source, str(root))
        stats = index_project(root, progress=False)
        print(stats.summary_line())
        vx.set_project(root)  # retrieval may read the project's search index
        graph = vx.load_graph()
        summaries = cp.load_summaries(root)
        print(f"questions: {len(QUESTIONS)}, graph nodes: {len(graph['nodes'])}")
        ms = 1000.0
        # With the symbols retrieval found, and with the matches scored here
        # from the graph (a retrieval result without "symbols").
        for road in ("retrieval's symbols", "scored from the graph"):
            added, focus_times = [], []
            for query in QUESTIONS:
                result = vx.retrieve(graph, query)
                if road != "retrieval's symbols":
                    result["files"] = [{k: v for k, v in e.items() if k != "symbols"} for e in result["files"]]
                t_plain, _ = _time(lambda: cp.pack(result, summaries, graph, root), args.repeat)
                t_focus, (view, _) = _time(
                    lambda: context.focus_summaries(summaries, result["files"], graph, query), args.repeat
                )
                t_packed, _ = _time(lambda: cp.pack(result, view, graph, root), args.repeat)
                focus_times.append(t_focus)
                added.append(t_focus + t_packed - t_plain)
            print(
                f"{road}: per-query view median {statistics.median(focus_times) * ms:.2f} ms, "
                f"worst {max(focus_times) * ms:.2f} ms; added to a query median "
                f"{statistics.median(added) * ms:.2f} ms, worst {max(added) * ms:.2f} ms"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
