"""The `tarnwick` command: `tarnwick index`, `context`, `search`, `mcp` and `help`.

    tarnwick index [ROOT]                 write ROOT/.vestra/
    tarnwick context "QUERY" [options]    the context block for a question
    tarnwick search "QUERY" [options]     the files and symbols that answer it
    tarnwick mcp [--root ROOT]            MCP server on stdio
    tarnwick help [COMMAND]               help on a command

Without --root, the project is the one `tarnwick.project` finds:
TARNWICK_PROJECT, else the nearest folder at or above the working folder
that holds `.vestra/graph.json`.  Exit statuses are those of
`tarnwick.cli.status`: usage errors 2 (with the subcommand's own usage and
a "did you mean" where one is close), no index, an unusable index or no
match 1.  The project's settings file (`tarnwick.settings`) gives the
defaults.  Output follows `tarnwick.cli.console`.  Only `tarnwick index`
writes anything, and `context` and `search` when a few of the files they
would show changed since indexing (`tarnwick.cli.refresh`).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

from .. import context
from ..errors import TarnwickError
from ..printable import no_match
from ..project import project_root, resolve_folder, resolve_root
from ..scope import Scope
from . import console, index
from .refresh import Refresher
from .parsing import CommandParser, Parser, suggestion
from ..search_view import format_ranking
from ..settings import MAX_BUDGET
from ..settings import load as load_settings
from .status import ExitStatus, status_of

PROG = "tarnwick"
DEFAULT_BUDGET = 5000
MIN_FIT_BUDGET = 500


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {value}")
    return value


def _budget(text: str) -> int:
    value = _positive(text)
    if value > MAX_BUDGET:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_BUDGET}: {value}")
    return value


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tarnwick")
    except metadata.PackageNotFoundError:  # running from a source tree
        return "(not installed)"


class _Version(argparse.Action):
    """`-V`/`--version`, reading the installed version only when asked."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{PROG} {_version()}")
        parser.exit()


def _root_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--root", metavar="ROOT", help="the indexed project (default: $TARNWICK_PROJECT, else the nearest folder at or above here with .vestra/graph.json)"
    )


