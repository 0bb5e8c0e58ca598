// Key tables from CPython 3.11 on: a kind instead of a lookup function. A table whose keys are
// all exact strs has the str kind (or the split kind, also str-only) and entries without stored
// hashes; it turns general as soon as any other key is stored, and only a general table's lookup
// may call a key's __eq__.
#pragma once

#include <cstdint>

namespace cp {

namespace dict_layout {

// The leading fields of PyDictKeysObject (3.13 adds a mutex only in free-threaded builds, which
// are refused); the hash index (2 ** log2_index_bytes bytes) follows them, then the entries.
struct KeyTableHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};

constexpr uint8_t kGeneralKind = 0;

// An entry of a str-only table.
struct Entry {
    PyObject* key;
    PyObject* value;
};

// How far one reading of the dict clock moves the counter: a new dict's one step on 3.11, nothing
// from 3.12 on (the counter is read directly).
#if PY_VERSION_HEX >= 0x030C0000
constexpr uint64_t kReadingStep = 0;
#else
constexpr uint64_t kReadingStep = 1;
#endif

inline const KeyTableHead* keys_of(PyObject* dict) {
    return static_cast<const KeyTableHead*>(head_of(dict)->keys);
}

} // namespace dict_layout

inline bool has_plain_keys(PyObject* dict) {
    return dict_layout::keys_of(dict)->kind != dict_layout::kGeneralKind;
}

// Only a combined str-only table is read directly: general tables store entries of another size.
inline DictEntries entries_of(PyObject* dict) {
    if (dict_layout::head_of(dict)->values != nullptr) return {};
    const dict_layout::KeyTableHead* keys = dict_layout::keys_of(dict);
    if (keys->kind == dict_layout::kGeneralKind) return {};
    return {reinterpret_cast<const char*>(keys + 1) + (size_t{1} << keys->log2_index_bytes),
            keys->nentries};
}

} // namespace cp
