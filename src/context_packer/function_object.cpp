// The type of the module's function objects: the attributes of a Python function, method
// binding through instances, pickling by qualified name, and vectorcall into the binding step.
#include <cstddef>

#include "binding.hpp"

namespace cp {

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    FunctionId id;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations; // dict or NULL (rebuilt empty on access, as for Python functions)
    PyObject* defaults;    // tuple or NULL; informative only, calls use the constants
    PyObject* kwdefaults;  // dict or NULL; informative only
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return call_function(spec_of(as_function(self)->id), args, nargsf, kwnames);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

PyObject* or_none(PyObject* value) {
    PyObject* result = value != nullptr ? value : Py_None;
    Py_INCREF(result);
    return result;
}

void replace(PyObject*& slot, PyObject* value) {
    PyObject* old = slot;
    Py_XINCREF(value);
    slot = value;
    Py_XDECREF(old);
}

PyObject* get_name(PyObject* self, void*) {
    return or_none(as_function(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    replace(as_function(self)->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) {
    return or_none(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    replace(as_function(self)->qualname, value);
    return 0;
}

PyObject* get_module(PyObject* self, void*) {
    return or_none(as_function(self)->module);
}
int set_module(PyObject* self, PyObject* value, void*) {
    replace(as_function(self)->module, value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_doc(PyObject* self, void*) {
    return or_none(as_function(self)->doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    replace(as_function(self)->doc, value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace(as_function(self)->annotations, value);
    return 0;
}

int warn_defaults_ignored(const char* attribute) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "assigning %s does not change the defaults that calls use; "
                            "they stay fixed in the function",
                            attribute);
}

PyObject* get_defaults(PyObject* self, void*) {
    return or_none(as_function(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (warn_defaults_ignored("__defaults__") < 0) return -1;
    replace(as_function(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    return or_none(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (warn_defaults_ignored("__kwdefaults__") < 0) return -1;
    replace(as_function(self)->kwdefaults, value);
    return 0;
}

PyObject* get_closure(PyObject*, void*) {
    Py_RETURN_NONE;
}
PyObject* get_globals(PyObject* self, void*) {
    return or_none(as_function(self)->globals);
}
PyObject* get_code(PyObject* self, void*) {
    return or_none(as_function(self)->code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled as a global reference: module plus qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return or_none(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* build_annotations(const FunctionSpec& spec) {
    Ref annotations = checked(PyDict_New());
    if (spec.return_annotation == nullptr) return annotations.release();
    for (const ParamSpec& param : spec.params) {
        if (param.annotation == nullptr) continue;
        Ref text = checked(PyUnicode_InternFromString(param.annotation));
        check(PyDict_SetItem(annotations.get(), *param.name, text.get()));
    }
    Ref text = checked(PyUnicode_InternFromString(spec.return_annotation));
    check(PyDict_SetItem(annotations.get(), K.return_, text.get()));
    return annotations.release();
}

} // namespace

PyTypeObject FunctionType{};

int ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    Py_SET_REFCNT(&FunctionType, 1);
    FunctionType.tp_name = "tarnwick.context_packer.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&FunctionType);
}

PyObject* new_function(FunctionId id) {
    const FunctionSpec& spec = spec_of(id);
    Ref annotations = Ref::steal(build_annotations(spec));
    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) raise();
    f->vectorcall = function_vectorcall;
    f->id = id;
    const FunctionConstants& constants = function_constants[static_cast<int>(id)];
    f->name = Py_NewRef(constants.name);
    f->qualname = Py_NewRef(constants.qualname);
    f->module = Py_NewRef(K.module_name);
    f->doc = Py_NewRef(constants.doc);
    f->annotations = annotations.release();
    f->defaults = spec.defaults != nullptr ? Py_NewRef(K.*spec.defaults) : nullptr;
    f->kwdefaults = nullptr;
    f->globals = Py_NewRef(state.module_dict);
    f->code = Py_NewRef(constants.code);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

Ref new_sort_key_function() {
    return Ref::steal(new_function(FunctionId::SortKey));
}

} // namespace cp
