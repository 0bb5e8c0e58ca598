"""The Python resolver: maps imports and dotted names of a project's Python
files to its files."""

from __future__ import annotations

import posixpath

from .refs import link_refs

# Folders treated as import roots, besides the project root itself
# ("src layout": ROOT/src/pkg is imported as "pkg").
IMPORT_ROOTS = ("", "src/")

# Answers remembered at most, of module lookups and of files' defined names:
# both are worked out again the same way when forgotten, and a large
# project's would be most of the resolution's memory.
MEMO_LIMIT = 1 << 15
DEFINED_LIMIT = 1 << 12

def existence_key(path: str) -> str:
    """The key under which a resolution notes that it looked for the module
    file `path`: the module's own name, not the path.  A file that comes
    or goes changes the key, so it re-resolves every file that looked for
    a module of that name anywhere (few rows, at the price of a few files
    resolved in vain); the files a resolution read are keyed by their
    path."""
    folder, name = posixpath.split(path)
    return "?" + (posixpath.basename(folder) if name == "__init__.py" else posixpath.splitext(name)[0])


class _Defined(dict):
    """Each file's defined names as a set, made when first asked for: a run
    resolves a few files and reads the names of fewer.  At most
    `DEFINED_LIMIT` sets are held."""

    def __init__(self, results: dict):
        super().__init__()
        self.results = results

    def __missing__(self, path: str) -> set:
        if len(self) >= DEFINED_LIMIT:
            self.clear()
        names = self[path] = set(self.results[path].defined)
        return names

    def get(self, path, default=None):
        return self[path] if path in self.results else default


