// `value[slice]` for a slice built by a subscript expression. CPython 3.12 made slices hashable,
// so from then on subscripting a dict with one looks it up as a key (a KeyError, or a subclass's
// __missing__ called with the slice) where 3.10 and 3.11 fail to hash it. The module keeps that
// TypeError on every version: records of the wrong shape fail the same way everywhere.
#pragma once

#include "context_packer.hpp"

namespace cp {

#if PY_VERSION_HEX >= 0x030C0000
// A dict, or a dict subclass that keeps dict's own __getitem__.
inline bool looks_up_slices_as_keys(PyObject* value) {
    if (PyDict_CheckExact(value)) return true;
    if (!PyDict_Check(value)) return false;
    return _PyType_Lookup(Py_TYPE(value), K.dunder_getitem) ==
           _PyType_Lookup(&PyDict_Type, K.dunder_getitem);
}
#endif

inline Ref subscript_slice(PyObject* value, PyObject* slice) {
#if PY_VERSION_HEX >= 0x030C0000
    if (looks_up_slices_as_keys(value)) raise_error(PyExc_TypeError, "unhashable type: 'slice'");
#endif
    return checked(PyObject_GetItem(value, slice));
}

} // namespace cp
