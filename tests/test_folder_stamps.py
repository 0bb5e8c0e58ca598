"""The walk's check of a folder's files against their kept stamps
(`tarnwick._stamps.check_folder`): one lstat per source file, or its entry
in a batch looked at beforehand (`stat_folders`), the same answers the
walk's own comparisons give."""

from __future__ import annotations

import gc
import os
import struct

import pytest

from tarnwick._stamps import check_folder as check_alone
from tarnwick._stamps import stat_folders

SOURCE, DECLARATION = "\u0100", "\u0200"
NEVER = 1 << 64
LIMIT = 1000


def folder(tmp_path, files: dict) -> tuple:
    """(prefix, names, codes, stamps as kept) of a folder of `files` (name ->
    code), each source file with its size and time as they are."""
    names, codes, stamps = [], "", []
    for name, code in files.items():
        path = tmp_path / name
        if not path.exists() and not path.is_symlink():
            path.write_text("x = 1\n")
        names.append(name)
        codes += code
        if code >= SOURCE:
            st = os.lstat(path)
            stamps += [st.st_size, st.st_mtime_ns]
    return str(tmp_path) + os.sep, names, codes, stamps


@pytest.fixture(params=["alone", "batched"])
def check_folder(request):
    """`check_folder` looking at each file itself, or taking the stamps a
    batch of the folder's record found just before."""
    if request.param == "alone":
        return check_alone

    def batched(prefix, names, codes, stamps, bound, limit):
        joined = "/".join(name if type(name) is str else "?" for name in names)
        _, files, firsts = stat_folders(prefix.rstrip(os.sep), [("", joined, codes)])
        (first,) = struct.unpack("=q", firsts)
        if first < 0:  # a record the batch cannot take: the check refuses it alike
            return check_alone(prefix, names, codes, stamps, bound, limit)
        return check_alone(prefix, names, codes, stamps, bound, limit, files, first)

    return batched


def ctimes_of(blob: bytes) -> list:
    return list(struct.unpack(f"={len(blob) // 8}q", blob))


def test_files_as_kept_give_back_the_very_stamps_and_their_change_times(tmp_path, check_folder):
    (tmp_path / "sub").mkdir()
    prefix, names, codes, stamps = folder(tmp_path, {"a.py": SOURCE, "sub": "W", "notes.c": "U", "b.py": SOURCE})
    now, ctimes, unvouched, notable, taken = check_folder(prefix, names, codes, stamps, NEVER, LIMIT)
    assert now is stamps
    assert ctimes_of(ctimes) == [os.lstat(tmp_path / name).st_ctime_ns for name in ("a.py", "b.py")]
    assert (unvouched, notable, taken) == ([], [], 2)


@pytest.mark.parametrize(
    "change, flagged",
    [
        ("size", True),
        ("mtime", True),
        ("nothing", False),
    ],
)
def test_a_file_whose_size_or_time_moved_is_named_and_its_stamp_taken(tmp_path, check_folder, change, flagged):
    prefix, names, codes, stamps = folder(tmp_path, {"a.py": SOURCE, "b.py": SOURCE})
    kept = list(stamps)
    path = tmp_path / "b.py"
    if change == "size":
        path.write_text("x = 12345\n")
    elif change == "mtime":
        os.utime(path, ns=(0, stamps[3] + 1))
    now, _, unvouched, _, _ = check_folder(prefix, names, codes, stamps, NEVER, LIMIT)
    st = os.lstat(path)
    assert unvouched == ([1] if flagged else [])
    assert now == stamps[:2] + [st.st_size, st.st_mtime_ns]
    assert stamps == kept  # the kept list is never written to
    assert (now is stamps) is not flagged


def test_a_change_time_from_the_bound_on_is_not_vouched_for(tmp_path, check_folder):
    prefix, names, codes, stamps = folder(tmp_path, {"a.py": SOURCE})
    ctime = os.lstat(tmp_path / "a.py").st_ctime_ns
    for bound, flagged in [(ctime, True), (ctime + 1, False), (ctime - 1, True), (NEVER, False), (-NEVER, True)]:
        assert check_folder(prefix, names, codes, stamps, bound, LIMIT)[2] == ([0] if flagged else []), bound


