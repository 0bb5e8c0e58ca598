#include "folder_files.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#include "entry_codes.hpp"

namespace stamps {

namespace {

using cp::checked;
using cp::Ref;

[[noreturn]] void malformed() {
    cp::raise_error(PyExc_ValueError, "malformed record");
}

// The (language, grammar) pair of a source file's code, looked up once per code.
class Kinds {
  public:
    explicit Kinds(PyObject* kinds) : kinds_(kinds) {}

    PyObject* of(Py_UCS4 code) {
        const size_t at = code - SOURCE;
        if (at >= found_.size()) found_.resize(at + 1);
        if (found_[at].get() == nullptr) {
            Ref key = checked(PyUnicode_FromOrdinal(static_cast<int>(code)));
            PyObject* kind = PyDict_GetItemWithError(kinds_, key.get()); // borrowed
            if (kind == nullptr) {
                if (!PyErr_Occurred()) malformed();
                cp::raise();
            }
            if (!PyTuple_Check(kind) || PyTuple_GET_SIZE(kind) != 2) malformed();
            found_[at] = Ref::borrow(kind); // held: the dict may change under a collection
        }
        return found_[at].get();
    }

  private:
    PyObject* kinds_;
    std::vector<Ref> found_;
};

} // namespace

void folder_files(PyObject* const* args) {
    PyObject* rel_prefix = args[0];
    PyObject* abs_prefix = args[1];
    PyObject* names = args[2];
    PyObject* codes = args[3];
    PyObject* stamps = args[4];
    PyObject* ctimes = args[5];
    PyObject* kinds = args[6];
    PyObject* limit = args[7];
    PyObject* type = args[8];
    PyObject* out = args[9];
    if (!PyUnicode_Check(rel_prefix) || !PyUnicode_Check(abs_prefix) || !PyList_Check(names) ||
        !PyUnicode_Check(codes) || !PyList_Check(stamps) || !PyBytes_Check(ctimes) ||
        !PyDict_Check(kinds) || !PyLong_Check(limit) || !PyType_Check(type) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), &PyTuple_Type) ||
        !PyList_Check(out))
        cp::raise_error(
            PyExc_TypeError,
            "folder_files(str, str, list, str, list, bytes, dict, int, tuple type, list)");
    PyTypeObject* entry_type = reinterpret_cast<PyTypeObject*>(type);
    const Py_ssize_t count = PyUnicode_GET_LENGTH(codes);
    if (PyList_GET_SIZE(names) != count) malformed();
    const int kind = PyUnicode_KIND(codes);
    const void* code_data = PyUnicode_DATA(codes);
    Kinds languages(kinds);
    Py_ssize_t at = 0; // the file's stamps in `stamps`, two a file
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_UCS4 code = PyUnicode_READ(kind, code_data, i);
        if (code < SOURCE) continue;
        // Lists may change under a collection set off by an allocation: sizes read each time.
        if (at + 1 >= PyList_GET_SIZE(stamps) ||
            (at / 2 + 1) * static_cast<Py_ssize_t>(sizeof(int64_t)) > PyBytes_GET_SIZE(ctimes) ||
            i >= PyList_GET_SIZE(names))
            malformed();
        const Py_ssize_t stamp = at;
        at += 2;
        if (code >= DECLARATION) continue;
        // Both held before the comparison, which may run code that changes the lists.
        Ref size = Ref::borrow(PyList_GET_ITEM(stamps, stamp));
        Ref mtime = Ref::borrow(PyList_GET_ITEM(stamps, stamp + 1));
        const int small = PyObject_RichCompareBool(size.get(), limit, Py_LE);
        if (small < 0) cp::raise();
        if (!small) continue;
        int64_t ctime_ns = 0;
        std::memcpy(&ctime_ns, PyBytes_AS_STRING(ctimes) + (stamp / 2) * sizeof(int64_t),
                    sizeof ctime_ns);
        if (i >= PyList_GET_SIZE(names)) malformed();
        Ref name = Ref::borrow(PyList_GET_ITEM(names, i));
        if (!PyUnicode_Check(name.get())) malformed();
        PyObject* language = languages.of(code);
        Ref pair = Ref::borrow(language);
        Ref rel = checked(PyUnicode_Concat(rel_prefix, name.get()));
        Ref path = checked(PyUnicode_Concat(abs_prefix, name.get()));
        Ref ctime = checked(PyLong_FromLongLong(static_cast<long long>(ctime_ns)));
        // Filled as soon as made: nothing is allocated in between.
        Ref entry = checked(entry_type->tp_alloc(entry_type, 7));
        PyObject* items[7] = {rel.release(),
                              path.release(),
                              size.release(),
                              mtime.release(),
                              ctime.release(),
                              Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)).release(),
                              Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)).release()};
        for (Py_ssize_t k = 0; k < 7; ++k)
            PyTuple_SET_ITEM(entry.get(), k, items[k]);
        cp::check(PyList_Append(out, entry.get()));
    }
    if (at != PyList_GET_SIZE(stamps) ||
        at / 2 * static_cast<Py_ssize_t>(sizeof(int64_t)) != PyBytes_GET_SIZE(ctimes))
        malformed();
}

} // namespace stamps
