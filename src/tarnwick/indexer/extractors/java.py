"""Java files.

Java has no free functions: the record's classes hold the file's top-level
classes, interfaces, enums and records with their methods and constructors,
each method a symbol "Type.method".  The description is the Javadoc of the
first type.  Imports are single-type, on-demand (`a.b.*`) and static.
"""

from __future__ import annotations

from ..references import JavaBinding, JavaImport
from .treesitter import FileReader, captures, doc_of, dotted, flat, parse, text, too_deep

# Calls that name no project code.
BUILTINS = frozenset(("super", "this"))

_TYPES = {
    "class_declaration": "class",
    "interface_declaration": "interface",
    "enum_declaration": "enum",
    "record_declaration": "class",
    "annotation_type_declaration": "interface",
}
_CALLS = """
(method_invocation) @call
(object_creation_expression type: (_) @new)
(type_identifier) @type
"""


def _type_name(node) -> str:
    """"Base" for `Base<T>`, "a.B" for `a.B`."""
    if node.type == "generic_type":
        node = node.named_children[0]
    return flat(node)


def _params(node) -> list:
    return [flat(p) for p in node.named_children if p.type in ("formal_parameter", "spread_parameter")] if node else []


class _File(FileReader):
    def run(self, root) -> dict:
        for node in root.named_children:
            if node.type == "package_declaration":
                name = next((c for c in node.named_children if c.type in ("scoped_identifier", "identifier")), None)
                self.result.package = flat(name) if name is not None else ""
            elif node.type == "import_declaration":
                self.import_declaration(node)
            elif node.type in _TYPES:
                self.type_declaration(node)
        self.calls(root)
        return self.summary.finish(BUILTINS, self.data)

    def import_declaration(self, node) -> None:
        name = next((c for c in node.named_children if c.type in ("scoped_identifier", "identifier")), None)
        if name is None:
            return
        path = flat(name)
        wildcard = any(c.type == "asterisk" for c in node.named_children)
        static = any(c.type == "static" for c in node.children)
        if wildcard:
            self.summary.add_import(path, ["*"])
            self.result.star.append(path)
        elif static:
            owner, _, member = path.rpartition(".")
            self.summary.add_import(owner, [member])
            self.result.bindings[member] = JavaBinding(owner, member)
        else:
            self.summary.add_import(path, [])
            self.result.bindings[path.rpartition(".")[2]] = JavaBinding(path, "*")
        self.result.imports.append(JavaImport(path, "*" if wildcard else "static" if static else ""))

    def type_declaration(self, node) -> None:
        name = text(node.child_by_field_name("name"))
        if not self.summary.claim(name):
            return
        bases, implements = self._heritage(node)
        info = self.summary.add_class(name, _TYPES[node.type], self.lines.span(node), bases + implements, doc_of(node))
        body = node.child_by_field_name("body")
        members = list(body.named_children) if body is not None else []
        for member in list(members):
            if member.type == "enum_body_declarations":
                members.extend(member.named_children)
        for member in members:
            if member.type in _TYPES:
                # A nested type: no symbol of its own, but what it extends
                # and implements links this file.
                self._heritage(member)
            elif member.type in ("method_declaration", "constructor_declaration", "compact_constructor_declaration"):
                params = _params(member.child_by_field_name("parameters"))
                self.summary.add_method(
                    name,
                    info,
                    text(member.child_by_field_name("name")),
                    self.lines.span(member),
                    member.child_by_field_name("body"),
                    [p.rsplit(" ", 1)[-1] for p in params],
                    doc_of(member),
                )
        if not self.summary.description:
            self.summary.description = info["description"]

    def _heritage(self, node) -> tuple:
        """(extended, implemented) types of a type declaration, as written;
        also noted for the resolver."""
        bases, implements = [], []
        superclass = node.child_by_field_name("superclass")
        if superclass is not None:
            bases.extend(_type_name(t) for t in superclass.named_children)
        for part in node.named_children:
            if part.type in ("super_interfaces", "extends_interfaces"):
                types = next((c for c in part.named_children if c.type == "type_list"), part)
                target = implements if node.type != "interface_declaration" else bases
                target.extend(_type_name(t) for t in types.named_children)
        self.result.bases.extend(bases)
        self.result.implements.extend(implements)
        return bases, implements

    def calls(self, root) -> None:
        found = captures("java", _CALLS, root)
        summary = self.summary
        for node in found.get("call", ()):
            name = text(node.child_by_field_name("name"))
            target = node.child_by_field_name("object")
            if target is None:
                summary.note_call(node, name)
            else:
                owner = dotted(target)
                if owner is not None:
                    summary.note_call(node, f"{owner}.{name}")
        for node in found.get("new", ()):
            summary.note_call(node, _type_name(node))
        own = set(summary.names)
        self.result.uses = sorted({text(node) for node in found.get("type", ())} - own)


def summarize(result, data: bytes, grammar: str = "java"):
    """Fill `result` for a Java source held in `data`."""
    root = parse("java", data).root_node
    result.partial = root.has_error or too_deep(root)
    result.record = _File(result, data).run(root)
    return result
