#include "node_scan.hpp"

#include <algorithm>
#include <vector>

namespace syntax {

using cp::check;
using cp::checked;
using cp::Ref;

namespace {

Ref interned(const char* text) {
    return checked(PyUnicode_InternFromString(text));
}

Ref attribute(PyObject* node, const Ref& name) {
    return checked(PyObject_GetAttr(node, name.get()));
}

// `[A-Za-z][\w\-]{1,39}` matched whole, for ASCII text.
bool ascii_name_like(const char* text, Py_ssize_t size) {
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (size < 2 || size > 40 || !letter(text[0])) return false;
    for (Py_ssize_t i = 1; i < size; ++i) {
        char c = text[i];
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '-') return false;
    }
    return true;
}

void push_all(std::vector<Ref>& stack, PyObject* items) {
    if (PyList_CheckExact(items)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i)
            stack.push_back(Ref::borrow(PyList_GET_ITEM(items, i)));
        return;
    }
    Ref iterator = checked(PyObject_GetIter(items));
    while (PyObject* item = PyIter_Next(iterator.get()))
        stack.push_back(Ref::steal(item));
    if (PyErr_Occurred()) cp::raise();
}

void add_to_set(PyObject* set, PyObject* item) {
    check(PySet_Add(set, item));
}

} // namespace

NodeScanner::NodeScanner(PyObject* ast, PyObject* layouts, PyObject* learn, PyObject* name_like) {
    static const char* const class_names[] = {
        "Name",   "Call",    "Attribute", "Load",        "Import",           "ImportFrom", "arg",
        "Global", "keyword", "Constant",  "FunctionDef", "AsyncFunctionDef", "ClassDef",
    };
    PyTypeObject** slots[] = {
        &kinds_.name,      &kinds_.call,        &kinds_.attribute,    &kinds_.load,
        &kinds_.import,    &kinds_.import_from, &kinds_.arg,          &kinds_.global,
        &kinds_.keyword,   &kinds_.constant,    &kinds_.function_def, &kinds_.async_function_def,
        &kinds_.class_def,
    };
    for (size_t i = 0; i < std::size(class_names); ++i) {
        classes_[i] = checked(PyObject_GetAttrString(ast, class_names[i]));
        if (!PyType_Check(classes_[i].get()))
            cp::raise_error(PyExc_TypeError, "ast must hold the node classes");
        *slots[i] = reinterpret_cast<PyTypeObject*>(classes_[i].get());
    }
    if (!PyDict_Check(layouts)) cp::raise_error(PyExc_TypeError, "layouts must be a dict");
    if (!PyCallable_Check(learn) || !PyCallable_Check(name_like))
        cp::raise_error(PyExc_TypeError, "learn and name_like must be callable");
    names_ = Names{interned("id"),
                   interned("ctx"),
                   interned("func"),
                   interned("end_lineno"),
                   interned("end_col_offset"),
                   interned("attr"),
                   interned("value"),
                   interned("arg"),
                   interned("names"),
                   interned("name"),
                   interned("calls"),
                   interned("loads"),
                   interned("stores"),
                   interned("globals"),
                   interned("imports"),
                   interned("defs"),
                   interned("words")};
    layouts_ = Ref::borrow(layouts);
    learn_ = Ref::borrow(learn);
    name_like_ = Ref::borrow(name_like);
    dot_ = interned(".");
}

Ref NodeScanner::dotted_name(PyObject* node) const {
    std::vector<Ref> parts;
    Ref at = Ref::borrow(node);
    while (Py_TYPE(at.get()) == kinds_.attribute) {
        parts.push_back(attribute(at.get(), names_.attr));
        at = attribute(at.get(), names_.value);
    }
    if (Py_TYPE(at.get()) != kinds_.name) return Ref();
    Ref head = attribute(at.get(), names_.id);
    if (parts.empty()) return head;
    parts.push_back(std::move(head));
    std::reverse(parts.begin(), parts.end());
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    for (size_t i = 0; i < parts.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), parts[i].release());
    return checked(PyUnicode_Join(dot_.get(), list.get()));
}

bool NodeScanner::names_something(PyObject* text) const {
    if (PyUnicode_IS_ASCII(text))
        return ascii_name_like(reinterpret_cast<const char*>(PyUnicode_DATA(text)),
                               PyUnicode_GET_LENGTH(text));
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    if (size < 2 || size > 40) return false;
    Ref match = checked(PyObject_CallOneArg(name_like_.get(), text));
    return match.get() != Py_None;
}

