"""What the tree-sitter extractors share: grammars, line numbers, comments,
and the per-file record they fill in.

Line numbers follow the packer's coordinates: 0-based indexes into the
file's `str.splitlines()` lines.  Tree-sitter counts rows at "\\n" only, so
files holding any other line end that `splitlines` honours get a table of
line starts instead.
"""

from __future__ import annotations

import importlib
import re
from bisect import bisect_right

# Grammar name -> (module, function returning the language, PyPI package).
GRAMMARS = {
    "typescript": ("tree_sitter_typescript", "language_typescript", "tree-sitter-typescript"),
    "tsx": ("tree_sitter_typescript", "language_tsx", "tree-sitter-typescript"),
    "javascript": ("tree_sitter_javascript", "language", "tree-sitter-javascript"),
    "go": ("tree_sitter_go", "language", "tree-sitter-go"),
    "java": ("tree_sitter_java", "language", "tree-sitter-java"),
    "rust": ("tree_sitter_rust", "language", "tree-sitter-rust"),
}


class GrammarMissing(ImportError):
    """A parser package is not installed; `package` is the one to install."""

    def __init__(self, package: str):
        super().__init__(f"{package} is not installed")
        self.package = package


_languages: dict = {}
_parsers: dict = {}
_queries: dict = {}


def language(grammar: str):
    lang = _languages.get(grammar)
    if lang is None:
        module, func, package = GRAMMARS[grammar]
        try:
            import tree_sitter
        except ImportError:
            raise GrammarMissing("tree-sitter") from None
        try:
            lang = tree_sitter.Language(getattr(importlib.import_module(module), func)())
        except ImportError:
            raise GrammarMissing(package) from None
        _languages[grammar] = lang
    return lang


def missing_package(grammar: str) -> str | None:
    """The package to install before files of `grammar` can be read, or None."""
    try:
        language(grammar)
    except GrammarMissing as exc:
        return exc.package
    return None


def parse(grammar: str, data: bytes):
    parser = _parsers.get(grammar)
    if parser is None:
        import tree_sitter

        parser = _parsers[grammar] = tree_sitter.Parser(language(grammar))
    return parser.parse(data)


def parse_part(grammar: str, data: bytes, node, skip: int = 1):
    """The tree of the text inside `node` (less `skip` one-byte delimiters
    at each end) parsed on its own, in the coordinates of the whole file:
    a macro body read as code."""
    import tree_sitter

    key = (grammar, "part")
    parser = _parsers.get(key)
    if parser is None:
        parser = _parsers[key] = tree_sitter.Parser(language(grammar))
    (start_row, start_col), (end_row, end_col) = node.start_point, node.end_point
    parser.included_ranges = [
        tree_sitter.Range((start_row, start_col + skip), (end_row, end_col - skip), node.start_byte + skip, node.end_byte - skip)
    ]
    return parser.parse(data)


def _document_order(node) -> tuple:
    # Outer before inner where two start together (`a().b()`: the whole callee first).
    return node.start_byte, -node.end_byte, node.type


# Queries match only this deep in a tree: tree-sitter's query cursor slows
# down by orders of magnitude on deeper trees (a method chain of 40,000 links
# is twice as deep).  Code this deep is generated; `too_deep` marks its file
# as read in part.
MAX_QUERY_DEPTH = 10_000


def captures(grammar: str, source: str, node, byte_range: tuple | None = None) -> dict:
    """Captures of a query (compiled once per process) under `node`, each
    name's nodes in document order.

    The binding's own order of a capture list varies from process to process
    (it is not the order of the source), and the records list imports and
    calls in the order met: sorting keeps the index the same on every run.
    """
    import tree_sitter

    key = (grammar, source)
    query = _queries.get(key)
    if query is None:
        query = _queries[key] = tree_sitter.Query(language(grammar), source)
    cursor = tree_sitter.QueryCursor(query)
    cursor.set_max_start_depth(MAX_QUERY_DEPTH)
    if byte_range is not None:  # nodes that reach into the range
        cursor.set_byte_range(*byte_range)
    found = cursor.captures(node)
    return {name: sorted(nodes, key=_document_order) for name, nodes in found.items()}


def too_deep(root, limit: int = MAX_QUERY_DEPTH) -> bool:
    """Whether any node lies deeper than `limit` below `root`.

    A subtree of n nodes is at most n deep, so only subtrees big enough to
    reach the limit are entered: a normal file costs a look at the children
    of its largest nodes, never a walk of the whole tree.
    """
    stack = [(root, 0)]
    while stack:
        node, depth = stack.pop()
        if depth > limit:
            return True
        for child in node.children:
            if depth + child.descendant_count > limit:
                stack.append((child, depth + 1))
    return False


# ---------------------------------------------------------------------------
# Line numbers

