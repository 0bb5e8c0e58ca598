// The items of a for statement, as the interpreter steps through them.
#pragma once

#include "context_packer.hpp"

namespace cp {

// An exact list by index, re-reading its size at every step (as the list iterator does, so a
// list that grows during the loop is walked to its new end); anything else through its iterator.
class ForItems {
  public:
    explicit ForItems(PyObject* iterable);
    ForItems(PyObject* list, Py_ssize_t start) : list_(list), index_(start) {}
    // The next item, or an empty Ref at the end.
    Ref next();

  private:
    PyObject* list_ = nullptr; // borrowed: the caller keeps the list alive
    Py_ssize_t index_ = 0;
    Ref iterator_;
};

} // namespace cp
