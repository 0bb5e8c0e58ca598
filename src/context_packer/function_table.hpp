// The signature records of the module's functions: what binding, the function objects and the
// code objects are built from.
#pragma once

#include <span>

#include "context_packer.hpp"
#include "function_bodies.hpp"

namespace cp {

enum class Check { None, ExactDict, ExactStr, Int };

struct ParamSpec {
    PyObject* const* name = nullptr;  // interned parameter name (a constant slot)
    const char* annotation = nullptr; // annotation text, or nullptr when unannotated
    Check check = Check::None;
    int conversion_line = 0;                        // reported when an int conversion fails
    PyObject* Constants::* default_value = nullptr; // constant slot, or nullptr when required
};

// The most parameters a function may have: binding gathers the arguments in arrays this size.
constexpr size_t kMaxParams = 8;

// In def-line order; the sort-key lambda comes last and is not a module attribute.
enum class FunctionId {
    LoadSummaries,
    ExpandSummary,
    CondenseSummary,
    EstimateTokens,
    ReadSymbolContent,
    FileId,
    Basename,
    Pack,
    PackForQuery,
    Main,
    SortKey,
    Count
};
constexpr int kFunctionCount = static_cast<int>(FunctionId::Count);
constexpr int kModuleFunctionCount = kFunctionCount - 1;

struct FunctionSpec {
    FunctionId id;              // the entry's position in function_specs
    const char* name;           // __name__, and the name used in messages
    const char* qualname;       // __qualname__
    const char* code_name;      // co_name
    const char* traceback_name; // function name of traceback entries
    int def_line;
    int min_args;
    std::span<const ParamSpec> params;
    const char* const* locals;                 // further local names, nullptr-terminated
    const char* doc = nullptr;                 // nullptr: no docstring
    const char* return_annotation = nullptr;   // nullptr: no annotations at all
    PyObject* Constants::* defaults = nullptr; // the __defaults__ tuple, or nullptr
    Body body;
    bool takes_no_arguments = false; // main: refuses any argument before its body runs
};

extern const FunctionSpec function_specs[kFunctionCount];
inline const FunctionSpec& spec_of(FunctionId id) {
    return function_specs[static_cast<int>(id)];
}

// Per-function objects built once at start-up and shared by every function object made from
// the signature record (the sort key gets a fresh function object on each call, but not fresh
// names).
struct FunctionConstants {
    PyObject* code;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc; // None when the function has no docstring
};
extern FunctionConstants function_constants[kFunctionCount];
// Builds (or rebuilds, after a failed start-up) function_constants; throws on failure.
void create_function_constants();

// The function object type and its constructor.
extern PyTypeObject FunctionType;
int ready_function_type();
PyObject* new_function(FunctionId id);

} // namespace cp
