// Statement lines that traceback entries of read_symbol_content report.
#pragma once

#include "def_lines.hpp"

// The statement lines of read_symbol_content and its sort key.
namespace cp::read_symbol_content_line {
enum : int {
    kFilePath = 234,               // file_path = project_root / file_id
    kIfExists = 235,               // if not file_path.exists(): return ""
    kReadLines = 238,              // all_lines = the file's lines
    kIfNoFunctions = 242,          // if not functions: return ""
    kSortedFns = 245,              // sorted_fns = sorted(functions.items(), key=...)
    kFunctionItems = 246,          // functions.items()
    kSortKey = def_line::kSortKey, // the lambda, and its body
    kChunks = 250,                 // chunks = []
    kForFunction = 253,            // for fn_name, fn_info in sorted_fns[:3]
    kStart = 254,                  // start = fn_info.get("line_start", 0)
    kEnd = 255,                    // end = fn_info.get("line_end", start + 20)
    kClampStart = 256,             // start = max(0, start)
    kClampEnd = 257,               // end = min(len(all_lines) - 1, end)
    kSpan = 258,                   // span = end - start + 1
    kIfOverMaxLines = 260,         // if total_lines + span > max_lines:
    kCutEnd = 261,                 // end = start + (max_lines - total_lines) - 1
    kIfNothingLeft = 262,          // if end < start: break
    kCutSpan = 264,                // span = end - start + 1
    kHeader = 266,                 // header = f"# {file_id}::{fn_name} (lines ...)"
    kBody = 267,                   // body = lines start..end
    kAppendChunk = 268,            // chunks.append(header + body)
    kAddSpan = 269,                // total_lines += span
    kIfMaxLines = 271,             // if total_lines >= max_lines: break
    kJoinChunks = 274,             // return "\n\n".join(chunks)
};
} // namespace cp::read_symbol_content_line
