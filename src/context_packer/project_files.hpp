// Reading the files of a project: the summary store and the source files. For a `pathlib` root
// only a regular file whose real path lies inside the real root is read, no more than a bound,
// and the check is made on the file actually opened, so that a link swapped in meanwhile cannot
// lead the read elsewhere. Other roots are stand-ins this module cannot reason about: their own
// methods read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "context_packer.hpp"

namespace cp::project_files {

// Bounds of what is read (a link to /dev/zero or a huge file must not exhaust memory).
constexpr size_t kStoreLimit = size_t{1} << 30;   // the summary store: 1 GiB
constexpr size_t kSourceLimit = size_t{32} << 20; // one source file: 32 MiB

// Whether `project_root` is a `pathlib` path, for which this module checks what it reads.
bool is_pathlib_root(PyObject* project_root);

// Whether `file_path` reads its text with pathlib's own `read_text` (not an override).
bool reads_like_pathlib(PyObject* file_path);

// For a `pathlib` root: whether the file's resolved path lies inside the resolved root (a path
// that cannot be resolved does not).
bool path_inside_root(PyObject* project_root, PyObject* file_path);

// The bytes of the regular file `file_path`, inside `project_root`, at most `limit` of them, as
// the file opened holds them; nullopt when the file is anything else, leads outside the root, is
// larger, or reading it fails as an OSError would. Raises the "open" audit event that Python's
// own open raises.
std::optional<std::string> read_inside_root(PyObject* project_root, PyObject* file_path,
                                            size_t limit);

// The text as `read_text(encoding=..., errors=...)` gives it: UTF-8 (a leading byte-order mark
// dropped when `strip_bom`), `errors` the decoding error handler, line ends translated as text
// mode does ("\r\n" and "\r" become "\n").
Ref decode_text(const std::string& bytes, bool strip_bom, const char* errors);

} // namespace cp::project_files
