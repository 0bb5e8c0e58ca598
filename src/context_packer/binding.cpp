// The binding step every call goes through: positional and keyword matching, defaults, int
// conversion, exact type checks, then the body behind the error boundary.
#include <cstring>

#include "binding.hpp"
#include "text.hpp"

namespace cp {

namespace {

void count_error(const FunctionSpec& spec, Py_ssize_t reported) {
    Py_ssize_t max = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t min = spec.min_args;
    const char* bound_word;
    Py_ssize_t expected;
    if (min == max) {
        bound_word = "exactly";
        expected = max;
    } else if (reported < min) {
        bound_word = "at least";
        expected = min;
    } else {
        bound_word = "at most";
        expected = max;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound_word, expected, expected == 1 ? "" : "s", reported);
}

// Index of the parameter among [from, to) whose name equals `key`; -1 when none, -2 on error.
Py_ssize_t match_by_value(const FunctionSpec& spec, PyObject* key, Py_ssize_t from, Py_ssize_t to,
                          bool exact) {
    for (Py_ssize_t i = from; i < to; ++i) {
        PyObject* name = *spec.params[i].name;
        if (exact) {
            if (same_text(key, name)) return i;
        } else {
            int equal = PyObject_RichCompareBool(key, name, Py_EQ);
            if (equal < 0) return -2;
            if (equal) return i;
        }
    }
    return -1;
}

// Fills `values` (borrowed) in parameter order; false with the error set.
bool bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values) {
    Py_ssize_t count = static_cast<Py_ssize_t>(spec.params.size());
    Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count == 0 ? (nargs < spec.min_args || nargs > count) : nargs > count) {
        count_error(spec, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        values[i] = i < nargs ? args[i] : nullptr;

    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        for (Py_ssize_t i = nargs; i < count; ++i) {
            if (*spec.params[i].name == key) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
                return false;
            }
            bool exact = PyUnicode_CheckExact(key);
            index = match_by_value(spec, key, nargs, count, exact);
            if (index == -2) return false;
            if (index < 0) {
                Py_ssize_t repeated = match_by_value(spec, key, 0, nargs, exact);
                if (repeated == -2) return false;
                if (repeated >= 0) {
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'", spec.name,
                                 key);
                } else {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 spec.name, key);
                }
                return false;
            }
        }
        values[index] = args[nargs + k];
    }

    for (Py_ssize_t i = 0; i < count; ++i) {
        if (values[i] == nullptr && spec.params[i].default_value != nullptr)
            values[i] = K.*spec.params[i].default_value;
    }
    if (keyword_count > 0) {
        for (Py_ssize_t i = 0; i < spec.min_args; ++i) {
            if (values[i] == nullptr) {
                count_error(spec, i);
                return false;
            }
        }
    }
    return true;
}

void argument_type_error(PyObject* param_name, const char* expected, PyObject* value,
                         bool subclass) {
    if (subclass) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200U' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of builtin types are refused here; pass an exact %s.",
                     param_name, expected, Py_TYPE(value)->tp_name, expected);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)",
                     param_name, expected, Py_TYPE(value)->tp_name);
    }
}

} // namespace

PyObject* run_body(const FunctionSpec& spec, PyObject* const* values) {
    if (Py_EnterRecursiveCall(" while calling a context_packer function")) {
        add_traceback(spec.traceback_name, spec.def_line);
        return nullptr;
    }
    Frame frame{spec.def_line};
    PyObject* result = nullptr;
    try {
        result = spec.body(frame, values).release();
    } catch (const PyErrorMarker&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    Py_LeaveRecursiveCall();
    if (result == nullptr) add_traceback(spec.traceback_name, frame.line);
    return result;
}

PyObject* call_function(const FunctionSpec& spec, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (spec.takes_no_arguments) {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
            return nullptr;
        }
        if (nargs != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name,
                         "takes no arguments", nargs);
            return nullptr;
        }
        return run_body(spec, nullptr);
    }

    PyObject* values[kMaxParams];
    if (!bind(spec, args, nargs, kwnames, values)) {
        add_traceback(spec.traceback_name, spec.def_line);
        return nullptr;
    }
    size_t count = spec.params.size();
    Ref converted[kMaxParams];
    for (size_t i = 0; i < count; ++i) {
        const ParamSpec& param = spec.params[i];
        if (param.check != Check::Int || PyLong_CheckExact(values[i])) continue;
        if (!is_number(values[i])) {
            argument_type_error(*param.name, "int", values[i], false);
            add_traceback(spec.traceback_name, param.conversion_line);
            return nullptr;
        }
        converted[i] = Ref::steal(PyNumber_Long(values[i]));
        if (converted[i].get() == nullptr) {
            add_traceback(spec.traceback_name, param.conversion_line);
            return nullptr;
        }
        values[i] = converted[i].get();
    }
    for (size_t i = 0; i < count; ++i) {
        const ParamSpec& param = spec.params[i];
        PyObject* value = values[i];
        if (param.check == Check::ExactDict && !PyDict_CheckExact(value)) {
            argument_type_error(*param.name, "dict", value, PyDict_Check(value));
            return nullptr;
        }
        if (param.check == Check::ExactStr && !PyUnicode_CheckExact(value)) {
            argument_type_error(*param.name, "str", value, PyUnicode_Check(value));
            return nullptr;
        }
    }
    return run_body(spec, values);
}

} // namespace cp
