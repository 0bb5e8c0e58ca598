// The literal node walks and the Relevant Files lookup.
#include "packing/node_walks.hpp"

namespace cp::packing {

bool is_symbol_node(PackState& s, PyObject* node, PyObject* base_file) {
    Ref kind = get_value(s, node, K.pk_kind);
    if (!equal(s, kind.get(), K.pk_symbol)) return false;
    Ref path = get_value(s, node, K.path);
    return equal(s, path.get(), base_file);
}

namespace {

Ref literal_fallback_walk(PackState& s, Loop source, PyObject* fid, PyObject* base_file) {
    for (;;) {
        s.frame.line = pack_line::kForFallbackNode;
        Ref node = source.next();
        if (node.get() == nullptr) return node;
        s.frame.line = pack_line::kIfFallbackNode;
        Ref id = get_value(s, node.get(), K.id);
        if (equal(s, id.get(), fid)) return node;
        id = get_value(s, node.get(), K.id);
        if (equal(s, id.get(), base_file)) return node;
    }
}

} // namespace

Ref find_fallback_node(PackState& s, size_t file, PyObject* fid, PyObject* base_file) {
    s.frame.line = pack_line::kForFallbackNode;
    Ref nodes = graph_nodes(s);
    if (!attach_cursor(s, nodes.get()))
        return literal_fallback_walk(s, Loop(s, nodes.get()), fid, base_file);
    NodeCursor::Step step = s.cursor.first_id_match(file);
    switch (step.kind) {
    case NodeCursor::Step::Match:
        return Ref::borrow(PyList_GET_ITEM(nodes.get(), step.index));
    case NodeCursor::Step::End:
        return Ref();
    case NodeCursor::Step::Literal:
        break;
    case NodeCursor::Step::Stale:
        return literal_fallback_walk(s, Loop(s, nodes.get()), fid, base_file);
    }
    return literal_fallback_walk(s, Loop(s, nodes.get(), step.index), fid, base_file);
}

} // namespace cp::packing
