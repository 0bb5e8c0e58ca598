// Internal helpers of the symbol body reader and its sort key.
#pragma once

#include <initializer_list>
#include <vector>

#include "context_packer.hpp"

namespace cp::excerpts {

// The line structure of an exact str under the rules of `str.splitlines()`, kept as offsets so
// that a large file is not cut into one object per line.
class LineIndex {
  public:
    explicit LineIndex(PyObject* text);

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(lines_.size()); }

    // "\n".join(lines[first:stop]) for 0 <= first <= stop <= size().
    Ref join(Py_ssize_t first, Py_ssize_t stop) const;

  private:
    struct Line {
        Py_ssize_t begin; // first character
        Py_ssize_t end;   // one past the last character, line break excluded
    };
    PyObject* text_; // borrowed: the owner keeps the text alive
    std::vector<Line> lines_;
};

} // namespace cp::excerpts
