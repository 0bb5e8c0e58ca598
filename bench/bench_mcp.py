"""Benchmark: MCP tool calls to a running `tarnwick mcp` server, warm.

Starts `tarnwick mcp --root ROOT` beside this interpreter, talks to it
through the SDK's own client over standard input and output (as an
assistant does), makes one call of each tool to warm it up, then times
`project_context` and `search_symbols` over the questions (`--repeat`
rounds): the wall time of each call as the client sees it, round trip
included.

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


def warm_call_times(root: str, queries=QUERIES, repeat: int = 1) -> dict:
    """{tool: [milliseconds per warm call]} of a server answering for `root`."""
    from mcp import Client, StdioServerParameters

    command = os.path.join(os.path.dirname(sys.executable), "tarnwick")

    async def talk() -> dict:
        # The client hands the server a bare environment unless told otherwise.
        params = StdioServerParameters(command=command, args=["mcp", "--root", root], env=dict(os.environ))
        times: dict = {name: [] for name in TOOLS}
        async with Client(params) as client:
            for name, arguments in TOOLS.items():
                await client.call_tool(name, arguments(queries[0]))  # the first call pays for the imports
            for _ in range(max(1, repeat)):
                for query in queries:
                    for name, arguments in TOOLS.items():
                        started = time.perf_counter()
                        result = await client.call_tool(name, arguments(query))
                        times[name].append((time.perf_counter() - started) * 1000)
                        if result.is_error:
                            raise SystemExit(f"{name}({query!r}) failed: {result.content[0].text}")
        return times

    return asyncio.run(talk())


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="an indexed project")
    parser.add_argument("--repeat", type=int, default=3, help="rounds over the questions")
    args = parser.parse_args(argv)
    for name, times in warm_call_times(os.path.abspath(args.root), repeat=args.repeat).items():
        print(
            f"{name}: median {statistics.median(times):.1f} ms, best {min(times):.1f} ms "
            f"({len(times)} calls, load average {os.getloadavg()[0]:.1f})"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
