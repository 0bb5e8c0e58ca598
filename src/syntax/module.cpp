// tarnwick._syntax: the Python face of the indexer's walk over Python syntax trees
// (node_scan.hpp).
#include <new>

#include "node_scan.hpp"
#include "py_call.hpp"

namespace syntax {

namespace {

using cp::expect_arguments;
using cp::guarded;
using cp::Ref;

struct ScannerObject {
    PyObject_HEAD NodeScanner* scanner;
};

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)
            cp::raise_error(PyExc_TypeError, "NodeScanner() takes no keyword arguments");
        expect_arguments(PyTuple_GET_SIZE(args), 4, "NodeScanner");
        auto scanner = new NodeScanner(PyTuple_GET_ITEM(args, 0), PyTuple_GET_ITEM(args, 1),
                                       PyTuple_GET_ITEM(args, 2), PyTuple_GET_ITEM(args, 3));
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            delete scanner;
            cp::raise();
        }
        reinterpret_cast<ScannerObject*>(self)->scanner = scanner;
        return self;
    });
}

void scanner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ScannerObject*>(self)->scanner;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 2, "scan");
        reinterpret_cast<ScannerObject*>(self)->scanner->scan(args[0], args[1]);
        Py_RETURN_NONE;
    });
}

PyMethodDef scanner_methods[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)), METH_FASTCALL,
     "scan(roots, acc)\n"
     "Walks every node under the sequence roots once and adds to acc what it finds: to the "
     "list acc.calls (line, column, dotted name) at the end of each named callee, to "
     "acc.imports the import statements, and to the sets acc.loads, acc.stores, acc.globals, "
     "acc.defs and acc.words the names loaded, stored (parameters too), declared global, "
     "defined, and the attribute names, keyword arguments and name-like strings."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_doc,
     const_cast<char*>("NodeScanner(ast, layouts, learn, name_like): walks syntax trees of the "
                       "module ast's node classes. layouts: node class -> (single child "
                       "fields, list child fields), learn(node) gives (and records) those of a "
                       "class not in it; name_like(text) tells a string constant that names "
                       "something, for text beyond ASCII.")},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "tarnwick._syntax.NodeScanner", sizeof(ScannerObject), 0, Py_TPFLAGS_DEFAULT, scanner_slots,
};

int module_exec(PyObject* module) {
    return cp::add_type(module, &scanner_spec, "NodeScanner");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._syntax",
    "The indexer's walk over Python syntax trees.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace syntax

PyMODINIT_FUNC PyInit__syntax() {
    return PyModuleDef_Init(&syntax::module_def);
}
