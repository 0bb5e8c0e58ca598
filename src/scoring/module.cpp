// tarnwick._scoring: the Python face of the scoring loops (scores.hpp), one type, `Scores`.
#include <algorithm>
#include <memory>
#include <new>

#include "bounds.hpp"
#include "buffer_view.hpp"
#include "freed_heap.hpp"
#include "kept_mappings.hpp"
#include "owners.hpp"
#include "postings_codec.hpp"
#include "py_call.hpp"
#include "scores.hpp"

namespace scoring {

namespace {

using cp::check;
using cp::checked;
using cp::count_from;
using cp::double_from;
using cp::expect_arguments;
using cp::guarded;
using cp::Ref;

struct ScoresObject {
    PyObject_HEAD Scores* scores;
};

Scores& scores_of(PyObject* self) {
    return *reinterpret_cast<ScoresObject*>(self)->scores;
}

// A tuple or list of items as a fast sequence, kept alive by the returned reference.
Ref sequence_of(PyObject* value, const char* what) {
    return checked(PySequence_Fast(value, what));
}

// The per-flags factor table: a sequence (of a power of two length, at most 256) of sequences
// of numbers.
FlagFactors factors_from(PyObject* value) {
    Ref table = sequence_of(value, "factors must be a sequence");
    Py_ssize_t size = PySequence_Fast_GET_SIZE(table.get());
    if (size < 1 || size > 256 || (size & (size - 1)) != 0)
        cp::raise_error(PyExc_ValueError, "factors must hold a power of two entries, at most 256");
    FlagFactors factors(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref row = sequence_of(PySequence_Fast_GET_ITEM(table.get(), i),
                              "each entry of factors must be a sequence");
        Py_ssize_t length = PySequence_Fast_GET_SIZE(row.get());
        for (Py_ssize_t j = 0; j < length; ++j)
            factors[static_cast<size_t>(i)].push_back(
                double_from(PySequence_Fast_GET_ITEM(row.get(), j)));
    }
    return factors;
}

Ref scored_tuple(const Scored& item) {
    Ref value = checked(PyFloat_FromDouble(item.first));
    Ref number = checked(PyLong_FromUnsignedLong(item.second));
    return checked(PyTuple_Pack(2, value.get(), number.get()));
}

Ref scored_list(const std::vector<Scored>& items) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), scored_tuple(items[i]).release());
    return list;
}

// {number: score} of a collection's documents, in the order they were first scored.
Ref scores_dict(const Collection& collection) {
    Ref dict = checked(PyDict_New());
    for (uint32_t number : collection.order()) {
        Ref key = checked(PyLong_FromUnsignedLong(number));
        Ref value = checked(PyFloat_FromDouble(collection[number]));
        check(PyDict_SetItem(dict.get(), key.get(), value.get()));
    }
    return dict;
}

// ---------------------------------------------------------------------------------------------
// The type.

PyObject* scores_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)
            cp::raise_error(PyExc_TypeError, "Scores() takes no keyword arguments");
        expect_arguments(PyTuple_GET_SIZE(args), 2, "Scores");
        size_t files = count_from(PyTuple_GET_ITEM(args, 0), "file_count");
        size_t symbols = count_from(PyTuple_GET_ITEM(args, 1), "symbol_count");
        if (files > UINT32_MAX || symbols > UINT32_MAX)
            cp::raise_error(PyExc_OverflowError, "more documents than 32-bit numbers can name");
        Ref self = checked(type->tp_alloc(type, 0));
        reinterpret_cast<ScoresObject*>(self.get())->scores = new Scores(files, symbols);
        return self.release();
    });
}

void scores_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ScoresObject*>(self)->scores;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* add_to(Collection& collection, PyObject* const* args, Py_ssize_t nargs,
                 const char* name) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 4, name);
        BufferView<uint32_t> numbers(args[0], "numbers");
        BufferView<float> weights(args[1], "weights");
        BufferView<float> norm(args[2], "norm");
        collection.add(numbers.items(), weights.items(), norm.items(), double_from(args[3]));
        Py_RETURN_NONE;
    });
}

