// expand_summary: one summary record as the rich multi-line block.
//
// Source lines reported in traceback entries (def on line 51, docstring on lines 52-66):
//   67  if not summary:                              68  return ""
//   69  lines = []
//   72  desc = summary.get("description", "").strip()
//   73  if desc:   74  if not desc.endswith("."):   75  desc += "."   76  lines.append(desc)
//   79  funcs = summary.get("functions") or {}       80  if isinstance(funcs, dict) and funcs:
//   81  lines.append("Functions:")
//   82  for fname, finfo in list(funcs.items())[:8]:
//   83  if not fname:   84  continue
//   85  params = finfo.get("params", "")   86  if isinstance(params, list):
//   87  params = ", ".join(params)         88  ret = finfo.get("returns", "")
//   89  sig = f"  {fname}({params})"       90  if ret:   91  sig += f" -> {ret}"
//   92  if finfo.get("async"):
//   93  sig = f"  async {fname}({params})" 94  if ret:   95  sig += f" -> {ret}"
//   96  lines.append(sig)
//   98  details = []
//   99  calls_int = finfo.get("calls_internal", [])
//  100  calls_ext = finfo.get("calls_external", [])
//  101  all_calls = (calls_int or []) + (calls_ext or [])
//  102  if all_calls:   103  details.append(f"calls: {', '.join(all_calls[:6])}")
//  104  decorators = finfo.get("decorators", [])
//  105  if decorators:  106  details.append(f"decorators: {', '.join(decorators[:3])}")
//  107  if details:     108  lines.append(f"    {' | '.join(details)}")
//  111  classes = summary.get("classes") or {}       112  if isinstance(classes, dict) and classes:
//  113  cls_parts = []
//  114  for cname, cinfo in list(classes.items())[:5]:
//  115  bases = cinfo.get("bases", "")   116  if isinstance(bases, list):
//  117  bases = ", ".join(bases)
//  118  label = f"{cname}({bases})" if bases else cname
//  119  methods = cinfo.get("methods", [])   120  if methods and isinstance(methods, list):
//  121  label += f" [{', '.join(methods[:4])}]"
//  122  cls_parts.append(label)          123  lines.append(f"Classes: {', '.join(cls_parts)}")
//  126  variables = summary.get("variables", [])     127  if variables:
//  128  var_parts = []
//  129  for v in variables[:6]:          130  if isinstance(v, dict):
//  131  name = v.get("name", "")         132  used_by = v.get("used_by", [])
//  133  if not name:   134  continue      135  if used_by:
//  136  var_parts.append(f"{name} (used by: {', '.join(used_by[:3])})")
//  138  var_parts.append(name)           139  elif isinstance(v, str):   140  var_parts.append(v)
//  141  if var_parts:  142  lines.append(f"Vars: {', '.join(var_parts)}")
//  145  internal_graph = summary.get("internal_graph", [])
//  146  if internal_graph and isinstance(internal_graph, list):
//  147  graph_strs = []
//  148  for edge in internal_graph[:6]:  149  if isinstance(edge, dict):
//  150  frm = edge.get("from", "")       151  to = edge.get("to", "")
//  152  if frm and to:                   153  graph_strs.append(f"{frm}->{to}")
//  154  if graph_strs:  155  lines.append(f"Call graph: {', '.join(graph_strs)}")
//  158  imports = summary.get("imports", [])
//  159  if imports and isinstance(imports, list):
//  160  imp_strs = []
//  161  for imp in imports[:5]:          162  if isinstance(imp, dict):
//  163  mod = imp.get("module", "")      164  names = imp.get("names", [])
//  165  if not mod:   166  continue       167  if names:
//  168  imp_strs.append(f"{mod}({', '.join(names[:4])})")
//  170  imp_strs.append(mod)
//  171  if imp_strs:  172  lines.append(f"Imports: {', '.join(imp_strs)}")
//  176  return "\n".join(lines)
#include "function_bodies.hpp"
#include "summaries/summary_lines.hpp"
#include "summaries/summary_parts.hpp"

