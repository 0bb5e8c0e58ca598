"""The project's data directory `.vestra/`: its file names, safe reading,
and the check that its files come from the same indexing run.

Each run of the indexer stamps what it writes with one generation string:
`graph.json` carries it as its top-level "generation", and `manifest.json`,
replaced last, names it together with the size and digest of every file of
the run: SHA-256 over the length and SHA-256 of each of the file's chunks, whose lengths
(and digests, by which the next run rehashes only the chunks it changed)
`digests.json` keeps beside it.  An older manifest holds the SHA-256 of the
whole file instead, and is checked as such.  A reader that finds the generation or a file's digest differing
from the manifest is looking at a mixed set (a run that died between two
replacements, or a file copied in from elsewhere).

Hashing a large store on every query costs more than the rest of the check,
so once the set is in place the indexer also records each file's identity
(`identities.json`: device, inode, size, modification and change times).  A
file whose identity is unchanged since then is the one the run wrote; any
other is hashed.  The change time cannot be set back by ordinary means, so a
file replaced or edited since never passes for the recorded one.

Light at import: the query path uses it.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import stat
import time

DATA_DIR = ".vestra"
SUMMARIES_NAME = "structured_summaries.json"
GRAPH_NAME = "graph.json"
MANIFEST_NAME = "manifest.json"
IDENTITIES_NAME = "identities.json"
DIGESTS_NAME = "digests.json"

MANIFEST_LIMIT = 1 << 20
# A graph file larger than this is refused rather than read; no copy of a graph is allowed more.
GRAPH_LIMIT = 1 << 31
# A chunk list holds a few entries per thousand files: far less than this.
DIGESTS_LIMIT = 1 << 26
# The manifest's key for a digest made over chunks (an older one: "sha256").
CHUNKED = "chunked_sha256"


# Where the kernel names what a descriptor points to (Linux); elsewhere the path is walked.
_PATH_ONLY = getattr(os, "O_PATH", 0)
_DESCRIPTORS = "/proc/self/fd/"


def real_path(path) -> str:
    """`os.path.realpath(path)`: for a path that exists, resolved by the
    kernel in one walk (a fifth of the time of a walk here, which looks at
    every folder on the way); else as `os.path.realpath` does."""
    if _PATH_ONLY:
        try:
            fd = os.open(path, _PATH_ONLY | os.O_CLOEXEC)
        except OSError:
            return os.path.realpath(path)
        try:
            real = os.readlink(f"{_DESCRIPTORS}{fd}")
        except OSError:
            real = None
        finally:
            os.close(fd)
        # Not an absolute path: no such view of descriptors, or the file went away meanwhile.
        if real is not None and real.startswith("/") and not real.endswith(" (deleted)"):
            return real
    return os.path.realpath(path)


def resolve_inside(path, root) -> str | None:
    """`path` with all links resolved when it lies in `root` (resolved too),
    else None."""
    real = real_path(path)
    base = real_path(root)
    return real if real == base or real.startswith(base.rstrip(os.sep) + os.sep) else None


def is_inside(path, root) -> bool:
    """True when `path`, all links resolved, lies in `root` (resolved too)."""
    return resolve_inside(path, root) is not None


def read_regular(path, limit: int) -> bytes:
    """The bytes of the regular file `path`, at most `limit` of them.

    Never blocks on a FIFO or a device: anything but a regular file raises
    OSError, as does a file larger than `limit`.
    """
    return read_regular_file(path, limit)[0]


def read_regular_file(path, limit: int) -> tuple:
    """`read_regular`, and the status of the very file that was read."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise OSError(errno.EINVAL, "not a regular file", os.fspath(path))
        if info.st_size > limit:
            raise OSError(errno.EFBIG, f"larger than {limit} bytes", os.fspath(path))
        chunks = []
        left = limit + 1
        while left > 0:
            # The whole file in one read where it can (one copy of a large
            # graph instead of a join of pieces).
            chunk = os.read(fd, min(left, max(info.st_size + 1, 1 << 16)))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        data = b"".join(chunks)
        if len(data) > limit:
            raise OSError(errno.EFBIG, f"larger than {limit} bytes", os.fspath(path))
        return data, info
    finally:
        os.close(fd)


