"""`tarnwick mcp`: the focused context as a Model Context Protocol server on
standard input and output, for assistants that call tools.

Tools (read-only; every parameter described and bounded in the schema, an
unknown argument refused):

- `project_context(query, token_budget, diff, staged, paths, no_tests)`: the
  context block for a question, to read before answering it, with the work
  tree's changes first on request (as `tarnwick context --diff`);
- `search_symbols(query, limit, paths, no_tests)`: the files that answer it,
  best first, one line per matching function, method or class with its
  one-based line range (as `tarnwick search`).

Each answer is one text; its structured content has the shape of the
command's `--json`.  Secrets in quoted code are always replaced by markers.

Each call reads the index afresh, so re-indexing needs no restart; what it
read is kept while the index files are unchanged.  Files an answer would
show that changed since indexing are indexed again first when few
(`tarnwick.cli.refresh`), else named in a warning.  The
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

import gc
import inspect
import os
import signal
from contextvars import ContextVar
from importlib import metadata
from pathlib import Path
from typing import Annotated

# The SDK first: without it, the command names the missing package.
from mcp.server.mcpserver import MCPServer
from mcp.server.mcpserver.exceptions import ToolError
from mcp.server.stdio import stdio_server
from mcp_types import CallToolResult, TextContent, ToolAnnotations

import anyio
from pydantic import Field, ValidationError

from . import context
from .cli.refresh import Refresher
from .cli.status import ExitStatus
from .errors import TarnwickError
from .graph import release_search_indexes
from .scope import Scope
from .search_view import format_ranking
from .settings import load as load_settings
from .freed_memory import keep_freed_memory
from .mcp_pipe import PipeOutput
from .mcp_wire import CheckedLines
from .printable import no_match

INSTRUCTIONS = (
    "Context for questions about the code base at {root}. Call project_context with the user's "
    "question before answering it: it returns the relevant files with their summaries, the code of "
    "the functions that answer it and where to read further. search_symbols lists the matching "
    "files and functions with line ranges."
)
MAX_BUDGET = 200_000
MAX_LIMIT = 50
DEFAULT_BUDGET = 5000
READ_ONLY = ToolAnnotations(readOnlyHint=True, destructiveHint=False, idempotentHint=True, openWorldHint=False)

Query = Annotated[
    str,
    Field(
        description="The user's question about the code, in their words (a symbol name or an error message works too).",
        min_length=1,
        max_length=context.MAX_QUERY_CHARS,
    ),
]
Paths = Annotated[
    list[str],
    Field(
        description="Answer from files under these folders only (relative to the project root, or absolute "
        "inside it); empty: all."
    ),
]
NoTests = Annotated[bool, Field(description="Leave test files and test folders out.")]


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
    """Run one tool's work, turning a missing or unusable index (or bad
    settings, scope or REF) into a tool error; `work` returns the answer and
    its warnings."""
    try:
        answer, warnings = work()
    except (TarnwickError, NotADirectoryError) as exc:
        raise ToolError(str(exc)) from None
    finally:
        release_search_indexes()  # between calls, no snapshot keeps the indexer from emptying its log
    gathered = _call_warnings.get()
    if gathered is not None:
        gathered.extend(warnings)
    return answer


class _Server(MCPServer):
    """The SDK's server, with each tool's warnings put after its answer."""

    async def call_tool(self, name, arguments, context=None):
        tool = self._tool_manager.get_tool(name)
        if tool is not None and isinstance(arguments, dict):
            known = tool.parameters.get("properties", {})
            unknown = [key for key in arguments if key not in known]
            if unknown:
                raise ToolError(_unknown_arguments(name, unknown, known))
        warnings: list = []
        token = _call_warnings.set(warnings)
        try:
            result = await super().call_tool(name, arguments, context)
        except ToolError as exc:
            if isinstance(exc.__cause__, ValidationError):
                raise ToolError(f"{name}: {_invalid(exc.__cause__)}") from None
            raise
        finally:
            _call_warnings.reset(token)
        if warnings and isinstance(result, CallToolResult) and not result.is_error:
            result.content.extend(TextContent(type="text", text=f"warning: {warning}") for warning in warnings)
        return result


def _invalid(error: ValidationError) -> str:
    """A validation error as one line: "token_budget: input should be ... (got 0)"."""
    parts = []
    for item in error.errors():
        where = ".".join(str(part) for part in item.get("loc", ())) or "arguments"
        message = str(item.get("msg", "invalid"))
        got = item.get("input")
        shown = repr(got) if not isinstance(got, (dict, list)) else type(got).__name__
        parts.append(f"{where}: {message[:1].lower()}{message[1:]} (got {shown[:80]})")
    return "; ".join(parts)


def _unknown_arguments(name: str, unknown: list, known) -> str:
    import difflib

    first = unknown[0]
    close = difflib.get_close_matches(str(first), list(known), n=1)
    hint = f"; did you mean {close[0]!r}?" if close else ""
    return f"{name} takes no argument {first!r}{hint} (it takes: {', '.join(known)})"


def _text_result(text: str, structured: dict) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=text)], structured_content=structured)


def _scope(root: Path, paths: list, no_tests: bool) -> Scope:
    return Scope.of(paths, no_tests, root=root, option="paths:")


def _settled_budget(root: Path, given: int | None) -> int:
    if given is not None:
        return given
    return load_settings(root).budget or DEFAULT_BUDGET


def create_server(root: Path) -> MCPServer:
    """The server for the project at `root` (indexed or not yet).

    The tools are coroutines that never await: every call runs on the event
    loop's own thread, one at a time.  What a call keeps for the next (the
    open search index, the records and lines it decoded) is kept per thread,
    and the SDK's worker threads end after ten idle seconds, so calls made
    minutes apart each began cold on a new thread; nor does a call pay two
    thread hops.  Requests that arrive meanwhile wait in the pipe, and a
    signal still ends the process at once."""
    try:
        version = metadata.version("tarnwick")
    except metadata.PackageNotFoundError:  # running from a source tree
        version = ""
    server = _Server(
        "tarnwick", instructions=INSTRUCTIONS.format(root=root), version=version, log_level="WARNING"
    )

    @server.tool(
        title="Project context for a question",
        description=inspect.cleandoc(
            """
            The context block for a question about this code base, to read before answering it: the
            relevant files with their summaries, the code of the functions that answer it, where to
            read further and how the files relate (markdown within token_budget tokens). With diff or
            staged, the files and functions changed in the git work tree come first, as their current
            code: use it for questions about the code being edited.
            """
        ),
        annotations=READ_ONLY,
    )
    async def project_context(
        query: Query,
        token_budget: Annotated[
            int | None,
            Field(
                description="Tokens the block may use (default: the project's setting, else 5000); "
                "from 500 up the block always fits.",
                ge=1,
                le=MAX_BUDGET,
            ),
        ] = None,
        diff: Annotated[
            str | None,
            Field(
                description='Put what changed in the work tree against this git revision first ("HEAD": '
                "uncommitted changes).",
                max_length=256,
            ),
        ] = None,
        staged: Annotated[bool, Field(description="Put the changes staged for the next commit first.")] = False,
        paths: Paths = [],  # noqa: B006 (pydantic copies defaults)
        no_tests: NoTests = False,
    ) -> CallToolResult:
        _checked_query(query)
        if token_budget is not None and not 1 <= token_budget <= MAX_BUDGET:
            raise ToolError(f"token_budget must be between 1 and {MAX_BUDGET}, not {token_budget}")
        if diff is not None and staged:
            raise ToolError("diff and staged cannot be used together")

        def work():
            changes = None
            if diff is not None or staged:
                from .worktree import read_changes

                changes = read_changes(root, diff or None, staged)
            result = context.build_result(
                query,
                root,
                _settled_budget(root, token_budget),
                scope=_scope(root, paths, no_tests),
                changes=changes,
                refresh=Refresher(root),
            )
            return _text_result(result.text, result.to_json()), result.warnings

        return _answer(work)

    @server.tool(
        title="Files and symbols for a question",
        description=inspect.cleandoc(
            """
            The files that answer a question, best first: one line per matching function, method or
            class, `path:first-last  kind  name  score` (one-based lines), or `path  file  -  score`
            for a file without one. Use it to find where to read; project_context gives the code.
            """
        ),
        annotations=READ_ONLY,
    )
    async def search_symbols(
        query: Query,
        limit: Annotated[int, Field(description="How many files to list.", ge=1, le=MAX_LIMIT)] = 8,
        paths: Paths = [],  # noqa: B006 (pydantic copies defaults)
        no_tests: NoTests = False,
    ) -> CallToolResult:
        _checked_query(query)
        if not 1 <= limit <= MAX_LIMIT:
            raise ToolError(f"limit must be between 1 and {MAX_LIMIT}, not {limit}")

        def work():
            ranked, warnings = context.search_result(query, root, limit, _scope(root, paths, no_tests), Refresher(root))
            text = format_ranking(ranked) or no_match(query)
            structured = {"query": query, "root": str(root), "files": ranked, "warnings": warnings}
            return _text_result(text, structured), warnings

        return _answer(work)

    for tool in server._tool_manager.list_tools():
        # Said in the schema too, so a client can check a call before sending it.
        tool.parameters["additionalProperties"] = False

    return server


def serve(root: Path, prog: str = "tarnwick") -> None:
    """Serve the project at `root` on standard input/output until the client
    leaves; a signal to end ends the process at once."""
    server = create_server(root)
    keep_freed_memory()
    # The SDK's modules and schemas are some 100,000 objects that live as long as the
    # server: left to the collector, each of its full passes walks them all (tens of ms
    # inside one call).  Set apart once, they are never walked again.
    gc.collect()
    gc.freeze()
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
    os._exit(ExitStatus.SIGNALLED + signum)


async def _serve_stdio(server: MCPServer) -> None:
    # Standard input is read here, line by line, so that every line the SDK
    # could not read still gets its answer (`mcp_wire`).
    source = open(0, encoding="utf-8", errors="replace", closefd=False)  # noqa: SIM115 (fd 0 stays open)
    lines = CheckedLines(source)
    output = await PipeOutput.open()
    try:
        async with stdio_server(stdin=lines, stdout=output) as (read_stream, write_stream):
            lines.answer_through(write_stream)
            # The SDK's own stdio runner reads standard input itself; this is its body.
            lowlevel = server._lowlevel_server
            await lowlevel.run(read_stream, write_stream, lowlevel.create_initialization_options())
    finally:
        if output is not None:
            output.restore()
