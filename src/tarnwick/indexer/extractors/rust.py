"""Rust files.

Functions are top-level `fn` items, also those written inside a macro
invocation whose body is item syntax (`cfg_net! { pub fn spawn() ... }`);
methods of `impl` blocks are the symbols "Type.method" (listed under the type when it is declared in the same file).
Structs, enums, unions and traits become classes (a trait's supertraits are
its bases; `impl Trait for Type` records that the type implements it).  A
`use` declaration binds names to paths, `mod name;` names a child module.
"""

from __future__ import annotations

import re

from ..references import RustImport
from .treesitter import COMMENTS, MAX_DOTTED_BYTES, FileReader, captures, comment_lines, doc_of, dotted, first_sentence_line, flat, param_names, parse, parse_part, text, too_deep

# Prelude functions and constructors that name no project code.
BUILTINS = frozenset("Some Ok Err Box::new Vec::new String::new String::from drop".split())

_TYPES = {"struct_item": "struct", "enum_item": "enum", "union_item": "struct", "trait_item": "trait"}
_CALLS = "(call_expression function: (_) @call)"


_PATH = re.compile(r"(?:crate|self|super|[A-Za-z_]\w*)(?:::[A-Za-z_]\w*)*")
_TURBOFISH = re.compile(r"::<.*?>|<.*>")


def _path(node) -> str:
    """"a::b::C" for the path `a::b::C<T>` (generic arguments dropped)."""
    if node.type in ("generic_type", "generic_type_with_turbofish", "generic_function"):
        node = node.child_by_field_name("type") or node.child_by_field_name("function") or node.named_children[0]
    return _TURBOFISH.sub("", flat(node).replace(" ", ""))


def _ref(node) -> str | None:
    """A callee as written: a path ("Store::new", "helper") or a method call
    on a value ("self.items.push"); None for anything else."""
    if node.type == "field_expression":
        return dotted(node)
    if node.end_byte - node.start_byte > MAX_DOTTED_BYTES:
        return None  # a closure or block called in place
    value = _path(node)
    return value if _PATH.fullmatch(value) else None


def _attributes(node) -> list:
    """The `#[...]` items above an item, top first."""
    out = []
    prev = node.prev_named_sibling
    while prev is not None and prev.type == "attribute_item":
        out.append(prev)
        prev = prev.prev_named_sibling
    out.reverse()
    return out


def _first_attribute(node):
    """The first `#[...]` line above an item: its range starts there."""
    return next(iter(_attributes(node)), node)


def _params(node) -> list:
    return [flat(p) for p in node.named_children if p.type == "parameter"] if node is not None else []


def _is_async(node) -> bool:
    modifiers = next((c for c in node.named_children if c.type == "function_modifiers"), None)
    return modifiers is not None and "async" in text(modifiers).split()


# What a macro body must hold, all of it, to be read as items.
_ITEM_KINDS = frozenset(
    (
        "use_declaration",
        "extern_crate_declaration",
        "macro_invocation",
        "macro_definition",
        "attribute_item",
        "inner_attribute_item",
        "line_comment",
        "block_comment",
        "empty_statement",
    )
)
_MACRO_LEVELS = 4  # cfg_rt! { cfg_net! { ... } }


def _is_item(node) -> bool:
    return node.type in _ITEM_KINDS or node.type.endswith("_item")


