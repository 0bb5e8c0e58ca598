// The working values of one pack call, shared by the sections that build the block.
#pragma once

#include <cstdint>

#include "context_packer.hpp"
#include "packing/node_cursor.hpp"

namespace cp::packing {

struct PackState {
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
    Ref file_ids;    // list of the chosen identifiers, in rank order
    Ref chosen_set;  // the same identifiers as a set
    Ref sec1;
    Ref remaining;
    Ref sec_code;
    Ref sec_reads;
    Ref sec_edges;

    // Counts the steps that may have run code outside this function (callees, methods of
    // user-defined types). The node cursor re-validates what it remembers whenever this moved.
    uint64_t foreign = 0;

    NodeCursor cursor;
};

// Records that code outside this function may have run.
inline void mark_foreign(PackState& s) { ++s.foreign; }

}  // namespace cp::packing
