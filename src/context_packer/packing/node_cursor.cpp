// The single lazy pass over "nodes" behind the fast walks.
#include "packing/node_cursor.hpp"

#include <cstring>

#include "packing/dict_layout.hpp"

namespace cp::packing {

namespace {

constexpr uint64_t kMix = 0x9E3779B97F4A7C15ULL;

uint64_t mix(uint64_t hash, uint64_t value) {
    return (hash ^ value) * kMix + (hash >> 29);
}

// Cheap identity of a str's value: length, width and its first and last eight bytes.
uint64_t fingerprint(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int width = PyUnicode_KIND(text);
    size_t bytes = static_cast<size_t>(length) * width;
    const char* data = static_cast<const char*>(PyUnicode_DATA(text));
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

bool same_text(PyObject* a, PyObject* b) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

bool is_symbol(PyObject* kind) {
    return PyUnicode_IS_COMPACT_ASCII(kind) && PyUnicode_GET_LENGTH(kind) == 6 &&
           std::memcmp(PyUnicode_DATA(kind), "symbol", 6) == 0;
}

// A value whose comparison with a str runs no Python code; nullptr is a missing key.
bool is_plain_value(PyObject* value) {
    return value == nullptr || value == Py_None || PyUnicode_CheckExact(value) ||
           PyLong_CheckExact(value);
}

// Exact strs are ready in practice; one that is not is made ready here (it runs no code). A
// value that is not a str counts as ready; a failure leaves nothing pending and counts as not.
bool ready(PyObject* value) {
    if (value == nullptr || !PyUnicode_CheckExact(value) || PyUnicode_READY(value) == 0)
        return true;
    PyErr_Clear();
    return false;
}

} // namespace

void NodeCursor::prepare(PyObject* file_ids) {
    enabled_ = false;
    Py_ssize_t count = PyList_GET_SIZE(file_ids);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* fid = PyList_GET_ITEM(file_ids, i);
        if (!PyUnicode_CheckExact(fid) || !ready(fid)) return;
    }
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(count) * 4)
        capacity *= 2;
    slots_.assign(capacity, Slot{0, 0});
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* fid = PyList_GET_ITEM(file_ids, i);
        Py_ssize_t length = PyUnicode_GET_LENGTH(fid);
        Py_ssize_t at = PyUnicode_Find(fid, K.pk_separator, 0, length, 1);
        if (at == -2) raise();
        Ref base = at == -1 ? Ref::borrow(fid) : checked(PyUnicode_Substring(fid, 0, at));
        if (!ready(base.get())) return;
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
    size_t slot = target.fingerprint & mask;
    while (slots_[slot].target != 0)
        slot = (slot + 1) & mask;
    slots_[slot] = Slot{target.fingerprint, static_cast<uint32_t>(targets_.size() + 1)};
    targets_.push_back(std::move(target));
    return targets_.size() - 1;
}

long NodeCursor::find_target(PyObject* text) const {
    uint64_t print = fingerprint(text);
    size_t mask = slots_.size() - 1;
    for (size_t slot = print & mask; slots_[slot].target != 0; slot = (slot + 1) & mask) {
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
    seen_versions_.resize(static_cast<size_t>(index));
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
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    // An empty list has no item array at all.
    if (limit == 0 ||
        std::memcmp(items, seen_nodes_.data(), static_cast<size_t>(limit) * sizeof(PyObject*)) == 0)
        return limit;
    Py_ssize_t index = 0;
    while (items[index] == seen_nodes_[index])
        ++index;
    return index;
}

// The first of the nodes [0, limit) whose dict changed since it was read (limit if none).
Py_ssize_t NodeCursor::first_changed(Py_ssize_t limit) const {
    const std::vector<PyObject*>& nodes = seen_nodes_;
    for (Py_ssize_t i = 0; i < limit; ++i) {
        if (i + kAhead < limit) __builtin_prefetch(nodes[i + kAhead]);
        if (version_of(nodes[i]) != seen_versions_[i]) return i;
    }
    return limit;
}

void NodeCursor::learn_keys(PyObject* nodes) {
    id_key_ = Ref::borrow(K.pk_id);
    kind_key_ = Ref::borrow(K.pk_kind);
    path_key_ = Ref::borrow(K.pk_path);
    if (PyList_GET_SIZE(nodes) == 0) return;
    PyObject* node = PyList_GET_ITEM(nodes, 0);
    if (!PyDict_CheckExact(node) || !has_plain_keys(node)) return;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(node, &position, &key, &value)) {
        if (!ready(key)) return;
        if (same_text(key, K.pk_id)) id_key_ = Ref::borrow(key);
        if (same_text(key, K.pk_kind)) kind_key_ = Ref::borrow(key);
        if (same_text(key, K.pk_path)) path_key_ = Ref::borrow(key);
    }
}

// Classifies the node at scanned_; false at the end of the list or at a node outside the
// plain shape. Fetching the nodes a little ahead lets their memory reads overlap.
bool NodeCursor::scan_more() {
    PyObject* list = nodes_.get();
    Py_ssize_t size = PyList_GET_SIZE(list);
    if (blocked_ || scanned_ >= size) return false;
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    if (scanned_ + kAhead < size) __builtin_prefetch(items[scanned_ + kAhead]);
    PyObject* node = items[scanned_];
    if (!PyDict_CheckExact(node) || !has_plain_keys(node)) {
        blocked_ = true;
        return false;
    }
    PyObject* id = PyDict_GetItemWithError(node, id_key_.get());
    PyObject* kind = PyDict_GetItemWithError(node, kind_key_.get());
    if (!is_plain_value(id) || !is_plain_value(kind) || !ready(id) || !ready(kind)) {
        blocked_ = true;
        return false;
    }
    // "path" is read only for a symbol node.
    PyObject* path = nullptr;
    if (kind != nullptr && PyUnicode_CheckExact(kind) && is_symbol(kind)) {
        path = PyDict_GetItemWithError(node, path_key_.get());
        if (!is_plain_value(path) || !ready(path)) {
            blocked_ = true;
            return false;
        }
    }
    if (id != nullptr && PyUnicode_CheckExact(id)) {
        long target = find_target(id);
        if (target >= 0 && targets_[target].first_id < 0) targets_[target].first_id = scanned_;
    }
    if (path != nullptr && PyUnicode_CheckExact(path)) {
        long target = find_target(path);
        if (target >= 0) targets_[target].symbols.push_back(scanned_);
    }
    seen_nodes_.push_back(node);
    seen_versions_.push_back(version_of(node));
    ++scanned_;
    return true;
}

NodeCursor::Step NodeCursor::first_id_match(size_t file) {
    const Target& fid = targets_[files_[file].fid];
    const Target& base = targets_[files_[file].base];
    for (;;) {
        Py_ssize_t first = fid.first_id;
        if (base.first_id >= 0 && (first < 0 || base.first_id < first)) first = base.first_id;
        if (first >= 0) return Step{Step::Match, first};
        if (!scan_more()) return blocked_ ? Step{Step::Literal, scanned_} : Step{Step::End, 0};
    }
}

NodeCursor::Step NodeCursor::next_symbol(size_t file, size_t& seen) {
    const std::vector<Py_ssize_t>& matches = targets_[files_[file].base].symbols;
    while (seen >= matches.size()) {
        if (!scan_more()) return blocked_ ? Step{Step::Literal, scanned_} : Step{Step::End, 0};
    }
    return Step{Step::Match, matches[seen++]};
}

} // namespace cp::packing
