// Signatures, docstrings and local names of the module's functions.
#include "function_table.hpp"

#include "compat/code_object.hpp"
#include "def_lines.hpp"

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
constexpr ParamSpec kLoadSummariesParams[] = {
    {.name = &K.project_root, .annotation = "Path"},
};
constexpr ParamSpec kSummaryParam[] = {
    {.name = &K.summary, .annotation = "dict", .check = Check::ExactDict},
};
constexpr ParamSpec kEstimateTokensParams[] = {
    {.name = &K.text, .annotation = "str", .check = Check::ExactStr},
};
constexpr ParamSpec kReadSymbolContentParams[] = {
    {.name = &K.project_root, .annotation = "Path"},
    {.name = &K.file_id, .annotation = "str", .check = Check::ExactStr},
    {.name = &K.functions, .annotation = "dict", .check = Check::ExactDict},
    {.name = &K.max_lines,
     .annotation = "int",
     .check = Check::Int,
     .conversion_line = def_line::kReadSymbolContentMaxLines,
     .default_value = &Constants::default_max_lines},
};
constexpr ParamSpec kSortKeyParams[] = {
    {.name = &K.kv},
};
constexpr ParamSpec kFileIdParams[] = {
    {.name = &K.entry, .annotation = "Any"},
};
constexpr ParamSpec kBasenameParams[] = {
    {.name = &K.path, .annotation = "str", .check = Check::ExactStr},
};
constexpr ParamSpec kPackParams[] = {
    {.name = &K.retrieve_result, .annotation = "Any"},
    {.name = &K.summaries, .annotation = "dict", .check = Check::ExactDict},
    {.name = &K.graph, .annotation = "dict", .check = Check::ExactDict},
    {.name = &K.project_root, .annotation = "Path"},
    {.name = &K.token_budget,
     .annotation = "int",
     .check = Check::Int,
     .conversion_line = def_line::kPackTokenBudget,
     .default_value = &Constants::default_token_budget},
    {.name = &K.max_files,
     .annotation = "int",
     .check = Check::Int,
     .conversion_line = def_line::kPackMaxFiles,
     .default_value = &Constants::default_max_files},
    {.name = &K.max_read_targets,
     .annotation = "int",
     .check = Check::Int,
     .conversion_line = def_line::kPackMaxReadTargets,
     .default_value = &Constants::default_max_read_targets},
};
constexpr ParamSpec kPackForQueryParams[] = {
    {.name = &K.query, .annotation = "str", .check = Check::ExactStr},
    {.name = &K.project_root, .annotation = "Path"},
    {.name = &K.token_budget,
     .annotation = "int",
     .check = Check::Int,
     .conversion_line = def_line::kPackForQueryTokenBudget,
     .default_value = &Constants::default_token_budget},
};

// Local names, after the parameters, as the code objects list them.
constexpr const char* kNoLocals[] = {nullptr};
constexpr const char* kLoadSummariesLocals[] = {"path", "data", nullptr};
constexpr const char* kExpandSummaryLocals[] = {
    "lines",          "desc",       "funcs",      "fname",   "finfo",
    "params",         "ret",        "sig",        "details", "calls_int",
    "calls_ext",      "all_calls",  "decorators", "classes", "cls_parts",
    "cname",          "cinfo",      "bases",      "label",   "methods",
    "variables",      "var_parts",  "v",          "name",    "used_by",
    "internal_graph", "graph_strs", "edge",       "frm",     "to",
    "imports",        "imp_strs",   "imp",        "mod",     "names",
    nullptr};
constexpr const char* kCondenseSummaryLocals[] = {
    "parts", "desc", "funcs", "sigs", "fname", "finfo", "params", "ret", "sig", "text", nullptr};
constexpr const char* kReadSymbolContentLocals[] = {
    "file_path", "all_lines", "sorted_fns", "chunks", "total_lines", "fn_name", "fn_info",
    "start",     "end",       "span",       "header", "body",        nullptr};
constexpr const char* kPackLocals[] = {"files_list",
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
constexpr const char* kPackForQueryLocals[] = {"graph", "result", "summaries", nullptr};
constexpr const char* kMainLocals[] = {"query", "root", nullptr};

#define TB(name) "tarnwick.context_packer." name

} // namespace

