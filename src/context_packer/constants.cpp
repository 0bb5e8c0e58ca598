#include "constants.hpp"

#include <initializer_list>

namespace cp {

Constants K{};

namespace {

PyObject* make_text(const char* literal, Py_ssize_t size) {
    PyObject* text = PyUnicode_DecodeUTF8(literal, size, nullptr);
    if (text != nullptr) PyUnicode_InternInPlace(&text);
    return text;
}

PyObject* make_tuple(std::initializer_list<PyObject*> items) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) return nullptr;
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple, index++, item);
    }
    return tuple;
}

} // namespace

int create_constants() {
    clear_constants();
#define TEXT(id, literal)                                                                          \
    if ((K.id = make_text(literal, sizeof(literal) - 1)) == nullptr) return -1;
#define INT(id, value)                                                                             \
    if ((K.id = PyLong_FromLong(value)) == nullptr) return -1;
#define FLOAT(id, value)                                                                           \
    if ((K.id = PyFloat_FromDouble(value)) == nullptr) return -1;
#define TUPLE(id, ...)
#define LIMIT(id, value)
#include "constants.def"
#undef TEXT
#undef INT
#undef FLOAT
#undef TUPLE
#undef LIMIT
    return 0;
}

int create_constant_tuples() {
#define TEXT(id, literal)
#define INT(id, value)
#define FLOAT(id, value)
#define TUPLE(id, ...)                                                                             \
    Py_CLEAR(K.id);                                                                                \
    if ((K.id = make_tuple({__VA_ARGS__})) == nullptr) return -1;
#define LIMIT(id, value)
#include "constants.def"
#undef TEXT
#undef INT
#undef FLOAT
#undef TUPLE
#undef LIMIT
    return 0;
}

void clear_constants() {
#define TEXT(id, literal) Py_CLEAR(K.id);
#define INT(id, value) Py_CLEAR(K.id);
#define FLOAT(id, value) Py_CLEAR(K.id);
#define TUPLE(id, ...) Py_CLEAR(K.id);
#define LIMIT(id, value)
#include "constants.def"
#undef TEXT
#undef INT
#undef FLOAT
#undef TUPLE
#undef LIMIT
}

} // namespace cp
