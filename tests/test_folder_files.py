"""The entries of a folder's source files taken over from the walk's kept
record (`tarnwick._stamps.folder_files`): those the walk's own loop made."""

from __future__ import annotations

import random
import struct

import pytest

from tarnwick._stamps import folder_files
from tarnwick.indexer.walk import SourceFile

SOURCE, DECLARATION = 0x100, 0x200
KINDS = {chr(SOURCE): ("python", "python"), chr(SOURCE + 1): ("typescript", "tsx")}
KINDS.update({chr(DECLARATION + 1): ("typescript", "typescript")})


def reference(rel_prefix, abs_prefix, names, codes, stamps, ctimes, kinds, limit) -> list:
    """The entries as the walk made them in Python."""
    ctimes = struct.unpack(f"={len(ctimes) // 8}q", ctimes)
    out, at = [], 0
    for name, code in zip(names, codes):
        if code >= chr(SOURCE):
            size = stamps[at]
            if code < chr(DECLARATION) and size <= limit:
                language, grammar = kinds[code]
                out.append(SourceFile(rel_prefix + name, abs_prefix + name, size, stamps[at + 1], ctimes[at >> 1], language, grammar))
            at += 2
    return out


def random_folder(rng: random.Random) -> tuple:
    names, codes, stamps, ctimes = [], "", [], []
    for i in range(rng.randrange(0, 40)):
        code = rng.choice(["W", "U", chr(SOURCE), chr(SOURCE + 1), chr(DECLARATION + 1)])
        names.append(rng.choice(["m", "é", "日本", "x y"]) + f"{i}.py")
        codes += code
        if code >= chr(SOURCE):
            stamps += [rng.choice([0, 999, 1000, 1001, 2**40]), rng.randrange(-(2**63), 2**63)]
            ctimes.append(rng.randrange(-(2**63), 2**63))
    return names, codes, stamps, struct.pack(f"={len(ctimes)}q", *ctimes)


@pytest.mark.parametrize("seed", range(40))
def test_entries_are_those_the_walk_made_in_order(seed):
    rng = random.Random(seed)
    names, codes, stamps, ctimes = random_folder(rng)
    limit = rng.choice([1000, 2**70, -1])  # past 64 bits too
    out = [SourceFile("before", "/b", 1, 1, 1, "python", "python")]  # appended to, never replaced
    folder_files("pkg/", "/p/pkg/", names, codes, stamps, ctimes, KINDS, limit, SourceFile, out)
    assert out[1:] == reference("pkg/", "/p/pkg/", names, codes, stamps, ctimes, KINDS, limit)
    assert all(type(entry) is SourceFile for entry in out)


NAMES = ["a.py", "b.py"]
CODES = chr(SOURCE) * 2
STAMPS = [1, 2, 3, 4]
CTIMES = struct.pack("=2q", 5, 6)


@pytest.mark.parametrize(
    "names, codes, stamps, ctimes, kinds, error",
    [
        (NAMES[:1], CODES, STAMPS, CTIMES, KINDS, ValueError),  # fewer names than codes
        (NAMES, CODES, STAMPS[:3], CTIMES, KINDS, ValueError),  # a stamp missing
        (NAMES, CODES, STAMPS + [7, 8], CTIMES, KINDS, ValueError),  # stamps of no file
        (NAMES, CODES, STAMPS, CTIMES[:8], KINDS, ValueError),  # a change time missing
        (NAMES, CODES, STAMPS, CTIMES + CTIMES, KINDS, ValueError),  # change times of no file
        (NAMES, CODES, STAMPS, CTIMES, {}, ValueError),  # a code of no kind
        (NAMES, CODES, STAMPS, CTIMES, {chr(SOURCE): ("python",)}, ValueError),  # a kind of one field
        ([1, 2], CODES, STAMPS, CTIMES, KINDS, ValueError),  # names that are not text
        (NAMES, CODES, ["big", 2, 3, 4], CTIMES, KINDS, TypeError),  # a size that is not a number
        (NAMES, CODES, STAMPS, list(CTIMES), KINDS, TypeError),
    ],
)
def test_a_record_that_does_not_fit_is_refused(names, codes, stamps, ctimes, kinds, error):
    with pytest.raises(error):
        folder_files("", "/p/", names, codes, stamps, ctimes, kinds, 1000, SourceFile, [])


def test_the_entry_type_must_be_a_tuple_type():
    with pytest.raises(TypeError):
        folder_files("", "/p/", NAMES, CODES, STAMPS, CTIMES, KINDS, 1000, list, [])


class _Shrinking(int):
    """A size whose comparison empties the lists the entries are read from."""

    lists: tuple = ()

    def __le__(self, other):
        for values in self.lists:
            values.clear()
        return int(self) <= other


@pytest.mark.parametrize("shrunk", ["stamps", "names", "both"])
def test_lists_changed_by_a_comparison_are_refused_not_read_past(shrunk):
    names, stamps = list(NAMES), [_Shrinking(1), 2, 3, 4]
    _Shrinking.lists = {"stamps": (stamps,), "names": (names,), "both": (stamps, names)}[shrunk]
    with pytest.raises(ValueError, match="malformed record"):
        folder_files("", "/p/", names, CODES, stamps, CTIMES, KINDS, 1000, SourceFile, [])
