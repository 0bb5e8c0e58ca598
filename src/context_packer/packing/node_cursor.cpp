// The single lazy pass over "nodes" behind the fast walks.
#include "packing/node_cursor.hpp"

#include <cstring>

#include "compat/dict_layout.hpp"
#include "text.hpp"

namespace cp::packing {

namespace {

constexpr uint64_t kMix = 0x9E3779B97F4A7C15ULL;

uint64_t mix(uint64_t hash, uint64_t value) {
    return (hash ^ value) * kMix + (hash >> 29);
}

// Cheap identity of a str's value: length, width and its first and last eight bytes.
inline uint64_t fingerprint(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int width = 1;
    const char* data;
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        data = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(text) + 1);
    } else {
        width = PyUnicode_KIND(text);
        data = static_cast<const char*>(PyUnicode_DATA(text));
    }
    size_t bytes = static_cast<size_t>(length) * width;
    uint64_t first = 0, last = 0;
    if (bytes >= 8) {
        std::memcpy(&first, data, 8);
        std::memcpy(&last, data + bytes - 8, 8);
    } else {
        for (size_t i = 0; i < bytes; ++i)
            first = first << 8 | static_cast<unsigned char>(data[i]);
    }
    uint64_t hash = mix(static_cast<uint64_t>(length) * 4 + width, first);
    return mix(hash, last);
}

// The multiplications leave the low bits of a fingerprint poorly mixed; the slot comes from the
// high ones.
inline size_t first_slot(uint64_t fingerprint) {
    return static_cast<size_t>(fingerprint >> 40);
}

bool is_symbol(PyObject* kind) {
    return PyUnicode_IS_COMPACT_ASCII(kind) && PyUnicode_GET_LENGTH(kind) == 6 &&
           std::memcmp(PyUnicode_DATA(kind), "symbol", 6) == 0;
}

// Exact strs are ready in practice; one that is not is made ready here (it runs no code). A
// value that is not a str counts as ready; a failure leaves nothing pending and counts as not.
bool ready(PyObject* value) {
    if (value == nullptr || !PyUnicode_CheckExact(value) || PyUnicode_READY(value) == 0)
        return true;
    PyErr_Clear();
    return false;
}

// Whether the cursor can classify a node's value: an exact (ready) str, which sets `text`, or a
// missing key, None or an exact int, which equal no identifier. Comparing anything else with a str
// might run code.
inline bool plain_value(PyObject* value, bool& text) {
    text = false;
    if (value == nullptr) return true;
    if (PyUnicode_CheckExact(value)) {
        text = true;
        return PyUnicode_IS_READY(value) || ready(value);
    }
    return value == Py_None || PyLong_CheckExact(value);
}

} // namespace

void NodeCursor::prepare(PyObject* file_ids) {
    enabled_ = false;
    Py_ssize_t count = PyTuple_GET_SIZE(file_ids);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* fid = PyTuple_GET_ITEM(file_ids, i);
        if (!PyUnicode_CheckExact(fid) || !ready(fid)) return;
    }
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(count) * 4)
        capacity *= 2;
    slots_.assign(capacity, Slot{0, 0});
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* fid = PyTuple_GET_ITEM(file_ids, i);
        Py_ssize_t length = PyUnicode_GET_LENGTH(fid);
        Py_ssize_t at = PyUnicode_Find(fid, K.double_colon, 0, length, 1);
        if (at == -2) raise();
        Ref base = at == -1 ? Ref::borrow(fid) : checked(PyUnicode_Substring(fid, 0, at));
        if (!ready(base.get())) return;
        target_lengths_ |= uint64_t{1} << (length & 63);
        target_lengths_ |= uint64_t{1} << (PyUnicode_GET_LENGTH(base.get()) & 63);
        size_t fid_target = add_target(fid);
        size_t base_target = add_target(base.get());
        files_.push_back(File{fid_target, base_target});
    }
    enabled_ = true;
}

size_t NodeCursor::add_target(PyObject* text) {
    long found = find_target(text);
    if (found >= 0) return static_cast<size_t>(found);
    Target target;
    target.text = Ref::borrow(text);
    target.fingerprint = fingerprint(text);
    size_t mask = slots_.size() - 1;
    size_t slot = first_slot(target.fingerprint) & mask;
    while (slots_[slot].target != 0)
        slot = (slot + 1) & mask;
    slots_[slot] = Slot{target.fingerprint, static_cast<uint32_t>(targets_.size() + 1)};
    targets_.push_back(std::move(target));
    return targets_.size() - 1;
}

