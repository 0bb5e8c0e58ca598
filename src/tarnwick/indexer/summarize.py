"""Per-file analysis: one parse and one walk of each syntax tree.

`summarize_file` reads a source file, parses it and returns a `FileResult`
holding the file's Summary record (the shape the context packer reads from
`structured_summaries.json`), its symbols with line ranges, and the raw
references (imports, called names, base classes) that the parent process
resolves into cross-file graph edges once every file is known.

It runs inside worker processes, so it must be importable at module level
and return only picklable values.
"""

from __future__ import annotations

import ast
import builtins
import re
import tokenize
from dataclasses import dataclass, field
from io import BytesIO

from .output import edge, encode, file_node, symbol_node

# Line ends that `str.splitlines` honours but Python's parser does not.  The
# packer cuts function bodies out of `text.splitlines()`, so every line index
# written by the indexer has to count these too.
_EXTRA_BREAKS = re.compile("[\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029]")
_PARSER_NEWLINE = re.compile("\r\n|\r|\n")

_BUILTIN_NAMES = frozenset(dir(builtins))

_Name = ast.Name
_Call = ast.Call
_Attribute = ast.Attribute
_Load = ast.Load
_Import = ast.Import
_ImportFrom = ast.ImportFrom
_arg = ast.arg
_Global = ast.Global
_FUNC_TYPES = (ast.FunctionDef, ast.AsyncFunctionDef)
_BLOCK_TYPES = (ast.If, ast.Try, ast.With)
_DEF_TYPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)


@dataclass
class FileResult:
    """What one worker learns about one file."""

    path: str
    record: dict | None = None
    error: str | None = None
    # (name, symbol_kind, line_start, line_end) in source order; methods are
    # named "Class.method" and follow their class.
    symbols: list = field(default_factory=list)
    # Names defined at module level (functions, classes, variables).
    defined: list = field(default_factory=list)
    # Local name -> (level, module, attr): what an import binds.  attr is None
    # for "import a.b" (binding "a" to module "a") and "import a.b as x".
    bindings: dict = field(default_factory=dict)
    # (level, module) of every "from M import *".
    star: list = field(default_factory=list)
    # (level, module, [names]) of every import statement, for "imports" edges.
    imports: list = field(default_factory=list)
    # Dotted names called anywhere in the file (decorators included).
    refs: list = field(default_factory=list)
    # Dotted names used as base classes of top-level classes.
    bases: list = field(default_factory=list)
    # Filled by `encode_result`, which also drops `record` and `symbols`:
    # the JSON texts of the record, of the file's nodes and of its
    # "contains" edges, and (functions, methods, classes) counts.
    record_json: str = ""
    nodes_json: str = ""
    contains_json: str = ""
    counts: tuple = (0, 0, 0)


def encode_result(result: FileResult) -> FileResult:
    """Turn the record and symbols into JSON text (in the worker, so the
    parent only joins strings) and drop the structures themselves."""
    record = result.record
    path = result.path
    result.record_json = encode(record)
    nodes = [encode(file_node(path, record.get("description", "")))]
    ids = []
    methods = 0
    for name, kind, start, end in result.symbols:
        node = symbol_node(path, name, kind, start, end)
        nodes.append(encode(node))
        ids.append(node["id"])
        methods += kind == "method"
    result.nodes_json = ",\n".join(nodes)
    ids.sort()
    result.contains_json = ",\n".join(encode(edge(path, sid, "contains")) for sid in ids)
    result.counts = (len(record["functions"]), methods, len(record["classes"]))
    result.record = None
    result.symbols = []
    return result


# ---------------------------------------------------------------------------
# Reading


def decode_source(raw: bytes) -> tuple:
    """Decode a source file: UTF-8 (a BOM is dropped), else its coding cookie.

    Returns (text, view): `view` is the text as the packer reads it (UTF-8,
    undecodable bytes dropped), which only differs for files in another
    encoding.  Raises UnicodeDecodeError/SyntaxError/LookupError when the
    file is neither UTF-8 nor declares an encoding that decodes it.
    """
    try:
        text = raw.decode("utf-8-sig")
        return text, text
    except UnicodeDecodeError:
        # A file that declares another encoding ("# -*- coding: latin-1 -*-")
        # is still valid Python; without a declaration the error stands.
        encoding, _ = tokenize.detect_encoding(BytesIO(raw).readline)
        if encoding in ("utf-8", "utf-8-sig"):
            raise
        return raw.decode(encoding), raw.decode("utf-8", "ignore")


