"""`tarnwick mcp`: the focused context as a Model Context Protocol server on
standard input and output, for assistants that call tools.

Tools:

- `project_context(query, token_budget=5000)`: the context block for a
  question, to read before answering it;
- `search_symbols(query, limit=8)`: the files that answer it, best first, with
  their matching functions, methods and classes and one-based line ranges.

Each call reads the index afresh, so re-indexing needs no restart.  A call
that cannot be answered (an empty query, a bad number, a missing or broken
index) gets an error result naming the fault; the server keeps running.  It
ends when the client closes the connection.  Needs the `mcp` package (the
`tarnwick[mcp]` extra).
"""

from __future__ import annotations

from importlib import metadata
from pathlib import Path

from mcp.server.mcpserver import MCPServer
from mcp.server.mcpserver.exceptions import ToolError

from . import context, vx

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


def _answer(work):
    """Run one tool's work, turning a missing or unusable index into a tool error."""
    try:
        return work()
    except (context.NoIndexError, context.DamagedIndexError, NotADirectoryError, vx.GraphError) as exc:
        raise ToolError(str(exc)) from None


def create_server(root: Path) -> MCPServer:
    """The server for the indexed project at `root`."""
    try:
        version = metadata.version("tarnwick")
    except metadata.PackageNotFoundError:  # running from a source tree
        version = ""
    server = MCPServer(
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
        return _answer(lambda: context.build(query, root, token_budget))

    @server.tool()
    def search_symbols(query: str, limit: int = 8) -> list[dict]:
        """The files that answer a question, best first, each with its matching
        functions, methods and classes: name, kind, one-based line range and score."""
        _checked_query(query)
        if not 1 <= limit <= MAX_LIMIT:
            raise ToolError(f"limit must be between 1 and {MAX_LIMIT}, not {limit}")

        return _answer(lambda: context.search(query, root, limit))

    return server


def serve(root: Path) -> None:
    """Serve the project at `root` on standard input/output until the client leaves."""
    create_server(root).run("stdio")
