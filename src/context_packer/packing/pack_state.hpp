// The working values of one pack call, shared by the sections that build the block.
#pragma once

#include <cstdint>

#include "compat/gc_count.h"
#include "context_packer.hpp"
#include "packing/node_cursor.hpp"
#include "packing/pack_lines.hpp"

namespace cp::packing {

struct PackState {
    // `args` are pack's bound arguments, in parameter order.
    PackState(Frame& frame_, PyObject* const* args)
        : frame(frame_), retrieve_result(args[0]), summaries(args[1]), graph(args[2]),
          project_root(args[3]), token_budget(args[4]), max_files(args[5]),
          max_read_targets(args[6]), collections(cp_gc_collections()) {}

    Frame& frame;

    // Arguments (borrowed from the call).
    PyObject* retrieve_result;
    PyObject* summaries;
    PyObject* graph;
    PyObject* project_root;
    PyObject* token_budget;
    PyObject* max_files;
    PyObject* max_read_targets;

    Ref files_list;
    Ref edges_list;
    Ref file_ids;   // tuple of the chosen identifiers, in rank order
    Ref chosen_set; // the same identifiers as a set
    Ref sec1;
    Ref remaining;
    Ref sec_code;
    Ref sec_reads;
    Ref sec_edges;

    // Counts the steps that may have run code outside this function (callees, methods of
    // user-defined types, and garbage collections, which any allocation may start). The node
    // cursor re-validates what it remembers whenever this moved.
    uint64_t foreign = 0;
    // Whether any dict may have been created or changed by such code since the node cursor
    // last checked.
    bool dicts_touched = false;
    // The interpreter's collection count when last looked at.
    uint64_t collections;

    NodeCursor cursor;
};

// Records that code outside this function may have run, and may have changed any dict.
inline void mark_foreign(PackState& s) {
    ++s.foreign;
    s.dicts_touched = true;
}

// A collection runs finalizers, weakref callbacks and gc.callbacks entries, which may change any
// list or dict. Nothing marks the allocation that started one, so the count is read wherever
// the node cursor is about to rely on what it remembers.
inline void note_collections(PackState& s) {
    uint64_t now = cp_gc_collections();
    if (now == s.collections) return;
    s.collections = now;
    mark_foreign(s);
}

} // namespace cp::packing
