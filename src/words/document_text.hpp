// A file's search documents as the text they travel and wait in the cache as: the JSON list of
// their distinct weights (written by Python, which alone spells a float as Python does), a
// line break, then the JSON list of the documents, each mapping its terms to positions in the
// weights. Here are written and read the documents' line, the one that grows with the text.
#pragma once

#include <string>
#include <unordered_map>

#include "py_ref.hpp"

namespace words {

// (the distinct weights in first-seen order, the documents' line) of `docs`, a list of dicts;
// None unless every document is a dict and every term a str (the caller then takes the
// general way).
cp::Ref pack_documents(PyObject* docs);

// Reads documents' lines back, with the weights themselves in place of their positions. The
// terms read are kept as str for the next files' documents.
class DocumentReader {
  public:
    // Terms kept; past this many they are dropped at the start of the next call.
    static constexpr size_t kMaxTerms = size_t{1} << 18;

    // The list of dicts a documents' line stands for, positions into `weights` (a list); None
    // for a line not in the plain form `pack_documents` writes (white space, escapes, another
    // kind of value), which the general JSON reader may still read.
    cp::Ref read(PyObject* line, PyObject* weights);

  private:
    std::unordered_map<std::string, cp::Ref> terms_;
    std::string key_;
};

} // namespace words
