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

// The distinct weights of a list by their bits, each with its uses, then with its place in
// the table: counted in one pass over the list through open addressing (a list holds up to a
// million postings and a few thousand distinct weights, which sorting the list would cost).
class WeightTable {
  public:
    explicit WeightTable(std::span<const float> weights) {
        // Room for every weight distinct at half load, up to 1,024 at first: most lists are short.
        grow(std::bit_ceil(2 * std::clamp<size_t>(weights.size(), 8, 1024)));
        for (float weight : weights)
            ++values_[slot(std::bit_cast<uint32_t>(weight))];
    }

    // The distinct weights, most used first, ties to the smaller bits (`uses` gets the uses
    // of each); each slot then holds its weight's index in this table.
    std::vector<uint32_t> ordered(std::vector<uint32_t>& uses) {
        std::vector<std::pair<uint32_t, uint32_t>> used; // (uses, bits)
        used.reserve(size_);
        for (size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i] != 0) used.emplace_back(values_[i], static_cast<uint32_t>(keys_[i] - 1));
        std::sort(used.begin(), used.end(), [](const auto& a, const auto& b) {
            return a.first > b.first || (a.first == b.first && a.second < b.second);
        });
        std::vector<uint32_t> table;
        table.reserve(used.size());
        uses.reserve(used.size());
        for (const auto& [count, bits] : used) {
            values_[slot(bits)] = static_cast<uint32_t>(table.size());
            table.push_back(bits);
            uses.push_back(count);
        }
        return table;
    }

    // The value a weight's slot holds: its uses, or its index once `ordered`.
    uint32_t value(float weight) { return values_[slot(std::bit_cast<uint32_t>(weight))]; }

  private:
    size_t slot(uint32_t bits) {
        uint64_t key = uint64_t{bits} + 1; // 0 marks an empty slot
        size_t mask = keys_.size() - 1;
        for (size_t i = (bits * 0x9E3779B1u) >> shift_;; i = (i + 1) & mask) {
            if (keys_[i] == key) return i;
            if (keys_[i] == 0) {
                if (2 * (size_ + 1) > keys_.size()) {
                    grow(2 * keys_.size());
                    return slot(bits);
                }
                keys_[i] = key;
                ++size_;
                return i;
            }
        }
    }

    void grow(size_t capacity) {
        std::vector<uint64_t> keys(capacity, 0);
        std::vector<uint32_t> values(capacity, 0);
        keys.swap(keys_);
        values.swap(values_);
        shift_ = 32 - std::countr_zero(capacity);
        size_t mask = capacity - 1;
        for (size_t j = 0; j < keys.size(); ++j) {
            if (keys[j] == 0) continue;
            uint32_t bits = static_cast<uint32_t>(keys[j] - 1);
            size_t i = (bits * 0x9E3779B1u) >> shift_;
            while (keys_[i] != 0)
                i = (i + 1) & mask;
            keys_[i] = keys[j];
            values_[i] = values[j];
        }
    }

    std::vector<uint64_t> keys_;
    std::vector<uint32_t> values_;
    size_t size_ = 0;
    int shift_ = 0;
};

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
    WeightTable counted(weights);
    std::vector<uint32_t> uses;
    std::vector<uint32_t> table = counted.ordered(uses);
    size_t indexed_size = table.size() * sizeof(float);
    if (table.size() > 1) // each index's size once per use of its weight
        for (size_t i = 0; i < table.size(); ++i)
            indexed_size += size_t{uses[i]} * value_size(static_cast<uint32_t>(i));
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
        for (float weight : weights)
            put_value(counted.value(weight), out);
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
