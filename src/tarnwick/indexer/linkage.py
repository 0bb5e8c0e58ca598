"""Cross-file resolution: the edges of the code graph.

Workers report each file's imports, called names and base classes as they
are written; once every file is known, `resolve_edges` hands each language's
files to its resolver (`resolve_python`, `resolve_js`, `resolve_java`,
`resolve_rust`, `resolve_go`), which maps module names to project files and
turns those references into file-to-file edges.
"""

from __future__ import annotations

from .parsed import languages, of_language
from .resolve_python import resolve_python_edges

EDGE_KINDS = ("imports", "calls", "extends", "implements", "references")

# The resolvers other than Python's, by the languages whose files they
# resolve: each resolves all of its files at once (see `dependents`).
GROUPS = {"typescript": "script", "javascript": "script", "java": "java", "rust": "rust", "go": "go"}


def resolve_edges(
    paths: list,
    results: dict,
    root: str | None = None,
    warnings: list | None = None,
    python=None,
    groups=None,
    reads: dict | None = None,
) -> tuple:
    """The cross-file edges of the project as five sorted lists of
    (from, to) pairs: imports, calls, extends, implements, references.

    `paths` lists every source file (parsed or not); `results` maps the
    parsed ones to their FileResult.  `root` is the project folder, where
    the resolvers of other languages read tsconfig.json and go.mod; a line
    for each such settings file that cannot be used goes to `warnings`.

    Only the edges from the Python files in `python` and from the files of
    the `groups` (of `GROUPS`) are made when these are given; `reads` gets
    each resolved Python file's keys read.
    """
    imports = set()
    calls = set()
    extends = set()
    implements = set()
    references = set()
    # Results taken over unchanged are made only as a resolver reads them:
    # Python's reads those of the files it follows, looked up one at a time.
    resolve_python_edges(paths, of_language(results, "python"), imports, calls, extends, python, reads)
    wanted = {language for language, group in GROUPS.items() if groups is None or group in groups}
    by_language = {}
    if wanted:  # the other resolvers read every file of their languages
        for path, language in languages(results):
            if language in wanted:
                by_language.setdefault(language, {})[path] = results[path]
    scripts = {**by_language.get("typescript", {}), **by_language.get("javascript", {})}
    if root is not None and scripts:
        from .resolve_js import resolve_js_edges

        resolve_js_edges(root, paths, scripts, imports, calls, extends, implements, warnings)
    if "java" in by_language:
        from .resolve_java import resolve_java_edges

        resolve_java_edges(by_language["java"], imports, calls, extends, implements, references)
    if root is not None and "rust" in by_language:
        from .resolve_rust import resolve_rust_edges

        resolve_rust_edges(root, paths, by_language["rust"], imports, calls, extends, implements)
    if root is not None and "go" in by_language:
        from .resolve_go import resolve_go_edges

        resolve_go_edges(root, by_language["go"], imports, calls, extends)
    return sorted(imports), sorted(calls), sorted(extends), sorted(implements), sorted(references)
