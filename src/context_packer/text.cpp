// Building texts: str.join over an array and one-copy concatenation.
#include "text.hpp"

#include <algorithm>
#include <cstring>

namespace cp {

namespace {

// Copies all of `source` into `target` at `at`; the target is wide enough by construction.
void copy_into(PyObject* target, Py_ssize_t at, PyObject* source) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(source);
    int target_kind = PyUnicode_KIND(target);
    int source_kind = PyUnicode_KIND(source);
    char* target_data = static_cast<char*>(PyUnicode_DATA(target));
    const void* source_data = PyUnicode_DATA(source);
    if (target_kind == source_kind) {
        std::memcpy(target_data + at * target_kind, source_data,
                    static_cast<size_t>(length) * target_kind);
        return;
    }
    for (Py_ssize_t i = 0; i < length; ++i)
        PyUnicode_WRITE(target_kind, target_data, at + i,
                        PyUnicode_READ(source_kind, source_data, i));
}

} // namespace

Ref join_texts(PyObject* separator, PyObject* const* items, Py_ssize_t count) {
    if (count == 0) return Ref::borrow(K.empty);
    if (count == 1 && PyUnicode_CheckExact(items[0])) return Ref::borrow(items[0]);

    Py_ssize_t separator_length = PyUnicode_GET_LENGTH(separator);
    Py_UCS4 max_char = count > 1 ? PyUnicode_MAX_CHAR_VALUE(separator) : 0;
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = items[i];
        if (!PyUnicode_Check(item))
            raise_format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         i, Py_TYPE(item)->tp_name);
        if (PyUnicode_READY(item) < 0) raise();
        Py_ssize_t add = PyUnicode_GET_LENGTH(item) + (i > 0 ? separator_length : 0);
        if (total > PY_SSIZE_T_MAX - add)
            raise_error(PyExc_OverflowError, "join() result is too long for a Python string");
        total += add;
        max_char = std::max<Py_UCS4>(max_char, PyUnicode_MAX_CHAR_VALUE(item));
    }

    Ref result = checked(PyUnicode_New(total, max_char));
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i > 0 && separator_length > 0) {
            copy_into(result.get(), at, separator);
            at += separator_length;
        }
        copy_into(result.get(), at, items[i]);
        at += PyUnicode_GET_LENGTH(items[i]);
    }
    return result;
}

} // namespace cp
