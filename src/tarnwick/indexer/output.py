"""Writing the data files: JSON laid out one record per line, written
atomically (a temporary file in the same folder, flushed to disk, then
renamed over the old file), so a reader sees either the old file or the new
one, never a part of either."""

from __future__ import annotations

import json
import os
import tempfile

_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def encode(value) -> str:
    """Compact JSON text of one value (non-ASCII kept as is)."""
    return _encode(value)


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


def summaries_text(records) -> str:
    """The summary store: a JSON object with one file's record per line.

    `records` yields (path, record JSON text) pairs in file order.
    """
    body = ",\n".join(f"{_encode(path)}:{text}" for path, text in records)
    return "{\n" + body + "\n}\n" if body else "{}\n"


def graph_text(node_lines, edge_lines) -> str:
    """The graph document with one node or edge per line.

    `node_lines` and `edge_lines` yield JSON texts, possibly several lines
    joined by ",\n" each, in their final order.
    """
    nodes = ",\n".join(t for t in node_lines if t)
    edges = ",\n".join(t for t in edge_lines if t)
    return (
        '{\n"version":1,\n"nodes":['
        + ("\n" + nodes + "\n" if nodes else "")
        + '],\n"edges":['
        + ("\n" + edges + "\n" if edges else "")
        + "]\n}\n"
    )


def _default_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def write_atomic(path: str, text: str) -> None:
    """Replace `path` with `text` (UTF-8) without ever exposing a partial file.

    A lone surrogate in a string (which some source literals can hold) is
    written as a JSON escape, which keeps the file valid UTF-8.
    """
    directory = os.path.dirname(os.path.abspath(path))
    data = text.encode("utf-8", "backslashreplace")
    try:
        mode = os.stat(path).st_mode & 0o7777
    except OSError:
        mode = _default_mode()
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    # Make the rename itself durable where the platform allows it.
    try:
        dir_fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)
