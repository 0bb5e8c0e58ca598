// The stored form of postings; see postings_codec.hpp.
#include "postings_codec.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "py_ref.hpp"

namespace scoring {

namespace {

[[noreturn]] void damaged(const char* message) {
    cp::raise_error(PyExc_ValueError, message);
}

void put_value(uint32_t value, std::string& out) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

size_t value_size(uint32_t value) {
    size_t size = 1;
    for (; value >= 0x80; value >>= 7)
        ++size;
    return size;
}

void put_float(float value, std::string& out) {
    char bytes[sizeof(float)];
    std::memcpy(bytes, &value, sizeof bytes);
    out.append(bytes, sizeof bytes);
}

// The distinct weights of a list by their bits, most used first, ties to the smaller bits.
std::vector<uint32_t> weight_table(std::span<const float> weights) {
    std::vector<uint32_t> bits(weights.size());
    for (size_t i = 0; i < weights.size(); ++i)
        bits[i] = std::bit_cast<uint32_t>(weights[i]);
    std::sort(bits.begin(), bits.end());
    std::vector<std::pair<size_t, uint32_t>> used; // (uses, bits)
    for (size_t i = 0; i < bits.size();) {
        size_t j = i;
        while (j < bits.size() && bits[j] == bits[i])
            ++j;
        used.emplace_back(j - i, bits[i]);
        i = j;
    }
    std::sort(used.begin(), used.end(), [](const auto& a, const auto& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
    std::vector<uint32_t> table;
    table.reserve(used.size());
    for (const auto& [uses, value] : used)
        table.push_back(value);
    return table;
}

// Reads a blob front to back; every read is checked against what is left.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> blob) : at_(blob.data()), end_(at_ + blob.size()) {}

    size_t left() const { return static_cast<size_t>(end_ - at_); }

    uint32_t value() {
        if (at_ != end_ && *at_ < 0x80) return *at_++; // most gaps and indexes take one byte
        uint64_t value = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            if (at_ == end_) damaged("postings truncated");
            uint8_t byte = *at_++;
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                if (value > UINT32_MAX) damaged("postings out of range");
                return static_cast<uint32_t>(value);
            }
        }
        damaged("postings out of range");
    }

    float single() {
        if (left() < sizeof(float)) damaged("postings truncated");
        float value;
        std::memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return value;
    }

  private:
    const uint8_t* at_;
    const uint8_t* end_;
};

// The counts at the head of a blob, checked against its size.
std::pair<size_t, size_t> read_counts(Reader& in) {
    size_t files = in.value();
    size_t symbols = in.value();
    if (files + symbols > in.left()) damaged("postings truncated");
    return {files, symbols};
}

void decode_list(Reader& in, std::span<uint32_t> numbers, std::span<float> weights) {
    size_t count = numbers.size();
    if (count == 0) return;
    uint32_t size = in.value();
    if (size > count) damaged("postings' weight table larger than their count");
    // The table, the gaps (a byte each at least) and the weights or indexes must all fit.
    size_t least = size_t{size} * sizeof(float) + count + (size == 0 ? count * sizeof(float) : 0);
    if (least > in.left()) damaged("postings truncated");
    std::vector<float> table(size);
    for (float& value : table)
        value = in.single();
    uint64_t number = 0;
    for (size_t i = 0; i < count; ++i) {
        number += uint64_t{in.value()} + (i == 0 ? 0 : 1);
        if (number > UINT32_MAX) damaged("postings out of range");
        numbers[i] = static_cast<uint32_t>(number);
    }
    if (size == 0) {
        for (float& weight : weights)
            weight = in.single();
    } else if (size == 1) {
        std::fill(weights.begin(), weights.end(), table[0]);
    } else {
        for (float& weight : weights) {
            uint32_t index = in.value();
            if (index >= size) damaged("a posting's weight outside its table");
            weight = table[index];
        }
    }
}

void encode_list(std::span<const uint32_t> numbers, std::span<const float> weights,
                 std::string& out) {
    if (weights.size() != numbers.size()) damaged("postings of unequal length");
    for (size_t i = 1; i < numbers.size(); ++i)
        if (numbers[i] <= numbers[i - 1]) damaged("postings not in increasing order");
    if (numbers.empty()) return;
    std::vector<uint32_t> table = weight_table(weights);
    // The index of each weight, found by its bits.
    std::vector<std::pair<uint32_t, uint32_t>> index_of; // (bits, index)
    index_of.reserve(table.size());
    for (size_t i = 0; i < table.size(); ++i)
        index_of.emplace_back(table[i], static_cast<uint32_t>(i));
    std::sort(index_of.begin(), index_of.end());
    std::vector<uint32_t> indexes(weights.size());
    size_t indexed_size = table.size() * sizeof(float);
    for (size_t i = 0; i < weights.size(); ++i) {
        uint32_t bits = std::bit_cast<uint32_t>(weights[i]);
        auto found = std::lower_bound(index_of.begin(), index_of.end(), std::make_pair(bits, 0u));
        indexes[i] = found->second;
        if (table.size() > 1) indexed_size += value_size(indexes[i]);
    }
    // A table pays only when it is smaller than the weights themselves.
    bool raw = indexed_size >= weights.size() * sizeof(float);
    put_value(raw ? 0 : static_cast<uint32_t>(table.size()), out);
    if (!raw)
        for (uint32_t bits : table)
            put_float(std::bit_cast<float>(bits), out);
    for (size_t i = 0; i < numbers.size(); ++i)
        put_value(i == 0 ? numbers[0] : numbers[i] - numbers[i - 1] - 1, out);
    if (raw) {
        for (float weight : weights)
            put_float(weight, out);
    } else if (table.size() > 1) {
        for (uint32_t index : indexes)
            put_value(index, out);
    }
}

} // namespace

std::string encode_postings(std::span<const uint32_t> files, std::span<const float> file_weights,
                            std::span<const uint32_t> symbols,
                            std::span<const float> symbol_weights) {
    if (files.size() > UINT32_MAX || symbols.size() > UINT32_MAX)
        damaged("more postings than 32-bit counts can name");
    std::string out;
    put_value(static_cast<uint32_t>(files.size()), out);
    put_value(static_cast<uint32_t>(symbols.size()), out);
    encode_list(files, file_weights, out);
    encode_list(symbols, symbol_weights, out);
    return out;
}

std::pair<size_t, size_t> posting_counts(std::span<const uint8_t> blob) {
    Reader in(blob);
    return read_counts(in);
}

void decode_postings(std::span<const uint8_t> blob, const PostingLists& into) {
    Reader in(blob);
    auto [files, symbols] = read_counts(in);
    if (into.files.size() != files || into.file_weights.size() != files ||
        into.symbols.size() != symbols || into.symbol_weights.size() != symbols)
        cp::raise_error(PyExc_ValueError, "postings decoded into arrays of the wrong length");
    decode_list(in, into.files, into.file_weights);
    decode_list(in, into.symbols, into.symbol_weights);
    if (in.left() != 0) damaged("postings longer than their counts");
}

} // namespace scoring
