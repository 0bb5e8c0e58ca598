#include "iteration.hpp"

namespace cp {

ForItems::ForItems(PyObject* iterable) {
    if (PyList_CheckExact(iterable)) {
        list_ = iterable;
    } else {
        iterator_ = checked(PyObject_GetIter(iterable));
    }
}

Ref ForItems::next() {
    if (list_ != nullptr) {
        if (index_ >= PyList_GET_SIZE(list_)) return Ref();
        return Ref::borrow(PyList_GET_ITEM(list_, index_++));
    }
    PyObject* item = PyIter_Next(iterator_.get());
    if (item == nullptr && PyErr_Occurred()) raise();
    return Ref::steal(item);
}

} // namespace cp
