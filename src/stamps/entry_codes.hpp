// The codes a walk's kept record gives a folder's entries (walk_state.py): one character each.
#pragma once

#include <Python.h>

namespace stamps {

// Entry codes from these on are source files, from DECLARATION on declaration files.
constexpr Py_UCS4 SOURCE = 0x100;
constexpr Py_UCS4 DECLARATION = 0x200;

} // namespace stamps
