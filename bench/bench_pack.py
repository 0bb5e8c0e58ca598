"""Time of pack on a generated, realistic workload, against one Python loop over the same nodes.

Run with the installed package:  .venv/bin/python bench/bench_pack.py [--repeat N] [--nodes N]
(.venv-3.X/bin/python for another CPython version; PYTHON=3.X ./scripts/test.sh builds it)
For instruction counts (no timing):  valgrind --tool=callgrind .venv/bin/python bench/bench_pack.py
--quick [--only pack|loop] [--repeat N]; the cost of one run is the difference between two
repeat counts, divided by their difference.

Workload: a code graph of file nodes, each followed by its symbol nodes (20,000 nodes by default,
read back through JSON as the retrieval module loads it), the 8 ranked files taken from the
last tenth of the list, 40 edges, Summary records for half the files, and real source files
under a temporary project root. Reported: the best time of pack, the best time of
`for node in nodes: node.get("kind")`, and their ratio; for reference, pack over the same nodes
in a list subclass, which pack walks node by node for every file and section.
"""

import argparse
import json
import platform
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

import tarnwick.context_packer as cp

SYMBOLS_PER_FILE = 7
LINES_PER_FUNCTION = 24
RELATIONS = ["imports", "calls", "extends", "implements", "requires", "contains", "references",
             "defines"]


# --- stand-ins while the module's own renderer and reader are not built ------------------------

def expand_summary_stand_in(summary):
    lines = [summary.get("description", "")]
    functions = summary.get("functions") or {}
    if isinstance(functions, dict) and functions:
        lines.append("Functions:")
        for name, info in list(functions.items())[:8]:
            params = info.get("params", "")
            if isinstance(params, list):
                params = ", ".join(params)
            ret = info.get("returns", "")
            lines.append(f"  {name}({params})" + (f" -> {ret}" if ret else ""))
    return "\n".join(line for line in lines if line)


def read_symbol_content_stand_in(project_root, file_id, functions, max_lines=80):
    file_path = project_root / file_id
    if not file_path.exists():
        return ""
    try:
        all_lines = file_path.read_text(encoding="utf-8", errors="ignore").splitlines()
    except OSError:
        return ""
    if not functions:
        return ""
    sorted_fns = sorted(functions.items(), key=lambda kv: kv[1].get("line_start", 0))
    chunks, total_lines = [], 0
    for fn_name, fn_info in sorted_fns[:3]:
        start = fn_info.get("line_start", 0)
        end = fn_info.get("line_end", start + 20)
        start = start if start > 0 else 0
        end = end if end < len(all_lines) - 1 else len(all_lines) - 1
        span = end - start + 1
        if total_lines + span > max_lines:
            end = start + (max_lines - total_lines) - 1
            if end < start:
                break
            span = end - start + 1
        header = f"# {file_id}::{fn_name} (lines {start + 1}-{end + 1})"
        chunks.append(header + "\n" + "\n".join(all_lines[start:end + 1]))
        total_lines += span
        if total_lines >= max_lines:
            break
    return "\n\n".join(chunks)


def install_stand_ins_where_missing(root):
    used = []
    try:
        cp.expand_summary({"description": "probe"})
    except NotImplementedError:
        cp.expand_summary = expand_summary_stand_in
        used.append("expand_summary")
    try:
        cp.read_symbol_content(root, "missing.py", {})
    except NotImplementedError:
        cp.read_symbol_content = read_symbol_content_stand_in
        used.append("read_symbol_content")
    return used


# --- the workload ------------------------------------------------------------------------------

