// Statement lines that traceback entries of the module's own code report.
#pragma once

// The statement lines of the module's own code.
namespace cp::module_line {
enum : int {
    kModule = 1,           // the module as a whole (start-up and __test__)
    kImportJson = 20,      // import json
    kImportSys = 21,       // import sys
    kImportCeil = 22,      // from math import ceil
    kImportPath = 23,      // from pathlib import Path
    kImportAny = 24,       // from typing import Any
    kImportRetrieval = 26, // from tarnwick.vx import retrieve, load_graph, classify_intent
    kIfMain = 538,         // if __name__ == "__main__":
    kCallMain = 539,       // main()
};
} // namespace cp::module_line
