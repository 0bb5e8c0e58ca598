// Code objects on CPython 3.10: built directly, with a hand-written body and line table.
#include "compat/code_object.hpp"

#if PY_VERSION_HEX < 0x030B0000

namespace cp {

// A tiny but valid body ("return None") so that executing the code object can never run off
// the end of an empty instruction stream.
PyObject* make_code_object(const CodeShape& shape) {
    Py_ssize_t param_count = static_cast<Py_ssize_t>(shape.params.size());
    Py_ssize_t local_count = 0;
    while (shape.locals[local_count] != nullptr)
        ++local_count;

    Ref varnames = checked(PyTuple_New(param_count + local_count));
    for (Py_ssize_t i = 0; i < param_count; ++i) {
        PyObject* name = shape.params[i];
        Py_INCREF(name);
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    for (Py_ssize_t i = 0; i < local_count; ++i) {
        PyObject* name = check(PyUnicode_InternFromString(shape.locals[i]));
        PyTuple_SET_ITEM(varnames.get(), param_count + i, name);
    }
    Ref empty_tuple = checked(PyTuple_New(0));
    Ref consts = checked(PyTuple_Pack(1, Py_None));
    Ref filename = Ref::borrow(K.source_file);
    Ref name = checked(PyUnicode_FromString(shape.name));

    static const char bytecode[] = {100, 0, 83, 0}; // LOAD_CONST 0; RETURN_VALUE
    static const char linetable[] = {4, 0};         // all four bytes on the first line
    Ref code = checked(PyBytes_FromStringAndSize(bytecode, sizeof bytecode));
    Ref lines = checked(PyBytes_FromStringAndSize(linetable, sizeof linetable));
    int argcount = static_cast<int>(param_count);
    PyCodeObject* result = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(param_count + local_count), 1, CO_OPTIMIZED | CO_NEWLOCALS,
        code.get(), consts.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(),
        empty_tuple.get(), filename.get(), name.get(), shape.first_line, lines.get());
    return check(reinterpret_cast<PyObject*>(result));
}

} // namespace cp

#endif
