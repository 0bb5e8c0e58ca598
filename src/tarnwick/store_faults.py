"""Naming the damage in a summary store.

The packer reads the store as it is and fails deep inside with a TypeError
or AttributeError when a record holds a value of the wrong type.  After such
a failure the commands read the store again here to tell the user
which file, record and field are at fault, in one line.
"""

from __future__ import annotations

import json
import os

from tarnwick.datadir import DATA_DIR, SUMMARIES_NAME, is_inside, read_regular

STORE_LIMIT = 1 << 30

_STRING = "a string"
_STRINGS = "a list of strings"
_STRING_OR_STRINGS = "a string or a list of strings"
_LIST = "a list"
_OBJECT = "an object"


def _shown(value) -> str:
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 40 else text[:37] + "..."


def _is_strings(value) -> bool:
    return isinstance(value, list) and all(isinstance(item, str) for item in value)


def _check_fields(record: dict, fields: dict):
    """([field], expected, value) of the first field of `record` that is not of its type."""
    for name, expected in fields.items():
        if name not in record:
            continue
        value = record[name]
        if expected == _STRING:
            ok = isinstance(value, str)
        elif expected == _STRINGS:
            ok = _is_strings(value)
        else:
            ok = isinstance(value, str) or _is_strings(value)
        if not ok:
            return [name], expected, value
    return None


_FUNCTION_FIELDS = {
    "params": _STRING_OR_STRINGS,
    "returns": _STRING,
    "calls_internal": _STRINGS,
    "calls_external": _STRINGS,
    "decorators": _STRINGS,
    "description": _STRING,
}
_CLASS_FIELDS = {"bases": _STRING_OR_STRINGS}
_VARIABLE_FIELDS = {"name": _STRING, "used_by": _STRINGS}
_EDGE_FIELDS = {"from": _STRING, "to": _STRING, "rel": _STRING}
_IMPORT_FIELDS = {"module": _STRING, "names": _STRINGS}


def _function_fault(info):
    if not isinstance(info, dict):
        return [], _OBJECT, info
    lines = info.get("lines")
    # Anything but a two-item list is ignored by the packer; two items are used as numbers.
    if isinstance(lines, list) and len(lines) == 2:
        if not all(isinstance(n, int) and not isinstance(n, bool) for n in lines):
            return ["lines"], "two integers", lines
    return _check_fields(info, _FUNCTION_FIELDS)


def _class_fault(info):
    if not isinstance(info, dict):
        return [], _OBJECT, info
    methods = info.get("methods")
    if isinstance(methods, list) and not _is_strings(methods):
        return ["methods"], _STRINGS, methods
    return _check_fields(info, _CLASS_FIELDS)


def _list_fault(items, item_fields: dict):
    if items is None:
        return None
    if not isinstance(items, list):
        return [], _LIST, items
    for i, item in enumerate(items):
        if isinstance(item, dict):  # other items are skipped by the packer
            fault = _check_fields(item, item_fields)
            if fault:
                return [str(i), *fault[0]], fault[1], fault[2]
    return None


def record_fault(record):
    """(field path, expected, value) of the first wrongly typed part of one
    summary record, or None when the record is well formed."""
    if not isinstance(record, dict):
        return [], _OBJECT, record
    if "description" in record and not isinstance(record["description"], str):
        return ["description"], _STRING, record["description"]
    for key, check in (("functions", _function_fault), ("classes", _class_fault)):
        members = record.get(key)
        if isinstance(members, dict):  # anything else counts as none
            for name, info in members.items():
                fault = check(info)
                if fault:
                    return [key, name, *fault[0]], fault[1], fault[2]
    for key, fields in (("variables", _VARIABLE_FIELDS), ("internal_graph", _EDGE_FIELDS), ("imports", _IMPORT_FIELDS)):
        if key in record:
            fault = _list_fault(record[key], fields)
            if fault:
                return [key, *fault[0]], fault[1], fault[2]
    return None


def store_fault(root) -> str | None:
    """One line naming the store file, the record and the field that is not
    of its documented type, or None when the store is absent or sound."""
    path = os.path.join(root, DATA_DIR, SUMMARIES_NAME)
    if not is_inside(path, root):
        return None
    try:
        store = json.loads(read_regular(path, STORE_LIMIT).decode("utf-8-sig"))
    except (OSError, ValueError, RecursionError):
        return None
    if not isinstance(store, dict):
        return None
    for key, record in store.items():
        fault = record_fault(record)
        if fault:
            fields, expected, value = fault
            where = f"record {json.dumps(key, ensure_ascii=False)}"
            if fields:
                where += ", field " + " / ".join(json.dumps(f, ensure_ascii=False) for f in fields)
            return f"{path}: {where} must be {expected}, not {_shown(value)}"
    return None
