// pack: the context block. Relevant Files first and always whole; then, while the token budget
// lasts, Key Code, Recommended Reads and Key Relationships; the parts joined by blank lines.
#include "function_bodies.hpp"
#include "packing/sections.hpp"
#include "packing/values.hpp"

namespace cp {

using namespace packing;

Ref pack_body(Frame& frame, PyObject* const* args) {
    learn_dict_layout();
    PackState s(frame, args);

    choose_files(s);
    relevant_files(s);

    frame.line = pack_line::kSec1Tokens;
    Ref sec1_tokens = call_global(s, K.estimate_tokens, {s.sec1.get()});
    frame.line = pack_line::kHeaderTokens;
    Ref header_tokens = call_global(s, K.estimate_tokens, {K.pk_header});
    frame.line = pack_line::kRemaining;
    Ref after_header = subtract(s, s.token_budget, header_tokens.get());
    s.remaining = subtract(s, after_header.get(), sec1_tokens.get());

    frame.line = pack_line::kIfCodeRoom;
    if (compare(s, s.remaining.get(), K.code_threshold, Py_GT)) {
        frame.line = pack_line::kCodeBudget;
        // min(remaining, int(token_budget * 0.45)): the second only when strictly smaller.
        Ref share = multiply(s, s.token_budget, K.code_share);
        Ref code_share = to_int(s, share.get());
        Ref code_budget = compare(s, code_share.get(), s.remaining.get(), Py_LT)
                              ? std::move(code_share)
                              : Ref::borrow(s.remaining.get());
        key_code(s, code_budget.get());
    }
    frame.line = pack_line::kIfReadsRoom;
    if (compare(s, s.remaining.get(), K.reads_threshold, Py_GT)) recommended_reads(s);
    frame.line = pack_line::kIfEdgesRoom;
    if (compare(s, s.remaining.get(), K.relationships_threshold, Py_GT)) key_relationships(s);

    frame.line = pack_line::kSections;
    Ref sections = checked(PyList_New(0));
    append(sections.get(), K.pk_header);
    append(sections.get(), s.sec1.get());
    frame.line = pack_line::kIfCode;
    if (s.sec_code.get() != nullptr) append(sections.get(), s.sec_code.get());
    frame.line = pack_line::kIfReads;
    if (s.sec_reads.get() != nullptr) append(sections.get(), s.sec_reads.get());
    frame.line = pack_line::kIfRelationships;
    if (s.sec_edges.get() != nullptr) append(sections.get(), s.sec_edges.get());
    frame.line = pack_line::kJoinSections;
    return checked(PyUnicode_Join(K.blank_line, sections.get()));
}

} // namespace cp