# Every line end of `str.splitlines`, as UTF-8 bytes.
_BREAKS = re.compile(rb"\r\n|[\n\r\x0b\x0c\x1c\x1d\x1e]|\xc2\x85|\xe2\x80[\xa8\xa9]")
# Those that tree-sitter does not count as a row end, and a quick test for
# bytes that may be part of one (a character class scans much faster).
_ODD_BREAKS = re.compile(rb"\r(?!\n)|[\x0b\x0c\x1c\x1d\x1e]|\xc2\x85|\xe2\x80[\xa8\xa9]")
_MAYBE_ODD = re.compile(rb"[\r\x0b\x0c\x1c\x1d\x1e\x85\xa8\xa9]")


class Lines:
    """0-based `splitlines` line indexes of syntax nodes."""

    __slots__ = ("starts",)

    def __init__(self, data: bytes):
        self.starts = None
        if _MAYBE_ODD.search(data) is not None and _ODD_BREAKS.search(data) is not None:
            self.starts = [0]
            self.starts.extend(m.end() for m in _BREAKS.finditer(data))

    def first(self, node) -> int:
        if self.starts is None:
            return node.start_point[0]
        return bisect_right(self.starts, node.start_byte) - 1

    def last(self, node) -> int:
        """The line of the node's last character."""
        if self.starts is None:
            row, column = node.end_point
            return row - 1 if column == 0 and row > node.start_point[0] else row
        return bisect_right(self.starts, max(node.start_byte, node.end_byte - 1)) - 1

    def span(self, first_node, last_node=None) -> list:
        return [self.first(first_node), self.last(last_node if last_node is not None else first_node)]


# ---------------------------------------------------------------------------
# Text

_SPACE = re.compile(r"\s+")
_WORD = re.compile(rb"[A-Za-z_$\x80-\xff][\w$\x80-\xff]*")
_NAME = re.compile(r"[A-Za-z_$][\w$]*")


def param_names(params, typed_after_name: bool) -> list:
    """The names a parameter list binds, for search: "tasks: Task[]" and
    "{ a, b }: Props" (TypeScript) or "ctx context.Context" (Go)."""
    out = []
    for written in params:
        if typed_after_name:  # Go: "name type"; a lone type binds nothing
            head, _, rest = written.partition(" ")
            if rest and _NAME.fullmatch(head):
                out.append(head)
            continue
        head = re.split(r"[:=]", written, maxsplit=1)[0]
        out.extend(n for n in _NAME.findall(head) if n not in ("this", "readonly", "private", "public", "protected"))
    return out


def text(node) -> str:
    return node.text.decode("utf-8", "replace")


def flat(node) -> str:
    """The node's text on one line, runs of blanks as one space."""
    return _SPACE.sub(" ", text(node)).strip()


_DOTTED = re.compile(r"[A-Za-z_$][\w$]*(?:\.[A-Za-z_$#][\w$]*)*")


def is_dotted(value: str) -> bool:
    return _DOTTED.fullmatch(value) is not None


# Longer callee texts name nothing worth a reference; the cap also keeps a
# long method chain (each link's callee holds all links before it) linear.
MAX_DOTTED_BYTES = 256


def dotted(node) -> str | None:
    """"a.b.c" for an identifier or a chain of plain member accesses."""
    if node.end_byte - node.start_byte > MAX_DOTTED_BYTES:
        return None
    raw = _SPACE.sub("", text(node)).replace("?.", ".")
    return raw if _DOTTED.fullmatch(raw) else None


# ---------------------------------------------------------------------------
# Comments

_BLOCK_MARKS = re.compile(r"^\s*(/\*+|\*+/?|//+!?|#)\s?")


def comment_lines(comment: str) -> list:
    """The text lines of a comment without its markers."""
    body = comment
    if body.startswith("/*"):
        body = body[2:]
        if body.endswith("*/"):
            body = body[:-2]
        out = []
        for line in body.splitlines():
            line = line.strip()
            if line.startswith("*"):
                line = line.lstrip("*").strip()
            out.append(line)
        return out
    return [_BLOCK_MARKS.sub("", line, count=1).strip() for line in body.splitlines()]


def first_sentence_line(lines) -> str:
    """The first line of prose: blank lines and "@tag" lines are passed over."""
    for line in lines:
        if line and not line.startswith("@"):
            return line
        if line.startswith("@") and not line.startswith(("@param", "@return", "@type", "@template", "@throws")):
            # "@file Helpers for ..." and the like carry the description.
            rest = line.split(None, 1)
            if len(rest) == 2 and rest[0] in ("@file", "@fileoverview", "@overview", "@module", "@description"):
                return rest[1].strip()
    return ""


# Comment node types of the grammars.
COMMENTS = frozenset(("comment", "line_comment", "block_comment"))


