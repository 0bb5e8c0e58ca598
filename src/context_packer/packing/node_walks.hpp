// The walks over the Graph's "nodes": served by the node cursor when it can vouch for the
// nodes, otherwise (and from the first node it cannot vouch for) walked literally, with the
// for statement's semantics: "nodes" is read once per walk and iterated from its start.
#pragma once

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

// Binds the node cursor to `nodes` for one walk, after noting any collection since the last
// look; false when the walk must be literal.
inline bool attach_cursor(PackState& s, PyObject* nodes) {
    note_collections(s);
    return s.cursor.attach(nodes, s.foreign, s.dicts_touched);
}

// `node.get("kind") == "symbol" and node.get("path") == base_file`.
bool is_symbol_node(PackState& s, PyObject* node, PyObject* base_file);

// Key Code and Recommended Reads: calls visit(node) for each symbol node of `base_file` (file
// `file` of the chosen identifiers), in order, until visit returns true.
template <class Visit>
void walk_symbol_nodes(PackState& s, size_t file, PyObject* base_file, WalkLines lines,
                       Visit&& visit) {
    auto literal = [&](Loop source) {
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
    if (!attach_cursor(s, nodes.get())) return literal(Loop(s, nodes.get()));
    size_t seen = 0;
    // Where the for statement stands: the index after the last node visited.
    Py_ssize_t next = 0;
    for (;;) {
        NodeCursor::Step step = s.cursor.next_symbol(file, seen);
        switch (step.kind) {
        case NodeCursor::Step::Match:
            break;
        case NodeCursor::Step::End:
            return;
        case NodeCursor::Step::Literal:
            return literal(Loop(s, nodes.get(), step.index));
        case NodeCursor::Step::Stale:
            return literal(Loop(s, nodes.get(), next));
        }
        Ref node = Ref::borrow(PyList_GET_ITEM(nodes.get(), step.index));
        uint64_t before = s.foreign;
        if (visit(node.get())) return;
        next = step.index + 1;
        // Outside code (visit allocates, so a collection may have run) may have changed the
        // list: the for statement would go on with the next index of the list as it now is.
        note_collections(s);
        if (s.foreign != before) return literal(Loop(s, nodes.get(), next));
        s.frame.line = lines.walk;
    }
}

} // namespace cp::packing
