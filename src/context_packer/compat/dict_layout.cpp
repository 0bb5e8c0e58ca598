// Learning the dict layout and reading the dict version counter.
#include "compat/dict_layout.hpp"

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

uint64_t DictClock::now() {
    Ref probe = checked(PyDict_New());
    return version_of(probe.get());
}

} // namespace cp
