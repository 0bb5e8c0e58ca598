// Building texts from str pieces, each result sized and copied once.
#pragma once

#include <initializer_list>

#include "context_packer.hpp"

namespace cp {

// `separator.join(items)` over an array, with str.join's own errors for a non-str item.
Ref join_texts(PyObject* separator, PyObject* const* items, Py_ssize_t count);

// Concatenation of str pieces (exact or subclass instances) into one new str.
inline Ref concat_texts(std::initializer_list<PyObject*> pieces) {
    return join_texts(K.empty, pieces.begin(), static_cast<Py_ssize_t>(pieces.size()));
}

} // namespace cp
