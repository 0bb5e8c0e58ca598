// Module definition and start-up: the create and exec steps of a multi-phase import.
#include "function_table.hpp"
#include "module_lines.hpp"

namespace cp {

namespace {

constexpr const char* kModuleDoc =
    "Core context packing module for Ruvok pre-injection mode (v3.8.37).\n"
    "\n"
    "Generates compact, token-efficient context blocks from the vestra\n"
    "retrieval results.  Output is markdown suitable for injection into\n"
    "Claude's system prompt before the first user turn.\n"
    "\n"
    "v3.8.33 changes:\n"
    "  - Budget default 3000 \u2192 5000\n"
    "  - Full structured summaries (params, returns, calls) instead of 200-char truncation\n"
    "  - Code-first priority: inline code gets budget before edges\n"
    "  - More functions inlined (top 3 per file instead of 2)\n"
    "\n"
    "v3.8.34 changes:\n"
    "  - Bulletproof Python venv setup (5-level fallback chain)\n";

constexpr const char* kInitName = "init tarnwick.context_packer";

// ---------------------------------------------------------------------------------------------
// Create step.

// Copies one import-spec attribute into the module dict; a missing attribute is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) return;
    check(PyDict_SetItemString(dict, to, value));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    int64_t owner = -1;
    if (!state.interpreter_id.compare_exchange_strong(owner, id) && owner != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) return Py_NewRef(state.module);
    try {
        Ref name = checked(PyObject_GetAttrString(spec, "name"));
        Ref module = checked(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, dict, "loader", "__loader__", false);
        copy_spec_attribute(spec, dict, "origin", "__file__", false);
        copy_spec_attribute(spec, dict, "parent", "__package__", false);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true);
        return module.release();
    } catch (const PyErrorMarker&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Exec step.

// "major.minor" at the start of the running interpreter's version text, read once.
void runtime_version(int& major, int& minor) {
    static int cached_major = -1, cached_minor = -1;
    if (cached_major < 0) {
        const char* text = Py_GetVersion();
        int numbers[2] = {0, 0};
        for (int part = 0; part < 2; ++part) {
            while (*text >= '0' && *text <= '9')
                numbers[part] = numbers[part] * 10 + (*text++ - '0');
            if (*text == '.') ++text;
        }
        cached_major = numbers[0];
        cached_minor = numbers[1];
    }
    major = cached_major;
    minor = cached_minor;
}

void check_version() {
    int major, minor;
    runtime_version(major, minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%.100s' %s runtime "
                           "version %d.%d",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, "tarnwick.context_packer",
                           "does not match", major, minor));
}

void store_global(PyObject* name, PyObject* value) {
    check(PyDict_SetItem(state.module_dict, name, value));
}

// The module a statement imports from, reusing sys.modules when it already offers every name.
Ref import_module(PyObject* module_name, std::initializer_list<PyObject*> names) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref existing = Ref::steal(PyObject_GetItem(modules, module_name));
    if (existing.get() == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
        PyErr_Clear();
    } else {
        bool complete = true;
        for (PyObject* name : names) {
            if (!PyObject_HasAttr(existing.get(), name)) {
                complete = false;
                break;
            }
        }
        if (complete) return existing;
    }
    Ref fromlist = checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t index = 0;
    for (PyObject* name : names)
        PyTuple_SET_ITEM(fromlist.get(), index++, Py_NewRef(name));
    return checked(PyImport_ImportModuleLevelObject(
        module_name, state.module_dict, nullptr, names.size() > 0 ? fromlist.get() : nullptr, 0));
}

// `from module import name`: the attribute, else the submodule `module.name`.
Ref import_name(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttr(module, K.dunder_name));
    if (module_name.get() != nullptr && PyUnicode_Check(module_name.get())) {
        Ref full_name = checked(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        Ref submodule = Ref::steal(PyObject_GetItem(PyImport_GetModuleDict(), full_name.get()));
        if (submodule.get() != nullptr) return submodule;
    }
    PyErr_Clear();
    raise_format(PyExc_ImportError, "cannot import name %S", name);
}

