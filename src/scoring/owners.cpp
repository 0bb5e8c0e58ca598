// Each symbol's file from the files' first symbols; see owners.hpp.
#include "owners.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "py_ref.hpp"

namespace scoring {

bool firsts_in_order(std::span<const uint32_t> firsts, size_t symbol_count) {
    if (firsts.size() >= kNoSymbols)
        cp::raise_error(PyExc_ValueError, "more files than 32-bit numbers can name");
    bool ordered = true;
    uint32_t last = 0;
    bool any = false;
    for (uint32_t first : firsts) {
        if (first == kNoSymbols) continue;
        if (first >= symbol_count)
            cp::raise_error(PyExc_ValueError, "a file's first symbol out of range");
        ordered = ordered && (!any || first > last);
        last = first;
        any = true;
    }
    return ordered;
}

void owners_from_firsts(std::span<const uint32_t> firsts, std::span<uint32_t> owners) {
    // A full build numbers the symbols file by file: its first symbols increase with the files,
    // and the blocks are written from them as they stand. An update moves a grown file's block
    // to the end, so only an updated index needs them sorted first.
    bool ordered = firsts_in_order(firsts, owners.size());
    std::vector<std::pair<uint32_t, uint32_t>> starts; // (first symbol, file), when not ordered
    if (!ordered) {
        starts.reserve(firsts.size());
        for (size_t file = 0; file < firsts.size(); ++file)
            if (firsts[file] != kNoSymbols)
                starts.emplace_back(firsts[file], static_cast<uint32_t>(file));
        std::sort(starts.begin(), starts.end());
        for (size_t i = 1; i < starts.size(); ++i)
            if (starts[i].first == starts[i - 1].first)
                cp::raise_error(PyExc_ValueError, "two files' symbols begin at one number");
    }
    // Each block from its file's first symbol to the next file's; before the first, file 0.
    uint32_t* slot = owners.data();
    size_t at = 0;
    uint32_t owner = 0;
    auto run_to = [&](size_t end, uint32_t next_owner) {
        std::fill(slot + at, slot + end, owner);
        at = end;
        owner = next_owner;
    };
    if (ordered) {
        for (size_t file = 0; file < firsts.size(); ++file)
            if (firsts[file] != kNoSymbols) run_to(firsts[file], static_cast<uint32_t>(file));
    } else {
        for (const auto& [first, file] : starts)
            run_to(first, file);
    }
    run_to(owners.size(), 0);
}

BlockOrder::BlockOrder(std::span<const uint32_t> firsts, size_t symbol_count) : firsts_(firsts) {
    if (firsts.size() >= kNoSymbols)
        cp::raise_error(PyExc_ValueError, "more files than 32-bit numbers can name");
    // From the last file back, a block stays in place when it begins before every block kept
    // after it: one an update moved to the end begins after the files that follow it.
    uint64_t least = UINT64_MAX;
    for (size_t file = firsts.size(); file-- > 0;) {
        uint32_t first = firsts[file];
        if (first == kNoSymbols) continue;
        if (first >= symbol_count)
            cp::raise_error(PyExc_ValueError, "a file's first symbol out of range");
        if (first < least)
            least = first;
        else
            by_number_.emplace_back(static_cast<uint32_t>(file), 0);
    }
    std::reverse(by_number_.begin(), by_number_.end());
    std::vector<std::pair<uint32_t, uint32_t>> starts; // (first symbol, place by number)
    starts.reserve(by_number_.size());
    for (size_t at = 0; at < by_number_.size(); ++at)
        starts.emplace_back(firsts[by_number_[at].first], static_cast<uint32_t>(at));
    std::sort(starts.begin(), starts.end());
    moved_.reserve(starts.size());
    for (const auto& [first, at] : starts) {
        by_number_[at].second = static_cast<uint32_t>(moved_.size());
        moved_.push_back(by_number_[at].first);
    }
    // Every block begins after the last: two files beginning at one symbol are refused here
    // (those in place begin in increasing order, as they were kept).
    if (moved_.empty()) return;
    BlockCursor cursor(*this);
    Block block{};
    uint64_t last = UINT64_MAX;
    while (cursor.next(block)) {
        if (last != UINT64_MAX && block.first == last)
            cp::raise_error(PyExc_ValueError, "two files' symbols begin at one number");
        last = block.first;
    }
}

FileWalk::FileWalk(const BlockOrder& order) : cursor_(order), owner_{0, 0, kInPlace} {
    const auto& moved = order.moved_by_number();
    if (!moved.empty() && moved.front().first == 0) owner_.place = moved.front().second;
    more_ = cursor_.next(next_);
}

std::vector<uint32_t> ends_out_of_order(const BlockOrder& order, size_t symbol_count) {
    std::span<const uint32_t> firsts = order.firsts();
    std::vector<uint32_t> ends;
    BlockCursor cursor(order);
    Block block{}, before{};
    bool any = false, more = cursor.next(block);
    // Each scan for the next file with symbols covers the files without symbols after one
    // file with them: the scans cover the files once in all.
    auto settle = [&](uint64_t end) {
        size_t file = before.file + size_t{1};
        while (file < firsts.size() && firsts[file] == kNoSymbols)
            ++file;
        if ((file < firsts.size() ? firsts[file] : symbol_count) != end) {
            ends.push_back(before.file);
            ends.push_back(static_cast<uint32_t>(end));
        }
    };
    while (more) {
        if (any) settle(block.first);
        before = block;
        any = true;
        more = cursor.next(block);
    }
    if (any) settle(symbol_count);
    return ends;
}

} // namespace scoring
