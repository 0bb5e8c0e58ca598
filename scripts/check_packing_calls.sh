#!/usr/bin/env bash
# Refuses C API calls that can run Python code in the packer's sections. Such code may change
# any list or dict, so the node cursor must be told (mark_foreign) before it runs: the helpers of
# packing/values.* do that, and the sections call only them. node_cursor.cpp reads dicts it has
# first checked to hold plain keys only; helpers.cpp holds module functions that keep no state.
set -euo pipefail
cd "$(dirname "$0")/../src/context_packer/packing"

raw='\b(call|call_kw|call_method|call_method_kw|get_attr|module_global)\(|ForItems\b'
raw+='|\bPyObject_(GetAttr|GetItem|SetItem|DelItem|RichCompare|IsTrue|Not|Str|Repr|Format|Hash'
raw+='|Call|Vectorcall|GetIter|Length|Size|IsInstance)'
raw+='|\bPy(Number|Sequence|Mapping|Iter)_|\bPyDict_(SetItem|DelItem|GetItem|Contains|Merge|Update)'
raw+='|\bPySet_(New\([^n)]|Add|Contains|Discard)|\bPyUnicode_(Format|Contains)\b'

found=$(grep -nE "$raw" -- *.cpp *.hpp | grep -vE '^(values\.(cpp|hpp)|node_cursor\.cpp|helpers\.cpp):' || true)
if [[ -n "$found" ]]; then
    echo "C API calls that can run Python code, outside the helpers that tell the node cursor:"
    echo "$found"
    exit 1
fi
echo "packing: no raw calls that can run Python code"
