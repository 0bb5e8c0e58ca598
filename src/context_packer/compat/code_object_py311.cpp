// Code objects on CPython 3.11 and later. The constructor gained arguments in 3.11 and moved to
// the unstable API in 3.12, and the bytecode and line-table formats change with every release,
// so the code object is compiled from a stub definition that has the same file, first line,
// parameters and local names, and is then renamed.
#include "compat/code_object.hpp"

#if PY_VERSION_HEX >= 0x030B0000

#include <string>

namespace cp {

namespace {

// The def at its line, its parameters, then one assignment that introduces the further local
// names in order ("def f(a, b):\n    x = y = None\n"); the body returns None.
std::string stub_source(const CodeShape& shape) {
    std::string source(static_cast<size_t>(shape.first_line - 1), '\n');
    source += "def f(";
    for (size_t i = 0; i < shape.params.size(); ++i) {
        if (i > 0) source += ", ";
        source += PyUnicode_AsUTF8(shape.params[i]);
    }
    source += "):\n    ";
    for (const char* const* local = shape.locals; *local != nullptr; ++local) {
        source += *local;
        source += " = ";
    }
    source += "None\n";
    return source;
}

} // namespace

PyObject* make_code_object(const CodeShape& shape) {
    for (PyObject* param : shape.params)
        if (PyUnicode_AsUTF8(param) == nullptr) raise();
    std::string source = stub_source(shape);
    const char* filename = PyUnicode_AsUTF8(K.source_file);
    if (filename == nullptr) raise();
    Ref module_code = checked(Py_CompileString(source.c_str(), filename, Py_file_input));
    Ref consts = checked(PyObject_GetAttrString(module_code.get(), "co_consts"));
    PyObject* stub = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()) && stub == nullptr; ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i)))
            stub = PyTuple_GET_ITEM(consts.get(), i);
    if (stub == nullptr) raise_error(PyExc_SystemError, "stub code object not found");
    Ref name = checked(PyUnicode_FromString(shape.name));
    Ref qualname = checked(PyUnicode_FromString(shape.qualname));
    Ref replace = checked(PyObject_GetAttrString(stub, "replace"));
    Ref kwnames = checked(Py_BuildValue("(ss)", "co_name", "co_qualname"));
    return call_kw(replace.get(), {name.get(), qualname.get()}, kwnames.get()).release();
}

} // namespace cp

#endif