namespace cp {
namespace {

using namespace summaries;

// Description, "Functions:", 8 signature and 8 detail lines, and four one-line sections.
using Lines = TextList<22>;

// One function's detail line: its calls and decorators, "    " + details joined by " | ".
void add_details(Frame& frame, PyObject* finfo, Lines& lines) {
    frame.line = expand_line::kDetails;
    TextList<2> details;
    frame.line = expand_line::kCallsInternal;
    Ref calls_int = get_or_new_list(finfo, K.sm_calls_internal);
    frame.line = expand_line::kCallsExternal;
    Ref calls_ext = get_or_new_list(finfo, K.sm_calls_external);
    frame.line = expand_line::kAllCalls;
    // `x or []`: a false value is dropped here and stands for an empty list below.
    if (!truth(calls_int.get())) calls_int = Ref();
    if (!truth(calls_ext.get())) calls_ext = Ref();
    auto exact_list_or_empty = [](const Ref& calls) {
        return calls.get() == nullptr || PyList_CheckExact(calls.get());
    };
    if (exact_list_or_empty(calls_int) && exact_list_or_empty(calls_ext)) {
        // Two lists: take the first six of the concatenation without building it.
        PyObject* first_calls[6];
        Py_ssize_t count = 0;
        for (const Ref* calls : {&calls_int, &calls_ext}) {
            if (calls->get() == nullptr) continue;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(calls->get()) && count < 6; ++i)
                first_calls[count++] = PyList_GET_ITEM(calls->get(), i);
        }
        frame.line = expand_line::kIfCalls;
        if (count > 0) {
            frame.line = expand_line::kAddCalls;
            Ref joined = join_texts(K.comma_space, first_calls, count);
            details.add(concat_texts({K.sm_calls_label, joined.get()}));
        }
    } else {
        Ref first = calls_int.get() != nullptr ? std::move(calls_int) : checked(PyList_New(0));
        Ref second = calls_ext.get() != nullptr ? std::move(calls_ext) : checked(PyList_New(0));
        Ref all_calls = checked(PyNumber_Add(first.get(), second.get()));
        frame.line = expand_line::kIfCalls;
        if (truth(all_calls.get())) {
            frame.line = expand_line::kAddCalls;
            Ref joined = join_first(K.comma_space, all_calls.get(), 6, K.sm_max_calls);
            details.add(concat_texts({K.sm_calls_label, joined.get()}));
        }
    }

