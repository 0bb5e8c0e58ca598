"""The stored form of a term's postings in Python: the reference the
kernel's `encode_postings` and `decode_postings` are held to.

The form (one blob per term, the `terms` table's ``postings``): the count
of file postings and of symbol postings, then each non-empty list as

- the size of its weight table (0: no table, the weights follow raw), then
  the table's float32 values, most used first (ties: the smaller bits);
- the gaps of its numbers: the first number, then each less the one
  before less one (so numbers always come out strictly increasing);
- per posting the index of its weight in the table (none when the table
  holds one value), or the raw float32 weights.

Counts, gaps and indexes are unsigned LEB128 below 2^32; floats are the
platform's bytes.  A table is kept only when it makes the weights smaller.
Both implementations make the same bytes and refuse the same damage with
the same messages (`tests/test_scoring.py`).
"""

from __future__ import annotations

from array import array
from collections import Counter

_LIMIT = 1 << 32


def _put(value: int, out: bytearray) -> None:
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)


def _size(value: int) -> int:
    return max(1, (value.bit_length() + 6) // 7)


def _bits(weights) -> array:
    """The weights' float32 bit patterns (taken as bytes: a NaN keeps its payload)."""
    packed = weights if isinstance(weights, array) and weights.typecode == "f" else array("f", weights)
    bits = array("I")
    bits.frombytes(packed.tobytes())
    return bits


def _floats(bits: array) -> array:
    values = array("f")
    values.frombytes(bits.tobytes())
    return values


def _encode_list(numbers, weights, out: bytearray) -> None:
    if len(weights) != len(numbers):
        raise ValueError("postings of unequal length")
    if any(b <= a for a, b in zip(numbers, numbers[1:])):
        raise ValueError("postings not in increasing order")
    if not numbers:
        return
    bits = _bits(weights)
    uses = Counter(bits)
    table = sorted(uses, key=lambda value: (-uses[value], value))
    index_of = {value: i for i, value in enumerate(table)}
    indexes = [index_of[value] for value in bits]
    indexed_size = 4 * len(table) + (sum(map(_size, indexes)) if len(table) > 1 else 0)
    raw = indexed_size >= 4 * len(weights)
    _put(0 if raw else len(table), out)
    if not raw:
        out += array("I", table).tobytes()
    previous = -1
    for number in numbers:
        _put(number - previous - 1, out)
        previous = number
    if raw:
        out += bits.tobytes()
    elif len(table) > 1:
        for index in indexes:
            _put(index, out)


def encode_postings(files, file_weights, symbols, symbol_weights) -> bytes:
    """The stored form of a term's file and symbol postings."""
    if len(files) >= _LIMIT or len(symbols) >= _LIMIT:
        raise ValueError("more postings than 32-bit counts can name")
    out = bytearray()
    _put(len(files), out)
    _put(len(symbols), out)
    _encode_list(files, file_weights, out)
    _encode_list(symbols, symbol_weights, out)
    return bytes(out)


class _Reader:
    def __init__(self, blob) -> None:
        self.blob = bytes(blob)
        self.at = 0

    def left(self) -> int:
        return len(self.blob) - self.at

    def value(self) -> int:
        value = 0
        for shift in range(0, 35, 7):
            if self.at == len(self.blob):
                raise ValueError("postings truncated")
            byte = self.blob[self.at]
            self.at += 1
            value |= (byte & 0x7F) << shift
            if not byte & 0x80:
                if value >= _LIMIT:
                    raise ValueError("postings out of range")
                return value
        raise ValueError("postings out of range")

    def bits(self, count: int) -> array:
        """``count`` float32 values as their bit patterns."""
        if self.left() < 4 * count:
            raise ValueError("postings truncated")
        values = array("I")
        values.frombytes(self.blob[self.at : self.at + 4 * count])
        self.at += 4 * count
        return values


def _decode_list(reader: _Reader, count: int) -> tuple[array, array]:
    numbers = array("I")
    if count == 0:
        return numbers, array("f")
    size = reader.value()
    if size > count:
        raise ValueError("postings' weight table larger than their count")
    if 4 * size + count + (4 * count if size == 0 else 0) > reader.left():
        raise ValueError("postings truncated")
    table = reader.bits(size)
    number = -1
    for _ in range(count):
        number += reader.value() + 1
        if number >= _LIMIT:
            raise ValueError("postings out of range")
        numbers.append(number)
    if size == 0:
        return numbers, _floats(reader.bits(count))
    if size == 1:
        return numbers, _floats(table * count)
    bits = array("I")
    for _ in range(count):
        index = reader.value()
        if index >= size:
            raise ValueError("a posting's weight outside its table")
        bits.append(table[index])
    return numbers, _floats(bits)


def decode_postings(blob) -> tuple[array, array, array, array]:
    """(file numbers, weights, symbol numbers, weights) of a stored form;
    ValueError for a damaged one."""
    reader = _Reader(blob)
    files, symbols = reader.value(), reader.value()
    if files + symbols > reader.left():
        raise ValueError("postings truncated")
    file_lists = _decode_list(reader, files)
    symbol_lists = _decode_list(reader, symbols)
    if reader.left():
        raise ValueError("postings longer than their counts")
    return (*file_lists, *symbol_lists)


__all__ = ["decode_postings", "encode_postings"]
