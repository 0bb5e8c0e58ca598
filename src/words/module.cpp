// tarnwick._words: the Python face of the indexer's loops over words: the term counter
// (word_counts.hpp) and the text of a file's documents (document_text.hpp).
#include <new>

#include "document_text.hpp"
#include "py_call.hpp"
#include "word_counts.hpp"

namespace words {

namespace {

using cp::checked;
using cp::count_from;
using cp::double_from;
using cp::expect_arguments;
using cp::guarded;
using cp::Ref;

struct CounterObject {
    PyObject_HEAD WordCounter* counter;
};

WordCounter& counter_of(PyObject* self) {
    return *reinterpret_cast<CounterObject*>(self)->counter;
}

PyObject* callable_from(PyObject* value) {
    if (!PyCallable_Check(value)) cp::raise_error(PyExc_TypeError, "word_terms must be callable");
    return value;
}

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)
            cp::raise_error(PyExc_TypeError, "WordCounter() takes no keyword arguments");
        expect_arguments(PyTuple_GET_SIZE(args), 3, "WordCounter");
        WordSet no_terms;
        Ref iterator = checked(PyObject_GetIter(PyTuple_GET_ITEM(args, 0)));
        while (PyObject* item = PyIter_Next(iterator.get())) {
            Ref word = Ref::steal(item);
            Py_ssize_t size = 0;
            const char* utf8 =
                PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
            if (utf8 == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "no_terms must hold str");
                cp::raise();
            }
            no_terms.emplace(utf8, static_cast<size_t>(size));
        }
        if (PyErr_Occurred()) cp::raise();
        size_t max_terms = count_from(PyTuple_GET_ITEM(args, 1), "max_terms");
        PyObject* uncounted = PyTuple_GET_ITEM(args, 2);
        if (!PyUnicode_CheckExact(uncounted))
            cp::raise_error(PyExc_TypeError, "uncounted must be a str");
        Ref self = checked(type->tp_alloc(type, 0));
        reinterpret_cast<CounterObject*>(self.get())->counter =
            new WordCounter(std::move(no_terms), max_terms, Ref::borrow(uncounted));
        return self.release();
    });
}

void counter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<CounterObject*>(self)->counter;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* count(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 3, "count");
        size_t first = count_from(args[1], "first");
        return counter_of(self).count(args[0], first, callable_from(args[2])).release();
    });
}

PyObject* add_fields(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 6, "add_fields");
        size_t first = count_from(args[1], "first");
        counter_of(self).add_fields(args[0], first, args[2], double_from(args[3]),
                                    double_from(args[4]), callable_from(args[5]));
        Py_RETURN_NONE;
    });
}

PyMethodDef counter_methods[] = {
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count)), METH_FASTCALL,
     "count(texts, first, word_terms) -> (dict, [dict])\n"
     "The term counts of texts[:first] together and of each text: term -> count, in the order "
     "the terms first occur. word_terms(word) gives the terms of a word that is not all ASCII "
     "as a tuple of str; it is asked once per distinct word."},
    {"add_fields", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_fields)),
     METH_FASTCALL,
     "add_fields(texts, first, docs, file_weight, symbol_weight, word_terms)\n"
     "Adds to the dict docs[0] the field of texts[:first] together, and to each further "
     "docs[i] the field of texts[i]: weight x (1 + ln count) per term, for the max_terms most "
     "frequent, and their sum under the uncounted key."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot counter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(counter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(counter_dealloc)},
    {Py_tp_methods, counter_methods},
    {Py_tp_doc,
     const_cast<char*>("WordCounter(no_terms, max_terms, uncounted): counts the search terms of "
                       "texts, keeping each word's terms for the next texts. no_terms: the words "
                       "(lower case) that give none; max_terms: the terms a field keeps; "
                       "uncounted: the key of a document's weight left out of its length.")},
    {0, nullptr},
};

PyType_Spec counter_spec = {
    "tarnwick._words.WordCounter", sizeof(CounterObject), 0, Py_TPFLAGS_DEFAULT, counter_slots,
};

struct ReaderObject {
    PyObject_HEAD DocumentReader* reader;
};

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0))
            cp::raise_error(PyExc_TypeError, "DocumentReader() takes no arguments");
        Ref self = checked(type->tp_alloc(type, 0));
        reinterpret_cast<ReaderObject*>(self.get())->reader = new DocumentReader();
        return self.release();
    });
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ReaderObject*>(self)->reader;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 2, "read");
        return reinterpret_cast<ReaderObject*>(self)->reader->read(args[0], args[1]).release();
    });
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL,
     "read(line, weights) -> [dict] or None\n"
     "The documents of a documents' line, each position replaced by the weight it names in the "
     "list weights; None for a line not in the plain form pack_documents writes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_doc, const_cast<char*>("DocumentReader(): reads documents' lines, keeping the terms "
                                  "read for the next lines.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "tarnwick._words.DocumentReader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots,
};

PyObject* pack(PyObject*, PyObject* docs) {
    return guarded([&] { return pack_documents(docs).release(); });
}

PyMethodDef module_methods[] = {
    {"pack_documents", pack, METH_O,
     "pack_documents(docs) -> (weights, line) or None\n"
     "The distinct weights of a list of documents (dicts of str -> number), first seen first, "
     "and the JSON line of the documents with each weight replaced by its position; None for "
     "documents of another kind."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    if (cp::add_type(module, &counter_spec, "WordCounter") < 0) return -1;
    return cp::add_type(module, &reader_spec, "DocumentReader");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._words",
    "The indexer's inner loops over words: counting the search terms of source text, and "
    "the text of a file's search documents.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace words

PyMODINIT_FUNC PyInit__words() {
    return PyModuleDef_Init(&words::module_def);
}
