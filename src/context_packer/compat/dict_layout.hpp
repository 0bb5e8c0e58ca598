// What the packer reads from dict objects beyond the C API, for the node cursor: whether a str
// lookup in a dict can run Python code, a dict's entries in insertion order, a dict's version
// tag, and the interpreter's dict version counter. The layouts differ between CPython 3.10 and
// 3.11 onward (dict_layout_py310.hpp, dict_layout_py311.hpp); this is the one interface.
//
// Interface (namespace cp):
//   void learn_dict_layout();                 once per process, before the others
//   bool has_plain_keys(PyObject* dict);      a str lookup in this exact dict runs no Python code
//   DictEntries entries_of(PyObject* dict);   the entries of a plain-keyed, combined table
//   Py_ssize_t position_of(PyObject* dict, PyObject* key);   where that key object sits, or -1
//   uint64_t version_of(PyObject* dict);      changes with every mutation; no two dicts share one
//   DictClock                                 tells whether any dict changed since a moment
#pragma once

#include <cstddef>
#include <cstdint>

#include "context_packer.hpp"

#if PY_VERSION_HEX < 0x030A0000 || PY_VERSION_HEX >= 0x030E0000 || defined(Py_GIL_DISABLED)
#error "tarnwick reads dict internals known for CPython 3.10 to 3.13 with the GIL only"
#endif

namespace cp {

namespace dict_layout {

// The leading fields of PyDictObject, the same from 3.10 to 3.13. The version tag is read
// through this copy because 3.12 deprecated the public field; it still changes with every
// mutation there (in larger steps, with watcher bits below them).
struct DictHead {
    PyObject_HEAD Py_ssize_t used;
    uint64_t version_tag;
    void* keys;
    void* values; // non-null for a split table, whose values live outside the key table
};
static_assert(sizeof(DictHead) == sizeof(PyDictObject));
static_assert(offsetof(DictHead, keys) == offsetof(PyDictObject, ma_keys));
static_assert(offsetof(DictHead, values) == offsetof(PyDictObject, ma_values));

inline const DictHead* head_of(PyObject* dict) {
    return reinterpret_cast<const DictHead*>(dict);
}

} // namespace dict_layout

// The entries of a dict's key table in insertion order; a deleted entry has no key. Valid until
// the dict changes; count is 0 where the entries cannot be read directly.
struct DictEntries {
    const char* first = nullptr;
    Py_ssize_t count = 0;
    inline PyObject* key(Py_ssize_t index) const;
    inline PyObject* value(Py_ssize_t index) const;
};

// Reads what the layout needs from the running interpreter; once per process, before the rest.
void learn_dict_layout();

inline uint64_t version_of(PyObject* dict) {
    return dict_layout::head_of(dict)->version_tag;
}

} // namespace cp

#if PY_VERSION_HEX < 0x030B0000
#include "compat/dict_layout_py310.hpp"
#else
#include "compat/dict_layout_py311.hpp"
#endif

namespace cp {

inline PyObject* DictEntries::key(Py_ssize_t index) const {
    return reinterpret_cast<const dict_layout::Entry*>(first)[index].key;
}

inline PyObject* DictEntries::value(Py_ssize_t index) const {
    return reinterpret_cast<const dict_layout::Entry*>(first)[index].value;
}

// Where `key` (that very object) sits among the entries of an exact dict's combined table, or
// -1.
inline Py_ssize_t position_of(PyObject* dict, PyObject* key) {
    DictEntries entries = entries_of(dict);
    for (Py_ssize_t i = 0; i < entries.count; ++i)
        if (entries.key(i) == key) return i;
    return -1;
}

// The interpreter's dict version counter moves whenever any dict anywhere is created or
// changed (and, from 3.12 on, freed). Nothing else touched a dict when the next reading is
// exactly kReadingStep later: before 3.12 a moment is read by creating (and dropping) one dict,
// which moves the counter by one step; from 3.12 on the counter is read directly.
class DictClock {
  public:
    DictClock() : before_(now()) {}
    bool dicts_touched() const { return now() != before_ + dict_layout::kReadingStep; }

  private:
    static uint64_t now();
    uint64_t before_;
};

} // namespace cp
