"""One extractor per language, behind one interface.

An extractor module has `summarize(result, data, grammar) -> FileResult`:
it fills a fresh `FileResult` from the file's raw bytes with the summary
record, the symbols and the raw references its language's resolver reads.
Modules are imported on first use, so a project without Go files never
loads the Go grammar.
"""

from __future__ import annotations

import importlib

# File suffix -> (language, grammar).  The language picks the extractor
# and the resolver; the grammar picks the parser.
SUFFIXES = {
    ".py": ("python", "python"),
    ".ts": ("typescript", "typescript"),
    ".mts": ("typescript", "typescript"),
    ".cts": ("typescript", "typescript"),
    ".tsx": ("typescript", "tsx"),
    ".js": ("javascript", "javascript"),
    ".jsx": ("javascript", "javascript"),
    ".mjs": ("javascript", "javascript"),
    ".cjs": ("javascript", "javascript"),
    ".go": ("go", "go"),
    ".java": ("java", "java"),
    ".rs": ("rust", "rust"),
}

_MODULES = {"python": "python", "typescript": "ecmascript", "javascript": "ecmascript", "go": "golang", "java": "java", "rust": "rust"}


def suffix_of(name: str) -> str:
    dot = name.rfind(".")
    return name[dot:] if dot > 0 else ""


def grammar_of(name: str) -> tuple | None:
    """(language, grammar) of a file name, or None for other files."""
    return SUFFIXES.get(suffix_of(name))


def extractor(language: str):
    return importlib.import_module(f"{__name__}.{_MODULES[language]}")


def missing_package(grammar: str) -> str | None:
    """The package that must be installed to read `grammar` files, or None."""
    if grammar == "python":
        return None
    from .treesitter import missing_package as missing

    return missing(grammar)
