// Chief header of the context_packer extension: ownership, error flow, shared constants and the
// small calling helpers that every function body uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <new>
#include <span>
#include <utility>

#include "constants.hpp"
#include "py_ref.hpp"

namespace cp {

// ---------------------------------------------------------------------------------------------
// Errors and ownership (PyErrorMarker, raise, raise_error, check, Ref, checked): py_ref.hpp.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// ---------------------------------------------------------------------------------------------
// Source lines. Every body records the line of the statement it is executing; when an error
// leaves the body, the function boundary reports that line in the traceback entry.
struct Frame {
    int line;
};

// Adds one traceback entry ("function name", file "src/tarnwick/context_packer", line) to the
// pending exception. Keeps the pending exception if the entry cannot be built.
void add_traceback(const char* function_name, int line);

// ---------------------------------------------------------------------------------------------
// Process-wide module state, written at start-up and read-only afterwards.
struct ModuleState {
    PyObject* module = nullptr;      // the one module instance (strong)
    PyObject* module_dict = nullptr; // strong; kept after a failed start-up for stray functions
    PyObject* builtins = nullptr;    // strong
    PyObject* sorted = nullptr;      // strong, fixed at import
    PyObject* print = nullptr;       // strong, fixed at import
    // The interpreter that owns the module. From 3.12 on, other interpreters may run the create
    // step at the same time under their own GIL: the claim is atomic.
    std::atomic<int64_t> interpreter_id{-1};
};
extern ModuleState state;

// Module-level name lookup at the moment of use: the module dict, then builtins; NameError when
// found in neither.
Ref module_global(PyObject* name);

// ---------------------------------------------------------------------------------------------
// Calls. Arguments are borrowed; the result is a new reference.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);
// Keyword call: `args` holds the positional values followed by one value per name in `kwnames`.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames);
Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args);
Ref call_method_kw(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
                   PyObject* kwnames);

inline Ref get_attr(PyObject* object, PyObject* name) {
    return checked(PyObject_GetAttr(object, name));
}

// `mapping.get(key, fallback)`: the lookup itself on an exact dict, the object's own `get`
// otherwise (a dict subclass may override it; other objects raise the interpreter's
// AttributeError).
inline Ref dict_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) raise();
        return Ref::borrow(fallback);
    }
    return call_method(mapping, K.get, {key, fallback});
}

// Python truth of any object.
inline bool truth(PyObject* object) {
    return check(PyObject_IsTrue(object)) != 0;
}

// ---------------------------------------------------------------------------------------------
// Whether int(value) applies: the number protocol's int or index slot.
inline bool is_number(PyObject* value) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number != nullptr && (number->nb_int != nullptr || number->nb_index != nullptr);
}

// Declared return types: an exact instance or None passes; `int` converts other numbers.
enum class ReturnType { Dict, Str, Int };
Ref checked_return(Ref value, ReturnType type);

// ---------------------------------------------------------------------------------------------
// Function bodies receive the bound (and converted) arguments in parameter order, borrowed.
using Body = Ref (*)(Frame& frame, PyObject* const* args);

// The sort key made afresh inside read_symbol_content on each call.
Ref new_sort_key_function();

} // namespace cp
