// Each symbol's file from the files' first symbols: what a question of common words needs of
// the symbols' files, made from an array of the files instead of read whole.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

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

// A block's place among the moved ones when it is not one of them.
constexpr uint32_t kInPlace = UINT32_MAX;

// A file's block as a walk in symbol order meets it.
struct Block {
    uint32_t file;
    uint32_t first;
    uint32_t place; // among `BlockOrder::moved()`, or kInPlace
};

// The files' blocks in symbol order. A full build numbers the symbols file by file, so the
// blocks come in file order; an update gives a grown file a new block at the end and a removed
// file's number to another file, which takes a few blocks out of it. Those are kept apart,
// sorted by first symbol, and merged in as a walk passes them: what a walk costs follows the
// files and the moved blocks, never the symbols.
class BlockOrder {
  public:
    // ValueError, with its messages, for the first symbols `owners_from_firsts` refuses.
    BlockOrder(std::span<const uint32_t> firsts, size_t symbol_count);

    std::span<const uint32_t> firsts() const { return firsts_; }
    // The files whose blocks lie out of file order, by first symbol.
    const std::vector<uint32_t>& moved() const { return moved_; }
    // Those files by number, each with its place in `moved()`.
    const std::vector<std::pair<uint32_t, uint32_t>>& moved_by_number() const { return by_number_; }

  private:
    std::span<const uint32_t> firsts_;
    std::vector<uint32_t> moved_;
    std::vector<std::pair<uint32_t, uint32_t>> by_number_;
};

// The blocks of a `BlockOrder` one by one in symbol order.
class BlockCursor {
  public:
    explicit BlockCursor(const BlockOrder& order)
        : firsts_(order.firsts()), moved_(order.moved()), by_number_(order.moved_by_number()) {
        in_place_ = in_place_from(0);
    }
    // The next block into `block`; false once every block was passed.
    bool next(Block& block);

  private:
    size_t in_place_from(size_t file);

    // Views of the order's arrays, read for every block passed.
    std::span<const uint32_t> firsts_;
    std::span<const uint32_t> moved_;
    std::span<const std::pair<uint32_t, uint32_t>> by_number_;
    size_t in_place_ = 0; // the next file whose block lies in file order
    size_t skip_ = 0;     // the first moved file (by number) not yet passed by `in_place_`
    size_t apart_ = 0;    // the next moved block
};

// Called for every block a walk passes: defined here to be inlined.
inline size_t BlockCursor::in_place_from(size_t file) {
    const size_t count = firsts_.size();
    if (by_number_.empty()) { // a full build's blocks: every file with symbols
        while (file < count && firsts_[file] == kNoSymbols)
            ++file;
        return file;
    }
    for (; file < count; ++file) {
        if (firsts_[file] == kNoSymbols) continue;
        while (skip_ < by_number_.size() && by_number_[skip_].first < file)
            ++skip_;
        if (skip_ < by_number_.size() && by_number_[skip_].first == file) continue;
        break;
    }
    return file;
}

inline bool BlockCursor::next(Block& block) {
    const size_t count = firsts_.size();
    if (moved_.empty()) {
        if (in_place_ >= count) return false;
        block = {static_cast<uint32_t>(in_place_), firsts_[in_place_], kInPlace};
        in_place_ = in_place_from(in_place_ + 1);
        return true;
    }
    uint64_t kept = in_place_ < count ? firsts_[in_place_] : UINT64_MAX;
    uint64_t apart = apart_ < moved_.size() ? firsts_[moved_[apart_]] : UINT64_MAX;
    if (kept == UINT64_MAX && apart == UINT64_MAX) return false;
    if (kept < apart) {
        block = {static_cast<uint32_t>(in_place_), static_cast<uint32_t>(kept), kInPlace};
        in_place_ = in_place_from(in_place_ + 1);
    } else {
        block = {moved_[apart_], static_cast<uint32_t>(apart), static_cast<uint32_t>(apart_)};
        ++apart_;
    }
    return true;
}

// Each symbol's file, asked for in increasing symbol order: the value `owners_from_firsts`
// writes in its slot, with the place of its block among the moved ones.
class FileWalk {
  public:
    explicit FileWalk(const BlockOrder& order);

    const Block& of(uint32_t symbol) {
        while (more_ && next_.first <= symbol) {
            owner_ = next_;
            more_ = cursor_.next(next_);
        }
        return owner_;
    }

  private:
    BlockCursor cursor_;
    Block owner_; // before the first block: file 0
    Block next_{};
    bool more_;
};

// The end of each block whose room (up to the next block in symbol order, or to
// `symbol_count`) does not end where the next file with symbols begins, as (file, end) pairs
// one after another: none for blocks in file order, a few for an updated index's.
std::vector<uint32_t> ends_out_of_order(const BlockOrder& order, size_t symbol_count);

} // namespace scoring
