"""TypeScript and JavaScript (ES modules, CommonJS, JSX/TSX) files.

Functions are top-level function declarations and top-level variables bound
to an arrow function or function expression (the usual form of a React
component), also when a call or a condition wraps it, plus the CommonJS
forms `exports.name = function ...` and `module.exports = function ...`.
Functions attached to an object are methods named as the code names them:
`res.redirect = function ...` is "res.redirect", `Foo.prototype.bar` is
"Foo.bar", a member of `const traps = { get() {...} }` is "traps.get".
Classes, interfaces and their methods become classes; enums and type
aliases are symbols only.
Imports are ES `import`/`export ... from`, `require("...")` and `import()`.
"""

from __future__ import annotations

from ..references import JsBinding, JsImport
from .js_shapes import FUNCTION_VALUES, attached_property, object_arguments, function_members, function_name, inner_name, property_owner, wrapped_function, wrapper_bodies
from .treesitter import FileReader, captures, language, comment_lines, doc_of, dotted, first_sentence_line, flat, is_dotted, param_names, parse, text, too_deep

# Names that every script can call without defining or importing them.
GLOBALS = frozenset(
    "require import Array Boolean Date Error JSON Map Math Number Object Promise Proxy Reflect RegExp Set String "
    "Symbol TypeError RangeError WeakMap WeakSet BigInt parseInt parseFloat isNaN isFinite setTimeout clearTimeout "
    "setInterval clearInterval setImmediate queueMicrotask structuredClone fetch encodeURIComponent "
    "decodeURIComponent encodeURI decodeURI super".split()
)

_FUNCTION_VALUES = FUNCTION_VALUES
_FUNCTION_DECLS = frozenset(("function_declaration", "generator_function_declaration"))
_CLASS_DECLS = frozenset(("class_declaration", "abstract_class_declaration", "class"))
_OBJECT_DEPTH = 2  # `const api = { users: { list() {} } }`: "api.users.list"
# A function this long is a wrapper: the named functions inside it are
# symbols of their own ("outer.inner"), down to this many levels, when they
# are long enough to be worth one.
LARGE_FUNCTION_LINES = 100
_INNER_LEVELS = 2
_MIN_INNER_LINES = 3
# Wrappers around a module's code (`(function () {...})()`) read as the top level.
_WRAPPER_LEVELS = 3
_INNER_KINDS = (
    "function_declaration",
    "generator_function_declaration",
    "function_expression",
    "function",
    "arrow_function",
    "generator_function",
    "method_definition",
)

_CALLS = """
(call_expression function: (_) @call)
(new_expression constructor: (_) @call)
"""
# A capitalised JSX element is a component: using it is calling it.
_JSX = """
(jsx_opening_element name: (_) @call)
(jsx_self_closing_element name: (_) @call)
"""


def _string_value(node) -> str | None:
    if node is None or node.type not in ("string", "template_string"):
        return None
    value = text(node)
    if len(value) < 2 or "${" in value:
        return None
    return value[1:-1]


def _params(node) -> list:
    if node is None:
        return []
    if node.type != "formal_parameters":
        return [flat(node)]  # "x => ..." has one bare parameter
    return [flat(p) for p in node.named_children if p.type != "comment"]


def _returns(node) -> str:
    ret = node.child_by_field_name("return_type")
    if ret is None:
        return ""
    value = flat(ret)
    return value[1:].strip() if value.startswith(":") else value


def _is_async(node) -> bool:
    return any(c.type == "async" for c in node.children[:3])


