// The Key Code section: fenced function bodies of the first files, within the code budget.
#include <algorithm>

#include "packing/node_walks.hpp"
#include "packing/sections.hpp"

namespace cp::packing {

namespace {

// Line ranges of the first three entries of the file's Summary "functions" map.
void functions_from_summary(PackState& s, PyObject* funcs_map, PyObject* fn_dict) {
    s.frame.line = pack_line::kForSummaryFunction;
    Ref entries = items_list(s, funcs_map);
    Ref first_three = head(s, entries.get(), K.functions_per_file);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(first_three.get()); ++i) {
        s.frame.line = pack_line::kForSummaryFunction;
        // Held: unpacking may run code that changes the list.
        Ref item = Ref::borrow(PyList_GET_ITEM(first_three.get(), i));
        Ref fn_name, fn_info;
        unpack_pair(s, item.get(), fn_name, fn_info);
        s.frame.line = pack_line::kIfSummaryFunctionName;
        if (!is_true(s, fn_name.get())) continue;
        s.frame.line = pack_line::kLinesArr;
        Ref lines_arr = get_value(s, fn_info.get(), K.pk_lines, NewDefault::List);
        s.frame.line = pack_line::kIfLinesPair;
        if (!is_instance(s, lines_arr.get(), &PyList_Type) || length_of(s, lines_arr.get()) != 2)
            continue;
        s.frame.line = pack_line::kRecordLineStart;
        Ref line_start = item_at(s, lines_arr.get(), K.i_0);
        s.frame.line = pack_line::kRecordLineEnd;
        Ref line_end = item_at(s, lines_arr.get(), K.i_1);
        s.frame.line = pack_line::kRecordDescription;
        Ref description = get_value(s, fn_info.get(), K.description, K.empty);
        s.frame.line = pack_line::kSummaryFunctionRecord;
        Ref record = checked(PyDict_New());
        store(s, record.get(), K.line_start, line_start.get());
        store(s, record.get(), K.line_end, line_end.get());
        store(s, record.get(), K.description, description.get());
        store(s, fn_dict, fn_name.get(), record.get());
    }
}

// Line ranges of the file's symbol nodes, under their names, until three names are known.
void functions_from_nodes(PackState& s, size_t file, PyObject* base_file, PyObject* fn_dict) {
    constexpr WalkLines kNodeLines{pack_line::kForCodeNode, pack_line::kIfCodeSymbolNode};
    walk_symbol_nodes(s, file, base_file, kNodeLines, [&](PyObject* node) {
        s.frame.line = pack_line::kNodeLineStart;
        Ref line_start = get_value(s, node, K.line_start, K.i_0);
        s.frame.line = pack_line::kNodeLineEnd;
        Ref line_end = get_value(s, node, K.line_end, K.default_line_end);
        s.frame.line = pack_line::kNodeFunctionRecord;
        Ref record = checked(PyDict_New());
        store(s, record.get(), K.line_start, line_start.get());
        store(s, record.get(), K.line_end, line_end.get());
        Ref name = get_value(s, node, K.name, K.empty);
        store(s, fn_dict, name.get(), record.get());
        s.frame.line = pack_line::kIfThreeFunctions;
        return PyDict_GET_SIZE(fn_dict) >= 3;
    });
}

Ref new_lang_map(PackState& s) {
    Ref map = checked(PyDict_New());
    const std::pair<PyObject*, PyObject*> tags[] = {
        {K.pk_ext_py, K.pk_lang_python}, {K.pk_ext_ts, K.pk_lang_typescript},
        {K.pk_ext_tsx, K.pk_ext_tsx},    {K.pk_ext_js, K.pk_lang_javascript},
        {K.pk_ext_jsx, K.pk_ext_jsx},    {K.pk_ext_go, K.pk_ext_go},
    };
    for (const auto& [extension, tag] : tags)
        store(s, map.get(), extension, tag);
    return map;
}

// "```" + lang + "\n" + code + close, as the f-string formats its values.
Ref fenced(PackState& s, PyObject* lang, PyObject* code, PyObject* close) {
    Ref lang_text = text_of(s, lang);
    Ref code_text = text_of(s, code);
    return concat_texts({K.pk_fence, lang_text.get(), K.newline, code_text.get(), close});
}

} // namespace