class Resolver:
    """Maps imports and dotted names of one project to its files."""

    def __init__(self, paths, results: dict):
        self.paths = set(paths)
        self.results = results  # path -> FileResult (parsed files only)
        self.defined = _Defined(results)
        # Memos hold each answer with the keys it read (paths looked for,
        # files whose names were followed), so that every file's resolution
        # knows all it read, memo hits included.  A module lookup reads the
        # same keys whenever it is made, so its memo may forget (at
        # `MEMO_LIMIT` answers); a name's search reads what earlier searches
        # left in its memo, which is therefore kept whole.
        self._module_cache = {}
        self._symbol_memo = {}
        # One string per key read, however often made: every file's reads hold them.
        self._keys = {}
        # The keys read by the resolutions under way, innermost last.
        self._reads = [set()]

    # -- modules ------------------------------------------------------------

    def _candidates(self, base: str, dotted: str):
        stem = dotted.replace(".", "/")
        if base:
            stem = f"{base}/{stem}" if stem else base
        if stem:
            yield stem + ".py"
            yield stem + "/__init__.py"
        else:
            yield "__init__.py"

    def module_file(self, importer: str, level: int, dotted: str) -> str | None:
        """The project file of module `dotted` imported from `importer` with
        `level` leading dots, or None when it lies outside the project."""
        importer_dir = posixpath.dirname(importer)
        key = (importer_dir, level, dotted)
        hit = self._module_cache.get(key)
        if hit is None:
            self._reads.append(set())
            found = self._module_file(importer_dir, level, dotted)
            if len(self._module_cache) >= MEMO_LIMIT:
                self._module_cache.clear()
            hit = self._module_cache[key] = (found, frozenset(self._reads.pop()))
        self._reads[-1].update(hit[1])
        return hit[0]

    def _module_file(self, importer_dir: str, level: int, dotted: str) -> str | None:
        found = None
        if level:
            base = importer_dir
            for _ in range(level - 1):
                if not base:
                    base = None
                    break
                base = posixpath.dirname(base)
            if base is not None:
                found = self._first(self._candidates(base, dotted))
        elif dotted:
            for root in IMPORT_ROOTS:
                found = self._first(self._candidates(root.rstrip("/"), dotted))
                if found:
                    break
            if found is None:
                marker = f"{importer_dir}/__init__.py" if importer_dir else "__init__.py"
                self._reads[-1].add(self._key(marker))
                # Asked of the paths, not of a set of every package folder:
                # a run resolves a few files of a large project.
                if marker not in self.paths:
                    # A script folder: the folder itself is on the path.
                    found = self._first(self._candidates(importer_dir, dotted))
        return found

    def _first(self, candidates):
        reads = self._reads[-1]
        for c in candidates:
            reads.add(self._key(existence_key(c)))
            if c in self.paths:
                return c
        return None

    def _key(self, key: str) -> str:
        return self._keys.setdefault(key, key)

    @staticmethod
    def _join(dotted: str, name: str) -> str:
        return f"{dotted}.{name}" if dotted else name

    # -- names --------------------------------------------------------------

    def symbol_file(self, path: str | None, name: str) -> str | None:
        """The file that defines `name` as seen from module file `path`,
        following re-exports and star imports.

        A depth-first search over (module, name) states in the order Python
        would look (own definitions, then an import binding, then each star
        import in turn), visiting each state once: modules that re-export or
        star-import each other in cycles cost time linear in the modules and
        imports, not in the paths between them.  Answers are remembered.
        """
        if path is None:
            return None
        key = (path, name)
        hit = self._symbol_memo.get(key)
        if hit is None:
            self._reads.append(set())
            found = self._search([key])
            hit = self._symbol_memo[key] = (found, frozenset(self._reads.pop()))
        self._reads[-1].update(hit[1])
        return hit[0]

    def _search(self, states: list) -> str | None:
        reads = set()
        self._reads.append(reads)
        try:
            return self._search_states(states, reads)
        finally:
            self._reads.pop()
            self._reads[-1].update(reads)

    def _search_states(self, states: list, reads: set) -> str | None:
        memo = self._symbol_memo
        seen = set()
        stack = list(reversed(states))
        while stack:
            state = stack.pop()
            path, name = state
            if path is None or state in seen:
                continue
            hit = memo.get(state)
            if hit is not None:
                reads.update(hit[1])
                if hit[0] is not None:
                    return hit[0]
                continue
            seen.add(state)
            reads.add(path)  # its definitions and imports decide
            if name in self.defined.get(path, ()):
                return path
            result = self.results.get(path)
            if result is None:
                continue
            binding = result.bindings.get(name)
            if binding is not None:
                target = self._binding_state(path, binding, [])
                if target is not None:
                    stack.append(target)
                continue
            stack.extend((self.module_file(path, level, module), name) for level, module in reversed(result.star))
        # Everything reachable from a state seen here was seen too: none of
        # them leads to a definition (as far as what this search read says).
        memo.update(dict.fromkeys(seen, (None, frozenset(reads))))
        return None

    def _binding_state(self, importer: str, binding: tuple, rest: list) -> tuple | None:
        """The (module file, name) an import binding plus the attribute
        parts `rest` lead to, or None when they name a module or nothing in
        the project."""
        level, module, attr = binding
        if attr is not None:
            sub = self.module_file(importer, level, self._join(module, attr))
            if sub is None:
                return self.module_file(importer, level, module), attr
            module = self._join(module, attr)
        # `module` names a module; walk the remaining attribute parts through
        # sub-modules, then look up the first part that is not a module.
        current = self.module_file(importer, level, module)
        if current is None:
            return None
        parts = list(rest)
        while parts:
            deeper = self.module_file(importer, level, self._join(module, parts[0]))
            if deeper is None:
                break
            module = self._join(module, parts.pop(0))
            current = deeper
        if not parts:
            return None  # a module object is not a definition
        return current, parts[0]

    def resolve_ref(self, path: str, dotted: str) -> str | None:
        """The project file that defines what `dotted` (as written in `path`)
        refers to, or None."""
        result = self.results[path]
        parts = dotted.split(".")
        head = parts[0]
        if head in self.defined[path]:
            return None
        binding = result.bindings.get(head)
        if binding is not None:
            target = self._binding_state(path, binding, parts[1:])
            return None if target is None else self.symbol_file(*target)
        return self._search([(self.module_file(path, level, module), head) for level, module in result.star])

    def import_targets(self, path: str, level: int, module: str, names: list):
        """Project files an import statement loads."""
        if names:
            for name in names:
                if name != "*":
                    sub = self.module_file(path, level, self._join(module, name))
                    if sub:
                        yield sub
                        continue
                target = self.module_file(path, level, module)
                if target:
                    yield target
            return
        # "import a.b.c": the deepest of a.b.c, a.b, a that is a project file.
        parts = module.split(".")
        while parts:
            target = self.module_file(path, level, ".".join(parts))
            if target:
                yield target
                return
            parts.pop()


def resolve_python_edges(
    paths: list, results: dict, imports: set, calls: set, extends: set, only=None, reads: dict | None = None
) -> None:
    """Add the edges of the Python files (of those in `only`, when given)
    to the sets; `reads` gets each resolved file's keys read (see
    `tarnwick.indexer.dependents`)."""
    resolver = Resolver(paths, results)
    for path in sorted(only) if only is not None else paths:
        result = results.get(path)
        if result is None:
            continue
        resolver._reads = [{path}]
        for level, module, names in result.imports:
            for target in resolver.import_targets(path, level, module, names):
                if target != path:
                    imports.add((path, target))
        link_refs(path, ((result.refs, calls), (result.bases, extends)), resolver.resolve_ref)
        forget = getattr(result, "forget_own", None)
        if forget is not None:  # read back from the spool if ever asked again
            forget()
        if reads is not None:
            # Held for every file until the run's rows are written: a tuple
            # takes a small part of a set's memory (kept in the set's order,
            # which the rows are written in).
            reads[path] = tuple(key for key in resolver._reads[0] if key != path)