def leading_comments(node) -> list:
    """The comments directly above `node` (no blank line between), top first.

    A comment that ends a line of code ("x = 1  // note") belongs to that
    code, and stops the search.
    """
    out = []
    row = node.start_point[0]
    prev = node.prev_sibling
    while prev is not None and prev.type in COMMENTS and prev.end_point[0] >= row - 1:
        before = prev.prev_sibling
        if before is not None and before.type not in COMMENTS and before.end_point[0] == prev.start_point[0]:
            break
        out.append(prev)
        row = prev.start_point[0]
        prev = before
    out.reverse()
    return out


def doc_of(node) -> str:
    """First line of the doc comment directly above `node`."""
    comments = leading_comments(node)
    if not comments:
        return ""
    lines = []
    for c in comments:
        lines.extend(comment_lines(text(c)))
    return first_sentence_line(lines)


# ---------------------------------------------------------------------------
# Records


class FileReader:
    """Base of an extractor's per-file state: the source, its line numbers,
    the record being filled, and methods met before their type."""

    def __init__(self, result, data: bytes):
        self.result = result
        self.data = data
        self.lines = Lines(data)
        self.summary = Summary(result)
        # (type name, method name, lines, body, parameter names, description)
        self.methods = []

    def add_methods(self) -> None:
        """List the collected methods, under their type when the file
        declares it."""
        summary = self.summary
        for owner, name, lines, body, params, description in self.methods:
            summary.add_method(owner, summary.classes.get(owner), name, lines, body, params, description)

    def note_calls(self, nodes, name_of) -> None:
        for node in nodes:
            name = name_of(node)
            if name is not None:
                self.summary.note_call(node, name)


class Owners:
    """Maps a byte offset to the innermost function or method whose body
    holds it (bodies nest: a function declared inside another)."""

    __slots__ = ("starts", "ends", "keys", "_sorted")

    def __init__(self):
        self.starts = []
        self.ends = []
        self.keys = []  # in the order added: source order
        self._sorted = None

    def add(self, node, key) -> None:
        self.starts.append(node.start_byte)
        self.ends.append(node.end_byte)
        self.keys.append(key)

    def owner(self, offset: int):
        table = self._sorted
        if table is None:
            # Outer bodies first when two start together; `enclosing[i]` is
            # the body around body i (or -1), so a lookup climbs at most the
            # nesting depth.
            order = sorted(range(len(self.starts)), key=lambda i: (self.starts[i], -self.ends[i]))
            starts = [self.starts[i] for i in order]
            ends = [self.ends[i] for i in order]
            enclosing = []
            open_ = []
            for i, (start, end) in enumerate(zip(starts, ends)):
                while open_ and ends[open_[-1]] <= start:
                    open_.pop()
                enclosing.append(open_[-1] if open_ else -1)
                open_.append(i)
            table = self._sorted = (starts, ends, [self.keys[i] for i in order], enclosing)
        starts, ends, keys, enclosing = table
        i = bisect_right(starts, offset) - 1
        while i >= 0 and offset >= ends[i]:
            i = enclosing[i]
        return keys[i] if i >= 0 else None


def ordered_unique(items) -> list:
    return list(dict.fromkeys(items))


