"""The import plan of the package: imports only point down.

The indexer and the query side meet only at the formats of `.vestra/`; the
library never reaches up into the commands; no two modules import each
other, directly or around a circle.  Imports inside functions count too:
they are arrows all the same, only taken later.
"""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
PACKAGE = SRC / "tarnwick"

# The modules both wings may use: the data directory's formats and helpers.
DATA_FLOOR = {"tarnwick.datadir", "tarnwick.atomic", "tarnwick.collector", "tarnwick.errors"}
QUERY_SIDE = {
    "tarnwick.vx",
    "tarnwick.project",
    "tarnwick.graph",
    "tarnwick.retrieve",
    "tarnwick.context",
    "tarnwick.focus",
    "tarnwick.freshness",
    "tarnwick.summary_records",
}


def module_name(path: Path) -> str:
    parts = list(path.relative_to(SRC).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def modules() -> dict[str, Path]:
    return {module_name(path): path for path in sorted(PACKAGE.rglob("*.py"))}


def imports_of(name: str, path: Path, known: set) -> set:
    """The package's modules that `name` imports, wherever in the file."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")
                base = base[: len(base) - node.level + 1]
                origin = ".".join(base + ([node.module] if node.module else []))
            else:
                origin = node.module or ""
            # `from pkg import mod` names a module; `from mod import name` the module itself.
            targets = [f"{origin}.{alias.name}" if f"{origin}.{alias.name}" in known else origin for alias in node.names]
        else:
            continue
        for target in targets:
            while target and target not in known:
                target = target.rpartition(".")[0]
            if target and target != name:
                found.add(target)
    return found


def import_plan() -> dict[str, set]:
    found = modules()
    known = set(found)
    return {name: imports_of(name, path, known) for name, path in found.items()}


def inside(name: str, folder: str) -> bool:
    return name == folder or name.startswith(folder + ".")


@pytest.mark.parametrize(
    "importer, imported",
    [
        ("tarnwick.indexer.resolve_js", "tarnwick.indexer.refs"),  # from .refs import name
        ("tarnwick.indexer.run", "tarnwick.datadir"),  # two levels up
        ("tarnwick.cli.main", "tarnwick.cli.index"),  # from . import module
        ("tarnwick.datadir", "tarnwick.atomic"),  # inside a function
    ],
)
def test_the_plan_is_read_from_the_code(importer, imported):
    assert imported in import_plan()[importer]


@pytest.mark.parametrize(
    "wing, forbidden, why",
    [
        ("tarnwick.search", ["tarnwick.indexer", "tarnwick.cli"], "the search index is read and written on the data floor"),
        ("tarnwick.indexer", [*QUERY_SIDE, "tarnwick.cli", "tarnwick.mcp_server"], "the indexer knows only the formats"),
        ("tarnwick.datadir", ["tarnwick.indexer", "tarnwick.search", *QUERY_SIDE, "tarnwick.cli"], "the data floor"),
        ("tarnwick.atomic", ["tarnwick"], "the atomic write stands alone"),
    ],
)
def test_a_wing_never_imports_across_or_up(wing, forbidden, why):
    plan = import_plan()
    wrong = sorted(
        (name, target)
        for name, targets in plan.items()
        if inside(name, wing)
        for target in targets
        if any(inside(target, f) for f in forbidden) and not inside(target, wing)
    )
    assert wrong == [], why


def test_the_query_side_never_imports_the_indexer():
    plan = import_plan()
    wrong = sorted(
        (name, target)
        for name in QUERY_SIDE & set(plan)
        for target in plan[name]
        if inside(target, "tarnwick.indexer") or inside(target, "tarnwick.cli")
    )
    assert wrong == []


# The top floor: the commands and the MCP server, which shares their console habits.
TOP_FLOOR = ("tarnwick.cli", "tarnwick.mcp_server", "tarnwick.mcp_wire")


def test_the_library_never_imports_the_commands():
    plan = import_plan()
    wrong = sorted(
        (name, target)
        for name, targets in plan.items()
        if not any(inside(name, top) for top in TOP_FLOOR)
        for target in targets
        if inside(target, "tarnwick.cli")
    )
    assert wrong == []


def cycles(plan: dict) -> list:
    """Every circle of the plan, each once, as the list of its modules."""
    found, state, stack = [], {}, []

    def visit(name):
        state[name] = "open"
        stack.append(name)
        for target in sorted(plan.get(name, ())):
            if state.get(target) == "open":
                found.append(stack[stack.index(target) :])
            elif target not in state:
                visit(target)
        stack.pop()
        state[name] = "done"

    for name in sorted(plan):
        if name not in state:
            visit(name)
    return found


def test_no_module_imports_itself_around_a_circle():
    # A package's __init__ that gathers its own modules is its front door, not a circle.
    plan = {
        name: {t for t in targets if not inside(t, name)} for name, targets in import_plan().items()
    }
    assert cycles(plan) == []


@pytest.mark.parametrize(
    "plan, expected",
    [
        ({"a": {"b"}, "b": {"c"}, "c": set()}, []),
        ({"a": {"b"}, "b": {"a"}}, [["a", "b"]]),
        ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}, [["a", "b", "c"]]),
    ],
)
def test_the_circle_finder(plan, expected):
    assert cycles(plan) == expected
