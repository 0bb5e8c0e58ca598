// The scoring loops; see scores.hpp.
#include "scores.hpp"

#include "bounds.hpp"

#include <algorithm>
#include <cmath>

#include "py_ref.hpp"

namespace scoring {

namespace {

// Best first; equal scores in number order. Scores are never NaN (`Collection::add` refuses
// what is not finite, and a file's total is kept only above zero), so this is a strict order.
bool better(const Scored& a, const Scored& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
}

// The `top` best of `items`, best first.
void keep_top(std::vector<Scored>& items, size_t top) {
    top = std::min(top, items.size());
    std::partial_sort(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(top), items.end(),
                      better);
    items.resize(top);
}

// The `top` best of `items` and any that tie with the last of them, best first.
void keep_top_and_ties(std::vector<Scored>& items, size_t top) {
    if (top == 0) items.clear();
    if (items.size() > top) {
        auto last = items.begin() + static_cast<std::ptrdiff_t>(top - 1);
        std::nth_element(items.begin(), last, items.end(), better);
        double cut = last->first;
        items.erase(std::partition(items.begin(), items.end(),
                                   [cut](const Scored& item) { return item.first >= cut; }),
                    items.end());
    }
    std::sort(items.begin(), items.end(), better);
}

} // namespace

void check_length(size_t size, size_t expected, const char* message) {
    if (size != expected) cp::raise_error(PyExc_ValueError, message);
}

template <typename NormOf>
void Collection::add_shares(std::span<const uint32_t> numbers, std::span<const float> weights,
                            NormOf norm_of, double scale) {
    check_length(weights.size(), numbers.size(), "postings of unequal length");
    for (uint32_t number : numbers)
        if (number >= count_) cp::raise_error(PyExc_ValueError, "postings out of range");
    for (size_t i = 0; i < numbers.size(); ++i) {
        uint32_t number = numbers[i];
        double tf = weights[i];
        double denominator = tf + norm_of(number);
        if (denominator == 0.0) cp::raise_error(PyExc_ZeroDivisionError, "float division by zero");
        double share = scale * tf / denominator;
        if (!std::isfinite(share))
            cp::raise_error(PyExc_ValueError, "postings or norms not finite");
        if (!seen_[number]) {
            order_.push_back(number); // first: every slot written is in the order
            seen_[number] = 1;
        }
        score_[number] += share;
    }
}

void Collection::add(std::span<const uint32_t> numbers, std::span<const float> weights,
                     std::span<const float> norm, double scale) {
    check_length(norm.size(), count_, "length norms of the wrong length");
    add_shares(
        numbers, weights, [norm](uint32_t n) { return static_cast<double>(norm[n]); }, scale);
}

void Collection::add_bound(std::span<const uint32_t> numbers, std::span<const float> weights,
                           double least_norm, double scale) {
    for (float weight : weights)
        if (!(weight >= 0.0f)) cp::raise_error(PyExc_ValueError, "postings weights negative");
    add_shares(
        numbers, weights, [least_norm](uint32_t) { return least_norm; }, scale);
}

SymbolTops::SymbolTops(size_t file_count)
    : file_count_(file_count), best_(file_count), second_(file_count), has_best_(file_count) {}

void check_facts(std::span<const float> priors, std::span<const uint8_t> flags, size_t file_count) {
    check_length(priors.size(), file_count, "priors of the wrong length");
    check_length(flags.size(), file_count, "file flags of the wrong length");
}

std::vector<Scored> totals_of(const Collection& files, const SymbolTops& tops,
                              std::span<const float> priors, std::span<const uint8_t> flags,
                              const FileRule& rule) {
    std::vector<Scored> totals;
    totals.reserve(files_with_totals(files, tops));
    each_total(files, tops, priors, flags, rule,
               [&](double total, uint32_t number) { totals.emplace_back(total, number); });
    return totals;
}

std::vector<Scored> Scores::totals(std::span<const uint32_t> symbol_file,
                                   std::span<const float> priors, std::span<const uint8_t> flags,
                                   const FileRule& rule) const {
    check_length(symbol_file.size(), symbols.count(), "symbol files of the wrong length");
    check_facts(priors, flags, files.count());
    // Each file's best and second symbol score, symbols taken in the order they were scored.
    SymbolTops tops(files.count());
    for (uint32_t symbol : symbols.order())
        tops.add(symbol_file[symbol], symbols[symbol]);
    return totals_of(files, tops, priors, flags, rule);
}

std::vector<Scored> leading(std::span<const double> totals, std::span<const uint32_t> files,
                            size_t top) {
    check_length(files.size(), totals.size(), "totals and files of unequal length");
    std::vector<Scored> kept;
    if (top == 0) return kept;
    double cut = -HUGE_VAL;
    if (totals.size() > top) {
        // The `top` best so far, the worst of them first: the cut is the last of the best.
        std::vector<Scored> best;
        best.reserve(top);
        for (size_t i = 0; i < totals.size(); ++i) {
            Scored item{totals[i], files[i]};
            if (best.size() < top) {
                best.push_back(item);
                std::push_heap(best.begin(), best.end(), better);
            } else if (better(item, best.front())) {
                std::pop_heap(best.begin(), best.end(), better);
                best.back() = item;
                std::push_heap(best.begin(), best.end(), better);
            }
        }
        cut = best.front().first;
    }
    for (size_t i = 0; i < totals.size(); ++i)
        if (totals[i] >= cut) kept.emplace_back(totals[i], files[i]);
    std::sort(kept.begin(), kept.end(), better);
    return kept;
}

std::vector<Scored> reaching(std::span<const double> totals, std::span<const uint32_t> files,
                             double floor) {
    check_length(files.size(), totals.size(), "totals and files of unequal length");
    std::vector<Scored> kept;
    for (size_t i = 0; i < totals.size(); ++i)
        if (totals[i] >= floor) kept.emplace_back(totals[i], files[i]);
    std::sort(kept.begin(), kept.end(), better);
    return kept;
}

std::vector<Scored> Scores::file_totals(std::span<const uint32_t> symbol_file,
                                        std::span<const float> priors,
                                        std::span<const uint8_t> flags, const FileRule& rule,
                                        size_t top) const {
    std::vector<Scored> found = totals(symbol_file, priors, flags, rule);
    keep_top_and_ties(found, top);
    return found;
}

std::vector<Scored> Scores::file_totals_reaching(std::span<const uint32_t> symbol_file,
                                                 std::span<const float> priors,
                                                 std::span<const uint8_t> flags,
                                                 const FileRule& rule, double floor) const {
    std::vector<Scored> found = totals(symbol_file, priors, flags, rule);
    std::erase_if(found, [floor](const Scored& item) { return !(item.first >= floor); });
    std::sort(found.begin(), found.end(), better);
    return found;
}

std::vector<std::vector<Scored>> Scores::best_symbols(std::span<const uint32_t> symbol_file,
                                                      std::span<const int64_t> wanted,
                                                      size_t per_file) const {
    check_length(symbol_file.size(), symbols.count(), "symbol files of the wrong length");
    // (file number, its place in `wanted`), sorted for lookup.
    std::vector<std::pair<int64_t, size_t>> places;
    places.reserve(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i)
        places.emplace_back(wanted[i], i);
    std::sort(places.begin(), places.end());

    std::vector<std::vector<Scored>> found(wanted.size());
    for (uint32_t symbol : symbols.order()) {
        int64_t owner = symbol_file[symbol];
        auto place =
            std::lower_bound(places.begin(), places.end(), std::make_pair(owner, size_t{0}));
        if (place != places.end() && place->first == owner)
            found[place->second].emplace_back(symbols[symbol], symbol);
    }
    for (auto& ranked : found)
        keep_top(ranked, per_file);
    return found;
}

std::pair<std::vector<uint32_t>, std::vector<float>>
postings_in(std::span<const uint32_t> numbers, std::span<const float> weights,
            std::span<const uint32_t> symbol_file, std::span<const uint8_t> wanted) {
    check_length(weights.size(), numbers.size(), "postings of unequal length");
    std::pair<std::vector<uint32_t>, std::vector<float>> kept;
    for (size_t i = 0; i < numbers.size(); ++i) {
        uint32_t owner = numbers[i];
        if (!symbol_file.empty()) {
            if (owner >= symbol_file.size())
                cp::raise_error(PyExc_ValueError, "postings out of range");
            owner = symbol_file[owner];
        }
        if (owner >= wanted.size())
            cp::raise_error(PyExc_ValueError, symbol_file.empty() ? "postings out of range"
                                                                  : "a symbol's file out of range");
        if (wanted[owner] != 0) {
            kept.first.push_back(numbers[i]);
            kept.second.push_back(weights[i]);
        }
    }
    return kept;
}

std::pair<std::vector<uint32_t>, std::vector<float>>
postings_in_blocks(std::span<const uint32_t> numbers, std::span<const float> weights,
                   std::span<const uint32_t> blocks) {
    check_length(weights.size(), numbers.size(), "postings of unequal length");
    if (blocks.size() % 2 != 0) cp::raise_error(PyExc_ValueError, "blocks of odd length");
    for (size_t i = 0; i < blocks.size(); i += 2)
        if (blocks[i] > blocks[i + 1] || (i > 0 && blocks[i] < blocks[i - 1]))
            cp::raise_error(PyExc_ValueError, "blocks out of order");
    std::pair<std::vector<uint32_t>, std::vector<float>> kept;
    auto from = numbers.begin();
    for (size_t i = 0; i < blocks.size(); i += 2) {
        auto first = std::lower_bound(from, numbers.end(), blocks[i]);
        from = std::lower_bound(first, numbers.end(), blocks[i + 1]);
        auto at = static_cast<size_t>(first - numbers.begin());
        auto end = static_cast<size_t>(from - numbers.begin());
        kept.first.insert(kept.first.end(), first, from);
        kept.second.insert(kept.second.end(), weights.begin() + static_cast<std::ptrdiff_t>(at),
                           weights.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return kept;
}

} // namespace scoring
