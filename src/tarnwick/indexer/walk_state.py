"""What a walk learned of each folder, kept for the next one.

Listing a folder and deciding each of its entries (ignore rules, languages,
vendored names) is most of a walk; with nothing changed it learns nothing
new.  A folder's own status changes whenever an entry is added, removed or
renamed in it (and on chmod and chown, through its change time), so a
folder whose device, inode, modification and change times are those it had
when it was listed still holds the same entries.  Its files' contents are
another matter: those change without a trace in the folder, so each source
file is still looked at (its size, modification and change times).  A file
whose change time lies after the start of the walk that kept the state (or
within `SETTLE_NS` of it) is not vouched for, even when its size and
modification time are as recorded: an edit can put both back (`touch -r`,
`cp -p`, an archive's or rsync's times), its change time no user call can
set back.  Such a file costs a read and a digest (`cache`), not a parse.
A state kept before it carried its walk's start vouches by size and time
alone, as it did, until its next write.

The record of a folder keeps, in listing order, one code per entry that
had an effect (`walk`), and the size and modification time of each source
file.  Whatever depends on more than the listing is decided again at every
walk: a file's size against the limit, a config file's status, whether a
folder left out is an environment, whether a `target` folder sits beside a
Cargo.toml.  The rules a folder's `.gitignore` adds are trusted only while
that file's status is unchanged; any change to one makes the walk start
afresh, as does any other setting of the walk (`key`).

A status taken within `SETTLE_NS` of the walk's start is not kept: a
change in the same clock tick could leave it as it was.

The state lives in the incremental cache (`cache_db`), written in the same
transaction as the rows it vouches for; it is untrusted input like the rest
of that file: anything of an unexpected shape only costs a full walk.  Its
records are packed in chunks of `CHUNK_FOLDERS` folders, each compressed
on its own after the compressed head (`pack`): a run that changed a few
folders packs only their chunks again.
"""

from __future__ import annotations

import json
import operator
import os
import stat
import zlib

FORMAT = 2
# Statuses this close to the start of the walk may hide a change in the
# same clock tick.
SETTLE_NS = 2_000_000_000
# A change time no file has.
NEVER = 1 << 64
STATE_LIMIT = 256 << 20
# Folders per chunk of the packed records.
CHUNK_FOLDERS = 256
# The packed head's length, before it.
_HEAD_SIZE = 4

# Folder flags: what the listing said about it.
ENV_BY_NAMES = 1  # holds pyvenv.cfg or conda-meta: an environment
HAS_BIN = 2  # holds bin/ (bin/activate makes it an environment)
HAS_SCRIPTS = 4  # holds Scripts/
HAS_GITIGNORE = 8
WAS_ENV = 16  # an environment when listed: its entries were not decided

# Entry codes.  Sources and declaration files carry their kind's index.
LINK = "L"
WALKED = "W"  # a folder walked into
DATA = "D"  # our own data folder
NAMED_OUT = "N"  # a folder left out by its name
VENDORED = "v"  # a folder of others' code by its name
RULED_OUT = "r"  # a folder left out by an ignore rule
TARGET = "t"  # a folder named target, not ruled out
TARGET_RULED = "T"  # a folder named target, ruled out
CONFIG = "C"
UNSUPPORTED = "U"
IGNORED = "I"  # a source file left out by a rule or the languages
UNADDRESSABLE = "X"
MINIFIED = "M"
SOURCE = 0x100
DECLARATION = 0x200

# A record: [rel, status, flags, .gitignore status, warnings, names joined
# by NUL, codes, languages of the UNSUPPORTED entries, [size, mtime_ns] of
# each source file].
REL, STATUS, FLAGS, GITIGNORE, WARNINGS, NAMES, CODES, LANGS, STAMPS = range(9)


def folder_status(st, started_ns: int):
    """What a folder's status must stay for its listing to hold, or None
    when it is too recent to tell."""
    if st.st_ctime_ns >= started_ns - SETTLE_NS or st.st_mtime_ns >= started_ns - SETTLE_NS:
        return None
    return [st.st_dev, st.st_ino, st.st_mtime_ns, st.st_ctime_ns]


def same_folder(st, status) -> bool:
    return status is not None and [st.st_dev, st.st_ino, st.st_mtime_ns, st.st_ctime_ns] == status


def file_status(path: str, started_ns: int):
    """The status of a settings file the walk read: None when there is
    none, False when it cannot vouch for the text (a link, too recent,
    unreadable), else what it must stay."""
    try:
        st = os.lstat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    except OSError:
        return False
    if not stat.S_ISREG(st.st_mode) or st.st_ctime_ns >= started_ns - SETTLE_NS or st.st_mtime_ns >= started_ns - SETTLE_NS:
        return False
    return [st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns]


def change_bound(walked_ns: int | None) -> int:
    """The change time from which on a file may have been rewritten since a
    walk that began at `walked_ns` looked at it (None: a walk of a state
    kept before this was recorded, which vouches by size and time alone)."""
    return NEVER if walked_ns is None else walked_ns - SETTLE_NS


def walk_key(root_real: str, max_file_bytes: int, excludes, use_gitignore: bool, languages) -> list:
    """The settings a walk's decisions depend on."""
    return [
        FORMAT,
        root_real,
        max_file_bytes,
        [str(pattern) for pattern in excludes],
        bool(use_gitignore),
        sorted(languages) if languages else None,
    ]