def chunk_digests(data, lengths) -> list:
    """The SHA-256 of each chunk of `data` (bytes or a mapping), cut at
    `lengths` (which sum to its size)."""
    import hashlib

    digests = []
    at = 0
    with memoryview(data) as view:
        for length in lengths:
            digests.append(hashlib.sha256(view[at : at + length]).digest())
            at += length
    return digests


def chunked_root(lengths, digests) -> str:
    """What the manifest records of a file cut into chunks of these lengths
    and digests: SHA-256 over each chunk's length (8 bytes, little-endian)
    and SHA-256."""
    import hashlib

    return hashlib.sha256(b"".join(length.to_bytes(8, "little") + digest for length, digest in zip(lengths, digests))).hexdigest()


def chunks_entry(lengths, digests) -> dict:
    """One file's entry of `digests.json`."""
    return {"lengths": list(lengths), "sha256": b"".join(digests).hex()}


def read_chunks(root, name: str, expected: dict) -> tuple | None:
    """(lengths, digests) of the file `name` as `digests.json` lists them,
    when they make the size and digest the manifest's entry `expected`
    records; else None (no list, a damaged one, or one of another run)."""
    path = os.path.join(root, DATA_DIR, DIGESTS_NAME)
    if not is_inside(path, root):
        return None
    try:
        entry = json.loads(read_regular(path, DIGESTS_LIMIT))["files"][name]
        lengths, text = entry["lengths"], entry["sha256"]
        digests = bytes.fromhex(text) if type(text) is str else None
    except (OSError, ValueError, TypeError, KeyError, RecursionError):
        return None
    if (
        type(lengths) is not list
        or digests is None
        or len(digests) != 32 * len(lengths)
        or not all(type(length) is int and length > 0 for length in lengths)
        or sum(lengths) != expected.get("size")
    ):
        return None
    digests = [digests[i : i + 32] for i in range(0, len(digests), 32)]
    return (lengths, digests) if chunked_root(lengths, digests) == expected.get(CHUNKED) else None


def digest_holds(root, name: str, data, expected: dict, chunks=None) -> bool:
    """True when `data` (the bytes of the file `name`) is what the manifest's
    entry `expected` records: by its chunks (`chunks`, else as
    `digests.json` lists them) or, from an older manifest, whole."""
    if CHUNKED not in expected:
        import hashlib

        return hashlib.sha256(data).hexdigest() == expected.get("sha256")
    chunks = chunks or read_chunks(root, name, expected)
    return chunks is not None and sum(chunks[0]) == len(data) and chunked_root(chunks[0], chunk_digests(data, chunks[0])) == expected[CHUNKED]


def source_digest(data: bytes) -> str:
    """The digest of a source file's content as the index records it (the
    indexer's cache and the search index's `sources` table)."""
    import hashlib

    return hashlib.blake2b(data, digest_size=16).hexdigest()


def file_identity(info: os.stat_result) -> list:
    """What `identities.json` records of one file."""
    return [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns]


def record_identities(data_dir: str, generation: str, manifest: bytes, placed: dict, clock=None, written=None) -> None:
    """Let readers know the set's files without hashing them again.

    Only a shortcut: where it cannot be recorded safely (a full disk, a file
    system whose clock is too coarse) readers hash, so nothing here fails
    the run.  File times have a coarse clock: an edit in the same tick as
    the recorded state would keep its times.  So the tick is waited out
    first (`clock(data_dir, change_ns)`, by default `clock_passed`), and only then is each
    file's content checked against the digest the run wrote; a later edit
    gets later times.  `placed` holds the status of each file as the run
    placed it: a file found under the name that is not that one (another
    process replaced it) is not vouched for.

    `written` holds each file's status as the run finished writing it:
    when the file was placed in a later clock tick than its last write and
    still has that write's time, nothing wrote it after the run (a write in
    the tick of its placing would have moved its modification time), and it
    is not read again (at 100,000 files a gigabyte).
    """
    from .atomic import write_files  # the writer's side: kept off the query path's imports

    clock = clock or clock_passed
    names = tuple(name for name in (SUMMARIES_NAME, GRAPH_NAME) if name in placed)
    try:
        entries = {name: file_identity(placed[name]) for name in names}
        if not clock(data_dir, max(entry[4] for entry in entries.values())):
            return
        digests = json.loads(manifest)["files"]
        for name in names:
            path = os.path.join(data_dir, name)
            if _untouched(placed[name], (written or {}).get(name)):
                if file_identity(os.stat(path)) != entries[name]:
                    return
                continue
            data, info = read_regular_file(path, entries[name][2])
            expected = digests[name]
            if file_identity(info) != entries[name] or len(data) != expected["size"] or not digest_holds(os.path.dirname(data_dir), name, data, expected):
                return
        text = json.dumps({"generation": generation, "files": entries}, sort_keys=True)
        write_files(data_dir, [(IDENTITIES_NAME, text.encode("ascii"))])
    except (OSError, ValueError, KeyError):
        pass