def test_files_past_the_limit_and_declarations_come_with_their_stamps(tmp_path, check_folder):
    (tmp_path / "big.py").write_text("#" * 99 + "\n")  # 100 bytes
    (tmp_path / "edge.py").write_text("#" * 98 + "\n")  # 99 bytes
    prefix, names, codes, stamps = folder(tmp_path, {"big.py": SOURCE, "edge.py": SOURCE, "t.d.ts": DECLARATION})
    _, _, _, notable, taken = check_folder(prefix, names, codes, stamps, NEVER, 99)
    st_big, st_decl = os.lstat(tmp_path / "big.py"), os.lstat(tmp_path / "t.d.ts")
    assert notable == [
        (0, 100, st_big.st_mtime_ns, st_big.st_ctime_ns),
        (2, st_decl.st_size, st_decl.st_mtime_ns, st_decl.st_ctime_ns),
    ]
    assert taken == 1
    assert check_folder(prefix, names, codes, stamps, NEVER, 100)[4] == 2
    assert check_folder(prefix, names, codes, stamps, NEVER, -1)[4] == 0
    assert check_folder(prefix, names, codes, stamps, NEVER, NEVER)[4] == 2


@pytest.mark.parametrize(
    "change",
    ["deleted", "now a folder", "now a link", "now a link to a folder", "kept size not an int", "kept time too large"],
)
def test_a_file_the_check_cannot_vouch_for_asks_for_a_listing(tmp_path, check_folder, change):
    prefix, names, codes, stamps = folder(tmp_path, {"a.py": SOURCE, "b.py": SOURCE})
    path = tmp_path / "b.py"
    if change == "deleted":
        path.unlink()
    elif change == "now a folder":
        path.unlink()
        path.mkdir()
    elif change == "now a link":
        path.unlink()
        os.symlink("a.py", path)
    elif change == "now a link to a folder":
        path.unlink()
        os.symlink(".", path)
    elif change == "kept size not an int":
        stamps[2] = str(stamps[2])
    else:
        stamps[3] = 1 << 63
    assert check_folder(prefix, names, codes, stamps, NEVER, LIMIT) is None


def test_names_beyond_ascii_are_looked_at_under_their_own_bytes(tmp_path, check_folder):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.py"  # not UTF-8: a surrogate escape in the name
    with open(raw, "w") as handle:
        handle.write("x = 1\n")
    (tmp_path / "naïve.py").write_text("y = 2\n")
    name = os.fsdecode(b"caf\xe9.py")
    st1, st2 = os.lstat(raw), os.lstat(tmp_path / "naïve.py")
    stamps = [st1.st_size, st1.st_mtime_ns, st2.st_size, st2.st_mtime_ns]
    result = check_folder(str(tmp_path) + os.sep, [name, "naïve.py"], SOURCE * 2, stamps, NEVER, LIMIT)
    assert result is not None and result[0] is stamps and result[4] == 2


@pytest.mark.parametrize(
    "names, codes, stamps, error",
    [
        (["a.py"], SOURCE, [1], ValueError),  # a stamp short
        (["a.py"], SOURCE, [1, 2, 3], ValueError),
        (["a.py", "b.py"], SOURCE, [1, 2], ValueError),  # codes do not fit names
        (["a\0.py"], SOURCE, [1, 2], ValueError),
        ([7], SOURCE, [1, 2], ValueError),
        (["a.py"], SOURCE, (1, 2), TypeError),
    ],
)
def test_a_record_that_does_not_fit_is_refused(tmp_path, names, codes, stamps, error):
    with pytest.raises(error):
        check_alone(str(tmp_path) + os.sep, names, codes, stamps, NEVER, LIMIT)


