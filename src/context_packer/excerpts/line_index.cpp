// Line offsets of a text under the `str.splitlines()` rules, and the joining of a run of lines.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "excerpts.hpp"

namespace cp::excerpts {

namespace {

// The line boundaries of `str.splitlines()`: \n \v \f \r, the separators \x1c \x1d \x1e, NEL,
// LINE SEPARATOR and PARAGRAPH SEPARATOR.
constexpr bool is_line_break(Py_UCS4 c) {
    return (c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E) || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

constexpr std::array<bool, 256> kBreakTable = [] {
    std::array<bool, 256> table{};
    for (unsigned c = 0; c < 256; ++c)
        table[c] = is_line_break(c);
    return table;
}();

// Index of the first line break at or after `i` in one-byte text, or `length`. Eight characters
// are tested at a time: a word without control characters and without bytes >= 0x80 holds no
// line break, which is most of a source file.
Py_ssize_t find_break(const Py_UCS1* data, Py_ssize_t i, Py_ssize_t length) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        uint64_t below_space = (word - 0x20 * kOnes) & ~word & kHighBits;
        if ((below_space | (word & kHighBits)) == 0) continue;
        for (Py_ssize_t k = i; k < i + 8; ++k)
            if (kBreakTable[data[k]]) return k;
    }
    while (i < length && !kBreakTable[data[i]])
        ++i;
    return i;
}

template <typename Char> Py_ssize_t find_break(const Char* data, Py_ssize_t i, Py_ssize_t length) {
    while (i < length && !is_line_break(data[i]))
        ++i;
    return i;
}

template <typename Char, typename Line, typename Lines>
void scan(const Char* data, Py_ssize_t length, Lines& lines) {
    Py_ssize_t i = 0;
    while (i < length) {
        Py_ssize_t begin = i;
        i = find_break(data, i, length);
        Py_ssize_t end = i;
        if (i < length) {
            // A carriage return followed by a line feed is one line break.
            i += (data[i] == '\r' && i + 1 < length && data[i + 1] == '\n') ? 2 : 1;
        }
        lines.push_back(Line{begin, end});
    }
}

} // namespace

LineIndex::LineIndex(PyObject* text) : text_(text) {
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    // Source lines are rarely shorter than 24 characters, so one reservation usually suffices;
    // the cap keeps a file of few, very long lines from reserving far more than it uses.
    lines_.reserve(static_cast<size_t>(std::min<Py_ssize_t>(length / 24, 1 << 16) + 16));
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        scan<Py_UCS1, Line>(static_cast<const Py_UCS1*>(data), length, lines_);
        break;
    case PyUnicode_2BYTE_KIND:
        scan<Py_UCS2, Line>(static_cast<const Py_UCS2*>(data), length, lines_);
        break;
    default:
        scan<Py_UCS4, Line>(static_cast<const Py_UCS4*>(data), length, lines_);
        break;
    }
}

Ref LineIndex::join(Py_ssize_t first, Py_ssize_t stop) const {
    if (stop <= first) return Ref::borrow(K.empty);
    // Where every break between the lines is a single "\n", the joined text is a plain
    // substring of the file's text.
    const int kind = PyUnicode_KIND(text_);
    const void* data = PyUnicode_DATA(text_);
    bool plain = true;
    for (Py_ssize_t k = first; k + 1 < stop && plain; ++k) {
        const Line& line = lines_[static_cast<size_t>(k)];
        plain = lines_[static_cast<size_t>(k + 1)].begin == line.end + 1 &&
                PyUnicode_READ(kind, data, line.end) == '\n';
    }
    if (plain) {
        return checked(PyUnicode_Substring(text_, lines_[static_cast<size_t>(first)].begin,
                                           lines_[static_cast<size_t>(stop - 1)].end));
    }
    Ref pieces = checked(PyList_New(stop - first));
    for (Py_ssize_t k = first; k < stop; ++k) {
        const Line& line = lines_[static_cast<size_t>(k)];
        PyList_SET_ITEM(pieces.get(), k - first,
                        check(PyUnicode_Substring(text_, line.begin, line.end)));
    }
    return checked(PyUnicode_Join(K.newline, pieces.get()));
}

} // namespace cp::excerpts
