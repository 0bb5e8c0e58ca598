/* The interpreter's count of garbage collections, for code that must notice when a collection
 * (and with it finalizers, weakref callbacks and gc.callbacks entries) may have run. Kept beside
 * the other interpreter-version-specific code; written in C because the interpreter's internal
 * headers are C only. */
#ifndef CONTEXT_PACKER_COMPAT_GC_COUNT_H
#define CONTEXT_PACKER_COMPAT_GC_COUNT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Collections of every generation run so far in the current interpreter. A collection counts
 * once it has finished, which is before control returns to the code it interrupted. */
uint64_t cp_gc_collections(void);

#ifdef __cplusplus
}
#endif

#endif
