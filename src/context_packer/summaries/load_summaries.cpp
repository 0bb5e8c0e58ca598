// load_summaries: the summary map of a project, read from <project_root>/.vestra/ and decoded
// with the module-level `json`; a missing, unreadable or malformed store gives an empty dict.
//
// Source lines reported in traceback entries (def on line 33, docstring on line 34):
//   35  path = project_root / ".vestra" / "structured_summaries.json"
//   36  if not path.exists():
//   37      return {}
//   38  try:
//   39      data = json.loads(path.read_text(encoding="utf-8-sig"))
//   40      if isinstance(data, dict):
//   41          return data                         (declared result: dict)
//   42      return {}
//   43  except (json.JSONDecodeError, UnicodeDecodeError, OSError):
//   44      return {}
//
// Line 39 evaluates as the expression reads: `json`, then `.loads`, then the read, then the
// decoding call. Besides the exceptions of line 43, a ValueError or RecursionError raised by
// the decoding call itself (an integer literal beyond the interpreter's digit limit, nesting
// deeper than the recursion limit) marks the store as malformed too; the same exceptions from
// anywhere else propagate.
#include <optional>

#include "function_bodies.hpp"
#include "project_files.hpp"
#include "summaries/summary_lines.hpp"

namespace cp {
namespace {

// The except clause of line 43, entered with the protected region's exception pending.
// Returns true, with the exception cleared, when the store is to count as empty; otherwise
// leaves an exception pending: the original one, or the one raised while evaluating the clause
// (chained to the original, as the interpreter does).
bool store_is_unusable(Frame& frame, int failing_line, bool from_decoder) {
    frame.line = load_summaries_line::kExcept;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* decode_error = nullptr;
    {
        PyObject* json = PyDict_GetItemWithError(state.module_dict, K.json);
        Ref json_module;
        if (json != nullptr) {
            json_module = Ref::borrow(json);
        } else if (!PyErr_Occurred()) {
            json_module = Ref::steal(PyObject_GetAttr(state.builtins, K.json));
            if (json_module.get() == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", K.json);
            }
        }
        if (json_module.get() != nullptr)
            decode_error = PyObject_GetAttr(json_module.get(), K.JSONDecodeError);
    }
    if (decode_error != nullptr && !PyExceptionClass_Check(decode_error)) {
        Py_CLEAR(decode_error);
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
    }
    if (decode_error == nullptr) {
        // The clause's own error wins, with the original as its context.
        PyObject *new_type, *new_value, *new_traceback;
        PyErr_Fetch(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        PyException_SetContext(new_value, value);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        PyErr_Restore(new_type, new_value, new_traceback);
        return false;
    }
    bool unusable = PyErr_GivenExceptionMatches(type, decode_error) ||
                    PyErr_GivenExceptionMatches(type, PyExc_UnicodeDecodeError) ||
                    PyErr_GivenExceptionMatches(type, PyExc_OSError) ||
                    (from_decoder && (PyErr_GivenExceptionMatches(type, PyExc_ValueError) ||
                                      PyErr_GivenExceptionMatches(type, PyExc_RecursionError)));
    Py_DECREF(decode_error);
    if (unusable) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return true;
    }
    PyErr_Restore(type, value, traceback);
    frame.line = failing_line;
    return false;
}

// The store's text, or nullopt when it counts as missing: under a pathlib root, a store that is
// not a regular file inside the root (a link leading elsewhere, a FIFO, a device) or is larger
// than the bound.
std::optional<Ref> store_text(PyObject* project_root, PyObject* path) {
    std::optional<Ref> guarded =
        project_files::guarded_text(project_root, path, project_files::kStoreLimit, true, "strict");
    if (!guarded.has_value() || guarded->get() != nullptr) return guarded;
    return call_method_kw(path, K.read_text, {K.utf_8_sig}, K.kw_encoding);
}

} // namespace

Ref load_summaries_body(Frame& frame, PyObject* const* args) {
    PyObject* project_root = args[0];
    frame.line = load_summaries_line::kPath;
    Ref in_dir = checked(PyNumber_TrueDivide(project_root, K.vestra_dir));
    Ref path = checked(PyNumber_TrueDivide(in_dir.get(), K.store_file));
    frame.line = load_summaries_line::kIfExists;
    Ref exists = call_method(path.get(), K.exists, {});
    if (!truth(exists.get())) return checked(PyDict_New());

    bool from_decoder = false;
    try {
        frame.line = load_summaries_line::kLoad;
        Ref json = module_global(K.json);
        Ref loads = get_attr(json.get(), K.loads);
        std::optional<Ref> text = store_text(project_root, path.get());
        if (!text.has_value()) return checked(PyDict_New());
        from_decoder = true;
        Ref data = call(loads.get(), {text->get()});
        from_decoder = false;
        frame.line = load_summaries_line::kIfDict;
        if (!PyDict_Check(data.get())) return checked(PyDict_New());
        frame.line = load_summaries_line::kReturnData;
        return checked_return(std::move(data), ReturnType::Dict);
    } catch (const PyErrorMarker&) {
        if (!store_is_unusable(frame, frame.line, from_decoder)) raise();
        frame.line = load_summaries_line::kReturnEmpty;
        return checked(PyDict_New());
    }
}

} // namespace cp
