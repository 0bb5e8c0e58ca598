// The one-call path from a query to a context block.
#include "function_bodies.hpp"
#include "pipeline/pipeline_lines.hpp"

namespace cp {

Ref pack_for_query_body(Frame& frame, PyObject* const* args) {
    PyObject* query = args[0];
    PyObject* project_root = args[1];
    PyObject* token_budget = args[2];

    frame.line = pack_for_query_line::kLoadGraph;
    Ref graph = call(module_global(K.vx_load_graph).get(), {});
    frame.line = pack_for_query_line::kRetrieve;
    Ref result =
        call_kw(module_global(K.vx_retrieve).get(),
                {graph.get(), query, K.query_top_files, K.query_top_edges}, K.kw_top_files_edges);
    frame.line = pack_for_query_line::kLoadSummaries;
    Ref summaries = call(module_global(K.load_summaries).get(), {project_root});
    frame.line = pack_for_query_line::kPack;
    Ref block = call_kw(module_global(K.pack).get(),
                        {result.get(), summaries.get(), graph.get(), project_root, token_budget},
                        K.kw_pack_call);
    return checked_return(std::move(block), ReturnType::Str);
}

} // namespace cp