PyObject* add_files(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return add_to(scores_of(self).files, args, nargs, "add_files");
}

PyObject* add_symbols(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return add_to(scores_of(self).symbols, args, nargs, "add_symbols");
}

PyObject* add_bound_to(Collection& collection, PyObject* const* args, Py_ssize_t nargs,
                       const char* name) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 4, name);
        BufferView<uint32_t> numbers(args[0], "numbers");
        BufferView<float> weights(args[1], "weights");
        collection.add_bound(numbers.items(), weights.items(), double_from(args[2]),
                             double_from(args[3]));
        Py_RETURN_NONE;
    });
}

PyObject* add_files_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return add_bound_to(scores_of(self).files, args, nargs, "add_files_bound");
}

PyObject* add_symbols_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return add_bound_to(scores_of(self).symbols, args, nargs, "add_symbols_bound");
}

PyObject* files(PyObject* self, PyObject*) {
    return guarded([&] { return scores_dict(scores_of(self).files).release(); });
}

PyObject* symbols(PyObject* self, PyObject*) {
    return guarded([&] { return scores_dict(scores_of(self).symbols).release(); });
}

PyObject* file_totals(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 7, "file_totals");
        BufferView<uint32_t> symbol_file(args[0], "symbol_file");
        BufferView<float> priors(args[1], "priors");
        BufferView<uint8_t> flags(args[2], "flags");
        FlagFactors factors = factors_from(args[3]);
        FileRule rule{double_from(args[4]), double_from(args[5]), factors};
        size_t top = count_from(args[6], "top");
        return scored_list(scores_of(self).file_totals(symbol_file.items(), priors.items(),
                                                       flags.items(), rule, top))
            .release();
    });
}

PyObject* file_totals_reaching(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 7, "file_totals_reaching");
        BufferView<uint32_t> symbol_file(args[0], "symbol_file");
        BufferView<float> priors(args[1], "priors");
        BufferView<uint8_t> flags(args[2], "flags");
        FlagFactors factors = factors_from(args[3]);
        FileRule rule{double_from(args[4]), double_from(args[5]), factors};
        double floor = double_from(args[6]);
        return scored_list(scores_of(self).file_totals_reaching(symbol_file.items(), priors.items(),
                                                                flags.items(), rule, floor))
            .release();
    });
}

PyObject* best_symbols(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 3, "best_symbols");
        BufferView<uint32_t> symbol_file(args[0], "symbol_file");
        Ref numbers = sequence_of(args[1], "numbers must be a sequence");
        size_t per_file = count_from(args[2], "per_file");
        // Distinct numbers, in the order given, each with its list in the result.
        Ref result = checked(PyDict_New());
        std::vector<int64_t> wanted;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(numbers.get()); ++i) {
            PyObject* number = PySequence_Fast_GET_ITEM(numbers.get(), i);
            if (check(PyDict_Contains(result.get(), number))) continue;
            long long value = PyLong_AsLongLong(number);
            if (value == -1 && PyErr_Occurred()) cp::raise();
            check(PyDict_SetItem(result.get(), number, Py_None));
            wanted.push_back(value);
        }
        auto found = scores_of(self).best_symbols(symbol_file.items(), wanted, per_file);
        Ref keys = checked(PyDict_Keys(result.get()));
        for (size_t i = 0; i < found.size(); ++i) {
            Ref listed = scored_list(found[i]);
            check(PyDict_SetItem(result.get(), PyList_GET_ITEM(keys.get(), i), listed.get()));
        }
        return result.release();
    });
}

