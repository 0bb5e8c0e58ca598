// The stored form of one term's postings: document numbers as gaps in a variable-length
// encoding, weights as a small table of the distinct values with an index per posting.
//
//   postings := count(files) count(symbols) list(files) list(symbols)
//   list(n)  := nothing when n = 0, else
//               size  (0: n raw weights follow the gaps; else the table's size, 1 to n)
//               size float32 values, the table, most used first (ties: the smaller bits first)
//               n gaps: the first number itself, then each number less the one before less 1
//               n indexes into the table (none when it holds one value); or n raw float32
//
// Counts, gaps and indexes are unsigned LEB128 (at most five bytes, each value below 2^32);
// floats are the platform's own bytes (the index records its byte order). The encoding of
// given postings is one byte string: search/reference_postings.py makes the same bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>

namespace scoring {

// Where a blob's postings are decoded to: arrays of the lengths its counts give.
struct PostingLists {
    std::span<uint32_t> files;
    std::span<float> file_weights;
    std::span<uint32_t> symbols;
    std::span<float> symbol_weights;
};

// The stored form of a term's file and symbol postings (each list's numbers strictly
// increasing, with as many weights); ValueError else.
std::string encode_postings(std::span<const uint32_t> files, std::span<const float> file_weights,
                            std::span<const uint32_t> symbols,
                            std::span<const float> symbol_weights);

// The numbers of file and of symbol postings a blob holds, checked against its size (each
// posting takes a byte at least): sizes to allocate for `decode_postings`, never more than the
// blob's length.
std::pair<size_t, size_t> posting_counts(std::span<const uint8_t> blob);

// Decodes the blob's two lists into `into`. Every count, gap and index is checked against what
// the blob can hold before it is used: a damaged blob is a ValueError, never a read outside it.
void decode_postings(std::span<const uint8_t> blob, const PostingLists& into);

} // namespace scoring
