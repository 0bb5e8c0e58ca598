"""The Python resolver's lookup of a module imported by its plain name: a
folder without a package marker is on the path of its own scripts, a
package is not, at the project's root as below it."""

from __future__ import annotations

import pytest

from tarnwick.indexer import resolve_python


@pytest.mark.parametrize(
    "paths, importer, dotted, found, marker",
    [
        # A script folder: its sibling module is found, after the roots.
        (["tools/run.py", "tools/helper.py"], "tools/run.py", "helper", "tools/helper.py", "tools/__init__.py"),
        # A package: the same name is not a sibling import.
        (["tools/__init__.py", "tools/run.py", "tools/helper.py"], "tools/run.py", "helper", None, "tools/__init__.py"),
        # A marker elsewhere, or a deeper one, does not make this folder a package.
        (["other/__init__.py", "tools/run.py", "tools/helper.py"], "tools/run.py", "helper", "tools/helper.py", "tools/__init__.py"),
        (["tools/sub/__init__.py", "tools/run.py", "tools/helper.py"], "tools/run.py", "helper", "tools/helper.py", "tools/__init__.py"),
        # A file named like a marker's folder is no marker.
        (["tools__init__.py", "tools/run.py", "tools/helper.py"], "tools/run.py", "helper", "tools/helper.py", "tools/__init__.py"),
        # Nested folders: only the importer's own folder counts.
        (["a/__init__.py", "a/b/run.py", "a/b/helper.py"], "a/b/run.py", "helper", "a/b/helper.py", "a/b/__init__.py"),
        (["a/b/__init__.py", "a/b/run.py", "a/b/helper.py"], "a/b/run.py", "helper", None, "a/b/__init__.py"),
        # The root: its modules are found as a root anyway; a missing one reads the root's marker.
        (["run.py", "helper.py"], "run.py", "missing", None, "__init__.py"),
        (["__init__.py", "run.py"], "run.py", "missing", None, "__init__.py"),
    ],
)
def test_a_plain_import_finds_a_sibling_only_outside_a_package(paths, importer, dotted, found, marker):
    resolver = resolve_python.Resolver(paths, {})
    assert resolver.module_file(importer, 0, dotted) == found
    # The marker looked for is a key read: its coming or going re-resolves the importer.
    assert marker in resolver._reads[0]
