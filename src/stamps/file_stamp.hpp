// A file's stamp as the walk compares it: what lstat says, without Python objects.
#pragma once

#include <cstdint>
#include <string>

#include <time.h>

#include "py_ref.hpp"

namespace stamps {

struct FileStamp {
    int64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    bool regular = false;
};

// A time as 64-bit nanoseconds; false when it lies beyond them.
bool nanoseconds(const struct timespec& time, int64_t& out);

// Appends the bytes of the str `text` as the file system sees them (what os.fsencode gives).
void append_fs_bytes(std::string& out, PyObject* text);

// The stamp of the entry at `path` itself (a link is not followed); false when it cannot be
// read (gone, no permission, a name too long) or a time of it lies beyond 64-bit nanoseconds.
bool read_stamp(const std::string& path, FileStamp& stamp);

} // namespace stamps