PyMethodDef scores_methods[] = {
    {"add_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_files)),
     METH_FASTCALL, "add_files(numbers, weights, norm, scale): add one term's file postings"},
    {"add_symbols", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_symbols)),
     METH_FASTCALL, "add_symbols(numbers, weights, norm, scale): add one term's symbol postings"},
    {"add_files_bound",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_files_bound)), METH_FASTCALL,
     "add_files_bound(numbers, weights, least_norm, scale): add_files with every norm taken as "
     "least_norm (an upper bound of the scores)"},
    {"add_symbols_bound",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_symbols_bound)), METH_FASTCALL,
     "add_symbols_bound(numbers, weights, least_norm, scale): add_symbols with every norm taken "
     "as least_norm (an upper bound of the scores)"},
    {"files", files, METH_NOARGS, "files() -> {file number: score}, in the order first scored"},
    {"symbols", symbols, METH_NOARGS,
     "symbols() -> {symbol number: score}, in the order first scored"},
    {"file_totals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_totals)),
     METH_FASTCALL,
     "file_totals(symbol_file, priors, flags, factors, best_share, second_share, top)\n"
     "-> [(total, file number)]: the best files and those tied with the last, best first"},
    {"file_totals_reaching",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_totals_reaching)),
     METH_FASTCALL,
     "file_totals_reaching(symbol_file, priors, flags, factors, best_share, second_share, floor)\n"
     "-> [(total, file number)]: every file whose total is above zero and at least floor, best "
     "first"},
    {"best_symbols", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(best_symbols)),
     METH_FASTCALL,
     "best_symbols(symbol_file, numbers, per_file) -> {file number: [(score, symbol number)]}"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scores_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scores_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scores_dealloc)},
    {Py_tp_methods, scores_methods},
    {Py_tp_doc, const_cast<char*>("Scores(file_count, symbol_count): BM25 scores of one "
                                  "question over a corpus's files and symbols.")},
    {0, nullptr},
};

PyType_Spec scores_spec = {
    "tarnwick._scoring.Scores", sizeof(ScoresObject), 0, Py_TPFLAGS_DEFAULT, scores_slots,
};

// ---------------------------------------------------------------------------------------------
// The stored form of postings.

PyObject* encode_postings(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 4, "encode_postings");
        BufferView<uint32_t> files(args[0], "file numbers");
        BufferView<float> file_weights(args[1], "file weights");
        BufferView<uint32_t> symbols(args[2], "symbol numbers");
        BufferView<float> symbol_weights(args[3], "symbol weights");
        std::string blob = scoring::encode_postings(files.items(), file_weights.items(),
                                                    symbols.items(), symbol_weights.items());
        return PyBytes_FromStringAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size()));
    });
}

// A buffer held while it is read or written, released however the scope is left.
class HeldBuffer {
  public:
    HeldBuffer(PyObject* exporter, int flags) {
        check(PyObject_GetBuffer(exporter, &view_, flags));
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view_); }

    template <typename T> std::span<T> items() const {
        return {static_cast<T*>(view_.buf), static_cast<size_t>(view_.len) / sizeof(T)};
    }

  private:
    Py_buffer view_{};
};

