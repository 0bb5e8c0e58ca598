// Placeholder until this function's body is written.
#include "function_table.hpp"

namespace cp {

Ref pack_for_query_body(Frame& frame, PyObject* const*) {
    frame.line = 507;
    raise_error(PyExc_NotImplementedError, "not implemented yet");
}

}  // namespace cp
