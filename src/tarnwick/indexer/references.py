"""The import records each language's extractor leaves in a `FileResult`
for its resolver: what a local name is bound to (`bindings`), what a
module re-exports whole (`star`) and what it imports (`imports`).

They are tuples with names, so they pickle between processes and are
written to the incremental cache as JSON lists; `RECORDS` turns such lists
back into the records of the file's language.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, NamedTuple


class PythonBinding(NamedTuple):
    """`from .module import attr as name`, `import module as name`."""

    level: int  # the leading dots of a relative import
    module: str
    attr: str | None  # None: the name is bound to the module itself


class PythonStar(NamedTuple):
    """`from .module import *`."""

    level: int
    module: str


class PythonImport(NamedTuple):
    level: int
    module: str
    names: list  # the names taken from the module; [] for `import module`


class JsBinding(NamedTuple):
    specifier: str  # the module as written: "./util", "react"
    imported: str  # the exported name, "default", or "*" for the module itself


class JsImport(NamedTuple):
    specifier: str
    names: list  # exported names taken ("default", "*" included); [] for a bare or dynamic import


class GoImport(NamedTuple):
    path: str  # the import path
    alias: str  # "" when none; "_" and "." as written


class GoBinding(NamedTuple):
    path: str  # the imported package's path
    imported: str  # always "*": a Go name is bound to a whole package


class JavaBinding(NamedTuple):
    owner: str  # the qualified type a name comes from
    member: str  # a static member's name, or "*" for the type itself


class JavaImport(NamedTuple):
    path: str  # the qualified name as written, without ".*"
    kind: str  # "" a type, "*" a whole package, "static" a static member


class RustImport(NamedTuple):
    kind: str  # "mod" (a child module declared) or "use"
    name: str  # the module's name, or the used path joined by "::"


# A Rust name is bound to a path of segments, and `star` holds such paths:
# they are kept as tuples.
RustPath = tuple


@dataclass(frozen=True)
class Records:
    """How one language's `bindings` values, `star` items and `imports`
    items are made from their JSON lists."""

    binding: Callable
    star: Callable
    imports: Callable


def _text(value):
    if not isinstance(value, str):
        raise TypeError("a text was expected")
    return value


_JS = Records(JsBinding._make, _text, JsImport._make)
RECORDS = {
    "python": Records(PythonBinding._make, PythonStar._make, PythonImport._make),
    "typescript": _JS,
    "javascript": _JS,
    "go": Records(GoBinding._make, _text, GoImport._make),
    "java": Records(JavaBinding._make, _text, JavaImport._make),
    "rust": Records(RustPath, RustPath, RustImport._make),
}
