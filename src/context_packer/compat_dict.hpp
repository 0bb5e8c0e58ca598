// What the packer reads from CPython 3.10's dict objects beyond the C API: which lookup a dict's
// key table uses, and the global dict version counter. Kept beside compat.cpp, the other
// interpreter-version-specific code.
//
// A key table whose keys are all exact strs uses one of the str-only lookups (or the split-table
// one); it switches to the generic lookup as soon as any other key is stored, and only the
// generic lookup may call a key's __eq__. So a str lookup in a dict that does not use the generic
// lookup runs no Python code. The generic lookup's address is learnt from a dict with a None key.
#pragma once

#include <cstdint>

#include "context_packer.hpp"

#if PY_VERSION_HEX >= 0x030B0000
#error "the dict layout below is the one of CPython 3.10"
#endif

namespace cp::packing {

namespace dict_layout {

// The leading fields of CPython 3.10's PyDictKeysObject; the hash index (size slots of 1, 2, 4
// or 8 bytes) follows them, then the entries in insertion order.
struct KeyTableHead {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};

// One entry of the table. A deleted entry has no key; in a combined table (the dict's own
// values pointer is NULL) a live entry holds its value.
struct KeyEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};

inline const KeyTableHead* keys_of(PyObject* dict) {
    return reinterpret_cast<const KeyTableHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

inline const KeyEntry* entries_of(const KeyTableHead* keys) {
    Py_ssize_t size = keys->size;
    size_t width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
    return reinterpret_cast<const KeyEntry*>(reinterpret_cast<const char*>(keys + 1) +
                                             static_cast<size_t>(size) * width);
}

// The generic lookup's address once learnt; nullptr before (or if it could not be learnt).
extern void* generic_lookup;

inline void* lookup_of(PyObject* dict) {
    return keys_of(dict)->lookup;
}

} // namespace dict_layout

// Learns the generic lookup's address on the first call.
void learn_dict_layout();

// True when a str lookup in this exact dict runs no Python code: all its keys are exact strs.
// False for every dict when the layout could not be learnt (which only costs speed).
inline bool has_plain_keys(PyObject* dict) {
    return dict_layout::generic_lookup != nullptr &&
           dict_layout::lookup_of(dict) != dict_layout::generic_lookup;
}

// Where `key` (that very object) sits among the entries of an exact dict's combined table, or
// -1.
inline Py_ssize_t position_of(PyObject* dict, PyObject* key) {
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr) return -1;
    const dict_layout::KeyTableHead* keys = dict_layout::keys_of(dict);
    const dict_layout::KeyEntry* entries = dict_layout::entries_of(keys);
    for (Py_ssize_t i = 0; i < keys->nentries; ++i)
        if (entries[i].key == key) return i;
    return -1;
}

inline uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// The interpreter's dict version counter, which moves whenever any dict anywhere is created or
// changed. Reading it creates (and drops) one dict, so consecutive reads differ by one when
// nothing else touched a dict in between.
uint64_t dict_version_now();

} // namespace cp::packing