// A new array.array of `count` zeros of T's type code.
template <typename T> Ref zeros(PyObject* array_type, size_t count) {
    char code[2] = {ItemCode<T>::code, '\0'};
    Ref one = checked(PyObject_CallFunction(array_type, "s(i)", code, 0));
    return checked(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
}

// The array.array type.
Ref array_class() {
    Ref module = checked(PyImport_ImportModule("array"));
    return checked(PyObject_GetAttrString(module.get(), "array"));
}

// A new array.array holding `values`.
template <typename T> Ref array_of(PyObject* type, std::span<const T> values) {
    Ref out = zeros<T>(type, values.size());
    {
        HeldBuffer held(out.get(), PyBUF_WRITABLE);
        std::ranges::copy(values, held.items<T>().begin());
    }
    return out;
}

PyObject* decode_postings(PyObject*, PyObject* blob) {
    return guarded([&]() -> PyObject* {
        HeldBuffer bytes(blob, PyBUF_SIMPLE);
        std::span<const uint8_t> stored = bytes.items<const uint8_t>();
        // Never more items than the blob has bytes: a damaged count cannot size a large array.
        auto [files, symbols] = posting_counts(stored);
        Ref array_type = array_class();
        Ref arrays[] = {
            zeros<uint32_t>(array_type.get(), files), zeros<float>(array_type.get(), files),
            zeros<uint32_t>(array_type.get(), symbols), zeros<float>(array_type.get(), symbols)};
        {
            HeldBuffer held[] = {{arrays[0].get(), PyBUF_WRITABLE},
                                 {arrays[1].get(), PyBUF_WRITABLE},
                                 {arrays[2].get(), PyBUF_WRITABLE},
                                 {arrays[3].get(), PyBUF_WRITABLE}};
            scoring::decode_postings(stored, {held[0].items<uint32_t>(), held[1].items<float>(),
                                              held[2].items<uint32_t>(), held[3].items<float>()});
        }
        return checked(PyTuple_Pack(4, arrays[0].get(), arrays[1].get(), arrays[2].get(),
                                    arrays[3].get()))
            .release();
    });
}

// Two packed arrays (numbers, weights) holding `kept`.
Ref kept_postings(const std::pair<std::vector<uint32_t>, std::vector<float>>& kept) {
    Ref array_type = array_class();
    Ref kept_numbers = array_of<uint32_t>(array_type.get(), kept.first);
    Ref kept_weights = array_of<float>(array_type.get(), kept.second);
    return checked(PyTuple_Pack(2, kept_numbers.get(), kept_weights.get()));
}

PyObject* postings_in(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 4, "postings_in");
        BufferView<uint32_t> numbers(args[0], "numbers");
        BufferView<float> weights(args[1], "weights");
        BufferView<uint8_t> wanted(args[3], "wanted");
        if (args[2] == Py_None)
            return kept_postings(
                       scoring::postings_in(numbers.items(), weights.items(), {}, wanted.items()))
                .release();
        BufferView<uint32_t> symbol_file(args[2], "symbol_file");
        return kept_postings(scoring::postings_in(numbers.items(), weights.items(),
                                                  symbol_file.items(), wanted.items()))
            .release();
    });
}

PyObject* postings_in_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 3, "postings_in_blocks");
        BufferView<uint32_t> numbers(args[0], "numbers");
        BufferView<float> weights(args[1], "weights");
        BufferView<uint32_t> blocks(args[2], "blocks");
        return kept_postings(
                   scoring::postings_in_blocks(numbers.items(), weights.items(), blocks.items()))
            .release();
    });
}

PyObject* owners_from_firsts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 2, "owners_from_firsts");
        BufferView<uint32_t> firsts(args[0], "firsts");
        BufferView<uint32_t> owners(args[1], "owners", true);
        scoring::owners_from_firsts(firsts.items(), owners.writable_items());
        Py_RETURN_NONE;
    });
}

// BM25's length norm of each document, k1 * (1 - b + b * length / average), taken as the
// Python reference takes it: in doubles, in that order (no product feeds a sum, so no step can
// be fused), each rounded once to a float. The caller never passes a zero average.
PyObject* length_norms(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 4, "length_norms");
        BufferView<double> lengths(args[0], "lengths");
        const double k1 = double_from(args[1]);
        const double b = double_from(args[2]);
        const double average = double_from(args[3]);
        Ref array_type = array_class();
        Ref out = zeros<float>(array_type.get(), lengths.size());
        {
            HeldBuffer held(out.get(), PyBUF_WRITABLE);
            std::ranges::transform(lengths.items(), held.items<float>().begin(), [&](double n) {
                return static_cast<float>(k1 * (1.0 - b + b * n / average));
            });
        }
        return out.release();
    });
}

