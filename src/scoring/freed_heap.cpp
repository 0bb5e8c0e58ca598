// The C library's heap asked to keep what a question frees; see freed_heap.hpp.
#include "freed_heap.hpp"

#include <climits>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace scoring::freed_heap {

bool keep(size_t mapped_from, size_t kept_top) {
#if defined(__GLIBC__)
    if (mapped_from > INT_MAX || kept_top > INT_MAX) return false;
    // mallopt answers 1 for a value taken (a sanitizer's allocator answers otherwise).
    return mallopt(M_MMAP_THRESHOLD, static_cast<int>(mapped_from)) == 1 &&
           mallopt(M_TRIM_THRESHOLD, static_cast<int>(kept_top)) == 1;
#else
    (void)mapped_from;
    (void)kept_top;
    return false;
#endif
}

} // namespace scoring::freed_heap
