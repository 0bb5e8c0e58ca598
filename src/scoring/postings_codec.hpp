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
#include <vector>

namespace scoring {

struct PostingList {
    std::vector<uint32_t> numbers;
    std::vector<float> weights;
};

// The stored form of a term's file and symbol postings (each list's numbers strictly
// increasing, with as many weights); ValueError else.
std::string encode_postings(std::span<const uint32_t> files, std::span<const float> file_weights,
                            std::span<const uint32_t> symbols,
                            std::span<const float> symbol_weights);

// The two lists of a stored blob (files, then symbols). Every count, gap and index is checked
// against what the blob can hold before it is used: a damaged blob is a ValueError, never a
// read outside it or an allocation larger than it.
std::pair<PostingList, PostingList> decode_postings(std::span<const uint8_t> blob);

} // namespace scoring