// A sequence of a question's terms, each (files, file weights, file scale, symbols, symbol
// weights, symbol scale), viewed while the views put in `numbers` and `weights` live.
std::vector<TermPostings> terms_from(PyObject* value,
                                     std::vector<std::unique_ptr<BufferView<uint32_t>>>& numbers,
                                     std::vector<std::unique_ptr<BufferView<float>>>& weights) {
    Ref terms = sequence_of(value, "postings must be a sequence");
    std::vector<TermPostings> found;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(terms.get()); ++i) {
        Ref term = sequence_of(PySequence_Fast_GET_ITEM(terms.get(), i),
                               "each term's postings must be a sequence");
        if (PySequence_Fast_GET_SIZE(term.get()) != 6)
            cp::raise_error(PyExc_ValueError, "each term's postings must hold six items");
        PyObject** items = PySequence_Fast_ITEMS(term.get());
        numbers.push_back(std::make_unique<BufferView<uint32_t>>(items[0], "numbers"));
        weights.push_back(std::make_unique<BufferView<float>>(items[1], "weights"));
        numbers.push_back(std::make_unique<BufferView<uint32_t>>(items[3], "numbers"));
        weights.push_back(std::make_unique<BufferView<float>>(items[4], "weights"));
        size_t last = numbers.size() - 1;
        found.push_back({numbers[last - 1]->items(), weights[last - 1]->items(),
                         double_from(items[2]), numbers[last]->items(), weights[last]->items(),
                         double_from(items[5])});
    }
    return found;
}

// The arrays (totals, files) of every file's bound that `compute(room)` puts in `room`.
template <typename Compute> Ref bound_arrays(Compute compute) {
    Ref array_type = array_class();
    Ref totals, files;
    size_t most = 0;
    size_t count = 0;
    {
        std::unique_ptr<HeldBuffer> held_totals, held_files;
        auto room = [&](size_t size) -> std::pair<std::span<double>, std::span<uint32_t>> {
            most = size;
            totals = zeros<double>(array_type.get(), size);
            files = zeros<uint32_t>(array_type.get(), size);
            held_totals = std::make_unique<HeldBuffer>(totals.get(), PyBUF_WRITABLE);
            held_files = std::make_unique<HeldBuffer>(files.get(), PyBUF_WRITABLE);
            return {held_totals->items<double>(), held_files->items<uint32_t>()};
        };
        count = compute(TotalsRoom(room));
    }
    // The room asked for holds every file with a score; those whose total is not above zero
    // leave its end unused.
    if (count < most) {
        check(PySequence_DelSlice(totals.get(), static_cast<Py_ssize_t>(count),
                                  static_cast<Py_ssize_t>(most)));
        check(PySequence_DelSlice(files.get(), static_cast<Py_ssize_t>(count),
                                  static_cast<Py_ssize_t>(most)));
    }
    return checked(PyTuple_Pack(2, totals.get(), files.get()));
}

// A packed view of type code `code` over `bytes` (a bytearray), which it holds.
Ref cast_view(PyObject* bytes, const char* code) {
    Ref view = checked(PyMemoryView_FromObject(bytes));
    return checked(PyObject_CallMethod(view.get(), "cast", "s", code));
}

// The views (totals, files) of every file's bound that `compute(room)` puts in `room`. The room
// is asked for every file at once, so it is left as allocated, not cleared: only what is
// written is touched (a question's few hundred files of a large project, or most of them).
template <typename Compute> Ref bound_views(Compute compute) {
    Ref totals, files;
    auto room = [&](size_t size) -> std::pair<std::span<double>, std::span<uint32_t>> {
        if (size > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(double)) throw std::bad_alloc();
        totals = checked(
            PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size * sizeof(double))));
        files = checked(PyByteArray_FromStringAndSize(
            nullptr, static_cast<Py_ssize_t>(size * sizeof(uint32_t))));
        return {{reinterpret_cast<double*>(PyByteArray_AS_STRING(totals.get())), size},
                {reinterpret_cast<uint32_t*>(PyByteArray_AS_STRING(files.get())), size}};
    };
    size_t count = compute(TotalsRoom(room));
    check(PyByteArray_Resize(totals.get(), static_cast<Py_ssize_t>(count * sizeof(double))));
    check(PyByteArray_Resize(files.get(), static_cast<Py_ssize_t>(count * sizeof(uint32_t))));
    Ref totals_view = cast_view(totals.get(), "d");
    Ref files_view = cast_view(files.get(), "I");
    return checked(PyTuple_Pack(2, totals_view.get(), files_view.get()));
}