class LineMap:
    """Maps the parser's 1-based line numbers to 0-based `splitlines` indexes.

    Only built for files that hold a line end the parser does not count (form
    feed, vertical tab, U+2028, ...).  `view` is the text as the packer sees
    it: the raw bytes decoded as UTF-8 with undecodable bytes dropped.
    """

    __slots__ = ("base", "pieces")

    def __init__(self, view: str):
        self.base = base = []
        self.pieces = pieces = {}
        index = 0
        for number, line in enumerate(_PARSER_NEWLINE.split(view)):
            base.append(index)
            if _EXTRA_BREAKS.search(line):
                parts = _EXTRA_BREAKS.split(line)
                pieces[number] = parts
                index += len(parts)
            else:
                index += 1

    def first(self, lineno: int) -> int:
        """Index of the first non-blank piece of parser line `lineno`.

        A statement that opens a definition is the first token of its line,
        so anything before it on that line (a form feed, blanks) is skipped.
        """
        i = lineno - 1
        parts = self.pieces.get(i)
        if parts:
            for k, part in enumerate(parts):
                if part.strip():
                    return self.base[i] + k
        return self.base[i]

    def last(self, lineno: int) -> int:
        """Index of the last non-blank piece of parser line `lineno`."""
        i = lineno - 1
        parts = self.pieces.get(i)
        if parts:
            for k in range(len(parts) - 1, -1, -1):
                if parts[k].strip():
                    return self.base[i] + k
        return self.base[i]


# ---------------------------------------------------------------------------
# The tree walk

# Per node type: (single child fields, list child fields).  Learned from the
# first node of each type; leaves and nodes handled elsewhere get no fields.
_CHILDREN: dict = {}
_NO_CHILDREN = ((), ())
for _t in (ast.Constant, ast.Global, ast.Nonlocal, ast.alias, ast.Import, ast.ImportFrom):
    _CHILDREN[_t] = _NO_CHILDREN
_SKIP_FIELDS = frozenset(("ctx", "type_comment", "kind", "kwd_attrs"))


def _learn(node) -> tuple:
    single = []
    many = []
    for name in node._fields:
        if name in _SKIP_FIELDS:
            continue
        value = getattr(node, name, None)
        if isinstance(value, list):
            many.append(name)
        elif value is None or isinstance(value, ast.AST):
            single.append(name)
    layout = (tuple(single), tuple(many))
    _CHILDREN[type(node)] = layout
    return layout


def dotted_name(node) -> str | None:
    """"a.b.c" for a Name/Attribute chain, None for anything else."""
    parts = []
    while type(node) is _Attribute:
        parts.append(node.attr)
        node = node.value
    if type(node) is not _Name:
        return None
    parts.append(node.id)
    parts.reverse()
    return ".".join(parts)


class _Scan:
    """What one walk over a subtree collects."""

    __slots__ = ("calls", "loads", "stores", "globals", "imports", "defs")

    def __init__(self):
        self.calls = []  # (line, col, dotted name) at the end of the callee
        self.loads = set()
        self.stores = set()
        self.globals = set()
        self.imports = []
        self.defs = set()  # names of functions and classes defined inside


def _scan(roots, acc: _Scan) -> None:
    """Walk every node under `roots` once, filling `acc`."""
    stack = list(roots)
    pop = stack.pop
    push = stack.append
    extend = stack.extend
    calls = acc.calls
    loads = acc.loads
    stores = acc.stores
    children = _CHILDREN
    while stack:
        node = pop()
        if node is None:
            continue
        kind = type(node)
        if kind is _Name:
            if type(node.ctx) is _Load:
                loads.add(node.id)
            else:
                stores.add(node.id)
            continue
        if kind is _Call:
            func = node.func
            name = dotted_name(func)
            if name is not None:
                calls.append((func.end_lineno, func.end_col_offset, name))
        elif kind is _arg:
            stores.add(node.arg)
        elif kind is _Import or kind is _ImportFrom:
            acc.imports.append(node)
            continue
        elif kind is _Global:
            acc.globals.update(node.names)
            continue
        elif kind in _DEF_TYPES:
            acc.defs.add(node.name)
        layout = children.get(kind)
        if layout is None:
            layout = _learn(node)
        for name in layout[0]:
            value = getattr(node, name)
            if value is not None and type(value) is not str:
                push(value)
        for name in layout[1]:
            extend(getattr(node, name))