Ref NodeScanner::layout_of(PyObject* node) const {
    PyObject* known =
        PyDict_GetItemWithError(layouts_.get(), reinterpret_cast<PyObject*>(Py_TYPE(node)));
    if (known != nullptr) return Ref::borrow(known);
    if (PyErr_Occurred()) cp::raise();
    Ref learned = checked(PyObject_CallOneArg(learn_.get(), node));
    if (!PyTuple_Check(learned.get()) || PyTuple_GET_SIZE(learned.get()) != 2 ||
        !PyTuple_Check(PyTuple_GET_ITEM(learned.get(), 0)) ||
        !PyTuple_Check(PyTuple_GET_ITEM(learned.get(), 1)))
        cp::raise_error(PyExc_TypeError, "learn must give a pair of tuples of field names");
    return learned;
}

void NodeScanner::scan(PyObject* roots, PyObject* acc) const {
    Ref calls = attribute(acc, names_.calls);
    Ref loads = attribute(acc, names_.loads);
    Ref stores = attribute(acc, names_.stores);
    Ref globals = attribute(acc, names_.globals);
    Ref imports = attribute(acc, names_.imports);
    Ref defs = attribute(acc, names_.defs);
    Ref words = attribute(acc, names_.words);
    if (!PyList_Check(calls.get()) || !PyList_Check(imports.get()) || !PySet_Check(loads.get()) ||
        !PySet_Check(stores.get()) || !PySet_Check(globals.get()) || !PySet_Check(defs.get()) ||
        !PySet_Check(words.get()))
        cp::raise_error(PyExc_TypeError, "acc must hold the lists calls, imports and the sets "
                                         "loads, stores, globals, defs, words");

    std::vector<Ref> stack;
    push_all(stack, roots);
    while (!stack.empty()) {
        Ref node = std::move(stack.back());
        stack.pop_back();
        PyObject* at = node.get();
        if (at == Py_None) continue;
        PyTypeObject* kind = Py_TYPE(at);
        if (kind == kinds_.name) {
            Ref context = attribute(at, names_.ctx);
            Ref id = attribute(at, names_.id);
            add_to_set(Py_TYPE(context.get()) == kinds_.load ? loads.get() : stores.get(),
                       id.get());
            continue;
        }
        if (kind == kinds_.call) {
            Ref func = attribute(at, names_.func);
            Ref name = dotted_name(func.get());
            if (name.get() != nullptr) {
                Ref line = attribute(func.get(), names_.end_lineno);
                Ref column = attribute(func.get(), names_.end_col_offset);
                Ref call = checked(PyTuple_Pack(3, line.get(), column.get(), name.get()));
                check(PyList_Append(calls.get(), call.get()));
            }
        } else if (kind == kinds_.attribute) {
            add_to_set(words.get(), attribute(at, names_.attr).get());
        } else if (kind == kinds_.keyword) {
            Ref arg = attribute(at, names_.arg);
            if (check(PyObject_IsTrue(arg.get()))) add_to_set(words.get(), arg.get());
        } else if (kind == kinds_.constant) {
            Ref value = attribute(at, names_.value);
            if (PyUnicode_CheckExact(value.get()) && names_something(value.get()))
                add_to_set(words.get(), value.get());
            continue;
        } else if (kind == kinds_.arg) {
            add_to_set(stores.get(), attribute(at, names_.arg).get());
        } else if (kind == kinds_.import || kind == kinds_.import_from) {
            check(PyList_Append(imports.get(), at));
            continue;
        } else if (kind == kinds_.global) {
            Ref declared = attribute(at, names_.names);
            Ref iterator = checked(PyObject_GetIter(declared.get()));
            while (PyObject* item = PyIter_Next(iterator.get())) {
                Ref held = Ref::steal(item);
                add_to_set(globals.get(), item);
            }
            if (PyErr_Occurred()) cp::raise();
            continue;
        } else if (kind == kinds_.function_def || kind == kinds_.async_function_def ||
                   kind == kinds_.class_def) {
            add_to_set(defs.get(), attribute(at, names_.name).get());
        }
        Ref layout = layout_of(at);
        PyObject* single = PyTuple_GET_ITEM(layout.get(), 0);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(single); ++i) {
            Ref value = checked(PyObject_GetAttr(at, PyTuple_GET_ITEM(single, i)));
            if (value.get() != Py_None && !PyUnicode_CheckExact(value.get()))
                stack.push_back(std::move(value));
        }
        PyObject* many = PyTuple_GET_ITEM(layout.get(), 1);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(many); ++i) {
            Ref items = checked(PyObject_GetAttr(at, PyTuple_GET_ITEM(many, i)));
            push_all(stack, items.get());
        }
    }
}

} // namespace syntax
