#include "document_text.hpp"

#include <string_view>

#include "utf8.hpp"

namespace words {

namespace {

using cp::check;
using cp::checked;
using cp::Ref;

// A key as the JSON encoder writes it without ensure_ascii: only the quote, the backslash and
// the control characters escaped.
void append_json_string(std::string& out, PyObject* text) {
    static constexpr char kHex[] = "0123456789abcdef";
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    out.push_back('"');
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c <= 0x1F) {
                out += "\\u00";
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
            } else {
                append_utf8(out, c);
            }
        }
    }
    out.push_back('"');
}

// The position of `weight` among the distinct weights, added when new (equal numbers share
// one, the first seen, as keys of a dict do).
Py_ssize_t position_of(PyObject* weight, PyObject* positions, PyObject* weights) {
    PyObject* known = PyDict_GetItemWithError(positions, weight);
    if (known != nullptr) return PyLong_AsSsize_t(known);
    if (PyErr_Occurred()) cp::raise();
    Py_ssize_t position = PyList_GET_SIZE(weights);
    Ref number = checked(PyLong_FromSsize_t(position));
    check(PyDict_SetItem(positions, weight, number.get()));
    check(PyList_Append(weights, weight));
    return position;
}

// The reader of one documents' line, over the line's characters.
template <typename Char> class LineReader {
  public:
    LineReader(PyObject* line, const Char* data, PyObject* weights,
               std::unordered_map<std::string, Ref>& terms, std::string& key)
        : line_(line), data_(data), size_(static_cast<size_t>(PyUnicode_GET_LENGTH(line))),
          weights_(weights), terms_(terms), key_(key) {}

    // The documents, or nothing when the line is not in the plain form.
    Ref read() {
        Ref docs = checked(PyList_New(0));
        if (!eat('[')) return {};
        if (!eat(']')) {
            do {
                Ref doc = read_document();
                if (doc.get() == nullptr) return {};
                check(PyList_Append(docs.get(), doc.get()));
            } while (eat(','));
            if (!eat(']')) return {};
        }
        if (at_ != size_) return {};
        return docs;
    }

  private:
    bool eat(char c) {
        if (at_ < size_ && data_[at_] == static_cast<Char>(c)) {
            ++at_;
            return true;
        }
        return false;
    }

    Ref read_document() {
        if (!eat('{')) return {};
        Ref doc = checked(PyDict_New());
        if (eat('}')) return doc;
        do {
            Ref term = read_term();
            if (term.get() == nullptr || !eat(':')) return {};
            PyObject* weight = read_weight();
            if (weight == nullptr) return {};
            check(PyDict_SetItem(doc.get(), term.get(), weight));
        } while (eat(','));
        if (!eat('}')) return {};
        return doc;
    }

    // A quoted term without escapes or control characters, as a str kept for the next lines.
    Ref read_term() {
        if (!eat('"')) return {};
        size_t start = at_;
        key_.clear();
        while (at_ < size_ && data_[at_] != static_cast<Char>('"')) {
            Py_UCS4 c = data_[at_];
            if (c == '\\' || c <= 0x1F) return {};
            append_utf8(key_, c);
            ++at_;
        }
        if (!eat('"')) return {};
        auto found = terms_.find(key_);
        if (found != terms_.end()) return Ref::borrow(found->second.get());
        Ref term = checked(PyUnicode_Substring(line_, static_cast<Py_ssize_t>(start),
                                               static_cast<Py_ssize_t>(at_ - 1)));
        if (terms_.size() < DocumentReader::kMaxTerms)
            terms_.emplace(key_, Ref::borrow(term.get()));
        return term;
    }

    // A position written as JSON writes an integer, as the weight it names (borrowed).
    PyObject* read_weight() {
        size_t start = at_;
        size_t position = 0;
        while (at_ < size_ && data_[at_] >= static_cast<Char>('0') &&
               data_[at_] <= static_cast<Char>('9')) {
            if (at_ - start >= 18) return nullptr;
            position = position * 10 + static_cast<size_t>(data_[at_] - '0');
            ++at_;
        }
        if (at_ == start || (data_[start] == static_cast<Char>('0') && at_ - start > 1))
            return nullptr;
        if (position >= static_cast<size_t>(PyList_GET_SIZE(weights_))) return nullptr;
        return PyList_GET_ITEM(weights_, static_cast<Py_ssize_t>(position));
    }

    PyObject* line_;
    const Char* data_;
    size_t size_;
    size_t at_ = 0;
    PyObject* weights_;
    std::unordered_map<std::string, Ref>& terms_;
    std::string& key_;
};

} // namespace

Ref pack_documents(PyObject* docs) {
    Ref items = checked(PySequence_Fast(docs, "docs must be a sequence"));
    Ref positions = checked(PyDict_New());
    Ref weights = checked(PyList_New(0));
    std::string out = "[";
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* doc = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyDict_CheckExact(doc)) return Ref::borrow(Py_None);
        if (i > 0) out.push_back(',');
        out.push_back('{');
        Py_ssize_t at = 0;
        PyObject* term = nullptr;
        PyObject* weight = nullptr;
        bool first = true;
        while (PyDict_Next(doc, &at, &term, &weight)) {
            // Only numbers, whose hashing and comparing run no Python code that could change
            // the document under the loop.
            if (!PyUnicode_CheckExact(term) ||
                !(PyFloat_CheckExact(weight) || PyLong_CheckExact(weight)))
                return Ref::borrow(Py_None);
            if (!first) out.push_back(',');
            first = false;
            append_json_string(out, term);
            out.push_back(':');
            out += std::to_string(position_of(weight, positions.get(), weights.get()));
        }
        out.push_back('}');
    }
    out.push_back(']');
    Ref line = checked(
        PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass"));
    return checked(PyTuple_Pack(2, weights.get(), line.get()));
}

Ref DocumentReader::read(PyObject* line, PyObject* weights) {
    if (!PyUnicode_Check(line)) cp::raise_error(PyExc_TypeError, "line must be a str");
    if (!PyList_CheckExact(weights)) cp::raise_error(PyExc_TypeError, "weights must be a list");
    if (terms_.size() >= kMaxTerms) terms_.clear();
    Ref docs;
    switch (PyUnicode_KIND(line)) {
    case PyUnicode_1BYTE_KIND:
        docs = LineReader(line, PyUnicode_1BYTE_DATA(line), weights, terms_, key_).read();
        break;
    case PyUnicode_2BYTE_KIND:
        docs = LineReader(line, PyUnicode_2BYTE_DATA(line), weights, terms_, key_).read();
        break;
    default:
        docs = LineReader(line, PyUnicode_4BYTE_DATA(line), weights, terms_, key_).read();
        break;
    }
    return docs.get() != nullptr ? std::move(docs) : Ref::borrow(Py_None);
}

} // namespace words
