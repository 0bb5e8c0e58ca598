#include "gathering.hpp"

namespace postings {

using cp::check;
using cp::checked;
using cp::Ref;

static_assert(sizeof(unsigned int) == sizeof(uint32_t), "array 'I' holds 32-bit numbers");
static_assert(sizeof(float) == 4, "array 'f' holds 32-bit floats");

Gathering::Gathering() : index_(checked(PyDict_New())) {
    Ref module = checked(PyImport_ImportModule("array"));
    array_type_ = checked(PyObject_GetAttrString(module.get(), "array"));
}

size_t Gathering::add(size_t side, uint32_t number, PyObject* terms) {
    if (!PyDict_Check(terms)) cp::raise_error(PyExc_TypeError, "a document must be a dict");
    Py_ssize_t at = 0;
    PyObject* term;
    PyObject* weight;
    size_t added = 0;
    while (PyDict_Next(terms, &at, &term, &weight)) {
        // As array("f").append converts it: to a double, then narrowed.
        double value = cp::double_from(weight);
        PyObject* place = PyDict_GetItemWithError(index_.get(), term);
        size_t slot;
        if (place != nullptr) {
            slot = PyLong_AsSize_t(place);
        } else {
            if (PyErr_Occurred()) cp::raise();
            slot = entries_.size();
            Ref key = checked(PyLong_FromSize_t(slot));
            check(PyDict_SetItem(index_.get(), term, key.get()));
            terms_.push_back(Ref::borrow(term));
            entries_.emplace_back();
        }
        Entry& entry = entries_[slot];
        entry.numbers[side].push_back(number);
        entry.weights[side].push_back(static_cast<float>(value));
        ++added;
    }
    return added;
}

namespace {

template <typename T> Ref array_of(PyObject* type, const char* code, std::vector<T>& values) {
    // An empty vector's data may be null, which "y#" would pass as None.
    Ref array = values.empty()
                    ? checked(PyObject_CallFunction(type, "s", code))
                    : checked(PyObject_CallFunction(
                          type, "sy#", code, reinterpret_cast<const char*>(values.data()),
                          static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    std::vector<T>().swap(values); // freed as it goes: the arrays are a second copy
    return array;
}

} // namespace

Ref Gathering::take() {
    Ref taken = checked(PyDict_New());
    for (size_t slot = 0; slot < entries_.size(); ++slot) {
        Entry& entry = entries_[slot];
        Ref lists = checked(PyList_New(4));
        for (int side = 0; side < 2; ++side) {
            PyList_SET_ITEM(lists.get(), 2 * side,
                            array_of(array_type_.get(), "I", entry.numbers[side]).release());
            PyList_SET_ITEM(lists.get(), 2 * side + 1,
                            array_of(array_type_.get(), "f", entry.weights[side]).release());
        }
        check(PyDict_SetItem(taken.get(), terms_[slot].get(), lists.get()));
    }
    clear();
    return taken;
}

namespace {

template <typename T> PyObject* bytes_of(std::vector<T>& values) {
    PyObject* bytes =
        cp::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                            static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    std::vector<T>().swap(values);
    return bytes;
}

} // namespace

Ref Gathering::take_rows() {
    Ref rows = checked(PyList_New(static_cast<Py_ssize_t>(entries_.size())));
    for (size_t slot = 0; slot < entries_.size(); ++slot) {
        Entry& entry = entries_[slot];
        Ref row = checked(PyTuple_New(5));
        PyTuple_SET_ITEM(row.get(), 0, Ref::borrow(terms_[slot].get()).release());
        for (int side = 0; side < 2; ++side) {
            PyTuple_SET_ITEM(row.get(), 1 + 2 * side, bytes_of(entry.numbers[side]));
            PyTuple_SET_ITEM(row.get(), 2 + 2 * side, bytes_of(entry.weights[side]));
        }
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(slot), row.release());
    }
    clear();
    return rows;
}

void Gathering::clear() {
    entries_.clear();
    entries_.shrink_to_fit();
    terms_.clear();
    PyDict_Clear(index_.get());
}

} // namespace postings
