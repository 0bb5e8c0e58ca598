// Each symbol's file from the files' first symbols: what a question of common words needs of
// the symbols' files, made from an array of the files instead of read whole.
#pragma once

#include <cstdint>
#include <span>

namespace scoring {

// A file without symbols has no first symbol.
constexpr uint32_t kNoSymbols = UINT32_MAX;

// Writes into `owners` (one slot per symbol number) the file of each symbol: the file whose
// first symbol (`firsts`, by file number) is the last at or before it. A file's symbols are
// numbered together, so its block runs from its first symbol to the next file's; slots before
// the first block are given file 0. Only final values are written, each once, and nothing at
// all when `firsts` is refused (a first symbol out of range, two files beginning at one
// symbol, more files than 32-bit numbers can name): ValueError.
void owners_from_firsts(std::span<const uint32_t> firsts, std::span<uint32_t> owners);

} // namespace scoring
