"""Cross-file references of Go files.

An import path names a package (a folder); it is resolved when it lies
under the module path of a `go.mod` inside the project, or, for a tree
without modules, when the folder of that path exists (GOPATH layout).  Uses of
`pkg.Name` become edges to the file of the package that declares `Name`,
and plain names to the file of the same package that declares them.
"""

from __future__ import annotations

import posixpath
import re

from .settings_files import NOT_HERE, has_settings, nearest, read_settings

_MODULE_LINE = re.compile(r"^\s*module\s+\"?([^\s\"/][^\s\"]*)\"?", re.M)


class GoResolver:
    def __init__(self, root: str, results: dict):
        self.root = root
        self.results = results
        self.defined = {p: set(r.defined) for p, r in results.items()}
        self.by_package = {}  # (folder, package name) -> [paths]
        self.by_folder = {}  # folder -> [paths] of the importable package
        for path in sorted(results):
            folder = posixpath.dirname(path)
            self.by_package.setdefault((folder, results[path].package), []).append(path)
            if not path.endswith("_test.go"):
                self.by_folder.setdefault(folder, []).append(path)
        self._modules = {}  # folder -> (module folder, module path) or None
        self._known = {}  # module path -> module folder
        self._packages = {}  # import path -> package folder or None
        # In a fixed order: of two go.mod files that claim the same module
        # path, the first folder keeps it on every run.
        for folder in sorted({folder for folder, _ in self.by_package}):
            self.module_of(folder)

    def module_of(self, folder: str):
        """(module folder, module path) of the nearest go.mod at or above
        `folder`, or None.  Each folder is looked at once, however deep the
        tree."""
        return nearest(folder, self._modules, self._own_module)

    def _own_module(self, folder: str):
        manifest = posixpath.join(folder, "go.mod")
        text = read_settings(self.root, manifest) if has_settings(self.root, manifest) else None
        if text is None:
            return NOT_HERE
        match = _MODULE_LINE.search(text)
        if not match:
            return None  # a go.mod without a module line ends the search too
        self._known.setdefault(match.group(1), folder)
        return (folder, match.group(1))

    def package_folder(self, import_path: str) -> str | None:
        """The project folder of the package `import_path`: the longest
        module path of a go.mod in the project that it starts with."""
        if import_path in self._packages:
            return self._packages[import_path]
        found = None
        prefix = import_path
        while prefix:
            folder = self._known.get(prefix)
            if folder is not None:
                rest = import_path[len(prefix) :].lstrip("/")
                target = posixpath.join(folder, rest) if folder else rest
                found = target.rstrip("/") if target in self.by_folder else None
                break
            cut = prefix.rfind("/")
            prefix = prefix[:cut] if cut > 0 else ""
        else:
            # No module claims it: a GOPATH-style tree keeps packages under
            # their import path, from the root or from src/.
            for folder in (import_path, "src/" + import_path):
                if folder in self.by_folder:
                    found = folder
                    break
        self._packages[import_path] = found
        return found

    def declaring(self, files, name: str) -> str | None:
        for path in files:
            if name in self.defined[path]:
                return path
        return None

    @staticmethod
    def main_file(folder: str, files: list) -> str:
        """The file that stands for a whole package: `<package>.go`,
        `doc.go`, else the first."""
        for name in (posixpath.basename(folder) + ".go", "doc.go"):
            for path in files:
                if posixpath.basename(path) == name:
                    return path
        return files[0]


def resolve_go_edges(root: str, results: dict, imports: set, calls: set, extends: set) -> None:
    """Add the edges of Go files to the sets."""
    if not results:
        return
    resolver = GoResolver(root, results)
    for path, result in results.items():
        folder = posixpath.dirname(path)
        own = resolver.defined[path]
        siblings = [p for p in resolver.by_package.get((folder, result.package), ()) if p != path]
        packages = {}  # local name -> files of the imported package
        for import_path, alias in result.imports:
            target = resolver.package_folder(import_path)
            if target is None:
                continue
            files = resolver.by_folder[target]
            if alias in ("_", "."):
                imports.add((path, resolver.main_file(target, files)))
                if alias == ".":
                    siblings = siblings + files
                continue
            packages[alias or posixpath.basename(import_path)] = (target, files)
        linked = set()  # packages with an edge to a file that declares a used name
        for refs, out in ((result.refs, calls), (result.bases, extends)):
            for ref in refs:
                head, _, rest = ref.partition(".")
                if head in packages and rest:
                    target = resolver.declaring(packages[head][1], rest.split(".", 1)[0])
                    if target:
                        linked.add(head)
                        imports.add((path, target))
                elif head not in own and head not in packages:
                    target = resolver.declaring(siblings, head)
                else:
                    target = None
                if target and target != path:
                    out.add((path, target))
        for local, (target, files) in packages.items():
            if local not in linked:
                imports.add((path, resolver.main_file(target, files)))
