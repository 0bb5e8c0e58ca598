// A full build's postings as they are gathered: per term, the numbers and weights of the file
// and symbol documents that hold it, in the order the documents are added. Held in plain
// vectors rather than the corpus's arrays: the Python loop that appended to those was most of
// the postings helper's CPU.
#pragma once

#include <cstdint>
#include <vector>

#include "py_call.hpp"

namespace postings {

class Gathering {
  public:
    Gathering();

    // Adds each (term, weight) of the dict `terms` to the postings of document `number` on side
    // `side` (0: files, 1: symbols); returns how many were added. A weight must be a number
    // (TypeError else), as the corpus's arrays take it.
    size_t add(size_t side, uint32_t number, PyObject* terms);

    // The postings gathered since the last take, as {term: [file numbers, weights, symbol
    // numbers, weights]} (arrays "I", "f", "I", "f") in the order the terms first came; the
    // gathering is left empty.
    cp::Ref take();

    // The same as a run's rows, [(term, file numbers, weights, symbol numbers, weights)] with
    // each list as the bytes of its array: no arrays made beside the gathering's own copy.
    cp::Ref take_rows();

    bool empty() const { return entries_.empty(); }

  private:
    struct Entry {
        std::vector<uint32_t> numbers[2];
        std::vector<float> weights[2];
    };

    cp::Ref index_;              // term -> its place in entries_ and terms_
    std::vector<cp::Ref> terms_; // in the order they first came
    std::vector<Entry> entries_;
    void clear();

    cp::Ref array_type_;
};

} // namespace postings
