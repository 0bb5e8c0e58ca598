// Statement lines that traceback entries of the pipeline functions report.
#pragma once

// The statement lines of pack_for_query.
namespace cp::pack_for_query_line {
enum : int {
    kLoadGraph = 513,     // graph = _vx_load_graph()
    kRetrieve = 514,      // result = _vx_retrieve(graph, query, top_files=8, top_edges=40)
    kLoadSummaries = 515, // summaries = load_summaries(project_root)
    kPack = 516,          // return pack(...)
};
} // namespace cp::pack_for_query_line

// The statement lines of main.
namespace cp::main_line {
enum : int {
    kIfNoQuery = 530,  // if len(sys.argv) < 2:
    kPrintUsage = 531, // print(usage, file=sys.stderr)
    kExit = 532,       // sys.exit(1)
    kQuery = 533,      // query = sys.argv[1]
    kRoot = 534,       // root = Path(sys.argv[2]) if len(sys.argv) > 2 else Path(".")
    kPrintBlock = 535, // print(pack_for_query(query, root.resolve()))
};
} // namespace cp::main_line