PyObject* bound_totals(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 8, "bound_totals");
        std::vector<std::unique_ptr<BufferView<uint32_t>>> numbers;
        std::vector<std::unique_ptr<BufferView<float>>> weights;
        std::vector<TermPostings> terms = terms_from(args[0], numbers, weights);
        double least_norm = double_from(args[1]);
        BufferView<uint32_t> symbol_file(args[2], "symbol_file");
        BufferView<float> priors(args[3], "priors");
        BufferView<uint8_t> flags(args[4], "flags");
        FlagFactors factors = factors_from(args[5]);
        FileRule rule{double_from(args[6]), double_from(args[7]), factors};
        return bound_arrays([&](const TotalsRoom& room) {
                   return scoring::bound_totals(terms, least_norm, symbol_file.items(),
                                                priors.items(), flags.items(), rule, room);
               })
            .release();
    });
}

PyObject* bound_totals_from_firsts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 9, "bound_totals_from_firsts");
        std::vector<std::unique_ptr<BufferView<uint32_t>>> numbers;
        std::vector<std::unique_ptr<BufferView<float>>> weights;
        std::vector<TermPostings> terms = terms_from(args[0], numbers, weights);
        double least_norm = double_from(args[1]);
        BufferView<uint32_t> firsts(args[2], "firsts");
        size_t symbol_count = count_from(args[3], "symbol_count");
        BufferView<float> priors(args[4], "priors");
        BufferView<uint8_t> flags(args[5], "flags");
        FlagFactors factors = factors_from(args[6]);
        FileRule rule{double_from(args[7]), double_from(args[8]), factors};
        return bound_views([&](const TotalsRoom& room) {
                   return scoring::bound_totals_from_firsts(terms, least_norm, firsts.items(),
                                                            symbol_count, priors.items(),
                                                            flags.items(), rule, room);
               })
            .release();
    });
}

PyObject* ends_out_of_order(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 2, "ends_out_of_order");
        BufferView<uint32_t> firsts(args[0], "firsts");
        size_t symbol_count = count_from(args[1], "symbol_count");
        std::vector<uint32_t> ends =
            scoring::ends_out_of_order(BlockOrder(firsts.items(), symbol_count), symbol_count);
        return array_of<uint32_t>(array_class().get(), ends).release();
    });
}

PyObject* leading(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 3, "leading");
        BufferView<double> totals(args[0], "totals");
        BufferView<uint32_t> files(args[1], "files");
        return scored_list(
                   scoring::leading(totals.items(), files.items(), count_from(args[2], "top")))
            .release();
    });
}

PyObject* reaching(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 3, "reaching");
        BufferView<double> totals(args[0], "totals");
        BufferView<uint32_t> files(args[1], "files");
        return scored_list(scoring::reaching(totals.items(), files.items(), double_from(args[2])))
            .release();
    });
}

PyObject* keep_freed_arrays(PyObject*, PyObject* limit) {
    return guarded([&]() -> PyObject* {
        size_t before = kept_mappings::set_limit(count_from(limit, "limit"));
        return checked(PyLong_FromSize_t(before)).release();
    });
}

PyObject* kept_arrays(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        Ref bytes = checked(PyLong_FromSize_t(kept_mappings::kept_bytes()));
        return checked(Py_BuildValue("(OO)", bytes.get(),
                                     kept_mappings::all_zero() ? Py_True : Py_False))
            .release();
    });
}

PyObject* keep_freed_heap(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        expect_arguments(nargs, 2, "keep_freed_heap");
        bool kept =
            freed_heap::keep(count_from(args[0], "mapped_from"), count_from(args[1], "kept_top"));
        return checked(PyBool_FromLong(kept)).release();
    });
}

