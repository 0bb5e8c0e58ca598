"""Cross-file references of TypeScript and JavaScript files.

Module specifiers resolve the way bundlers and the TypeScript compiler do
for a project's own files: relative specifiers with the usual extension and
`index` rules (also `./m.js` naming the source `m.ts`; a folder by its
package.json "main" first, as Node.js does), then `paths` and
`baseUrl` of the nearest `tsconfig.json`/`jsconfig.json` (following its
`extends`).  Packages from a registry are outside the project and stay
unresolved.
"""

from __future__ import annotations

import json
import os
import posixpath
import re

from .refs import link_refs
from .settings_files import read_settings

EXTENSIONS = (".ts", ".tsx", ".js", ".jsx", ".mjs", ".cjs", ".mts", ".cts", ".d.ts")
# A compiled name in a specifier may stand for its TypeScript source.
_SOURCE_OF = {".js": (".ts", ".tsx"), ".jsx": (".tsx",), ".mjs": (".mts",), ".cjs": (".cts",)}
_CONFIG_NAMES = ("tsconfig.json", "jsconfig.json")
_MAX_HOPS = 4

_JSONC_TOKENS = re.compile(r'"(?:\\.|[^"\\])*"|//[^\n]*|/\*.*?\*/|,(?=\s*[}\]])', re.S)


def parse_jsonc(text: str):
    """JSON with comments and trailing commas, as tsconfig files are written."""
    return json.loads(_JSONC_TOKENS.sub(lambda m: m.group(0) if m.group(0).startswith('"') else "", text))


class _Config:
    """`baseUrl` and `paths` of one tsconfig, as project-relative folders."""

    def __init__(self, base_url: str | None, paths: dict):
        self.base_url = base_url
        self.paths = paths  # pattern -> [project-relative target patterns]

    def candidates(self, spec: str):
        best = None
        for pattern, targets in self.paths.items():
            if "*" in pattern:
                prefix, _, suffix = pattern.partition("*")
                if spec.startswith(prefix) and spec.endswith(suffix) and len(spec) >= len(prefix) + len(suffix):
                    if best is None or len(prefix) > len(best[0]):
                        best = (prefix, targets, spec[len(prefix) : len(spec) - len(suffix)])
            elif spec == pattern:
                best = (pattern + "\0", targets, None)
                break
        if best is not None:
            for target in best[1]:
                yield target.replace("*", best[2]) if best[2] is not None else target
        if self.base_url is not None:
            yield posixpath.join(self.base_url, spec) if self.base_url else spec