class Summary:
    """One file's summary record and symbols, filled by an extractor."""

    def __init__(self, result):
        self.result = result
        self.description = ""
        self.functions = {}
        self.classes = {}
        self.variables = []  # names, in source order
        self.imports = {}  # module as written -> [names]
        self.owners = Owners()
        self.calls = {}  # owner key -> [(offset, dotted name)]
        self.reads = {}  # owner key -> set of identifiers read
        self.module_calls = []
        self.names = set()  # every top-level name defined here
        # symbol -> (parameter names, description) for its search document
        self.texts = {}
        self._method_names = {}  # id of a type's record -> its method names
        self._methods = set()  # "Type.method" of every method listed
        self._function_symbol = {}  # function name -> index in result.symbols
        self.enclosing = {}  # inner function symbol -> the function around it

    def claim(self, name: str) -> bool:
        """Reserve a top-level name; False when it is already taken."""
        if not name or name in self.names:
            return False
        self.names.add(name)
        return True

    def add_import(self, module: str, names) -> None:
        entry = self.imports.setdefault(module, [])
        entry.extend(n for n in names if n not in entry)

    def add_function(self, name, lines, params, returns="", is_async=False, decorators=(), description="", body=None, names=()):
        self.functions[name] = {
            "params": params,
            "returns": returns,
            "async": is_async,
            "calls_internal": [],
            "calls_external": [],
            "decorators": list(decorators),
            "lines": lines,
            "description": description,
        }
        self._function_symbol[name] = len(self.result.symbols)
        self.result.symbols.append((name, "function", lines[0], lines[1]))
        self.texts[name] = (list(names), description)
        if body is not None:
            self.owners.add(body, name)

    def drop_function(self, name: str) -> None:
        """Forget a function recorded from its signature alone (its symbol
        slot is emptied now and swept by `finish`)."""
        del self.functions[name]
        self.result.symbols[self._function_symbol.pop(name)] = None

    def add_class(self, name, kind, lines, bases, description="") -> dict:
        info = {"bases": bases, "methods": [], "lines": lines, "description": description}
        self.classes[name] = info
        self.result.symbols.append((name, kind, lines[0], lines[1]))
        return info

    def add_method(self, owner: str, info: dict | None, name: str, lines, body=None, names=(), description="") -> None:
        qual = f"{owner}.{name}"
        if info is not None:
            listed = self._method_names.setdefault(id(info), set())
            if name in listed:
                return
            listed.add(name)
            info["methods"].append(name)
        elif qual in self._methods:
            return  # assigned twice (`Foo.prototype.bar = ...` again): the first counts
        self._methods.add(qual)
        self.result.symbols.append((qual, "method", lines[0], lines[1]))
        self.texts[qual] = (list(names), description)
        if body is not None:
            self.owners.add(body, qual)

    def add_symbol(self, name, kind, lines) -> None:
        self.result.symbols.append((name, kind, lines[0], lines[1]))

    def add_inner(self, outer: str, name: str, lines, body, names=(), description="") -> str | None:
        """A function declared inside function `outer`: the symbol
        "outer.name", not one of the record's functions (what it calls
        still counts as called by `outer`).  None when the name is taken."""
        qual = f"{outer}.{name}"
        if qual in self.texts or qual in self.names:
            return None
        self.result.symbols.append((qual, "function", lines[0], lines[1]))
        self.texts[qual] = (list(names), description)
        self.enclosing[qual] = outer
        self.owners.add(body, qual)
        return qual

    def note_call(self, node, name: str) -> None:
        key = self.owners.owner(node.start_byte)
        if key is None:
            self.module_calls.append((node.end_byte, name))
            return
        entry = (node.end_byte, name)
        self.calls.setdefault(key, []).append(entry)
        key = self.enclosing.get(key)
        while key is not None:
            self.calls.setdefault(key, []).append(entry)
            key = self.enclosing.get(key)

    def note_reads(self, data: bytes) -> None:
        """Which functions mention each top-level variable: a word match in
        the body's text (no scope analysis, so a local of the same name or a
        mention in a comment counts too)."""
        wanted = {v.encode("utf-8") for v in self.variables}
        if not wanted:
            return
        owners = self.owners
        for start, end, key in zip(owners.starts, owners.ends, owners.keys):
            found = wanted.intersection(_WORD.findall(data, start, end))
            if found:
                self.reads.setdefault(key, set()).update(w.decode("utf-8") for w in found)

    def finish(self, builtins: frozenset, data: bytes) -> dict:
        """The summary record of the file's source `data`; also fills the
        result's `refs` and `defined`."""
        self.note_reads(data)
        internal_graph = []
        defined = set(self.functions) | set(self.classes)
        all_calls = list(self.module_calls)
        for calls in self.calls.values():
            all_calls.extend(calls)
        for name, info in self.functions.items():
            internal = []
            external = []
            for callee in ordered_unique(c for _, c in sorted(self.calls.get(name, ()))):
                if callee in defined:
                    internal.append(callee)
                elif "." in callee or callee in self.names or callee not in builtins:
                    external.append(callee)
            info["calls_internal"] = internal
            info["calls_external"] = external
            internal_graph.extend({"from": name, "to": callee, "rel": "calls"} for callee in internal)
        order = {key: i for i, key in enumerate(self.owners.keys)}
        users_of = {}
        for user in sorted(self.reads, key=order.get):
            for var in self.reads[user]:
                users_of.setdefault(var, []).append(user)
        variables = [{"name": var, "used_by": users_of.get(var, [])} for var in self.variables]
        if None in self.result.symbols:
            self.result.symbols[:] = [s for s in self.result.symbols if s is not None]
        all_calls.sort()
        self.result.refs = ordered_unique(c for _, c in all_calls)
        self.result.defined = sorted(self.names - set(self.result.bindings))
        symbol_text = self.result.symbol_text
        for key, (names, description) in self.texts.items():
            called = {callee.rpartition(".")[2] for _, callee in self.calls.get(key, ())}
            symbol_text[key] = (names, description, sorted(called))
        for name, info in self.classes.items():
            symbol_text[name] = ((), info["description"], [b.split("<", 1)[0].rpartition(".")[2] for b in info["bases"]])
        return {
            "description": self.description,
            "functions": self.functions,
            "classes": self.classes,
            "variables": variables,
            "internal_graph": internal_graph,
            "imports": [{"module": m, "names": n} for m, n in self.imports.items()],
        }
