/* The dict version counter lives in the interpreter state, which only the internal headers
 * describe. */
#define Py_BUILD_CORE 1
#include <Python.h>

#if PY_VERSION_HEX >= 0x030C0000

#include "internal/pycore_interp.h"

#include "compat/dict_counter.h"

uint64_t cp_dict_counter(void) {
    return PyInterpreterState_Get()->dict_state.global_version;
}

#endif