class _File(FileReader):
    def __init__(self, result, data: bytes, grammar: str):
        super().__init__(result, data)
        self.grammar = grammar
        self.signatures = set()  # functions known so far by a signature only
        self.wrappers = 0  # module wrappers entered (`(function () {...})()`)
        self.values = True  # plain variables count (not inside a callback)

    # -- top level ------------------------------------------------------------

    def statement(self, stmt) -> None:
        kind = stmt.type
        if kind == "export_statement":
            self.export(stmt)
        elif kind == "import_statement":
            self.import_statement(stmt)
        elif kind == "expression_statement":
            self.expression(stmt)
        else:
            self.declaration(stmt, stmt)

    def declaration(self, decl, outer, default: bool = False) -> None:
        """A declaration; `outer` is the statement that holds it (an export
        wraps it), whose first line and doc comment count."""
        kind = decl.type
        if kind in _FUNCTION_DECLS or (default and kind in _FUNCTION_VALUES):
            name = self._name(decl) or ("default" if default else "")
            self.function(name, decl, outer, outer)
        elif kind in _CLASS_DECLS:
            self.class_(self._name(decl) or ("default" if default else ""), decl, outer)
        elif kind == "interface_declaration":
            self.interface(decl, outer)
        elif kind in ("lexical_declaration", "variable_declaration"):
            self.variables(decl, outer)
        elif kind == "enum_declaration":
            name = self._name(decl)
            if self.summary.claim(name):
                self.summary.add_symbol(name, "enum", self.lines.span(outer))
        elif kind == "type_alias_declaration":
            name = self._name(decl)
            if self.summary.claim(name):
                self.summary.add_symbol(name, "type", self.lines.span(outer))
        elif kind == "function_signature":
            # An overload or a `declare function`: stands for the function
            # until an implementation of the same name comes.
            name = self._name(decl)
            if name not in self.summary.names:
                self.function(name, decl, outer, outer)
                self.signatures.add(name)
        elif kind == "ambient_declaration":
            inner = next((c for c in decl.named_children if c.type != "comment"), None)
            if inner is not None:
                self.declaration(inner, outer)
        elif kind == "internal_module":
            self.namespace(decl, "")
        elif default:
            func = wrapped_function(decl)  # `export default supported && function f() {...}`
            if func is not None:
                self.function(function_name(func) or "default", func, outer, outer)

    @staticmethod
    def _name(node) -> str:
        name = node.child_by_field_name("name")
        return text(name) if name is not None else ""

    def export(self, stmt) -> None:
        source = _string_value(stmt.child_by_field_name("source"))
        if source is not None:
            # Re-exports: `export * from "m"`, `export { a as b } from "m"`.
            names = []
            clause = next((c for c in stmt.named_children if c.type == "export_clause"), None)
            if clause is None:
                self.result.star.append(source)
            else:
                for spec in clause.named_children:
                    if spec.type != "export_specifier":
                        continue
                    name = text(spec.child_by_field_name("name"))
                    alias = spec.child_by_field_name("alias")
                    names.append(name)
                    self.result.bindings.setdefault(text(alias) if alias is not None else name, JsBinding(source, name))
            self.summary.add_import(source, names)
            self.result.imports.append(JsImport(source, names))
            return
        decl = stmt.child_by_field_name("declaration")
        default = any(c.type == "default" for c in stmt.children)
        if decl is None:
            decl = stmt.child_by_field_name("value")
        if decl is not None:
            self.declaration(decl, stmt, default)

    def import_statement(self, stmt) -> None:
        source = _string_value(stmt.child_by_field_name("source"))
        if source is None:
            return
        names = []
        bindings = self.result.bindings
        clause = next((c for c in stmt.named_children if c.type == "import_clause"), None)
        for part in clause.named_children if clause is not None else ():
            if part.type == "identifier":  # default import
                names.append("default")
                bindings[text(part)] = JsBinding(source, "default")
                self.summary.names.add(text(part))
            elif part.type == "namespace_import":
                local = next((c for c in part.named_children if c.type == "identifier"), None)
                if local is not None:
                    names.append("*")
                    bindings[text(local)] = JsBinding(source, "*")
                    self.summary.names.add(text(local))
            elif part.type == "named_imports":
                for spec in part.named_children:
                    if spec.type != "import_specifier":
                        continue
                    name = text(spec.child_by_field_name("name"))
                    alias = spec.child_by_field_name("alias")
                    local = text(alias) if alias is not None else name
                    names.append(name)
                    bindings[local] = JsBinding(source, name)
                    self.summary.names.add(local)
        self.summary.add_import(source, names)
        self.result.imports.append(JsImport(source, names))

    def expression(self, stmt) -> None:
        expr = next((c for c in stmt.named_children if c.type != "comment"), None)
        if expr is None:
            return
        if expr.type == "assignment_expression":
            self.assignment(expr, stmt)
        elif expr.type == "internal_module":
            self.namespace(expr, "")
        else:
            while expr.type in ("unary_expression", "parenthesized_expression") and expr.named_child_count:
                expr = expr.named_children[-1]  # !function () {...}()
            if expr.type != "call_expression":
                return
            attached = attached_property(expr)
            if attached is not None:
                owner, name, func = attached
                self.property(owner, name, func, stmt)
            elif self.wrappers < _WRAPPER_LEVELS:
                self.wrapped_module(expr)

    def namespace(self, decl, outer: str, depth: int = 0) -> None:
        """`namespace A.B { export function f() {...} }`: its functions are
        "A.B.f", its classes "A.B.C" (namespaces nest a few levels)."""
        name_node, body = decl.child_by_field_name("name"), decl.child_by_field_name("body")
        if name_node is None or body is None or depth >= _WRAPPER_LEVELS:
            return
        name = text(name_node).replace(" ", "")
        name = f"{outer}.{name}" if outer else name
        for stmt in body.named_children:
            inner = stmt.child_by_field_name("declaration") if stmt.type == "export_statement" else stmt
            if inner is not None and inner.type in ("ambient_declaration", "expression_statement"):
                inner = next((c for c in inner.named_children if c.type != "comment"), None)
            kind = inner.type if inner is not None else ""
            if kind in _FUNCTION_DECLS or kind == "function_signature":
                self.method(name, self._name(inner), inner, stmt, stmt)
            elif kind in _CLASS_DECLS:
                self.class_(f"{name}.{self._name(inner)}", inner, stmt)
            elif kind == "internal_module":
                self.namespace(inner, name, depth + 1)
            elif kind in ("lexical_declaration", "variable_declaration"):
                for declarator in inner.named_children:
                    value = declarator.child_by_field_name("value") if declarator.type == "variable_declarator" else None
                    var = declarator.child_by_field_name("name") if value is not None else None
                    if var is not None and var.type == "identifier" and value.type in _FUNCTION_VALUES:
                        self.method(name, text(var), value, stmt if len(inner.named_children) == 1 else declarator, declarator)

    def wrapped_module(self, call) -> None:
        """Read the statements of a module wrapper as the top level: an
        immediately invoked function or its factory argument, or, outside
        any wrapper, a long callback (`define(...)`, `describe(...)`) whose
        own variables stay out of the record."""
        saved = self.values
        self.wrappers += 1
        try:
            for func, invoked in wrapper_bodies(call, anywhere=self.wrappers == 1):
                body = func.child_by_field_name("body")
                if body is None or body.type != "statement_block":
                    continue
                if not invoked and self.lines.last(func) - self.lines.first(func) + 1 < LARGE_FUNCTION_LINES:
                    continue
                self.values = saved and invoked
                for stmt in body.named_children:
                    if stmt.type not in ("comment", "ERROR"):
                        self.statement(stmt)
        finally:
            self.wrappers -= 1
            self.values = saved

    def assignment(self, expr, stmt) -> None:
        """`target = value` at the top level; in `a = b = value` the first
        target that is a property counts."""
        targets = [expr.child_by_field_name("left")]
        value = expr.child_by_field_name("right")
        while value is not None and value.type == "assignment_expression":
            targets.append(value.child_by_field_name("left"))
            value = value.child_by_field_name("right")
        left = next((t for t in targets if t is not None and t.type == "member_expression"), None)
        target = dotted(left) if left is not None and value is not None else None
        if target is None:
            return
        parts = target.split(".")
        if parts[0] == "this":
            return
        if target == "module.exports":
            if value.type in _CLASS_DECLS:
                self.class_(self._name(value) or "default", value, stmt)
            elif value.type == "object":
                self.object_methods("", value)
            else:
                func = value if value.type in _FUNCTION_VALUES else wrapped_function(value)
                if func is not None:
                    self.function(function_name(func) or "module.exports", func, stmt, stmt)
            return
        if value.type == "object":
            # exports.helpers = {...}; Foo.prototype = { bar() {...} }
            owner = property_owner(parts)
            if owner:
                self.object_methods(owner, value)
            return
        owner = property_owner(parts[:-1])
        if value.type in _CLASS_DECLS:
            if not owner:
                self.class_(parts[-1], value, stmt)
            return
        func = value if value.type in _FUNCTION_VALUES else wrapped_function(value)
        if func is not None:
            self.property(owner, parts[-1], func, stmt)

    def property(self, owner: str, name: str, func, stmt) -> None:
        """A function attached as property `name` of `owner` ("" for the
        module's exports, which makes it one of the module's functions)."""
        if owner:
            self.method(owner, name, func, stmt, stmt)
        else:
            self.function(name, func, stmt, stmt)

    def object_methods(self, owner: str, obj, depth: int = 0) -> None:
        """The functions written in an object literal: methods of `owner`,
        or the module's own functions when `owner` is "" (the object is
        `module.exports`)."""
        for first, last, func, name, extra in function_members(obj):
            if owner:
                self.method(owner, name, func, first, last, extra)
            else:
                self.function(name, func, first, first, last, extra)
        if depth + 1 < _OBJECT_DEPTH:
            for member in obj.named_children:
                value = member.child_by_field_name("value") if member.type == "pair" else None
                key = member.child_by_field_name("key") if value is not None else None
                if value is not None and value.type == "object" and key is not None and key.type == "property_identifier":
                    self.object_methods(f"{owner}.{text(key)}" if owner else text(key), value, depth + 1)

    def method(self, owner: str, name: str, func, first, last, extra=()) -> None:
        """A function attached to `owner` (a class of this file or any
        other object): the symbol "owner.name"."""
        params = _params(func.child_by_field_name("parameters") or func.child_by_field_name("parameter"))
        qual = f"{owner}.{name}"
        known = qual in self.summary.texts
        self.summary.add_method(
            owner,
            self.summary.classes.get(owner),
            name,
            [self.lines.first(first), self.lines.last(last)],
            func.child_by_field_name("body"),
            param_names(params, False),
            doc_of(first),
        )
        if not known:
            for body in extra:
                if body is not None:
                    self.summary.owners.add(body, qual)

    def variables(self, decl, outer) -> None:
        first = True
        for declarator in decl.named_children:
            if declarator.type != "variable_declarator":
                continue
            name_node = declarator.child_by_field_name("name")
            value = declarator.child_by_field_name("value")
            start = outer if first else declarator
            first = False
            if name_node is None:
                continue
            required = self._require(value)
            if required is not None:
                self.require_binding(name_node, required)
                continue
            if name_node.type == "identifier" and value is not None:
                if value.type in _FUNCTION_VALUES:
                    self.function(text(name_node), value, start, outer if start is outer else declarator)
                    continue
                if value.type in _CLASS_DECLS:
                    self.class_(text(name_node), value, start, start)
                    continue
                func = wrapped_function(value)  # memo(function Button() {...})
                if func is not None:
                    self.function(text(name_node), func, start, outer if start is outer else declarator, declarator)
                    continue
                if value.type == "object":
                    self.object_methods(text(name_node), value)
                for obj in object_arguments(value):
                    self.object_methods(text(name_node), obj)
            if not self.values:
                continue
            for name in self._pattern_names(name_node):
                if self.summary.claim(name):
                    self.summary.variables.append(name)

    @staticmethod
    def _require(value) -> str | None:
        if value is None or value.type != "call_expression":
            return None
        func = value.child_by_field_name("function")
        if func is None or func.type != "identifier" or text(func) != "require":
            return None
        args = value.child_by_field_name("arguments")
        strings = [a for a in args.named_children if a.type != "comment"] if args is not None else []
        return _string_value(strings[0]) if len(strings) == 1 else None

    def require_binding(self, pattern, source: str) -> None:
        names = []
        bindings = self.result.bindings
        if pattern.type == "identifier":
            bindings[text(pattern)] = JsBinding(source, "*")
            self.summary.names.add(text(pattern))
        elif pattern.type == "object_pattern":
            for prop in pattern.named_children:
                if prop.type == "shorthand_property_identifier_pattern":
                    name = local = text(prop)
                elif prop.type == "pair_pattern":
                    key = prop.child_by_field_name("key")
                    value = prop.child_by_field_name("value")
                    if key is None or value is None or value.type != "identifier":
                        continue
                    name, local = text(key), text(value)
                else:
                    continue
                names.append(name)
                bindings[local] = JsBinding(source, name)
                self.summary.names.add(local)
        self.summary.add_import(source, names)
        self.result.imports.append(JsImport(source, names))

    @staticmethod
    def _pattern_names(node) -> list:
        if node.type == "identifier":
            return [text(node)]
        out = []
        stack = [node]
        while stack:
            n = stack.pop()
            if n.type in ("identifier", "shorthand_property_identifier_pattern"):
                out.append(text(n))
            elif n.type in ("object_pattern", "array_pattern", "pair_pattern", "assignment_pattern", "rest_pattern", "object_assignment_pattern"):
                children = n.named_children
                if n.type == "pair_pattern":
                    children = [n.child_by_field_name("value")]
                elif n.type in ("assignment_pattern", "object_assignment_pattern"):
                    children = [n.child_by_field_name("left")]
                stack.extend(reversed([c for c in children if c is not None]))
        return out

    # -- definitions ------------------------------------------------------------

    def function(self, name: str, func, first, doc_anchor, last=None, extra=()) -> None:
        documented = ""
        if name in self.signatures and func.type != "function_signature":
            # Overloads carry the doc comment more often than the body does.
            documented = self.summary.functions[name]["description"]
            self.signatures.discard(name)
            self.summary.drop_function(name)
        elif not self.summary.claim(name):
            return
        params = _params(func.child_by_field_name("parameters") or func.child_by_field_name("parameter"))
        if last is None:
            last = func if first is func else first
        self.summary.add_function(
            name,
            [self.lines.first(first), self.lines.last(last)],
            params,
            _returns(func),
            _is_async(func),
            (),
            doc_of(doc_anchor) or documented,
            func.child_by_field_name("body"),
            param_names(params, False),
        )
        for body in extra:
            if body is not None:
                self.summary.owners.add(body, name)

    def _heritage(self, decl) -> tuple:
        bases, implements = [], []
        for part in decl.named_children:
            if part.type == "class_heritage":
                clauses = part.named_children
                if clauses and clauses[0].type not in ("extends_clause", "implements_clause"):
                    # JavaScript: `class A extends B` holds the expression.
                    bases.extend(flat(c) for c in clauses if c.type != "comment")
                    continue
                for clause in clauses:
                    target = bases if clause.type == "extends_clause" else implements
                    target.extend(flat(c) for c in clause.named_children if c.type not in ("comment", "type_arguments"))
            elif part.type in ("extends_type_clause", "extends_clause"):
                bases.extend(flat(c) for c in part.named_children if c.type not in ("comment", "type_arguments"))
        return bases, implements

    def _ref(self, written: str) -> str | None:
        head = written.split("<", 1)[0].strip()
        return head if is_dotted(head) else None

    def class_(self, name: str, decl, outer, doc_anchor=None) -> None:
        if not self.summary.claim(name):
            return
        bases, implements = self._heritage(decl)
        lines = self.lines.span(outer, decl if outer.end_byte < decl.end_byte else outer)
        self.summary.add_class(name, "class", lines, bases + implements, doc_of(doc_anchor or outer))
        self.result.bases.extend(r for r in map(self._ref, bases) if r)
        self.result.implements.extend(r for r in map(self._ref, implements) if r)
        body = decl.child_by_field_name("body")
        if body is None:
            return
        for first, last, func, key, extra in function_members(body, any_key=True):
            self.method(name, key, func, first, last, extra)

    def interface(self, decl, outer) -> None:
        name = self._name(decl)
        if not self.summary.claim(name):
            return
        bases, _ = self._heritage(decl)
        info = self.summary.add_class(name, "interface", self.lines.span(outer), bases, doc_of(outer))
        self.result.bases.extend(r for r in map(self._ref, bases) if r)
        body = decl.child_by_field_name("body")
        for member in body.named_children if body is not None else ():
            if member.type == "method_signature":
                self.summary.add_method(name, info, text(member.child_by_field_name("name")), self.lines.span(member))

    # -- whole file -------------------------------------------------------------

    def file_description(self, root) -> str:
        """The first comment of the file, unless it documents the first
        declaration or is a licence or tool directive."""
        for node in root.children:
            if node.type == "hash_bang_line":
                continue
            if node.type == "expression_statement" and node.named_child_count == 1 and node.named_children[0].type == "string":
                continue  # "use strict"
            if node.type != "comment":
                return ""
            lines = comment_lines(text(node))
            joined = " ".join(lines).lower()
            if any(word in joined for word in ("copyright", "license", "spdx-", "eslint", "@ts-", "prettier-ignore")):
                continue
            following = node.next_sibling
            if following is not None and following.type != "comment" and following.start_point[0] <= node.end_point[0] + 1:
                if following.type not in ("import_statement", "expression_statement") and "@file" not in joined and "@module" not in joined:
                    return ""  # the doc comment of the first declaration
            return first_sentence_line(lines)
        return ""

    def run(self, root) -> dict:
        summary = self.summary
        summary.description = self.file_description(root)
        for stmt in root.named_children:
            if stmt.type not in ("comment", "ERROR"):
                self.statement(stmt)
        grammar = self.grammar
        self.inner_functions(root)
        for node in captures(grammar, _CALLS, root).get("call", ()):
            if node.type == "import":  # import("./m")
                self._dynamic_import(node.parent)
                continue
            name = dotted(node)
            if name is None:
                continue
            if name == "require":
                self._dynamic_import(node.parent)
            summary.note_call(node, name)
        if grammar != "typescript":
            for node in captures(grammar, _JSX, root).get("call", ()):
                name = dotted(node)
                if name is not None and name[:1].isupper():
                    summary.note_call(node, name)
        return summary.finish(GLOBALS, self.data)

    def inner_functions(self, root) -> None:
        """The named functions inside long functions, as symbols of their
        own.  Functions nest in document order, so each one's nearest
        enclosing symbol is known when it is met; anonymous callbacks in
        between (`new Promise((resolve) => { function done() {...} })`)
        are seen through."""
        owners = self.summary.owners
        data = self.data
        # Only long functions are searched (a newline count says which).
        ranges = []
        for start, end in sorted(zip(owners.starts, owners.ends)):
            if ranges and start < ranges[-1][1]:
                continue  # inside one already searched
            if data.count(b"\n", start, end) + 1 >= LARGE_FUNCTION_LINES:
                ranges.append((start, end))
        if not ranges:
            return
        kinds = [k for k in _INNER_KINDS if language(self.grammar).id_for_node_kind(k, True)]
        query = "[" + " ".join(f"({k})" for k in kinds) + "] @f"
        found = {}
        for byte_range in ranges:
            for node in captures(self.grammar, query, root, byte_range).get("f", ()):
                found[(node.start_byte, node.end_byte, node.type)] = node
        funcs = [found[k] for k in sorted(found, key=lambda k: (k[0], -k[1], k[2]))]
        keys = {(s, e): k for s, e, k in zip(owners.starts, owners.ends, owners.keys)}
        levels = {}  # symbol -> how deep inside a top-level symbol
        stack = []  # (end byte, key of the nearest symbol around, its length in lines, level)
        for func in funcs:
            while stack and stack[-1][0] <= func.start_byte:
                stack.pop()
            body = func.child_by_field_name("body")
            key = keys.get((body.start_byte, body.end_byte)) if body is not None else None
            outer = stack[-1] if stack else None
            if key is None and outer is not None and outer[1] is not None:
                _, outer_key, outer_lines, level = outer
                named = inner_name(func) if outer_lines >= LARGE_FUNCTION_LINES and level < _INNER_LEVELS else None
                if named is not None and body is not None:
                    name, anchor = named
                    lines = [self.lines.first(anchor), self.lines.last(anchor)]
                    if lines[1] - lines[0] + 1 >= _MIN_INNER_LINES:
                        params = _params(func.child_by_field_name("parameters") or func.child_by_field_name("parameter"))
                        key = self.summary.add_inner(outer_key, name, lines, body, param_names(params, False), doc_of(anchor))
                        if key is not None:
                            levels[key] = level + 1
            if key is not None:
                span = self.lines.last(func) - self.lines.first(func) + 1
                stack.append((func.end_byte, key, span, levels.get(key, 0)))
            elif outer is not None:
                stack.append((func.end_byte,) + outer[1:])  # seen through
            else:
                stack.append((func.end_byte, None, 0, 0))

    def _dynamic_import(self, call) -> None:
        args = call.child_by_field_name("arguments") if call is not None else None
        if args is None:
            return
        strings = [a for a in args.named_children if a.type != "comment"]
        source = _string_value(strings[0]) if len(strings) == 1 else None
        if source is not None and source not in self.summary.imports:
            self.summary.add_import(source, [])
            self.result.imports.append(JsImport(source, []))


def summarize(result, data: bytes, grammar: str):
    """Fill `result` for a TypeScript/JavaScript source held in `data`."""
    tree = parse(grammar, data)
    root = tree.root_node
    result.partial = root.has_error or too_deep(root)
    result.record = _File(result, data, grammar).run(root)
    return result