inline long NodeCursor::find_target(PyObject* text) const {
    uint64_t print = fingerprint(text);
    size_t mask = slots_.size() - 1;
    for (size_t slot = first_slot(print) & mask; slots_[slot].target != 0;
         slot = (slot + 1) & mask) {
        if (slots_[slot].fingerprint != print) continue;
        long index = static_cast<long>(slots_[slot].target) - 1;
        if (same_text(targets_[index].text.get(), text)) return index;
    }
    return -1;
}

bool NodeCursor::attach(PyObject* nodes, uint64_t foreign, bool& dicts_touched) {
    if (!enabled_ || !PyList_CheckExact(nodes)) return false;
    if (nodes != nodes_.get()) {
        reset(nodes);
    } else if (foreign != validated_foreign_) {
        Py_ssize_t kept = first_moved();
        if (dicts_touched) kept = first_changed(kept);
        forget_from(kept);
    }
    validated_foreign_ = foreign;
    dicts_touched = false;
    return true;
}

void NodeCursor::reset(PyObject* nodes) {
    if (nodes != nodes_.get()) {
        nodes_ = Ref::borrow(nodes);
        learn_keys(nodes);
        seen_nodes_.reserve(static_cast<size_t>(PyList_GET_SIZE(nodes)));
    }
    forget_from(0);
}

// Drops what was learnt from the node at `index` on; the node that stopped the pass may have
// changed too, so it is looked at again.
void NodeCursor::forget_from(Py_ssize_t index) {
    blocked_ = false;
    if (index >= scanned_) return;
    scanned_ = index;
    seen_nodes_.resize(static_cast<size_t>(index));
    for (Target& target : targets_) {
        if (target.first_id >= index) target.first_id = -1;
        while (!target.symbols.empty() && target.symbols.back() >= index)
            target.symbols.pop_back();
    }
}

// The first place where the list no longer holds the node read there (scanned_ if none).
Py_ssize_t NodeCursor::first_moved() const {
    PyObject* list = nodes_.get();
    Py_ssize_t limit = scanned_ < PyList_GET_SIZE(list) ? scanned_ : PyList_GET_SIZE(list);
    if (limit <= 0) return 0; // an empty list or buffer may have no storage to compare
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    if (std::memcmp(items, seen_nodes_.data(), static_cast<size_t>(limit) * sizeof(PyObject*)) == 0)
        return limit;
    Py_ssize_t index = 0;
    while (items[index] == seen_nodes_[index])
        ++index;
    return index;
}

// The first of the nodes [0, limit) whose dict changed since it was read (limit if none). The
// list still holds them (first_moved), so they are alive; one that was freed and replaced by
// another object at the same address is no dict or has a new tag.
Py_ssize_t NodeCursor::first_changed(Py_ssize_t limit) const {
    const std::vector<PyObject*>& nodes = seen_nodes_;
    for (Py_ssize_t i = 0; i < limit; ++i) {
        if (i + kAhead < limit) __builtin_prefetch(nodes[i + kAhead]);
        if (!PyDict_CheckExact(nodes[i]) || version_of(nodes[i]) != seen_versions_[i]) return i;
    }
    return limit;
}

// Whether the list still holds, at `index` (below scanned_), the node read there, unchanged.
bool NodeCursor::still_holds(Py_ssize_t index) const {
    PyObject* list = nodes_.get();
    if (index >= PyList_GET_SIZE(list)) return false;
    PyObject* node = PyList_GET_ITEM(list, index);
    return node == seen_nodes_[static_cast<size_t>(index)] && PyDict_CheckExact(node) &&
           version_of(node) == seen_versions_[static_cast<size_t>(index)];
}

// A remembered match, handed out only while it holds. Otherwise the cursor forgets what no
// longer holds (the nodes it checks are still in the list, so alive).
NodeCursor::Step NodeCursor::checked_match(Py_ssize_t index) {
    if (still_holds(index)) return Step{Step::Match, index};
    forget_from(first_changed(first_moved()));
    return Step{Step::Stale, 0};
}

