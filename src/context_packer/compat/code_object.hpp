// Code objects for the module's functions. Their constructor, bytecode and line table change
// with the interpreter version: one implementation per version family (code_object_py3*.cpp).
#pragma once

#include "function_table.hpp"

namespace cp {

// A code object with the function's file, name, first line, parameters and local names, whose
// body returns None. Throws with the Python error set on failure.
PyObject* make_code_object(const FunctionSpec& spec);

} // namespace cp
