// One walk over Python syntax trees (the standard library's `ast` nodes), collecting what the
// indexer's Python extractor reads of a function body or of module code: the calls by dotted
// name, the names loaded and stored, global declarations, imports, nested definitions and the
// words of attributes, keyword arguments and name-like strings.
#pragma once

#include "py_ref.hpp"

namespace syntax {

class NodeScanner {
  public:
    // `ast` is the module whose node classes are told apart; `layouts` maps a node class to its
    // (single child fields, list child fields), filled by `learn(node)` for a class not in it;
    // `name_like(text)` is true for a string constant that names something (asked only for
    // text beyond ASCII: ASCII text is matched here).
    NodeScanner(PyObject* ast, PyObject* layouts, PyObject* learn, PyObject* name_like);

    // Visits every node under the sequence `roots` once, depth first, children in field order
    // pushed and popped as the Python walk does (the order of the calls found is kept), and
    // adds what it finds to the attributes of `acc`.
    void scan(PyObject* roots, PyObject* acc) const;

  private:
    struct Kinds {
        PyTypeObject* name;
        PyTypeObject* call;
        PyTypeObject* attribute;
        PyTypeObject* load;
        PyTypeObject* import;
        PyTypeObject* import_from;
        PyTypeObject* arg;
        PyTypeObject* global;
        PyTypeObject* keyword;
        PyTypeObject* constant;
        PyTypeObject* function_def;
        PyTypeObject* async_function_def;
        PyTypeObject* class_def;
    };

    cp::Ref dotted_name(PyObject* node) const;
    bool names_something(PyObject* text) const;
    cp::Ref layout_of(PyObject* node) const;

    // The attribute names read, made once.
    struct Names {
        cp::Ref id, ctx, func, end_lineno, end_col_offset, attr, value, arg, names, name;
        cp::Ref calls, loads, stores, globals, imports, defs, words;
    };

    cp::Ref classes_[13];
    Kinds kinds_{};
    Names names_;
    cp::Ref layouts_;
    cp::Ref learn_;
    cp::Ref name_like_;
    cp::Ref dot_;
};

} // namespace syntax
