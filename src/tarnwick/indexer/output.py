"""Writing the data files: JSON laid out one record per line, written
atomically (a temporary file in the same folder, flushed to disk, then
renamed over the old file), so a reader sees either the old file or the new
one, never a part of either.  The files of one run are written together
(`write_files`) and stamped with one generation, which the manifest, written
last, names with every file's digest."""

from __future__ import annotations

import json
import os
import re
import signal
import tempfile
import time
from contextlib import contextmanager

from ..datadir import file_digest

_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode


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


def summaries_text(records) -> str:
    """The summary store: a JSON object with one file's record per line.

    `records` yields (path, record JSON text) pairs in file order.
    """
    body = ",\n".join(f"{_encode(path)}:{text}" for path, text in records)
    return "{\n" + body + "\n}\n" if body else "{}\n"


def graph_text(node_lines, edge_lines, generation: str | None = None) -> str:
    """The graph document with one node or edge per line.

    `node_lines` and `edge_lines` yield JSON texts, possibly several lines
    joined by ",\n" each, in their final order.
    """
    nodes = ",\n".join(t for t in node_lines if t)
    edges = ",\n".join(t for t in edge_lines if t)
    stamp = f'"generation":{_encode(generation)},\n' if generation is not None else ""
    return (
        '{\n"version":1,\n'
        + stamp
        + '"nodes":['
        + ("\n" + nodes + "\n" if nodes else "")
        + '],\n"edges":['
        + ("\n" + edges + "\n" if edges else "")
        + "]\n}\n"
    )


def manifest_text(generation: str, files) -> bytes:
    """The manifest naming the run's generation and the size and digest of
    each (name, bytes) file of it."""
    entries = {name: file_digest(data) for name, data in files}
    return (_encode({"generation": generation, "files": entries}) + "\n").encode("utf-8")


def new_generation() -> str:
    """A stamp unique to one indexing run: its time and a random part."""
    return time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()) + "-" + os.urandom(4).hex()


# Temporaries are named ".<file>.<pid>.<random>.tmp", so that a later run can
# tell whether the process that wrote one is still at work; a database built
# in one may leave its journal beside it.
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.(?P<pid>[0-9]+)\.[A-Za-z0-9_]+\.tmp(-journal|-wal|-shm)?")
# Names of the data files' temporaries before they carried the process id.
_OLD_TEMPORARY = re.compile(r"\.(structured_summaries|graph)\.json\.[A-Za-z0-9_]{8}\.tmp")
OLD_TEMPORARY_AGE = 3600.0


def _running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # exists, owned by someone else
        return True
    return True


def sweep_temporaries(directory: str) -> list:
    """Remove what runs that were killed left behind in `directory`: our
    temporaries whose writer is no longer running.  Returns their names."""
    removed = []
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return removed
    now = time.time()
    for entry in entries:
        match = _TEMPORARY.fullmatch(entry.name)
        try:
            if match:
                stale = not _running(int(match["pid"]))
            elif _OLD_TEMPORARY.fullmatch(entry.name):
                stale = now - entry.stat(follow_symlinks=False).st_mtime > OLD_TEMPORARY_AGE
            else:
                continue
            if stale and entry.is_file(follow_symlinks=False):
                os.unlink(entry.path)
                removed.append(entry.name)
        except OSError:
            continue
    return removed


def _default_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def _write_temporary(directory: str, name: str, data) -> str:
    path = os.path.join(directory, name)
    try:
        mode = os.stat(path).st_mode & 0o7777
    except OSError:
        mode = _default_mode()
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{name}.{os.getpid()}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            # A large file may come as a list of pieces, never joined in memory.
            if isinstance(data, list):
                f.writelines(data)
            else:
                f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
    except BaseException:
        _unlink(tmp)
        raise
    return tmp


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


STOP_SIGNALS = {getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)}


@contextmanager
def signals_held(signals=STOP_SIGNALS):
    """Hold back `signals` for the block (delivered when it ends), where the
    platform can."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def stage_files(directory: str, files) -> list:
    """Write each (name, bytes or list of bytes) file of `files` to a
    temporary in `directory`, flushed to disk; returns the (temporary, name)
    pairs for `commit_files`.  A failure (a full disk, an interruption)
    removes the temporaries already written and replaces nothing."""
    staged = []
    try:
        for name, data in files:
            staged.append((_write_temporary(directory, name, data), name))
    except BaseException:
        discard_staged(staged)
        raise
    return staged


def discard_staged(staged) -> None:
    """Remove the temporaries of `staged` that were not committed."""
    for tmp, _ in staged:
        _unlink(tmp)


def commit_files(directory: str, staged: list) -> dict:
    """Rename the temporaries of `staged` over their files, in order; each
    pair is removed from `staged` once in place.  Returns the status of each
    file as this call placed it, taken through an open handle: another
    process replacing the name right after cannot lend us its file.

    The renames run with Ctrl-C and termination held back; the caller
    removes what is left in `staged` should one fail (`discard_staged`).
    """
    placed = {}
    with signals_held():
        while staged:
            tmp, name = staged[0]
            fd = os.open(tmp, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
            try:
                os.replace(tmp, os.path.join(directory, name))
                staged.pop(0)
                placed[name] = os.fstat(fd)  # after the rename, which sets its change time
            finally:
                os.close(fd)
    sync_folder(directory)
    return placed


def sync_folder(directory: str) -> None:
    """Make the renames in `directory` durable where the platform allows it."""
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


def write_files(directory: str, files) -> dict:
    """Replace each (name, bytes or list of bytes) file in `directory`, in
    the order given; returns their status as placed (see `commit_files`).

    Every temporary is written and flushed to disk before the first file is
    replaced, so a full disk or an interruption leaves all old files as they
    were and no temporary behind.  The replacements run with Ctrl-C and
    termination held back; the last file named should be the one that
    commits the set (the manifest).
    """
    staged = stage_files(directory, files)
    try:
        return commit_files(directory, staged)
    finally:
        discard_staged(staged)
