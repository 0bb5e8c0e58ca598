// Learning the dict layout and reading the dict version counter.
#include "compat/dict_layout.hpp"

#include "compat/dict_counter.h"

namespace cp {

#if PY_VERSION_HEX < 0x030B0000

void* dict_layout::generic_lookup = nullptr;

void learn_dict_layout() {
    if (dict_layout::generic_lookup != nullptr) return;
    Ref probe = checked(PyDict_New());
    check(PyDict_SetItem(probe.get(), Py_None, Py_None));
    dict_layout::generic_lookup = dict_layout::keys_of(probe.get())->lookup;
}

#else

// The table kind is in every key table: nothing to learn.
void learn_dict_layout() {}

#endif

#if PY_VERSION_HEX >= 0x030C0000

uint64_t DictClock::now() {
    return cp_dict_counter();
}

#else

// The counter itself is not reachable before 3.12: a new dict's tag is its next value.
uint64_t DictClock::now() {
    Ref probe = checked(PyDict_New());
    return version_of(probe.get());
}

#endif

} // namespace cp