// `a == b` as Python evaluates it in a condition: no identity shortcut, then the truth of the
// comparison's result.
bool equals(PyObject* a, PyObject* b) {
    Ref result = checked(PyObject_RichCompare(a, b, Py_EQ));
    return truth(result.get());
}

void run_statements(Frame& frame) {
    frame.line = module_line::kImportJson;
    store_global(K.json, import_module(K.json, {}).get());
    frame.line = module_line::kImportSys;
    store_global(K.sys, import_module(K.sys, {}).get());
    frame.line = module_line::kImportCeil;
    store_global(K.ceil, import_name(import_module(K.math, {K.ceil}).get(), K.ceil).get());
    frame.line = module_line::kImportPath;
    store_global(K.Path, import_name(import_module(K.pathlib, {K.Path}).get(), K.Path).get());
    frame.line = module_line::kImportAny;
    store_global(K.Any, import_name(import_module(K.typing, {K.Any}).get(), K.Any).get());
    frame.line = module_line::kImportRetrieval;
    {
        Ref vx = import_module(K.tarnwick_vx, {K.retrieve, K.load_graph, K.classify_intent});
        store_global(K.vx_retrieve, import_name(vx.get(), K.retrieve).get());
        store_global(K.vx_load_graph, import_name(vx.get(), K.load_graph).get());
        store_global(K.classify_intent_alias, import_name(vx.get(), K.classify_intent).get());
    }
    for (int index = 0; index < kModuleFunctionCount; ++index) {
        const FunctionSpec& spec = function_specs[index];
        frame.line = spec.def_line;
        Ref function = Ref::steal(new_function(static_cast<FunctionId>(index)));
        store_global(function_constants[index].name, function.get());
    }
    frame.line = module_line::kIfMain;
    Ref module_name = module_global(K.dunder_name);
    if (equals(module_name.get(), K.dunder_main)) {
        frame.line = module_line::kCallMain;
        call(module_global(K.main).get(), {});
    }
    frame.line = module_line::kModule;
    Ref test_dict = checked(PyDict_New());
    store_global(K.dunder_test, test_dict.get());
}

void prepare(Frame& frame) {
    frame.line = module_line::kModule;
    PyObject* modules = PyImport_GetModuleDict();
    int present = check(PySequence_Contains(modules, K.module_name));
    if (!present) check(PyObject_SetItem(modules, K.module_name, state.module));

    PyObject* builtins[2] = {nullptr, nullptr};
    PyObject* names[2] = {K.sorted, K.print};
    for (int i = 0; i < 2; ++i) {
        builtins[i] = PyObject_GetAttr(state.builtins, names[i]);
        if (builtins[i] == nullptr) {
            Py_XDECREF(builtins[0]);
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                raise_format(PyExc_NameError, "name '%U' is not defined", names[i]);
            }
            raise();
        }
    }
    Py_XSETREF(state.sorted, builtins[0]);
    Py_XSETREF(state.print, builtins[1]);

    check(create_constant_tuples());
    check(ready_function_type());
    create_function_constants();
}

int module_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'context_packer' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    Frame frame{0};
    bool with_traceback = false;
    try {
        PyObject* dict = check(PyModule_GetDict(module));
        Py_XSETREF(state.module_dict, Py_NewRef(dict));
        PyObject* builtins = check(PyImport_AddModule("builtins"));
        Py_XSETREF(state.builtins, Py_NewRef(builtins));
        check(PyObject_SetAttrString(module, "__builtins__", builtins));
        check_version();
        check(create_constants());

        with_traceback = true;
        prepare(frame);
        run_statements(frame);
        return 0;
    } catch (const PyErrorMarker&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (with_traceback) add_traceback(kInitName, frame.line);
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Lets every interpreter, isolated ones included, reach the create step, which admits the
    // first one only and refuses the others with the module's own message. No interpreter but
    // the owner ever touches the module's state.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "context_packer", kModuleDoc, 0,       nullptr,
    module_slots,          nullptr,          nullptr,    nullptr,
};

} // namespace
} // namespace cp

PyMODINIT_FUNC PyInit_context_packer() {
    return PyModuleDef_Init(&cp::module_def);
}
