// Signatures, docstrings and local names of the module's functions.
#include "function_table.hpp"

#include "compat/code_object.hpp"
#include "excerpts/excerpt_lines.hpp"
#include "packing/pack_lines.hpp"
#include "pipeline/pipeline_lines.hpp"
#include "summaries/summary_lines.hpp"

namespace cp {

namespace {

constexpr const char* kLoadSummariesDoc =
    "Load structured_summaries.json from the project's .vestra/ dir.";

constexpr const char* kExpandSummaryDoc =
    "Convert a structured summary into a rich multi-line block.\n"
    "\n"
    "    Includes function signatures with params/returns, internal call graph,\n"
    "    class hierarchies, and key variables.  No arbitrary truncation.\n"
    "\n"
    "    Output example:\n"
    "        Order management API endpoints.\n"
    "        Functions:\n"
    "          get_orders(db: Session, status: str = None) -> list[OrderResponse]\n"
    "            calls: order_to_response, db.query | decorators: @router.get\n"
    "          create_order(db: Session, data: OrderCreate) -> Order\n"
    "            calls: validate_menu_items\n"
    "        Classes: OrderResponse(BaseModel), OrderCreate(BaseModel)\n"
    "        Vars: router (used by: get_orders, create_order)\n"
    "    ";

constexpr const char* kCondenseSummaryDoc =
    "Backward-compatible one-liner summary (used as fallback).";

constexpr const char* kEstimateTokensDoc = "Rough token estimate: ceil(len / 3.2).";

constexpr const char* kReadSymbolContentDoc =
    "Read function bodies from a file for inline inclusion.\n"
    "\n"
    "    v3.8.33: bumped max_lines 60\u219280, reads top 3 functions instead of 2.\n"
    "    ";

constexpr const char* kPackDoc =
    "Build a compact markdown context block from retrieval results.\n"
    "\n"
    "    v3.8.33 priority order (code-first):\n"
    "        1. Relevant Files \u2014 file path + FULL structured summary\n"
    "        2. Key Code \u2014 inline function bodies (gets priority over edges)\n"
    "        3. Recommended Reads \u2014 function locations with line numbers\n"
    "        4. Key Relationships \u2014 import/call/extends edges (lowest priority)\n"
    "    ";

constexpr const char* kPackForQueryDoc = "Convenience function: full retrieval + packing pipeline.";

// Parameters.
const ParamSpec kLoadSummariesParams[] = {
    {&K.project_root, "Path", Check::None, 0, nullptr},
};
const ParamSpec kSummaryParam[] = {
    {&K.summary, "dict", Check::ExactDict, 0, nullptr},
};
const ParamSpec kEstimateTokensParams[] = {
    {&K.text, "str", Check::ExactStr, 0, nullptr},
};
const ParamSpec kReadSymbolContentParams[] = {
    {&K.project_root, "Path", Check::None, 0, nullptr},
    {&K.file_id, "str", Check::ExactStr, 0, nullptr},
    {&K.functions, "dict", Check::ExactDict, 0, nullptr},
    {&K.max_lines, "int", Check::Int, read_symbol_content_line::kConvertMaxLines, &K.i_80},
};
const ParamSpec kSortKeyParams[] = {
    {&K.kv, nullptr, Check::None, 0, nullptr},
};
const ParamSpec kFileIdParams[] = {
    {&K.entry, "Any", Check::None, 0, nullptr},
};
const ParamSpec kBasenameParams[] = {
    {&K.path, "str", Check::ExactStr, 0, nullptr},
};
const ParamSpec kPackParams[] = {
    {&K.retrieve_result, "Any", Check::None, 0, nullptr},
    {&K.summaries, "dict", Check::ExactDict, 0, nullptr},
    {&K.graph, "dict", Check::ExactDict, 0, nullptr},
    {&K.project_root, "Path", Check::None, 0, nullptr},
    {&K.token_budget, "int", Check::Int, pack_line::kConvertTokenBudget, &K.i_5000},
    {&K.max_files, "int", Check::Int, pack_line::kConvertMaxFiles, &K.i_8},
    {&K.max_read_targets, "int", Check::Int, pack_line::kConvertMaxReadTargets, &K.i_8},
};
const ParamSpec kPackForQueryParams[] = {
    {&K.query, "str", Check::ExactStr, 0, nullptr},
    {&K.project_root, "Path", Check::None, 0, nullptr},
    {&K.token_budget, "int", Check::Int, pack_for_query_line::kConvertTokenBudget, &K.i_5000},
};

// Local names, after the parameters, as the code objects list them.
const char* const kNoLocals[] = {nullptr};
const char* const kLoadSummariesLocals[] = {"path", "data", nullptr};
const char* const kExpandSummaryLocals[] = {
    "lines",          "desc",       "funcs",      "fname",   "finfo",
    "params",         "ret",        "sig",        "details", "calls_int",
    "calls_ext",      "all_calls",  "decorators", "classes", "cls_parts",
    "cname",          "cinfo",      "bases",      "label",   "methods",
    "variables",      "var_parts",  "v",          "name",    "used_by",
    "internal_graph", "graph_strs", "edge",       "frm",     "to",
    "imports",        "imp_strs",   "imp",        "mod",     "names",
    nullptr};
const char* const kCondenseSummaryLocals[] = {"parts",  "desc", "funcs", "sigs", "fname", "finfo",
                                              "params", "ret",  "sig",   "text", nullptr};
const char* const kReadSymbolContentLocals[] = {
    "file_path", "all_lines", "sorted_fns", "chunks", "total_lines", "fn_name", "fn_info",
    "start",     "end",       "span",       "header", "body",        nullptr};
const char* const kPackLocals[] = {"files_list",
                                   "edges_list",
                                   "file_ids",
                                   "entry",
                                   "fid",
                                   "chosen_set",
                                   "sec1_lines",
                                   "base_file",
                                   "summary_obj",
                                   "expanded",
                                   "fallback",
                                   "node",
                                   "line",
                                   "sec1",
                                   "sec1_tokens",
                                   "header",
                                   "header_tokens",
                                   "remaining",
                                   "sec_code",
                                   "sec_reads",
                                   "sec_edges",
                                   "code_budget",
                                   "sec_code_parts",
                                   "code_tokens_used",
                                   "funcs_map",
                                   "fn_dict",
                                   "fn_name",
                                   "fn_info",
                                   "lines_arr",
                                   "code",
                                   "ext",
                                   "lang_map",
                                   "lang",
                                   "block",
                                   "block_tokens",
                                   "char_budget",
                                   "truncated",
                                   "sec3_lines",
                                   "read_targets_added",
                                   "funcs",
                                   "funcs_iter",
                                   "line_s",
                                   "line_e",
                                   "display_start",
                                   "display_end",
                                   "desc",
                                   "desc_part",
                                   "sec4_lines",
                                   "relevant_rels",
                                   "edge_count",
                                   "edge",
                                   "frm",
                                   "to",
                                   "rel",
                                   "sections",
                                   nullptr};
const char* const kPackForQueryLocals[] = {"graph", "result", "summaries", nullptr};
const char* const kMainLocals[] = {"query", "root", nullptr};

#define TB(name) "tarnwick.context_packer." name

} // namespace

const FunctionSpec function_specs[kFunctionCount] = {
    {"load_summaries", "load_summaries", "load_summaries", TB("load_summaries"),
     load_summaries_line::kDef, 1, kLoadSummariesParams, kLoadSummariesLocals, kLoadSummariesDoc,
     "dict", nullptr, load_summaries_body, false},
    {"expand_summary", "expand_summary", "expand_summary", TB("expand_summary"), expand_line::kDef,
     1, kSummaryParam, kExpandSummaryLocals, kExpandSummaryDoc, "str", nullptr, expand_summary_body,
     false},
    {"condense_summary", "condense_summary", "condense_summary", TB("condense_summary"),
     condense_line::kDef, 1, kSummaryParam, kCondenseSummaryLocals, kCondenseSummaryDoc, "str",
     nullptr, condense_summary_body, false},
    {"estimate_tokens", "estimate_tokens", "estimate_tokens", TB("estimate_tokens"),
     estimate_line::kDef, 1, kEstimateTokensParams, kNoLocals, kEstimateTokensDoc, "int", nullptr,
     estimate_tokens_body, false},
    {"read_symbol_content", "read_symbol_content", "read_symbol_content", TB("read_symbol_content"),
     read_symbol_content_line::kDef, 3, kReadSymbolContentParams, kReadSymbolContentLocals,
     kReadSymbolContentDoc, "str", &K.defaults_read_symbol_content, read_symbol_content_body,
     false},
    {"_file_id", "_file_id", "_file_id", TB("_file_id"), file_id_line::kDef, 1, kFileIdParams,
     kNoLocals, nullptr, "str", nullptr, file_id_body, false},
    {"_basename", "_basename", "_basename", TB("_basename"), basename_line::kDef, 1,
     kBasenameParams, kNoLocals, nullptr, "str", nullptr, basename_body, false},
    {"pack", "pack", "pack", TB("pack"), pack_line::kDef, 4, kPackParams, kPackLocals, kPackDoc,
     "str", &K.defaults_pack, pack_body, false},
    {"pack_for_query", "pack_for_query", "pack_for_query", TB("pack_for_query"),
     pack_for_query_line::kDef, 2, kPackForQueryParams, kPackForQueryLocals, kPackForQueryDoc,
     "str", &K.defaults_pack_for_query, pack_for_query_body, false},
    {"main",
     "main",
     "main",
     TB("main"),
     main_line::kDef,
     0,
     {},
     kMainLocals,
     nullptr,
     "None",
     nullptr,
     main_body,
     true},
    {"lambda", "read_symbol_content.<locals>.<lambda>", "<lambda>",
     TB("read_symbol_content.lambda"), read_symbol_content_line::kSortKey, 1, kSortKeyParams,
     kNoLocals, nullptr, nullptr, nullptr, sort_key_body, false},
};

FunctionConstants function_constants[kFunctionCount] = {};

void create_function_constants() {
    for (int index = 0; index < kFunctionCount; ++index) {
        const FunctionSpec& spec = function_specs[index];
        FunctionConstants& constants = function_constants[index];
        Py_CLEAR(constants.code);
        Py_CLEAR(constants.name);
        Py_CLEAR(constants.qualname);
        Py_CLEAR(constants.doc);
        constants.code = make_code_object(spec);
        constants.name = check(PyUnicode_InternFromString(spec.name));
        constants.qualname = check(PyUnicode_InternFromString(spec.qualname));
        constants.doc =
            spec.doc != nullptr ? check(PyUnicode_FromString(spec.doc)) : Py_NewRef(Py_None);
    }
}

} // namespace cp
