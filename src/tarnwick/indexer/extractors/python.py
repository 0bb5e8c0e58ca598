"""Python files, read with the standard library's `ast` (exact, and faster
than a generic grammar for this language).

One parse and one walk of the syntax tree per file: the module-scope pass
finds what the file defines, then each function and class is summarised,
then the module's own calls, variables and imports.
"""

from __future__ import annotations

import ast
import builtins
import re
import tokenize
from io import BytesIO

from ..references import PythonBinding, PythonImport, PythonStar
from ..result import FileResult

try:
    from ..._syntax import NodeScanner
except ImportError:  # run from the sources, not built: the walk in Python
    NodeScanner = None

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
_keyword = ast.keyword
_Constant = ast.Constant
# A string constant that names something: a header, a method, a key
# ("Authorization", "POST", "content-type"), not a message.
_NAME_LIKE = re.compile(r"[A-Za-z][\w\-]{1,39}").fullmatch
_FUNC_TYPES = (ast.FunctionDef, ast.AsyncFunctionDef)
_BLOCK_TYPES = (ast.If, ast.Try, ast.With)
_DEF_TYPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)


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
# Nodes whose fields hold text or constants, or that the walk handles itself.
# A field learned from None is walked into: `case None:` must not teach the
# walk to descend into the True of a later `case True:`.
_LEAVES = (ast.Constant, ast.MatchSingleton, ast.Global, ast.Nonlocal, ast.alias, ast.Import, ast.ImportFrom)
_CHILDREN.update(dict.fromkeys(_LEAVES, _NO_CHILDREN))
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

    __slots__ = ("calls", "loads", "stores", "globals", "imports", "defs", "words")

    def __init__(self):
        self.calls = []  # (line, col, dotted name) at the end of the callee
        self.loads = set()
        self.stores = set()
        self.globals = set()
        self.imports = []
        self.defs = set()  # names of functions and classes defined inside
        self.words = set()  # attribute names, keyword arguments, name-like strings


def reference_scan(roots, acc: _Scan) -> None:
    """Walk every node under `roots` once, filling `acc`: what
    `NodeScanner.scan` does, in Python."""
    stack = list(roots)
    pop = stack.pop
    push = stack.append
    extend = stack.extend
    calls = acc.calls
    words = acc.words
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
        elif kind is _Attribute:
            words.add(node.attr)
        elif kind is _keyword:
            if node.arg:
                words.add(node.arg)
        elif kind is _Constant:
            value = node.value
            if type(value) is str and _NAME_LIKE(value):
                words.add(value)
            continue
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


# The same walk in C++ (the calls found in the same order), a third of the
# extractor's time in Python.
_scan = NodeScanner(ast, _CHILDREN, _learn, _NAME_LIKE).scan if NodeScanner is not None else reference_scan


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


def _search_text(node, scan: _Scan, doc: str, reads=()) -> tuple:
    """What a function's search document holds besides its name: parameter
    names, the docstring's first line, and what its body names: attributes,
    keyword arguments, callees, the functions and classes it defines and
    the module's variables it ``reads``."""
    args = node.args
    params = [a.arg for a in (*args.posonlyargs, *args.args, *args.kwonlyargs) if a.arg not in ("self", "cls")]
    for a in (args.vararg, args.kwarg):
        if a is not None:
            params.append(a.arg)
    body = scan.words.union(part for call in scan.calls for part in call[2].split("."))
    body.difference_update(("self", "cls"))
    body.update(scan.defs, reads)
    return params, doc, sorted(body)


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



class _ModuleScope:
    """Pass 1, over module-scope statements only: which names live here."""

    def __init__(self, body):
        self.defs = []  # FunctionDef/ClassDef nodes kept, in source order
        self.def_names = set()
        self._def_index = {}  # name -> its position in `defs`
        self.variable_order = []
        self.variable_names = set()
        self.imported_names = set()
        self.other = []  # module-scope statements scanned for calls and imports
        for stmt, is_block in _module_statements(body):
            if is_block:
                self._block_header(stmt)
                continue
            kind = type(stmt)
            if kind in _FUNC_TYPES or kind is ast.ClassDef:
                self._definition(stmt)
            elif kind is _Import or kind is _ImportFrom:
                for alias in stmt.names:
                    if alias.name != "*":
                        self.imported_names.add((alias.asname or alias.name).split(".")[0])
                self.other.append(stmt)
            else:
                if kind is ast.Assign or kind is ast.AnnAssign:
                    self._assignment(stmt)
                self.other.append(stmt)

    def _block_header(self, stmt) -> None:
        # Only the header of a block (test, items, handler types).
        kind = type(stmt)
        if kind is ast.If:
            self.other.append(stmt.test)
        elif kind is ast.With:
            self.other.extend(stmt.items)
        else:
            self.other.extend(h.type for h in stmt.handlers)

    def _definition(self, stmt) -> None:
        name = stmt.name
        if name in self.def_names:
            # A second definition replaces the first only when the first
            # was a typing overload stub.
            i = self._def_index[name]
            prior = self.defs[i]
            if type(prior) is not ast.ClassDef and _is_overload(prior):
                self.defs[i] = stmt
            else:
                self.other.append(stmt)
            return
        self.def_names.add(name)
        self._def_index[name] = len(self.defs)
        self.defs.append(stmt)

    def _assignment(self, stmt) -> None:
        names = []
        for target in stmt.targets if type(stmt) is ast.Assign else (stmt.target,):
            _target_names(target, names)
        for name in names:
            if name not in self.variable_names:
                self.variable_names.add(name)
                self.variable_order.append(name)

    @property
    def known_names(self) -> set:
        # Asked once per function: made once (the scope is complete by then).
        known = self.__dict__.get("_known")
        if known is None:
            known = self._known = self.def_names | self.imported_names | self.variable_names
        return known


