// A folder's source files checked against the stamps a walk kept of them.
#pragma once

#include "py_ref.hpp"

namespace stamps {

// check_folder(prefix, names, codes, stamps, changed_after, limit[, batch, at]): see the
// module's docstring.  `batch` and `at` are null when not given.
cp::Ref check_folder(PyObject* prefix, PyObject* names, PyObject* codes, PyObject* kept,
                     PyObject* changed_after, PyObject* limit, PyObject* batch, PyObject* at);

} // namespace stamps