def generate(node_count, root, rng):
    file_count = node_count // (1 + SYMBOLS_PER_FILE)
    packages = ["api", "core", "db", "services", "utils", "models", "workers", "web"]
    paths = [f"src/{packages[i % len(packages)]}/module_{i:05d}.py" for i in range(file_count)]

    nodes = []
    for path in paths:
        nodes.append({"id": path, "kind": "file", "path": path,
                      "summary": f"Module {path} with helpers for {rng.choice(packages)} tasks."})
        for j in range(SYMBOLS_PER_FILE):
            start = 4 + j * LINES_PER_FUNCTION
            nodes.append({"id": f"{path}::func_{j}", "kind": "symbol", "path": path,
                          "name": f"func_{j}", "line_start": start,
                          "line_end": start + LINES_PER_FUNCTION - 2,
                          "signature": f"def func_{j}(a, b=None)", "doc": "Does a thing."})
    nodes = json.loads(json.dumps(nodes))  # as the graph loader builds them

    chosen = rng.sample(paths[-max(8, file_count // 10):], 8)
    files = [{"id": path, "score": 10.0 - i} for i, path in enumerate(chosen)]

    edges = []
    for i in range(40):
        a = chosen[i % 8] if i % 3 else rng.choice(paths)
        b = rng.choice(paths) if i % 2 else chosen[(i + 3) % 8]
        edges.append({"from": a, "to": b, "rel": RELATIONS[i % len(RELATIONS)]})

    summaries = {}
    for index, path in enumerate(paths):
        with_record = index % 2 == 0
        if path in chosen:
            with_record = chosen.index(path) % 2 == 0
        if not with_record:
            continue
        summaries[path] = {
            "description": f"Handlers of {path}",
            "functions": {f"func_{j}": {"params": ["a", "b=None"], "returns": "dict",
                                        "lines": [4 + j * LINES_PER_FUNCTION,
                                                  2 + (j + 1) * LINES_PER_FUNCTION],
                                        "description": f"Step {j}"}
                          for j in range(SYMBOLS_PER_FILE)},
            "imports": [{"module": "os", "names": ["path"]}],
        }

    source = "\n".join(['"""Module."""', "import os", "", ""] + [
        line for j in range(SYMBOLS_PER_FILE) for line in
        [f"def func_{j}(a, b=None):"] + [f"    x_{k} = a + {k}  # work" for k in range(
            LINES_PER_FUNCTION - 2)] + [""]])
    for path in chosen:
        target = root / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(source, encoding="utf-8")

    return {"files": files, "edges": edges}, summaries, {"nodes": nodes, "edges": []}


# --- timing ------------------------------------------------------------------------------------

def loop_over_nodes(nodes):
    for node in nodes:
        node.get("kind")


def timed_rounds(functions, repeat, batch=10):
    """Best and median time of each function, measured in alternating batches so that a
    noisy period of a shared machine hits all of them alike."""
    times = {name: [] for name in functions}
    for _ in range(max(1, repeat // batch)):
        for name, function in functions.items():
            for _ in range(batch):
                start = time.perf_counter()
                function()
                times[name].append(time.perf_counter() - start)
    return {name: (min(t), statistics.median(t)) for name, t in times.items()}


def run_quick(args, pack, loop):
    if args.only != "loop":
        for _ in range(args.repeat):
            pack()
    if args.only != "pack":
        for _ in range(args.repeat):
            loop()
    print(f"ran {args.only or 'pack and loop'} {args.repeat} times")


class ListSubclass(list):
    pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--nodes", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=300)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--quick", action="store_true",
                        help="no timing: run pack and the loop --repeat times each (for callgrind)")
    parser.add_argument("--only", choices=["pack", "loop"],
                        help="with --quick, run only one of the two")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    with tempfile.TemporaryDirectory() as directory:
        root = Path(directory)
        result, summaries, graph = generate(args.nodes, root, rng)
        stand_ins = install_stand_ins_where_missing(root)
        nodes = graph["nodes"]

        block = cp.pack(result, summaries, graph, root)
        if args.quick:
            run_quick(args, lambda: cp.pack(result, summaries, graph, root),
                      lambda: loop_over_nodes(nodes))
            return
        literal_graph = {"nodes": ListSubclass(nodes), "edges": []}
        if cp.pack(result, summaries, literal_graph, root) != block:
            sys.exit("pack over a list subclass gave a different block")

        expand, read = cp.expand_summary, cp.read_symbol_content
        calls = []
        cp.expand_summary = lambda summary: calls.append((expand, (summary,), {})) or expand(summary)
        cp.read_symbol_content = lambda *a, **k: calls.append((read, a, k)) or read(*a, **k)
        cp.pack(result, summaries, graph, root)
        cp.expand_summary, cp.read_symbol_content = expand, read

        def callees():
            for function, positional, keywords in calls:
                function(*positional, **keywords)

        timings = timed_rounds({
            "pack": lambda: cp.pack(result, summaries, graph, root),
            "loop": lambda: loop_over_nodes(nodes),
            "callees": callees,
        }, args.repeat)
        literal = timed_rounds({"literal": lambda: cp.pack(result, summaries, literal_graph, root)},
                               max(10, args.repeat // 10))["literal"]
        (pack_best, pack_median), (loop_best, loop_median) = timings["pack"], timings["loop"]

    print(f"CPython {platform.python_version()}")
    print(f"nodes: {len(nodes)}, block: {len(block)} characters, "
          f"sections: {block.count(chr(10) + '### ')}")
    if stand_ins:
        print(f"stand-ins (Python) for: {', '.join(stand_ins)}")
    print(f"pack:                      best {pack_best * 1e6:8.1f} us   median {pack_median * 1e6:8.1f} us")
    print(f"loop node.get('kind'):     best {loop_best * 1e6:8.1f} us   median {loop_median * 1e6:8.1f} us")
    print(f"ratio pack / loop:         best {pack_best / loop_best:8.2f}      median {pack_median / loop_median:8.2f}")
    print(f"of which callees ({len(calls)} calls of expand_summary/read_symbol_content): "
          f"best {timings['callees'][0] * 1e6:.1f} us")
    print(f"pack, nodes in a list subclass (walked per file and section): "
          f"best {literal[0] * 1e6:.1f} us = {literal[0] / loop_best:.1f} loops")


if __name__ == "__main__":
    main()
