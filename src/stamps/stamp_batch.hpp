// Many entries looked at in one call, on two threads: what a walk would otherwise ask the system
// for one entry at a time, between lines of Python.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "py_ref.hpp"

namespace stamps {

// One entry's stamp as a batch packs it: six native 64-bit ints.
enum BatchField : size_t { FLAGS, SIZE, MTIME, CTIME, DEVICE, INODE, BATCH_FIELDS };

// The FLAGS bits: looked at (its times within 64-bit nanoseconds), a regular file, a folder.
constexpr int64_t FOUND = 1;
constexpr int64_t REGULAR = 2;
constexpr int64_t FOLDER = 4;

// stat_folders(root, folders): see the module's docstring.
cp::Ref stat_folders(PyObject* root, PyObject* folders);

} // namespace stamps
