"""The `tarnwick` command: `tarnwick index`, `context`, `search`, `mcp` and `help`.

    tarnwick index [ROOT]                 write ROOT/.vestra/
    tarnwick context "QUERY" [options]    the context block for a question
    tarnwick search "QUERY" [options]     the files and symbols that answer it
    tarnwick mcp [--root ROOT]            MCP server on stdio
    tarnwick help [COMMAND]               help on a command

Without --root, the project is the one `tarnwick.project` finds:
TARNWICK_PROJECT, else the nearest folder at or above the working folder
that holds `.vestra/graph.json` or `.vestra/manifest.json`.  Exit
statuses are those of `tarnwick.cli.status`: usage errors 2 (with the
subcommand's own usage and a "did you mean" where one is close), no index,
an unusable index or no match 1.  The project's settings file
(`tarnwick.settings`) gives the defaults.  Output follows
`tarnwick.cli.console`.  Only `tarnwick index` writes anything, and
`context` and `search` when a few of the files they would show changed
since indexing (`tarnwick.cli.refresh`).  The usual `context` and `search`
lines are read without building the full parser (`tarnwick.cli.options`);
every other line goes to it (`tarnwick.cli.arguments`).
"""

from __future__ import annotations

import gc
import json
import os
import sys
from pathlib import Path

from ..errors import TarnwickError
from ..printable import no_match
from ..project import project_root, resolve_folder, resolve_root
from ..scope import Scope
from . import console
from .options import DEFAULT_BUDGET, PROG, usual_args
from .refresh import Refresher
from ..search_view import format_ranking
from ..settings import load as load_settings
from .status import ExitStatus, status_of

TYPE_CHECKING = False
if TYPE_CHECKING:  # the full parser is loaded only for the lines `usual_args` leaves to it
    from argparse import Namespace

    from .parsing import Parser


def _fail(message: str, status: int = ExitStatus.FAILED) -> int:
    console.error(PROG, message)
    return int(status)


def _settings(root: Path):
    settings = load_settings(root)
    for line in settings.warnings:
        console.warn(PROG, line)
    return settings


def _scope(args: Namespace, root: Path) -> Scope:
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


def _run_context(args: Namespace) -> int:
    from .. import context

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


def _run_search(args: Namespace) -> int:
    from .. import context

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


def _run_mcp(args: Namespace) -> int:
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
    from .parsing import suggestion

    commands = parser.commands  # type: ignore[attr-defined]
    if topic is None:
        parser.print_help()
        return ExitStatus.OK
    if topic not in commands:
        return _fail(f"no such command: {topic!r}{suggestion(topic, commands)}", ExitStatus.USAGE)
    commands[topic].print_help()
    return ExitStatus.OK


def _query_missing(args: Namespace, parser: Parser) -> None:
    """`context --diff "QUESTION"`: the value taken for REF is the question."""
    if args.command == "context" and args.query is None:
        if args.diff not in (None, "HEAD"):
            args.query, args.diff = args.diff, "HEAD"
        else:
            parser.commands["context"].error("the following arguments are required: QUERY")  # type: ignore[attr-defined]


def _parsed(argv: list[str]) -> Namespace | int:
    """``argv`` as the full parser reads it (a mistake ends the process
    with its usage error), or the exit status of a line it answered itself:
    an empty one, or `help`."""
    from .arguments import build_parser

    parser = build_parser()
    if not argv:
        parser.print_help()
        return ExitStatus.USAGE
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("the following arguments are required: COMMAND")
    if args.command == "help":
        return _run_help(parser, args.topic)
    _query_missing(args, parser)
    return args


def _run(argv: list[str] | None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = usual_args(argv)
    if args is None:
        args = _parsed(argv)
        if isinstance(args, int):
            return args
    if args.command == "index":
        from . import index

        return index.run(args, prog=PROG)
    if args.command in ("context", "search"):
        # Loaded for questions only: `tarnwick index` has no use for it.
        from .. import context

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


# Commands that answer one question and end.
_QUESTIONS = ("context", "search")


def command() -> None:
    """The installed command.  A question's process ends at once when it is
    answered, without the interpreter's teardown, and runs without the
    cyclic collector (what it makes lives until then) and with the memory
    its passes free kept for the next (`freed_memory`); the other commands
    end as usual, closing what they opened on the way out."""
    if len(sys.argv) < 2 or sys.argv[1] not in _QUESTIONS:
        sys.exit(main())
    gc.disable()
    from ..freed_memory import keep_freed_memory

    keep_freed_memory()
    try:
        status = main()
    except SystemExit as exc:  # the full parser's usage errors
        if not isinstance(exc.code, int):
            raise
        status = exc.code
    console.leave(status)


if __name__ == "__main__":
    command()
