// One-copy concatenation of texts.
#include <cstring>

#include "excerpts.hpp"

namespace cp::excerpts {

Ref concat_texts(std::initializer_list<PyObject*> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* piece : pieces) {
        if (PyUnicode_READY(piece) < 0) raise();
        length += PyUnicode_GET_LENGTH(piece);
        // Each piece is in its narrowest form, so the widest piece gives the result's form.
        Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece);
        if (piece_max > max_char) max_char = piece_max;
    }
    Ref result = checked(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    for (PyObject* piece : pieces) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_KIND(piece) == PyUnicode_KIND(result.get())) {
            std::memcpy(static_cast<char*>(PyUnicode_DATA(result.get())) +
                            at * PyUnicode_KIND(piece),
                        PyUnicode_DATA(piece), static_cast<size_t>(size) * PyUnicode_KIND(piece));
        } else if (PyUnicode_CopyCharacters(result.get(), at, piece, 0, size) < 0) {
            raise();
        }
        at += size;
    }
    return result;
}

}  // namespace cp::excerpts
