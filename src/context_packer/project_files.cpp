// Reading project files for a pathlib root: only regular files inside the root, bounded, and
// checked as opened.
#include "project_files.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace cp::project_files {

namespace {

Ref pathlib_module() {
    Ref pathlib = Ref::steal(PyImport_GetModule(K.pathlib));
    if (pathlib.get() != nullptr) return pathlib;
    if (PyErr_Occurred()) raise();
    return checked(PyImport_Import(K.pathlib));
}

struct FreeDeleter {
    void operator()(char* text) const { free(text); }
};
using ResolvedPath = std::unique_ptr<char, FreeDeleter>;

// The path as the system calls take it (os.fspath, then the file system encoding), or an empty
// Ref when they cannot take it.
Ref system_path(PyObject* path) {
    Ref fs_path = checked(PyOS_FSPath(path));
    Ref encoded;
    if (PyUnicode_Check(fs_path.get()))
        encoded = checked(PyUnicode_EncodeFSDefault(fs_path.get()));
    else
        encoded = std::move(fs_path);
    if (!PyBytes_Check(encoded.get())) return Ref();
    // An embedded NUL would silently shorten the path handed to the system.
    const char* bytes = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(bytes) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) return Ref();
    return encoded;
}

bool inside(std::string_view root, std::string_view file) {
    if (root == "/") return true;
    return file.starts_with(root) && (file.size() == root.size() || file[root.size()] == '/');
}

// The canonical absolute forms (links, "." and ".." resolved) of both paths, when `file` lies
// inside `root`.
bool resolves_inside(const char* root, const char* file, ResolvedPath& real_file) {
    ResolvedPath real_root(realpath(root, nullptr));
    real_file.reset(realpath(file, nullptr));
    return real_root != nullptr && real_file != nullptr && inside(real_root.get(), real_file.get());
}

// Runs `work`, which only makes system calls, with the interpreter's lock released. errno is
// what `work` left.
template <class Work> auto released(Work&& work) {
    PyThreadState* saved = PyEval_SaveThread();
    auto result = work();
    int error = errno;
    PyEval_RestoreThread(saved);
    errno = error;
    return result;
}

struct Identity {
    dev_t device;
    ino_t inode;
    bool operator==(const Identity&) const = default;
};

// The file `file` names, if it is a regular file inside `root` no larger than `limit`.
std::optional<Identity> checked_before_open(const char* root, const char* file, size_t limit) {
    ResolvedPath real_file;
    if (!resolves_inside(root, file, real_file)) return std::nullopt;
    struct stat info;
    if (stat(real_file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<unsigned long long>(info.st_size) > limit)
        return std::nullopt;
    return Identity{info.st_dev, info.st_ino};
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// A system call interrupted by a signal is tried again once the signal's Python handler ran, as
// Python's own file operations do; an exception from the handler propagates.
void after_interrupt() {
    if (PyErr_CheckSignals() < 0) raise();
}

// Whether `project_root` is a `pathlib` path, for which this module checks what it reads.
bool is_pathlib_root(PyObject* pathlib, PyObject* project_root) {
    Ref pure_path = get_attr(pathlib, K.PurePath);
    return check(PyObject_IsInstance(project_root, pure_path.get())) != 0;
}

// Whether `file_path` reads its text with pathlib's own `read_text` (not an override).
bool reads_like_pathlib(PyObject* pathlib, PyObject* file_path) {
    Ref path_type = get_attr(pathlib, K.Path);
    Ref stock = get_attr(path_type.get(), K.read_text);
    // A type without the method is left to fail where the method is called.
    Ref own =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(file_path)), K.read_text));
    if (own.get() == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
    }
    return own.get() == stock.get();
}

// Whether the file's resolved path lies inside the resolved root (a path that cannot be
// resolved does not).
bool path_inside_root(PyObject* project_root, PyObject* file_path) {
    Ref root = system_path(project_root);
    Ref file = system_path(file_path);
    if (root.get() == nullptr || file.get() == nullptr) return false;
    ResolvedPath real_file;
    return resolves_inside(PyBytes_AS_STRING(root.get()), PyBytes_AS_STRING(file.get()), real_file);
}

