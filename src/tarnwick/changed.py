"""What changed in the working tree, as the focused pipeline takes it.

The command reads the changes (`tarnwick.worktree`: the git command, and
each changed file parsed afresh so that its functions have their current
lines); the pipeline puts the changed files first and, in each, the changed
functions first, so Key Code shows their current code.  Deleted files are
named, not shown.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from .errors import ChangesError, GitFailed

__all__ = ["ChangedFile", "Changes", "ChangesError", "GitFailed", "MAX_CHANGED_FILES", "put_first"]


# Changed files put ahead of the question's own; the rest of the block is ranked by the question.
MAX_CHANGED_FILES = 5
MAX_NAMED = 10  # files named on the line above the block


@dataclass
class ChangedFile:
    path: str  # relative to the project root, "/" separators
    status: str  # "modified", "added", "deleted", "renamed"
    lines_changed: int = 0
    # Symbols whose current lines hold a change: {"name", "symbol_kind", "line_start", "line_end"}, 0-based.
    symbols: list[dict] = field(default_factory=list)
    # The file's summary record as it is now (None: use the index's).
    record: dict | None = None
    # Every symbol's current (line_start, line_end), by name, where `record` is set.
    current_lines: dict[str, tuple[int, int]] = field(default_factory=dict)

    def to_json(self) -> dict:
        return {
            "path": self.path,
            "status": self.status,
            "lines_changed": self.lines_changed,
            "symbols": [s["name"] for s in self.symbols],
        }


@dataclass
class Changes:
    against: str  # "HEAD", a ref, or "the index" for staged changes
    staged: bool = False
    files: list[ChangedFile] = field(default_factory=list)
    # (path, reason) of changed files left out: binary, unreadable, ...
    skipped: list[tuple[str, str]] = field(default_factory=list)

    @property
    def shown(self) -> list[ChangedFile]:
        return [f for f in self.files if f.status != "deleted"]

    def line(self) -> str:
        """The one line printed above the block."""
        what = "staged changes" if self.staged else f"changes against {self.against}"
        if not self.files and not self.skipped:
            return f"No {what}: the block answers the question alone."
        names = []
        for f in self.files[:MAX_NAMED]:
            detail = f.status
            if f.symbols:
                detail += ": " + ", ".join(s["name"] for s in f.symbols[:3]) + (", ..." if len(f.symbols) > 3 else "")
            names.append(f"{f.path} ({detail})")
        more = len(self.files) - MAX_NAMED
        if more > 0:
            names.append(f"and {more} more")
        if self.skipped:
            names.append(f"{len(self.skipped)} skipped ({', '.join(sorted({r for _, r in self.skipped}))})")
        return f"{what[0].upper()}{what[1:]}: " + "; ".join(names)

    def to_json(self) -> dict:
        return {
            "against": self.against,
            "staged": self.staged,
            "files": [f.to_json() for f in self.files],
            "skipped": [{"path": p, "reason": r} for p, r in self.skipped],
        }


def put_first(files: list, summaries: dict, changes: Changes, admits=lambda path: True) -> tuple[list, dict]:
    """Retrieval's file entries with the changed files ahead of the others,
    and the summary map with each changed file's current record.

    Changed files the question also found lead, then the most changed; at
    most MAX_CHANGED_FILES.  In each, the changed symbols come first in the
    entry's "symbols", scored above the question's own matches so the
    per-query view excerpts them first.  `summaries` is not changed.
    """
    found = {_base(entry.get("id")): (rank, entry) for rank, entry in enumerate(files) if isinstance(entry, dict)}
    candidates = [
        f for f in changes.shown if admits(f.path) and (f.record is not None or isinstance(summaries.get(f.path), dict))
    ]
    candidates.sort(key=lambda f: (f.path not in found, found.get(f.path, (0,))[0], -f.lines_changed, f.path))
    leading = candidates[:MAX_CHANGED_FILES]
    if not leading:
        return files, summaries
    view = dict(summaries)
    best = max((float(e.get("score", 0.0)) for _, e in found.values()), default=0.0)
    entries = []
    for f in leading:
        if f.record is not None:
            view[f.path] = f.record
        _, entry = found.get(f.path, (None, {"id": f.path, "score": 0.0, "symbols": []}))
        theirs = [s for s in entry.get("symbols") or () if isinstance(s, dict)]
        top = max((float(s.get("score", 0.0)) for s in theirs), default=0.0)
        mine = {s["name"] for s in f.symbols}
        changed = [dict(s, score=top + 1.0 + len(f.symbols) - i) for i, s in enumerate(f.symbols)]
        if f.record is not None:
            # The question's matches carry the index's lines: take the
            # current ones, and drop what is gone.
            theirs = [
                dict(s, line_start=f.current_lines[s["name"]][0], line_end=f.current_lines[s["name"]][1])
                for s in theirs
                if s.get("name") in f.current_lines
            ]
        entries.append(dict(entry, id=f.path, score=max(best, float(entry.get("score", 0.0))) + 1.0,
                            symbols=changed + [s for s in theirs if s.get("name") not in mine]))
    taken = {f.path for f in leading}
    rest = [e for e in files if not (isinstance(e, dict) and _base(e.get("id")) in taken)]
    return entries + rest, view


def _base(file_id) -> str:
    return str(file_id or "").split("::", 1)[0]
