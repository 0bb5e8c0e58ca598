// read_symbol_content: cuts the bodies of the first few functions of a file out of its source,
// each under a header naming the file, the function and the lines shown.
#include <algorithm>
#include <optional>

#include "excerpts/excerpt_lines.hpp"
#include "excerpts/excerpts.hpp"
#include "excerpts/line_number.hpp"
#include "function_bodies.hpp"
#include "project_files.hpp"
#include "text.hpp"

namespace cp {

namespace {

using excerpts::LineIndex;
using excerpts::Number;

// The file's lines: offsets into the text when `read_text` gave a str (the usual case), else
// whatever its `splitlines()` returned, used through the sequence protocol.
class SourceLines {
  public:
    SourceLines(Ref text, Ref lines) : text_(std::move(text)), lines_(std::move(lines)) {}

    void index() {
        if (lines_.get() != nullptr) return;
        if (PyUnicode_READY(text_.get()) < 0) raise();
        index_.emplace(text_.get());
    }

    // len(all_lines)
    Py_ssize_t size() const {
        if (index_.has_value()) return index_->size();
        return check(PyObject_Size(lines_.get()));
    }

    // "\n".join(all_lines[start:stop]) with Python's slice rules.
    Ref join(const Number& start, const Number& stop) const {
        if (index_.has_value()) {
            Py_ssize_t size = index_->size();
            if (start.is_small() && stop.is_small() && 0 <= start.value() &&
                start.value() <= stop.value() && stop.value() <= size)
                return index_->join(start.value(), stop.value());
            Ref slice = checked(PySlice_New(start.object(), stop.object(), nullptr));
            Py_ssize_t first, end, step;
            check(PySlice_Unpack(slice.get(), &first, &end, &step));
            PySlice_AdjustIndices(size, &first, &end, step);
            return index_->join(first, end);
        }
        Ref slice = checked(PySlice_New(start.object(), stop.object(), nullptr));
        Ref selected = checked(PyObject_GetItem(lines_.get(), slice.get()));
        return checked(PyUnicode_Join(K.newline, selected.get()));
    }

  private:
    Ref text_;
    Ref lines_;
    std::optional<LineIndex> index_;
};

// Reads the file as the caller's path object does it; an OSError (gone, a directory, no
// permission) means there is nothing to show: nullopt. Under a pathlib root, a file that is not
// a regular file inside the root, or is larger than the bound, shows nothing either.
std::optional<SourceLines> read_lines(PyObject* project_root, PyObject* file_path) {
    std::optional<Ref> guarded = project_files::guarded_text(
        project_root, file_path, project_files::kSourceLimit, false, "ignore");
    if (!guarded.has_value()) return std::nullopt;
    if (guarded->get() != nullptr) return SourceLines(std::move(*guarded), Ref());
    try {
        Ref text =
            call_method_kw(file_path, K.read_text, {K.utf_8, K.ignore}, K.kw_encoding_errors);
        if (PyUnicode_CheckExact(text.get())) return SourceLines(std::move(text), Ref());
        Ref lines = call_method(text.get(), K.ex_splitlines, {});
        return SourceLines(std::move(text), std::move(lines));
    } catch (const PyErrorMarker&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) raise();
        PyErr_Clear();
        return std::nullopt;
    }
}

// fn_info.get("line_end", start + 20), with the default computed beforehand as Python does.
Number end_or_default(PyObject* fn_info, Number default_end) {
    if (PyDict_CheckExact(fn_info)) {
        PyObject* found = PyDict_GetItemWithError(fn_info, K.line_end);
        if (found != nullptr) return Number::of(Ref::borrow(found));
        if (PyErr_Occurred()) raise();
        return default_end;
    }
    return Number::of(call_method(fn_info, K.get, {K.line_end, default_end.object()}));
}

} // namespace

