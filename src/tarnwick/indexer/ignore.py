"""Which paths the user has told us to leave out: `.gitignore` files (at any
depth, with their negations and folder patterns), `.git/info/exclude`, and
`--exclude` patterns given on the command line (same syntax, relative to the
project root).  Patterns are compiled once per file with `pathspec`, except
those with several wildcards in one segment, whose regular expression could
backtrack for minutes on one long name: `globs` matches them instead."""

from __future__ import annotations

import os

from . import globs
from .settings_files import read_settings


class _Spec:
    """The patterns of one file, in order.  The last pattern that matches the
    path itself decides; failing that, the last that matches a folder above
    it (or the folder itself)."""

    def __init__(self, patterns: list):
        # (include, matcher): a pathspec pattern, or a globs.Glob
        self.patterns = patterns

    def __len__(self) -> int:
        return len(self.patterns)

    def check(self, probe: str) -> bool | None:
        """True: ignored; False: included again; None: no pattern says."""
        decided = None
        for include, pattern in reversed(self.patterns):
            if isinstance(pattern, globs.Glob):
                kind = pattern.match(probe)
            else:
                found = pattern.match_file(probe)
                if found is None:
                    continue
                kind = globs.THROUGH_FOLDER if found.match.groupdict().get("ps_d") else globs.ITSELF
            if kind == globs.ITSELF:
                return include
            if kind == globs.THROUGH_FOLDER and decided is None:
                decided = include
        return decided


def _compile(lines: list, origin: str, warnings: list) -> _Spec:
    """The patterns of `lines`; a line that is not a valid pattern is
    dropped with one warning, the others still apply."""
    import pathspec

    patterns = []
    for number, line in enumerate(lines, 1):
        try:
            compiled = pathspec.GitIgnoreSpec.from_lines([line]).patterns
            if globs.risky(line):
                glob = globs.compile_line(line)
                compiled = [glob] if glob is not None else []
        except Exception as exc:
            reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
            warnings.append(f"{origin}:{number}: invalid pattern {line.strip()!r} left out ({reason})")
            continue
        patterns.extend((p.include, p) for p in compiled if p.include is not None)
    return _Spec(patterns)


def _read_lines(root: str, rel: str) -> list | None:
    text = read_settings(root, rel)
    return None if text is None else text.splitlines()


class Rules:
    """Ignore rules of one project; `ignored(rel, is_dir)` decides a path.
    The patterns of `--exclude` and `.git/info/exclude` are compiled when
    first needed: a walk that decides nothing anew never needs them."""

    def __init__(self, root: str, excludes=(), use_gitignore: bool = True):
        self.root = root
        self.warnings = []
        # folder (relative, "" for the root) -> spec of its .gitignore
        self._specs = {}
        self._given = list(excludes)
        self.use_gitignore = use_gitignore
        self._prelude = None

    def prelude_warnings(self) -> list:
        """The warnings of the --exclude patterns and of .git/info/exclude."""
        if self._prelude is None:
            warnings = []
            self._excludes = _compile(self._given, "--exclude", warnings) if self._given else None
            self._info = None
            if self.use_gitignore:
                lines = _read_lines(self.root, os.path.join(".git", "info", "exclude"))
                info = _compile(lines, ".git/info/exclude", warnings) if lines else None
                self._info = info if info is not None and len(info) else None
            self._prelude = warnings
            self.warnings[:0] = warnings
        return self._prelude

    def enter(self, dir_rel: str, names) -> list:
        """Called for each folder walked, with the names it holds; returns
        the warnings of its .gitignore."""
        if self._prelude is None:
            self.prelude_warnings()
        warnings = []
        if self.use_gitignore and ".gitignore" in names:
            origin = f"{dir_rel}/.gitignore" if dir_rel else ".gitignore"
            lines = _read_lines(self.root, origin)
            if lines:
                spec = _compile(lines, origin, warnings)
                if len(spec):
                    self._specs[dir_rel] = spec
        self.warnings += warnings
        return warnings

    def excluded(self, rel: str, is_dir: bool) -> bool:
        """Matched by an --exclude pattern."""
        if self._prelude is None:
            self.prelude_warnings()
        return self._excludes is not None and self._excludes.check(rel + "/" if is_dir else rel) is True

    def ignored(self, rel: str, is_dir: bool) -> bool:
        """Ignored by a .gitignore file: the deepest file with a matching
        pattern decides, as git does."""
        if self._prelude is None:
            self.prelude_warnings()
        if not self._specs and self._info is None:
            return False
        probe = rel + "/" if is_dir else rel
        folder = rel
        while True:
            cut = folder.rfind("/")
            folder = folder[:cut] if cut >= 0 else ""
            spec = self._specs.get(folder)
            if spec is not None:
                decided = spec.check(probe[len(folder) + 1 :] if folder else probe)
                if decided is not None:
                    return decided
            if not folder:
                break
        if self._info is not None:
            decided = self._info.check(probe)
            if decided is not None:
                return decided
        return False