def _ordered_calls(calls: list) -> list:
    """Dotted callee names in source order, without repeats."""
    calls.sort()
    seen = set()
    out = []
    for _, _, name in calls:
        if name not in seen:
            seen.add(name)
            out.append(name)
    return out


# ---------------------------------------------------------------------------
# Text of expressions "as written"


class _Source:
    """Slices expression text out of the parsed source."""

    __slots__ = ("lines",)

    def __init__(self, text: str, has_extra_breaks: bool):
        # The parser's own lines: split at \n, \r\n and \r only.
        self.lines = _PARSER_NEWLINE.split(text) if has_extra_breaks else text.splitlines()

    def text(self, node) -> str:
        line_no = node.lineno
        if line_no == node.end_lineno:
            line = self.lines[line_no - 1]
            start, end = node.col_offset, node.end_col_offset
            if line.isascii():
                return line[start:end]
            return line.encode("utf-8")[start:end].decode("utf-8", "replace")
        # Spread over several lines: normalise instead of keeping the layout.
        return ast.unparse(node)


def _param_list(args: ast.arguments, src: _Source) -> list:
    """Each parameter as written: "db: Session", "status: str = None", "*args",
    a bare "*" before keyword-only parameters, "/" after positional-only ones."""
    out = []
    text = src.text

    def one(a, default=None):
        item = a.arg
        if a.annotation is not None:
            item += ": " + text(a.annotation)
            if default is not None:
                item += " = " + text(default)
        elif default is not None:
            item += "=" + text(default)
        return item

    positional = args.posonlyargs + args.args
    defaults = args.defaults
    first_default = len(positional) - len(defaults)
    n_posonly = len(args.posonlyargs)
    for i, a in enumerate(positional):
        out.append(one(a, defaults[i - first_default] if i >= first_default else None))
        if i == n_posonly - 1:
            out.append("/")
    if args.vararg is not None:
        out.append("*" + one(args.vararg))
    elif args.kwonlyargs:
        out.append("*")
    for a, default in zip(args.kwonlyargs, args.kw_defaults):
        out.append(one(a, default))
    if args.kwarg is not None:
        out.append("**" + one(args.kwarg))
    return out


def _first_line(doc: str | None) -> str:
    if not doc:
        return ""
    doc = doc.strip()
    if not doc:
        return ""
    return doc.splitlines()[0].strip()


def _docstring(node) -> str:
    body = node.body
    if body:
        first = body[0]
        if type(first) is ast.Expr:
            value = first.value
            if type(value) is ast.Constant and type(value.value) is str:
                return _first_line(value.value)
    return ""


def _is_overload(node) -> bool:
    for d in node.decorator_list:
        name = dotted_name(d)
        if name == "overload" or (name and name.endswith(".overload")):
            return True
    return False


def _module_statements(body):
    """Statements that run in module scope, in source order: the module body
    and the bodies of top-level if/try/with blocks (conditional definitions)."""
    for stmt in body:
        if isinstance(stmt, _BLOCK_TYPES):
            yield stmt, True
            kind = type(stmt)
            if kind is ast.Try:
                yield from _module_statements(stmt.body)
                for handler in stmt.handlers:
                    yield from _module_statements(handler.body)
                yield from _module_statements(stmt.orelse)
                yield from _module_statements(stmt.finalbody)
            elif kind is ast.If:
                yield from _module_statements(stmt.body)
                yield from _module_statements(stmt.orelse)
            else:
                yield from _module_statements(stmt.body)
        else:
            yield stmt, False


def _target_names(target, out: list) -> None:
    kind = type(target)
    if kind is _Name:
        out.append(target.id)
    elif kind is ast.Tuple or kind is ast.List:
        for elt in target.elts:
            _target_names(elt, out)
    elif kind is ast.Starred:
        _target_names(target.value, out)


def _import_entry(node) -> tuple:
    """(module as written, [names]) of an import statement, per module."""
    if type(node) is _Import:
        return [(alias.name, []) for alias in node.names]
    module = "." * node.level + (node.module or "")
    return [(module, [alias.name for alias in node.names])]


# ---------------------------------------------------------------------------
# One file


