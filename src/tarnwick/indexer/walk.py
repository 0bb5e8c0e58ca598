"""Finding the source files of a project.

The walk never follows a link out of the project root, visits each real
directory and each real file once, and leaves out what a user does not
consider part of the project's own code: version-control and tool folders,
virtual environments, build output, caches and hidden folders.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field

# Folder names never walked into (compared exactly).
SKIP_DIRS = frozenset(
    {
        "__pycache__",
        "build",
        "dist",
        "node_modules",
        "site-packages",
    }
)
# A folder holding one of these files is a virtual environment (venv,
# virtualenv) or a conda environment, whatever its name.
ENV_MARKERS = ("pyvenv.cfg", "conda-meta", os.path.join("bin", "activate"), os.path.join("Scripts", "activate"))

DEFAULT_MAX_FILE_BYTES = 1024 * 1024

SOURCE_SUFFIX = ".py"

# Separates the file from the symbol in graph identifiers ("a.py::f").
ID_SEPARATOR = "::"
UNADDRESSABLE = 'path holds "::", which separates file and symbol in identifiers'


@dataclass
class Walk:
    """Result of walking a project."""

    # (relative path with "/" separators, absolute path, size in bytes),
    # sorted by relative path.
    files: list = field(default_factory=list)
    # (relative path, reason) of source files and links left out.
    skipped: list = field(default_factory=list)
    # Number of folders left out by the folder rules.
    skipped_dirs: int = 0


def _is_env(path: str) -> bool:
    return any(os.path.exists(os.path.join(path, marker)) for marker in ENV_MARKERS)


def _inside(real: str, root_real: str) -> bool:
    return real == root_real or real.startswith(root_real.rstrip(os.sep) + os.sep)


def walk_project(root: str, max_file_bytes: int = DEFAULT_MAX_FILE_BYTES) -> Walk:
    """Collect the project's Python source files under `root`.

    Links are followed only when their target lies inside `root`; a linked
    folder or file that is also reachable without the link is indexed once,
    under its real path.
    """
    root_abs = os.path.abspath(root)
    root_real = os.path.realpath(root_abs)
    result = Walk()
    seen_dirs = set()
    seen_files = {}  # real path -> index into candidates
    candidates = []  # [rel, abs, size]
    links = []  # (rel, abs) of links met, handled after the plain walk

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
            subdirs = []
            for entry in entries:
                name = entry.name
                rel = f"{d_rel}/{name}" if d_rel else name
                try:
                    if entry.is_symlink():
                        links.append((rel, entry.path))
                        continue
                    if entry.is_dir(follow_symlinks=False):
                        if name.startswith(".") or name in SKIP_DIRS or name.endswith(".egg-info") or _is_env(entry.path):
                            result.skipped_dirs += 1
                            continue
                        subdirs.append((entry.path, rel, os.path.join(d_real, name)))
                        continue
                    if not name.endswith(SOURCE_SUFFIX) or not entry.is_file(follow_symlinks=False):
                        continue
                    size = entry.stat(follow_symlinks=False).st_size
                except OSError as exc:
                    result.skipped.append((rel, f"cannot stat: {exc.strerror or exc}"))
                    continue
                add_file(rel, entry.path, os.path.join(d_real, name), size)
            subdirs.sort(reverse=True)
            stack.extend(subdirs)

    def add_file(rel: str, abspath: str, real: str, size: int) -> None:
        if real in seen_files:
            return
        if ID_SEPARATOR in rel:
            # Readers cut identifiers at the first "::": such a file could
            # not be told apart from a symbol of another file.
            result.skipped.append((rel, UNADDRESSABLE))
            seen_files[real] = -1
            return
        if size > max_file_bytes:
            result.skipped.append((rel, f"larger than {max_file_bytes} bytes"))
            seen_files[real] = -1
            return
        seen_files[real] = len(candidates)
        candidates.append((rel, abspath, size))

    walk_dir(root_abs, "", root_real)

    # Links last, so that whatever they point to inside the root has already
    # been met under its real path.  Links found inside linked folders are
    # appended to the queue as the walk goes.
    done = 0
    while done < len(links):
        rel, link_abs = links[done]
        done += 1
        name = rel.rsplit("/", 1)[-1]
        real = os.path.realpath(link_abs)
        if not _inside(real, root_real):
            if name.endswith(SOURCE_SUFFIX) or os.path.isdir(link_abs):
                result.skipped.append((rel, "link leads outside the project root"))
            continue
        try:
            st = os.stat(link_abs)
        except OSError:
            if name.endswith(SOURCE_SUFFIX):
                result.skipped.append((rel, "broken link"))
            continue
        if stat.S_ISDIR(st.st_mode):
            if name.startswith(".") or name in SKIP_DIRS or _is_env(link_abs):
                result.skipped_dirs += 1
                continue
            walk_dir(link_abs, rel, real)
        elif stat.S_ISREG(st.st_mode) and name.endswith(SOURCE_SUFFIX):
            add_file(rel, link_abs, real, st.st_size)

    candidates.sort()
    result.files = candidates
    result.skipped.sort()
    return result
