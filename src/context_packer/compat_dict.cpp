// Learning the generic dict lookup and reading the dict version counter.
#include "compat_dict.hpp"

namespace cp::packing {

void* dict_layout::generic_lookup = nullptr;

void learn_dict_layout() {
    if (dict_layout::generic_lookup != nullptr) return;
    Ref probe = checked(PyDict_New());
    check(PyDict_SetItem(probe.get(), Py_None, Py_None));
    dict_layout::generic_lookup = dict_layout::lookup_of(probe.get());
}

uint64_t dict_version_now() {
    Ref probe = checked(PyDict_New());
    return version_of(probe.get());
}

} // namespace cp::packing
