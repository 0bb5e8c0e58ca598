// Entry of every call of a module function: binding, conversion, checks, then the body.
#pragma once

#include "function_table.hpp"

namespace cp {

// Vectorcall-style entry; returns a new reference or NULL with the error set.
PyObject* call_function(const FunctionSpec& spec, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames);

// Runs a body behind the error boundary (traceback entry, MemoryError, recursion guard).
PyObject* run_body(const FunctionSpec& spec, PyObject* const* values);

} // namespace cp