def _scope_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--path",
        action="append",
        default=[],
        metavar="DIR",
        dest="paths",
        help="answer from files under DIR only (repeatable; relative to here, or to the project root)",
    )
    parser.add_argument("--no-tests", action="store_true", help="leave test files and test folders out")


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        description="Give an LLM coding assistant the right context for a question about a code base.",
        epilog='Start with `tarnwick index`, then `tarnwick context "your question"`. '
        "`tarnwick help COMMAND` shows a command's options.",
    )
    parser.add_argument("-V", "--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=CommandParser)

    indexing = commands.add_parser("index", help="index a project (write ROOT/.vestra/)", description=index.DESCRIPTION)
    index.add_arguments(indexing)

    ctx = commands.add_parser(
        "context",
        help="print the context block for a question",
        description="Print the focused context block for QUERY, ready for an assistant's system prompt. "
        "Secrets in the code it quotes are replaced by markers such as [REDACTED aws-access-key].",
    )
    ctx.add_argument("query", metavar="QUERY", nargs="?", help="the question about the code (required)")
    _root_option(ctx)
    ctx.add_argument(
        "--budget",
        type=_budget,
        default=None,
        metavar="N",
        help=f"tokens the block may use (default: budget of the settings, else {DEFAULT_BUDGET}); "
        f"held from {MIN_FIT_BUDGET} up by showing fewer files, shorter summaries and fewer excerpts",
    )
    changed = ctx.add_mutually_exclusive_group()
    changed.add_argument(
        "--diff",
        nargs="?",
        const="HEAD",
        metavar="REF",
        help="put the files and functions changed in the git work tree against REF (default: HEAD) first",
    )
    changed.add_argument("--staged", action="store_true", help="put the files staged for the next commit first")
    _scope_options(ctx)
    ctx.add_argument("--no-redact", action="store_true", help="leave secrets in the quoted code as they are")
    ctx.add_argument(
        "--json",
        action="store_true",
        help="the block with its files, symbols, token counts per section, timings and changes as JSON",
    )

    search = commands.add_parser(
        "search",
        help="rank the files and symbols for a question",
        description="List the files that answer QUERY, best first: one line per matching symbol, "
        "`path:first-last  kind  name  score`, or `path  file  -  score` for a file without one.",
    )
    search.add_argument("query", metavar="QUERY", help="the question about the code")
    _root_option(search)
    search.add_argument("-n", type=_positive, default=8, metavar="N", help="number of files (default: 8)")
    _scope_options(search)
    search.add_argument("--json", action="store_true", help="the ranking as JSON")

    mcp = commands.add_parser(
        "mcp",
        help="serve the context over the Model Context Protocol (stdio)",
        description="Run a Model Context Protocol server on standard input and output "
        "(needs the optional extra: pip install 'tarnwick[mcp]').",
    )
    _root_option(mcp)

    helping = commands.add_parser("help", help="show the help of tarnwick or of a command", description="Show help.")
    helping.add_argument("topic", metavar="COMMAND", nargs="?")
    parser.commands = commands.choices  # type: ignore[attr-defined]
    return parser


def _fail(message: str, status: int = ExitStatus.FAILED) -> int:
    console.error(PROG, message)
    return int(status)


def _settings(root: Path):
    settings = load_settings(root)
    for line in settings.warnings:
        console.warn(PROG, line)
    return settings


def _scope(args: argparse.Namespace, root: Path) -> Scope:
    """The scope of `--path` and `--no-tests`.  A DIR is taken relative to
    the working folder when that lies in the project, as a shell user means
    it, else relative to the project root."""
    here = os.path.realpath(os.getcwd())
    base = os.path.realpath(root)
    inside = here == base or here.startswith(base.rstrip(os.sep) + os.sep)
    paths = [
        os.path.relpath(os.path.join(here, given), base) if inside or os.path.isabs(given) else given
        for given in args.paths
    ]
    return Scope.of(paths, args.no_tests)


def _run_context(args: argparse.Namespace) -> int:
    root = resolve_root(args.root)
    settings = load_settings(root)
    budget = args.budget or settings.budget or DEFAULT_BUDGET
    changes = None
    if args.diff is not None or args.staged:
        from ..worktree import read_changes

        changes = read_changes(root, args.diff, args.staged)
    result = context.build_result(
        args.query,
        root,
        token_budget=budget,
        scope=_scope(args, root),
        changes=changes,
        redact=not args.no_redact,
        refresh=Refresher(root),
    )
    result.warnings[:0] = settings.warnings  # with the answer's own, in --json too
    for warning in result.warnings:
        console.warn(PROG, warning)
    if args.json:
        print(json.dumps(result.to_json(), ensure_ascii=False, indent=2))
    else:
        print(result.text)
    if not result.files:
        return _fail(no_match(args.query), ExitStatus.NO_MATCH)
    return ExitStatus.OK


def _run_search(args: argparse.Namespace) -> int:
    root = resolve_root(args.root)
    settings = load_settings(root)
    ranked, warnings = context.search_result(
        args.query, root, limit=args.n, scope=_scope(args, root), refresh=Refresher(root)
    )
    warnings = [*settings.warnings, *warnings]
    for warning in warnings:
        console.warn(PROG, warning)
    if args.json:
        found = {"query": args.query, "root": str(root), "files": ranked, "warnings": warnings}
        print(json.dumps(found, ensure_ascii=False, indent=2))
    else:
        print(format_ranking(ranked), end="")
    if not ranked:
        return _fail(no_match(args.query), ExitStatus.NO_MATCH)
    return ExitStatus.OK


def _serving_root(given: str | None) -> Path:
    """The project the server answers for: ROOT, else the one the project
    search order finds (`tarnwick.project`), else here.  It need not be
    indexed yet: each call then says how to index it."""
    if given is None:
        return project_root() or Path.cwd()
    return resolve_folder(given)


_SDK_MODULES = {"mcp", "mcp_types", "anyio", "pydantic"}


def _run_mcp(args: argparse.Namespace) -> int:
    root = _serving_root(args.root)
    _settings(root)
    try:
        from ..mcp_server import serve
    except ImportError as exc:
        # anyio and pydantic come with the SDK: missing, it was not installed whole.
        if exc.name is None or exc.name.split(".")[0] not in _SDK_MODULES:
            raise
        return _fail("the MCP server needs the `mcp` package: pip install 'tarnwick[mcp]'")
    serve(root, PROG)
    # A call still running for a client that left must not keep the process.
    console.leave(0)


def _run_help(parser: Parser, topic: str | None) -> int:
    commands = parser.commands  # type: ignore[attr-defined]
    if topic is None:
        parser.print_help()
        return ExitStatus.OK
    if topic not in commands:
        return _fail(f"no such command: {topic!r}{suggestion(topic, commands)}", ExitStatus.USAGE)
    commands[topic].print_help()
    return ExitStatus.OK


def _query_missing(args: argparse.Namespace, parser: Parser) -> None:
    """`context --diff "QUESTION"`: the value taken for REF is the question."""
    if args.command == "context" and args.query is None:
        if args.diff not in (None, "HEAD"):
            args.query, args.diff = args.diff, "HEAD"
        else:
            parser.commands["context"].error("the following arguments are required: QUERY")  # type: ignore[attr-defined]


def _run(argv: list[str] | None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = build_parser()
    if not argv:
        parser.print_help()
        return ExitStatus.USAGE
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("the following arguments are required: COMMAND")
    if args.command == "help":
        return _run_help(parser, args.topic)
    if args.command == "index":
        return index.run(args, prog=PROG)
    _query_missing(args, parser)
    if args.command in ("context", "search"):
        if not args.query.strip():
            return _fail("the query is empty: ask a question about the code", ExitStatus.USAGE)
        too_long = context.query_too_long(args.query)
        if too_long:
            return _fail(too_long, ExitStatus.USAGE)
    run = {"context": _run_context, "search": _run_search, "mcp": _run_mcp}[args.command]
    try:
        return run(args)
    except (TarnwickError, NotADirectoryError) as exc:
        return _fail(str(exc), status_of(exc))


def main(argv: list[str] | None = None) -> int:
    return console.run(PROG, lambda: _run(argv))


if __name__ == "__main__":
    sys.exit(main())
