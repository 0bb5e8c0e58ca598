"""Go files.

Functions are top-level `func` declarations; a method `func (s *Server)
Start()` is the symbol "Server.Start" and is listed under its type when the
type is declared in the same file.  Struct and interface types become
classes (embedded types are their bases); other named types are symbols.
"""

from __future__ import annotations

from ..references import GoBinding, GoImport
from .treesitter import FileReader, captures, comment_lines, doc_of, dotted, first_sentence_line, flat, leading_comments, param_names, parse, text, too_deep

# Predeclared functions and the types whose conversions look like calls.
BUILTINS = frozenset(
    "append cap clear close complex copy delete imag len make max min new panic print println real recover "
    "bool byte complex64 complex128 error float32 float64 int int8 int16 int32 int64 rune string uint uint8 "
    "uint16 uint32 uint64 uintptr any".split()
)

_CALLS = "(call_expression function: (_) @call)"


def _params(node) -> list:
    """One entry per declared name: "ctx context.Context", "n ...int"."""
    out = []
    if node is None:
        return out
    for decl in node.named_children:
        if decl.type not in ("parameter_declaration", "variadic_parameter_declaration"):
            continue
        type_node = decl.child_by_field_name("type")
        written = flat(type_node) if type_node is not None else ""
        if decl.type == "variadic_parameter_declaration":
            written = "..." + written
        names = [text(c) for c in decl.children_by_field_name("name")]
        if names:
            out.extend(f"{n} {written}" for n in names)
        else:
            out.append(written)  # an unnamed parameter: its type alone
    return out


def _receiver_type(receiver) -> str:
    """"Server" for receivers `(s *Server)`, `(Server)` and `(s *Stack[T])`."""
    for decl in receiver.named_children if receiver is not None else ():
        type_node = decl.child_by_field_name("type")
        while type_node is not None and type_node.type in ("pointer_type", "generic_type", "parenthesized_type"):
            if type_node.type == "generic_type":
                type_node = type_node.child_by_field_name("type")
            else:
                type_node = next((c for c in type_node.named_children), None)
        if type_node is not None:
            return text(type_node)
    return ""


def _embedded(type_node) -> list:
    """Embedded types of a struct or interface, as written."""
    out = []
    if type_node.type == "struct_type":
        fields = next((c for c in type_node.named_children if c.type == "field_declaration_list"), None)
        for field in fields.named_children if fields is not None else ():
            if field.type == "field_declaration" and field.child_by_field_name("name") is None:
                embedded = field.child_by_field_name("type")
                if embedded is not None:
                    out.append(flat(embedded).lstrip("*"))
    else:
        out.extend(flat(c) for c in type_node.named_children if c.type == "type_elem")
    return out


class _File(FileReader):
    def run(self, root) -> dict:
        summary = self.summary
        result = self.result
        for node in root.named_children:
            kind = node.type
            if kind == "package_clause":
                name = next((c for c in node.named_children if c.type == "package_identifier"), None)
                result.package = text(name) if name is not None else ""
                summary.description = self.package_doc(node)
            elif kind == "import_declaration":
                self.imports(node)
            elif kind == "function_declaration":
                name = text(node.child_by_field_name("name"))
                if summary.claim(name):
                    params = _params(node.child_by_field_name("parameters"))
                    summary.add_function(
                        name,
                        self.lines.span(node),
                        params,
                        self._result(node),
                        False,
                        (),
                        doc_of(node),
                        node.child_by_field_name("body"),
                        param_names(params, True),
                    )
            elif kind == "method_declaration":
                owner = _receiver_type(node.child_by_field_name("receiver"))
                name = text(node.child_by_field_name("name"))
                if owner and name:
                    params = param_names(_params(node.child_by_field_name("parameters")), True)
                    self.methods.append((owner, name, self.lines.span(node), node.child_by_field_name("body"), params, doc_of(node)))
            elif kind == "type_declaration":
                specs = [c for c in node.named_children if c.type in ("type_spec", "type_alias")]
                for spec in specs:
                    # A lone spec is documented and spans from `type`.
                    self.type_spec(spec, node if len(specs) == 1 else spec)
            elif kind in ("const_declaration", "var_declaration"):
                self.variables(node)
        self.add_methods()
        self.note_calls(captures("go", _CALLS, root).get("call", ()), dotted)
        return summary.finish(BUILTINS, self.data)

    def _result(self, node) -> str:
        ret = node.child_by_field_name("result")
        return flat(ret) if ret is not None else ""

    @staticmethod
    def package_doc(clause) -> str:
        lines = []
        for comment in leading_comments(clause):
            lines.extend(comment_lines(text(comment)))
        # Build constraints are not prose.
        return first_sentence_line(line for line in lines if not line.startswith(("go:", "+build")))

    def imports(self, node) -> None:
        specs = [node] if node.type == "import_spec" else []
        stack = list(node.named_children)
        while stack:
            child = stack.pop(0)
            if child.type == "import_spec":
                specs.append(child)
            elif child.type == "import_spec_list":
                stack.extend(child.named_children)
        for spec in specs:
            path_node = spec.child_by_field_name("path")
            if path_node is None:
                continue
            path = text(path_node).strip('"`')
            alias_node = spec.child_by_field_name("name")
            alias = text(alias_node) if alias_node is not None else ""
            self.summary.add_import(path, [alias] if alias else [])
            self.result.imports.append(GoImport(path, alias))
            if alias != "_" and alias != ".":
                local = alias or path.rsplit("/", 1)[-1]
                self.result.bindings[local] = GoBinding(path, "*")
                self.summary.names.add(local)

    def type_spec(self, spec, outer) -> None:
        name_node = spec.child_by_field_name("name")
        type_node = spec.child_by_field_name("type")
        if name_node is None or type_node is None:
            return
        name = text(name_node)
        if not self.summary.claim(name):
            return
        lines = self.lines.span(outer)
        if type_node.type in ("struct_type", "interface_type"):
            bases = _embedded(type_node)
            kind = "struct" if type_node.type == "struct_type" else "interface"
            info = self.summary.add_class(name, kind, lines, bases, doc_of(outer))
            self.result.bases.extend(b.split("[", 1)[0] for b in bases)
            if kind == "interface":
                for elem in type_node.named_children:
                    if elem.type == "method_elem":
                        self.summary.add_method(name, info, text(elem.child_by_field_name("name")), self.lines.span(elem))
        else:
            self.summary.add_symbol(name, "type", lines)

    def variables(self, node) -> None:
        stack = list(node.named_children)
        while stack:
            child = stack.pop(0)
            if child.type in ("const_spec", "var_spec"):
                for name_node in child.children_by_field_name("name"):
                    name = text(name_node)
                    if name != "_" and self.summary.claim(name):
                        self.summary.variables.append(name)
            elif child.type == "var_spec_list":
                stack.extend(child.named_children)


def summarize(result, data: bytes, grammar: str = "go"):
    """Fill `result` for a Go source held in `data`."""
    root = parse("go", data).root_node
    result.partial = root.has_error or too_deep(root)
    result.record = _File(result, data).run(root)
    return result
