"""The `tarnwick` command: `tarnwick index`, `context`, `search` and `mcp`.

    tarnwick index [ROOT]                                   write ROOT/.vestra/
    tarnwick context "QUERY" [--root ROOT] [--budget N] [--json]
    tarnwick search "QUERY" [--root ROOT] [-n N] [--json]
    tarnwick mcp [--root ROOT]                              MCP server on stdio

Without --root, the project is the nearest folder at or above the working
folder that holds `.vestra/`.  Usage errors exit with status 2; a project
without an index, or an index that cannot be read, with one line on standard
error and status 1.  Output follows `tarnwick.cli.console` (no failure on
unencodable text, a quiet end on a broken pipe).  Only `tarnwick index`
writes anything.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from .. import context
from ..graph import GraphError
from ..project import NoIndexError, project_root, resolve_root
from . import console, index
from .search_view import format_ranking

PROG = "tarnwick"


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


class _Version(argparse.Action):
    """`--version`, reading the installed version only when asked."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        from importlib import metadata

        try:
            version = metadata.version("tarnwick")
        except metadata.PackageNotFoundError:  # running from a source tree
            version = "(not installed)"
        print(f"{PROG} {version}")
        parser.exit()


def _root_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--root", metavar="ROOT", help="the indexed project (default: nearest folder at or above here with .vestra/)"
    )


def _query_command(commands, name: str, summary: str, description: str, json_help: str) -> argparse.ArgumentParser:
    parser = commands.add_parser(name, help=summary, description=description)
    parser.add_argument("query", metavar="QUERY")
    _root_option(parser)
    parser.add_argument("--json", action="store_true", help=json_help)
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Give an LLM coding assistant the right context for a question about a code base.",
        epilog='Start with `tarnwick index`, then `tarnwick context "your question"`.',
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    indexing = commands.add_parser("index", help="index a project (write ROOT/.vestra/)", description=index.DESCRIPTION)
    index.add_arguments(indexing)

    ctx = _query_command(
        commands,
        "context",
        "print the context block for a question",
        "Print the focused context block for QUERY, ready for an assistant's system prompt.",
        "the block with its files, symbols, tokens and timings",
    )
    ctx.add_argument("--budget", type=_positive, default=5000, metavar="N", help="token budget (default: 5000)")

    search = _query_command(
        commands,
        "search",
        "rank the files and symbols for a question",
        "List the files that answer QUERY, best first, with their matching symbols and line ranges.",
        "the ranking as JSON",
    )
    search.add_argument("-n", type=_positive, default=8, metavar="N", help="number of files (default: 8)")

    mcp = commands.add_parser(
        "mcp",
        help="serve the context over the Model Context Protocol (stdio)",
        description="Run a Model Context Protocol server on standard input and output "
        "(needs the optional extra: pip install 'tarnwick[mcp]').",
    )
    _root_option(mcp)
    return parser


def _fail(message: str, status: int = 1) -> int:
    console.error(PROG, message)
    return status


def _run_context(args: argparse.Namespace) -> int:
    result = context.build_result(args.query, args.root, token_budget=args.budget)
    for warning in result.warnings:
        console.warn(PROG, warning)
    if args.json:
        print(json.dumps(result.to_json(), ensure_ascii=False, indent=2))
    else:
        print(result.block)
    return 0


def _run_search(args: argparse.Namespace) -> int:
    root = resolve_root(args.root)
    ranked, warnings = context.search_result(args.query, root, limit=args.n)
    for warning in warnings:
        console.warn(PROG, warning)
    if args.json:
        found = {"query": args.query, "root": str(root), "files": ranked, "warnings": warnings}
        print(json.dumps(found, ensure_ascii=False, indent=2))
    elif ranked:
        print(format_ranking(ranked), end="")
    else:
        return _fail(f"no file matches {args.query!r}")
    return 0


def _serving_root(given: str | None) -> Path:
    """The project the server answers for: ROOT, else the one the project
    search order finds (`tarnwick.project`), else here.  It need not be
    indexed yet: each call then says how to index it."""
    if given is None:
        return project_root() or Path.cwd()
    try:
        path = Path(given).resolve()
    except (OSError, RuntimeError) as exc:  # a link loop, a removed working folder
        raise NotADirectoryError(f"cannot resolve {given}: {getattr(exc, 'strerror', None) or exc}") from None
    if not path.is_dir():
        raise NotADirectoryError(f"not a folder: {path}")
    return path


def _run_mcp(args: argparse.Namespace) -> int:
    root = _serving_root(args.root)
    try:
        from ..mcp_server import serve
    except ImportError as exc:
        if exc.name is None or not exc.name.startswith("mcp"):
            raise
        return _fail("the MCP server needs the `mcp` package: pip install 'tarnwick[mcp]'")
    serve(root, PROG)
    # A call still running for a client that left must not keep the process.
    console.leave(0)


def _run(argv: list[str] | None) -> int:
    args = build_parser().parse_args(argv)
    if args.command == "index":
        return index.run(args, prog=PROG)
    if args.command in ("context", "search"):
        if not args.query.strip():
            return _fail("the query is empty: ask a question about the code", 2)
        too_long = context.query_too_long(args.query)
        if too_long:
            return _fail(too_long, 2)
    run = {"context": _run_context, "search": _run_search, "mcp": _run_mcp}[args.command]
    try:
        return run(args)
    except NotADirectoryError as exc:
        return _fail(str(exc), 2)
    except (NoIndexError, context.DamagedIndexError, GraphError) as exc:
        return _fail(str(exc))


def main(argv: list[str] | None = None) -> int:
    return console.run(PROG, lambda: _run(argv))


if __name__ == "__main__":
    sys.exit(main())
