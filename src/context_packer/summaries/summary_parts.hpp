// The steps that the rich block and the one-line summary share: the description sentence, the
// dict of functions and one function's signature. Each takes the source line of its first
// statement; the statements after it follow on consecutive lines in both renderers.
#pragma once

#include "summaries/record_values.hpp"

namespace cp::summaries {

// +0  desc = summary.get("description", "").strip()
// +1  if desc:
// +2      if not desc.endswith("."):
// +3          desc += "."
// +4      parts.append(desc)
// Returns the description to add, or no object when it is empty.
Ref description(Frame& frame, int first_line, PyObject* summary);

// +0  funcs = summary.get(key) or {}
// +1  if isinstance(funcs, dict) and funcs:
// Returns `funcs` when it is a non-empty dict, else no object.
Ref non_empty_dict(Frame& frame, int first_line, PyObject* summary, PyObject* key);

// One function's signature and the values it was built from (the rich block rebuilds it for
// an async function).
struct Signature {
    Ref params;
    Ref ret;
    Ref text;
};

// +0  for fname, finfo in list(funcs.items())[:N]:   (the caller's loop)
// +1      if not fname:
// +2          continue
// +3      params = finfo.get("params", "")
// +4      if isinstance(params, list):
// +5          params = ", ".join(params)
// +6      ret = finfo.get("returns", "")
// +7      sig = f"{prefix}{fname}({params})"
// +8      if ret:
// +9          sig += f" -> {ret}"
// Returns false when the member is skipped for its empty name.
bool signature(Frame& frame, int loop_line, PyObject* prefix, PyObject* fname, PyObject* finfo,
               Signature& out);

// `sig = f"{prefix}{fname}({params})"` on `line`, then `if ret:` and `sig += f" -> {ret}"` on
// the two lines after it.
Ref signature_text(Frame& frame, int line, PyObject* prefix, PyObject* fname, PyObject* params,
                   PyObject* ret);

} // namespace cp::summaries
