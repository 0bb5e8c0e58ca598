/* The interpreter's dict version counter, read directly from CPython 3.12 on: there a dict's
 * deallocation moves it too, so a reading made by creating and dropping a dict would itself
 * count as a change. Written in C because the interpreter's internal headers are C only. */
#ifndef CONTEXT_PACKER_COMPAT_DICT_COUNTER_H
#define CONTEXT_PACKER_COMPAT_DICT_COUNTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Moves whenever any dict of the current interpreter is created, changed or freed (3.12 on). */
uint64_t cp_dict_counter(void);

#ifdef __cplusplus
}
#endif

#endif
