// The steps of pack, in the order the block is built.
#pragma once

#include "packing/pack_state.hpp"

namespace cp::packing {

// "files" and "edges" of the retrieval result, and the chosen identifiers.
void choose_files(PackState& s);
// The "### Relevant Files" section (never cut): s.sec1.
void relevant_files(PackState& s);
// "### Key Code (pre-loaded)": s.sec_code, within `code_budget` tokens.
void key_code(PackState& s, PyObject* code_budget);
// "### Recommended Reads": s.sec_reads.
void recommended_reads(PackState& s);
// "### Key Relationships": s.sec_edges.
void key_relationships(PackState& s);

} // namespace cp::packing
