// A folder's source files checked against the stamps a walk kept of them.
#pragma once

#include "py_ref.hpp"

namespace stamps {

// check_folder(prefix, names, codes, stamps, changed_after, limit): see the module's docstring.
cp::Ref check_folder(PyObject* prefix, PyObject* names, PyObject* codes, PyObject* kept,
                     PyObject* changed_after, PyObject* limit);

} // namespace stamps
