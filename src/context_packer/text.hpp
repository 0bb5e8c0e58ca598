// Building texts from str pieces, each result sized and copied once.
#pragma once

#include <cstring>
#include <initializer_list>

#include "context_packer.hpp"

namespace cp {

// `separator.join(items)` over an array, with str.join's own errors for a non-str item. The
// array may be a caller's list storage: nothing between the reads of the items runs code or
// allocates a tracked object (which could start a collection that changes the list).
Ref join_texts(PyObject* separator, PyObject* const* items, Py_ssize_t count);

// Value equality of two ready strs (every str is, but for the deprecated legacy kind), cheapest
// tests first.
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// The text a formatted string field shows for a value: format(value, "").
inline Ref format_field(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return checked(PyObject_Format(value, K.empty));
}

// Concatenation of str pieces (exact or subclass instances) into one new str.
inline Ref concat_texts(std::initializer_list<PyObject*> pieces) {
    return join_texts(K.empty, pieces.begin(), static_cast<Py_ssize_t>(pieces.size()));
}

} // namespace cp
