"""The full parser of the `tarnwick` command: every command, its options
and help texts.  Built only for a line `options.usual_args` does not read
(argparse and what it loads cost more than a question's ranking)."""

from __future__ import annotations

import argparse

from . import index
from .options import DEFAULT_BUDGET, DEFAULT_FILES, MIN_FIT_BUDGET, PROG, budget, positive
from .parsing import CommandParser, Parser

__all__ = ["build_parser"]


def _checked(read):
    """``read`` (a check of `options`) as an argparse type, whose refusal is the parser's error."""

    def check(text: str) -> int:
        try:
            return read(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return check


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
        "--root", metavar="ROOT", help="the indexed project (default: $TARNWICK_PROJECT, else the nearest folder at or above here with .vestra/graph.json or .vestra/manifest.json)"
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
        type=_checked(budget),
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
    search.add_argument("-n", type=_checked(positive), default=DEFAULT_FILES, metavar="N", help="number of files (default: 8)")
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
