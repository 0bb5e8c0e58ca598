// CPython 3.10's key tables: a lookup function per table, and entries that store the hash.
//
// A key table whose keys are all exact strs uses one of the str-only lookups (or the split-table
// one); it switches to the generic lookup as soon as any other key is stored, and only the
// generic lookup may call a key's __eq__. So a str lookup in a dict that does not use the generic
// lookup runs no Python code. The generic lookup's address is learnt from a dict with a None key.
#pragma once

namespace cp {

namespace dict_layout {

// The leading fields of PyDictKeysObject; the hash index (size slots of 1, 2, 4 or 8 bytes)
// follows them, then the entries.
struct KeyTableHead {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};

struct Entry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};

// One reading of the dict clock (a new dict) moves the counter by one step.
constexpr uint64_t kReadingStep = 1;

inline const KeyTableHead* keys_of(PyObject* dict) {
    return static_cast<const KeyTableHead*>(head_of(dict)->keys);
}

// The generic lookup's address once learnt; nullptr before (or if it could not be learnt).
extern void* generic_lookup;

} // namespace dict_layout

// False for every dict when the layout could not be learnt (which only costs speed).
inline bool has_plain_keys(PyObject* dict) {
    return dict_layout::generic_lookup != nullptr &&
           dict_layout::keys_of(dict)->lookup != dict_layout::generic_lookup;
}

inline DictEntries entries_of(PyObject* dict) {
    if (dict_layout::head_of(dict)->values != nullptr) return {};
    const dict_layout::KeyTableHead* keys = dict_layout::keys_of(dict);
    Py_ssize_t size = keys->size;
    size_t width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
    return {reinterpret_cast<const char*>(keys + 1) + static_cast<size_t>(size) * width,
            keys->nentries};
}

} // namespace cp