class JsResolver:
    def __init__(self, root: str, paths, results: dict):
        self.root = root
        self.paths = set(paths)
        self.results = results
        self.defined = {p: set(r.defined) for p, r in results.items()}
        self._configs = {}
        self._files = {}
        self._mains = {}  # folder -> its package.json "main" as a project path

    # -- configuration -------------------------------------------------------

    def _load_config(self, rel: str, depth: int = 0) -> dict:
        """compilerOptions of a tsconfig file, `extends` merged, with
        baseUrl/paths made project-relative."""
        text = read_settings(self.root, rel)
        try:
            data = parse_jsonc(text) if text is not None else None
        except ValueError:
            return {}
        if not isinstance(data, dict):
            return {}
        here = posixpath.dirname(rel)
        options = {}
        parent = data.get("extends")
        if isinstance(parent, str) and parent.startswith(".") and depth < 5:
            target = posixpath.normpath(posixpath.join(here, parent))
            if not target.endswith(".json"):
                target += ".json"
            if not target.startswith("../"):
                options.update(self._load_config(target, depth + 1))
        own = data.get("compilerOptions")
        if isinstance(own, dict):
            if isinstance(own.get("baseUrl"), str):
                options["baseUrl"] = posixpath.normpath(posixpath.join(here, own["baseUrl"]))
            if isinstance(own.get("paths"), dict):
                options["paths"] = own["paths"]
                options["pathsBase"] = here
        return options

    def config(self, folder: str) -> _Config | None:
        """The configuration that governs files in `folder` (the nearest
        tsconfig.json or jsconfig.json at or above it)."""
        if folder in self._configs:
            return self._configs[folder]
        found = None
        for name in _CONFIG_NAMES:
            rel = posixpath.join(folder, name) if folder else name
            if os.path.exists(os.path.join(self.root, rel)):
                options = self._load_config(rel)
                base_url = options.get("baseUrl")
                paths_base = base_url if base_url is not None else options.get("pathsBase", folder)
                paths = {}
                for pattern, targets in (options.get("paths") or {}).items():
                    if isinstance(targets, list):
                        paths[pattern] = [
                            posixpath.normpath(posixpath.join(paths_base, t)) for t in targets if isinstance(t, str)
                        ]
                if base_url == ".":
                    base_url = ""
                found = _Config(base_url, paths)
                break
        if found is None and folder:
            found = self.config(posixpath.dirname(folder))
        self._configs[folder] = found
        return found

    # -- modules ----------------------------------------------------------------

    def _probe(self, base: str) -> str | None:
        """The file a module path names, the way Node.js looks: the file
        itself or with an extension, else the folder's package.json "main",
        else its index file.  "" and "." are the project's own folder."""
        if base == "." or base == "":
            base = ""
        elif base == ".." or base.startswith("../") or base.startswith("/"):
            return None
        else:
            found = self._probe_file(base)
            if found is not None:
                return found
        main = self._package_main(base)
        if main is not None:
            found = self._probe_file(main) or self._probe_index(main)
            if found is not None:
                return found
        return self._probe_index(base)

    def _probe_file(self, base: str) -> str | None:
        paths = self.paths
        if base in paths:
            return base
        stem, ext = posixpath.splitext(base)
        for source_ext in _SOURCE_OF.get(ext, ()):
            if stem + source_ext in paths:
                return stem + source_ext
        for ext in EXTENSIONS:
            if base + ext in paths:
                return base + ext
        return None

    def _probe_index(self, folder: str) -> str | None:
        prefix = f"{folder}/index" if folder else "index"
        for ext in EXTENSIONS:
            if prefix + ext in self.paths:
                return prefix + ext
        return None

    def _package_main(self, folder: str) -> str | None:
        """The project path of the "main" entry of `folder`'s package.json
        (read once per folder), or None."""
        if folder in self._mains:
            return self._mains[folder]
        main = None
        text = read_settings(self.root, posixpath.join(folder, "package.json") if folder else "package.json")
        try:
            data = json.loads(text) if text is not None else None
        except (ValueError, RecursionError):
            data = None
        value = data.get("main") if isinstance(data, dict) else None
        if isinstance(value, str) and value.strip():
            target = posixpath.normpath(posixpath.join(folder, value.strip()))
            if target not in (".", "..") and not target.startswith(("../", "/")):
                main = target
        self._mains[folder] = main
        return main

    def file_for(self, importer: str, spec: str) -> str | None:
        """The project file that specifier `spec` names in `importer`."""
        folder = posixpath.dirname(importer)
        key = (folder, spec)
        if key in self._files:
            return self._files[key]
        found = None
        if spec.startswith(("./", "../")) or spec in (".", ".."):
            found = self._probe(posixpath.normpath(posixpath.join(folder, spec)))
        elif not spec.startswith("/") and ":" not in spec:
            config = self.config(folder)
            if config is not None:
                for candidate in config.candidates(spec):
                    found = self._probe(posixpath.normpath(candidate))
                    if found:
                        break
        self._files[key] = found
        return found

    # -- names ------------------------------------------------------------------

    def symbol_file(self, path: str | None, name: str, hops: int = 0) -> str | None:
        """The file that defines `name` exported by `path`, following
        re-exports."""
        if path is None or hops > _MAX_HOPS:
            return None
        if name in self.defined.get(path, ()):
            return path
        result = self.results.get(path)
        if result is None:
            return None
        binding = result.bindings.get(name)
        if binding is not None:
            return self._binding_file(path, binding, (), hops + 1)
        for spec in result.star:
            found = self.symbol_file(self.file_for(path, spec), name, hops + 1)
            if found:
                return found
        return None

    def _binding_file(self, path: str, binding: tuple, rest, hops: int) -> str | None:
        spec, imported = binding
        target = self.file_for(path, spec)
        if target is None:
            return None
        if imported == "*":
            return (self.symbol_file(target, rest[0], hops) if rest else None) or target
        if imported == "default":
            return target
        return self.symbol_file(target, imported, hops) or target

    def resolve_ref(self, path: str, dotted: str) -> str | None:
        parts = dotted.split(".")
        if parts[0] in self.defined[path]:
            return None
        binding = self.results[path].bindings.get(parts[0])
        if binding is None:
            return None
        return self._binding_file(path, binding, parts[1:], 1)


def resolve_js_edges(root: str, paths, results: dict, imports: set, calls: set, extends: set, implements: set) -> None:
    """Add the edges of TypeScript/JavaScript files to the four sets."""
    if not results:
        return
    resolver = JsResolver(root, paths, results)
    for path, result in results.items():
        for spec, _names in result.imports:
            target = resolver.file_for(path, spec)
            if target and target != path:
                imports.add((path, target))
        link_refs(path, ((result.refs, calls), (result.bases, extends), (result.implements, implements)), resolver.resolve_ref)