class _PythonFile:
    """Steps of summarising one parsed module."""

    def __init__(self, path: str, text: str, view: str):
        self.result = FileResult(path)
        self.tree = ast.parse(text, filename=path)
        has_breaks = _EXTRA_BREAKS.search(view) is not None
        self.linemap = LineMap(view) if has_breaks else None
        text_breaks = has_breaks if view is text else _EXTRA_BREAKS.search(text) is not None
        self.src = _Source(text, text_breaks)
        self.scope = _ModuleScope(self.tree.body)
        self.module_scan = _Scan()
        self.functions = {}
        self.classes = {}
        self.uses = {}  # user (function or Class.method) -> names it reads
        self.internal_graph = []
        self.all_calls = []
        self.base_refs = []
        self.decorator_refs = []

    def span(self, node) -> list:
        first = node.lineno
        if node.decorator_list:
            # Key Code starts at the first decorator so it shows them.
            first = min(first, min(d.lineno for d in node.decorator_list))
        if self.linemap is None:
            return [first - 1, node.end_lineno - 1]
        return [self.linemap.first(first), self.linemap.last(node.end_lineno)]

    def decorators_of(self, node) -> list:
        out = []
        for d in node.decorator_list:
            out.append("@" + self.src.text(d))
            name = dotted_name(d)
            if name is not None:
                self.decorator_refs.append(name)
        # Decorator arguments, defaults and annotations run at definition
        # time: they belong to the module's own calls.
        _scan(node.decorator_list, self.module_scan)
        return out

    def body_scan(self, node) -> _Scan:
        scan = _Scan()
        _scan(node.body, scan)
        args = node.args
        # Defaults run at definition time (their calls are the module's),
        # but the names they read are part of the function's behaviour.
        defaults = _Scan()
        _scan(args.defaults + args.kw_defaults, defaults)
        self.module_scan.calls.extend(defaults.calls)
        scan.loads.update(defaults.loads)
        for a in args.posonlyargs + args.args + args.kwonlyargs:
            scan.stores.add(a.arg)
        for a in (args.vararg, args.kwarg):
            if a is not None:
                scan.stores.add(a.arg)
        self.all_calls.extend(scan.calls)
        self.module_scan.imports.extend(scan.imports)
        return scan

    def reads(self, scan: _Scan) -> set:
        variables = self.scope.variable_names
        return {n for n in scan.loads if n in variables and (n not in scan.stores or n in scan.globals)} | (
            scan.globals & variables
        )

    def add_class(self, node) -> None:
        name = node.name
        lines = self.span(node)
        src = self.src
        methods = []
        seen_methods = set()
        method_symbols = []
        class_body = []
        bases = []
        for b in node.bases:
            bases.append(src.text(b))
            ref = dotted_name(b)
            if ref is not None:
                self.base_refs.append(ref)
        for kw in node.keywords:
            bases.append(f"{kw.arg}={src.text(kw.value)}" if kw.arg else "**" + src.text(kw.value))
        self.decorators_of(node)
        _scan(node.bases, self.module_scan)
        _scan(node.keywords, self.module_scan)
        for stmt in node.body:
            if type(stmt) in _FUNC_TYPES:
                self.decorators_of(stmt)
                scan = self.body_scan(stmt)
                qual = f"{name}.{stmt.name}"
                reads = self.reads(scan)
                self.uses.setdefault(qual, set()).update(reads)
                if stmt.name not in seen_methods:
                    seen_methods.add(stmt.name)
                    methods.append(stmt.name)
                    method_symbols.append((qual, "method", *self.span(stmt)))
                    self.result.symbol_text[qual] = _search_text(stmt, scan, _docstring(stmt), reads)
            else:
                class_body.append(stmt)
        _scan(class_body, self.module_scan)
        self.classes[name] = {
            "bases": bases,
            "methods": methods,
            "lines": lines,
            "description": _docstring(node),
        }
        self.result.symbols.append((name, "class", lines[0], lines[1]))
        self.result.symbols.extend(method_symbols)
        bases = [ref.rpartition(".")[2] for ref in map(dotted_name, node.bases) if ref]
        self.result.symbol_text[name] = ((), self.classes[name]["description"], bases)

    def add_function(self, node) -> None:
        name = node.name
        lines = self.span(node)
        decorators = self.decorators_of(node)
        scan = self.body_scan(node)
        self.uses[name] = self.reads(scan)
        internal, external = self.split_calls(scan)
        self.internal_graph.extend({"from": name, "to": callee, "rel": "calls"} for callee in internal)
        self.functions[name] = {
            "params": _param_list(node.args, self.src),
            "returns": self.src.text(node.returns) if node.returns is not None else "",
            "async": type(node) is ast.AsyncFunctionDef,
            "calls_internal": internal,
            "calls_external": external,
            "decorators": decorators,
            "lines": lines,
            "description": _docstring(node),
        }
        self.result.symbols.append((name, "function", lines[0], lines[1]))
        self.result.symbol_text[name] = _search_text(node, scan, self.functions[name]["description"], self.uses[name])

    def split_calls(self, scan: _Scan) -> tuple:
        """A function's callees: (same-file definitions, everything else
        except builtins and helpers nested inside it)."""
        internal = []
        external = []
        def_names = self.scope.def_names
        known_names = self.scope.known_names
        for callee in _ordered_calls(scan.calls):
            if callee in scan.defs:
                continue
            if callee in def_names:
                internal.append(callee)
            elif "." in callee or callee in known_names or callee not in _BUILTIN_NAMES:
                external.append(callee)
        return internal, external

    def variables(self) -> list:
        scope = self.scope
        users = {}  # variable -> the functions and methods that read it, in order
        for user, names in self.uses.items():
            for name in names:
                users.setdefault(name, []).append(user)
        out = []
        for var in scope.variable_order:
            if var in scope.def_names or var in scope.imported_names or (var.startswith("__") and var.endswith("__")):
                continue
            out.append({"name": var, "used_by": users.get(var, [])})
        return out

    def imports(self) -> list:
        """Import entries in source order, one per module, names merged; also
        fills the result's bindings, star imports and import list."""
        result = self.result
        bindings = result.bindings
        entries = {}
        listed = {}  # module -> the names of its entry, as a set
        for node in sorted(self.module_scan.imports, key=lambda n: (n.lineno, n.col_offset)):
            if type(node) is _ImportFrom:
                level, module = node.level, node.module or ""
                if module == "__future__":
                    continue
                for alias in node.names:
                    if alias.name == "*":
                        result.star.append(PythonStar(level, module))
                    else:
                        bindings.setdefault(alias.asname or alias.name, PythonBinding(level, module, alias.name))
                result.imports.append(PythonImport(level, module, [a.name for a in node.names]))
            else:
                for alias in node.names:
                    if alias.asname:
                        bindings.setdefault(alias.asname, PythonBinding(0, alias.name, None))
                    else:
                        head = alias.name.split(".")[0]
                        bindings.setdefault(head, PythonBinding(0, head, None))
                    result.imports.append(PythonImport(0, alias.name, []))
            for module, names in _import_entry(node):
                entry = entries.get(module)
                if entry is None:
                    entries[module] = list(names)
                    listed[module] = set(names)
                else:
                    seen = listed[module]
                    for n in names:
                        if n not in seen:
                            seen.add(n)
                            entry.append(n)
        return [{"module": m, "names": n} for m, n in entries.items()]

    def run(self) -> FileResult:
        for node in self.scope.defs:
            if type(node) is ast.ClassDef:
                self.add_class(node)
            else:
                self.add_function(node)
        _scan(self.scope.other, self.module_scan)
        self.all_calls.extend(self.module_scan.calls)
        result = self.result
        result.record = {
            "description": _docstring(self.tree),
            "functions": self.functions,
            "classes": self.classes,
            "variables": self.variables(),
            "internal_graph": self.internal_graph,
            "imports": self.imports(),
        }
        result.defined = sorted(self.scope.def_names | self.scope.variable_names)
        refs = dict.fromkeys(c[2] for c in self.all_calls)
        refs.update(dict.fromkeys(self.decorator_refs))
        result.refs = list(refs)
        result.bases = list(dict.fromkeys(self.base_refs))
        return result


def summarize_text(path: str, text: str, view: str | None = None) -> FileResult:
    """Summarise one decoded source text.

    `view` is the text as the packer will read it (UTF-8, undecodable bytes
    dropped); it defaults to `text` and only matters for line numbers.
    """
    return _PythonFile(path, text, text if view is None else view).run()


def summarize(result: FileResult, raw: bytes, grammar: str = "python") -> FileResult:
    """Extractor entry: decode (UTF-8 or the coding cookie) and summarise.
    A file that does not decode or parse comes back with its error set."""
    try:
        text, view = decode_source(raw)
    except (UnicodeDecodeError, SyntaxError, LookupError) as exc:
        result.error = f"cannot decode: {exc}"
        return result
    try:
        return summarize_text(result.path, text, view)
    except SyntaxError as exc:
        where = f" (line {exc.lineno})" if exc.lineno else ""
        result.error = f"{exc.msg}{where}"
        return result