    frame.line = expand_line::kDecorators;
    Ref decorators = get_or_new_list(finfo, K.sm_decorators);
    frame.line = expand_line::kIfDecorators;
    if (truth(decorators.get())) {
        frame.line = expand_line::kAddDecorators;
        Ref joined = join_first(K.comma_space, decorators.get(), 3, K.sm_max_decorators);
        details.add(concat_texts({K.sm_decorators_label, joined.get()}));
    }
    frame.line = expand_line::kIfDetails;
    if (!details.empty()) {
        frame.line = expand_line::kAppendDetails;
        Ref joined = details.joined(K.sm_bar);
        lines.add(concat_texts({K.sm_detail_indent, joined.get()}));
    }
}

void add_functions(Frame& frame, PyObject* summary, Lines& lines) {
    Ref funcs = non_empty_dict(frame, expand_line::kFunctions, summary, K.functions);
    if (funcs.get() == nullptr) return;
    frame.line = expand_line::kFunctionsHeader;
    lines.add(Ref::borrow(K.sm_functions_header));
    frame.line = expand_line::kForFunction;
    FirstMembers members(funcs.get(), 8);
    for (Py_ssize_t i = 0; i < members.size(); ++i) {
        frame.line = expand_line::kForFunction;
        Ref fname, finfo;
        members.unpack(i, fname, finfo);
        Signature sig;
        if (!signature(frame, expand_line::kForFunction, K.indent, fname.get(), finfo.get(), sig))
            continue;
        frame.line = expand_line::kIfAsync;
        Ref is_async = dict_get(finfo.get(), K.sm_async, Py_None);
        if (truth(is_async.get()))
            sig.text = signature_text(frame, expand_line::kAsyncSignature, K.sm_async_indent,
                                      fname.get(), sig.params.get(), sig.ret.get());
        frame.line = expand_line::kAppendSignature;
        lines.add(std::move(sig.text));
        add_details(frame, finfo.get(), lines);
    }
}

void add_classes(Frame& frame, PyObject* summary, Lines& lines) {
    Ref classes = non_empty_dict(frame, expand_line::kClasses, summary, K.sm_classes);
    if (classes.get() == nullptr) return;
    frame.line = expand_line::kClassParts;
    TextList<5> cls_parts;
    frame.line = expand_line::kForClass;
    FirstMembers members(classes.get(), 5);
    for (Py_ssize_t i = 0; i < members.size(); ++i) {
        frame.line = expand_line::kForClass;
        Ref cname, cinfo;
        members.unpack(i, cname, cinfo);
        frame.line = expand_line::kBases;
        Ref bases = dict_get(cinfo.get(), K.sm_bases, K.empty);
        frame.line = expand_line::kIfBasesList;
        if (PyList_Check(bases.get())) {
            frame.line = expand_line::kJoinBases;
            bases = join(K.comma_space, bases.get());
        }
        frame.line = expand_line::kLabel;
        Ref label;
        if (truth(bases.get())) {
            Ref name_text = format_field(cname.get());
            Ref bases_text = format_field(bases.get());
            label = concat_texts({name_text.get(), K.sm_open, bases_text.get(), K.sm_close});
        } else {
            label = std::move(cname);
        }
        frame.line = expand_line::kMethods;
        Ref methods = get_or_new_list(cinfo.get(), K.sm_methods);
        frame.line = expand_line::kIfMethods;
        if (truth(methods.get()) && PyList_Check(methods.get())) {
            frame.line = expand_line::kAddMethods;
            Ref joined = join_first(K.comma_space, methods.get(), 4, K.sm_max_methods);
            Ref suffix = concat_texts({K.sm_methods_open, joined.get(), K.sm_methods_close});
            if (PyUnicode_CheckExact(label.get()))
                label = concat_texts({label.get(), suffix.get()});
            else
                label = checked(PyNumber_InPlaceAdd(label.get(), suffix.get()));
        }
        frame.line = expand_line::kAppendClass;
        cls_parts.add(std::move(label));
    }
    frame.line = expand_line::kAppendClasses;
    Ref joined = cls_parts.joined(K.comma_space);
    lines.add(concat_texts({K.sm_classes_label, joined.get()}));
}

void add_variables(Frame& frame, PyObject* summary, Lines& lines) {
    frame.line = expand_line::kVariables;
    Ref variables = get_or_new_list(summary, K.sm_variables);
    frame.line = expand_line::kIfVariables;
    if (!truth(variables.get())) return;
    frame.line = expand_line::kVarParts;
    TextList<6> var_parts;
    frame.line = expand_line::kForVariable;
    Ref first = first_items(variables.get(), K.sm_max_variables);
    for_each_item(frame, expand_line::kForVariable, first.get(), [&](PyObject* v) {
        frame.line = expand_line::kIfVariableDict;
        if (PyDict_Check(v)) {
            frame.line = expand_line::kVariableName;
            Ref name = dict_get(v, K.name, K.empty);
            frame.line = expand_line::kUsedBy;
            Ref used_by = get_or_new_list(v, K.sm_used_by);
            frame.line = expand_line::kIfNoName;
            if (!truth(name.get())) return;
            frame.line = expand_line::kIfUsedBy;
            if (truth(used_by.get())) {
                frame.line = expand_line::kAppendUsedBy;
                Ref name_text = format_field(name.get());
                Ref joined = join_first(K.comma_space, used_by.get(), 3, K.sm_max_used_by);
                var_parts.add(
                    concat_texts({name_text.get(), K.sm_used_by_open, joined.get(), K.sm_close}));
            } else {
                frame.line = expand_line::kAppendName;
                var_parts.add(std::move(name));
            }
            return;
        }
        frame.line = expand_line::kIfVariableText;
        if (PyUnicode_Check(v)) {
            frame.line = expand_line::kAppendText;
            var_parts.add(Ref::borrow(v));
        }
    });
    frame.line = expand_line::kIfVarParts;
    if (var_parts.empty()) return;
    frame.line = expand_line::kAppendVariables;
    Ref joined = var_parts.joined(K.comma_space);
    lines.add(concat_texts({K.sm_vars_label, joined.get()}));
}

void add_call_graph(Frame& frame, PyObject* summary, Lines& lines) {
    frame.line = expand_line::kInternalGraph;
    Ref internal_graph = get_or_new_list(summary, K.sm_internal_graph);
    frame.line = expand_line::kIfInternalGraph;
    if (!truth(internal_graph.get()) || !PyList_Check(internal_graph.get())) return;
    frame.line = expand_line::kGraphStrs;
    TextList<6> graph_strs;
    frame.line = expand_line::kForEdge;
    Ref first = first_items(internal_graph.get(), K.sm_max_graph_edges);
    for_each_item(frame, expand_line::kForEdge, first.get(), [&](PyObject* edge) {
        frame.line = expand_line::kIfEdgeDict;
        if (!PyDict_Check(edge)) return;
        frame.line = expand_line::kEdgeFrom;
        Ref frm = dict_get(edge, K.from, K.empty);
        frame.line = expand_line::kEdgeTo;
        Ref to = dict_get(edge, K.to, K.empty);
        frame.line = expand_line::kIfBothEnds;
        if (!truth(frm.get()) || !truth(to.get())) return;
        frame.line = expand_line::kAppendEdge;
        Ref frm_text = format_field(frm.get());
        Ref to_text = format_field(to.get());
        graph_strs.add(concat_texts({frm_text.get(), K.sm_edge_arrow, to_text.get()}));
    });
    frame.line = expand_line::kIfGraphStrs;
    if (graph_strs.empty()) return;
    frame.line = expand_line::kAppendCallGraph;
    Ref joined = graph_strs.joined(K.comma_space);
    lines.add(concat_texts({K.sm_call_graph_label, joined.get()}));
}

void add_imports(Frame& frame, PyObject* summary, Lines& lines) {
    frame.line = expand_line::kImports;
    Ref imports = get_or_new_list(summary, K.imports);
    frame.line = expand_line::kIfImports;
    if (!truth(imports.get()) || !PyList_Check(imports.get())) return;
    frame.line = expand_line::kImpStrs;
    TextList<5> imp_strs;
    frame.line = expand_line::kForImport;
    Ref first = first_items(imports.get(), K.sm_max_imports);
    for_each_item(frame, expand_line::kForImport, first.get(), [&](PyObject* imp) {
        frame.line = expand_line::kIfImportDict;
        if (!PyDict_Check(imp)) return;
        frame.line = expand_line::kModule;
        Ref mod = dict_get(imp, K.sm_module, K.empty);
        frame.line = expand_line::kNames;
        Ref names = get_or_new_list(imp, K.sm_names);
        frame.line = expand_line::kIfNoModule;
        if (!truth(mod.get())) return;
        frame.line = expand_line::kIfNames;
        if (truth(names.get())) {
            frame.line = expand_line::kAppendModuleNames;
            Ref mod_text = format_field(mod.get());
            Ref joined = join_first(K.comma_space, names.get(), 4, K.sm_max_names);
            imp_strs.add(concat_texts({mod_text.get(), K.sm_open, joined.get(), K.sm_close}));
        } else {
            frame.line = expand_line::kAppendModule;
            imp_strs.add(std::move(mod));
        }
    });
    frame.line = expand_line::kIfImpStrs;
    if (imp_strs.empty()) return;
    frame.line = expand_line::kAppendImports;
    Ref joined = imp_strs.joined(K.comma_space);
    lines.add(concat_texts({K.sm_imports_label, joined.get()}));
}

} // namespace

Ref expand_summary_body(Frame& frame, PyObject* const* args) {
    PyObject* summary = args[0];
    frame.line = expand_line::kIfEmpty;
    if (PyDict_GET_SIZE(summary) == 0) return Ref::borrow(K.empty);
    frame.line = expand_line::kLines;
    Lines lines;
    Ref desc = summaries::description(frame, expand_line::kDescription, summary);
    if (desc.get() != nullptr) lines.add(std::move(desc));
    add_functions(frame, summary, lines);
    add_classes(frame, summary, lines);
    add_variables(frame, summary, lines);
    add_call_graph(frame, summary, lines);
    add_imports(frame, summary, lines);
    frame.line = expand_line::kJoinLines;
    return lines.joined(K.newline);
}

} // namespace cp
