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

// Whether the first symbols increase with the files, files without symbols aside (as a full
// build numbers the symbols): each symbol's file can then be found walking both in order.
// ValueError for `firsts` that `owners_from_firsts` refuses before their order is looked at
// (more files than 32-bit numbers can name, a first symbol out of range of `symbol_count`).
bool firsts_in_order(std::span<const uint32_t> firsts, size_t symbol_count);

// Each symbol's file, asked for in increasing symbol order, from first symbols in file order:
// the value `owners_from_firsts` writes in its slot.
class FileWalk {
  public:
    explicit FileWalk(std::span<const uint32_t> firsts) : firsts_(firsts) {
        next_ = with_symbols(0);
    }

    uint32_t file_of(uint32_t symbol) {
        while (next_ < firsts_.size() && firsts_[next_] <= symbol) {
            owner_ = static_cast<uint32_t>(next_);
            next_ = with_symbols(next_ + 1);
        }
        return owner_;
    }

  private:
    size_t with_symbols(size_t file) const {
        while (file < firsts_.size() && firsts_[file] == kNoSymbols)
            ++file;
        return file;
    }

    std::span<const uint32_t> firsts_;
    size_t next_ = 0;    // the next file with symbols
    uint32_t owner_ = 0; // before the first block: file 0
};

} // namespace scoring
