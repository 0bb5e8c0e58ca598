// The lines of the module's def statements, and of the parameters whose int() conversion a
// traceback entry reports: what the function registry and the code objects need to know of each
// function's source, kept here so that the registry reads no subsystem's statement table.
#pragma once

namespace cp::def_line {
enum : int {
    kLoadSummaries = 33,
    kExpandSummary = 51,
    kCondenseSummary = 179,
    kEstimateTokens = 213,
    kReadSymbolContent = 224,
    kReadSymbolContentMaxLines = 228, // int(max_lines) of a non-int argument
    kSortKey = 247,                   // the lambda inside read_symbol_content
    kFileId = 281,
    kBasename = 287,
    kPack = 291,
    kPackTokenBudget = 296, // int(token_budget) of a non-int argument
    kPackMaxFiles = 297,
    kPackMaxReadTargets = 298,
    kPackForQuery = 507,
    kPackForQueryTokenBudget = 510,
    kMain = 529,
};
} // namespace cp::def_line