Ref read_symbol_content_body(Frame& frame, PyObject* const* args) {
    PyObject* project_root = args[0];
    PyObject* file_id = args[1];
    PyObject* functions = args[2];
    const Number max_lines = Number::of(Ref::borrow(args[3]));

    frame.line = read_symbol_content_line::kFilePath;
    Ref file_path = checked(PyNumber_TrueDivide(project_root, file_id));
    frame.line = read_symbol_content_line::kIfExists;
    if (!truth(call_method(file_path.get(), K.exists, {}).get())) return Ref::borrow(K.empty);

    frame.line = read_symbol_content_line::kReadLines;
    std::optional<SourceLines> all_lines = read_lines(project_root, file_path.get());
    if (!all_lines.has_value()) return Ref::borrow(K.empty);

    frame.line = read_symbol_content_line::kIfNoFunctions;
    if (PyDict_GET_SIZE(functions) == 0) return Ref::borrow(K.empty);
    // The line offsets are only worth finding when there is something to cut out.
    frame.line = read_symbol_content_line::kReadLines;
    all_lines->index();

    // sorted(functions.items(), key=lambda kv: kv[1].get("line_start", 0)): stable, so equal
    // starts keep the dict's order.
    frame.line = read_symbol_content_line::kFunctionItems;
    Ref items = checked(PyDict_Items(functions));
    frame.line = read_symbol_content_line::kSortKey;
    Ref sort_key = new_sort_key_function();
    frame.line = read_symbol_content_line::kSortedFns;
    Ref sorted_fns = call_kw(state.sorted, {items.get(), sort_key.get()}, K.kw_key);

    frame.line = read_symbol_content_line::kChunks;
    Ref chunks = checked(PyList_New(0));
    Number total_lines = Number::small(0);

    // `sorted_fns[:3]`, taken up front as the slice would be. `sorted` (the builtin, fixed at
    // import) hands back a new list of the (name, record) tuples of dict.items().
    Ref first_pairs[limit::excerpt_functions];
    Py_ssize_t considered = std::min(PyList_GET_SIZE(sorted_fns.get()), limit::excerpt_functions);
    for (Py_ssize_t index = 0; index < considered; ++index)
        first_pairs[index] = Ref::borrow(PyList_GET_ITEM(sorted_fns.get(), index));
    for (Py_ssize_t index = 0; index < considered; ++index) {
        frame.line = read_symbol_content_line::kForFunction;
        const Ref& pair = first_pairs[index];
        PyObject* fn_name = PyTuple_GET_ITEM(pair.get(), 0);
        PyObject* fn_info = PyTuple_GET_ITEM(pair.get(), 1);

        frame.line = read_symbol_content_line::kStart;
        Number start = Number::of(dict_get(fn_info, K.line_start, K.i_0));
        frame.line = read_symbol_content_line::kEnd;
        Number default_end = add(start, Number::small(20));
        Number end = end_or_default(fn_info, std::move(default_end));
        frame.line = read_symbol_content_line::kClampStart;
        if (!greater(start, Number::small(0))) start = Number::small(0);
        frame.line = read_symbol_content_line::kClampEnd;
        if (!less(end, Number::small(all_lines->size() - 1)))
            end = Number::small(all_lines->size() - 1);
        frame.line = read_symbol_content_line::kSpan;
        Number span = add(subtract(end, start), Number::small(1));
        // A range that is empty once clamped (it starts past the last line, or its end counts
        // from the end of the file) shows nothing and must not lower the running total.
        if (less(end, start)) continue;

        frame.line = read_symbol_content_line::kIfOverMaxLines;
        if (greater(add(total_lines, span), max_lines)) {
            frame.line = read_symbol_content_line::kCutEnd;
            end = subtract(add(start, subtract(max_lines, total_lines)), Number::small(1));
            frame.line = read_symbol_content_line::kIfNothingLeft;
            if (less(end, start)) break;
            frame.line = read_symbol_content_line::kCutSpan;
            span = add(subtract(end, start), Number::small(1));
        }

        frame.line = read_symbol_content_line::kHeader;
        Ref name_text = format_field(fn_name);
        Ref first_shown = add(start, Number::small(1)).text();
        Ref last_shown = add(end, Number::small(1)).text();
        frame.line = read_symbol_content_line::kBody;
        Ref body = all_lines->join(start, add(end, Number::small(1)));
        frame.line = read_symbol_content_line::kAppendChunk;
        Ref chunk = concat_texts({K.ex_header_open, file_id, K.double_colon, name_text.get(),
                                  K.ex_header_lines, first_shown.get(), K.dash, last_shown.get(),
                                  K.ex_header_close, body.get()});
        check(PyList_Append(chunks.get(), chunk.get()));
        frame.line = read_symbol_content_line::kAddSpan;
        total_lines = add(total_lines, span);
        frame.line = read_symbol_content_line::kIfMaxLines;
        if (at_least(total_lines, max_lines)) break;
    }

    frame.line = read_symbol_content_line::kJoinChunks;
    return checked(PyUnicode_Join(K.blank_line, chunks.get()));
}

} // namespace cp
