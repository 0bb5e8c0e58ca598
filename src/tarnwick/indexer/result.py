"""What a worker learns about one file, and its JSON texts."""

from __future__ import annotations

from dataclasses import dataclass, field

from ..search.content import add_source_fields
from ..search.documents import file_terms, pack_documents, symbol_terms
from ..search.weights import DEFAULT_WEIGHTS
from .output import edge_text, encode, file_node, record_text, symbol_node_text

# Fields of a `FileResult` the cache does not keep: its key, its content hash (kept in the
# entry), and what `encode_result` drops once it has turned them into JSON texts.
NOT_CACHED = {"cached": False}


@dataclass
class FileResult:
    """What one worker learns about one file.

    The reference fields `bindings` (local name -> record), `star` and
    `imports` hold the records of the file's language
    (`tarnwick.indexer.references`), read by that language's resolver.

    The incremental cache keeps every field but those marked `NOT_CACHED`.
    """

    path: str = field(metadata=NOT_CACHED)  # the cache's key
    record: dict | None = field(default=None, metadata=NOT_CACHED)
    error: str | None = None
    language: str = "python"
    # The grammar could not read all of the file; what parsed is kept.
    partial: bool = False
    # (name, symbol_kind, line_start, line_end) in source order; methods are
    # named "Class.method".
    symbols: list = field(default_factory=list, metadata=NOT_CACHED)
    # Names defined at module level (functions, classes, variables).
    defined: list = field(default_factory=list)
    bindings: dict = field(default_factory=dict)
    star: list = field(default_factory=list)
    imports: list = field(default_factory=list)
    # Dotted names called anywhere in the file (decorators included).
    refs: list = field(default_factory=list)
    # Dotted names used as base classes (embedded types in Go).
    bases: list = field(default_factory=list)
    # Dotted names of implemented interfaces (TypeScript, Java).
    implements: list = field(default_factory=list)
    # Type names used in declarations and expressions (Java).
    uses: list = field(default_factory=list)
    # Go: the package clause's name.
    package: str = ""
    # Content hash of the bytes read (for the incremental cache).
    digest: str | None = field(default=None, metadata=NOT_CACHED)  # the cache entry keeps it
    # Symbol name -> (parameter names, docstring first line, names used in
    # the body), for its search document; extractors that know them fill it.
    symbol_text: dict = field(default_factory=dict, metadata=NOT_CACHED)
    # Filled by `encode_result`, which also drops `record`, `symbols` and
    # `symbol_text`: the JSON texts of the record, of the file's nodes and of
    # its "contains" edges, (functions, methods, classes, symbols) counts,
    # and of the search documents (`pack_documents`): the term weights of
    # names and text of the file, then of each symbol in node order (text,
    # not dicts: a project's documents held as dicts would be most of the
    # run's memory).
    record_json: str = ""
    nodes_json: str = ""
    contains_json: str = ""
    counts: tuple = (0, 0, 0, 0)
    search_docs: str = "[]\n[]"


def encode_result(result: FileResult, text: str = "") -> FileResult:
    """Turn the record and symbols into JSON text (in the worker, so the
    parent only joins strings) and drop the structures themselves.

    ``text`` is the file as the packer reads it (UTF-8, undecodable bytes
    dropped): its words become a field of the file's and the symbols'
    search documents."""
    record = result.record
    path = result.path
    lines = text.splitlines()
    result.record_json = record_text(record)
    summary = record.get("description", "")
    nodes = [encode(file_node(path, summary))]
    names = [name for name, _, _, _ in result.symbols]
    docs = [file_terms(path, summary, names)]
    ids = []
    methods = 0
    texts = result.symbol_text
    for name, kind, start, end in result.symbols:
        nodes.append(symbol_node_text(path, name, kind, start, end))
        ids.append(f"{path}::{name}")
        methods += kind == "method"
        docs.append(symbol_terms(path, name, *texts.get(name, ())))
    spans = [(start, end) for _, _, start, end in result.symbols]
    add_source_fields(docs, lines, spans, DEFAULT_WEIGHTS.file_text, DEFAULT_WEIGHTS.symbol_text)
    result.search_docs = pack_documents(docs, encode)
    result.nodes_json = ",\n".join(nodes)
    ids.sort()
    result.contains_json = ",\n".join([edge_text(path, sid, "contains") for sid in ids])
    result.counts = (len(record["functions"]), methods, len(record["classes"]), len(ids))
    result.record = None
    result.symbols = []
    result.symbol_text = {}
    return result
