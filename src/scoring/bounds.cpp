// Every file's bound in one pass over a question's postings; see bounds.hpp.
#include "bounds.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "owners.hpp"
#include "py_ref.hpp"

namespace scoring {

namespace {

// Symbols whose sums are held at once: their array stays in the cache and is cleared where it
// was touched, so a question's memory follows its postings, not the project's symbols.
constexpr size_t kWindow = size_t{1} << 16;
// A scale up to this times any float weight stays finite (the largest float is below 2^128).
constexpr double kPlainScale = 1e260;

// A posting's share under `Collection::add_bound`: the same operations, the same refusals.
double bound_share(float weight, double least_norm, double scale) {
    double tf = weight;
    double denominator = tf + least_norm;
    if (denominator == 0.0) cp::raise_error(PyExc_ZeroDivisionError, "float division by zero");
    double share = scale * tf / denominator;
    if (!std::isfinite(share)) cp::raise_error(PyExc_ValueError, "postings or norms not finite");
    return share;
}

// The checks `add_bound` makes of a term's symbol postings before adding any, and their order.
// True when no share of the term can be refused (its weights finite, the norm above zero and
// the scale small enough that no product overflows): its shares are then taken unchecked.
bool check_symbols(const TermPostings& term, size_t symbol_count, double least_norm) {
    bool finite = true;
    for (float weight : term.symbol_weights) {
        if (!(weight >= 0.0f)) cp::raise_error(PyExc_ValueError, "postings weights negative");
        finite = finite && std::isfinite(weight);
    }
    check_length(term.symbol_weights.size(), term.symbols.size(), "postings of unequal length");
    for (size_t i = 0; i < term.symbols.size(); ++i) {
        if (term.symbols[i] >= symbol_count)
            cp::raise_error(PyExc_ValueError, "postings out of range");
        if (i > 0 && term.symbols[i] <= term.symbols[i - 1])
            cp::raise_error(PyExc_ValueError, "postings out of order");
    }
    return finite && least_norm > 0.0 && term.symbol_scale <= kPlainScale;
}

// The checks `Collection::add_bound` makes of a term's file postings, in its order, shares
// included, without adding any; then their order, which a merge relies on. True when no share
// of the term can be refused.
bool check_files(const TermPostings& term, size_t file_count, double least_norm) {
    bool finite = true;
    for (float weight : term.file_weights) {
        if (!(weight >= 0.0f)) cp::raise_error(PyExc_ValueError, "postings weights negative");
        finite = finite && std::isfinite(weight);
    }
    check_length(term.file_weights.size(), term.files.size(), "postings of unequal length");
    for (uint32_t number : term.files)
        if (number >= file_count) cp::raise_error(PyExc_ValueError, "postings out of range");
    bool plain = finite && least_norm > 0.0 && term.file_scale <= kPlainScale;
    if (!plain)
        for (float weight : term.file_weights)
            bound_share(weight, least_norm, term.file_scale);
    for (size_t i = 1; i < term.files.size(); ++i)
        if (term.files[i] <= term.files[i - 1])
            cp::raise_error(PyExc_ValueError, "postings out of order");
    return plain;
}

// A posting's share once its term was checked: the operations of `bound_share`.
inline double plain_share(float weight, double least_norm, double scale) {
    double tf = weight;
    return scale * tf / (tf + least_norm);
}

// A file's best and second symbol as `SymbolTops::add` keeps them: which of the values come
// first does not change them.
struct Tops {
    bool any = false;
    double best = 0.0;
    double second = 0.0;

    void add(double value) {
        if (!any) {
            any = true;
            best = value;
        } else if (value > best) {
            second = best;
            best = value;
        } else if (value > second) {
            second = value;
        }
    }
    // Those of another run of the file's symbols (only slots before every block make two).
    // Its second is zero when it holds one value, which leaves these as they would be: every
    // value is at least zero.
    void add(const Tops& other) {
        if (!any) {
            *this = other;
        } else if (other.any) {
            add(other.best);
            add(other.second);
        }
    }
};

// The terms' file postings merged by number: each file's shares summed in term order.
class Merge {
  public:
    Merge(std::span<const TermPostings> terms, double least_norm) : least_norm_(least_norm) {
        for (const TermPostings& term : terms)
            lists_.push_back(
                {term.files.data(), term.file_weights.data(), term.files.size(), term.file_scale});
        find_next();
    }
    // The least number not yet summed; UINT32_MAX once all are.
    uint32_t next() const { return next_; }
    // The shares of `next()`, summed in term order from zero, and moves past it.
    double take() {
        double sum = 0.0;
        for (List& list : lists_)
            if (list.at < list.size && list.numbers[list.at] == next_) {
                sum += plain_share(list.weights[list.at], least_norm_, list.scale);
                ++list.at;
            }
        find_next();
        return sum;
    }

