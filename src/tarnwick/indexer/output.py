"""Writing the data files: JSON laid out one record per line, written
atomically (a temporary file in the same folder, flushed to disk, then
renamed over the old file), so a reader sees either the old file or the new
one, never a part of either."""

from __future__ import annotations

import json
import os
import tempfile

_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


def _lines_object(items) -> str:
    """A JSON object with one member per line; member order is kept."""
    body = ",\n".join(f"{_encode(key)}:{_encode(value)}" for key, value in items)
    return "{\n" + body + "\n}\n" if body else "{}\n"


def summaries_text(records: dict) -> str:
    """The summary store text: one file's record per line."""
    return _lines_object(records.items())


def graph_text(graph: dict) -> str:
    """The graph text: one node or edge per line."""
    parts = ["{\n"]
    for key, value in graph.items():
        if key in ("nodes", "edges"):
            continue
        parts.append(f"{_encode(key)}:{_encode(value)},\n")
    for key in ("nodes", "edges"):
        items = graph.get(key, [])
        parts.append(f"{_encode(key)}:[")
        if items:
            parts.append("\n" + ",\n".join(_encode(item) for item in items) + "\n")
        parts.append("],\n" if key == "nodes" else "]\n")
    parts.append("}\n")
    return "".join(parts)


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
