// Statement lines that traceback entries of the summary functions report.
#pragma once

// The statement lines of load_summaries.
namespace cp::load_summaries_line {
enum : int {
    kPath = 35,        // path = project_root / ".vestra" / "structured_summaries.json"
    kIfExists = 36,    // if not path.exists(): return {}
    kLoad = 39,        // data = json.loads(path.read_text(encoding="utf-8-sig"))
    kIfDict = 40,      // if not isinstance(data, dict): return {}
    kReturnData = 41,  // return data
    kExcept = 43,      // except (json.JSONDecodeError, OSError):
    kReturnEmpty = 44, // return {}
};
} // namespace cp::load_summaries_line

// The statement lines of expand_summary.
namespace cp::expand_line {
enum : int {
    kIfEmpty = 67,            // if not summary: return ""
    kLines = 69,              // lines = []
    kDescription = 72,        // the description steps start here
    kFunctions = 79,          // funcs = summary.get("functions") or {}, then the isinstance test
    kFunctionsHeader = 81,    // lines.append("Functions:")
    kForFunction = 82,        // for fname, finfo in list(funcs.items())[:8]
    kIfAsync = 92,            // if finfo.get("async"):
    kAsyncSignature = 93,     // sig = f"  async {fname}({params})", then the returns test
    kAppendSignature = 96,    // lines.append(sig)
    kDetails = 98,            // details = []
    kCallsInternal = 99,      // calls_int = finfo.get("calls_internal", [])
    kCallsExternal = 100,     // calls_ext = finfo.get("calls_external", [])
    kAllCalls = 101,          // all_calls = (calls_int or []) + (calls_ext or [])
    kIfCalls = 102,           // if all_calls:
    kAddCalls = 103,          // details.append(f"calls: ...")
    kDecorators = 104,        // decorators = finfo.get("decorators", [])
    kIfDecorators = 105,      // if decorators:
    kAddDecorators = 106,     // details.append(f"decorators: ...")
    kIfDetails = 107,         // if details:
    kAppendDetails = 108,     // lines.append(f"    {' | '.join(details)}")
    kClasses = 111,           // classes = summary.get("classes") or {}, then the isinstance test
    kClassParts = 113,        // cls_parts = []
    kForClass = 114,          // for cname, cinfo in list(classes.items())[:5]
    kBases = 115,             // bases = cinfo.get("bases", "")
    kIfBasesList = 116,       // if isinstance(bases, list):
    kJoinBases = 117,         // bases = ", ".join(bases)
    kLabel = 118,             // label = f"{cname}({bases})" if bases else cname
    kMethods = 119,           // methods = cinfo.get("methods", [])
    kIfMethods = 120,         // if methods and isinstance(methods, list):
    kAddMethods = 121,        // label += f" [...]"
    kAppendClass = 122,       // cls_parts.append(label)
    kAppendClasses = 123,     // lines.append(f"Classes: ...")
    kVariables = 126,         // variables = summary.get("variables", [])
    kIfVariables = 127,       // if variables:
    kVarParts = 128,          // var_parts = []
    kForVariable = 129,       // for v in variables[:6]
    kIfVariableDict = 130,    // if isinstance(v, dict):
    kVariableName = 131,      // name = v.get("name", "")
    kUsedBy = 132,            // used_by = v.get("used_by", [])
    kIfNoName = 133,          // if not name: continue
    kIfUsedBy = 135,          // if used_by:
    kAppendUsedBy = 136,      // var_parts.append(f"{name} (used by: ...)")
    kAppendName = 138,        // var_parts.append(name)
    kIfVariableText = 139,    // elif isinstance(v, str):
    kAppendText = 140,        // var_parts.append(v)
    kIfVarParts = 141,        // if var_parts:
    kAppendVariables = 142,   // lines.append(f"Vars: ...")
    kInternalGraph = 145,     // internal_graph = summary.get("internal_graph", [])
    kIfInternalGraph = 146,   // if internal_graph and isinstance(internal_graph, list):
    kGraphStrs = 147,         // graph_strs = []
    kForEdge = 148,           // for edge in internal_graph[:6]
    kIfEdgeDict = 149,        // if isinstance(edge, dict):
    kEdgeFrom = 150,          // frm = edge.get("from", "")
    kEdgeTo = 151,            // to = edge.get("to", "")
    kIfBothEnds = 152,        // if frm and to:
    kAppendEdge = 153,        // graph_strs.append(f"{frm}->{to}")
    kIfGraphStrs = 154,       // if graph_strs:
    kAppendCallGraph = 155,   // lines.append(f"Call graph: ...")
    kImports = 158,           // imports = summary.get("imports", [])
    kIfImports = 159,         // if imports and isinstance(imports, list):
    kImpStrs = 160,           // imp_strs = []
    kForImport = 161,         // for imp in imports[:5]
    kIfImportDict = 162,      // if isinstance(imp, dict):
    kModule = 163,            // mod = imp.get("module", "")
    kNames = 164,             // names = imp.get("names", [])
    kIfNoModule = 165,        // if not mod: continue
    kIfNames = 167,           // if names:
    kAppendModuleNames = 168, // imp_strs.append(f"{mod}(...)")
    kAppendModule = 170,      // imp_strs.append(mod)
    kIfImpStrs = 171,         // if imp_strs:
    kAppendImports = 172,     // lines.append(f"Imports: ...")
    kJoinLines = 176,         // return "\n".join(lines)
};
} // namespace cp::expand_line

// The statement lines of condense_summary.
namespace cp::condense_line {
enum : int {
    kIfEmpty = 181,         // if not summary: return ""
    kParts = 183,           // parts = []
    kDescription = 184,     // the description steps start here
    kFunctions = 189,       // funcs = summary.get("functions") or {}, then the isinstance test
    kSigs = 191,            // sigs = []
    kForFunction = 192,     // for fname, finfo in list(funcs.items())[:5]
    kAppendSignature = 202, // sigs.append(sig)
    kIfSigs = 203,          // if sigs:
    kAppendFunctions = 204, // parts.append("Functions: " + ", ".join(sigs))
    kJoinParts = 205,       // text = " | ".join(parts)
    kCut = 206,             // return text[:300]
};
} // namespace cp::condense_line
