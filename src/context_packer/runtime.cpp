// Error raising, module-level name lookup, calls and declared-return checks shared by all bodies.
#include <cstdarg>

#include "context_packer.hpp"

namespace cp {

ModuleState state;

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    raise();
}

Ref module_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.module_dict, name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) raise();
    value = PyObject_GetAttr(state.builtins, name);
    if (value != nullptr) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    raise();
}

namespace {

// Leaves slot 0 free so that callees may prepend a bound self without copying.
constexpr size_t kMaxArgs = 8;

// The argument lists are written at the call sites; one longer than the stack is refused
// rather than written past its end.
void check_arg_count(std::initializer_list<PyObject*> args) {
    if (args.size() > kMaxArgs)
        raise_format(PyExc_SystemError, "internal call with %zu arguments (at most %zu)",
                     args.size(), kMaxArgs);
}

Ref vectorcall(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    check_arg_count(args);
    PyObject* stack[kMaxArgs + 1];
    size_t count = 0;
    for (PyObject* arg : args)
        stack[1 + count++] = arg;
    size_t positional = count - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return checked(PyObject_Vectorcall(callable, stack + 1,
                                       positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref vectorcall_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
                      PyObject* kwnames) {
    check_arg_count(args);
    PyObject* stack[kMaxArgs + 1];
    stack[0] = self;
    size_t count = 0;
    for (PyObject* arg : args)
        stack[1 + count++] = arg;
    size_t positional = 1 + count - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return checked(PyObject_VectorcallMethod(name, stack, positional, kwnames));
}

} // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return vectorcall(callable, args, nullptr);
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    return vectorcall(callable, args, kwnames);
}

Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    return vectorcall_method(self, name, args, nullptr);
}

Ref call_method_kw(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
                   PyObject* kwnames) {
    return vectorcall_method(self, name, args, kwnames);
}

Ref checked_return(Ref value, ReturnType type) {
    PyObject* object = value.get();
    if (object == Py_None) return value;
    switch (type) {
    case ReturnType::Dict:
        if (PyDict_CheckExact(object)) return value;
        break;
    case ReturnType::Str:
        if (PyUnicode_CheckExact(object)) return value;
        break;
    case ReturnType::Int: {
        if (PyLong_CheckExact(object)) return value;
        if (is_number(object)) return checked(PyNumber_Long(object));
        break;
    }
    }
    static const char* const names[] = {"dict", "str", "int"};
    raise_format(PyExc_TypeError, "Expected %s, got %.200s", names[static_cast<int>(type)],
                 Py_TYPE(object)->tp_name);
}

} // namespace cp
