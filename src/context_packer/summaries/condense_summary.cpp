// condense_summary: one summary record as a single line of at most 300 characters.
//
// Source lines reported in traceback entries (def on line 179, docstring on line 180):
//   181  if not summary:                      182  return ""
//   183  parts = []
//   184  desc = summary.get("description", "").strip()
//   185  if desc:   186  if not desc.endswith("."):   187  desc += "."   188  parts.append(desc)
//   189  funcs = summary.get("functions") or {}
//   190  if isinstance(funcs, dict) and funcs:
//   191  sigs = []
//   192  for fname, finfo in list(funcs.items())[:5]:
//   193  if not fname:   194  continue
//   195  params = finfo.get("params", "")     196  if isinstance(params, list):
//   197  params = ", ".join(params)           198  ret = finfo.get("returns", "")
//   199  sig = f"{fname}({params})"           200  if ret:   201  sig += f" -> {ret}"
//   202  sigs.append(sig)
//   203  if sigs:   204  parts.append("Functions: " + ", ".join(sigs))
//   205  text = " | ".join(parts)
//   206  return text[:300]                    (declared result: str)
#include "function_bodies.hpp"
#include "summaries/summary_lines.hpp"
#include "summaries/summary_parts.hpp"

namespace cp {

using summaries::TextList;

Ref condense_summary_body(Frame& frame, PyObject* const* args) {
    PyObject* summary = args[0];
    frame.line = condense_line::kIfEmpty;
    if (PyDict_GET_SIZE(summary) == 0) return Ref::borrow(K.empty);
    frame.line = condense_line::kParts;
    TextList<2> parts;
    Ref desc = summaries::description(frame, condense_line::kDescription, summary);
    if (desc.get() != nullptr) parts.add(std::move(desc));

    Ref funcs = summaries::non_empty_dict(frame, condense_line::kFunctions, summary, K.functions);
    if (funcs.get() != nullptr) {
        frame.line = condense_line::kSigs;
        TextList<5> sigs;
        frame.line = condense_line::kForFunction;
        summaries::FirstMembers members(funcs.get(), 5);
        for (Py_ssize_t i = 0; i < members.size(); ++i) {
            frame.line = condense_line::kForFunction;
            Ref fname, finfo;
            members.unpack(i, fname, finfo);
            summaries::Signature sig;
            if (!summaries::signature(frame, condense_line::kForFunction, K.empty, fname.get(),
                                      finfo.get(), sig))
                continue;
            frame.line = condense_line::kAppendSignature;
            sigs.add(std::move(sig.text));
        }
        frame.line = condense_line::kIfSigs;
        if (!sigs.empty()) {
            frame.line = condense_line::kAppendFunctions;
            Ref joined = sigs.joined(K.comma_space);
            parts.add(concat_texts({K.sm_functions_label, joined.get()}));
        }
    }

    frame.line = condense_line::kJoinParts;
    Ref text = parts.joined(K.sm_bar);
    frame.line = condense_line::kCut;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (length > 300) text = checked(PyUnicode_Substring(text.get(), 0, 300));
    return checked_return(std::move(text), ReturnType::Str);
}

} // namespace cp
