// Counting the search terms of source text. A text's word runs are mapped to their terms once
// per distinct word (here for a word of ASCII characters, by a Python function for any other;
// the answer is kept) and the terms counted per text: every further occurrence of a word is a
// hash lookup here, not a Python object. The counts become a document field in place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ascii_terms.hpp"
#include "py_ref.hpp"

namespace words {

// A character of a word run: an ASCII letter, digit or underscore, or any character beyond
// ASCII that Python's str.split() does not take for white space.
bool is_word_char(Py_UCS4 c);

class WordCounter {
  public:
    // Words kept with their terms; past this many the kept words and terms are dropped at the
    // start of the next call, which bounds the memory of a long run.
    static constexpr size_t kMaxWords = size_t{1} << 18;

    // `no_terms`: the words (in lower case) that give no terms; `max_terms`: the terms a field
    // keeps, the most frequent; `uncounted`: the key of a document's weight left out of its
    // length.
    WordCounter(WordSet no_terms, size_t max_terms, cp::Ref uncounted);

    // (term counts of texts[:first] together, [term counts of each text]): dicts of term ->
    // count in the order the terms first occur. `word_terms(word)` gives the terms of a word
    // that is not all ASCII as a tuple of str.
    cp::Ref count(PyObject* texts, size_t first, PyObject* word_terms);

    // Adds to docs[0] the field of texts[:first] together at `file_weight`, and to each
    // further docs[i] the field of texts[i] at `symbol_weight`: per term of the field,
    // weight x (1 + ln count), for its `max_terms` most frequent terms (ties in first-seen
    // order), and their sum to the uncounted key.
    void add_fields(PyObject* texts, size_t first, PyObject* docs, double file_weight,
                    double symbol_weight, PyObject* word_terms);

  private:
    struct Terms {
        uint32_t start = 0; // into term_lists_
        uint32_t size = 0;
    };
    using IdMap = std::unordered_map<std::string, uint32_t, WordHash, std::equal_to<>>;

    // Counts each text in turn, calling `each(i)` while the counts of texts[i] are at hand,
    // then `finish()` with the sum of the counts of texts[:first].
    template <typename Each, typename Finish>
    void tally(const std::vector<cp::Ref>& texts, size_t first, PyObject* word_terms, Each each,
               Finish finish);
    void forget_if_full();
    void count_text(PyObject* text, PyObject* word_terms);
    void count_word(PyObject* text, Py_ssize_t start, Py_ssize_t end, std::string_view key,
                    PyObject* word_terms);
    void add_term(uint32_t id) {
        if (counts_[id]++ == 0) order_.push_back(id);
    }
    uint32_t term_id(std::string&& utf8, PyObject* term);
    cp::Ref counts_dict(const std::vector<uint32_t>& order, const std::vector<size_t>& counts);
    void add_field(PyObject* doc, const std::vector<uint32_t>& order,
                   const std::vector<size_t>& counts, double weight);

    WordSet no_terms_;
    size_t max_terms_;
    cp::Ref uncounted_;
    IdMap word_ids_;                   // word (UTF-8) -> index into words_
    std::vector<Terms> words_;         // each kept word's terms
    std::vector<uint32_t> term_lists_; // the term ids of the kept words, laid end to end
    IdMap term_ids_;                   // term (UTF-8) -> id
    std::vector<cp::Ref> terms_;       // id -> the term as a str
    std::vector<size_t> counts_;       // id -> count in the text at hand, zero between texts
    std::vector<size_t> totals_;       // id -> count in the texts summed, zero between calls
    std::vector<uint32_t> order_;      // ids of the text at hand, as first seen
    std::vector<uint32_t> total_order_;
    std::vector<uint32_t> pending_;  // the terms of the word at hand
    std::vector<uint32_t> ranked_;   // a field's terms, most frequent first
    std::vector<std::string> parts_; // an ASCII word's terms
    std::string key_;                // the word at hand, UTF-8
    bool busy_ = false;
};

} // namespace words