constexpr FunctionSpec function_specs[kFunctionCount] = {
    {.id = FunctionId::LoadSummaries,
     .name = "load_summaries",
     .qualname = "load_summaries",
     .code_name = "load_summaries",
     .traceback_name = TB("load_summaries"),
     .def_line = def_line::kLoadSummaries,
     .min_args = 1,
     .params = kLoadSummariesParams,
     .locals = kLoadSummariesLocals,
     .doc = kLoadSummariesDoc,
     .return_annotation = "dict",
     .body = load_summaries_body},
    {.id = FunctionId::ExpandSummary,
     .name = "expand_summary",
     .qualname = "expand_summary",
     .code_name = "expand_summary",
     .traceback_name = TB("expand_summary"),
     .def_line = def_line::kExpandSummary,
     .min_args = 1,
     .params = kSummaryParam,
     .locals = kExpandSummaryLocals,
     .doc = kExpandSummaryDoc,
     .return_annotation = "str",
     .body = expand_summary_body},
    {.id = FunctionId::CondenseSummary,
     .name = "condense_summary",
     .qualname = "condense_summary",
     .code_name = "condense_summary",
     .traceback_name = TB("condense_summary"),
     .def_line = def_line::kCondenseSummary,
     .min_args = 1,
     .params = kSummaryParam,
     .locals = kCondenseSummaryLocals,
     .doc = kCondenseSummaryDoc,
     .return_annotation = "str",
     .body = condense_summary_body},
    {.id = FunctionId::EstimateTokens,
     .name = "estimate_tokens",
     .qualname = "estimate_tokens",
     .code_name = "estimate_tokens",
     .traceback_name = TB("estimate_tokens"),
     .def_line = def_line::kEstimateTokens,
     .min_args = 1,
     .params = kEstimateTokensParams,
     .locals = kNoLocals,
     .doc = kEstimateTokensDoc,
     .return_annotation = "int",
     .body = estimate_tokens_body},
    {.id = FunctionId::ReadSymbolContent,
     .name = "read_symbol_content",
     .qualname = "read_symbol_content",
     .code_name = "read_symbol_content",
     .traceback_name = TB("read_symbol_content"),
     .def_line = def_line::kReadSymbolContent,
     .min_args = 3,
     .params = kReadSymbolContentParams,
     .locals = kReadSymbolContentLocals,
     .doc = kReadSymbolContentDoc,
     .return_annotation = "str",
     .defaults = &Constants::defaults_read_symbol_content,
     .body = read_symbol_content_body},
    {.id = FunctionId::FileId,
     .name = "_file_id",
     .qualname = "_file_id",
     .code_name = "_file_id",
     .traceback_name = TB("_file_id"),
     .def_line = def_line::kFileId,
     .min_args = 1,
     .params = kFileIdParams,
     .locals = kNoLocals,
     .return_annotation = "str",
     .body = file_id_body},
    {.id = FunctionId::Basename,
     .name = "_basename",
     .qualname = "_basename",
     .code_name = "_basename",
     .traceback_name = TB("_basename"),
     .def_line = def_line::kBasename,
     .min_args = 1,
     .params = kBasenameParams,
     .locals = kNoLocals,
     .return_annotation = "str",
     .body = basename_body},
    {.id = FunctionId::Pack,
     .name = "pack",
     .qualname = "pack",
     .code_name = "pack",
     .traceback_name = TB("pack"),
     .def_line = def_line::kPack,
     .min_args = 4,
     .params = kPackParams,
     .locals = kPackLocals,
     .doc = kPackDoc,
     .return_annotation = "str",
     .defaults = &Constants::defaults_pack,
     .body = pack_body},
    {.id = FunctionId::PackForQuery,
     .name = "pack_for_query",
     .qualname = "pack_for_query",
     .code_name = "pack_for_query",
     .traceback_name = TB("pack_for_query"),
     .def_line = def_line::kPackForQuery,
     .min_args = 2,
     .params = kPackForQueryParams,
     .locals = kPackForQueryLocals,
     .doc = kPackForQueryDoc,
     .return_annotation = "str",
     .defaults = &Constants::defaults_pack_for_query,
     .body = pack_for_query_body},
    {.id = FunctionId::Main,
     .name = "main",
     .qualname = "main",
     .code_name = "main",
     .traceback_name = TB("main"),
     .def_line = def_line::kMain,
     .min_args = 0,
     .params = {},
     .locals = kMainLocals,
     .return_annotation = "None",
     .body = main_body,
     .takes_no_arguments = true},
    {.id = FunctionId::SortKey,
     .name = "lambda",
     .qualname = "read_symbol_content.<locals>.<lambda>",
     .code_name = "<lambda>",
     .traceback_name = TB("read_symbol_content.lambda"),
     .def_line = def_line::kSortKey,
     .min_args = 1,
     .params = kSortKeyParams,
     .locals = kNoLocals,
     .body = sort_key_body},
};

