"""Which paths the user has told us to leave out: `.gitignore` files (at any
depth, with their negations and folder patterns), `.git/info/exclude`, and
`--exclude` patterns given on the command line (same syntax, relative to the
project root).  Patterns are compiled once per file with `pathspec`."""

from __future__ import annotations

import os

from .settings_files import read_settings


def _compile(lines: list, origin: str, warnings: list):
    """A GitIgnoreSpec of `lines`; a line that is not a valid pattern is
    dropped with one warning, the others still apply."""
    import pathspec

    try:
        return pathspec.GitIgnoreSpec.from_lines(lines)
    except Exception:
        pass
    good = []
    for number, line in enumerate(lines, 1):
        try:
            pathspec.GitIgnoreSpec.from_lines([line])
        except Exception as exc:
            reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
            warnings.append(f"{origin}:{number}: invalid pattern {line.strip()!r} left out ({reason})")
            continue
        good.append(line)
    return pathspec.GitIgnoreSpec.from_lines(good)


def _read_lines(root: str, rel: str) -> list | None:
    text = read_settings(root, rel)
    return None if text is None else text.splitlines()


class Rules:
    """Ignore rules of one project; `ignored(rel, is_dir)` decides a path."""

    def __init__(self, root: str, excludes=(), use_gitignore: bool = True):
        self.root = root
        self.warnings = []
        # folder (relative, "" for the root) -> spec of its .gitignore
        self._specs = {}
        self._excludes = _compile(list(excludes), "--exclude", self.warnings) if excludes else None
        self.use_gitignore = use_gitignore
        if use_gitignore:
            lines = _read_lines(root, os.path.join(".git", "info", "exclude"))
            info = _compile(lines, ".git/info/exclude", self.warnings) if lines else None
            self._info = info if info is not None and len(info) else None
        else:
            self._info = None

    def enter(self, dir_rel: str, names) -> None:
        """Called for each folder walked, with the names it holds."""
        if self.use_gitignore and ".gitignore" in names:
            origin = f"{dir_rel}/.gitignore" if dir_rel else ".gitignore"
            lines = _read_lines(self.root, origin)
            if lines:
                spec = _compile(lines, origin, self.warnings)
                if len(spec):
                    self._specs[dir_rel] = spec

    def excluded(self, rel: str, is_dir: bool) -> bool:
        """Matched by an --exclude pattern."""
        return self._excludes is not None and self._excludes.match_file(rel + "/" if is_dir else rel)

    def ignored(self, rel: str, is_dir: bool) -> bool:
        """Ignored by a .gitignore file: the deepest file with a matching
        pattern decides, as git does."""
        if not self._specs and self._info is None:
            return False
        probe = rel + "/" if is_dir else rel
        folder = rel
        while True:
            cut = folder.rfind("/")
            folder = folder[:cut] if cut >= 0 else ""
            spec = self._specs.get(folder)
            if spec is not None:
                decided = spec.check_file(probe[len(folder) + 1 :] if folder else probe).include
                if decided is not None:
                    return decided
            if not folder:
                break
        if self._info is not None:
            decided = self._info.check_file(probe).include
            if decided is not None:
                return decided
        return False
