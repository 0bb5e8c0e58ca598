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

} // namespace scoring
