// The module's shared constants: created once at start-up, read-only afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace cp {

struct Constants {
#define TEXT(id, literal) PyObject* id;
#define INT(id, value) PyObject* id;
#define FLOAT(id, value) PyObject* id;
#define TUPLE(id, ...) PyObject* id;
#define LIMIT(id, value)
#include "constants.def"
#undef TEXT
#undef INT
#undef FLOAT
#undef TUPLE
#undef LIMIT
};

namespace limit {
#define TEXT(id, literal)
#define INT(id, value)
#define FLOAT(id, value)
#define TUPLE(id, ...)
#define LIMIT(id, value) constexpr Py_ssize_t id = value;
#include "constants.def"
#undef TEXT
#undef INT
#undef FLOAT
#undef TUPLE
#undef LIMIT
} // namespace limit

extern Constants K;

// Texts and numbers; returns -1 with an exception set on failure.
int create_constants();
// The tuples built from them (defaults and keyword-name tuples).
int create_constant_tuples();
// Releases every constant (used before re-creating them after a failed start-up).
void clear_constants();

} // namespace cp
