"""`tarnwick mcp`: the focused context as a Model Context Protocol server on
standard input and output, for assistants that call tools.

Tools:

- `project_context(query, token_budget=5000)`: the context block for a
  question, to read before answering it;
- `search_symbols(query, limit=8)`: the files that answer it, best first, with
  their matching functions, methods and classes and one-based line ranges.

Each call reads the index afresh, so re-indexing needs no restart, and the
server starts before the first `tarnwick index` (each call then says how to
build one).  A call that cannot be answered (an empty query, a bad number, a
missing or broken index) gets an error result naming the fault; doubts about
the index an answer came from follow it as warning lines; a request the SDK
cannot read gets a JSON-RPC error (`mcp_wire`).  The server keeps running
until the client closes the connection, and ends within a moment of SIGTERM,
SIGINT or SIGHUP, abandoning a call in flight.  Needs the `mcp` package (the
`tarnwick[mcp]` extra).
"""

from __future__ import annotations

import os
import signal
from contextvars import ContextVar
from importlib import metadata
from pathlib import Path

import anyio
from mcp.server.mcpserver import MCPServer
from mcp.server.mcpserver.exceptions import ToolError
from mcp.server.stdio import stdio_server
from mcp_types import CallToolResult, TextContent

from . import context
from .graph import GraphError
from .mcp_wire import CheckedLines
from .project import NoIndexError

INSTRUCTIONS = (
    "Context for questions about the code base at {root}. Call project_context with the user's "
    "question before answering it: it returns the relevant files with their summaries, the code of "
    "the functions that answer it and where to read further. search_symbols lists the matching "
    "files and functions with line ranges."
)
MAX_BUDGET = 200_000
MAX_LIMIT = 50


def _checked_query(query: str) -> str:
    if not query.strip():
        raise ToolError("query is empty: ask a question about the code")
    too_long = context.query_too_long(query)
    if too_long:
        raise ToolError(too_long)
    return query


# The warnings of the tool call in progress (each call runs in a context of its own).
_call_warnings: ContextVar[list | None] = ContextVar("tarnwick_call_warnings", default=None)


def _answer(work):
    """Run one tool's work, turning a missing or unusable index into a tool
    error; `work` returns the answer and its warnings."""
    try:
        answer, warnings = work()
    except (NoIndexError, context.DamagedIndexError, NotADirectoryError, GraphError) as exc:
        raise ToolError(str(exc)) from None
    gathered = _call_warnings.get()
    if gathered is not None:
        gathered.extend(warnings)
    return answer


class _Server(MCPServer):
    """The SDK's server, with each tool's warnings put after its answer."""

    async def call_tool(self, name, arguments, context=None):
        warnings: list = []
        token = _call_warnings.set(warnings)
        try:
            result = await super().call_tool(name, arguments, context)
        finally:
            _call_warnings.reset(token)
        if warnings and isinstance(result, CallToolResult) and not result.is_error:
            result.content.extend(TextContent(type="text", text=f"warning: {warning}") for warning in warnings)
        return result


def create_server(root: Path) -> MCPServer:
    """The server for the project at `root` (indexed or not yet)."""
    try:
        version = metadata.version("tarnwick")
    except metadata.PackageNotFoundError:  # running from a source tree
        version = ""
    server = _Server(
        "tarnwick", instructions=INSTRUCTIONS.format(root=root), version=version, log_level="WARNING"
    )

    @server.tool()
    def project_context(query: str, token_budget: int = 5000) -> str:
        """The context block for a question about this code base: relevant files with
        summaries, the code of the functions that answer it, where to read further and
        how the files relate. Markdown, at most about `token_budget` tokens."""
        _checked_query(query)
        if not 1 <= token_budget <= MAX_BUDGET:
            raise ToolError(f"token_budget must be between 1 and {MAX_BUDGET}, not {token_budget}")
        def work():
            result = context.build_result(query, root, token_budget)
            return result.block, result.warnings

        return _answer(work)

    @server.tool()
    def search_symbols(query: str, limit: int = 8) -> list[dict]:
        """The files that answer a question, best first, each with its matching
        functions, methods and classes: name, kind, one-based line range and score."""
        _checked_query(query)
        if not 1 <= limit <= MAX_LIMIT:
            raise ToolError(f"limit must be between 1 and {MAX_LIMIT}, not {limit}")

        return _answer(lambda: context.search_result(query, root, limit))

    return server


def serve(root: Path, prog: str = "tarnwick") -> None:
    """Serve the project at `root` on standard input/output until the client
    leaves; a signal to end ends the process at once."""
    server = create_server(root)
    previous = {}
    for name in ("SIGTERM", "SIGINT", "SIGHUP"):
        if hasattr(signal, name):
            signum = getattr(signal, name)
            previous[signum] = signal.signal(signum, lambda signum, frame: _end_now(prog, signum))
    try:
        anyio.run(_serve_stdio, server)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _end_now(prog: str, signum: int) -> None:
    # A call in flight runs in a worker thread that nothing can stop, and the
    # interpreter would wait for it (and for the one reading standard input)
    # before exiting: end the process here instead.
    line = f"{prog}: {'interrupted' if signum == signal.SIGINT else 'terminated'}\n"
    try:
        os.write(2, line.encode())
    except OSError:  # nowhere to say it
        pass
    os._exit(128 + signum)


async def _serve_stdio(server: MCPServer) -> None:
    # Standard input is read here, line by line, so that every line the SDK
    # could not read still gets its answer (`mcp_wire`).
    source = open(0, encoding="utf-8", errors="replace", closefd=False)  # noqa: SIM115 (fd 0 stays open)
    lines = CheckedLines(anyio.wrap_file(source))
    async with stdio_server(stdin=lines) as (read_stream, write_stream):
        lines.answer_through(write_stream)
        # The SDK's own stdio runner reads standard input itself; this is its body.
        lowlevel = server._lowlevel_server
        await lowlevel.run(read_stream, write_stream, lowlevel.create_initialization_options())
