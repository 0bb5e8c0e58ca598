// One lazy pass over the Graph's "nodes" that serves every walk of a pack call.
//
// The sections walk "nodes" from the start once per file (up to three times per file). For a
// list of plain nodes (exact dicts with str keys whose "id", "kind" and "path" are exact strs,
// ints or None) reading a node has no effect and always gives the same answer, so the cursor
// reads each node once, in order and only as far as some walk needs, and remembers for every
// chosen identifier and base file where its matches are. A walk then jumps from match to match
// and finds the same nodes in the same order as the walk over the whole list.
//
// Nodes built alike (the records of one JSON document) keep the same key objects at the same
// places of their key tables, so the cursor reads "id", "kind" and "path" straight from the
// entries where the first node has them, and looks them up only when a node differs.
//
// Whatever the cursor cannot vouch for is left to the literal walk: a list that is not exact,
// the first node outside the plain shape (the walk continues literally from there), and any
// walk over another object. Code outside the packer (callees, methods of user types, and
// finalizers or gc callbacks run by a collection that any allocation may start) may change the
// list or its nodes at any time. After such code ran, the cursor checks that the list still
// holds the nodes it has read at the same places and, when any dict may have changed meanwhile,
// that their version tags are the ones it saw (a dict's tag changes with every mutation and no
// two dicts share one); it forgets everything from the first difference on. Code that runs
// unnoticed (a finalizer started by dropping the last reference to an object) cannot make it
// read a node that is gone: every match is checked against the list as it is before it is
// handed out, and a match that no longer holds sends the walk back to the literal one.
#pragma once

#include <cstdint>
#include <vector>

#include "context_packer.hpp"

namespace cp::packing {

class NodeCursor {
  public:
    struct Step {
        // Stale: what the cursor remembered no longer holds (it has forgotten it); the walk
        // goes on literally from where it stands.
        enum Kind { Match, End, Literal, Stale } kind;
        // Match: the node's index. Literal: where the literal walk takes over.
        Py_ssize_t index;
    };

    // Registers the chosen identifiers (a tuple) and their base files. The cursor stays off
    // unless every identifier is an exact str.
    void prepare(PyObject* file_ids);

    // Binds the cursor to the current "nodes" value for one walk; false when the walk must be
    // literal. `foreign` is the pack state's counter of steps that may have run outside code;
    // `dicts_touched` says whether any dict may have changed since the last check (cleared).
    bool attach(PyObject* nodes, uint64_t foreign, bool& dicts_touched);

    // The first node whose "id" equals the identifier or the base file of file `file`.
    Step first_id_match(size_t file);

    // The next symbol node of the base file of file `file`; `seen` counts the matches the walk
    // has taken so far.
    Step next_symbol(size_t file, size_t& seen);

  private:
    struct Target {
        Ref text;
        uint64_t fingerprint;
        Py_ssize_t first_id = -1;        // first node whose "id" equals this text
        std::vector<Py_ssize_t> symbols; // symbol nodes whose "path" equals this text
    };
    struct File {
        size_t fid;
        size_t base;
    };

    size_t add_target(PyObject* text);
    long find_target(PyObject* text) const;
    void reset(PyObject* nodes);
    void forget_from(Py_ssize_t index);
    Py_ssize_t first_moved() const;
    Py_ssize_t first_changed(Py_ssize_t limit) const;
    bool still_holds(Py_ssize_t index) const;
    Step checked_match(Py_ssize_t index);
    void learn_keys(PyObject* nodes);
    bool may_be_target(PyObject* text) const;
    bool scan_to_match();

    // How many nodes ahead the dict objects are fetched when checking their version tags.
    static constexpr Py_ssize_t kAhead = 8;

    bool enabled_ = false;
    std::vector<Target> targets_;
    std::vector<File> files_;
    // Open addressing over targets_ by fingerprint; `target` is the index + 1, 0 when free.
    struct Slot {
        uint64_t fingerprint;
        uint32_t target;
    };
    std::vector<Slot> slots_;
    // Bit n is set when some target's length is n modulo 64: a cheap first test of a text.
    uint64_t target_lengths_ = 0;

    Ref nodes_;
    Py_ssize_t scanned_ = 0; // nodes [0, scanned_) are classified
    bool blocked_ = false;   // the node at scanned_ is outside the plain shape
    // The classified nodes as the list held them (only compared, never dereferenced), and
    // their version tags when they were read (valid below scanned_; the buffer may be longer).
    std::vector<PyObject*> seen_nodes_;
    std::vector<uint64_t> seen_versions_;
    uint64_t validated_foreign_ = 0;

    // The key objects the nodes use ("id", "kind", "path"): equal strs, so the lookups are the
    // same, but identical to the nodes' own keys, which makes each lookup a pointer comparison.
    Ref id_key_;
    Ref kind_key_;
    Ref path_key_;
    // Where the first node holds these keys among its entries (-1: not there).
    Py_ssize_t id_position_ = -1;
    Py_ssize_t kind_position_ = -1;
    Py_ssize_t path_position_ = -1;
};

} // namespace cp::packing
