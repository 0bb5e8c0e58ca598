// A file's stamp as the walk compares it: what lstat says, without Python objects.
#pragma once

#include <cstdint>
#include <string>

namespace stamps {

struct FileStamp {
    int64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    bool regular = false;
};

// The stamp of the entry at `path` itself (a link is not followed); false when it cannot be
// read (gone, no permission, a name too long) or a time of it lies beyond 64-bit nanoseconds.
bool read_stamp(const std::string& path, FileStamp& stamp);

} // namespace stamps
