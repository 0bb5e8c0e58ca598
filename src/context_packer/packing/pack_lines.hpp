// Statement lines that traceback entries of pack report.
#pragma once

// The statement lines of pack that traceback entries report.
namespace cp::pack_line {
enum : int {
    // the retrieval result and the chosen files
    kFilesList = 308,     // files_list = result "files"
    kEdgesList = 309,     // edges_list = result "edges"
    kFileIds = 311,       // file_ids = []
    kForEntry = 312,      // for entry in files_list[:max_files]
    kFileIdOfEntry = 313, // fid = _file_id(entry)
    kIfFileId = 314,      // if not fid: continue
    kAppendFileId = 315,  // file_ids.append(fid)
    kChosenSet = 317,     // chosen_set = set(file_ids)
    // Relevant Files
    kSec1Lines = 320,             // sec1_lines = [heading]
    kForRelevantFile = 321,       // for fid in file_ids
    kRelevantBaseFile = 322,      // base_file = ...
    kRelevantSummary = 323,       // summary_obj = summaries.get(base_file, {})
    kExpanded = 326,              // expanded = expand_summary(summary_obj) if summary_obj else ""
    kIfExpanded = 327,            // if expanded:
    kSplitExpanded = 329,         // expanded.split("\n")
    kAppendFileName = 330,        // sec1_lines.append(f"**{fid}**")
    kForExpandedLine = 331,       // for piece in the split summary
    kAppendExpandedLine = 332,    // sec1_lines.append("  " + piece)
    kForFallbackNode = 336,       // for node in graph nodes
    kIfFallbackNode = 337,        // if node id is fid or base_file
    kFallbackSummary = 338,       // fallback = (node.get("summary", "") or "")[:300]
    kIfFallback = 340,            // if fallback:
    kAppendFileAndFallback = 341, // sec1_lines.append(f"**{fid}**: {fallback}")
    kAppendFileAlone = 343,       // sec1_lines.append(f"**{fid}**")
    kJoinSec1 = 345,              // sec1 = "\n".join(sec1_lines)
    // the budget
    kSec1Tokens = 346,   // sec1_tokens = estimate_tokens(sec1)
    kHeaderTokens = 350, // header_tokens = estimate_tokens(header)
    kRemaining = 352,    // remaining = token_budget - header_tokens - sec1_tokens
    kIfCodeRoom = 356,   // if remaining > the Key Code threshold
    kCodeBudget = 357,   // code_budget = min(remaining, int(token_budget * share))
    // Key Code
    kCodeParts = 358,             // sec_code_parts = [heading]
    kCodeTokensUsed = 359,        // code_tokens_used = estimate_tokens(heading)
    kForCodeFile = 361,           // for fid in file_ids[:4]
    kIfCodeBudgetLeft = 362,      // if code_budget - code_tokens_used < floor: break
    kCodeBaseFile = 364,          // base_file = ...
    kCodeSummary = 365,           // summary_obj = summaries.get(base_file, {})
    kFuncsMap = 366,              // funcs_map = summary_obj.get("functions") or {}
    kFnDict = 368,                // fn_dict = {}
    kIfSummaryFunctions = 369,    // if isinstance(funcs_map, dict) and funcs_map:
    kForSummaryFunction = 370,    // for fn_name, fn_info in list(funcs_map.items())[:3]
    kIfSummaryFunctionName = 371, // if not fn_name: continue
    kLinesArr = 373,              // lines_arr = fn_info.get("lines", [])
    kIfLinesPair = 374,           // if isinstance(lines_arr, list) and len(lines_arr) == 2:
    kSummaryFunctionRecord = 375, // fn_dict[fn_name] = {...}
    kRecordLineStart = 376,       // "line_start": lines_arr[0]
    kRecordLineEnd = 377,         // "line_end": lines_arr[1]
    kRecordDescription = 378,     // "description": fn_info.get("description", "")
    kForCodeNode = 381,           // for node in graph nodes
    kIfCodeSymbolNode = 382,      // if a symbol node of base_file
    kNodeFunctionRecord = 383,    // fn_dict[node.get("name", "")] = {...}
    kNodeLineStart = 384,         // "line_start": node.get("line_start", 0)
    kNodeLineEnd = 385,           // "line_end": node.get("line_end", 20)
    kIfThreeFunctions = 387,      // if len(fn_dict) >= 3: break
    kIfNoFunctions = 390,         // if not fn_dict: continue
    kReadCode = 393,              // code = read_symbol_content(...)
    kIfNoCode = 394,              // if not code: continue
    kExtension = 397,             // ext = base_file.rsplit(".", 1)[-1] if "." in base_file else ""
    kLangMap = 398,               // lang_map = {...}
    kLang = 399,                  // lang = lang_map.get(ext, ext)
    kBlock = 401,                 // block = f"```{lang}\n{code}\n```"
    kBlockTokens = 402,           // block_tokens = estimate_tokens(block)
    kIfBlockOverBudget = 404,     // if code_tokens_used + block_tokens > code_budget:
    kCharBudget = 405,            // char_budget = int((code_budget - code_tokens_used) * 3.2)
    kIfCharBudget = 406,          // if char_budget > the cut floor:
    kTruncated = 407,             // truncated = code[:char_budget].rsplit("\n", 1)[0]
    kCutBlock = 408,              // the cut block
    kAppendCutBlock = 409,        // sec_code_parts.append(cut block)
    kAppendBlock = 412,           // sec_code_parts.append(block)
    kAddBlockTokens = 413,        // code_tokens_used += block_tokens
    kIfCodeParts = 415,           // if len(sec_code_parts) > 1:
    kJoinCode = 416,              // sec_code = "\n".join(sec_code_parts)
    kDeductCode = 417,            // remaining -= estimate_tokens(sec_code)
    // Recommended Reads
    kIfReadsRoom = 421,         // if remaining > the reads threshold
    kSec3Lines = 422,           // sec3_lines = [heading]
    kForReadFile = 425,         // for fid in file_ids
    kIfReadsFull = 426,         // if read_targets_added >= max_read_targets: break
    kReadBaseFile = 428,        // base_file = ...
    kReadSummary = 429,         // summary_obj = summaries.get(base_file, {})
    kReadFuncs = 430,           // funcs = summary_obj.get("functions", [])
    kIfReadFuncs = 431,         // if not funcs:
    kForReadNode = 432,         // for node in graph nodes
    kIfReadSymbolNode = 433,    // if a symbol node of base_file
    kReadNodeStart = 434,       // line_s = node.get("line_start", 0) + 1
    kReadNodeEnd = 435,         // line_e = node.get("line_end", line_s) + 1
    kReadNodeName = 436,        // name = node.get("name", "?")
    kAppendNodeRead = 437,      // sec3_lines.append(...)
    kCountNodeRead = 438,       // read_targets_added += 1
    kIfNodeReadsFull = 439,     // if read_targets_added >= max_read_targets: break
    kFuncsIter = 443,           // funcs_iter = list(funcs.items())[:3] if a dict else []
    kForReadFunction = 444,     // for fn_name, fn_info in funcs_iter
    kIfFunctionReadsFull = 445, // if read_targets_added >= max_read_targets: break
    kIfReadFunctionName = 447,  // if not fn_name: continue
    kReadLinesArr = 449,        // lines_arr = fn_info.get("lines", [])
    kIfReadLinesPair = 450,     // if isinstance(lines_arr, list) and len(lines_arr) == 2:
    kUnpackLinesPair = 451,     // line_s, line_e = lines_arr
    kIfNoLines = 454,           // if line_s == 0 and line_e == 0: continue
    kDisplayStart = 456,        // display_start = line_s + 1 if line_s >= 0 else line_s
    kDisplayEnd = 457,          // display_end = ...
    kReadDescription = 458,     // desc = fn_info.get("description", "")
    kDescPart = 459,            // desc_part = f" \u2014 {desc}" if desc else ""
    kAppendFunctionRead = 461,  // sec3_lines.append(...)
    kCountFunctionRead = 463,   // read_targets_added += 1
    kIfReadsAdded = 465,        // if read_targets_added > 0:
    kJoinReads = 466,           // sec_reads = "\n".join(sec3_lines)
    kDeductReads = 467,         // remaining -= estimate_tokens(sec_reads)
    // Key Relationships
    kIfEdgesRoom = 471,         // if remaining > the relationships threshold
    kSec4Lines = 472,           // sec4_lines = [heading]
    kRelevantRels = 473,        // relevant_rels = {...}
    kForEdge = 475,             // for edge in edges_list
    kIfTenEdges = 476,          // if edge_count >= 10: break
    kEdgeFrom = 478,            // frm = str(edge.get("from", ""))
    kEdgeTo = 479,              // to = str(edge.get("to", ""))
    kEdgeRel = 480,             // rel = str(edge.get("rel", ""))
    kIfEdgeTouchesChosen = 481, // if frm in chosen_set or to in chosen_set:
    kIfPrintedRel = 483,        // if rel in relevant_rels:
    kAppendEdge = 485,          // sec4_lines.append(...)
    kCountEdge = 486,           // edge_count += 1
    kIfEdges = 488,             // if edge_count > 0:
    kJoinEdges = 489,           // sec_edges = "\n".join(sec4_lines)
    // the block
    kSections = 492,        // sections = [header, sec1]
    kIfCode = 494,          // if sec_code: sections.append(sec_code)
    kIfReads = 496,         // if sec_reads: ...
    kIfRelationships = 498, // if sec_edges: ...
    kJoinSections = 500,    // return "\n\n".join(sections)
};
} // namespace cp::pack_line
