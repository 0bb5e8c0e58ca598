// The boundary of a module function and the reading of its plain arguments, shared by the
// small extension modules.
#pragma once

#include <new>

#include "py_ref.hpp"

namespace cp {

// Runs a body behind the error boundary: a Python error, or memory running out, comes back as
// NULL with the exception set.
template <typename Body> PyObject* guarded(Body body) {
    try {
        return body();
    } catch (const PyErrorMarker&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

inline void expect_arguments(Py_ssize_t given, Py_ssize_t expected, const char* name) {
    if (given != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected,
                     given);
        raise();
    }
}

inline size_t count_from(PyObject* value, const char* what) {
    Py_ssize_t count = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) raise();
    if (count < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
        raise();
    }
    return static_cast<size_t>(count);
}

inline double double_from(PyObject* value) {
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) raise();
    return result;
}

// Adds the type made from `spec` to `module` under `name`; -1 with the error set on failure.
inline int add_type(PyObject* module, PyType_Spec* spec, const char* name) {
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) return -1;
    return PyModule_AddObject(module, name, type) < 0 ? (Py_DECREF(type), -1) : 0;
}

} // namespace cp
