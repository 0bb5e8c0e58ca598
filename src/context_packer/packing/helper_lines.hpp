// Statement lines that traceback entries of the packer's helper functions report.
#pragma once

// The statement lines of estimate_tokens.
namespace cp::estimate_line {
enum : int {
    kIfEmpty = 215, // if not text: return 0
    kCeil = 217,    // return ceil(len(text) / 3.2)
};
} // namespace cp::estimate_line

// The statement lines of _file_id.
namespace cp::file_id_line {
enum : int {
    kIfDict = 282,     // if isinstance(entry, dict):
    kIdOfDict = 283,   // return str(entry.get("id", ""))
    kStrOfEntry = 284, // return str(entry)
};
} // namespace cp::file_id_line

// The statement lines of _basename.
namespace cp::basename_line {
enum : int {
    kLastPart = 288, // return path.rsplit("/", 1)[-1]
};
} // namespace cp::basename_line
