// Whether a str lookup in an exact dict can run Python code.
//
// CPython 3.10 keeps, in each dict's key table, the lookup function it uses; tables whose keys
// are all exact strs use the str-only lookups (or the split-table one), and the table switches
// to the generic lookup as soon as any other key is stored. Only the generic lookup may call a
// key's __eq__. Its address is learnt once from a dict with an int key.
#include "packing/values.hpp"

#if PY_VERSION_HEX >= 0x030B0000
#error "the key-table layout below is the one of CPython 3.10"
#endif

namespace cp::packing {

namespace {

// The leading fields of CPython 3.10's PyDictKeysObject.
struct KeyTableHead {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
};

void* lookup_function(PyObject* dict) {
    auto* table = reinterpret_cast<const KeyTableHead*>(
        reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    return table->lookup;
}

// The generic lookup's address; nullptr when it could not be learnt (then every dict counts
// as having other keys, which only costs speed).
void* generic_lookup() {
    static void* address = [] {
        void* found = nullptr;
        PyObject* probe = PyDict_New();
        if (probe != nullptr && PyDict_SetItem(probe, Py_None, Py_None) == 0)
            found = lookup_function(probe);
        Py_XDECREF(probe);
        PyErr_Clear();
        return found;
    }();
    return address;
}

}  // namespace

bool has_plain_keys(PyObject* dict) {
    void* generic = generic_lookup();
    return generic != nullptr && lookup_function(dict) != generic;
}

}  // namespace cp::packing