@pytest.mark.parametrize(
    "batch, at, error",
    [
        (bytes(48), 0, ValueError),  # one entry for two files
        (bytes(96), 1, ValueError),
        (bytes(96), -1, ValueError),
        (bytearray(96), 0, TypeError),
    ],
)
def test_a_batch_that_does_not_reach_the_folders_files_is_refused(tmp_path, batch, at, error):
    prefix, names, codes, stamps = folder(tmp_path, {"a.py": SOURCE, "b.py": SOURCE})
    with pytest.raises(error):
        check_alone(prefix, names, codes, stamps, NEVER, LIMIT, batch, at)
    # None looks at the files itself.
    assert check_alone(prefix, names, codes, stamps, NEVER, LIMIT, None, 0)[0] is stamps


def _fields(blob: bytes, index: int) -> tuple:
    return struct.unpack_from("=6q", blob, 48 * index)


def test_a_batch_gives_each_folder_and_source_file_the_stamp_stat_and_lstat_give(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.py").write_text("x = 1\n")
    (tmp_path / "sub" / "b.py").write_text("y = 22\n")
    os.symlink("a.py", tmp_path / "sub" / "link.py")
    records = [
        ("", "a.py/sub/notes.txt", SOURCE + "WU"),
        ("sub", "b.py/gone.py/link.py", SOURCE * 3),
        ("missing", "c.py", SOURCE),
    ]
    folders, files, firsts = stat_folders(str(tmp_path), records)
    assert struct.unpack("=3q", firsts) == (0, 1, 4)
    for index, path in enumerate([tmp_path, tmp_path / "sub"]):
        st = os.stat(path)
        assert _fields(folders, index) == (1 | 4, st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_dev, st.st_ino)
    assert _fields(folders, 2) == (0,) * 6
    for index, (path, flags) in enumerate([(tmp_path / "a.py", 3), (tmp_path / "sub" / "b.py", 3), (None, 0), (tmp_path / "sub" / "link.py", 1)]):
        st = os.lstat(path) if path is not None else None
        want = (flags, st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_dev, st.st_ino) if st else (0,) * 6
        assert _fields(files, index) == want


@pytest.mark.parametrize(
    "record",
    [
        ("", "a.py/b.py", SOURCE),  # more names than codes
        ("", "", SOURCE),
        ("a\0", "a.py", SOURCE),
        (None, "a.py", SOURCE),
        ("", "a.py", None),
        ["", "a.py", SOURCE],
    ],
)
def test_a_record_the_batch_cannot_take_is_left_to_the_walk(tmp_path, record):
    (tmp_path / "a.py").write_text("x = 1\n")
    folders, files, firsts = stat_folders(str(tmp_path), [record, ("", "a.py", SOURCE)])
    # Neither it nor its folder looked at; the records after it are.
    assert struct.unpack("=2q", firsts) == (-1, 0) and _fields(folders, 0) == (0,) * 6
    assert len(files) == 48 and _fields(files, 0)[0] == 3


def test_entries_that_are_not_files_are_not_looked_at(tmp_path, check_folder):
    # Neither exists: only source and declaration codes cost a look.
    prefix = str(tmp_path) + os.sep
    assert check_folder(prefix, ["gone", "gone.c"], "WU", [], NEVER, LIMIT)[1:] == (b"", [], [], 0)


def test_lists_emptied_by_a_collection_during_the_check_are_not_read_past_their_end(tmp_path, check_folder):
    # Every file is past the limit, so each costs a tuple, and any tuple may start a collection
    # whose callbacks change the caller's lists (from 3.12 on the collection waits until the
    # call has returned).
    prefix, names, codes, stamps = folder(tmp_path, {f"m{i}.py": SOURCE for i in range(50)})
    emptied = []

    def empty(phase, info):
        if phase == "start" and not emptied:
            names.clear()
            stamps.clear()
            emptied.append(True)

    threshold = gc.get_threshold()
    gc.callbacks.append(empty)
    gc.set_threshold(1)
    try:
        try:
            result = check_folder(prefix, names, codes, stamps, NEVER, 0)
        except ValueError as error:
            assert emptied and str(error) == "malformed record"
        else:
            assert result[4] == 0 and len(result[3]) == 50  # the lists held for the whole check
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(empty)
