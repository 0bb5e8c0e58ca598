// Python semantics of the packer's operations on caller-provided values.
#include "packing/values.hpp"

#include <cstring>

#include "compat/slicing.hpp"

namespace cp::packing {

namespace {

// Types whose truth test is a size or value check in C.
bool has_plain_truth(PyObject* value) {
    return is_plain_scalar(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value) ||
           PyDict_CheckExact(value) || PyAnySet_CheckExact(value);
}

bool is_user_type(PyObject* value) {
    return PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_HEAPTYPE);
}

// A lookup in an exact dict, marking the state foreign when hashing the key or comparing it
// with the dict's keys may run Python code.
PyObject* dict_lookup(PackState& s, PyObject* dict, PyObject* key) {
    if (!is_plain_scalar(key) || !has_plain_keys(dict)) mark_foreign(s);
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) raise();
    return value;
}

Ref new_default(NewDefault fallback) {
    return checked(fallback == NewDefault::List ? PyList_New(0) : PyDict_New());
}

} // namespace

Ref get_value(PackState& s, PyObject* record, PyObject* key) {
    if (PyDict_CheckExact(record)) {
        PyObject* value = dict_lookup(s, record, key);
        return Ref::borrow(value != nullptr ? value : Py_None);
    }
    mark_foreign(s);
    return call_method(record, K.get, {key});
}

Ref get_value(PackState& s, PyObject* record, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(record)) {
        PyObject* value = dict_lookup(s, record, key);
        return Ref::borrow(value != nullptr ? value : fallback);
    }
    mark_foreign(s);
    return call_method(record, K.get, {key, fallback});
}

Ref get_value(PackState& s, PyObject* record, PyObject* key, NewDefault fallback) {
    if (PyDict_CheckExact(record)) {
        PyObject* value = dict_lookup(s, record, key);
        return value != nullptr ? Ref::borrow(value) : new_default(fallback);
    }
    mark_foreign(s);
    Ref empty = new_default(fallback);
    return call_method(record, K.get, {key, empty.get()});
}

bool is_true(PackState& s, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
    if (!has_plain_truth(value)) mark_foreign(s);
    return truth(value);
}

bool equal(PackState& s, PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) raise();
        return same_text(a, b);
    }
    return compare(s, a, b, Py_EQ);
}

bool compare(PackState& s, PyObject* a, PyObject* b, int op) {
    if (!is_plain_scalar(a) || !is_plain_scalar(b)) mark_foreign(s);
    Ref result = checked(PyObject_RichCompare(a, b, op));
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    mark_foreign(s);
    return truth(result.get());
}

Ref subtract(PackState& s, PyObject* a, PyObject* b, bool in_place) {
    if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b)) mark_foreign(s);
    return checked(in_place ? PyNumber_InPlaceSubtract(a, b) : PyNumber_Subtract(a, b));
}

Ref add(PackState& s, PyObject* a, PyObject* b, bool in_place) {
    if (!is_plain_scalar(a) || !is_plain_scalar(b)) mark_foreign(s);
    return checked(in_place ? PyNumber_InPlaceAdd(a, b) : PyNumber_Add(a, b));
}

Ref to_int(PackState& s, PyObject* value) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    if (!is_plain_scalar(value)) mark_foreign(s);
    return checked(PyNumber_Long(value));
}

Ref multiply(PackState& s, PyObject* a, PyObject* b) {
    if (!is_plain_scalar(a) || !is_plain_scalar(b)) mark_foreign(s);
    return checked(PyNumber_Multiply(a, b));
}

Ref text_of(PackState& s, PyObject* value) {
    if (!is_plain_scalar(value)) mark_foreign(s);
    return format_field(value);
}

Ref str_of(PackState& s, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (!is_plain_scalar(value)) mark_foreign(s);
    return checked(PyObject_Str(value));
}

bool is_instance(PackState& s, PyObject* value, PyTypeObject* type) {
    if (Py_IS_TYPE(value, type)) return true;
    if (is_user_type(value)) mark_foreign(s);
    return check(PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type))) != 0;
}

Py_ssize_t length_of(PackState& s, PyObject* value) {
    if (PyList_CheckExact(value)) return PyList_GET_SIZE(value);
    if (is_user_type(value)) mark_foreign(s);
    return check(PyObject_Size(value));
}

Ref item_at(PackState& s, PyObject* sequence, PyObject* index) {
    if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence)) mark_foreign(s);
    return checked(PyObject_GetItem(sequence, index));
}

Ref head(PackState& s, PyObject* sequence, PyObject* stop) {
    if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence) &&
        !PyUnicode_CheckExact(sequence))
        mark_foreign(s);
    if (!PyLong_CheckExact(stop)) mark_foreign(s);
    Ref slice = checked(PySlice_New(Py_None, stop, Py_None));
    return subscript_slice(sequence, slice.get());
}

