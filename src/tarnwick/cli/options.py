"""The options of `tarnwick context` and `tarnwick search`: their defaults
and checks, and the usual command lines read without the full parser.

Building the argparse parser of every command (with gettext, locale and
shutil, which argparse loads) costs a one-question process more than
ranking does.  `usual_args` reads the lines people type most, the question
first and then known options spelt out, into what the parser would give;
any other line (help, a mistake, an abbreviation, `--diff`, the question
after an option) is left to the parser, which reads and reports it as
always.
"""

from __future__ import annotations

from types import SimpleNamespace

from ..settings import MAX_BUDGET

PROG = "tarnwick"
DEFAULT_BUDGET = 5000
MIN_FIT_BUDGET = 500
DEFAULT_FILES = 8


def positive(text: str) -> int:
    """A whole number of at least 1; ValueError with the message to show."""
    try:
        value = int(text)
    except ValueError:
        raise ValueError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise ValueError(f"must be at least 1: {value}")
    return value


def budget(text: str) -> int:
    """A token budget, 1 to `MAX_BUDGET`; ValueError with the message to show."""
    value = positive(text)
    if value > MAX_BUDGET:
        raise ValueError(f"must be at most {MAX_BUDGET}: {value}")
    return value


# Per command: the parser's defaults, and the options a usual line may use
# (option -> (destination, how to read its value; None for a flag)).
_SHARED_DEFAULTS = {"root": None, "no_tests": False, "json": False}
_DEFAULTS = {
    "context": {**_SHARED_DEFAULTS, "budget": None, "diff": None, "staged": False, "no_redact": False},
    "search": {**_SHARED_DEFAULTS, "n": DEFAULT_FILES},
}
_SHARED = {"--root": ("root", str), "--path": ("paths", str), "--no-tests": ("no_tests", None), "--json": ("json", None)}
_OPTIONS = {
    "context": {**_SHARED, "--budget": ("budget", budget), "--no-redact": ("no_redact", None)},
    "search": {**_SHARED, "-n": ("n", positive)},
}


def usual_args(argv: list[str]) -> SimpleNamespace | None:
    """The parsed arguments of a usual `context` or `search` line, as the
    full parser gives them, or None for any other line."""
    if len(argv) < 2 or argv[0] not in _OPTIONS or argv[1].startswith("-"):
        return None
    command, query, rest = argv[0], argv[1], argv[2:]
    options = _OPTIONS[command]
    values = dict(_DEFAULTS[command], paths=[])
    at = 0
    while at < len(rest):
        word = rest[at]
        name, given, value = word.partition("=")
        known = options.get(name)
        if known is None or (given and (known[1] is None or not name.startswith("--"))):
            return None
        dest, read = known
        if read is None:
            values[dest] = True
            at += 1
            continue
        if not given:
            if at + 1 == len(rest) or rest[at + 1].startswith("-"):
                return None
            value = rest[at + 1]
        try:
            value = read(value)
        except ValueError:
            return None  # the parser says what is wrong with it
        if dest == "paths":
            values[dest].append(value)
        else:
            values[dest] = value
        at += 1 if given else 2
    return SimpleNamespace(version=None, command=command, query=query, **values)
