// The Recommended Reads section: where to read the most relevant functions, one-based.
#include <climits>

#include "packing/node_walks.hpp"
#include "packing/sections.hpp"

namespace cp::packing {

namespace {

// The bound a count is compared with, saturated to the range of long long.
long long saturated(PyObject* value) {
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    if (result == -1 && PyErr_Occurred()) raise();
    return result;
}

struct Reads {
    PackState& s;
    Ref lines;
    long long added = 0;
    long long limit;

    bool full() const { return added >= limit; }

    // "- `<base>` lines <start>-<end>: `<name>()`<tail>"
    void add_line(PyObject* base_file, PyObject* start, PyObject* end, PyObject* name,
                  PyObject* tail) {
        Ref base_text = text_of(s, base_file);
        Ref start_text = text_of(s, start);
        Ref end_text = text_of(s, end);
        Ref name_text = text_of(s, name);
        Ref line = concat_texts({K.pk_item_open, base_text.get(), K.pk_read_lines, start_text.get(),
                                 K.dash, end_text.get(), K.pk_read_name, name_text.get(),
                                 K.pk_read_call, tail});
        append(lines.get(), line.get());
    }

    // Every symbol node of the file, until the limit is reached.
    void from_nodes(size_t file, PyObject* base_file) {
        constexpr WalkLines kNodeLines{pack_line::kForReadNode, pack_line::kIfReadSymbolNode};
        walk_symbol_nodes(s, file, base_file, kNodeLines, [&](PyObject* node) {
            s.frame.line = pack_line::kReadNodeStart;
            Ref line_start = get_value(s, node, K.line_start, K.i_0);
            Ref line_s = add(s, line_start.get(), K.i_1);
            s.frame.line = pack_line::kReadNodeEnd;
            Ref line_end = get_value(s, node, K.line_end, line_s.get());
            Ref line_e = add(s, line_end.get(), K.i_1);
            s.frame.line = pack_line::kReadNodeName;
            Ref name = get_value(s, node, K.name, K.pk_unknown);
            s.frame.line = pack_line::kAppendNodeRead;
            add_line(base_file, line_s.get(), line_e.get(), name.get(), K.empty);
            s.frame.line = pack_line::kCountNodeRead;
            ++added;
            s.frame.line = pack_line::kIfNodeReadsFull;
            return full();
        });
    }

    // `value + 1 if value >= 0 else value`
    Ref displayed(PyObject* value) {
        if (compare(s, value, K.i_0, Py_GE)) return add(s, value, K.i_1);
        return Ref::borrow(value);
    }

    // The first three entries of the Summary "functions" map that carry a line range.
    void from_summary(PyObject* funcs, PyObject* base_file) {
        s.frame.line = pack_line::kFuncsIter;
        Ref listed;
        if (PyDict_CheckExact(funcs)) {
            s.frame.line = pack_line::kForReadFunction;
            listed = checked(PyDict_Items(funcs));
        } else if (is_instance(s, funcs, &PyDict_Type)) {
            Ref view = method_call(s, funcs, K.items, {});
            s.frame.line = pack_line::kForReadFunction;
            listed = list_from(s, view.get());
        } else {
            s.frame.line = pack_line::kForReadFunction;
            listed = checked(PyList_New(0));
        }
        Ref first_three = head(s, listed.get(), K.functions_per_file);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(first_three.get()); ++i) {
            s.frame.line = pack_line::kForReadFunction;
            // Held: unpacking may run code that changes the list.
            Ref item = Ref::borrow(PyList_GET_ITEM(first_three.get(), i));
            Ref fn_name, fn_info;
            unpack_pair(s, item.get(), fn_name, fn_info);
            s.frame.line = pack_line::kIfFunctionReadsFull;
            if (full()) break;
            s.frame.line = pack_line::kIfReadFunctionName;
            if (!is_true(s, fn_name.get())) continue;
            s.frame.line = pack_line::kReadLinesArr;
            Ref lines_arr = get_value(s, fn_info.get(), K.pk_lines, NewDefault::List);
            s.frame.line = pack_line::kIfReadLinesPair;
            if (!is_instance(s, lines_arr.get(), &PyList_Type) ||
                length_of(s, lines_arr.get()) != 2)
                continue;
            s.frame.line = pack_line::kUnpackLinesPair;
            Ref line_s, line_e;
            unpack_pair(s, lines_arr.get(), line_s, line_e);
            s.frame.line = pack_line::kIfNoLines;
            if (equal(s, line_s.get(), K.i_0) && equal(s, line_e.get(), K.i_0)) continue;
            s.frame.line = pack_line::kDisplayStart;
            Ref display_start = displayed(line_s.get());
            s.frame.line = pack_line::kDisplayEnd;
            Ref display_end = displayed(line_e.get());
            s.frame.line = pack_line::kReadDescription;
            Ref desc = get_value(s, fn_info.get(), K.description, K.empty);
            s.frame.line = pack_line::kDescPart;
            Ref desc_part = Ref::borrow(K.empty);
            if (is_true(s, desc.get())) {
                Ref desc_text = text_of(s, desc.get());
                desc_part = concat_texts({K.pk_desc_sep, desc_text.get()});
            }
            s.frame.line = pack_line::kAppendFunctionRead;
            add_line(base_file, display_start.get(), display_end.get(), fn_name.get(),
                     desc_part.get());
            s.frame.line = pack_line::kCountFunctionRead;
            ++added;
        }
    }
};

} // namespace

void recommended_reads(PackState& s) {
    s.frame.line = pack_line::kSec3Lines;
    Reads reads{s, list_of(K.pk_reads_heading), 0, saturated(s.max_read_targets)};

    PyObject* file_ids = s.file_ids.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(file_ids); ++i) {
        s.frame.line = pack_line::kForReadFile;
        PyObject* fid = PyTuple_GET_ITEM(file_ids, i);
        s.frame.line = pack_line::kIfReadsFull;
        if (reads.full()) break;
        s.frame.line = pack_line::kReadBaseFile;
        Ref base_file = base_file_of(s, fid);
        s.frame.line = pack_line::kReadSummary;
        Ref summary_obj = get_value(s, s.summaries, base_file.get(), NewDefault::Dict);
        s.frame.line = pack_line::kReadFuncs;
        Ref funcs = get_value(s, summary_obj.get(), K.functions, NewDefault::List);
        s.frame.line = pack_line::kIfReadFuncs;
        if (!is_true(s, funcs.get())) {
            reads.from_nodes(static_cast<size_t>(i), base_file.get());
        } else {
            reads.from_summary(funcs.get(), base_file.get());
        }
    }

    s.frame.line = pack_line::kIfReadsAdded;
    if (reads.added <= 0) return;
    s.frame.line = pack_line::kJoinReads;
    s.sec_reads = checked(PyUnicode_Join(K.newline, reads.lines.get()));
    s.frame.line = pack_line::kDeductReads;
    Ref cost = call_global(s, K.estimate_tokens, {s.sec_reads.get()});
    s.remaining = subtract(s, s.remaining.get(), cost.get(), true);
}

} // namespace cp::packing
