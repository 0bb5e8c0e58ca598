"""Per-file analysis, in worker processes: read a source file and hand it to
its language's extractor.

`summarize_file` returns a `FileResult` holding the file's Summary record
(the shape the context packer reads from `structured_summaries.json`) as
JSON text, its symbols, and the raw references (imports, called names, base
classes) that the parent process resolves into cross-file graph edges once
every file is known.  It must be importable at module level and return only
picklable values.
"""

from __future__ import annotations

from ..datadir import read_regular
from .cache import READ_LIMIT, digest
from .extractors import extractor
from .extractors.python import decode_source, summarize_text
from .result import FileResult, encode_result

__all__ = ["FileResult", "encode_result", "decode_source", "summarize_text", "summarize_file", "looks_binary"]


def looks_binary(raw: bytes) -> bool:
    """A NUL byte near the start: no source text of ours holds one."""
    return b"\0" in raw[:8192]


def summarize_file(task: tuple) -> FileResult:
    """Worker entry: (relative path, absolute path[, language, grammar]) ->
    FileResult.

    Never raises for a bad file: read, decode and parse errors are reported
    in `FileResult.error`.
    """
    rel, abspath = task[0], task[1]
    language, grammar = task[2:4] if len(task) >= 4 else ("python", "python")
    try:
        # Only a regular file, read to a bound: the path may have been
        # swapped for a FIFO or a device since the walk saw it.
        raw = read_regular(abspath, READ_LIMIT)
    except OSError as exc:
        return FileResult(rel, error=f"cannot read: {exc.strerror or exc}", language=language)
    result = _summarize(rel, raw, language, grammar)
    result.digest = digest(raw)
    return result


def _summarize(rel: str, raw: bytes, language: str, grammar: str) -> FileResult:
    if looks_binary(raw):
        return FileResult(rel, error="binary file", language=language)
    try:
        result = extractor(language).summarize(FileResult(rel, language=language), raw, grammar)
        if result.error is not None:
            return result
        return encode_result(result, raw.decode("utf-8", "ignore"))
    except (ValueError, RecursionError, MemoryError) as exc:
        return FileResult(rel, error=f"{type(exc).__name__}: {exc}", language=language)
    except Exception as exc:  # one odd file must not end the whole run
        return FileResult(rel, error=f"cannot summarise: {type(exc).__name__}: {exc}", language=language)


def summarize_source(rel: str, raw: bytes) -> FileResult | None:
    """The record and symbols of one file's bytes as they are now, for a
    command that shows a file changed since the last run; None for a file
    in no language we read or one that cannot be parsed."""
    from .extractors import grammar_of

    kind = grammar_of(rel.rsplit("/", 1)[-1])
    if kind is None or looks_binary(raw):
        return None
    language, grammar = kind
    try:
        result = extractor(language).summarize(FileResult(rel, language=language), raw, grammar)
    except Exception:  # the index's record stands in for a file that cannot be read now
        return None
    return result if result.error is None and isinstance(result.record, dict) else None