void NodeCursor::learn_keys(PyObject* nodes) {
    id_key_ = Ref::borrow(K.id);
    kind_key_ = Ref::borrow(K.pk_kind);
    path_key_ = Ref::borrow(K.path);
    id_position_ = kind_position_ = path_position_ = -1;
    if (PyList_GET_SIZE(nodes) == 0) return;
    PyObject* node = PyList_GET_ITEM(nodes, 0);
    if (!PyDict_CheckExact(node) || !has_plain_keys(node)) return;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(node, &position, &key, &value)) {
        if (!ready(key)) return;
        if (same_text(key, K.id)) id_key_ = Ref::borrow(key);
        if (same_text(key, K.pk_kind)) kind_key_ = Ref::borrow(key);
        if (same_text(key, K.path)) path_key_ = Ref::borrow(key);
    }
    id_position_ = position_of(node, id_key_.get());
    kind_position_ = position_of(node, kind_key_.get());
    path_position_ = position_of(node, path_key_.get());
}

bool NodeCursor::may_be_target(PyObject* text) const {
    return (target_lengths_ >> (PyUnicode_GET_LENGTH(text) & 63) & 1) != 0;
}

// Classifies the nodes from scanned_ on, up to and including the first one that is a new match
// for some target (true), or up to the end of the list or a node outside the plain shape
// (false).
bool NodeCursor::scan_to_match() {
    if (blocked_) return false;
    PyObject* list = nodes_.get();
    const Py_ssize_t size = PyList_GET_SIZE(list);
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    if (seen_versions_.size() < static_cast<size_t>(size))
        seen_versions_.resize(static_cast<size_t>(size));
    uint64_t* versions = seen_versions_.data();
    const Py_ssize_t id_position = id_position_, kind_position = kind_position_,
                     path_position = path_position_;
    PyObject* const id_key = id_key_.get();
    PyObject* const kind_key = kind_key_.get();
    PyObject* const path_key = path_key_.get();
    const Py_ssize_t start = scanned_;
    Py_ssize_t index = start;
    bool matched = false;
    for (; index < size && !matched; ++index) {
        PyObject* node = items[index];
        if (!PyDict_CheckExact(node) || !has_plain_keys(node)) break;
        // The keys are usually where the first node has them: then the values are read straight
        // from the entries, otherwise looked up (which, with str keys only, runs no code).
        const DictEntries entries = entries_of(node);
        const size_t count = static_cast<size_t>(entries.count);
        auto field = [&](Py_ssize_t position, PyObject* key) {
            if (static_cast<size_t>(position) < count && entries.key(position) == key)
                return entries.value(position);
            return PyDict_GetItemWithError(node, key);
        };
        bool id_text, kind_text, path_text = false;
        PyObject* id = field(id_position, id_key);
        if (!plain_value(id, id_text)) break;
        PyObject* kind = field(kind_position, kind_key);
        if (!plain_value(kind, kind_text)) break;
        // "path" is read only for a symbol node.
        PyObject* path = nullptr;
        if (kind_text && is_symbol(kind)) {
            path = field(path_position, path_key);
            if (!plain_value(path, path_text)) break;
        }
        versions[index] = version_of(node);
        if (id_text && may_be_target(id)) {
            long target = find_target(id);
            if (target >= 0 && targets_[target].first_id < 0) {
                targets_[target].first_id = index;
                matched = true;
            }
        }
        if (path_text && may_be_target(path)) {
            long target = find_target(path);
            if (target >= 0) {
                targets_[target].symbols.push_back(index);
                matched = true;
            }
        }
    }
    if (index > start) {
        seen_nodes_.resize(static_cast<size_t>(index));
        std::memcpy(seen_nodes_.data() + start, items + start,
                    static_cast<size_t>(index - start) * sizeof(PyObject*));
    }
    scanned_ = index;
    if (matched) return true;
    blocked_ = index < size;
    return false;
}

NodeCursor::Step NodeCursor::first_id_match(size_t file) {
    const Target& fid = targets_[files_[file].fid];
    const Target& base = targets_[files_[file].base];
    for (;;) {
        Py_ssize_t first = fid.first_id;
        if (base.first_id >= 0 && (first < 0 || base.first_id < first)) first = base.first_id;
        if (first >= 0) return checked_match(first);
        if (!scan_to_match()) return blocked_ ? Step{Step::Literal, scanned_} : Step{Step::End, 0};
    }
}

NodeCursor::Step NodeCursor::next_symbol(size_t file, size_t& seen) {
    const std::vector<Py_ssize_t>& matches = targets_[files_[file].base].symbols;
    while (seen >= matches.size()) {
        if (!scan_to_match()) return blocked_ ? Step{Step::Literal, scanned_} : Step{Step::End, 0};
    }
    return checked_match(matches[seen++]);
}

} // namespace cp::packing
