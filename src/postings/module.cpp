// tarnwick._postings: the postings helper's gathering of a full build's postings
// (gathering.hpp).
#include <limits>

#include "gathering.hpp"
#include "py_call.hpp"

namespace postings {

namespace {

using cp::checked;
using cp::count_from;
using cp::expect_arguments;
using cp::guarded;
using cp::Ref;

struct GatheringObject {
    PyObject_HEAD Gathering* gathering;
};

Gathering& gathering_of(PyObject* self) {
    return *reinterpret_cast<GatheringObject*>(self)->gathering;
}

PyObject* gathering_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0))
            cp::raise_error(PyExc_TypeError, "Gathering() takes no arguments");
        Ref self = checked(type->tp_alloc(type, 0));
        reinterpret_cast<GatheringObject*>(self.get())->gathering = new Gathering();
        return self.release();
    });
}

void gathering_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<GatheringObject*>(self)->gathering;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 3, "add");
        size_t side = count_from(args[0], "side");
        if (side > 1) cp::raise_error(PyExc_ValueError, "side must be 0 (files) or 1 (symbols)");
        size_t number = count_from(args[1], "number");
        if (number > std::numeric_limits<uint32_t>::max())
            cp::raise_error(PyExc_OverflowError, "a document's number must fit in 32 bits");
        return PyLong_FromSize_t(
            gathering_of(self).add(side, static_cast<uint32_t>(number), args[2]));
    });
}

PyObject* take(PyObject* self, PyObject*) {
    return guarded([&] { return gathering_of(self).take().release(); });
}

PyObject* take_rows(PyObject* self, PyObject*) {
    return guarded([&] { return gathering_of(self).take_rows().release(); });
}

PyMethodDef gathering_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add)), METH_FASTCALL,
     "add(side, number, terms) -> int\n"
     "Adds each term -> weight of the dict terms to the postings of document number on side 0 "
     "(files) or 1 (symbols); returns how many. TypeError for a weight that is not a number."},
    {"take", take, METH_NOARGS,
     "take() -> dict\n"
     "The postings gathered since the last take, {term: [file numbers, weights, symbol "
     "numbers, weights]} as arrays 'I', 'f', 'I', 'f', terms in the order they first came."},
    {"take_rows", take_rows, METH_NOARGS,
     "take_rows() -> list\n"
     "The same postings as take() gives, as [(term, file numbers, weights, symbol numbers, "
     "weights)] with each list as the bytes of its array; the gathering is left empty."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot gathering_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gathering_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gathering_dealloc)},
    {Py_tp_methods, gathering_methods},
    {Py_tp_doc, const_cast<char*>("Gathering(): a full build's postings, gathered document by "
                                  "document and taken as the corpus's arrays.")},
    {0, nullptr},
};

PyType_Spec gathering_spec = {
    "tarnwick._postings.Gathering", sizeof(GatheringObject), 0, Py_TPFLAGS_DEFAULT, gathering_slots,
};

int module_exec(PyObject* module) {
    return cp::add_type(module, &gathering_spec, "Gathering");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._postings",
    "A full build's postings gathered document by document.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace postings

PyMODINIT_FUNC PyInit__postings() {
    return PyModuleDef_Init(&postings::module_def);
}
