// Record value helpers shared by the summary renderers.
#include "summaries/record_values.hpp"

#include <algorithm>
#include <cstring>

#include "compat/slicing.hpp"

namespace cp::summaries {

Ref get_or_new_list(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) raise();
        return checked(PyList_New(0));
    }
    Ref fallback = checked(PyList_New(0));
    return call_method(mapping, K.get, {key, fallback.get()});
}

Ref join(PyObject* separator, PyObject* iterable) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))
        return join_texts(separator, PySequence_Fast_ITEMS(iterable),
                          PySequence_Fast_GET_SIZE(iterable));
    return checked(PyUnicode_Join(separator, iterable));
}

Ref join_first(PyObject* separator, PyObject* value, Py_ssize_t count, PyObject* count_object) {
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value))
        return join_texts(separator, PySequence_Fast_ITEMS(value),
                          std::min(count, PySequence_Fast_GET_SIZE(value)));
    Ref first = first_items(value, count_object);
    return join(separator, first.get());
}

Ref first_items(PyObject* value, PyObject* count_object) {
    if (PyList_CheckExact(value))
        return checked(PyList_GetSlice(value, 0, PyLong_AsSsize_t(count_object)));
    PyMappingMethods* mapping = Py_TYPE(value)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr)
        raise_format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(value)->tp_name);
    // value[:count]: the slice has no start, as the subscript expression builds it.
    Ref slice = checked(PySlice_New(Py_None, count_object, Py_None));
    return subscript_slice(value, slice.get());
}

Ref stripped(PyObject* value) {
    if (!PyUnicode_CheckExact(value)) return call_method(value, K.sm_strip, {});
    if (PyUnicode_READY(value) < 0) raise();
    int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(value);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start)))
        ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1)))
        --end;
    return checked(PyUnicode_Substring(value, start, end));
}

bool ends_with_dot(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        return length > 0 && PyUnicode_READ_CHAR(value, length - 1) == '.';
    }
    Ref answer = call_method(value, K.sm_endswith, {K.dot});
    return truth(answer.get());
}

Ref with_dot(Ref value) {
    if (PyUnicode_CheckExact(value.get())) return concat_texts({value.get(), K.dot});
    return checked(PyNumber_InPlaceAdd(value.get(), K.dot));
}

namespace {

// `first, second = item`, with the interpreter's messages.
void unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) &&
        PySequence_Fast_GET_SIZE(item) == 2) {
        first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
        return;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (iterator.get() == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item))
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        raise();
    }
    Ref* targets[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (targets[i]->get() == nullptr) {
            if (PyErr_Occurred()) raise();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra.get() != nullptr)
        raise_error(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) raise();
}

} // namespace

FirstMembers::FirstMembers(PyObject* mapping, Py_ssize_t limit) {
    if (PyDict_CheckExact(mapping)) {
        // An exact dict's items() yields its members in insertion order, as PyDict_Next does.
        Py_ssize_t position = 0;
        PyObject* name;
        PyObject* info;
        while (count_ < limit && PyDict_Next(mapping, &position, &name, &info)) {
            names_[count_] = Ref::borrow(name);
            infos_[count_] = Ref::borrow(info);
            ++count_;
        }
        paired_ = true;
        return;
    }
    Ref items = call_method(mapping, K.items, {});
    Ref all = checked(PySequence_List(items.get()));
    count_ = std::min(limit, PyList_GET_SIZE(all.get()));
    for (Py_ssize_t i = 0; i < count_; ++i)
        items_[i] = Ref::borrow(PyList_GET_ITEM(all.get(), i));
}

void FirstMembers::unpack(Py_ssize_t index, Ref& name, Ref& info) const {
    if (paired_) {
        name = Ref::borrow(names_[index].get());
        info = Ref::borrow(infos_[index].get());
        return;
    }
    unpack_pair(items_[index].get(), name, info);
}

} // namespace cp::summaries