  private:
    struct List {
        const uint32_t* numbers;
        const float* weights;
        size_t size;
        double scale;
        size_t at = 0;
    };

    void find_next() {
        next_ = UINT32_MAX;
        for (const List& list : lists_)
            if (list.at < list.size) next_ = std::min(next_, list.numbers[list.at]);
    }

    double least_norm_;
    std::vector<List> lists_;
    uint32_t next_ = UINT32_MAX;
};

// Each symbol's sum, its terms' shares added in term order, handed over a window at a time:
// `hand_over(base, sums, touched, order)` takes the window's sums and sets back what it read.
template <typename HandOver>
void add_symbol_sums(std::span<const TermPostings> terms, const std::vector<bool>& plain,
                     double least_norm, size_t symbol_count, HandOver hand_over) {
    // No wider than the symbols: a small project clears a small window.
    const size_t window = std::clamp(symbol_count, size_t{1}, kWindow);
    std::vector<double> sums(window);
    std::vector<uint8_t> touched(window);
    std::vector<uint32_t> order; // the window's symbols, in the order first touched
    std::vector<size_t> at(terms.size());
    for (;;) {
        uint32_t first = UINT32_MAX;
        for (size_t t = 0; t < terms.size(); ++t)
            if (at[t] < terms[t].symbols.size()) first = std::min(first, terms[t].symbols[at[t]]);
        if (first == UINT32_MAX) return; // numbers are below the symbols' count, itself below
        size_t base = first - first % window;
        for (size_t t = 0; t < terms.size(); ++t) {
            const TermPostings& term = terms[t];
            double scale = term.symbol_scale;
            // The same operations either way; the checks only where a share could fail them.
            auto add = [&](auto share_of) {
                const uint32_t* symbols = term.symbols.data();
                const float* weights = term.symbol_weights.data();
                size_t i = at[t], size = term.symbols.size();
                for (; i < size && symbols[i] - base < window; ++i) {
                    uint32_t slot = symbols[i] - static_cast<uint32_t>(base);
                    sums[slot] += share_of(weights[i]);
                    if (!touched[slot]) {
                        touched[slot] = 1;
                        order.push_back(slot);
                    }
                }
                at[t] = i;
            };
            if (plain[t]) {
                add([&](float weight) {
                    double tf = weight;
                    return scale * tf / (tf + least_norm);
                });
            } else {
                add([&](float weight) { return bound_share(weight, least_norm, scale); });
            }
        }
        hand_over(base, sums, touched, order);
        order.clear();
    }
}

// A window's symbols in increasing order, each handed to `take` and its slot set back: marked in
// `bits` (a bit a slot, all clear), then found word by word, so a window of a few symbols and
// one of thousands both cost what they hold and a pass over a bit per slot.
template <typename Take>
void in_order(std::vector<uint8_t>& touched, const std::vector<uint32_t>& order,
              std::vector<uint64_t>& bits, Take take) {
    for (uint32_t slot : order)
        bits[slot / 64] |= uint64_t{1} << (slot % 64);
    for (size_t at = 0; at < bits.size(); ++at) {
        uint64_t word = bits[at];
        if (word == 0) continue;
        bits[at] = 0;
        for (; word != 0; word &= word - 1) {
            auto slot =
                static_cast<uint32_t>(at * 64 + static_cast<size_t>(std::countr_zero(word)));
            take(slot);
            touched[slot] = 0;
        }
    }
}

} // namespace

size_t bound_totals(std::span<const TermPostings> terms, double least_norm,
                    std::span<const uint32_t> symbol_file, std::span<const float> priors,
                    std::span<const uint8_t> flags, const FileRule& rule, const TotalsRoom& room) {
    size_t file_count = priors.size();
    Collection files(file_count);
    std::vector<bool> plain; // per term, whether its shares can be taken unchecked
    for (const TermPostings& term : terms) {
        if (!(term.file_scale >= 0.0 && term.symbol_scale >= 0.0))
            cp::raise_error(PyExc_ValueError, "a scale negative");
        files.add_bound(term.files, term.file_weights, least_norm, term.file_scale);
        plain.push_back(check_symbols(term, symbol_file.size(), least_norm));
    }
    check_facts(priors, flags, file_count);
    SymbolTops tops(file_count);
    add_symbol_sums(terms, plain, least_norm, symbol_file.size(),
                    [&](size_t base, std::vector<double>& sums, std::vector<uint8_t>& touched,
                        const std::vector<uint32_t>& order) {
                        for (uint32_t slot : order) {
                            tops.add(symbol_file[base + slot], sums[slot]);
                            sums[slot] = 0.0;
                            touched[slot] = 0;
                        }
                    });
    // Written where they are kept: no list of pairs grown and copied (most files of a large
    // project have a bound).
    auto [totals, numbers] = room(files_with_totals(files, tops));
    size_t count = 0;
    each_total(files, tops, priors, flags, rule, [&](double total, uint32_t number) {
        totals[count] = total;
        numbers[count] = number;
        ++count;
    });
    return count;
}

size_t bound_totals_from_firsts(std::span<const TermPostings> terms, double least_norm,
                                std::span<const uint32_t> firsts, size_t symbol_count,
                                std::span<const float> priors, std::span<const uint8_t> flags,
                                const FileRule& rule, const TotalsRoom& room) {
    BlockOrder order(firsts, symbol_count);
    size_t file_count = priors.size();
    check_length(firsts.size(), file_count, "first symbols of the wrong length");
    // Every refusal `bound_totals` makes, before anything is summed.
    std::vector<bool> plain;
    for (const TermPostings& term : terms) {
        if (!(term.file_scale >= 0.0 && term.symbol_scale >= 0.0))
            cp::raise_error(PyExc_ValueError, "a scale negative");
        check_files(term, file_count, least_norm);
        plain.push_back(check_symbols(term, symbol_count, least_norm));
    }
    check_facts(priors, flags, file_count);
    for (size_t t = 0; t < terms.size(); ++t)
        if (!plain[t])
            for (float weight : terms[t].symbol_weights)
                bound_share(weight, least_norm, terms[t].symbol_scale);
    // A file's symbols lie in its block, and the blocks in place come in file order: the
    // symbols' sums come a window at a time in symbol order, so those files come in order, and
    // with the file postings merged beside them each one's total is made as they pass it,
    // nothing kept per file. The few blocks an update moved keep their files' scores and best
    // symbols aside until the end.
    auto [totals, numbers] = room(file_count);
    size_t count = 0;
    size_t mask = rule.factors.size() - 1;
    auto total_of = [&](uint32_t file, double score, const Tops& tops) {
        double total = score + rule.best_share * tops.best + rule.second_share * tops.second;
        total *= static_cast<double>(priors[file]);
        for (double factor : rule.factors[flags[file] & mask])
            total *= factor;
        if (total > 0.0) {
            totals[count] = total;
            numbers[count] = file;
            ++count;
        }
    };
    const std::vector<uint32_t>& moved = order.moved();
    const auto& moved_by_number = order.moved_by_number();
    std::vector<double> moved_scores(moved.size());
    std::vector<Tops> moved_tops(moved.size());
    size_t passed = 0; // the moved files (by number) the file postings went past
    Merge files(terms, least_norm);
    auto files_before = [&](uint32_t end) {
        while (files.next() < end) {
            uint32_t file = files.next();
            while (passed < moved_by_number.size() && moved_by_number[passed].first < file)
                ++passed;
            if (passed < moved_by_number.size() && moved_by_number[passed].first == file)
                moved_scores[moved_by_number[passed].second] = files.take();
            else
                total_of(file, files.take(), Tops{});
        }
    };
    // The file at hand: its own score, and its best and second symbol so far (a moved file's
    // added to those kept aside when its symbols end).
    uint32_t current = UINT32_MAX;
    uint32_t current_place = kInPlace;
    double score = 0.0;
    Tops tops;
    auto finish = [&] {
        if (current == UINT32_MAX) return;
        if (current_place == kInPlace)
            total_of(current, score, tops);
        else
            moved_tops[current_place].add(tops);
    };
    FileWalk walk(order);
    std::vector<uint64_t> bits;
    add_symbol_sums(terms, plain, least_norm, symbol_count,
                    [&](size_t base, std::vector<double>& sums, std::vector<uint8_t>& touched,
                        std::vector<uint32_t>& touched_order) {
                        bits.resize((touched.size() + 63) / 64);
                        in_order(touched, touched_order, bits, [&](uint32_t slot) {
                            const Block& owner = walk.of(static_cast<uint32_t>(base + slot));
                            double value = sums[slot];
                            sums[slot] = 0.0;
                            if (owner.file != current) {
                                finish();
                                current = owner.file;
                                current_place = owner.place;
                                if (current_place == kInPlace) {
                                    files_before(current);
                                    score = files.next() == current ? files.take() : 0.0;
                                }
                                tops = Tops{};
                            }
                            tops.add(value);
                        });
                    });
    finish();
    files_before(UINT32_MAX);
    for (size_t place = 0; place < moved.size(); ++place)
        total_of(moved[place], moved_scores[place], moved_tops[place]);
    return count;
}

} // namespace scoring
