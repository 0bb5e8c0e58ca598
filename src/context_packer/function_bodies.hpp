// The body of each module function, defined in the subsystem folders. The function registry
// points at them; binding runs them with the bound and converted arguments.
#pragma once

#include "context_packer.hpp"

namespace cp {

Ref load_summaries_body(Frame& frame, PyObject* const* args);
Ref expand_summary_body(Frame& frame, PyObject* const* args);
Ref condense_summary_body(Frame& frame, PyObject* const* args);
Ref estimate_tokens_body(Frame& frame, PyObject* const* args);
Ref read_symbol_content_body(Frame& frame, PyObject* const* args);
Ref sort_key_body(Frame& frame, PyObject* const* args);
Ref file_id_body(Frame& frame, PyObject* const* args);
Ref basename_body(Frame& frame, PyObject* const* args);
Ref pack_body(Frame& frame, PyObject* const* args);
Ref pack_for_query_body(Frame& frame, PyObject* const* args);
Ref main_body(Frame& frame, PyObject* const* args);

} // namespace cp
