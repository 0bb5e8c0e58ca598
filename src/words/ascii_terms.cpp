#include "ascii_terms.hpp"

#include <algorithm>

namespace words {

namespace {

bool is_upper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool is_lower(char c) {
    return c >= 'a' && c <= 'z';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool ends_with(const std::string& word, std::string_view suffix) {
    return std::string_view(word).ends_with(suffix);
}

bool all_letters(const std::string& word) {
    return std::all_of(word.begin(), word.end(), [](char c) { return is_lower(c); });
}

void lower(std::string& text) {
    for (char& c : text)
        if (is_upper(c)) c = static_cast<char>(c - 'A' + 'a');
}

// The parts of a word: an upper-case run not followed by a lower-case letter (HTTP of
// HTTPServer), an optionally capitalised lower-case run, or a digit run; underscores
// separate.
void split_parts(std::string_view word, std::vector<std::string>& parts) {
    size_t i = 0;
    size_t size = word.size();
    while (i < size) {
        size_t end = i;
        if (is_upper(word[i])) {
            while (end < size && is_upper(word[end]))
                ++end;
            if (end < size && is_lower(word[end])) {
                // The run's last capital starts the next word.
                if (end - i >= 2) parts.emplace_back(word.substr(i, end - 1 - i));
                i = end - 1;
                end = i + 1;
                while (end < size && is_lower(word[end]))
                    ++end;
            }
        } else if (is_lower(word[i])) {
            while (end < size && is_lower(word[end]))
                ++end;
        } else if (is_digit(word[i])) {
            while (end < size && is_digit(word[end]))
                ++end;
        } else {
            ++i; // an underscore
            continue;
        }
        parts.emplace_back(word.substr(i, end - i));
        i = end;
    }
}

} // namespace

void stem(std::string& word) {
    if (word.size() <= 3 || !all_letters(word)) return;
    if (ends_with(word, "ies") && word.size() > 4) {
        word.resize(word.size() - 3);
        word.push_back('y');
    } else if (ends_with(word, "sses") || ends_with(word, "ches") || ends_with(word, "shes") ||
               ends_with(word, "xes")) {
        word.resize(word.size() - 2);
    } else if (ends_with(word, "s") && !ends_with(word, "ss") && !ends_with(word, "us") &&
               !ends_with(word, "is")) {
        word.pop_back();
    }
    // -ing or -ed, then -er; a doubled final consonant goes with them (running -> run).
    for (auto suffixes : {std::initializer_list<std::string_view>{"ing", "ed"},
                          std::initializer_list<std::string_view>{"er"}}) {
        for (std::string_view suffix : suffixes) {
            if (ends_with(word, suffix) && word.size() - suffix.size() >= 3 &&
                !ends_with(word, "eed")) {
                word.resize(word.size() - suffix.size());
                size_t n = word.size();
                if (n >= 4 && word[n - 1] == word[n - 2] &&
                    std::string_view("aeioulsz").find(word[n - 1]) == std::string_view::npos)
                    word.pop_back();
                break;
            }
        }
    }
    if (ends_with(word, "ion") && word.size() > 6 &&
        (word[word.size() - 4] == 's' || word[word.size() - 4] == 't')) {
        word.resize(word.size() - 3);
    } else if (ends_with(word, "e") && word.size() > 3) {
        word.pop_back();
    }
}

void ascii_terms(std::string_view word, const WordSet& no_terms, std::vector<std::string>& out) {
    out.clear();
    if (word.empty() || is_digit(word[0])) return;
    std::string lowered(word);
    lower(lowered);
    if (no_terms.find(std::string_view(lowered)) != no_terms.end()) return;
    split_parts(word, out);
    std::string whole;
    for (std::string& part : out) {
        lower(part);
        whole += part;
        stem(part);
    }
    if (out.size() > 1) {
        stem(whole);
        if (std::find(out.begin(), out.end(), whole) == out.end()) out.push_back(std::move(whole));
    }
}

} // namespace words
