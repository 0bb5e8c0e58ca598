"""The project's own history: the messages of past commits that touched a
file, as words of that file's search document.

A change request is written in the words of behaviour ("redirect loses the
size option", "brotli not decompressed"); the commits that changed the same
code before were often described in those words.  When the project root is
a git work tree, `read_history` lists the commits reachable from HEAD (never
anything else: no other branch, no reflog) with the files each touched.

Bounded: at most MAX_COMMITS commits, and the `git log` process gets
TIME_LIMIT seconds (what it printed by then is kept).  Incremental: the
commits are kept in `.vestra/history-cache.json` with the HEAD they were
read at; a later run whose HEAD descends from it reads only the new ones,
and any other HEAD (an older commit checked out, a rewritten branch) reads
afresh.  Optional: no `.git`, no commit yet, a shallow clone, a missing or
hanging `git` all index as without history, with one note at most.

The repository and the cache are untrusted input: git runs with no pager,
no signature checks, no external diff or text conversion and no optional
locks, and a cache entry of the wrong shape makes the run read afresh.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
from dataclasses import dataclass, field

from ..datadir import read_regular
from ..search.content import add_counts, text_counts
from ..search.weights import DEFAULT_WEIGHTS

HISTORY_NAME = "history-cache.json"
FORMAT = 1
MAX_COMMITS = 3000
TIME_LIMIT = 3.0
# A commit that touches more files than this (a reformat, a rename of a
# folder, a dependency bump across packages) says little about any one.
MAX_FILES_PER_COMMIT = 40
# The most recent commits whose messages a file's document takes.
MAX_MESSAGES_PER_FILE = 40
# Of each message: the subject and the first paragraph of the body.
MESSAGE_CHARS = 400
CACHE_LIMIT = 64 << 20

_URL_RE = re.compile(r"\w+://\S+")
_GIT_OPTIONS = (
    "-c", "core.fsmonitor=false",
    "-c", "log.showSignature=false",
    "-c", "core.quotePath=false",
    "-c", "diff.renames=true",
)
# A commit record of `git log -z --name-status` in the format below: the
# record separator, "sha time", a line feed, the message, then NUL and the
# status entries separated by NULs.
_FORMAT = "--format=%x1e%H %ct%n%s%n%n%b"


@dataclass
class History:
    """Commits reachable from ``head``, newest first: [sha, time, message,
    [[status, path, (new path)], ...]]."""

    head: str = ""
    commits: list = field(default_factory=list)
    # Whether anything was read from git this run (the index must follow).
    changed: bool = False
    note: str | None = None

    def messages(self, paths) -> dict:
        """Per indexed path, the messages of the commits that touched it,
        newest first; a file renamed since is credited with what its old
        name went through."""
        wanted = set(paths)
        current: dict = {}  # a path as an older commit names it -> its name now
        out: dict = {}
        for _, _, message, changes in self.commits:
            touched = []
            for change in changes:
                if len(change) == 3:  # a rename or copy: [status, old, new]
                    status, old, new = change
                    now = current.get(new, new)
                    if status.startswith("R"):
                        current[old] = now
                    touched.append(now)
                else:
                    touched.append(current.get(change[1], change[1]))
            if len(touched) > MAX_FILES_PER_COMMIT or not message:
                continue
            for path in dict.fromkeys(touched):
                if path in wanted:
                    listed = out.setdefault(path, [])
                    if len(listed) < MAX_MESSAGES_PER_FILE:
                        listed.append(message)
        return out


def history_field(messages: list) -> dict:
    """The term weights of a file's commit messages, a field of its
    document."""
    return add_counts({}, text_counts("\n".join(messages), MAX_MESSAGES_PER_FILE * MESSAGE_CHARS), DEFAULT_WEIGHTS.history)


def _clean_message(subject: str, body: str) -> str:
    first = body.strip().split("\n\n", 1)[0] if body else ""
    text = f"{subject}\n{first}" if first else subject
    return _URL_RE.sub(" ", text)[:MESSAGE_CHARS].strip()


def parse_log(data: bytes, complete: bool) -> list:
    """Commits of `git log` output in `_FORMAT` (with ``-z --name-status``);
    the last record is dropped unless the output is ``complete``."""
    text = data.decode("utf-8", "surrogateescape")
    records = text.split("\x1e")[1:]
    if not complete and records:
        records.pop()
    commits = []
    for record in records:
        head, _, rest = record.partition("\0")
        first, _, message = head.partition("\n")
        sha, _, time = first.partition(" ")
        subject, _, body = message.partition("\n\n")
        fields = rest.split("\0")
        changes = []
        i = 0
        while i < len(fields):
            status = fields[i].strip()
            if not status:
                i += 1
                continue
            if status[0] in "RC" and i + 2 < len(fields):
                changes.append([status, fields[i + 1], fields[i + 2]])
                i += 3
            elif i + 1 < len(fields):
                changes.append([status, fields[i + 1]])
                i += 2
            else:
                break
        if len(sha) >= 40 and time.isdigit():
            commits.append([sha, int(time), _clean_message(subject.strip(), body), changes])
    return commits


def _environment() -> dict:
    # The repository is the root's own: no inherited GIT_DIR and the like.
    env = {key: value for key, value in os.environ.items() if not key.startswith("GIT_")}
    env.update(GIT_TERMINAL_PROMPT="0", GIT_OPTIONAL_LOCKS="0", GIT_PAGER="cat", LC_ALL="C")
    return env


def _git(root: str, args: list, timeout: float) -> tuple:
    """(return code, stdout bytes, complete) of ``git args`` in ``root``;
    raises OSError when git cannot run."""
    try:
        proc = subprocess.run(
            ["git", *_GIT_OPTIONS, *args],
            cwd=root,
            env=_environment(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        return None, exc.output or b"", False
    return proc.returncode, proc.stdout, True


def _load_cache(path: str) -> History | None:
    try:
        data = json.loads(read_regular(path, CACHE_LIMIT))
    except (OSError, ValueError, RecursionError):
        return None
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        return None
    head, commits = data.get("head"), data.get("commits")
    if not isinstance(head, str) or not isinstance(commits, list):
        return None
    for commit in commits:
        if not (
            isinstance(commit, list)
            and len(commit) == 4
            and isinstance(commit[0], str)
            and type(commit[1]) is int
            and isinstance(commit[2], str)
            and isinstance(commit[3], list)
            and all(
                isinstance(change, list) and len(change) in (2, 3) and all(isinstance(p, str) for p in change)
                for change in commit[3]
            )
        ):
            return None
    return History(head, commits)


def cache_text(history: History) -> bytes:
    return json.dumps(
        {"format": FORMAT, "head": history.head, "commits": history.commits}, ensure_ascii=False, separators=(",", ":")
    ).encode("utf-8", "surrogateescape")


def read_history(root: str, data_dir: str, use_cache: bool = True, time_limit: float = TIME_LIMIT) -> History:
    """The commits reachable from HEAD of the git work tree at ``root``
    (see the module's docs); an empty History when there is none to read,
    its ``note`` saying why when that may surprise."""
    if not os.path.exists(os.path.join(root, ".git")):
        return History()
    try:
        code, out, complete = _git(root, ["rev-parse", "--is-shallow-repository", "--verify", "-q", "HEAD^{commit}"], time_limit)
    except OSError:
        return History(note="history not read: git cannot be run")
    if not complete:
        return History(note=f"history not read: git did not answer within {time_limit:g} s")
    lines = out.decode("ascii", "replace").split()
    if code != 0 or len(lines) != 2:
        return History()  # no commit yet, or not a repository git can read
    shallow, head = lines
    if shallow == "true":
        return History(note="history not read: a shallow clone holds only part of it")
    cached = _load_cache(os.path.join(data_dir, HISTORY_NAME)) if use_cache else None
    if cached is not None and cached.head == head:
        return cached
    since = None
    if cached is not None and cached.head:
        try:
            code, _, done = _git(root, ["merge-base", "--is-ancestor", cached.head, head], time_limit)
        except OSError:
            code, done = 1, True
        if done and code == 0:
            since = cached.head
    args = ["log", "-z", "--no-merges", "--name-status", "--no-ext-diff", "--no-textconv", f"-n{MAX_COMMITS}", _FORMAT]
    args.append(f"{since}..{head}" if since else head)
    args.append("--")
    try:
        code, out, complete = _git(root, args, time_limit)
    except OSError:
        return History(note="history not read: git cannot be run")
    if complete and code != 0:
        return History(note="history not read: git log failed")
    commits = parse_log(out, complete)
    if since:
        seen = {commit[0] for commit in commits}
        commits.extend(commit for commit in cached.commits if commit[0] not in seen)
    # Newest first, the same order whether read at once or in steps.
    commits.sort(key=lambda commit: (-commit[1], commit[0]))
    history = History(head, commits[:MAX_COMMITS], changed=True)
    if not complete:
        history.note = f"history read in part: git log did not finish within {time_limit:g} s"
    return history
