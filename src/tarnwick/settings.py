"""A project's own settings: `.tarnwick.toml` or `[tool.tarnwick]` in
`pyproject.toml`, at the project root.

    [tool.tarnwick]
    exclude = ["docs/", "*.generated.ts"]   # gitignore-style, relative to the root
    max-file-size = 2_000_000               # bytes; larger source files are skipped
    languages = ["python", "go"]            # index only these
    budget = 3000                           # default --budget of `context` and the MCP tool

`.tarnwick.toml` holds the same keys at its top level and wins over
`pyproject.toml`.  Every command reads the file of the project it works on;
options on the command line come on top (`--exclude` adds, the others
replace).  Nothing is remembered elsewhere: what stays is what the file says.

A file that is not valid TOML, or a key with a value of the wrong type, is
a `SettingsError` (one line naming the file and the key); an unknown key is
a warning naming both.  The files are read as regular files inside the root
(a clone may carry anything), at most 1 MiB.
"""

from __future__ import annotations

import os
import sys
from collections import namedtuple

from .datadir import read_regular, resolve_inside
from .errors import UsageError

__all__ = ["LANGUAGES", "Settings", "SettingsError", "load"]

OWN_FILE = ".tarnwick.toml"
PYPROJECT = "pyproject.toml"
SIZE_LIMIT = 1 << 20
LANGUAGES = ("python", "typescript", "javascript", "go", "java", "rust")
# Source files larger than this are skipped unless max-file-size says otherwise.
DEFAULT_MAX_FILE_BYTES = 1024 * 1024
MIN_BUDGET = 1
MAX_BUDGET = 200_000


class SettingsError(UsageError):
    """A settings file that cannot be used; the message names the file and
    the key."""


class Settings(
    namedtuple(
        "Settings",
        ("exclude", "max_file_size", "languages", "budget", "source", "warnings"),
        defaults=((), None, None, None, None, ()),
    )
):
    """What a project's settings file says (defaults where it says nothing):
    ``exclude`` (folders and patterns), ``max_file_size``, ``languages``,
    ``budget``; ``source``, the file they came from (None without one);
    ``warnings``, one line per unknown key."""

    # A named tuple, not a dataclass: every query reads the settings, and
    # importing dataclasses would cost it more than the rest of its start-up work.
    __slots__ = ()


def _strings(value, where: str) -> tuple[str, ...]:
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not all(isinstance(item, str) and item.strip() for item in value):
        raise SettingsError(f"{where} must be a list of non-empty strings")
    return tuple(value)


def _whole(value, where: str, low: int, high: int | None = None) -> int:
    if type(value) is not int or value < low or (high is not None and value > high):
        bounds = f"between {low} and {high}" if high is not None else f"at least {low}"
        raise SettingsError(f"{where} must be a whole number {bounds}, not {value!r}")
    return value


def _languages(value, where: str) -> tuple[str, ...]:
    names = tuple(name.lower() for name in _strings(value, where))
    for name in names:
        if name not in LANGUAGES:
            raise SettingsError(f"{where}: unknown language {name!r} (one of {', '.join(LANGUAGES)})")
    return names


# key -> (Settings field, check)
_KEYS = {
    "exclude": ("exclude", _strings),
    "max-file-size": ("max_file_size", lambda v, w: _whole(v, w, 1)),
    "languages": ("languages", _languages),
    "budget": ("budget", lambda v, w: _whole(v, w, MIN_BUDGET, MAX_BUDGET)),
}


def _read_toml(path: str) -> dict:
    # Imported here: a project without a settings file never pays for the parser.
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # the same parser, before it joined the standard library
        import tomli as tomllib
    try:
        text = read_regular(path, SIZE_LIMIT).decode("utf-8")
    except UnicodeDecodeError:
        raise SettingsError(f"{path}: not valid UTF-8") from None
    except OSError as exc:
        raise SettingsError(f"{path}: cannot read: {exc.strerror or exc}") from None
    try:
        return tomllib.loads(text)
    except (tomllib.TOMLDecodeError, RecursionError) as exc:
        raise SettingsError(f"{path}: not valid TOML: {exc}") from None


def _table(root: str) -> tuple[str, str, dict] | None:
    """(file, key prefix, table) of the settings that apply to `root`."""
    for name in (OWN_FILE, PYPROJECT):
        path = os.path.join(root, name)
        if not os.path.lexists(path):
            continue
        if resolve_inside(path, root) is None:
            continue  # a link leading out of the project is not its settings
        data = _read_toml(path)
        if name == OWN_FILE:
            return path, "", data
        tool = data.get("tool")
        table = tool.get("tarnwick") if isinstance(tool, dict) else None
        if table is None:
            continue
        if not isinstance(table, dict):
            raise SettingsError(f"{path}: tool.tarnwick must be a table")
        return path, "tool.tarnwick.", table
    return None


def load(root: str | os.PathLike[str]) -> Settings:
    """The settings of the project at `root` (all defaults without a file).

    Raises SettingsError for a file that cannot be used."""
    root = os.fspath(root)
    found = _table(root)
    if found is None:
        return Settings()
    path, prefix, table = found
    values: dict = {}
    warnings = []
    for key, value in table.items():
        known = _KEYS.get(key)
        if known is None:
            import difflib  # only for a key that is not known

            close = difflib.get_close_matches(key, _KEYS, n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            warnings.append(f"{path}: unknown key {prefix}{key}{hint}; ignored")
            continue
        name, check = known
        values[name] = check(value, f"{path}: {prefix}{key}")
    return Settings(**values, source=path, warnings=tuple(warnings))