class _File(FileReader):
    def __init__(self, result, data: bytes):
        super().__init__(result, data)
        self.macro_roots = []  # trees of macro bodies read as items

    def macro_items(self, macro, level: int) -> list:
        """The items of a macro invocation whose body is item syntax
        (`cfg_net! { pub fn spawn() ... }`), else none."""
        body = next((c for c in macro.named_children if c.type == "token_tree"), None)
        if level >= _MACRO_LEVELS or body is None or body.end_byte - body.start_byte < 3:
            return []
        root = parse_part("rust", self.data, body).root_node
        items = root.named_children
        if root.has_error or not items or not all(map(_is_item, items)):
            return []
        self.macro_roots.append(root)
        return items

    def run(self, root) -> dict:
        summary = self.summary
        summary.description = self.crate_doc(root)
        self.items(root.named_children, 0)
        self.add_methods()
        for tree in [root] + self.macro_roots:
            self.note_calls(captures("rust", _CALLS, tree).get("call", ()), _ref)
        return summary.finish(BUILTINS, self.data)

    def items(self, nodes, level: int) -> None:
        summary = self.summary
        for node in nodes:
            kind = node.type
            if kind == "function_item":
                self.function(node)
            elif kind in _TYPES:
                self.type_item(node)
            elif kind == "impl_item":
                self.impl_item(node)
            elif kind == "type_item":
                name = text(node.child_by_field_name("name"))
                if summary.claim(name):
                    summary.add_symbol(name, "type", self.span(node))
            elif kind in ("const_item", "static_item"):
                name = text(node.child_by_field_name("name"))
                if summary.claim(name):
                    summary.variables.append(name)
            elif kind == "use_declaration":
                self.use(node.child_by_field_name("argument"), [])
            elif kind == "mod_item" and node.child_by_field_name("body") is None:
                name = text(node.child_by_field_name("name"))
                summary.add_import("self::" + name, [])
                self.result.imports.append(RustImport("mod", name))
                summary.names.add(name)
            elif kind == "macro_invocation":
                self.items(self.macro_items(node, level), level + 1)
            elif kind == "expression_statement" and node.named_child_count == 1 and node.named_children[0].type == "macro_invocation":
                self.items(self.macro_items(node.named_children[0], level), level + 1)  # cfg_x!(...);

    def span(self, node) -> list:
        return [self.lines.first(_first_attribute(node)), self.lines.last(node)]

    def doc(self, node) -> str:
        return doc_of(_first_attribute(node))

    @staticmethod
    def crate_doc(root) -> str:
        """The `//!` or `/*! */` comments that open the file."""
        lines = []
        for node in root.children:
            if node.type not in COMMENTS:
                break
            if any(c.type == "inner_doc_comment_marker" for c in node.children):
                lines.extend(comment_lines(text(node).replace("//!", "//", 1).replace("/*!", "/*", 1)))
        return first_sentence_line(lines)

    def function(self, node) -> None:
        name = text(node.child_by_field_name("name"))
        if not self.summary.claim(name):
            return
        ret = node.child_by_field_name("return_type")
        params = _params(node.child_by_field_name("parameters"))
        self.summary.add_function(
            name,
            self.span(node),
            params,
            flat(ret) if ret is not None else "",
            _is_async(node),
            [flat(a) for a in _attributes(node)],
            self.doc(node),
            node.child_by_field_name("body"),
            param_names(params, False),
        )

    def type_item(self, node) -> None:
        name = text(node.child_by_field_name("name"))
        if not self.summary.claim(name):
            return
        bases = []
        bounds = node.child_by_field_name("bounds")
        if bounds is not None:
            bases = [_path(b) for b in bounds.named_children]
            self.result.bases.extend(b for b in bases if _PATH.fullmatch(b))
        kind = _TYPES[node.type]
        self.summary.add_class(name, kind, self.span(node), bases, self.doc(node))
        if kind == "trait":
            # Listed under the trait with the impl methods, once all are known.
            body = node.child_by_field_name("body")
            for item in body.named_children if body is not None else ():
                if item.type in ("function_item", "function_signature_item"):
                    self.methods.append(self._method(name, item))

    def _method(self, owner: str, item) -> tuple:
        params = _params(item.child_by_field_name("parameters"))
        return (owner, text(item.child_by_field_name("name")), self.span(item), item.child_by_field_name("body"), param_names(params, False), self.doc(item))

    def impl_item(self, node) -> None:
        type_node = node.child_by_field_name("type")
        if type_node is None:
            return
        owner = _path(type_node).rsplit("::", 1)[-1]
        trait = node.child_by_field_name("trait")
        if trait is not None and _PATH.fullmatch(_path(trait)):
            self.result.implements.append(_path(trait))
        body = node.child_by_field_name("body")
        self.impl_functions(owner, body.named_children if body is not None else (), 0)

    def impl_functions(self, owner: str, items, level: int) -> None:
        for item in items:
            if item.type == "function_item":
                self.methods.append(self._method(owner, item))
            elif item.type == "macro_invocation":
                self.impl_functions(owner, self.macro_items(item, level), level + 1)

    def use(self, node, prefix: list) -> None:
        """Record what a use tree binds: local name -> path segments."""
        if node is None:
            return
        kind = node.type
        if kind == "scoped_use_list":
            path = node.child_by_field_name("path")
            base = prefix + (_path(path).split("::") if path is not None else [])
            for item in node.child_by_field_name("list").named_children:
                self.use(item, base)
        elif kind == "use_list":
            for item in node.named_children:
                self.use(item, prefix)
        elif kind == "use_as_clause":
            path = prefix + _path(node.child_by_field_name("path")).split("::")
            self._bind(text(node.child_by_field_name("alias")), path)
        elif kind == "use_wildcard":
            target = next((c for c in node.named_children), None)
            path = prefix + (_path(target).split("::") if target is not None else [])
            self.result.star.append(tuple(path))
            self.summary.add_import("::".join(path), ["*"])
        elif kind in ("scoped_identifier", "identifier", "crate", "self", "super"):
            path = prefix + _path(node).split("::")
            self._bind(path[-1] if path[-1] != "self" else path[-2] if len(path) > 1 else "self", path if path[-1] != "self" else path[:-1])

    def _bind(self, local: str, path: list) -> None:
        self.result.bindings[local] = tuple(path)
        self.summary.names.add(local)
        self.summary.add_import("::".join(path[:-1]) or path[0], [path[-1]] if len(path) > 1 else [])
        self.result.imports.append(RustImport("use", "::".join(path)))


def summarize(result, data: bytes, grammar: str = "rust"):
    """Fill `result` for a Rust source held in `data`."""
    root = parse("rust", data).root_node
    result.partial = root.has_error or too_deep(root)
    result.record = _File(result, data).run(root)
    return result
