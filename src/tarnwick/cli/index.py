"""`tarnwick-index [ROOT]`: write the `.vestra` summary store and code graph
of a Python, TypeScript, JavaScript, Go, Java or Rust project.

The work is done by the `tarnwick.indexer` package, imported only when a
run starts: `tarnwick context` builds this command's parser too, and must
not pay for loading the indexer.
"""

from __future__ import annotations

import argparse
import json
import os
import sys

from . import console
from .status import ExitStatus, status_of
from ..project import find_root
from ..settings import DEFAULT_MAX_FILE_BYTES, SettingsError
from ..settings import load as load_settings

PROG = "tarnwick-index"

__all__ = ["add_arguments", "main", "run", "stats_json"]


DESCRIPTION = (
    "Index a Python, TypeScript, JavaScript, Go, Java or Rust project: write ROOT/.vestra/ "
    "(the summary store structured_summaries.json, the search index "
    "search.db with its write-ahead log search.db-wal and search.db-shm, manifest.json, digests.json and identities.json, which tie them together, index-cache.db, which "
    "lets the next run re-read only changed files, in a git work tree history-cache.json, the commit "
    "messages already read, a .gitignore that keeps the folder out of version control, and with "
    "--graph-file the code graph as one file, graph.json). "
    "Settings come from ROOT/.tarnwick.toml or "
    "[tool.tarnwick] in ROOT/pyproject.toml; the options below add to them or replace them."
)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The indexing options, shared by `tarnwick-index` and `tarnwick index`."""
    parser.add_argument(
        "root",
        nargs="?",
        default=None,
        help="project root (default: the indexed project this folder is in, else this folder)",
    )
    parser.add_argument("-j", "--jobs", type=int, default=None, help="worker processes (default: one per core; 1: none)")
    parser.add_argument(
        "--max-size",
        type=int,
        default=None,
        metavar="BYTES",
        help=f"skip source files larger than this (default: max-file-size of the settings, else {DEFAULT_MAX_FILE_BYTES})",
    )
    parser.add_argument(
        "--exclude",
        action="append",
        default=[],
        metavar="GLOB",
        help="leave out paths matching this .gitignore-style pattern, relative to ROOT "
        "(repeatable; added to the settings' exclude)",
    )
    parser.add_argument("--full", action="store_true", help="re-parse every file instead of reusing unchanged ones")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--progress", dest="progress", action="store_true", default=None, help="always show progress")
    shown.add_argument("-q", "--quiet", dest="progress", action="store_false", help="no progress, no per-file warnings")
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="also list the skipped and the vendored or generated files"
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the counts and the files left out (skipped with their reasons, unparsable, vendored or "
        "generated) as JSON",
    )
    graph = parser.add_mutually_exclusive_group()
    graph.add_argument(
        "--graph-file",
        dest="graph_file",
        action="store_true",
        default=None,
        help="also write the whole code graph as one file, .vestra/graph.json, for other tools to read "
        "(the search index holds it in parts either way; kept on by later runs until --no-graph-file)",
    )
    graph.add_argument(
        "--no-graph-file", dest="graph_file", action="store_false", help="write no graph.json, and remove one written before"
    )
    parser.add_argument(
        "--watch",
        action="store_true",
        help="after indexing, keep watching the files and index again when they change (Ctrl-C ends)",
    )


def _enclosing_project() -> str | None:
    """The indexed project that the working folder lies in, when it lies in
    a subfolder of one; None when the working folder is itself the project
    or in none.  A project is indexed when its `.vestra/` holds a graph file
    or a manifest that names a run, as queries find it: a `.vestra/` left by
    a first run stopped early (or made by hand) above a working folder must
    not make every run below it index that whole folder."""
    try:
        here = os.getcwd()
    except OSError:  # the working folder was removed
        return None
    found = find_root(here)
    return None if found is None or str(found) == here else str(found)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION)
    add_arguments(parser)
    return parser


def run(args: argparse.Namespace, prog: str = PROG) -> int:
    """Index as the parsed `args` say; returns the exit status.  Messages go
    through `tarnwick.cli.console`, so they can never fail the run."""
    if args.jobs is not None and args.jobs < 1:
        console.say(f"{prog}: --jobs must be at least 1")
        return ExitStatus.USAGE
    if args.max_size is not None and args.max_size < 1:
        console.say(f"{prog}: --max-size must be at least 1")
        return ExitStatus.USAGE
    root = args.root
    if root is None:
        root = _enclosing_project()
        if root is None:
            root = "."
        elif args.progress is not False:
            console.say(f"{prog}: indexing the project at {console.one_line(root)}")
    status = _index_once(args, root, prog, args.full)
    if not args.watch or status == ExitStatus.USAGE:
        return status
    from .watch import watch

    console.say(f"{prog}: watching {console.one_line(os.path.abspath(root))} for changes; Ctrl-C ends")
    watch(root, lambda: _index_once(args, root, prog, full=False))


def _index_once(args: argparse.Namespace, root: str, prog: str, full: bool) -> int:
    """One indexing run of `root` as `args` say (the settings read afresh);
    its exit status."""
    try:
        settings = load_settings(root)
    except SettingsError as exc:
        console.say(f"{prog}: error: {console.one_line(str(exc))}")
        return status_of(exc)
    max_size = args.max_size or settings.max_file_size or DEFAULT_MAX_FILE_BYTES

    def waiting() -> None:
        console.say(f"{prog}: another indexing run of this project is at work; waiting for it to end")

    from ..indexer import index_project

    try:
        stats = index_project(
            root,
            on_wait=waiting,
            jobs=args.jobs,
            max_file_bytes=max_size,
            progress=False if args.json else args.progress,
            excludes=[*settings.exclude, *args.exclude],
            languages=settings.languages,
            full=full,
            graph_file=args.graph_file,
        )
    except NotADirectoryError as exc:
        console.say(f"{prog}: {console.one_line(str(exc))}")
        return status_of(exc)
    except OSError as exc:
        console.say(f"{prog}: cannot write the index: {console.one_line(str(exc))}")
        return ExitStatus.FAILED
    stats.warnings[:0] = settings.warnings  # with the run's own, in --json too
    for line in stats.warnings:
        console.say(f"{prog}: warning: {console.one_line(line)}")
    if args.json:
        print(json.dumps(stats_json(stats), ensure_ascii=False, indent=2), flush=True)
        return ExitStatus.OK
    if args.progress is not False:
        for path, message in stats.unparsable:
            console.say(f"{prog}: cannot parse {console.one_line(path)}: {console.one_line(message)}")
        for path in stats.partial:
            console.say(f"{prog}: parsed in part (syntax errors skipped): {console.one_line(path)}")
    if args.verbose:
        for path, reason in stats.skipped:
            console.say(f"{prog}: skipped {console.one_line(path)}: {console.one_line(reason)}")
        for path in sorted(stats.vendored):
            console.say(f"{prog}: left out {console.one_line(path)}: vendored or generated")
    print(stats.summary_line(), flush=True)
    return ExitStatus.OK


def stats_json(stats) -> dict:
    """`index --json`: the summary line's counts, and each file left out with its reason."""
    counts = {
        "files": stats.files,
        "unchanged": stats.unchanged,
        "functions": stats.functions,
        "methods": stats.methods,
        "classes": stats.classes,
        "edges": stats.edges,
        "skipped": len(stats.skipped),
        "unparsable": len(stats.unparsable),
        "partly_parsed": len(stats.partial),
        "vendored_or_generated": len(stats.vendored),
        "ignored": stats.ignored,
    }
    counts["in_languages_not_read"] = sum(stats.unsupported.values())
    return {
        "root": stats.root,
        "counts": counts,
        "languages_not_read": dict(stats.unsupported),
        "skipped": [{"path": p, "reason": r} for p, r in stats.skipped],
        "unparsable": [{"path": p, "reason": r} for p, r in stats.unparsable],
        "partly_parsed": list(stats.partial),
        "vendored_or_generated": sorted(stats.vendored),
        "warnings": list(stats.warnings),
        "seconds": round(stats.seconds, 3),
    }


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    return console.run(PROG, lambda: run(args))


if __name__ == "__main__":
    sys.exit(main())