// The bytes of the regular file `file_path`, inside `project_root`, at most `limit` of them, as
// the file opened holds them; nullopt when the file is anything else, leads outside the root, is
// larger, or reading it fails as an OSError would.
std::optional<std::string> read_inside_root(PyObject* project_root, PyObject* file_path,
                                            size_t limit) {
    Ref root_path = system_path(project_root);
    Ref file_path_bytes = system_path(file_path);
    if (root_path.get() == nullptr || file_path_bytes.get() == nullptr) return std::nullopt;
    const char* root = PyBytes_AS_STRING(root_path.get());
    const char* file = PyBytes_AS_STRING(file_path_bytes.get());

    // Checked by name first, so that nothing outside the root (a device, say) is even opened...
    std::optional<Identity> expected =
        released([&] { return checked_before_open(root, file, limit); });
    if (!expected.has_value()) return std::nullopt;

    Ref name = checked(PyOS_FSPath(file_path));
    if (PySys_Audit("open", "Osi", name.get(), "r", O_RDONLY | O_CLOEXEC) < 0) raise();
    // Not blocking on a FIFO swapped in, not taking a terminal.
    int fd;
    for (;;) {
        fd = released([&] { return open(file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
        if (fd >= 0 || errno != EINTR) break;
        after_interrupt();
    }
    if (fd < 0) return std::nullopt;
    Descriptor descriptor(fd);

    // ...then as opened: a link swapped in between would have led elsewhere, to another file.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !(Identity{info.st_dev, info.st_ino} == *expected))
        return std::nullopt;

    std::string data;
    size_t expected_size = static_cast<size_t>(info.st_size);
    data.resize(expected_size < limit ? expected_size + 1 : limit + 1);
    size_t size = 0;
    for (;;) {
        if (size == data.size()) {
            if (size > limit) return std::nullopt; // grew past the bound while being read
            data.resize(std::min(limit + 1, size * 2 + 4096));
        }
        ssize_t count = released([&] { return read(fd, data.data() + size, data.size() - size); });
        if (count < 0) {
            if (errno != EINTR) return std::nullopt;
            after_interrupt();
            continue;
        }
        if (count == 0) break;
        size += static_cast<size_t>(count);
    }
    if (size > limit) return std::nullopt;
    data.resize(size);
    return data;
}

// The text as `read_text(encoding=..., errors=...)` gives it: UTF-8 (a leading byte-order mark
// dropped when `strip_bom`), `errors` the decoding error handler, line ends translated as text
// mode does ("\r\n" and "\r" become "\n").
Ref decode_text(const std::string& bytes, bool strip_bom, const char* errors) {
    const char* data = bytes.data();
    Py_ssize_t size = static_cast<Py_ssize_t>(bytes.size());
    if (strip_bom && size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        data += 3;
        size -= 3;
    }
    Ref text = checked(PyUnicode_DecodeUTF8(data, size, errors));
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t at = PyUnicode_FindChar(text.get(), '\r', 0, length, 1);
    if (at == -2) raise();
    if (at == -1) return text;
    text = checked(PyUnicode_Replace(text.get(), K.crlf, K.newline, -1));
    return checked(PyUnicode_Replace(text.get(), K.carriage_return, K.newline, -1));
}

} // namespace

std::optional<Ref> guarded_text(PyObject* project_root, PyObject* file_path, size_t limit,
                                bool strip_bom, const char* errors) {
    Ref pathlib = pathlib_module();
    if (!is_pathlib_root(pathlib.get(), project_root)) return Ref();
    if (!reads_like_pathlib(pathlib.get(), file_path)) {
        if (!path_inside_root(project_root, file_path)) return std::nullopt;
        return Ref();
    }
    std::optional<std::string> bytes = read_inside_root(project_root, file_path, limit);
    if (!bytes.has_value()) return std::nullopt;
    return decode_text(*bytes, strip_bom, errors);
}

} // namespace cp::project_files
