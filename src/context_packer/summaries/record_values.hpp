// Reading record values with Python semantics: `get`, text forms, joins, cuts to the first few
// items and tuple unpacking. Exact dict, list, tuple and str take direct paths; everything else
// goes through the object protocol, with the same results and the same exceptions.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "context_packer.hpp"
#include "iteration.hpp"
#include "text.hpp"

namespace cp::summaries {

// `mapping.get(key, [])`: the fresh default list is made only when the key is missing.
Ref get_or_new_list(PyObject* mapping, PyObject* key);

// `separator.join(iterable)`.
Ref join(PyObject* separator, PyObject* iterable);
// `separator.join(value[:count])`; `count_object` is the same bound as a Python int.
Ref join_first(PyObject* separator, PyObject* value, Py_ssize_t count, PyObject* count_object);

// `value[:count]`; TypeError "'%.200s' object is unsliceable" for a type without subscripts.
Ref first_items(PyObject* value, PyObject* count_object);

// `value.strip()`, with all Unicode whitespace removed at both ends of an exact str.
Ref stripped(PyObject* value);
// `value.endswith(".")` as a condition.
bool ends_with_dot(PyObject* value);
// `value += "."`.
Ref with_dot(Ref value);

// `for item in iterable:` calling `body(item)` for each item; errors raised while stepping the
// iterator are reported on `loop_line`.
template <class Body>
void for_each_item(Frame& frame, int loop_line, PyObject* iterable, Body&& body) {
    frame.line = loop_line;
    ForItems items(iterable);
    for (;;) {
        frame.line = loop_line;
        Ref item = items.next();
        if (item.get() == nullptr) return;
        body(item.get());
    }
}

// The first members of a mapping as `for name, info in list(mapping.items())[:limit]` sees
// them: taken up front (so the loop body may not disturb them) and unpacked one by one.
class FirstMembers {
  public:
    static constexpr Py_ssize_t kMaxLimit = 8;

    // `limit` is at most kMaxLimit.
    FirstMembers(PyObject* mapping, Py_ssize_t limit);
    Py_ssize_t size() const { return count_; }
    // Unpacks member `index` into its name and info, with the interpreter's unpacking errors
    // for an `items()` that yields something other than pairs.
    void unpack(Py_ssize_t index, Ref& name, Ref& info) const;

  private:
    Ref items_[kMaxLimit]; // the (name, info) pairs, or whatever `items()` produced
    Ref names_[kMaxLimit]; // exact dicts: the names and infos, already paired
    Ref infos_[kMaxLimit];
    Py_ssize_t count_ = 0;
    bool paired_ = false;
};

// A list of owned texts. The renderers' collections are bounded by their caps, so they
// normally stay in the inline buffer; a cut through a custom `__getitem__` may return more
// items than asked for, and those spill over to the heap.
template <size_t Capacity> class TextList {
  public:
    TextList() = default;
    TextList(const TextList&) = delete;
    TextList& operator=(const TextList&) = delete;
    ~TextList() {
        for (size_t i = 0; i < count_; ++i)
            Py_DECREF(inline_[i]);
        for (PyObject* item : spilled_)
            Py_DECREF(item);
    }
    void add(Ref item) {
        if (spilled_.empty() && count_ < Capacity) {
            inline_[count_++] = item.release();
            return;
        }
        if (spilled_.empty()) {
            spilled_.assign(inline_, inline_ + count_);
            count_ = 0;
        }
        spilled_.push_back(item.get());
        item.release();
    }
    bool empty() const { return count_ == 0 && spilled_.empty(); }
    Ref joined(PyObject* separator) const {
        if (!spilled_.empty())
            return join_texts(separator, spilled_.data(), static_cast<Py_ssize_t>(spilled_.size()));
        return join_texts(separator, inline_, static_cast<Py_ssize_t>(count_));
    }

  private:
    PyObject* inline_[Capacity];
    size_t count_ = 0;
    std::vector<PyObject*> spilled_;
};

} // namespace cp::summaries
