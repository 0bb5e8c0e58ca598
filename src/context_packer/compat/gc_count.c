/* The collection count lives in the interpreter state, which only the internal headers
 * describe. */
#define Py_BUILD_CORE 1
#include <Python.h>

#include "internal/pycore_interp.h"

#include "compat/gc_count.h"

uint64_t cp_gc_collections(void) {
    const struct _gc_runtime_state* gc = &PyInterpreterState_Get()->gc;
    uint64_t total = 0;
    for (int generation = 0; generation < NUM_GENERATIONS; ++generation)
        total += (uint64_t)gc->generation_stats[generation].collections;
    return total;
}
