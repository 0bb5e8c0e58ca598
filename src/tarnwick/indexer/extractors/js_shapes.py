"""Where JavaScript and TypeScript code keeps its functions, beyond plain
declarations: members of object literals and classes (a getter and its
setter read as one property), functions wrapped in an expression
(`cond && function f() {}`, `memo(function Button() {...})`), properties
attached by a call (`defineGetter(req, "protocol", function ...)`) and the
names of assignment targets (`Foo.prototype.bar` is `Foo.bar`).
"""

from __future__ import annotations

import re

from .treesitter import dotted, text

FUNCTION_VALUES = frozenset(("arrow_function", "function_expression", "function", "generator_function"))
METHOD_NODES = frozenset(("method_definition", "abstract_method_signature", "method_signature"))
FIELD_NODES = frozenset(("public_field_definition", "field_definition"))

_IDENTIFIER = re.compile(r"[A-Za-z_$][\w$]*")
_COMMENTS = ("comment", "decorator")
# Expressions a function may sit in and still be what the statement defines.
_WRAPPERS = ("binary_expression", "ternary_expression", "parenthesized_expression", "as_expression", "satisfies_expression", "call_expression", "arguments")
_WRAP_DEPTH = 4


def key_name(key) -> str | None:
    """The name a property key spells: `get`, `"get"`, `'content-type'` is none."""
    if key is None:
        return None
    if key.type in ("property_identifier", "identifier", "private_property_identifier"):
        return text(key)
    if key.type == "string":
        value = text(key)[1:-1]
        return value if _IDENTIFIER.fullmatch(value) else None
    return None


def accessor(member) -> str | None:
    """"get" or "set" for an accessor method, else None."""
    if member.type != "method_definition":
        return None
    for child in member.children:
        if child.type in ("get", "set"):
            return child.type
        if child == member.child_by_field_name("name"):
            break
    return None


def member_function(member):
    """(function node, key node) of a member that holds a function, else None."""
    kind = member.type
    if kind in METHOD_NODES:
        return member, member.child_by_field_name("name")
    if kind == "pair":
        value = member.child_by_field_name("value")
        if value is not None and value.type in FUNCTION_VALUES:
            return value, member.child_by_field_name("key")
    elif kind in FIELD_NODES:
        value = member.child_by_field_name("value")
        key = member.child_by_field_name("name") or member.child_by_field_name("property")
        if value is not None and key is not None and value.type in FUNCTION_VALUES:
            return value, key
    return None


def function_members(container, any_key: bool = False):
    """The function members of an object literal or class body, in order:
    (first node, last node, function, name, extra bodies).

    `first` is the first decorator above a member; a getter followed by its
    setter (or the other way round) is one member spanning both, the second
    one's body given as an extra body.  Keys that spell no name (computed,
    quoted with dashes) are passed over unless `any_key`, which names them
    as written.
    """
    pending = None
    members = [m for m in container.named_children if m.type != "comment"]
    i = 0
    while i < len(members):
        member = members[i]
        i += 1
        if member.type == "decorator":
            pending = pending or member
            continue
        first, pending = pending or member, None
        found = member_function(member)
        if found is None:
            continue
        func, key = found
        name = key_name(key) or (text(key) if any_key and key is not None else None)
        if name is None:
            continue
        last, extra = member, []
        # Overload signatures and their implementation: one member, the
        # implementation's function.
        while member.type == "method_signature" and i < len(members) and members[i].type in METHOD_NODES:
            following = members[i].child_by_field_name("name")
            if following is None or key is None or text(following) != text(key):
                break
            member = last = func = members[i]
            i += 1
        kind = accessor(member)
        if kind is not None and i < len(members):
            partner = members[i]
            other = accessor(partner)
            partner_key = partner.child_by_field_name("name")
            if other is not None and other != kind and partner_key is not None and text(partner_key) == text(key):
                last = partner
                extra.append(partner.child_by_field_name("body"))
                i += 1
        yield first, last, func, name, extra


def wrapped_function(expr, depth: int = _WRAP_DEPTH):
    """The function an expression defines when it only guards or wraps one:
    `cond && function f() {}`, `memo(function Button() {...})`,
    `(() => {...}) as Handler`, `(() => {...})()`.  Only functions with a block body count, so
    that `items.map(x => x.id)` stays a value."""
    if expr is None:
        return None
    if expr.type in FUNCTION_VALUES:
        body = expr.child_by_field_name("body")
        return expr if body is not None and body.type == "statement_block" else None
    if depth == 0 or expr.type not in _WRAPPERS:
        return None
    if expr.type == "call_expression":
        # An immediately invoked function computes the value: its code is the definition.
        children = [expr.child_by_field_name("function"), expr.child_by_field_name("arguments")]
    elif expr.type == "binary_expression":
        children = [expr.child_by_field_name("right"), expr.child_by_field_name("left")]
    else:
        children = [c for c in expr.named_children if c.type not in _COMMENTS]
    for child in children:
        found = wrapped_function(child, depth - 1)
        if found is not None:
            return found
    return None


