#include "word_counts.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "utf8.hpp"

namespace words {

namespace {

using cp::check;
using cp::checked;
using cp::Ref;

constexpr std::array<bool, 128> ascii_word_chars() {
    std::array<bool, 128> table{};
    for (int c = 0; c < 128; ++c)
        table[static_cast<size_t>(c)] =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    return table;
}
constexpr std::array<bool, 128> kAsciiWord = ascii_word_chars();

// What str.isspace() holds beyond ASCII (Unicode's white space, the same in every version of
// the character database CPython 3.10 to 3.13 ship).
bool is_space_beyond_ascii(Py_UCS4 c) {
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

void utf8_of(PyObject* text, std::string& out) {
    out.clear();
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < size; ++i)
        append_utf8(out, PyUnicode_READ(kind, data, i));
}

// Calls `word(start, end, key)` for each word run of `data`; `key` is the run in UTF-8, kept in
// `buffer` unless the text is ASCII, whose characters are their own UTF-8.
template <typename Char, typename OnWord>
void each_word(const Char* data, Py_ssize_t size, bool ascii, std::string& buffer, OnWord word) {
    Py_ssize_t i = 0;
    while (i < size) {
        while (i < size && !is_word_char(data[i]))
            ++i;
        if (i == size) break;
        Py_ssize_t start = i;
        if (ascii) {
            while (i < size && kAsciiWord[data[i]])
                ++i;
            word(start, i,
                 std::string_view(reinterpret_cast<const char*>(data + start),
                                  static_cast<size_t>(i - start)));
        } else {
            buffer.clear();
            while (i < size && is_word_char(data[i]))
                append_utf8(buffer, data[i++]);
            word(start, i, std::string_view(buffer));
        }
    }
}

} // namespace

bool is_word_char(Py_UCS4 c) {
    return c < 128 ? kAsciiWord[c] : !is_space_beyond_ascii(c);
}

WordCounter::WordCounter(WordSet no_terms, size_t max_terms, Ref uncounted)
    : no_terms_(std::move(no_terms)), max_terms_(max_terms), uncounted_(std::move(uncounted)) {}

namespace {

// The texts are held here: word_terms may change the caller's sequence meanwhile.
std::vector<Ref> held_strings(PyObject* sequence, const char* what) {
    Ref items = checked(PySequence_Fast(sequence, what));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<Ref> held;
    held.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) cp::raise_error(PyExc_TypeError, what);
        held.push_back(Ref::borrow(item));
    }
    return held;
}

// doc[key] = doc.get(key, 0.0) + value, with Python's arithmetic for a value of another type.
void add_value(PyObject* doc, PyObject* key, double value) {
    PyObject* existing = PyDict_GetItemWithError(doc, key);
    if (existing == nullptr && PyErr_Occurred()) cp::raise();
    Ref sum;
    if (existing == nullptr) {
        sum = checked(PyFloat_FromDouble(0.0 + value));
    } else if (PyFloat_CheckExact(existing)) {
        sum = checked(PyFloat_FromDouble(PyFloat_AS_DOUBLE(existing) + value));
    } else {
        Ref held = Ref::borrow(existing);
        Ref addend = checked(PyFloat_FromDouble(value));
        sum = checked(PyNumber_Add(held.get(), addend.get()));
    }
    check(PyDict_SetItem(doc, key, sum.get()));
}

} // namespace

template <typename Each, typename Finish>
void WordCounter::tally(const std::vector<Ref>& texts, size_t first, PyObject* word_terms,
                        Each each, Finish finish) {
    if (busy_) cp::raise_error(PyExc_RuntimeError, "counting again from word_terms");
    // Whatever happens, the next call starts with no counts and not busy.
    struct Reset {
        WordCounter& self;
        ~Reset() {
            for (uint32_t id : self.order_)
                self.counts_[id] = 0;
            for (uint32_t id : self.total_order_)
                self.totals_[id] = 0;
            self.order_.clear();
            self.total_order_.clear();
            self.busy_ = false;
        }
    };
    busy_ = true;
    Reset reset{*this};
    forget_if_full();
    for (size_t i = 0; i < texts.size(); ++i) {
        count_text(texts[i].get(), word_terms);
        each(i);
        for (uint32_t id : order_) {
            if (i < first) {
                if (totals_[id] == 0) total_order_.push_back(id);
                totals_[id] += counts_[id];
            }
            counts_[id] = 0;
        }
        order_.clear();
    }
    finish();
}

Ref WordCounter::count(PyObject* texts, size_t first, PyObject* word_terms) {
    std::vector<Ref> held = held_strings(texts, "texts must be a sequence of str");
    Ref each = checked(PyList_New(static_cast<Py_ssize_t>(held.size())));
    Ref total;
    tally(
        held, first, word_terms,
        [&](size_t i) {
            PyList_SET_ITEM(each.get(), static_cast<Py_ssize_t>(i),
                            counts_dict(order_, counts_).release());
        },
        [&] { total = counts_dict(total_order_, totals_); });
    return checked(PyTuple_Pack(2, total.get(), each.get()));
}

