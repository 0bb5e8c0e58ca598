// The module functions pack calls for every file: the token estimate and the two path helpers.
#include "function_bodies.hpp"
#include "packing/helper_lines.hpp"

namespace cp {

// ceil(len(text) / 3.2) through the module-level `ceil`, looked up at each call.
Ref estimate_tokens_body(Frame& frame, PyObject* const* args) {
    PyObject* text = args[0];
    frame.line = estimate_line::kIfEmpty;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) return Ref::borrow(K.i_0);
    frame.line = estimate_line::kCeil;
    Ref ceil = module_global(K.ceil);
    Ref quotient = checked(
        PyFloat_FromDouble(static_cast<double>(length) / PyFloat_AS_DOUBLE(K.chars_per_token)));
    return checked_return(call(ceil.get(), {quotient.get()}), ReturnType::Int);
}

Ref file_id_body(Frame& frame, PyObject* const* args) {
    PyObject* entry = args[0];
    frame.line = file_id_line::kIfDict;
    if (PyDict_Check(entry)) {
        frame.line = file_id_line::kIdOfDict;
        Ref value;
        if (PyDict_CheckExact(entry)) {
            PyObject* found = PyDict_GetItemWithError(entry, K.id);
            if (found == nullptr && PyErr_Occurred()) raise();
            value = Ref::borrow(found != nullptr ? found : K.empty);
        } else {
            value = call_method(entry, K.get, {K.id, K.empty});
        }
        if (PyUnicode_CheckExact(value.get())) return value;
        return checked(PyObject_Str(value.get()));
    }
    frame.line = file_id_line::kStrOfEntry;
    if (PyUnicode_CheckExact(entry)) return Ref::borrow(entry);
    return checked(PyObject_Str(entry));
}

// Everything after the last "/", or the whole path when it has none.
Ref basename_body(Frame& frame, PyObject* const* args) {
    PyObject* path = args[0];
    frame.line = basename_line::kLastPart;
    Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    // FindChar answers -1 for "not found" and -2 for an error.
    Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, -1);
    if (slash == -2) raise();
    if (slash == -1) return Ref::borrow(path);
    return checked(PyUnicode_Substring(path, slash + 1, length));
}

} // namespace cp
