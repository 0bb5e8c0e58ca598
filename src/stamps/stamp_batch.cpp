#include "stamp_batch.hpp"

#include "entry_codes.hpp"
#include "file_stamp.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <system_error>
#include <thread>

namespace stamps {

namespace {

using cp::checked;
using cp::Ref;

void look_at(const std::string& path, bool follow, int64_t* out) {
    if (path.empty()) return; // a folder whose record does not fit: looked at by the walk
    struct stat status;
    if ((follow ? stat(path.c_str(), &status) : lstat(path.c_str(), &status)) != 0) return;
    if (!nanoseconds(status.st_mtim, out[MTIME]) || !nanoseconds(status.st_ctim, out[CTIME]))
        return;
    out[SIZE] = status.st_size;
    out[DEVICE] = static_cast<int64_t>(status.st_dev);
    out[INODE] = static_cast<int64_t>(status.st_ino);
    out[FLAGS] =
        FOUND | (S_ISREG(status.st_mode) ? REGULAR : 0) | (S_ISDIR(status.st_mode) ? FOLDER : 0);
}

// Runs without the interpreter: no Python object is touched, and nothing thrown leaves it.
void look_at_all(const std::vector<std::string>& paths, bool follow, int64_t* out) noexcept {
    auto range = [&](size_t from, size_t to) noexcept {
        for (size_t i = from; i < to; ++i)
            look_at(paths[i], follow, out + i * BATCH_FIELDS);
    };
    const size_t half = paths.size() / 2;
    try {
        std::thread other(range, half, paths.size());
        range(0, half);
        other.join();
    } catch (const std::system_error&) { // no thread to be had: all of them on this one
        range(half, paths.size());
        range(0, half);
    }
}

// The bytes of a str as the file system sees them; false for one with a null byte, which
// names no file.
bool fs_bytes(PyObject* text, std::string& out) {
    out.clear();
    append_fs_bytes(out, text);
    return out.find('\0') == std::string::npos;
}

// The source files' paths of one folder's record (names '/'-joined, a code each), appended to
// `files`; false, with nothing appended, for a record that does not fit.
bool folder_entries(const std::string& prefix, PyObject* names, PyObject* codes,
                    std::vector<std::string>& files) {
    std::string joined;
    if (!PyUnicode_Check(names) || !PyUnicode_Check(codes) || !fs_bytes(names, joined))
        return false;
    std::vector<std::string_view> parts;
    if (!joined.empty()) {
        const std::string_view text(joined);
        for (size_t start = 0;;) {
            const size_t end = text.find('/', start);
            parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
    }
    if (static_cast<Py_ssize_t>(parts.size()) != PyUnicode_GET_LENGTH(codes)) return false;
    const int kind = PyUnicode_KIND(codes);
    const void* data = PyUnicode_DATA(codes);
    for (size_t i = 0; i < parts.size(); ++i)
        if (PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i)) >= SOURCE)
            files.push_back(prefix + std::string(parts[i]));
    return true;
}

} // namespace

Ref stat_folders(PyObject* root, PyObject* folders) {
    if (!PyUnicode_Check(root) || !PyList_Check(folders))
        cp::raise_error(PyExc_TypeError, "stat_folders(str, list)");
    std::string base;
    if (!fs_bytes(root, base)) cp::raise_error(PyExc_ValueError, "embedded null byte");
    std::vector<std::string> paths;
    std::vector<std::string> files;
    std::vector<int64_t> firsts;
    std::string rel;
    // Checked against the list's size as it is now: encoding may run code that changes it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(folders); ++i) {
        PyObject* item = PyList_GET_ITEM(folders, i);
        std::string path = base;
        bool fits = PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 3 &&
                    PyUnicode_Check(PyTuple_GET_ITEM(item, 0)) &&
                    fs_bytes(PyTuple_GET_ITEM(item, 0), rel);
        if (fits && !rel.empty()) path += (path.ends_with('/') ? "" : "/") + rel;
        const size_t first = files.size();
        fits = fits && folder_entries(path.ends_with('/') ? path : path + "/",
                                      PyTuple_GET_ITEM(item, 1), PyTuple_GET_ITEM(item, 2), files);
        firsts.push_back(fits ? static_cast<int64_t>(first) : -1);
        paths.push_back(fits ? std::move(path) : std::string());
    }
    const size_t entry = BATCH_FIELDS * sizeof(int64_t);
    Ref folder_out =
        checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(paths.size() * entry)));
    Ref file_out =
        checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(files.size() * entry)));
    Ref first_out = checked(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(firsts.data()),
                                  static_cast<Py_ssize_t>(firsts.size() * sizeof(int64_t))));
    auto* folder_fields = reinterpret_cast<int64_t*>(PyBytes_AS_STRING(folder_out.get()));
    auto* file_fields = reinterpret_cast<int64_t*>(PyBytes_AS_STRING(file_out.get()));
    std::fill(folder_fields, folder_fields + paths.size() * BATCH_FIELDS, 0);
    std::fill(file_fields, file_fields + files.size() * BATCH_FIELDS, 0);
    Py_BEGIN_ALLOW_THREADS look_at_all(paths, true, folder_fields);
    look_at_all(files, false, file_fields);
    Py_END_ALLOW_THREADS return checked(
        PyTuple_Pack(3, folder_out.get(), file_out.get(), first_out.get()));
}

} // namespace stamps
