"""A failure to write the index names the file the user knows (with its
folder), never the temporary that stood in for it."""

from __future__ import annotations

import errno
import os
import sqlite3
import tempfile

import pytest

from tarnwick import atomic
from tarnwick.atomic import stands_for, told_by_its_file
from tarnwick.cli.index import main

DATA = "/p/.vestra"


@pytest.mark.parametrize(
    "name, real",
    [
        (".graph.json.4242.k2j4_x.tmp", "graph.json"),
        (".search.db.17.abc123.tmp", "search.db"),
        (".search.db.17.abc123.tmp-journal", "search.db"),
        (".index-cache.db.9.Zz_0.tmp", "index-cache.db"),
        ("graph.json", None),
        (".graph.json.tmp", None),  # no writer's process id
        ("notes.tmp", None),
    ],
)
def test_a_temporary_stands_for_the_file_its_name_gives(name, real):
    assert stands_for(os.path.join(DATA, name)) == (real and os.path.join(DATA, real))


TMP = f"{DATA}/.graph.json.4242.k2j4_x.tmp"


@pytest.mark.parametrize(
    "exc, path, told",
    [
        # The temporary named by the system: the file it stands in for.
        (PermissionError(errno.EACCES, "Permission denied", TMP), None, f"{DATA}/graph.json: Permission denied"),
        (OSError(errno.EXDEV, "Invalid cross-device link", TMP, f"{DATA}/graph.json"), None,
         f"{DATA}/graph.json: Invalid cross-device link"),
        # A write on a file the system does not name: the file being written.
        (OSError(errno.ENOSPC, "No space left on device"), f"{DATA}/search.db", f"{DATA}/search.db: No space left on device"),
        # The temporary's own file wins over the one the block writes.
        (PermissionError(errno.EACCES, "Permission denied", TMP), f"{DATA}/search.db", f"{DATA}/graph.json: Permission denied"),
        # Left as it is (None): no file to name, a real file named, our own text.
        (OSError(errno.ENOSPC, "No space left on device"), None, None),
        (OSError(errno.EIO, "Input/output error", f"{DATA}/graph.json"), f"{DATA}/search.db", None),
        (OSError(f"{DATA}/search.db: queries still read an older index"), f"{DATA}/search.db", None),
    ],
)
def test_an_error_is_told_by_the_users_file(exc, path, told):
    got = told_by_its_file(exc, path)
    if told is None:
        assert got is exc
    else:
        assert str(got) == told and type(got) is type(exc) and got.errno == exc.errno


def _project(root):
    (root / "a.py").write_text("def f():\n    return 1\n")
    assert main([str(root), "-q"]) == 0
    (root / "a.py").write_text("def g():\n    return 2\n")


def _refuse_temporaries(monkeypatch, name):
    real = tempfile.mkstemp

    def mkstemp(dir=None, prefix="", suffix=""):
        if prefix.startswith(f".{name}."):
            raise PermissionError(errno.EACCES, "Permission denied", os.path.join(dir, f"{prefix}q8z_1x{suffix}"))
        return real(dir=dir, prefix=prefix, suffix=suffix)

    monkeypatch.setattr(atomic.tempfile, "mkstemp", mkstemp)


def _fail_the_wal(monkeypatch, name):
    from tarnwick.indexer import publish

    def to_log_mode(path):
        raise sqlite3.OperationalError("disk I/O error")

    monkeypatch.setattr(publish, "to_log_mode", to_log_mode)


def _fail_on_the_built_index(monkeypatch, name):
    """A fault anywhere that names the search index's temporary."""
    from tarnwick.indexer import publish

    real = publish.set_graph_identity

    def set_graph_identity(tmp, identity):
        real(tmp, identity)
        raise OSError(errno.EIO, "Input/output error", tmp)

    monkeypatch.setattr(publish, "set_graph_identity", set_graph_identity)


@pytest.mark.parametrize(
    "fault, name, reason, flags",
    [
        (_refuse_temporaries, "graph.json", "Permission denied", ["--graph-file"]),
        # Without a graph file to place, a full run still stages the graph for the search index.
        (_refuse_temporaries, "graph.json", "Permission denied", []),
        (_refuse_temporaries, "structured_summaries.json", "Permission denied", []),
        (_refuse_temporaries, "manifest.json", "Permission denied", []),
        (_fail_the_wal, "search.db", "disk I/O error", []),
        # Only a placed graph file has its identity recorded in the built index.
        (_fail_on_the_built_index, "search.db", "Input/output error", ["--graph-file"]),
    ],
)
def test_a_failed_run_names_the_file_it_could_not_write(tmp_path, monkeypatch, capsys, fault, name, reason, flags):
    _project(tmp_path)
    capsys.readouterr()
    fault(monkeypatch, name)
    assert main([str(tmp_path), "-q", "--full", *flags]) == 1
    err = capsys.readouterr().err
    assert err == f"tarnwick-index: cannot write the index: {tmp_path / '.vestra' / name}: {reason}\n"
    assert not [p for p in os.listdir(tmp_path / ".vestra") if p.endswith(".tmp")]
