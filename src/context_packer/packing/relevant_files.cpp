// Reading the retrieval result, choosing the files, and the Relevant Files section.
#include "packing/node_walks.hpp"
#include "packing/sections.hpp"

namespace cp::packing {

namespace {

// `result.get(key, [])` for a dict (or dict subclass), else `getattr(result, key, [])`.
Ref result_field(PackState& s, PyObject* key) {
    PyObject* result = s.retrieve_result;
    if (is_instance(s, result, &PyDict_Type)) return get_value(s, result, key, NewDefault::List);
    return attribute_or_list(s, result, key);
}

// Appends the lines of one file whose rendered summary is `expanded`.
void append_expanded(PackState& s, PyObject* lines, PyObject* fid, PyObject* expanded) {
    s.frame.line = pack_line::kSplitExpanded;
    Ref pieces;
    if (PyUnicode_CheckExact(expanded)) {
        pieces = checked(PyUnicode_Split(expanded, K.newline, -1));
    } else {
        pieces = method_call(s, expanded, K.split, {K.newline});
    }
    s.frame.line = pack_line::kAppendFileName;
    Ref name = text_of(s, fid);
    Ref bold = concat_texts({K.pk_file_open, name.get(), K.pk_file_close});
    append(lines, bold.get());
    s.frame.line = pack_line::kForExpandedLine;
    Loop source(s, pieces.get());
    for (;;) {
        s.frame.line = pack_line::kForExpandedLine;
        Ref piece = source.next();
        if (piece.get() == nullptr) return;
        s.frame.line = pack_line::kAppendExpandedLine;
        Ref text = text_of(s, piece.get());
        Ref line = concat_texts({K.indent, text.get()});
        append(lines, line.get());
    }
}

// The line of a file without a rendered summary: the first matching node's summary, if any.
void append_fallback(PackState& s, PyObject* lines, size_t file, PyObject* fid,
                     PyObject* base_file) {
    Ref fallback = Ref::borrow(K.empty);
    Ref node = find_fallback_node(s, file, fid, base_file);
    if (node.get() != nullptr) {
        s.frame.line = pack_line::kFallbackSummary;
        Ref summary = get_value(s, node.get(), K.summary, K.empty);
        if (!is_true(s, summary.get())) summary = Ref::borrow(K.empty);
        fallback = head(s, summary.get(), K.fallback_length);
    }
    s.frame.line = pack_line::kIfFallback;
    if (is_true(s, fallback.get())) {
        s.frame.line = pack_line::kAppendFileAndFallback;
        Ref name = text_of(s, fid);
        Ref text = text_of(s, fallback.get());
        Ref line = concat_texts({K.pk_file_open, name.get(), K.pk_file_close_colon, text.get()});
        append(lines, line.get());
    } else {
        s.frame.line = pack_line::kAppendFileAlone;
        Ref name = text_of(s, fid);
        Ref line = concat_texts({K.pk_file_open, name.get(), K.pk_file_close});
        append(lines, line.get());
    }
}

} // namespace

void choose_files(PackState& s) {
    s.frame.line = pack_line::kFilesList;
    s.files_list = result_field(s, K.files);
    s.frame.line = pack_line::kEdgesList;
    s.edges_list = result_field(s, K.edges);

    s.frame.line = pack_line::kFileIds;
    Ref file_ids = checked(PyList_New(0));
    s.frame.line = pack_line::kForEntry;
    Ref taken = head(s, s.files_list.get(), s.max_files);
    Loop entries(s, taken.get());
    for (;;) {
        s.frame.line = pack_line::kForEntry;
        Ref entry = entries.next();
        if (entry.get() == nullptr) break;
        s.frame.line = pack_line::kFileIdOfEntry;
        Ref fid = call_global(s, K.file_id_fn, {entry.get()});
        s.frame.line = pack_line::kIfFileId;
        if (!is_true(s, fid.get())) continue;
        s.frame.line = pack_line::kAppendFileId;
        append(file_ids.get(), fid.get());
    }
    // Kept as a tuple: the sections borrow identifiers from it across calls of outside code,
    // and the node cursor keys its files by position.
    s.file_ids = checked(PyList_AsTuple(file_ids.get()));
    s.frame.line = pack_line::kChosenSet;
    s.chosen_set = set_of(s, s.file_ids.get());
    s.cursor.prepare(s.file_ids.get());
}

void relevant_files(PackState& s) {
    s.frame.line = pack_line::kSec1Lines;
    Ref lines = list_of(K.pk_relevant_heading);
    PyObject* file_ids = s.file_ids.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(file_ids); ++i) {
        s.frame.line = pack_line::kForRelevantFile;
        PyObject* fid = PyTuple_GET_ITEM(file_ids, i);
        s.frame.line = pack_line::kRelevantBaseFile;
        Ref base_file = base_file_of(s, fid);
        s.frame.line = pack_line::kRelevantSummary;
        Ref summary_obj = get_value(s, s.summaries, base_file.get(), NewDefault::Dict);
        s.frame.line = pack_line::kExpanded;
        Ref expanded = Ref::borrow(K.empty);
        if (is_true(s, summary_obj.get()))
            expanded = call_global(s, K.expand_summary, {summary_obj.get()});
        s.frame.line = pack_line::kIfExpanded;
        if (is_true(s, expanded.get())) {
            append_expanded(s, lines.get(), fid, expanded.get());
        } else {
            append_fallback(s, lines.get(), static_cast<size_t>(i), fid, base_file.get());
        }
    }
    s.frame.line = pack_line::kJoinSec1;
    s.sec1 = checked(PyUnicode_Join(K.newline, lines.get()));
}

} // namespace cp::packing
