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
import stat

from .jsonc import parse_jsonc
from .refs import link_refs
from .settings_files import NOT_HERE, nearest, read_settings

EXTENSIONS = (".ts", ".tsx", ".js", ".jsx", ".mjs", ".cjs", ".mts", ".cts", ".d.ts")
# A compiled name in a specifier may stand for its TypeScript source.
_SOURCE_OF = {".js": (".ts", ".tsx"), ".jsx": (".tsx",), ".mjs": (".mts",), ".cjs": (".cts",)}
_CONFIG_NAMES = ("tsconfig.json", "jsconfig.json")
_MAX_HOPS = 4
# Far longer than any module path: a longer specifier is not looked up in `paths`.
_MAX_SPECIFIER = 1024


class _Config:
    """`baseUrl` and `paths` of one tsconfig, as project-relative folders.

    `paths` patterns are indexed by what comes before their `*`, so a
    specifier is compared only with the patterns that can match it, however
    many a settings file lists.
    """

    def __init__(self, base_url: str | None, paths: dict):
        self.base_url = base_url
        self.paths = paths  # pattern -> [project-relative target patterns]
        self._exact = {}
        # prefix -> {suffix -> (order, targets)}, and the suffix lengths met
        self._wild = {}
        self._suffix_lengths = {}
        for order, (pattern, targets) in enumerate(paths.items()):
            if "*" not in pattern:
                self._exact.setdefault(pattern, targets)
                continue
            prefix, _, suffix = pattern.partition("*")
            self._wild.setdefault(prefix, {}).setdefault(suffix, (order, targets))
            self._suffix_lengths.setdefault(prefix, set()).add(len(suffix))

    def _match(self, spec: str):
        """(targets, the text the `*` stands for) of the pattern that governs
        `spec`: an exact one, else the one with the longest prefix (the first
        listed among equals)."""
        if spec in self._exact:
            return self._exact[spec], None
        if len(spec) > _MAX_SPECIFIER:
            return None
        for cut in range(len(spec), -1, -1):
            suffixes = self._wild.get(spec[:cut])
            if suffixes is None:
                continue
            best = None
            for length in self._suffix_lengths[spec[:cut]]:
                if length > len(spec) - cut:
                    continue
                found = suffixes.get(spec[len(spec) - length :])
                if found is not None and (best is None or found[0] < best[0][0]):
                    best = (found, length)
            if best is not None:
                (_, targets), length = best
                return targets, spec[cut : len(spec) - length]
        return None

    def candidates(self, spec: str):
        matched = self._match(spec)
        if matched is not None:
            targets, star = matched
            for target in targets:
                yield target.replace("*", star) if star is not None else target
        if self.base_url is not None:
            yield posixpath.join(self.base_url, spec) if self.base_url else spec


def _is_file(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        return False


class JsResolver:
    def __init__(self, root: str, paths, results: dict, warnings: list | None = None):
        self.root = root
        # One line per settings file that could not be used.
        self.warnings = warnings if warnings is not None else []
        self._bad = set()
        # (file, name, hops) -> the file that defines it: a name looked for
        # through modules that re-export each other is followed once.
        self._found = {}
        self._stars: dict = {}  # path -> the files its `export *` lines name, in order
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
        except ValueError as exc:
            if rel not in self._bad:
                self._bad.add(rel)
                reason = str(exc).splitlines()[0] if str(exc) else "not valid"
                self.warnings.append(f"{rel}: not valid JSON ({reason}); its paths and baseUrl are not used")
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
        tsconfig.json or jsconfig.json at or above it).  Each folder is
        looked at once, however deep the tree."""
        return nearest(folder, self._configs, self._config_here)

    def _config_here(self, folder: str):
        config = self._own_config(folder)
        return NOT_HERE if config is None else config

    def _own_config(self, folder: str) -> _Config | None:
        """The configuration of a tsconfig.json or jsconfig.json in `folder`
        itself, or None."""
        for name in _CONFIG_NAMES:
            rel = posixpath.join(folder, name) if folder else name
            if not _is_file(os.path.join(self.root, rel)):
                continue
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
            return _Config(base_url, paths)
        return None

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
        key = (path, name, hops)
        if key not in self._found:
            self._found[key] = self._symbol_file(path, name, hops)
        return self._found[key]

    def _symbol_file(self, path: str, name: str, hops: int) -> str | None:
        if name in self.defined.get(path, ()):
            return path
        result = self.results.get(path)
        if result is None:
            return None
        binding = result.bindings.get(name)
        if binding is not None:
            return self._binding_file(path, binding, (), hops + 1)
        for target in self._star_targets(path, result.star):
            found = self.symbol_file(target, name, hops + 1)
            if found:
                return found
        return None

    def _star_targets(self, path: str, specifiers) -> list:
        # Asked again for every name a module is searched for: found once.
        targets = self._stars.get(path)
        if targets is None:
            targets = self._stars[path] = [self.file_for(path, specifier) for specifier in specifiers]
        return targets

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


def resolve_js_edges(
    root: str, paths, results: dict, imports: set, calls: set, extends: set, implements: set, warnings: list | None = None
) -> None:
    """Add the edges of TypeScript/JavaScript files to the four sets; a line
    for each settings file that cannot be used goes to `warnings`."""
    if not results:
        return
    resolver = JsResolver(root, paths, results, warnings)
    for path, result in results.items():
        for spec, _names in result.imports:
            target = resolver.file_for(path, spec)
            if target and target != path:
                imports.add((path, target))
        link_refs(path, ((result.refs, calls), (result.bases, extends), (result.implements, implements)), resolver.resolve_ref)
