"""Benchmark: MCP tool calls to a running `tarnwick mcp` server, warm.

Starts `tarnwick mcp --root ROOT` beside this interpreter, talks to it
through the SDK's own client over standard input and output (as an
assistant does), makes one call of each tool to warm it up, then times
`project_context` and `search_symbols` over the questions (`--repeat`
rounds, one tool at a time): the wall time of each call as the client sees
it, round trip included, and the server's CPU time per call (its process's
user and system time over the tool's calls, from /proc), which a loaded
machine inflates far less than wall time.

    .venv/bin/python bench/bench_mcp.py --root TREE [--repeat 3]

Needs the `mcp` package (the `tarnwick[mcp]` extra).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import time

from bench_scale import QUERIES

TOOLS = {
    "project_context": lambda q: {"query": q},
    "search_symbols": lambda q: {"query": q},
}
TICKS = os.sysconf("SC_CLK_TCK")


def _children() -> list:
    """The pids of this process's children (the server, once started)."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                found.append(int(name))
    return found


def _cpu_seconds(pids: list) -> float:
    total = 0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICKS


def warm_calls(root: str, queries=QUERIES, repeat: int = 1) -> dict:
    """{tool: ([milliseconds per warm call], server CPU milliseconds per call)}
    of a server answering for `root`."""
    from mcp import Client, StdioServerParameters

    command = os.path.join(os.path.dirname(sys.executable), "tarnwick")

    async def talk() -> dict:
        # The client hands the server a bare environment unless told otherwise.
        params = StdioServerParameters(command=command, args=["mcp", "--root", root], env=dict(os.environ))
        found: dict = {}
        async with Client(params) as client:
            for name, arguments in TOOLS.items():
                await client.call_tool(name, arguments(queries[0]))  # the first call pays for the imports
            server = _children()
            for name, arguments in TOOLS.items():
                times = []
                cpu = _cpu_seconds(server)
                for _ in range(max(1, repeat)):
                    for query in queries:
                        started = time.perf_counter()
                        result = await client.call_tool(name, arguments(query))
                        times.append((time.perf_counter() - started) * 1000)
                        if result.is_error:
                            raise SystemExit(f"{name}({query!r}) failed: {result.content[0].text}")
                found[name] = times, (_cpu_seconds(server) - cpu) * 1000 / len(times)
        return found

    return asyncio.run(talk())


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="an indexed project")
    parser.add_argument("--repeat", type=int, default=3, help="rounds over the questions")
    args = parser.parse_args(argv)
    for name, (times, cpu) in warm_calls(os.path.abspath(args.root), repeat=args.repeat).items():
        print(
            f"{name}: median {statistics.median(times):.1f} ms, best {min(times):.1f} ms, server CPU {cpu:.1f} ms "
            f"per call ({len(times)} calls, load average {os.getloadavg()[0]:.1f})"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
