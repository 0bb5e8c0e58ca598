// The walks over the Graph's "nodes": served by the node cursor when it can vouch for the
// nodes, otherwise (and from the first node it cannot vouch for) walked literally, with the
// for statement's semantics: "nodes" is read once per walk and iterated from its start.
#pragma once

#include "iteration.hpp"
#include "packing/values.hpp"

namespace cp::packing {

// Source lines of one symbol walk: the for statement and the symbol-node test.
struct WalkLines {
    int walk;
    int test;
};

// Relevant Files: the first node whose "id" equals `fid` or `base_file` (file `file` of the
// chosen identifiers), or an empty Ref when no node does.
Ref find_fallback_node(PackState& s, size_t file, PyObject* fid, PyObject* base_file);

// `node.get("kind") == "symbol" and node.get("path") == base_file`.
bool is_symbol_node(PackState& s, PyObject* node, PyObject* base_file);

// Key Code and Recommended Reads: calls visit(node) for each symbol node of `base_file` (file
// `file` of the chosen identifiers), in order, until visit returns true.
template <class Visit>
void walk_symbol_nodes(PackState& s, size_t file, PyObject* base_file, WalkLines lines,
                       Visit&& visit) {
    auto literal = [&](ForItems source) {
        for (;;) {
            s.frame.line = lines.walk;
            Ref node = source.next();
            if (node.get() == nullptr) return;
            s.frame.line = lines.test;
            if (is_symbol_node(s, node.get(), base_file) && visit(node.get())) return;
        }
    };

    s.frame.line = lines.walk;
    Ref nodes = graph_nodes(s);
    if (!s.cursor.attach(nodes.get(), s.foreign, s.dicts_touched))
        return literal(ForItems(nodes.get()));
    size_t seen = 0;
    for (;;) {
        NodeCursor::Step step = s.cursor.next_symbol(file, seen);
        if (step.kind == NodeCursor::Step::End) return;
        if (step.kind == NodeCursor::Step::Literal)
            return literal(ForItems(nodes.get(), step.index));
        Ref node = Ref::borrow(PyList_GET_ITEM(nodes.get(), step.index));
        uint64_t before = s.foreign;
        if (visit(node.get())) return;
        // Outside code may have changed the list: the for statement would go on with the
        // next index of the list as it now is.
        if (s.foreign != before) return literal(ForItems(nodes.get(), step.index + 1));
        s.frame.line = lines.walk;
    }
}

} // namespace cp::packing
