// Mappings of large zeroed arrays kept for reuse, for a long-lived process that asks for it.
//
// A large array is mapped as fresh pages, and every page a question touches is a page fault
// (about 5 us each on a loaded machine; a question at 100,000 files touches thousands). A
// server that answers question after question may instead keep the mappings its arrays
// leave, with their pages in place: an array's owner sets back to zero the slots it wrote
// (it knows them: the documents in the order first scored) and hands the mapping back; the
// next array of that size takes it. Off by default (limit 0): a one-question process maps
// and unmaps as before.
#pragma once

#include <cstddef>

namespace scoring::kept_mappings {

// Keep at most `bytes` of mappings from now on (those kept beyond it are unmapped); returns
// the limit before.
size_t set_limit(size_t bytes);

// Whether mappings are kept at all (so whether an owner need clear what it wrote).
bool keeping();

// A kept mapping of exactly `bytes`, all zero, or nullptr.
void* take(size_t bytes);

// Keeps the mapping `items` of `bytes`, all zero again, or unmaps it when it does not fit
// under the limit (the least recently kept go first).
void give(void* items, size_t bytes);

// The bytes kept, and whether every one of them is zero (for tests).
size_t kept_bytes();
bool all_zero();

} // namespace scoring::kept_mappings
