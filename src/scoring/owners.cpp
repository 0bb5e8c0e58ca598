// Each symbol's file from the files' first symbols; see owners.hpp.
#include "owners.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "py_ref.hpp"

namespace scoring {

void owners_from_firsts(std::span<const uint32_t> firsts, std::span<uint32_t> owners) {
    if (firsts.size() >= kNoSymbols)
        cp::raise_error(PyExc_ValueError, "more files than 32-bit numbers can name");
    std::vector<std::pair<uint32_t, uint32_t>> starts; // (first symbol, file)
    starts.reserve(firsts.size());
    bool ordered = true;
    for (size_t file = 0; file < firsts.size(); ++file) {
        uint32_t first = firsts[file];
        if (first == kNoSymbols) continue;
        if (first >= owners.size())
            cp::raise_error(PyExc_ValueError, "a file's first symbol out of range");
        ordered = ordered && (starts.empty() || first > starts.back().first);
        starts.emplace_back(first, static_cast<uint32_t>(file));
    }
    // A full build numbers the symbols file by file; an update moves a grown file's block to
    // the end, so only an updated index needs the sort.
    if (!ordered) std::sort(starts.begin(), starts.end());
    for (size_t i = 1; i < starts.size(); ++i)
        if (starts[i].first == starts[i - 1].first)
            cp::raise_error(PyExc_ValueError, "two files' symbols begin at one number");
    uint32_t* slot = owners.data();
    std::fill(slot, slot + (starts.empty() ? owners.size() : starts.front().first), 0u);
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t end = i + 1 < starts.size() ? starts[i + 1].first : owners.size();
        std::fill(slot + starts[i].first, slot + end, starts[i].second);
    }
}

} // namespace scoring
