// Reading the files of a project: the summary store and the source files. For a `pathlib` root
// only a regular file whose real path lies inside the real root is read, no more than a bound,
// and the check is made on the file actually opened, so that a link swapped in meanwhile cannot
// lead the read elsewhere. Other roots are stand-ins this module cannot reason about: their own
// methods read.
#pragma once

#include <cstddef>
#include <optional>

#include "context_packer.hpp"

namespace cp::project_files {

// Bounds of what is read (a link to /dev/zero or a huge file must not exhaust memory).
constexpr size_t kStoreLimit = size_t{1} << 30;   // the summary store: 1 GiB
constexpr size_t kSourceLimit = size_t{32} << 20; // one source file: 32 MiB

// The text of `file_path` as this module reads it for a `pathlib` root, decoded as
// `read_text(encoding="utf-8[-sig]", errors=errors)` gives it (a leading byte-order mark dropped
// when `strip_bom`, line ends translated as text mode does). nullopt when the file is not to be
// read: not a regular file inside the root, or larger than `limit`. An empty Ref when the
// caller reads it with the path's own `read_text`: the root is not a `pathlib` path, or the path
// overrides `read_text` and resolves inside the root. Raises the "open" audit event that
// Python's own open raises.
std::optional<Ref> guarded_text(PyObject* project_root, PyObject* file_path, size_t limit,
                                bool strip_bom, const char* errors);

} // namespace cp::project_files