namespace {

template <typename Rule> constexpr bool every_entry(Rule rule) {
    for (int index = 0; index < kFunctionCount; ++index)
        if (!rule(index, function_specs[index])) return false;
    return true;
}

constexpr size_t required(const FunctionSpec& spec) {
    return static_cast<size_t>(spec.min_args);
}

static_assert(every_entry([](int index, const FunctionSpec& spec) {
                  return static_cast<int>(spec.id) == index && spec.name != nullptr &&
                         spec.locals != nullptr;
              }),
              "every entry is filled in and sits at the position of its FunctionId");
static_assert(function_specs[kModuleFunctionCount].id == FunctionId::SortKey,
              "the sort key comes last: it is not a module attribute");
static_assert(every_entry([](int, const FunctionSpec& spec) {
                  return spec.params.size() <= kMaxParams;
              }),
              "binding gathers the arguments in arrays of kMaxParams");
static_assert(every_entry([](int, const FunctionSpec& spec) {
                  if (spec.min_args < 0 || required(spec) > spec.params.size()) return false;
                  for (size_t i = 0; i < spec.params.size(); ++i)
                      if ((spec.params[i].default_value == nullptr) != (i < required(spec)))
                          return false;
                  return true;
              }),
              "the first min_args parameters are required and the others have a default");
static_assert(every_entry([](int, const FunctionSpec& spec) {
                  return (spec.defaults != nullptr) == (required(spec) < spec.params.size());
              }),
              "a function has a __defaults__ tuple exactly when it has optional parameters");
static_assert(every_entry([](int, const FunctionSpec& spec) {
                  for (const ParamSpec& param : spec.params)
                      if ((param.check == Check::Int) != (param.conversion_line > spec.def_line))
                          return false;
                  return true;
              }),
              "an int conversion reports one of the function's own lines, nothing else does");
static_assert(every_entry([](int, const FunctionSpec& spec) {
                  return !spec.takes_no_arguments || spec.params.empty();
              }),
              "a function that refuses all arguments has no parameters");
static_assert(every_entry([](int index, const FunctionSpec& spec) {
                  return index == 0 || index >= kModuleFunctionCount ||
                         function_specs[index - 1].def_line < spec.def_line;
              }),
              "the module functions are made in the order of their def lines");

} // namespace

FunctionConstants function_constants[kFunctionCount] = {};

void create_function_constants() {
    for (int index = 0; index < kFunctionCount; ++index) {
        const FunctionSpec& spec = function_specs[index];
        FunctionConstants& constants = function_constants[index];
        Py_CLEAR(constants.code);
        Py_CLEAR(constants.name);
        Py_CLEAR(constants.qualname);
        Py_CLEAR(constants.doc);
        PyObject* params[kMaxParams];
        for (size_t i = 0; i < spec.params.size(); ++i)
            params[i] = *spec.params[i].name;
        constants.code = make_code_object({.name = spec.code_name,
                                           .qualname = spec.qualname,
                                           .first_line = spec.def_line,
                                           .params = {params, spec.params.size()},
                                           .locals = spec.locals});
        constants.name = check(PyUnicode_InternFromString(spec.name));
        constants.qualname = check(PyUnicode_InternFromString(spec.qualname));
        constants.doc =
            spec.doc != nullptr ? check(PyUnicode_FromString(spec.doc)) : Py_NewRef(Py_None);
    }
}

} // namespace cp
