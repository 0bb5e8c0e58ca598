// BM25 accumulation over the postings of a question's terms, the per-file best and second
// symbol, and the selection of the best files and symbols: the inner loops of search/rank.py.
//
// Every sum is taken in the order the Python reference takes it (postings in term order, then
// in posting order; a file's total left to right), in doubles, so both give the same scores to
// the last bit.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "zeroed_array.hpp"

namespace scoring {

using Scored = std::pair<double, uint32_t>; // (score, document number)

// The scores of one collection (files or symbols): zero where no posting landed, and the
// documents in the order their first posting came (the order a dict of them would keep).
class Collection {
  public:
    explicit Collection(size_t count) : count_(count), score_(count), seen_(count) {}
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;
    ~Collection() {
        score_.clear_slots(order_);
        seen_.clear_slots(order_);
    }

    size_t count() const { return count_; }
    double operator[](size_t n) const { return score_[n]; }
    bool seen(size_t n) const { return seen_[n] != 0; }
    const std::vector<uint32_t>& order() const { return order_; }

    // Adds scale * tf / (tf + norm[n]) for each posting (n, tf). The postings are checked
    // whole against this collection before any is added.
    void add(std::span<const uint32_t> numbers, std::span<const float> weights,
             std::span<const float> norm, double scale);

    // As `add` with every norm taken as `least_norm`, no more than any document's norm: each
    // document's sum is then at least its `add` sum (the same operations on a smaller or
    // equal denominator, in the same order). Negative weights are refused as damage: they
    // would turn the bound around.
    void add_bound(std::span<const uint32_t> numbers, std::span<const float> weights,
                   double least_norm, double scale);

  private:
    template <typename NormOf>
    void add_shares(std::span<const uint32_t> numbers, std::span<const float> weights,
                    NormOf norm_of, double scale);

    size_t count_;
    ZeroedArray<double> score_;
    ZeroedArray<uint8_t> seen_;
    std::vector<uint32_t> order_;
};

// Per combination of a file's flags (indexed by flags & (size - 1)), the factors its total is
// multiplied by, in order.
using FlagFactors = std::vector<std::vector<double>>;

struct FileRule {
    double best_share;
    double second_share;
    const FlagFactors& factors;
};

// Each file's best and second symbol value, as symbols are added (in any order when no value
// is negative), and the files that have one, in the order first given one.
class SymbolTops {
  public:
    explicit SymbolTops(size_t file_count);
    SymbolTops(const SymbolTops&) = delete;
    SymbolTops& operator=(const SymbolTops&) = delete;
    ~SymbolTops() {
        best_.clear_slots(owners_);
        second_.clear_slots(owners_);
        has_best_.clear_slots(owners_);
    }
    // A symbol of the file `owner` (range checked) scoring `value`.
    void add(uint32_t owner, double value);
    double best(size_t n) const { return best_[n]; }
    double second(size_t n) const { return second_[n]; }
    const std::vector<uint32_t>& owners() const { return owners_; }

