"""Which files' edges a run makes again, and the edges of the others taken
over from the cache.

A file's edges are a function of what its resolution read.  The Python
resolver records it, as keys: the name of every module file it looked for
(found or not, `resolve_python.existence_key`), every package marker
(`__init__.py`) it looked for, and every file whose definitions and imports
it followed (re-exports and star imports included).  A file that comes or
goes changes its path's keys; one parsed again with other definitions or
import records (`cache.reference_shape`) its path; the files that read a
changed key are resolved again (`cache_db`'s ``reads``), and so are the
files parsed again.

The other resolvers read settings files (tsconfig.json, package.json,
go.mod, Cargo.toml) and tables built from all their files: each resolves
all of its files again when any of them is parsed again, any file comes or
goes, or a settings file changed.
"""

from __future__ import annotations

from .cache import reference_shape
from .linkage import EDGE_KINDS, GROUPS, resolve_edges
from .parsed import language_of, languages, paths_of
from .resolve_python import existence_key

NO_EDGES = tuple(() for _ in EDGE_KINDS)


def plan(paths: list, parsed: dict, previous: set, fresh: set, old: dict, linked: set, settings_changed: bool, readers):
    """(the Python files to resolve, the `GROUPS` to resolve whole).

    `parsed` maps each parsed file to its result, `previous` holds the
    files of the previous run, `fresh` those parsed this run (`old` maps
    them to their previous result, when known), `linked` the unchanged
    files whose previous edges are at hand; `readers(keys)` gives the files
    whose resolution read one of `keys`."""
    current = set(paths)
    comings_and_goings = (current - previous) | (previous - current)
    keys = set(comings_and_goings)
    keys.update(existence_key(path) for path in comings_and_goings)
    keys.update(path for path in fresh if old.get(path) != reference_shape(parsed.get(path)))
    python = {path for path in readers(keys) if path in parsed and language_of(parsed, path) == "python"}
    groups = set()
    if settings_changed or comings_and_goings:
        # Every resolver with files runs: each file's language is asked.
        unlinked, every = paths_of(parsed), True
    else:
        # The files parsed again or whose edges the cache does not keep,
        # found by set operations: a one-edit run asks the languages of few.
        unlinked, every = paths_of(parsed) - (linked - fresh), False
    for path in unlinked:
        language = language_of(parsed, path)
        if language == "python":
            if path in fresh or path not in linked:
                python.add(path)
            continue
        group = GROUPS.get(language)
        if group is not None and (every or path in fresh or path not in linked):
            groups.add(group)
    return python, groups


def link(cache, root: str, paths: list, parsed: dict, todo: dict, links: dict, settings_changed: bool, warnings: list) -> tuple:
    """Each parsed file's edges (per kind, its sorted targets): made again
    for the files `plan` names, taken from the cache for the others when
    asked for (`KeptEdges`); and for each file resolved, the keys its
    resolution read now and before.  `todo` maps the files parsed again to
    their sources, `links` holds the unchanged ones whose edges the cache
    keeps."""
    old = {rel: reference_shape(cache.old_result(source)) for rel, source in todo.items()}
    python, groups = plan(
        paths,
        parsed,
        cache.previous_paths,
        set(todo),
        old,
        links,
        settings_changed,
        lambda keys: cache.db.readers(keys, parsed),
    )
    reads = {}
    pairs = resolve_edges(paths, parsed, root, warnings, python, groups, reads)
    resolved = set(python)
    if groups:  # each file's language asked only when another resolver ran
        resolved.update(path for path, language in languages(parsed) if GROUPS.get(language) in groups)
    edges = KeptEdges(edges_by_file(pairs, resolved), cache.edges)
    keys = {}
    for path in resolved:
        keys[path] = (reads.get(path, ()), cache.old_reads(path))
    return edges, keys


class KeptEdges(dict):
    """The edges of the files resolved in this run, and through `get` those
    of the others, read from the cache one file at a time: a run that
    copies the kept files' blocks never reads them."""

    def __init__(self, resolved: dict, kept):
        super().__init__(resolved)
        self._kept = kept

    def get(self, path, default=None):
        found = super().get(path)
        return found if found is not None else self._kept(path)


def edges_by_file(pairs_by_kind, resolved) -> dict:
    """Each resolved file's edges, per kind its sorted targets (from the
    sorted (from, to) pairs of `resolve_edges`)."""
    out = {path: tuple([] for _ in EDGE_KINDS) for path in resolved}
    for kind, pairs in enumerate(pairs_by_kind):
        for source, target in pairs:
            out[source][kind].append(target)
    return out

