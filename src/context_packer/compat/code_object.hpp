// Code objects for the module's functions. Their constructor, bytecode and line table change
// with the interpreter version: one implementation per version family (code_object_py3*.cpp).
#pragma once

#include <span>

#include "context_packer.hpp"

namespace cp {

// What a code object shows of its function's source.
struct CodeShape {
    const char* name;                  // co_name
    const char* qualname;              // co_qualname (3.11 on)
    int first_line;                    // co_firstlineno
    std::span<PyObject* const> params; // interned parameter names, in order
    const char* const* locals;         // further local names, nullptr-terminated
};

// A code object with the function's file, name, first line, parameters and local names, whose
// body returns None. Throws with the Python error set on failure.
PyObject* make_code_object(const CodeShape& shape);

} // namespace cp
