// Steps shared by the rich summary block and the one-line summary.
#include "summaries/summary_parts.hpp"

namespace cp::summaries {

Ref description(Frame& frame, int first_line, PyObject* summary) {
    frame.line = first_line;
    Ref raw = dict_get(summary, K.description, K.empty);
    Ref desc = stripped(raw.get());
    frame.line = first_line + 1;
    if (!truth(desc.get())) return Ref();
    frame.line = first_line + 2;
    if (!ends_with_dot(desc.get())) {
        frame.line = first_line + 3;
        desc = with_dot(std::move(desc));
    }
    frame.line = first_line + 4;
    return desc;
}

Ref non_empty_dict(Frame& frame, int first_line, PyObject* summary, PyObject* key) {
    frame.line = first_line;
    Ref value = dict_get(summary, key, Py_None);
    // `or {}`: a false value becomes an empty dict, which the test below turns away.
    if (!truth(value.get())) return Ref();
    frame.line = first_line + 1;
    if (!PyDict_Check(value.get())) return Ref();
    if (!PyDict_CheckExact(value.get()) && !truth(value.get())) return Ref();
    return value;
}

Ref signature_text(Frame& frame, int line, PyObject* prefix, PyObject* fname, PyObject* params,
                   PyObject* ret) {
    frame.line = line;
    Ref name_text = format_field(fname);
    Ref params_text = format_field(params);
    frame.line = line + 1;
    if (!truth(ret))
        return concat_texts({prefix, name_text.get(), K.sm_open, params_text.get(), K.sm_close});
    frame.line = line + 2;
    Ref ret_text = format_field(ret);
    // Built in one piece: the intermediate text without the return annotation is never seen.
    return concat_texts({prefix, name_text.get(), K.sm_open, params_text.get(), K.sm_close,
                         K.sm_arrow, ret_text.get()});
}

bool signature(Frame& frame, int loop_line, PyObject* prefix, PyObject* fname, PyObject* finfo,
               Signature& out) {
    frame.line = loop_line + 1;
    if (!truth(fname)) return false;
    frame.line = loop_line + 3;
    out.params = dict_get(finfo, K.sm_params, K.empty);
    frame.line = loop_line + 4;
    if (PyList_Check(out.params.get())) {
        frame.line = loop_line + 5;
        out.params = join(K.comma_space, out.params.get());
    }
    frame.line = loop_line + 6;
    out.ret = dict_get(finfo, K.sm_returns, K.empty);
    out.text = signature_text(frame, loop_line + 7, prefix, fname, out.params.get(), out.ret.get());
    return true;
}

} // namespace cp::summaries