def summarize_text(path: str, text: str, view: str | None = None) -> FileResult:
    """Summarise one decoded source text.

    `view` is the text as the packer will read it (UTF-8, undecodable bytes
    dropped); it defaults to `text` and only matters for line numbers.
    """
    result = FileResult(path)
    tree = ast.parse(text, filename=path)
    if view is None:
        view = text
    has_breaks = _EXTRA_BREAKS.search(view) is not None
    linemap = LineMap(view) if has_breaks else None
    text_breaks = has_breaks if view is text else _EXTRA_BREAKS.search(text) is not None
    src = _Source(text, text_breaks)

    def span(node) -> list:
        first = node.lineno
        if node.decorator_list:
            # Key Code starts at the first decorator so it shows them.
            first = min(first, min(d.lineno for d in node.decorator_list))
        if linemap is None:
            return [first - 1, node.end_lineno - 1]
        return [linemap.first(first), linemap.last(node.end_lineno)]

    # Pass 1 over module-scope statements only: which names live here.
    defs = []  # FunctionDef/ClassDef nodes kept, in source order
    def_names = set()
    function_names = set()
    variable_order = []
    variable_names = set()
    imported_names = set()
    other = []  # module-scope statements scanned for calls and imports
    for stmt, is_block in _module_statements(tree.body):
        if is_block:
            # Only the header of a block (test, items, handler types).
            kind = type(stmt)
            if kind is ast.If:
                other.append(stmt.test)
            elif kind is ast.With:
                other.extend(stmt.items)
            else:
                other.extend(h.type for h in stmt.handlers)
            continue
        kind = type(stmt)
        if kind in _FUNC_TYPES or kind is ast.ClassDef:
            name = stmt.name
            if name in def_names:
                # A second definition replaces the first only when the first
                # was a typing overload stub.
                for i, prior in enumerate(defs):
                    if prior.name == name and type(prior) is not ast.ClassDef and _is_overload(prior):
                        defs[i] = stmt
                        break
                else:
                    other.append(stmt)
                continue
            def_names.add(name)
            if kind is not ast.ClassDef:
                function_names.add(name)
            defs.append(stmt)
        elif kind is _Import or kind is _ImportFrom:
            for alias in stmt.names:
                if alias.name != "*":
                    imported_names.add((alias.asname or alias.name).split(".")[0])
            other.append(stmt)
        else:
            if kind is ast.Assign or kind is ast.AnnAssign:
                names = []
                for target in stmt.targets if kind is ast.Assign else (stmt.target,):
                    _target_names(target, names)
                for name in names:
                    if name not in variable_names:
                        variable_names.add(name)
                        variable_order.append(name)
            other.append(stmt)

    known_names = def_names | imported_names | variable_names
    module_scan = _Scan()
    functions = {}
    classes = {}
    uses = {}  # user (function or Class.method) -> names it reads
    internal_graph = []
    symbols = result.symbols
    all_calls = []
    base_refs = []
    decorator_refs = []

    def decorators_of(node) -> list:
        out = []
        for d in node.decorator_list:
            out.append("@" + src.text(d))
            name = dotted_name(d)
            if name is not None:
                decorator_refs.append(name)
        # Decorator arguments, defaults and annotations run at definition
        # time: they belong to the module's own calls.
        _scan(node.decorator_list, module_scan)
        return out

    def body_scan(node) -> _Scan:
        scan = _Scan()
        _scan(node.body, scan)
        args = node.args
        # Defaults run at definition time (their calls are the module's),
        # but the names they read are part of the function's behaviour.
        defaults = _Scan()
        _scan(args.defaults + args.kw_defaults, defaults)
        module_scan.calls.extend(defaults.calls)
        scan.loads.update(defaults.loads)
        for a in args.posonlyargs + args.args + args.kwonlyargs:
            scan.stores.add(a.arg)
        for a in (args.vararg, args.kwarg):
            if a is not None:
                scan.stores.add(a.arg)
        all_calls.extend(scan.calls)
        module_scan.imports.extend(scan.imports)
        return scan

    def reads(scan: _Scan) -> set:
        return {n for n in scan.loads if n in variable_names and (n not in scan.stores or n in scan.globals)} | (
            scan.globals & variable_names
        )

    for node in defs:
        name = node.name
        lines = span(node)
        if type(node) is ast.ClassDef:
            methods = []
            method_symbols = []
            class_body = []
            bases = []
            for b in node.bases:
                bases.append(src.text(b))
                ref = dotted_name(b)
                if ref is not None:
                    base_refs.append(ref)
            for kw in node.keywords:
                bases.append(f"{kw.arg}={src.text(kw.value)}" if kw.arg else "**" + src.text(kw.value))
            decorators_of(node)
            _scan(node.bases, module_scan)
            _scan(node.keywords, module_scan)
            for stmt in node.body:
                if type(stmt) in _FUNC_TYPES:
                    decorators_of(stmt)
                    scan = body_scan(stmt)
                    qual = f"{name}.{stmt.name}"
                    uses.setdefault(qual, set()).update(reads(scan))
                    if stmt.name not in methods:
                        methods.append(stmt.name)
                        method_symbols.append((qual, "method", *span(stmt)))
                else:
                    class_body.append(stmt)
            _scan(class_body, module_scan)
            classes[name] = {
                "bases": bases,
                "methods": methods,
                "lines": lines,
                "description": _docstring(node),
            }
            symbols.append((name, "class", lines[0], lines[1]))
            symbols.extend(method_symbols)
            continue

        decorators = decorators_of(node)
        scan = body_scan(node)
        uses[name] = reads(scan)
        internal = []
        external = []
        nested = scan.defs
        for callee in _ordered_calls(scan.calls):
            if callee in nested:
                continue  # a helper defined inside this function
            if callee in def_names:
                internal.append(callee)
            elif "." in callee or callee in known_names or callee not in _BUILTIN_NAMES:
                external.append(callee)
        for callee in internal:
            internal_graph.append({"from": name, "to": callee, "rel": "calls"})
        functions[name] = {
            "params": _param_list(node.args, src),
            "returns": src.text(node.returns) if node.returns is not None else "",
            "async": type(node) is ast.AsyncFunctionDef,
            "calls_internal": internal,
            "calls_external": external,
            "decorators": decorators,
            "lines": lines,
            "description": _docstring(node),
        }
        symbols.append((name, "function", lines[0], lines[1]))

    _scan(other, module_scan)
    all_calls.extend(module_scan.calls)

    variables = []
    for var in variable_order:
        if var in def_names or var in imported_names or (var.startswith("__") and var.endswith("__")):
            continue
        variables.append({"name": var, "used_by": [user for user, names in uses.items() if var in names]})

    # Imports in source order, one entry per module, names merged.
    import_nodes = sorted(module_scan.imports, key=lambda n: (n.lineno, n.col_offset))
    entries = {}
    bindings = result.bindings
    for node in import_nodes:
        if type(node) is _ImportFrom:
            level, module = node.level, node.module or ""
            if module == "__future__":
                continue
            for alias in node.names:
                if alias.name == "*":
                    result.star.append((level, module))
                else:
                    bindings.setdefault(alias.asname or alias.name, (level, module, alias.name))
            result.imports.append((level, module, [a.name for a in node.names]))
        else:
            for alias in node.names:
                if alias.asname:
                    bindings.setdefault(alias.asname, (0, alias.name, None))
                else:
                    head = alias.name.split(".")[0]
                    bindings.setdefault(head, (0, head, None))
                result.imports.append((0, alias.name, []))
        for module, names in _import_entry(node):
            entry = entries.get(module)
            if entry is None:
                entries[module] = list(names)
            else:
                entry.extend(n for n in names if n not in entry)

    result.record = {
        "description": _docstring(tree),
        "functions": functions,
        "classes": classes,
        "variables": variables,
        "internal_graph": internal_graph,
        "imports": [{"module": m, "names": n} for m, n in entries.items()],
    }
    result.defined = sorted(def_names | variable_names)
    refs = dict.fromkeys(c[2] for c in all_calls)
    refs.update(dict.fromkeys(decorator_refs))
    result.refs = list(refs)
    result.bases = list(dict.fromkeys(base_refs))
    return result


def summarize_file(task: tuple) -> FileResult:
    """Worker entry: (relative path, absolute path) -> FileResult.

    Never raises for a bad file: read, decode and parse errors are reported
    in `FileResult.error`.
    """
    rel, abspath = task
    try:
        with open(abspath, "rb") as f:
            raw = f.read()
    except OSError as exc:
        return FileResult(rel, error=f"cannot read: {exc.strerror or exc}")
    try:
        text, view = decode_source(raw)
    except (UnicodeDecodeError, SyntaxError, LookupError) as exc:
        return FileResult(rel, error=f"cannot decode: {exc}")
    try:
        return encode_result(summarize_text(rel, text, view))
    except SyntaxError as exc:
        where = f" (line {exc.lineno})" if exc.lineno else ""
        return FileResult(rel, error=f"{exc.msg}{where}")
    except (ValueError, RecursionError, MemoryError) as exc:
        return FileResult(rel, error=f"{type(exc).__name__}: {exc}")
    except Exception as exc:  # one odd file must not end the whole run
        return FileResult(rel, error=f"cannot summarise: {type(exc).__name__}: {exc}")
