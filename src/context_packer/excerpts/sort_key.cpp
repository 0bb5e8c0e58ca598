// The sort key of read_symbol_content: `lambda kv: kv[1].get("line_start", 0)`.
#include "excerpts/excerpt_lines.hpp"
#include "excerpts/excerpts.hpp"
#include "function_bodies.hpp"

namespace cp {

Ref sort_key_body(Frame& frame, PyObject* const* args) {
    PyObject* kv = args[0];
    frame.line = read_symbol_content_line::kSortKey;
    Ref record;
    if (PyTuple_CheckExact(kv) && PyTuple_GET_SIZE(kv) > 1)
        record = Ref::borrow(PyTuple_GET_ITEM(kv, 1));
    else
        record = checked(PyObject_GetItem(kv, K.i_1));
    return dict_get(record.get(), K.line_start, K.i_0);
}

} // namespace cp
