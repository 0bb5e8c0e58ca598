// The source files of a folder taken over from the walk's kept record, made into entries.
#pragma once

#include "py_ref.hpp"

namespace stamps {

// folder_files(rel_prefix, abs_prefix, names, codes, stamps, ctimes, kinds, limit, entry_type,
// out): see the module's docstring.
void folder_files(PyObject* const* args);

} // namespace stamps
