// The Key Relationships section: up to ten edges of the printed kinds that touch a chosen file.
#include "packing/node_walks.hpp"
#include "packing/sections.hpp"

namespace cp::packing {

namespace {

Ref relevant_rels() {
    return text_set({K.imports, K.pk_rel_calls, K.pk_rel_extends, K.pk_rel_implements,
                     K.pk_rel_requires, K.pk_rel_contains, K.pk_rel_references});
}

} // namespace

void key_relationships(PackState& s) {
    s.frame.line = pack_line::kSec4Lines;
    Ref lines = list_of(K.pk_relationships_heading);
    s.frame.line = pack_line::kRelevantRels;
    Ref rels = relevant_rels();
    Py_ssize_t edge_count = 0;

    s.frame.line = pack_line::kForEdge;
    Loop edges(s, s.edges_list.get());
    for (;;) {
        s.frame.line = pack_line::kForEdge;
        Ref edge = edges.next();
        if (edge.get() == nullptr) break;
        s.frame.line = pack_line::kIfTenEdges;
        if (edge_count >= limit::edges_shown) break;
        s.frame.line = pack_line::kEdgeFrom;
        Ref frm = get_value(s, edge.get(), K.from, K.empty);
        frm = str_of(s, frm.get());
        s.frame.line = pack_line::kEdgeTo;
        Ref to = get_value(s, edge.get(), K.to, K.empty);
        to = str_of(s, to.get());
        s.frame.line = pack_line::kEdgeRel;
        Ref rel = get_value(s, edge.get(), K.pk_rel, K.empty);
        rel = str_of(s, rel.get());
        s.frame.line = pack_line::kIfEdgeTouchesChosen;
        if (!contains(s, s.chosen_set.get(), frm.get()) &&
            !contains(s, s.chosen_set.get(), to.get()))
            continue;
        s.frame.line = pack_line::kIfPrintedRel;
        if (!contains(s, rels.get(), rel.get())) continue;
        s.frame.line = pack_line::kAppendEdge;
        Ref from_name = call_global(s, K.basename_fn, {frm.get()});
        Ref from_text = text_of(s, from_name.get());
        Ref rel_text = text_of(s, rel.get());
        Ref to_name = call_global(s, K.basename_fn, {to.get()});
        Ref to_text = text_of(s, to_name.get());
        Ref line = concat_texts({K.pk_item_open, from_text.get(), K.pk_edge_mid, rel_text.get(),
                                 K.pk_edge_arrow, to_text.get(), K.pk_backtick});
        append(lines.get(), line.get());
        s.frame.line = pack_line::kCountEdge;
        ++edge_count;
    }

    s.frame.line = pack_line::kIfEdges;
    if (edge_count == 0) return;
    s.frame.line = pack_line::kJoinEdges;
    s.sec_edges = checked(PyUnicode_Join(K.newline, lines.get()));
}

} // namespace cp::packing