class WalkState:
    """The records of a walk's folders (`records`: rel -> record, in walk
    order), with what the whole walk depends on."""

    def __init__(
        self,
        key: list,
        kinds: list,
        info,
        prelude: list,
        records: dict,
        files: int = 0,
        unsettled=(),
        walked_ns=None,
        packed=(),
    ):
        self.key = key
        self.kinds = kinds  # [(language, grammar)], indexed by the source codes
        self.info = info  # status of .git/info/exclude
        self.prelude = prelude  # warnings of --exclude and .git/info/exclude
        self.records = records
        self.files = files  # the walk's source files
        # Files of the records whose cache row does not vouch for their
        # size and time (no row, or one too recent to tell): added to by
        # the run that keeps the state.
        self.unsettled = set(unsettled)
        # When the walk that made it began (None: a state kept before this
        # was recorded).
        self.walked_ns = walked_ns
        # (records, packed bytes) of each chunk of a state this one follows:
        # a chunk of the very same record objects is not packed again.
        self.packed = packed

    def changed_after(self) -> int:
        """A file whose change time is this or later may have been rewritten
        since the walk that made the state looked at it."""
        return change_bound(self.walked_ns)

    def encode(self) -> bytes:
        data = {
            "key": self.key,
            "kinds": self.kinds,
            "info": self.info,
            "prelude": self.prelude,
            "records": list(self.records.values()),
            "files": self.files,
            "unsettled": sorted(self.unsettled),
            "walked_ns": self.walked_ns,
        }
        return pack(data, self.packed)


def _packed_json(value) -> bytes:
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), check_circular=False)
    return zlib.compress(text.encode("utf-8", "surrogatepass"), 1)


def pack(data: dict, packed=()) -> bytes:
    """`data` (a state's fields, its records a list) as kept: the length of
    the packed head, the head (the other fields and the chunks' lengths),
    then each chunk of the records.  A chunk whose records are the very
    objects of the same chunk of `packed` ((records, bytes) per chunk) takes
    its bytes: the same bytes packing them again gives."""
    records = data["records"]
    chunks = []
    for index, start in enumerate(range(0, len(records), CHUNK_FOLDERS)):
        part = records[start : start + CHUNK_FOLDERS]
        old = packed[index] if index < len(packed) else None
        if old is not None and len(old[0]) == len(part) and all(map(operator.is_, part, old[0])):
            chunks.append(old[1])
        else:
            chunks.append(_packed_json(part))
    fields = {name: value for name, value in data.items() if name != "records"}
    head = _packed_json({**fields, "chunks": [len(chunk) for chunk in chunks]})
    return b"".join([len(head).to_bytes(_HEAD_SIZE, "little"), head, *chunks])


def _inflated(blob, limit: int):
    """The JSON value of one compressed part, and its text's length."""
    unpacker = zlib.decompressobj()
    text = unpacker.decompress(blob, limit)
    if unpacker.unconsumed_tail or unpacker.unused_data or not unpacker.eof:
        raise ValueError("damaged state")
    return json.loads(text.decode("utf-8", "surrogatepass")), len(text)


def unpack(blob) -> tuple | None:
    """(the fields `pack` was given, the (records, bytes) of each chunk), or
    None when `blob` is not a packed state."""
    if not isinstance(blob, bytes) or len(blob) < _HEAD_SIZE:
        return None
    size = int.from_bytes(blob[:_HEAD_SIZE], "little")
    try:
        data, used = _inflated(blob[_HEAD_SIZE : _HEAD_SIZE + size], STATE_LIMIT)
        left = STATE_LIMIT - used  # what the chunks may inflate to, in all
        lengths = data.get("chunks") if isinstance(data, dict) else None
        if not (
            isinstance(lengths, list)
            and all(type(length) is int and length > 0 for length in lengths)
            and _HEAD_SIZE + size + sum(lengths) == len(blob)
        ):
            return None
        at = _HEAD_SIZE + size
        records, chunks = [], []
        for length in lengths:
            chunk = blob[at : at + length]
            if left <= 0:
                return None
            part, used = _inflated(chunk, left)
            left -= used
            if not isinstance(part, list):
                return None
            records += part
            chunks.append((part, chunk))
            at += length
    except (zlib.error, ValueError, RecursionError, UnicodeError):
        return None
    del data["chunks"]
    data["records"] = records
    return data, chunks


def decode(blob, key: list, known_kinds) -> WalkState | None:
    """The state kept in `blob` when it was made under `key`, else None.
    Only its frame is checked here; a record of another shape makes the
    walk that reads it start afresh."""
    unpacked = unpack(blob)
    if unpacked is None:
        return None
    data, packed = unpacked
    if data.get("key") != key:
        return None
    kinds, records, prelude = data.get("kinds"), data.get("records"), data.get("prelude")
    unsettled, files = data.get("unsettled"), data.get("files")
    if not (
        isinstance(kinds, list)
        and all(isinstance(kind, list) and tuple(kind) in known_kinds for kind in kinds)
        and isinstance(records, list)
        and isinstance(prelude, list)
        and all(isinstance(line, str) for line in prelude)
        and isinstance(unsettled, list)
        and all(isinstance(rel, str) for rel in unsettled)
        and type(files) is int
    ):
        return None
    by_rel = {}
    for record in records:
        if not (isinstance(record, list) and len(record) == 9 and isinstance(record[REL], str)):
            return None
        by_rel[record[REL]] = record
    walked_ns = data.get("walked_ns")
    if type(walked_ns) is not int:
        walked_ns = None
    kinds = [tuple(kind) for kind in kinds]
    return WalkState(key, kinds, data.get("info"), prelude, by_rel, files, unsettled, walked_ns, packed)
