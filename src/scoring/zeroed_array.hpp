// A fixed-length array of zeros from calloc: a large one comes as fresh pages, so a question
// pays only for the pages its postings touch, not for clearing every document's slot.
#pragma once

#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace scoring {

template <typename T> class ZeroedArray {
    static_assert(std::is_trivial_v<T>, "zero bytes must be a valid T");

  public:
    explicit ZeroedArray(size_t count)
        : items_(static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T)))) {
        if (items_ == nullptr) throw std::bad_alloc();
    }
    T& operator[](size_t n) { return items_.get()[n]; }
    const T& operator[](size_t n) const { return items_.get()[n]; }

  private:
    struct Free {
        void operator()(T* items) const { std::free(items); }
    };
    std::unique_ptr<T, Free> items_;
};

} // namespace scoring
