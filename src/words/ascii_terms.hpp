// The search terms of a word of ASCII letters, digits and underscores, exactly as the Python
// `word_terms` of the search package gives them, without a call into Python: none for a word
// that starts with a digit or is one of the `no_terms` words in lower case; else its parts
// (split at underscores, digit runs and case changes: HTTPServer -> http, server), each
// lower-cased and stemmed, then the whole word joined and stemmed when it has several parts
// and that differs from every part.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace words {

struct WordHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};
using WordSet = std::unordered_set<std::string, WordHash, std::equal_to<>>;

// Folds the common English endings of a lower-case word (escapes, escaping -> escap).
void stem(std::string& word);

// Replaces `out` with the terms of `word` (ASCII word characters only).
void ascii_terms(std::string_view word, const WordSet& no_terms, std::vector<std::string>& out);

} // namespace words
