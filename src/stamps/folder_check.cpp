#include "folder_check.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "entry_codes.hpp"
#include "file_stamp.hpp"
#include "py_call.hpp"
#include "stamp_batch.hpp"

namespace stamps {

namespace {

using cp::checked;
using cp::Ref;

// A bound given as a Python int, which may lie beyond 64 bits (the walk's "never").
struct Bound {
    int64_t value = 0;
    int beyond = 0; // 1: above every int64, -1: below
    bool at_most(int64_t number) const { return beyond < 0 || (beyond == 0 && value <= number); }
    bool below(int64_t number) const { return beyond < 0 || (beyond == 0 && value < number); }
};

Bound bound_from(PyObject* value, const char* what) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int", what);
        cp::raise();
    }
    Bound bound;
    long long number = PyLong_AsLongLongAndOverflow(value, &bound.beyond);
    if (number == -1 && PyErr_Occurred()) cp::raise();
    bound.value = number;
    return bound;
}

// A kept stamp: false unless an int within 64 bits.
bool kept_number(PyObject* value, int64_t& number) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long long read = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (read == -1 && PyErr_Occurred()) cp::raise();
    number = read;
    return overflow == 0;
}

// The name's bytes as the file system sees them (what os.fsencode gives).
void append_name(std::string& path, PyObject* name) {
    if (!PyUnicode_Check(name)) cp::raise_error(PyExc_ValueError, "malformed record");
    const size_t start = path.size();
    append_fs_bytes(path, name);
    if (path.find('\0', start) != std::string::npos)
        cp::raise_error(PyExc_ValueError, "embedded null byte");
}

void append(PyObject* list, Ref item) {
    cp::check(PyList_Append(list, item.get()));
}

Ref int_of(int64_t value) {
    return checked(PyLong_FromLongLong(value));
}

// A list's item, checked against its size as it is now: a collection started by an allocation
// below may run code that changes the caller's lists.
PyObject* item_of(PyObject* list, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(list)) cp::raise_error(PyExc_ValueError, "malformed record");
    return PyList_GET_ITEM(list, index);
}

// The stamps found, beginning as a copy of those kept.
Ref copy_of(PyObject* list) {
    return checked(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
}

void set_number(PyObject* list, Py_ssize_t at, int64_t value) {
    cp::check(PyList_SetItem(list, at, int_of(value).release()));
}

// The stamps of a folder's source files looked at beforehand (`stat_folders`), from entry `at` on.
class Batch {
  public:
    Batch(PyObject* batch, PyObject* at, Py_ssize_t sources) {
        if (batch == nullptr) return;
        if (!PyBytes_Check(batch)) cp::raise_error(PyExc_TypeError, "batch must be bytes");
        const size_t first = cp::count_from(at, "at");
        const size_t entries = static_cast<size_t>(PyBytes_GET_SIZE(batch)) / ENTRY_BYTES;
        if (first > entries || entries - first < static_cast<size_t>(sources))
            cp::raise_error(PyExc_ValueError, "batch too short");
        data_ = PyBytes_AS_STRING(batch) + first * ENTRY_BYTES;
    }
    bool given() const { return data_ != nullptr; }
    // The k-th source file's stamp; false as `read_stamp` gives it.
    bool stamp(size_t k, FileStamp& stamp) const {
        int64_t fields[BATCH_FIELDS];
        std::memcpy(fields, data_ + k * ENTRY_BYTES, ENTRY_BYTES);
        if (!(fields[FLAGS] & FOUND)) return false;
        stamp.size = fields[SIZE];
        stamp.mtime_ns = fields[MTIME];
        stamp.ctime_ns = fields[CTIME];
        stamp.regular = (fields[FLAGS] & REGULAR) != 0;
        return true;
    }

  private:
    static constexpr size_t ENTRY_BYTES = BATCH_FIELDS * sizeof(int64_t);
    const char* data_ = nullptr;
};

} // namespace

Ref check_folder(PyObject* prefix, PyObject* names, PyObject* codes, PyObject* kept,
                 PyObject* changed_after, PyObject* limit, PyObject* batch_given,
                 PyObject* batch_at) {
    if (!PyUnicode_Check(prefix) || !PyList_Check(names) || !PyUnicode_Check(codes) ||
        !PyList_Check(kept))
        cp::raise_error(PyExc_TypeError, "check_folder(str, list, str, list, int, int)");
    const Bound changed = bound_from(changed_after, "changed_after");
    const Bound largest = bound_from(limit, "limit");
    const Py_ssize_t count = PyList_GET_SIZE(names);
    if (PyUnicode_GET_LENGTH(codes) != count) cp::raise_error(PyExc_ValueError, "malformed record");
    const int kind = PyUnicode_KIND(codes);
    const void* code_data = PyUnicode_DATA(codes);
    Py_ssize_t sources = 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyUnicode_READ(kind, code_data, i) >= SOURCE) ++sources;
    if (PyList_GET_SIZE(kept) != 2 * sources) cp::raise_error(PyExc_ValueError, "malformed record");
    const Batch batch(batch_given, batch_at, sources);

    Ref encoded_prefix = checked(PyUnicode_EncodeFSDefault(prefix));
    std::string path(PyBytes_AS_STRING(encoded_prefix.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(encoded_prefix.get())));
    if (path.find('\0') != std::string::npos)
        cp::raise_error(PyExc_ValueError, "embedded null byte");
    const size_t prefix_size = path.size();

    std::vector<int64_t> ctimes;
    ctimes.reserve(static_cast<size_t>(sources));
    Ref now; // the stamps found, once one differs from those kept
    Ref unvouched = checked(PyList_New(0));
    Ref notable = checked(PyList_New(0));
    Py_ssize_t taken = 0;
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < count; ++i, path.resize(prefix_size)) {
        const Py_UCS4 code = PyUnicode_READ(kind, code_data, i);
        if (code < SOURCE) continue;
        append_name(path, item_of(names, i));
        FileStamp found;
        int64_t size = 0;
        int64_t mtime = 0;
        // A kept stamp no file can have, like a file that is no longer one, is the listing's
        // to decide.
        const bool looked = batch.given() ? batch.stamp(static_cast<size_t>(at / 2), found)
                                          : read_stamp(path, found);
        if (!looked || !found.regular || !kept_number(item_of(kept, at), size) ||
            !kept_number(item_of(kept, at + 1), mtime))
            return Ref::borrow(Py_None);
        ctimes.push_back(found.ctime_ns);
        if (found.size != size || found.mtime_ns != mtime) {
            if (now.get() == nullptr) now = copy_of(kept);
            set_number(now.get(), at, found.size);
            set_number(now.get(), at + 1, found.mtime_ns);
            append(unvouched.get(), int_of(i));
        } else if (changed.at_most(found.ctime_ns)) {
            append(unvouched.get(), int_of(i)); // rewritten with its size and time put back
        }
        at += 2;
        if (largest.below(found.size) || code >= DECLARATION) {
            Ref entry = checked(Py_BuildValue("(nLLL)", i, static_cast<long long>(found.size),
                                              static_cast<long long>(found.mtime_ns),
                                              static_cast<long long>(found.ctime_ns)));
            append(notable.get(), std::move(entry));
        } else {
            ++taken;
        }
    }
    Ref times = checked(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ctimes.data()),
                                  static_cast<Py_ssize_t>(ctimes.size() * sizeof(int64_t))));
    PyObject* found_stamps = now.get() != nullptr ? now.get() : kept;
    return checked(
        Py_BuildValue("(OOOOn)", found_stamps, times.get(), unvouched.get(), notable.get(), taken));
}

} // namespace stamps
