#include "file_stamp.hpp"

#include <sys/stat.h>

namespace stamps {

namespace {

constexpr int64_t NS_PER_SECOND = 1'000'000'000;

} // namespace

bool nanoseconds(const struct timespec& time, int64_t& out) {
    int64_t scaled = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(time.tv_sec), NS_PER_SECOND, &scaled))
        return false;
    return !__builtin_add_overflow(scaled, static_cast<int64_t>(time.tv_nsec), &out);
}

void append_fs_bytes(std::string& out, PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        out.append(static_cast<const char*>(PyUnicode_DATA(text)),
                   static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    } else {
        cp::Ref bytes = cp::checked(PyUnicode_EncodeFSDefault(text));
        out.append(PyBytes_AS_STRING(bytes.get()),
                   static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    }
}

bool read_stamp(const std::string& path, FileStamp& stamp) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return false;
    stamp.size = status.st_size;
    stamp.regular = S_ISREG(status.st_mode);
    return nanoseconds(status.st_mtim, stamp.mtime_ns) &&
           nanoseconds(status.st_ctim, stamp.ctime_ns);
}

} // namespace stamps
