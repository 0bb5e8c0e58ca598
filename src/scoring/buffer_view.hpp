// A read-only view of a packed array (array.array, memoryview) through the buffer protocol.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "py_ref.hpp"

namespace scoring {

template <typename T> struct ItemCode;
template <> struct ItemCode<uint32_t> { static constexpr char code = 'I'; };
template <> struct ItemCode<float> { static constexpr char code = 'f'; };
template <> struct ItemCode<uint8_t> { static constexpr char code = 'B'; };
template <> struct ItemCode<double> { static constexpr char code = 'd'; };

// Holds the exporter's buffer for its lifetime (the array cannot be resized meanwhile). Only a
// one-dimensional, contiguous, aligned buffer of T's own type code is taken: anything else is a
// TypeError, never a reinterpretation of foreign bytes. (An empty array may point anywhere.)
// A view asked for as `writable` is refused for a read-only buffer.
template <typename T> class BufferView {
  public:
    BufferView(PyObject* exporter, const char* what, bool writable = false) {
        int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        cp::check(PyObject_GetBuffer(exporter, &view_, flags));
        writable_ = writable;
        const char* format = view_.format != nullptr ? view_.format : "B";
        if (format[0] == '@') ++format;
        if (view_.ndim != 1 || view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
            format[0] != ItemCode<T>::code || format[1] != '\0' ||
            (view_.len != 0 && reinterpret_cast<uintptr_t>(view_.buf) % alignof(T) != 0)) {
            PyBuffer_Release(&view_);
            PyErr_Format(PyExc_TypeError, "%s must be a packed array of type code '%c'", what,
                         ItemCode<T>::code);
            cp::raise();
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    std::span<const T> items() const {
        return {static_cast<const T*>(view_.buf), static_cast<size_t>(view_.shape[0])};
    }
    // Only of a view taken as writable.
    std::span<T> writable_items() const {
        if (!writable_) cp::raise_error(PyExc_TypeError, "a read-only view written to");
        return {static_cast<T*>(view_.buf), static_cast<size_t>(view_.shape[0])};
    }
    size_t size() const { return static_cast<size_t>(view_.shape[0]); }

  private:
    Py_buffer view_{};
    bool writable_ = false;
};

} // namespace scoring