  private:
    size_t file_count_;
    ZeroedArray<double> best_, second_;
    ZeroedArray<uint8_t> has_best_;
    std::vector<uint32_t> owners_;
};

// Called once per symbol of a question's postings: defined here to be inlined.
inline void SymbolTops::add(uint32_t owner, double value) {
    if (owner >= file_count_) cp::raise_error(PyExc_ValueError, "a symbol's file out of range");
    if (!has_best_[owner]) {
        owners_.push_back(owner); // first: every slot written is among the owners
        has_best_[owner] = 1;
        best_[owner] = value;
    } else if (value > best_[owner]) {
        second_[owner] = best_[owner];
        best_[owner] = value;
    } else if (value > second_[owner]) {
        second_[owner] = value;
    }
}

// ValueError `message` unless `size` is `expected`.
void check_length(size_t size, size_t expected, const char* message);

// Refuses priors or flags that are not one per file.
void check_facts(std::span<const float> priors, std::span<const uint8_t> flags, size_t file_count);

// Hands `take(total, number)` each file's total above zero: its own score in `files` plus
// shares of its best and second symbol's, times its prior and its flags' factors; the files
// scored first, in their order, then the others with a symbol.
template <typename Take>
void each_total(const Collection& files, const SymbolTops& tops, std::span<const float> priors,
                std::span<const uint8_t> flags, const FileRule& rule, Take take) {
    size_t mask = rule.factors.size() - 1;
    auto add_total = [&](uint32_t number) {
        double total = files[number] + rule.best_share * tops.best(number) +
                       rule.second_share * tops.second(number);
        total *= static_cast<double>(priors[number]);
        for (double factor : rule.factors[flags[number] & mask])
            total *= factor;
        if (total > 0.0) take(total, number);
    };
    for (uint32_t number : files.order())
        add_total(number);
    for (uint32_t number : tops.owners())
        if (!files.seen(number)) add_total(number);
}

// The files `each_total` would hand over: an upper bound of their count.
inline size_t files_with_totals(const Collection& files, const SymbolTops& tops) {
    size_t count = files.order().size();
    for (uint32_t number : tops.owners())
        count += files.seen(number) ? 0 : 1;
    return count;
}

// Each file's total above zero, unordered (`each_total`).
std::vector<Scored> totals_of(const Collection& files, const SymbolTops& tops,
                              std::span<const float> priors, std::span<const uint8_t> flags,
                              const FileRule& rule);

class Scores {
  public:
    Scores(size_t file_count, size_t symbol_count) : files(file_count), symbols(symbol_count) {}

    // Files scoring above zero whose total reaches the `top`-th best, best first (more than
    // `top` when totals tie at the cut; ties in number order): a file's total is its own score
    // plus shares of its best and second symbol's, times its prior and its flags' factors.
    std::vector<Scored> file_totals(std::span<const uint32_t> symbol_file,
                                    std::span<const float> priors, std::span<const uint8_t> flags,
                                    const FileRule& rule, size_t top) const;

    // Every file whose total is above zero and at least `floor`, best first (ties in number
    // order).
    std::vector<Scored> file_totals_reaching(std::span<const uint32_t> symbol_file,
                                             std::span<const float> priors,
                                             std::span<const uint8_t> flags, const FileRule& rule,
                                             double floor) const;

    // For each file of `wanted` (distinct numbers), its best `per_file` symbols, best first,
    // ties to the smaller number.
    std::vector<std::vector<Scored>> best_symbols(std::span<const uint32_t> symbol_file,
                                                  std::span<const int64_t> wanted,
                                                  size_t per_file) const;

    Collection files;
    Collection symbols;

  private:
    // Each file's total above zero, unordered.
    std::vector<Scored> totals(std::span<const uint32_t> symbol_file, std::span<const float> priors,
                               std::span<const uint8_t> flags, const FileRule& rule) const;
};

// The postings (numbers, weights) that lie in the files `wanted` (a byte per file, non-zero
// for wanted): a file posting by its own number, a symbol posting by its file in
// `symbol_file` (empty for file postings).
std::pair<std::vector<uint32_t>, std::vector<float>>
postings_in(std::span<const uint32_t> numbers, std::span<const float> weights,
            std::span<const uint32_t> symbol_file, std::span<const uint8_t> wanted);

// The postings (numbers, weights) whose numbers lie in one of `blocks`, pairs (first, end) of
// half-open ranges in increasing order that do not overlap (a file's symbols are numbered
// together): each block is found by binary search in `numbers`, which increase as stored
// postings do, so the cost follows the blocks, not the postings.
std::pair<std::vector<uint32_t>, std::vector<float>>
postings_in_blocks(std::span<const uint32_t> numbers, std::span<const float> weights,
                   std::span<const uint32_t> blocks);

} // namespace scoring
