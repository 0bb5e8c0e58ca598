"""The data files' text: JSON laid out one record per line.  The files of one
run are placed together (`publish`, with `tarnwick.atomic`) and stamped
with one generation, which the manifest, written last, names with every
file's digest."""

from __future__ import annotations

import json
import os
import time


_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
# The string writer that encoder uses (non-ASCII kept).
_quoted = json.encoder.encode_basestring


def encode(value) -> str:
    """Compact JSON text of one value (non-ASCII kept as is)."""
    return _encode(value)


# The summary store leaves out every member that holds the value its readers
# take for a missing one, and writes a variable without users as its bare
# name: the store is parsed whole on every query, and this makes it about a
# fifth smaller and quicker to load.  Escaping non-ASCII keeps the text on
# the decoder's fast path, which one accented letter anywhere would leave.
_AS_ABSENT = {
    "record": {
        "description": ("",),
        "functions": ({},),
        "classes": ({},),
        "variables": ([],),
        "internal_graph": ([],),
        "imports": ([],),
    },
    "function": {
        "params": ("", []),
        "returns": ("",),
        "async": (False,),
        "calls_internal": ([],),
        "calls_external": ([],),
        "decorators": ([],),
        "description": ("",),
    },
    "class": {"bases": ("", []), "methods": ([],), "description": ("",)},
    "edge": {"rel": ("calls",)},
    "import": {"names": ([],)},
}
_encode_ascii = json.JSONEncoder(separators=(",", ":")).encode


def _without_defaults(value, kind: str):
    if not isinstance(value, dict):
        return value
    defaults = _AS_ABSENT[kind]
    return {
        key: member
        for key, member in value.items()
        if not any(type(member) is type(d) and member == d for d in defaults.get(key, ()))
    }


def _lean_variable(entry):
    if isinstance(entry, dict) and entry.get("used_by") == [] and entry.keys() == {"name", "used_by"}:
        name = entry["name"]
        if isinstance(name, str) and name:  # an empty string would be shown, the empty name is not
            return name
    return entry


def lean_record(record: dict) -> dict:
    """A summary record without the members its readers default alike."""
    lean = _without_defaults(record, "record")
    for key, kind in (("functions", "function"), ("classes", "class")):
        if isinstance(lean.get(key), dict):
            lean[key] = {name: _without_defaults(info, kind) for name, info in lean[key].items()}
    for key, kind in (("internal_graph", "edge"), ("imports", "import")):
        if isinstance(lean.get(key), list):
            lean[key] = [_without_defaults(item, kind) for item in lean[key]]
    if isinstance(lean.get("variables"), list):
        lean["variables"] = [_lean_variable(v) for v in lean["variables"]]
    return lean


def record_text(record: dict) -> str:
    """One summary record as it is stored (see `lean_record`)."""
    return _encode_ascii(lean_record(record))


def file_node(path: str, summary: str) -> dict:
    return {"id": path, "kind": "file", "path": path, "summary": summary}


def symbol_node(path: str, name: str, kind: str, start: int, end: int) -> dict:
    return {
        "id": f"{path}::{name}",
        "kind": "symbol",
        "path": path,
        "name": name,
        "symbol_kind": kind,
        "line_start": start,
        "line_end": end,
    }


def edge(frm: str, to: str, rel: str) -> dict:
    return {"from": frm, "to": to, "rel": rel}


# A file's nodes and "contains" edges are a worker's most frequent JSON texts:
# written from a template, without a dict and a pass of the encoder each.
_SYMBOL_NODE = '{{"id":{},"kind":"symbol","path":{},"name":{},"symbol_kind":{},"line_start":{},"line_end":{}}}'.format
_EDGE = '{{"from":{},"to":{},"rel":{}}}'.format


def symbol_node_text(path: str, name: str, kind: str, start: int, end: int) -> str:
    """`encode(symbol_node(...))`, the same text."""
    if type(path) is str and type(name) is str and type(kind) is str and type(start) is int and type(end) is int:
        return _SYMBOL_NODE(_quoted(f"{path}::{name}"), _quoted(path), _quoted(name), _quoted(kind), start, end)
    return encode(symbol_node(path, name, kind, start, end))


def edge_text(frm: str, to: str, rel: str) -> str:
    """`encode(edge(...))`, the same text."""
    if type(frm) is str and type(to) is str and type(rel) is str:
        return _EDGE(_quoted(frm), _quoted(to), _quoted(rel))
    return encode(edge(frm, to, rel))


def manifest_text(generation: str, files) -> bytes:
    """The manifest naming the run's generation and the size and digest
    (`writer._Staged.digest`) of each (name, digest) file of it."""
    entries = dict(files)
    return (_encode({"generation": generation, "files": entries}) + "\n").encode("utf-8")


def new_generation() -> str:
    """A stamp unique to one indexing run: its time and a random part."""
    return time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()) + "-" + os.urandom(4).hex()
