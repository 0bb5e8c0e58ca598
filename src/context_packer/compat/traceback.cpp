// Traceback entries for the module's functions: a frame over a code object that stands for one
// (function, line) pair.
//
// CPython 3.10 reports a new frame's f_lineno, which is set here. From 3.11 on that field is
// private and a frame's line is computed from the code object's line table at the last
// instruction; a frame that never ran reports its code object's first line, which is the line
// this code object was made for.
#include <map>
#include <utility>

#include "context_packer.hpp"

#include <frameobject.h>

namespace cp {

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
