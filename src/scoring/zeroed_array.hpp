// A fixed-length array of zeros. A large one is mapped as fresh pages of its own, so a
// question pays only for the pages its postings touch, not for clearing every document's
// slot: calloc would hand back heap memory and clear it whole once the allocator has raised
// its mapping threshold past the array's size (it does after the first such array is freed).
// Where the process keeps mappings (kept_mappings.hpp), an owner that sets back the slots it
// wrote (`clear_slots`) hands its mapping on to the next array of its size, pages in place.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "kept_mappings.hpp"

namespace scoring {

template <typename T> class ZeroedArray {
    static_assert(std::is_trivial_v<T>, "zero bytes must be a valid T");
    // Below this, calloc is as cheap (small blocks are cleared in the cache, and a mapping's
    // faults cost more where most slots are touched). Above it, calloc clears reused heap
    // memory whole, while a question's exact passes touch the slots of a few hundred files: a
    // file array of a large project (800 KB at 100,000 files) is mapped too.
    static constexpr size_t kMappedBytes = size_t{1} << 19;

  public:
    explicit ZeroedArray(size_t count)
        : bytes_((count == 0 ? 1 : count) * sizeof(T)), mapped_(bytes_ >= kMappedBytes) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* items = nullptr;
        if (mapped_) {
            items = kept_mappings::take(bytes_);
            if (items == nullptr)
                items = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                             -1, 0);
            if (items == MAP_FAILED) throw std::bad_alloc();
        } else {
            items = std::calloc(bytes_ / sizeof(T), sizeof(T));
            if (items == nullptr) throw std::bad_alloc();
        }
        items_ = static_cast<T*>(items);
    }
    ZeroedArray(const ZeroedArray&) = delete;
    ZeroedArray& operator=(const ZeroedArray&) = delete;
    ~ZeroedArray() {
        if (!mapped_)
            std::free(items_);
        else if (cleared_)
            kept_mappings::give(items_, bytes_);
        else
            munmap(items_, bytes_);
    }

    // Sets back to zero the slots `written` (which must name every slot ever written), so that
    // the mapping can serve the next array of this size; only where mappings are kept.
    template <typename Slots> void clear_slots(const Slots& written) {
        if (!mapped_ || !kept_mappings::keeping()) return;
        for (auto n : written)
            items_[n] = T{};
        cleared_ = true;
    }

    T& operator[](size_t n) { return items_[n]; }
    const T& operator[](size_t n) const { return items_[n]; }

  private:
    size_t bytes_;
    bool mapped_;
    bool cleared_ = false;
    T* items_ = nullptr;
};

} // namespace scoring