// Unpacking into two names, as the interpreter does it: exact tuples and lists of the right
// size directly, anything else through its iterator with the interpreter's messages.
void unpack_pair(PackState& s, PyObject* value, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return;
    }
    if (PyList_CheckExact(value) && PyList_GET_SIZE(value) == 2) {
        first = Ref::borrow(PyList_GET_ITEM(value, 0));
        second = Ref::borrow(PyList_GET_ITEM(value, 1));
        return;
    }
    if (!PyTuple_CheckExact(value) && !PyList_CheckExact(value)) mark_foreign(s);
    PyObject* iterator = PyObject_GetIter(value);
    if (iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        raise();
    }
    Ref owned_iterator = Ref::steal(iterator);
    Ref* targets[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iterator);
        if (item == nullptr) {
            if (PyErr_Occurred()) raise();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", 2,
                         i);
        }
        *targets[i] = Ref::steal(item);
    }
    PyObject* extra = PyIter_Next(iterator);
    if (extra == nullptr) {
        if (PyErr_Occurred()) raise();
        return;
    }
    Py_DECREF(extra);
    raise_format(PyExc_ValueError, "too many values to unpack (expected %d)", 2);
}

Ref items_list(PackState& s, PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return checked(PyDict_Items(mapping));
    mark_foreign(s);
    Ref items = call_method(mapping, K.items, {});
    return checked(PySequence_List(items.get()));
}

bool contains(PackState& s, PyObject* container, PyObject* key) {
    bool plain_container = PyUnicode_CheckExact(container) || PyAnySet_CheckExact(container);
    if (!plain_container || !is_plain_scalar(key)) mark_foreign(s);
    return check(PySequence_Contains(container, key)) != 0;
}

Ref base_file_of(PackState& s, PyObject* fid) {
    if (PyUnicode_CheckExact(fid)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(fid);
        Py_ssize_t at = PyUnicode_Find(fid, K.double_colon, 0, length, 1);
        if (at == -2) raise();
        if (at == -1) return Ref::borrow(fid);
        return checked(PyUnicode_Substring(fid, 0, at));
    }
    if (!contains(s, fid, K.double_colon)) return Ref::borrow(fid);
    mark_foreign(s);
    Ref pieces = call_method(fid, K.split, {K.double_colon});
    return checked(PyObject_GetItem(pieces.get(), K.i_0));
}

Ref rsplit_once(PackState& s, PyObject* text, PyObject* separator, bool tail) {
    if (PyUnicode_CheckExact(text)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        Py_ssize_t at = PyUnicode_Find(text, separator, 0, length, -1);
        if (at == -2) raise();
        if (at == -1) return Ref::borrow(text);
        if (tail)
            return checked(PyUnicode_Substring(text, at + PyUnicode_GET_LENGTH(separator), length));
        return checked(PyUnicode_Substring(text, 0, at));
    }
    mark_foreign(s);
    Ref pieces = call_method(text, K.rsplit, {separator, K.i_1});
    return checked(PyObject_GetItem(pieces.get(), tail ? K.pk_last_index : K.i_0));
}

Ref attribute_or_list(PackState& s, PyObject* value, PyObject* name) {
    if (is_user_type(value)) mark_foreign(s);
    PyObject* found = PyObject_GetAttr(value, name);
    if (found != nullptr) return Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return checked(PyList_New(0));
}

Ref method_call(PackState& s, PyObject* value, PyObject* name,
                std::initializer_list<PyObject*> args) {
    mark_foreign(s);
    return call_method(value, name, args);
}

Ref list_from(PackState& s, PyObject* iterable) {
    if (!PyList_CheckExact(iterable) && !PyTuple_CheckExact(iterable)) mark_foreign(s);
    return checked(PySequence_List(iterable));
}

Ref set_of(PackState& s, PyObject* items) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
        if (!is_plain_scalar(PyTuple_GET_ITEM(items, i))) {
            mark_foreign(s);
            break;
        }
    }
    return checked(PySet_New(items));
}

Ref text_set(std::initializer_list<PyObject*> texts) {
    Ref set = checked(PySet_New(nullptr));
    for (PyObject* text : texts)
        check(PySet_Add(set.get(), text));
    return set;
}

void store(PackState& s, PyObject* dict, PyObject* key, PyObject* value) {
    // Hashing the key, or comparing it with a key of equal hash, may run code.
    if (!is_plain_scalar(key) || !has_plain_keys(dict)) mark_foreign(s);
    check(PyDict_SetItem(dict, key, value));
}

Ref graph_nodes(PackState& s) {
    PyObject* nodes = dict_lookup(s, s.graph, K.nodes);
    return nodes != nullptr ? Ref::borrow(nodes) : checked(PyList_New(0));
}

// The callee runs outside code; whether it touched any dict is read off the version counter.
Ref call_global(PackState& s, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
    ++s.foreign;
    Ref callee = module_global(name);
    DictClock clock;
    Ref result =
        kwnames != nullptr ? call_kw(callee.get(), args, kwnames) : call(callee.get(), args);
    if (clock.dicts_touched()) s.dicts_touched = true;
    return result;
}

} // namespace cp::packing
