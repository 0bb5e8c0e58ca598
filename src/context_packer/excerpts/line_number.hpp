// Line numbers and line counts as the symbol body reader computes with them. Records may hold any
// Python values (ints of any size, bools, floats, None, ...), so every operation is Python's own;
// while both operands are exact ints of moderate size the same result is computed in C.
#pragma once

#include <charconv>

#include "context_packer.hpp"

namespace cp::excerpts {

class Number {
  public:
    // Sums of two values below the limit cannot overflow a long long.
    static constexpr long long kLimit = 1LL << 62;

    static Number small(long long value) {
        Number number;
        number.value_ = value;
        return number;
    }

    // Takes over a Python value; it stays small when it is an exact int below the limit.
    static Number of(Ref object) {
        Number number;
        if (PyLong_CheckExact(object.get())) {
            int overflow = 0;
            long long value = PyLong_AsLongLongAndOverflow(object.get(), &overflow);
            if (overflow == 0 && value > -kLimit && value < kLimit) {
                number.value_ = value;
                number.object_ = std::move(object);
                return number;
            }
        }
        number.small_ = false;
        number.object_ = std::move(object);
        return number;
    }

    bool is_small() const { return small_; }
    long long value() const { return value_; }

    // The Python value (created on first use for a number computed in C). Borrowed.
    PyObject* object() const {
        if (object_.get() == nullptr) object_ = checked(PyLong_FromLongLong(value_));
        return object_.get();
    }

    // format(number, ""), as an f-string shows it.
    Ref text() const {
        if (!small_) return checked(PyObject_Format(object_.get(), K.empty));
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, value_).ptr;
        return checked(PyUnicode_FromStringAndSize(digits, end - digits));
    }

  private:
    friend Number add(const Number& a, const Number& b);
    friend Number subtract(const Number& a, const Number& b);
    friend bool compare(const Number& a, const Number& b, int op);

    static Number from_c(long long value) {
        if (value > -kLimit && value < kLimit) return small(value);
        return of(checked(PyLong_FromLongLong(value)));
    }

    long long value_ = 0;
    bool small_ = true;
    mutable Ref object_;
};

// a + b
inline Number add(const Number& a, const Number& b) {
    if (a.small_ && b.small_) return Number::from_c(a.value_ + b.value_);
    return Number::of(checked(PyNumber_Add(a.object(), b.object())));
}

// a - b
inline Number subtract(const Number& a, const Number& b) {
    if (a.small_ && b.small_) return Number::from_c(a.value_ - b.value_);
    return Number::of(checked(PyNumber_Subtract(a.object(), b.object())));
}

// The truth of `a <op> b` (op one of Py_LT, Py_GT, Py_GE), as a condition evaluates it.
inline bool compare(const Number& a, const Number& b, int op) {
    if (a.small_ && b.small_) {
        switch (op) {
        case Py_LT:
            return a.value_ < b.value_;
        case Py_GT:
            return a.value_ > b.value_;
        case Py_GE:
            return a.value_ >= b.value_;
        }
    }
    return check(PyObject_RichCompareBool(a.object(), b.object(), op)) != 0;
}

inline bool less(const Number& a, const Number& b) {
    return compare(a, b, Py_LT);
}
inline bool greater(const Number& a, const Number& b) {
    return compare(a, b, Py_GT);
}
inline bool at_least(const Number& a, const Number& b) {
    return compare(a, b, Py_GE);
}

} // namespace cp::excerpts
