// Operations the packer applies to caller-provided values, with Python's semantics: a direct
// path for the built-in types and the generic protocol (methods, rich comparison, __format__)
// for everything else. Every generic path that may run Python code marks the state foreign.
#pragma once

#include <initializer_list>

#include "compat/dict_layout.hpp"
#include "iteration.hpp"
#include "packing/pack_state.hpp"
#include "text.hpp"

namespace cp::packing {

// Exact str, int, float, bool or None: comparing, testing or formatting them runs no Python code.
inline bool is_plain_scalar(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
           PyBool_Check(value) || PyFloat_CheckExact(value);
}

// `record.get(key)`.
Ref get_value(PackState& s, PyObject* record, PyObject* key);
// `record.get(key, fallback)`.
Ref get_value(PackState& s, PyObject* record, PyObject* key, PyObject* fallback);
// `record.get(key, [])` or `record.get(key, {})`: the default is a new empty container.
enum class NewDefault { List, Dict };
Ref get_value(PackState& s, PyObject* record, PyObject* key, NewDefault fallback);

// `if value:`
bool is_true(PackState& s, PyObject* value);
// `if a == b:`
bool equal(PackState& s, PyObject* a, PyObject* b);
// `if a <op> b:` for op one of Py_EQ, Py_LT, Py_GT, Py_GE.
bool compare(PackState& s, PyObject* a, PyObject* b, int op);
// `a - b`, `a -= b`, `a + b`, `a += b`.
Ref subtract(PackState& s, PyObject* a, PyObject* b, bool in_place = false);
Ref add(PackState& s, PyObject* a, PyObject* b, bool in_place = false);
// `int(value)` and `a * b`.
Ref to_int(PackState& s, PyObject* value);
Ref multiply(PackState& s, PyObject* a, PyObject* b);

// `{value}` inside an f-string, and `str(value)`.
Ref text_of(PackState& s, PyObject* value);
Ref str_of(PackState& s, PyObject* value);

// `isinstance(value, type)`.
bool is_instance(PackState& s, PyObject* value, PyTypeObject* type);
// `len(value)`.
Py_ssize_t length_of(PackState& s, PyObject* value);
// `sequence[index]` for a small constant index.
Ref item_at(PackState& s, PyObject* sequence, PyObject* index);
// `sequence[:stop]`.
Ref head(PackState& s, PyObject* sequence, PyObject* stop);
// `first, second = value`.
void unpack_pair(PackState& s, PyObject* value, Ref& first, Ref& second);
// `list(mapping.items())`.
Ref items_list(PackState& s, PyObject* mapping);
// `key in container`.
bool contains(PackState& s, PyObject* container, PyObject* key);

// The base file of an identifier: the part before the first "::", or the identifier itself.
Ref base_file_of(PackState& s, PyObject* fid);
// `text.rsplit(sep, 1)[index]` for index 0 or -1 (`text[:..]` piece or the tail).
Ref rsplit_once(PackState& s, PyObject* text, PyObject* separator, bool tail);

// `getattr(value, name, [])`.
Ref attribute_or_list(PackState& s, PyObject* value, PyObject* name);
// `value.name(*args)` on a value that is not an exact built-in.
Ref method_call(PackState& s, PyObject* value, PyObject* name,
                std::initializer_list<PyObject*> args);
// `list(iterable)`.
Ref list_from(PackState& s, PyObject* iterable);
// `set(items)` of a tuple.
Ref set_of(PackState& s, PyObject* items);
// A set of interned constant texts (hashing them runs no code).
Ref text_set(std::initializer_list<PyObject*> texts);
// `dict[key] = value` on an exact dict.
void store(PackState& s, PyObject* dict, PyObject* key, PyObject* value);

// The items of a for statement over a caller's value. Stepping anything but an exact list or
// tuple runs its iterator's code, so each such step marks the state.
class Loop {
  public:
    Loop(PackState& s, PyObject* iterable)
        : s_(s), plain_(is_plain_sequence(iterable)), items_(marked(s, iterable, plain_)) {}
    // An exact list from index `start` on.
    Loop(PackState& s, PyObject* list, Py_ssize_t start)
        : s_(s), plain_(true), items_(list, start) {}

    Ref next() {
        if (!plain_) mark_foreign(s_);
        return items_.next();
    }

  private:
    static bool is_plain_sequence(PyObject* value) {
        return PyList_CheckExact(value) || PyTuple_CheckExact(value);
    }
    // Taking the iterator may run `__iter__`.
    static PyObject* marked(PackState& s, PyObject* iterable, bool plain) {
        if (!plain) mark_foreign(s);
        return iterable;
    }

    PackState& s_;
    bool plain_;
    ForItems items_;
};

// `graph.get("nodes", [])`.
Ref graph_nodes(PackState& s);

// A call of a module-level function, looked up at the moment of the call; `kwnames` names the
// trailing arguments that are passed by keyword.
Ref call_global(PackState& s, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr);

inline void append(PyObject* list, PyObject* item) {
    check(PyList_Append(list, item));
}

// `[item]`.
inline Ref list_of(PyObject* item) {
    Ref list = checked(PyList_New(1));
    Py_INCREF(item);
    PyList_SET_ITEM(list.get(), 0, item);
    return list;
}

} // namespace cp::packing
