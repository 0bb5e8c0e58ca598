"""Finding the source files of a project.

The walk never follows a link out of the project root, visits each real
directory and each real file once, and leaves out what a user does not
consider part of the project's own code: version-control and tool folders,
virtual environments, build output, caches and hidden folders; vendored
and generated code (`node_modules`, `vendor`, minified scripts, TypeScript
declaration files unless the project holds nothing else); and whatever
`.gitignore` files or `--exclude` patterns name.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from typing import NamedTuple

from ..datadir import DATA_DIR
from ..settings import DEFAULT_MAX_FILE_BYTES
from .extractors import grammar_of, unsupported_language
from .ignore import Rules

# Folder names never walked into (compared exactly).
SKIP_DIRS = frozenset(
    {
        "__pycache__",
        "build",
        "dist",
        "site-packages",
    }
)
# Folders of other people's code, counted apart (so is `target` beside a
# Cargo.toml or pom.xml: build output).
VENDOR_DIRS = frozenset({"node_modules", "vendor", "bower_components", "jspm_packages"})
# A folder holding one of these files is a virtual environment (venv,
# virtualenv) or a conda environment, whatever its name.
ENV_MARKERS = ("pyvenv.cfg", "conda-meta", os.path.join("bin", "activate"), os.path.join("Scripts", "activate"))

# Files whose content changes how imports resolve, and the prefixes of the
# names a tsconfig usually `extends` (tsconfig.base.json, ...).
CONFIG_FILES = frozenset({"tsconfig.json", "jsconfig.json", "package.json", "go.mod", "Cargo.toml"})
_EXTENDED_CONFIGS = ("tsconfig.", "jsconfig.")
_MINIFIED = (".min.js", ".min.mjs", ".min.cjs", "-min.js", ".bundle.js")
_DECLARATIONS = (".d.ts", ".d.mts", ".d.cts")


class SourceFile(NamedTuple):
    rel: str  # relative path with "/" separators
    path: str  # absolute path
    size: int
    mtime_ns: int
    language: str
    grammar: str

# Separates the file from the symbol in graph identifiers ("a.py::f").
ID_SEPARATOR = "::"
UNADDRESSABLE = 'path holds "::", which separates file and symbol in identifiers'


@dataclass
class Walk:
    """Result of walking a project."""

    # SourceFile entries, sorted by relative path.
    files: list = field(default_factory=list)
    # (relative path, reason) of source files and links left out.
    skipped: list = field(default_factory=list)
    # Number of folders left out by the folder rules.
    skipped_dirs: int = 0
    # Vendored or generated folders ("vendor/") and files left out.
    vendored: list = field(default_factory=list)
    # Folders and source files left out by .gitignore or --exclude.
    ignored: int = 0
    # One line per unusable ignore pattern.
    warnings: list = field(default_factory=list)
    # Source files of languages no extractor reads (C, Ruby, ...), not
    # ignored: language -> count.
    unsupported: dict = field(default_factory=dict)
    # [relative path, size, mtime_ns] of the files that steer import
    # resolution (tsconfig.json, go.mod, ...), sorted.
    configs: list = field(default_factory=list)


def _is_env(path: str, names=None) -> bool:
    """True when the folder `path` is an environment.  With `names` (what
    it holds, once listed) only a `bin` or `Scripts` in it costs a look."""
    for marker in ENV_MARKERS:
        if names is not None:
            head, inner, _ = marker.partition(os.sep)
            if head not in names:
                continue
            if not inner:
                return True
        if os.path.exists(os.path.join(path, marker)):
            return True
    return False


def _is_config(name: str) -> bool:
    return name in CONFIG_FILES or (name.startswith(_EXTENDED_CONFIGS) and name.endswith(".json"))


def _builds_into_target(folder: str) -> bool:
    """Cargo and Maven write their build output to `target/` beside their
    project file."""
    return any(os.path.isfile(os.path.join(folder, name)) for name in ("Cargo.toml", "pom.xml"))


def _inside(real: str, root_real: str) -> bool:
    return real == root_real or real.startswith(root_real.rstrip(os.sep) + os.sep)


def walk_project(
    root: str,
    max_file_bytes: int = DEFAULT_MAX_FILE_BYTES,
    excludes=(),
    use_gitignore: bool = True,
    languages=None,
) -> Walk:
    """Collect the project's source files under `root`.

    Links are followed only when their target lies inside `root`; a linked
    folder or file that is also reachable without the link is indexed once,
    under its real path.  With `languages`, files of other languages are
    left out and counted as ignored.
    """
    root_abs = os.path.abspath(root)
    root_real = os.path.realpath(root_abs)
    result = Walk()
    rules = Rules(root_abs, excludes, use_gitignore)
    seen_dirs = set()
    seen_files = set()  # real paths
    candidates = []
    declarations = []  # .d.ts files: kept only when there is nothing else
    links = []  # (rel, abs) of links met, handled after the plain walk

    def dir_left_out(name: str, rel: str, path: str) -> bool:
        if rel == DATA_DIR:  # our own data, not a folder the user left out
            return True
        if name.startswith(".") or name in SKIP_DIRS or name.endswith(".egg-info"):
            result.skipped_dirs += 1
            return True
        vendored = name in VENDOR_DIRS or (name == "target" and _builds_into_target(os.path.dirname(path)))
        if not vendored and not (rules.excluded(rel, True) or rules.ignored(rel, True)):
            return False  # an environment is told when the folder is listed
        if _is_env(path):
            result.skipped_dirs += 1
        elif vendored:
            result.vendored.append(rel + "/")
        else:
            result.ignored += 1
        return True

    def walk_dir(dir_abs: str, dir_rel: str, dir_real: str) -> None:
        # Iterative depth-first walk that never follows links itself.
        stack = [(dir_abs, dir_rel, dir_real)]
        while stack:
            d_abs, d_rel, d_real = stack.pop()
            if d_real in seen_dirs:
                continue
            seen_dirs.add(d_real)
            try:
                with os.scandir(d_abs) as it:
                    entries = list(it)
            except OSError as exc:
                result.skipped.append((d_rel or ".", f"cannot list folder: {exc.strerror or exc}"))
                continue
            names = {e.name for e in entries}
            # An environment is told by what it holds: known once listed.
            if d_rel and _is_env(d_abs, names):
                result.skipped_dirs += 1
                continue
            rules.enter(d_rel, names)
            subdirs = []
            prefix = d_real if d_real.endswith(os.sep) else d_real + os.sep
            for entry in entries:
                name = entry.name
                rel = f"{d_rel}/{name}" if d_rel else name
                try:
                    if entry.is_symlink():
                        links.append((rel, entry.path))
                        continue
                    if entry.is_dir(follow_symlinks=False):
                        if not dir_left_out(name, rel, entry.path):
                            subdirs.append((entry.path, rel, prefix + name))
                        continue
                    kind = grammar_of(name)
                    if kind is None or not entry.is_file(follow_symlinks=False):
                        if _is_config(name) and entry.is_file(follow_symlinks=False):
                            st = entry.stat(follow_symlinks=False)
                            result.configs.append([rel, st.st_size, st.st_mtime_ns])
                        elif kind is None:
                            count_unsupported(rel, name)
                        continue
                    st = entry.stat(follow_symlinks=False)
                except OSError as exc:
                    result.skipped.append((rel, f"cannot stat: {exc.strerror or exc}"))
                    continue
                add_file(rel, entry.path, prefix + name, st, kind)
            subdirs.sort(reverse=True)
            stack.extend(subdirs)

    def count_unsupported(rel: str, name: str) -> None:
        language = unsupported_language(name)
        if language is not None and not (rules.excluded(rel, False) or rules.ignored(rel, False)):
            result.unsupported[language] = result.unsupported.get(language, 0) + 1

    def add_file(rel: str, abspath: str, real: str, st, kind) -> None:
        if real in seen_files:
            return
        seen_files.add(real)
        if rules.excluded(rel, False) or rules.ignored(rel, False) or (languages and kind[0] not in languages):
            result.ignored += 1
            return
        if ID_SEPARATOR in rel:
            # Readers cut identifiers at the first "::": such a file could
            # not be told apart from a symbol of another file.
            result.skipped.append((rel, UNADDRESSABLE))
            return
        name = rel.rsplit("/", 1)[-1]
        if name.endswith(_MINIFIED):
            result.vendored.append(rel)
            return
        if st.st_size > max_file_bytes:
            result.skipped.append((rel, f"larger than {max_file_bytes} bytes"))
            return
        entry = SourceFile(rel, abspath, st.st_size, st.st_mtime_ns, kind[0], kind[1])
        (declarations if name.endswith(_DECLARATIONS) else candidates).append(entry)

    walk_dir(root_abs, "", root_real)

    # Links last, so that whatever they point to inside the root has already
    # been met under its real path.  Links found inside linked folders are
    # appended to the queue as the walk goes.
    done = 0
    while done < len(links):
        rel, link_abs = links[done]
        done += 1
        name = rel.rsplit("/", 1)[-1]
        kind = grammar_of(name)
        real = os.path.realpath(link_abs)
        if not _inside(real, root_real):
            if kind is not None or os.path.isdir(link_abs):
                result.skipped.append((rel, "link leads outside the project root"))
            continue
        try:
            st = os.stat(link_abs)
        except OSError:
            if kind is not None:
                result.skipped.append((rel, "broken link"))
            continue
        if stat.S_ISDIR(st.st_mode):
            if not dir_left_out(name, rel, link_abs):
                walk_dir(link_abs, rel, real)
        elif stat.S_ISREG(st.st_mode) and kind is not None:
            add_file(rel, link_abs, real, st, kind)

    # Declaration files describe code that lives elsewhere; they are the
    # project only when it holds nothing but declarations.
    if any(f.language in ("typescript", "javascript") for f in candidates):
        result.vendored += [f.rel for f in declarations]
    else:
        candidates.extend(declarations)
    candidates.sort()
    result.files = candidates
    result.skipped.sort()
    result.warnings = rules.warnings
    result.configs.sort()
    return result
