"""Cross-file references of Java files.

Types are found by their qualified name (package + type name, as declared
in each file, wherever the file lies): single-type and static imports name
one, on-demand imports (`a.b.*`) and the file's own package offer their
types by simple name.  A type used in a declaration (a parameter, a field,
a generic argument) is a "references" edge; an on-demand import leads to
the files whose types are used.
"""

from __future__ import annotations


def resolve_java_edges(results: dict, imports: set, calls: set, extends: set, implements: set, references: set) -> None:
    """Add the edges of Java files to the sets."""
    types = {}  # qualified type name -> file
    packages = {}  # package -> {simple type name: file}
    for path in sorted(results):
        result = results[path]
        for name in result.defined:
            qualified = f"{result.package}.{name}" if result.package else name
            types.setdefault(qualified, path)
            packages.setdefault(result.package, {}).setdefault(name, path)
    for path, result in results.items():
        visible = dict(packages.get(result.package, {}))  # the own package first
        for package in result.star:
            for name, target in packages.get(package, {}).items():
                visible.setdefault(name, target)
        for local, (qualified, member) in result.bindings.items():
            # A single-type import hides a same-named type of the package.
            target = types.get(qualified)
            if target is not None:
                visible[local] = target
        for qualified, kind in result.imports:
            target = types.get(qualified) if kind == "" else types.get(qualified.rpartition(".")[0]) if kind == "static" else None
            if target and target != path:
                imports.add((path, target))
        used_packages = set()
        for refs, out in (
            (result.refs, calls),
            (result.bases, extends),
            (result.implements, implements),
            (result.uses, references),
        ):
            for ref in refs:
                head = ref.split(".", 1)[0]
                target = visible.get(head) if head not in result.defined else None
                if target is None and "." in ref:
                    target = types.get(ref.rsplit(".", 1)[0]) or types.get(ref)  # fully qualified
                if target and target != path:
                    out.add((path, target))
                    if results[target].package in result.star:
                        used_packages.add(target)
        for target in used_packages:
            imports.add((path, target))
