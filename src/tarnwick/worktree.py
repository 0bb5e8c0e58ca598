"""`--diff [REF]` and `--staged`: what changed in the project's git work
tree, read with the git command (optional: only these options need it).

It stands above both wings, as the commands and the MCP server do: it reads
the work tree with git and parses changed files with the indexer's
extractors, and hands the query side plain records (`tarnwick.changed`).

Changed files are found with `git diff` against REF (default HEAD; for
`--staged`, the files staged for the next commit); the changed lines are
those of the working tree, which is what Key Code shows.  Files git has not
seen yet count as added.  Each changed source file is parsed afresh, so its
functions have their current lines even before the next `tarnwick index`.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

from .changed import ChangedFile, Changes, ChangesError, GitFailed
from .datadir import read_regular, resolve_inside
from .indexer.summarize import summarize_source

__all__ = ["read_changes"]

EMPTY_TREE = "4b825dc642cb6eb9a060e54bf8d69288fbee4904"  # what a repository without commits is compared with
READ_LIMIT = 4 << 20
GIT_TIMEOUT = 60
_HUNK = re.compile(r"^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@", re.MULTILINE)
_STATUS = {"M": "modified", "A": "added", "D": "deleted", "T": "modified", "U": "modified"}


def _git(root: Path, *args: str, check: bool = True) -> subprocess.CompletedProcess:
    env = dict(os.environ, GIT_OPTIONAL_LOCKS="0", LC_ALL="C")
    try:
        done = subprocess.run(
            ["git", "--literal-pathspecs", "-c", "core.quotePath=false", "-C", str(root), *args],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            env=env,
            timeout=GIT_TIMEOUT,
        )
    except FileNotFoundError:
        raise ChangesError("--diff and --staged need the git command, which is not installed") from None
    except subprocess.TimeoutExpired:
        raise GitFailed(f"git {args[0]} took more than {GIT_TIMEOUT}s") from None
    if check and done.returncode != 0:
        reason = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise GitFailed(f"git {args[0]} failed: {reason[-1] if reason else done.returncode}")
    return done


def _revision(root: Path, ref: str) -> str:
    """The commit `ref` names, or EMPTY_TREE for HEAD of a repository
    without commits; ChangesError for a name git does not know."""
    if ref.startswith("-") or not ref.strip():
        raise ChangesError(f"not a revision: {ref!r}")
    found = _git(root, "rev-parse", "--verify", "--quiet", "--end-of-options", ref + "^{commit}", check=False)
    if found.returncode == 0:
        return found.stdout.decode().strip()
    if ref == "HEAD":
        return EMPTY_TREE
    if _git(root, "rev-parse", "--verify", "--quiet", "--end-of-options", ref, check=False).returncode == 0:
        raise ChangesError(f"not a commit: {ref!r} names a tree or a file")
    shallow = _git(root, "rev-parse", "--is-shallow-repository", check=False).stdout.decode().strip() == "true"
    hint = " (the repository is shallow: its history may not reach it; `git fetch --unshallow`)" if shallow else ""
    raise ChangesError(f"unknown revision {ref!r}{hint}")


def _numstat(root: Path, *args: str) -> list[tuple[str, str, bool]]:
    """(status, path, binary) of the files `git diff *args` names."""
    raw = _git(root, "diff", "--raw", "--numstat", "-z", "--no-renames", "--relative", *args, "--").stdout
    fields = raw.decode("utf-8", "surrogateescape").split("\0")
    found: dict[str, list] = {}
    i = 0
    while i < len(fields):
        item = fields[i]
        if item.startswith(":"):  # ":old new hash hash STATUS" then the path
            path = fields[i + 1]
            found.setdefault(path, [_STATUS.get(item.split()[-1][:1], "modified"), False])
            i += 2
        elif item.count("\t") == 2:  # "added\tdeleted\t" then the path
            added, _, _ = item.split("\t")
            path = fields[i + 1] if item.endswith("\t") else item.split("\t", 2)[2]
            if path in found:
                found[path][1] = added == "-"
            i += 2 if item.endswith("\t") else 1
        else:
            i += 1
    return [(status, path, binary) for path, (status, binary) in found.items()]


def _changed_lines(root: Path, revision: str, path: str) -> list[tuple[int, int]] | None:
    """The 0-based line ranges of the working tree's `path` that differ from
    `revision` (a deletion marks the line after it); None: the whole file."""
    out = _git(root, "diff", "-U0", "--no-color", "--no-ext-diff", "--no-renames", revision, "--", path).stdout
    text = out.decode("utf-8", "replace")
    if not text:
        return None
    ranges = []
    for match in _HUNK.finditer(text):
        start, count = int(match.group(1)), int(match.group(2) or 1)
        # "+c,0": lines were removed after line c, which is where it shows.
        first = max(start - 1, 0) if count else start
        ranges.append((first, first + max(count, 1) - 1))
    return ranges


def _touched(symbols: list, ranges: list[tuple[int, int]] | None) -> list[dict]:
    """The symbols holding a changed line, innermost first in source order
    (a class only where none of its methods is listed)."""
    hit = []
    for name, kind, start, end in symbols:
        if ranges is None or any(a <= end and start <= b for a, b in ranges):
            hit.append({"name": name, "symbol_kind": kind, "line_start": start, "line_end": end})
    owners = {s["name"].rsplit(".", 1)[0] for s in hit if "." in s["name"]}
    return [s for s in hit if s["name"] not in owners]


def _current(root: Path, path: str) -> tuple[dict | None, list, int] | str:
    """(record, symbols, lines) of the file as it is now, or the reason it is skipped."""
    full = root / path
    if resolve_inside(full, root) is None:
        return "outside the project"
    try:
        raw = read_regular(full, READ_LIMIT)
    except OSError as exc:
        return f"cannot read: {exc.strerror or exc}"
    if b"\0" in raw[:8192]:
        return "binary"
    lines = raw.count(b"\n") + (not raw.endswith(b"\n"))
    result = summarize_source(path, raw)
    if result is None:
        return None, [], lines
    return result.record, list(result.symbols), lines


def read_changes(root: Path, ref: str | None = None, staged: bool = False) -> Changes:
    """The changes of the work tree holding `root` that lie under `root`."""
    if shutil.which("git") is None:
        raise ChangesError("--diff and --staged need the git command, which is not installed")
    inside = _git(root, "rev-parse", "--is-inside-work-tree", check=False)
    if inside.returncode != 0 or inside.stdout.strip() != b"true":
        raise ChangesError(f"not in a git work tree: {root}")
    ref = ref or "HEAD"
    revision = _revision(root, ref)
    changes = Changes(against=ref, staged=staged)
    if staged:
        listed = _numstat(root, "--cached", revision)
    else:
        listed = _numstat(root, revision)
        others = _git(root, "ls-files", "--others", "--exclude-standard", "-z").stdout
        known = {path for _, path, _ in listed}
        for path in others.decode("utf-8", "surrogateescape").split("\0"):
            if path and path not in known:
                listed.append(("added", path, False))
    for status, path, binary in sorted(listed, key=lambda item: item[1]):
        if binary:
            changes.skipped.append((path, "binary"))
            continue
        if status == "deleted" or not (root / path).exists():
            changes.files.append(ChangedFile(path, "deleted"))
            continue
        current = _current(root, path)
        if isinstance(current, str):
            changes.skipped.append((path, current))
            continue
        record, symbols, lines = current
        ranges = None if status == "added" else _changed_lines(root, revision, path)
        if ranges is not None:
            lines = sum(b - a + 1 for a, b in ranges)
        current_lines = {name: (start, end) for name, _, start, end in symbols}
        changes.files.append(ChangedFile(path, status, lines, _touched(symbols, ranges), record, current_lines))
    return changes
