// Everything that depends on the interpreter's internal layout lives here: code objects for the
// function objects and the frames behind traceback entries.
#include <map>
#include <utility>

#include "context_packer.hpp"
#include "function_table.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <frameobject.h>
#endif

namespace cp {

// A tiny but valid body ("return None") so that executing the code object can never run off
// the end of an empty instruction stream.
PyObject* make_code_object(const FunctionSpec& spec) {
    Py_ssize_t param_count = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t local_count = 0;
    while (spec.locals[local_count] != nullptr)
        ++local_count;

    Ref varnames = checked(PyTuple_New(param_count + local_count));
    for (Py_ssize_t i = 0; i < param_count; ++i) {
        PyObject* name = *spec.params[i].name;
        Py_INCREF(name);
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    for (Py_ssize_t i = 0; i < local_count; ++i) {
        PyObject* name = check(PyUnicode_InternFromString(spec.locals[i]));
        PyTuple_SET_ITEM(varnames.get(), param_count + i, name);
    }
    Ref empty_tuple = checked(PyTuple_New(0));
    Ref consts = checked(PyTuple_Pack(1, Py_None));
    Ref filename = Ref::borrow(K.source_file);
    Ref name = checked(PyUnicode_FromString(spec.code_name));

#if PY_VERSION_HEX < 0x030B0000
    static const char bytecode[] = {100, 0, 83, 0}; // LOAD_CONST 0; RETURN_VALUE
    static const char linetable[] = {4, 0};         // all four bytes on the first line
    Ref code = checked(PyBytes_FromStringAndSize(bytecode, sizeof bytecode));
    Ref lines = checked(PyBytes_FromStringAndSize(linetable, sizeof linetable));
    int argcount = static_cast<int>(param_count);
    PyCodeObject* result = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(param_count + local_count), 1, CO_OPTIMIZED | CO_NEWLOCALS,
        code.get(), consts.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(),
        empty_tuple.get(), filename.get(), name.get(), spec.def_line, lines.get());
    return check(reinterpret_cast<PyObject*>(result));
#else
#error "code objects for this interpreter version are not written yet"
#endif
}

namespace {

// Traceback code objects, one per (function name, line); kept for the life of the process.
std::map<std::pair<const char*, int>, PyObject*> traceback_code_cache;

PyObject* traceback_code(const char* function_name, int line) {
    auto key = std::make_pair(function_name, line);
    auto found = traceback_code_cache.find(key);
    if (found != traceback_code_cache.end()) return found->second;
    PyObject* code = reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("src/tarnwick/context_packer", function_name, line));
    if (code == nullptr) return nullptr;
    try {
        traceback_code_cache.emplace(key, code);
    } catch (const std::bad_alloc&) {
        Py_DECREF(code);
        return nullptr;
    }
    return code;
}

} // namespace

void add_traceback(const char* function_name, int line) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* code = traceback_code(function_name, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr && state.module_dict != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                            state.module_dict, nullptr);
    }
    if (frame == nullptr) {
        // The entry is lost, the original error is not.
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

} // namespace cp