def _untouched(placed: os.stat_result, written) -> bool:
    """True when the file `placed` is the one `written` describes, placed
    in a later clock tick than its last write."""
    return (
        written is not None
        and (placed.st_dev, placed.st_ino, placed.st_size, placed.st_mtime_ns)
        == (written.st_dev, written.st_ino, written.st_size, written.st_mtime_ns)
        and placed.st_ctime_ns > placed.st_mtime_ns
    )


def clock_passed(data_dir: str, change_ns: int, patience: float = 0.1) -> bool:
    """Wait until a file changed now gets a change time after `change_ns`."""
    # Named like our temporaries, so that a killed run's probe is swept.
    probe = os.path.join(data_dir, f".clock.{os.getpid()}.probe.tmp")
    deadline = time.monotonic() + patience
    try:
        while True:
            with open(probe, "wb"):
                pass
            if os.stat(probe).st_ctime_ns > change_ns:
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.001)
    finally:
        with contextlib.suppress(OSError):
            os.unlink(probe)


def read_manifest(root, name: str = MANIFEST_NAME) -> dict | None:
    """The manifest of `root`'s data directory (or its companion `name`), or
    None when there is none usable (an index written before manifests
    existed, or a damaged one)."""
    path = os.path.join(root, DATA_DIR, name)
    if not is_inside(path, root):
        return None
    try:
        manifest = json.loads(read_regular(path, MANIFEST_LIMIT).decode("utf-8"))
    except (OSError, ValueError, RecursionError):  # nested too deeply: damaged too
        return None
    if not isinstance(manifest, dict) or not isinstance(manifest.get("files"), dict):
        return None
    return manifest


def mixed_set_problem(root, graph_generation=None, names=(SUMMARIES_NAME,)) -> str | None:
    """Why the data files of `root` do not belong together, or None.

    `graph_generation` is the "generation" of the graph the caller loaded
    (None: not checked).  Each file in `names` is compared with the size and
    digest the manifest recorded for it.  Without a manifest nothing can be
    told, and None is returned.
    """
    manifest = read_manifest(root)
    if manifest is None:
        return None
    generation = manifest.get("generation")
    if graph_generation is not None and graph_generation != generation:
        return f"{GRAPH_NAME} is not from the indexing run that wrote {MANIFEST_NAME}"
    files = manifest["files"]
    identities = read_manifest(root, IDENTITIES_NAME)
    if identities is None or identities.get("generation") != generation:
        identities = {"files": {}}
    for name in names:
        expected = files.get(name)
        if not isinstance(expected, dict):
            continue
        known = identities["files"].get(name)
        path = os.path.join(root, DATA_DIR, name)
        if not _matches(root, name, expected, known):
            closed = _closed(path)
            if closed:
                return f"{name} cannot be read ({closed})"
            return f"{name} is not from the indexing run that wrote {MANIFEST_NAME}"
    return None


def _closed(path: str) -> str | None:
    """Why this user may not read ``path``, or None."""
    try:
        os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)))
    except PermissionError as exc:
        return exc.strerror
    except OSError:
        pass
    return None


def _matches(root, name: str, expected: dict, known_identity=None) -> bool:
    size = expected.get("size")
    if not isinstance(size, int):
        return True
    path = os.path.join(root, DATA_DIR, name)
    try:
        info = os.stat(path)
        # The size first: it settles most mismatches without reading.
        if info.st_size != size:
            return False
        if known_identity is not None and file_identity(info) == known_identity:
            return True
        data = read_regular(path, size)
    except OSError:
        return False
    # With identities recorded, a query rarely gets here.
    return digest_holds(root, name, data, expected)