void key_code(PackState& s, PyObject* code_budget) {
    s.frame.line = pack_line::kCodeParts;
    Ref parts = list_of(K.pk_code_heading);
    s.frame.line = pack_line::kCodeTokensUsed;
    Ref code_tokens_used = call_global(s, K.estimate_tokens, {K.pk_code_heading});
    Ref lang_map;

    PyObject* file_ids = s.file_ids.get();
    Py_ssize_t count = std::min(PyTuple_GET_SIZE(file_ids), limit::code_files);
    for (Py_ssize_t i = 0; i < count; ++i) {
        s.frame.line = pack_line::kForCodeFile;
        PyObject* fid = PyTuple_GET_ITEM(file_ids, i);
        s.frame.line = pack_line::kIfCodeBudgetLeft;
        Ref left = subtract(s, code_budget, code_tokens_used.get());
        if (compare(s, left.get(), K.code_floor, Py_LT)) break;

        s.frame.line = pack_line::kCodeBaseFile;
        Ref base_file = base_file_of(s, fid);
        s.frame.line = pack_line::kCodeSummary;
        Ref summary_obj = get_value(s, s.summaries, base_file.get(), NewDefault::Dict);
        s.frame.line = pack_line::kFuncsMap;
        Ref funcs_map = get_value(s, summary_obj.get(), K.functions);
        if (!is_true(s, funcs_map.get())) funcs_map = checked(PyDict_New());
        s.frame.line = pack_line::kFnDict;
        Ref fn_dict = checked(PyDict_New());
        s.frame.line = pack_line::kIfSummaryFunctions;
        if (is_instance(s, funcs_map.get(), &PyDict_Type) && is_true(s, funcs_map.get())) {
            functions_from_summary(s, funcs_map.get(), fn_dict.get());
        } else {
            functions_from_nodes(s, static_cast<size_t>(i), base_file.get(), fn_dict.get());
        }
        s.frame.line = pack_line::kIfNoFunctions;
        if (PyDict_GET_SIZE(fn_dict.get()) == 0) continue;

        s.frame.line = pack_line::kReadCode;
        Ref code =
            call_global(s, K.read_symbol_content,
                        {s.project_root, base_file.get(), fn_dict.get(), K.default_max_lines},
                        K.pk_kw_max_lines);
        s.frame.line = pack_line::kIfNoCode;
        if (!is_true(s, code.get())) continue;

        s.frame.line = pack_line::kExtension;
        Ref ext = contains(s, base_file.get(), K.dot) ? rsplit_once(s, base_file.get(), K.dot, true)
                                                      : Ref::borrow(K.empty);
        s.frame.line = pack_line::kLangMap;
        if (lang_map.get() == nullptr) lang_map = new_lang_map(s);
        s.frame.line = pack_line::kLang;
        Ref lang = get_value(s, lang_map.get(), ext.get(), ext.get());

        s.frame.line = pack_line::kBlock;
        Ref block = fenced(s, lang.get(), code.get(), K.pk_fence_close);
        s.frame.line = pack_line::kBlockTokens;
        Ref block_tokens = call_global(s, K.estimate_tokens, {block.get()});

        s.frame.line = pack_line::kIfBlockOverBudget;
        Ref total = add(s, code_tokens_used.get(), block_tokens.get());
        if (compare(s, total.get(), code_budget, Py_GT)) {
            s.frame.line = pack_line::kCharBudget;
            Ref left_tokens = subtract(s, code_budget, code_tokens_used.get());
            Ref chars = multiply(s, left_tokens.get(), K.chars_per_token);
            Ref char_budget = to_int(s, chars.get());
            s.frame.line = pack_line::kIfCharBudget;
            if (compare(s, char_budget.get(), K.cut_floor, Py_GT)) {
                s.frame.line = pack_line::kTruncated;
                Ref cut = head(s, code.get(), char_budget.get());
                Ref truncated = rsplit_once(s, cut.get(), K.newline, false);
                s.frame.line = pack_line::kCutBlock;
                Ref cut_block = fenced(s, lang.get(), truncated.get(), K.pk_truncated_close);
                s.frame.line = pack_line::kAppendCutBlock;
                append(parts.get(), cut_block.get());
            }
            break;
        }
        s.frame.line = pack_line::kAppendBlock;
        append(parts.get(), block.get());
        s.frame.line = pack_line::kAddBlockTokens;
        code_tokens_used = add(s, code_tokens_used.get(), block_tokens.get(), true);
    }

    s.frame.line = pack_line::kIfCodeParts;
    if (PyList_GET_SIZE(parts.get()) <= 1) return;
    s.frame.line = pack_line::kJoinCode;
    s.sec_code = checked(PyUnicode_Join(K.newline, parts.get()));
    s.frame.line = pack_line::kDeductCode;
    Ref cost = call_global(s, K.estimate_tokens, {s.sec_code.get()});
    s.remaining = subtract(s, s.remaining.get(), cost.get(), true);
}

} // namespace cp::packing