def attached_property(call):
    """`defineGetter(req, "protocol", function () {...})` and the like: a
    call handing an object, a property name and a function (in that order,
    the function last) attaches the function as that property.  Returns
    (owner, name, function) or None."""
    if call is None or call.type != "call_expression":
        return None
    args = call.child_by_field_name("arguments")
    if args is None:
        return None
    values = [a for a in args.named_children if a.type != "comment"]
    if len(values) < 3:
        return None
    owner_node, name_node, func = values[-3:]
    if func.type not in FUNCTION_VALUES or name_node.type != "string":
        return None
    owner = dotted(owner_node) if owner_node.type in ("identifier", "member_expression") else None
    name = key_name(name_node)
    if owner is None or name is None:
        return None
    return property_owner(owner.split(".")), name, func


def property_owner(parts: list) -> str:
    """The owner to name a property of `parts` by: `Foo.prototype` is
    `Foo`, `module.exports`/`exports` are the module itself ("")."""
    if parts[:2] == ["module", "exports"]:
        parts = parts[2:]
    elif parts[:1] == ["exports"]:
        parts = parts[1:]
    return ".".join(p for p in parts if p != "prototype")


def function_name(func) -> str:
    """The name a function expression gives itself, or ""."""
    name = func.child_by_field_name("name")
    return text(name) if name is not None else ""


def inner_name(func) -> tuple | None:
    """(name, anchor) of a function declared inside another: how the code
    names it and the node whose lines and doc comment it takes; None for an
    anonymous function."""
    kind = func.type
    if kind in ("function_declaration", "generator_function_declaration"):
        name = func.child_by_field_name("name")
        return (text(name), func) if name is not None else None
    if kind == "method_definition":
        name = key_name(func.child_by_field_name("name"))
        return (name, func) if name else None
    parent = func.parent
    if parent is not None:
        if parent.type == "variable_declarator" and parent.child_by_field_name("value") == func:
            name = parent.child_by_field_name("name")
            if name is not None and name.type == "identifier":
                decl = parent.parent
                return text(name), decl if decl is not None and decl.named_child_count == 1 else parent
        elif parent.type == "assignment_expression" and parent.child_by_field_name("right") == func:
            left = parent.child_by_field_name("left")
            if left is not None and left.type == "member_expression":
                left = left.child_by_field_name("property")
            if left is not None and left.type in ("identifier", "property_identifier"):
                holder = parent.parent
                return text(left), holder if holder is not None and holder.type == "expression_statement" else parent
        elif parent.type == "pair" and parent.child_by_field_name("value") == func:
            name = key_name(parent.child_by_field_name("key"))
            return (name, parent) if name else None
        elif parent.type in FIELD_NODES:
            name = key_name(parent.child_by_field_name("name") or parent.child_by_field_name("property"))
            return (name, parent) if name else None
    name = function_name(func)  # a named callback: `.then(function onBody() {...})`
    return (name, func) if name else None


def wrapper_bodies(call, anywhere: bool):
    """The functions whose bodies hold a module's code when `call` is a
    statement of its own, each with whether it is surely one: an immediately
    invoked function (and a factory handed to it, as UMD wrappers do), and,
    when `anywhere`, any function argument (`define([...], function () {...})`,
    `$(function () {...})`), which may as well be a callback."""
    callee = call.child_by_field_name("function")
    while callee is not None and callee.type == "parenthesized_expression":
        callee = next((c for c in callee.named_children if c.type != "comment"), None)
    if callee is not None and callee.type == "member_expression":
        prop = callee.child_by_field_name("property")
        if prop is not None and text(prop) in ("call", "apply"):  # (function () {...}).call(this)
            callee = callee.child_by_field_name("object")
            while callee is not None and callee.type == "parenthesized_expression":
                callee = next((c for c in callee.named_children if c.type != "comment"), None)
    invoked = callee is not None and callee.type in FUNCTION_VALUES
    if invoked:
        yield callee, True
    if invoked or anywhere:
        args = call.child_by_field_name("arguments")
        for arg in args.named_children if args is not None else ():
            if arg.type in FUNCTION_VALUES:
                yield arg, invoked


def object_arguments(call) -> list:
    """The object literals handed to a call (`Object.setPrototypeOf({...}, p)`,
    `defineComponent({...})`): their functions belong to what it returns."""
    if call is None or call.type != "call_expression":
        return []
    args = call.child_by_field_name("arguments")
    return [a for a in args.named_children if a.type == "object"] if args is not None else []
