// Ownership and error flow of the C API, shared by the extension modules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace cp {

// ---------------------------------------------------------------------------------------------
// Errors. A failing C API call leaves the Python error set; check() then throws this marker,
// which carries nothing: the error itself stays in the thread state until the function
// boundary adds its traceback entry and returns NULL.
struct PyErrorMarker {};

[[noreturn]] inline void raise() {
    throw PyErrorMarker{};
}

// Sets a TypeError/ValueError/... and throws.
[[noreturn]] inline void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    raise();
}

inline PyObject* check(PyObject* result) {
    if (result == nullptr) raise();
    return result;
}
// For calls that report failure as -1 (SetItem, Append, IsTrue, RichCompareBool, ...).
inline int check(int status) {
    if (status < 0) raise();
    return status;
}
inline Py_ssize_t check(Py_ssize_t size) {
    if (size < 0) raise();
    return size;
}

// ---------------------------------------------------------------------------------------------
// Ownership. Ref owns one strong reference (or none). It is move-only and deliberately has no
// truth test: "is there an object" is asked with .get() != nullptr, Python truth with truth().
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* object) {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return steal(object);
    }
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    explicit operator bool() const = delete;

    PyObject* get() const { return object_; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

  private:
    PyObject* object_ = nullptr;
};

// A new reference from a C API call, or the marker when it failed.
inline Ref checked(PyObject* new_reference) {
    return Ref::steal(check(new_reference));
}

} // namespace cp