void WordCounter::add_fields(PyObject* texts, size_t first, PyObject* docs, double file_weight,
                             double symbol_weight, PyObject* word_terms) {
    std::vector<Ref> held = held_strings(texts, "texts must be a sequence of str");
    Ref items = checked(PySequence_Fast(docs, "docs must be a sequence of dicts"));
    if (static_cast<size_t>(PySequence_Fast_GET_SIZE(items.get())) != held.size())
        cp::raise_error(PyExc_ValueError, "docs and texts differ in length");
    std::vector<Ref> targets;
    for (size_t i = 0; i < held.size(); ++i) {
        PyObject* doc = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
        if (!PyDict_CheckExact(doc)) cp::raise_error(PyExc_TypeError, "docs must be dicts");
        targets.push_back(Ref::borrow(doc));
    }
    tally(
        held, first, word_terms,
        [&](size_t i) {
            if (i > 0) add_field(targets[i].get(), order_, counts_, symbol_weight);
        },
        [&] {
            if (!targets.empty()) add_field(targets[0].get(), total_order_, totals_, file_weight);
        });
}

void WordCounter::forget_if_full() {
    if (words_.size() < kMaxWords && terms_.size() < 4 * kMaxWords) return;
    word_ids_.clear();
    words_.clear();
    term_lists_.clear();
    term_ids_.clear();
    terms_.clear();
    counts_.clear();
    totals_.clear();
}

void WordCounter::count_text(PyObject* text, PyObject* word_terms) {
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    auto word = [&](Py_ssize_t start, Py_ssize_t end, std::string_view key) {
        count_word(text, start, end, key, word_terms);
    };
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        each_word(PyUnicode_1BYTE_DATA(text), size, PyUnicode_IS_ASCII(text), key_, word);
        break;
    case PyUnicode_2BYTE_KIND:
        each_word(PyUnicode_2BYTE_DATA(text), size, false, key_, word);
        break;
    default:
        each_word(PyUnicode_4BYTE_DATA(text), size, false, key_, word);
        break;
    }
}

void WordCounter::count_word(PyObject* text, Py_ssize_t start, Py_ssize_t end, std::string_view key,
                             PyObject* word_terms) {
    auto found = word_ids_.find(key);
    if (found != word_ids_.end()) {
        const Terms& terms = words_[found->second];
        for (uint32_t i = 0; i < terms.size; ++i)
            add_term(term_lists_[terms.start + i]);
        return;
    }
    pending_.clear();
    if (std::all_of(key.begin(), key.end(), [](char c) { return (c & 0x80) == 0; })) {
        ascii_terms(key, no_terms_, parts_);
        for (std::string& part : parts_)
            pending_.push_back(term_id(std::move(part), nullptr));
    } else {
        Ref word = checked(PyUnicode_Substring(text, start, end));
        Ref terms = checked(PyObject_CallOneArg(word_terms, word.get()));
        if (!PyTuple_CheckExact(terms.get()))
            cp::raise_error(PyExc_TypeError, "word_terms must give a tuple of str");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(terms.get()); ++i) {
            PyObject* term = PyTuple_GET_ITEM(terms.get(), i);
            // Exactly str: a subclass could hold references back to its holder.
            if (!PyUnicode_CheckExact(term))
                cp::raise_error(PyExc_TypeError, "word_terms must give a tuple of str");
            std::string utf8;
            utf8_of(term, utf8);
            pending_.push_back(term_id(std::move(utf8), term));
        }
    }
    if (words_.size() < kMaxWords) {
        word_ids_.emplace(std::string(key), static_cast<uint32_t>(words_.size()));
        words_.push_back(
            {static_cast<uint32_t>(term_lists_.size()), static_cast<uint32_t>(pending_.size())});
        term_lists_.insert(term_lists_.end(), pending_.begin(), pending_.end());
    }
    for (uint32_t id : pending_)
        add_term(id);
}

// The id of a term given in UTF-8, and as a str unless it is ASCII (made here then).
uint32_t WordCounter::term_id(std::string&& utf8, PyObject* term) {
    auto found = term_ids_.find(std::string_view(utf8));
    if (found != term_ids_.end()) return found->second;
    if (terms_.size() >= std::numeric_limits<uint32_t>::max())
        cp::raise_error(PyExc_OverflowError, "too many distinct terms");
    Ref object = term != nullptr ? Ref::borrow(term)
                                 : checked(PyUnicode_FromStringAndSize(
                                       utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    auto id = static_cast<uint32_t>(terms_.size());
    terms_.push_back(std::move(object));
    counts_.push_back(0);
    totals_.push_back(0);
    term_ids_.emplace(std::move(utf8), id);
    return id;
}

Ref WordCounter::counts_dict(const std::vector<uint32_t>& order,
                             const std::vector<size_t>& counts) {
    Ref dict = checked(PyDict_New());
    for (uint32_t id : order) {
        Ref count = checked(PyLong_FromSize_t(counts[id]));
        check(PyDict_SetItem(dict.get(), terms_[id].get(), count.get()));
    }
    return dict;
}

void WordCounter::add_field(PyObject* doc, const std::vector<uint32_t>& order,
                            const std::vector<size_t>& counts, double weight) {
    const std::vector<uint32_t>* chosen = &order;
    if (order.size() > max_terms_) {
        ranked_ = order;
        std::stable_sort(ranked_.begin(), ranked_.end(),
                         [&](uint32_t a, uint32_t b) { return counts[a] > counts[b]; });
        ranked_.resize(max_terms_);
        chosen = &ranked_;
    }
    double added = 0.0;
    for (uint32_t id : *chosen) {
        double value = weight * (1.0 + std::log(static_cast<double>(counts[id])));
        add_value(doc, terms_[id].get(), value);
        added += value;
    }
    if (added != 0.0) add_value(doc, uncounted_.get(), added);
}

} // namespace words
