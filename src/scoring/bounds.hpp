// Every file's bound for a question in one pass over its postings (see search/rank.py): the
// totals `Scores` gives when each term's postings are added with every norm taken as the least
// any document has, without an array of the project's symbols. The symbols' sums are taken as
// the postings of all terms are merged by number, so what a question touches is its postings
// and an array of the files.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "scores.hpp"

namespace scoring {

// One term's postings, each list's numbers strictly increasing, and their scales.
struct TermPostings {
    std::span<const uint32_t> files;
    std::span<const float> file_weights;
    double file_scale;
    std::span<const uint32_t> symbols;
    std::span<const float> symbol_weights;
    double symbol_scale;
};

// Where `bound_totals` puts the bounds: asked once for room for at most `most` totals and their
// files, filled from the start.
using TotalsRoom = std::function<std::pair<std::span<double>, std::span<uint32_t>>(size_t most)>;

// Each file's bound total above zero, unordered, put in `room` (how many is returned): the
// value `Scores::file_totals` gives it after `add_files_bound` and `add_symbols_bound` of every
// term in order, to the last bit (each sum is taken in the same order). Damage is refused as
// those refuse it; a list out of order and a negative scale are refused too (the merge and the
// bound rely on neither).
size_t bound_totals(std::span<const TermPostings> terms, double least_norm,
                    std::span<const uint32_t> symbol_file, std::span<const float> priors,
                    std::span<const uint8_t> flags, const FileRule& rule, const TotalsRoom& room);

// `bound_totals` with each symbol's file found from the files' first symbols (`firsts`, one per
// file, as `owners_from_firsts` takes them) among `symbol_count` symbols. A file's symbols then
// come together, and the blocks in file order (all of them as a full build numbers the symbols,
// all but the few an update moved): the symbols' sums are taken a window at a time as
// `bound_totals` takes them, and each file's total is made as the window's symbols and the
// merged file postings pass it, only the moved files' kept aside; `room` is asked for every file
// at once. The same bounds, to the last bit; file postings out of order are refused too.
size_t bound_totals_from_firsts(std::span<const TermPostings> terms, double least_norm,
                                std::span<const uint32_t> firsts, size_t symbol_count,
                                std::span<const float> priors, std::span<const uint8_t> flags,
                                const FileRule& rule, const TotalsRoom& room);

// The `top` best of the (total, file) pairs and any tied with the last of them, best first. The
// pairs are looked at in place: a question's bounds name most files of a large project.
std::vector<Scored> leading(std::span<const double> totals, std::span<const uint32_t> files,
                            size_t top);

// Those of the (total, file) pairs at least `floor`, best first.
std::vector<Scored> reaching(std::span<const double> totals, std::span<const uint32_t> files,
                             double floor);

} // namespace scoring