PyMethodDef module_methods[] = {
    {"encode_postings",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_postings)), METH_FASTCALL,
     "encode_postings(files, file_weights, symbols, symbol_weights) -> bytes: a term's postings "
     "in their stored form"},
    {"decode_postings", decode_postings, METH_O,
     "decode_postings(blob) -> (files, file_weights, symbols, symbol_weights): the packed arrays "
     "of a stored form (ValueError for a damaged one)"},
    {"postings_in", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(postings_in)),
     METH_FASTCALL,
     "postings_in(numbers, weights, symbol_file, wanted) -> (numbers, weights): the postings "
     "lying in the files wanted (a byte per file; symbol_file None for file postings)"},
    {"postings_in_blocks",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(postings_in_blocks)), METH_FASTCALL,
     "postings_in_blocks(numbers, weights, blocks) -> (numbers, weights): the postings whose "
     "numbers lie in the blocks (a packed array of (first, end) pairs, increasing)"},
    {"owners_from_firsts",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(owners_from_firsts)), METH_FASTCALL,
     "owners_from_firsts(firsts, owners): each symbol's file written into owners (a writable "
     "packed array, one slot per symbol) from each file's first symbol (0xFFFFFFFF: none); "
     "ValueError, nothing written, for a first symbol out of range or two files beginning at "
     "one symbol"},
    {"length_norms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(length_norms)),
     METH_FASTCALL,
     "length_norms(lengths, k1, b, average) -> array('f'): BM25's length norm of each "
     "document (lengths: a packed array of doubles)"},
    {"bound_totals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bound_totals)),
     METH_FASTCALL,
     "bound_totals(postings, least_norm, symbol_file, priors, flags, factors, best_share, "
     "second_share) -> (totals, files): every file's bound total above zero, unordered, for the "
     "terms' postings (each (files, weights, scale, symbols, weights, scale))"},
    {"bound_totals_from_firsts",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bound_totals_from_firsts)),
     METH_FASTCALL,
     "bound_totals_from_firsts(postings, least_norm, firsts, symbol_count, priors, flags, factors, "
     "best_share, second_share) -> (totals, files): bound_totals with each symbol's file found "
     "from the files' first symbols; the two as packed views"},
    {"ends_out_of_order",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ends_out_of_order)), METH_FASTCALL,
     "ends_out_of_order(firsts, symbol_count) -> array('I'): (file, end) pairs, one after "
     "another, of the files whose block's room (up to the next block by first symbol) does not end "
     "where the next file with symbols begins; ValueError for first symbols owners_from_firsts "
     "refuses"},
    {"leading", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(leading)), METH_FASTCALL,
     "leading(totals, files, top) -> [(total, file number)]: the best top and those tied with "
     "the last, best first"},
    {"reaching", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reaching)),
     METH_FASTCALL,
     "reaching(totals, files, floor) -> [(total, file number)]: those at least floor, best "
     "first"},
    {"keep_freed_arrays", keep_freed_arrays, METH_O,
     "keep_freed_arrays(limit) -> the limit before: keep up to limit bytes of the large score "
     "arrays' mappings for the next arrays of their sizes, pages in place (0, the default: "
     "unmap each when freed)"},
    {"kept_arrays", kept_arrays, METH_NOARGS,
     "kept_arrays() -> (bytes, all zero): the mappings kept for reuse"},
    {"keep_freed_heap",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keep_freed_heap)), METH_FASTCALL,
     "keep_freed_heap(mapped_from, kept_top) -> bool: ask glibc to serve blocks up to mapped_from "
     "bytes from the heap and keep up to kept_top bytes of its free top (False, nothing changed, "
     "with another C library)"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// The module.

int module_exec(PyObject* module) {
    return cp::add_type(module, &scores_spec, "Scores");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._scoring",
    "BM25 scoring of a question's postings over a corpus (the inner loops of ranking).",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace scoring

PyMODINIT_FUNC PyInit__scoring() {
    return PyModuleDef_Init(&scoring::module_def);
}
