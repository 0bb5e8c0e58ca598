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

# Source files of languages no extractor reads, by suffix: counted, so a
# summary can say how much of a project the index does not see.
UNSUPPORTED = {
    **dict.fromkeys((".c", ".h"), "C"),
    **dict.fromkeys((".cc", ".cpp", ".cxx", ".hpp", ".hh", ".hxx"), "C++"),
    ".cs": "C#",
    ".rb": "Ruby",
    ".php": "PHP",
    **dict.fromkeys((".kt", ".kts"), "Kotlin"),
    ".swift": "Swift",
    ".scala": "Scala",
    **dict.fromkeys((".m", ".mm"), "Objective-C"),
    ".lua": "Lua",
    **dict.fromkeys((".pl", ".pm"), "Perl"),
    ".dart": "Dart",
    **dict.fromkeys((".ex", ".exs"), "Elixir"),
    ".erl": "Erlang",
    ".hs": "Haskell",
    ".ml": "OCaml",
    ".fs": "F#",
    ".clj": "Clojure",
    ".groovy": "Groovy",
    ".jl": "Julia",
    ".zig": "Zig",
    ".vue": "Vue",
    ".svelte": "Svelte",
    **dict.fromkeys((".sh", ".bash"), "shell"),
}

_MODULES = {"python": "python", "typescript": "ecmascript", "javascript": "ecmascript", "go": "golang", "java": "java", "rust": "rust"}


def suffix_of(name: str) -> str:
    dot = name.rfind(".")
    return name[dot:] if dot > 0 else ""


def grammar_of(name: str) -> tuple | None:
    """(language, grammar) of a file name, or None for other files."""
    return SUFFIXES.get(suffix_of(name))


def unsupported_language(name: str) -> str | None:
    """The language of a source file no extractor reads, or None."""
    return UNSUPPORTED.get(suffix_of(name))


def extractor(language: str):
    return importlib.import_module(f"{__name__}.{_MODULES[language]}")


def missing_package(grammar: str) -> str | None:
    """The package that must be installed to read `grammar` files, or None."""
    if grammar == "python":
        return None
    from .treesitter import missing_package as missing

    return missing(grammar)
