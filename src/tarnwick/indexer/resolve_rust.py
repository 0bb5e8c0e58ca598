"""Cross-file references of Rust files.

Each file's module path follows from where it lies under its crate's `src`
folder (the nearest `Cargo.toml` above it): `src/lib.rs` and `src/main.rs`
are the crate root, `src/a/mod.rs` and `src/a.rs` the module `a`.  Paths
starting with `crate`, `self` or `super` resolve from there; other paths
first in the current module, then at the crate root (names of other crates
stay unresolved).  `mod name;` leads to the child module's file.
"""

from __future__ import annotations

import posixpath

from .refs import link_refs
from .settings_files import NOT_HERE, has_settings, nearest, read_settings

_MAX_HOPS = 4
_ROOT_FILES = ("lib.rs", "main.rs")


class RustResolver:
    def __init__(self, root: str, results: dict):
        self.root = root
        self.results = results
        self.defined = {p: set(r.defined) for p, r in results.items()}
        self._crates = {}  # folder -> crate src folder or None
        self.module_of = {}  # path -> (crate src, module segments)
        self.modules = {}  # (crate src, module segments) -> path
        for path in sorted(results):
            crate = self.crate_src(posixpath.dirname(path))
            if crate is None or not path.startswith(crate + "/"):
                continue
            segments = tuple(path[len(crate) + 1 : -3].split("/"))
            if segments[-1] == "mod" or (len(segments) == 1 and segments[0] + ".rs" in _ROOT_FILES):
                segments = segments[:-1]
            self.module_of[path] = (crate, segments)
            self.modules.setdefault((crate, segments), path)

    def crate_src(self, folder: str) -> str | None:
        """The `src` folder of the crate whose Cargo.toml is nearest at or
        above `folder`, or None.  Each folder is looked at once, however
        deep the tree."""
        return nearest(folder, self._crates, self._own_crate)

    def _own_crate(self, folder: str):
        manifest = posixpath.join(folder, "Cargo.toml")
        if has_settings(self.root, manifest) and read_settings(self.root, manifest) is not None:
            return posixpath.join(folder, "src")
        return NOT_HERE

    @staticmethod
    def child_module(path: str, name: str, paths) -> str | None:
        """The file of `mod name;` declared in `path`."""
        folder, base = posixpath.split(path)
        if base not in ("mod.rs",) + _ROOT_FILES:
            folder = posixpath.join(folder, base[:-3])
        for candidate in (posixpath.join(folder, name + ".rs"), posixpath.join(folder, name, "mod.rs")):
            if candidate in paths:
                return candidate
        return None

    def resolve(self, path: str, segments: list, hops: int = 0) -> str | None:
        """The file that declares what the path `segments` names, seen from
        `path`."""
        where = self.module_of.get(path)
        if where is None or not segments or hops > _MAX_HOPS:
            return None
        crate, here = where
        head = segments[0]
        if head == "crate":
            return self._walk(crate, (), segments[1:], hops)
        if head in ("self", "super"):
            module = here
            rest = list(segments)
            if rest[0] == "self":
                rest = rest[1:]
            while rest and rest[0] == "super":
                module = module[:-1]
                rest = rest[1:]
            return self._walk(crate, module, rest, hops)
        return self._walk(crate, here, segments, hops) or (self._walk(crate, (), segments, hops) if here else None)

    def _walk(self, crate, module: tuple, rest: list, hops: int) -> str | None:
        full = module + tuple(rest)
        for k in range(len(full), len(module) - 1, -1):
            found = self.modules.get((crate, full[:k]))
            if found is None:
                continue
            remaining = full[k:]
            if not remaining or remaining[0] in self.defined[found]:
                return found
            binding = self.results[found].bindings.get(remaining[0])
            if binding is not None:  # a re-export (`pub use ...`)
                return self.resolve(found, list(binding) + list(remaining[1:]), hops + 1) or found
            return found
        return None

    def resolve_ref(self, path: str, ref: str) -> str | None:
        if "." in ref:  # a method called on a value
            return None
        segments = ref.split("::")
        result = self.results[path]
        head = segments[0]
        if head in ("crate", "self", "super"):
            return self.resolve(path, segments)
        binding = result.bindings.get(head)
        if binding is not None:
            return self.resolve(path, list(binding) + segments[1:])
        if ("mod", head) in result.imports:
            return self.resolve(path, ["self"] + segments)
        if len(segments) == 1 and head not in self.defined[path]:
            for star in result.star:
                found = self.resolve(path, list(star) + [head])
                if found and head in self.defined[found]:
                    return found
        return None


def resolve_rust_edges(root: str, paths, results: dict, imports: set, calls: set, extends: set, implements: set) -> None:
    """Add the edges of Rust files to the sets."""
    if not results:
        return
    resolver = RustResolver(root, results)
    known = set(paths)
    for path, result in results.items():
        for kind, name in result.imports:
            if kind == "mod":
                target = resolver.child_module(path, name, known)
            else:
                target = resolver.resolve(path, name.split("::"))
            if target and target != path:
                imports.add((path, target))
        link_refs(path, ((result.refs, calls), (result.bases, extends), (result.implements, implements)), resolver.resolve_ref)
