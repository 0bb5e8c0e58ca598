"""Each file's first symbol: the array a question makes the symbols' files from.

A file's symbols are numbered together, in one block.  A question of
common words needs the file of nearly every symbol for its bound (`rank`),
and the symbols' files take four bytes a symbol (8.8 MB at 100,000 files);
this array takes four bytes a file.  The bound walks the blocks from it in
the order of their first symbols, those an update moved out of file order
kept aside (`_scoring.bound_totals_from_firsts`), and whoever needs the
symbols' files whole makes them from it (`_scoring.owners_from_firsts`).
Both writers of the index write it
(`store.array_rows` cuts it into chunks as the files' arrays are): a full
build from its symbols numbered file by file, an update from each file's
block.  An index written without it is read the old way.
"""

from __future__ import annotations

from array import array
from bisect import bisect_left

NAME = "file_first_symbol"
CODE = "I"
# A file without symbols has no first symbol.
NO_SYMBOLS = 0xFFFFFFFF


def in_file_order(symbol_file, file_count: int) -> array | None:
    """The first symbols of ``file_count`` files whose symbols are numbered
    file by file (``symbol_file``, each symbol's file, never decreasing),
    as a full build numbers them; None for symbols numbered otherwise."""
    from .._scoring import owners_from_firsts

    firsts = array(CODE, [NO_SYMBOLS]) * file_count
    end = len(symbol_file)
    for number in range(file_count):
        first = bisect_left(symbol_file, number)
        if first < end and symbol_file[first] == number:
            firsts[number] = first
    # What a reader will make of them must be the symbols' files themselves.
    owners = array("I", bytes(4 * end))
    owners_from_firsts(firsts, owners)
    if owners != (symbol_file if isinstance(symbol_file, array) else array("I", symbol_file)):
        return None
    return firsts


def of_blocks(file_count: int, blocks) -> array:
    """The first symbols of ``file_count`` files from their blocks,
    (file number, first symbol, symbol count) each."""
    firsts = array(CODE, [NO_SYMBOLS]) * file_count
    for number, first, count in blocks:
        firsts[number] = first if count else NO_SYMBOLS
    return firsts


def agrees(firsts, owners, number: int, first: int, count: int) -> bool:
    """Whether the block of ``count`` symbols from ``first`` that the index
    gives the file ``number`` elsewhere is the one its first symbol
    (``firsts``) made of the symbols' files (``owners``)."""
    if not count:
        return firsts[number] == NO_SYMBOLS
    return firsts[number] == first and owners[first] == number and owners[first + count - 1] == number


def agrees_left(firsts, ends: dict, number: int, first: int, count: int, slots: int) -> bool:
    """`agrees` without the symbols' files: the block must begin at the
    file's first symbol and end within its room, up to the next block by
    first symbol (by ``slots``, the symbols' count, for the last): where
    ``ends`` (`_scoring.ends_out_of_order`) says, else where the next file
    with symbols begins."""
    if not count:
        return firsts[number] == NO_SYMBOLS
    if firsts[number] != first:
        return False
    end = ends.get(number)
    if end is None:
        at, last = number + 1, len(firsts)
        while at < last and firsts[at] == NO_SYMBOLS:
            at += 1
        end = firsts[at] if at < last else slots
    return first + count <= end
