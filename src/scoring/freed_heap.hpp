// The C library's heap asked to keep what a question frees, for the rest of the question and the
// next one: a block it serves from a mapping of its own, or heap memory it hands back to the
// system, comes back as fresh pages, each a fault on its first touch.
#pragma once

#include <cstddef>

namespace scoring::freed_heap {

// Serve blocks up to `mapped_from` bytes from the heap and keep up to `kept_top` bytes of its
// free top; false (nothing changed) where the C library is not glibc or refuses a value.
bool keep(size_t mapped_from, size_t kept_top);

} // namespace scoring::freed_heap
