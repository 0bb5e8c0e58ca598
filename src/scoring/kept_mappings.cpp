// Mappings of large zeroed arrays kept for reuse; see kept_mappings.hpp.
#include "kept_mappings.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace scoring::kept_mappings {

namespace {

struct Mapping {
    void* items;
    size_t bytes;
};

// A server's arrays come in a few sizes (its project's files and symbols); most recently
// given last.
struct Kept {
    std::mutex lock;
    std::vector<Mapping> mappings;
    size_t bytes = 0;
    size_t limit = 0;

    // Unmaps the least recently given until `room` more bytes fit under the limit.
    void make_room(size_t room) {
        size_t drop = 0;
        while (drop < mappings.size() && bytes + room > limit) {
            munmap(mappings[drop].items, mappings[drop].bytes);
            bytes -= mappings[drop].bytes;
            ++drop;
        }
        mappings.erase(mappings.begin(), mappings.begin() + static_cast<std::ptrdiff_t>(drop));
    }
};

Kept& kept() {
    static Kept* instance = new Kept; // never destroyed: arrays may outlive static teardown
    return *instance;
}

} // namespace

size_t set_limit(size_t bytes) {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    size_t before = k.limit;
    k.limit = bytes;
    k.make_room(0);
    return before;
}

bool keeping() {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    return k.limit != 0;
}

void* take(size_t bytes) {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    for (size_t i = k.mappings.size(); i-- > 0;) {
        if (k.mappings[i].bytes == bytes) {
            void* items = k.mappings[i].items;
            k.mappings.erase(k.mappings.begin() + static_cast<std::ptrdiff_t>(i));
            k.bytes -= bytes;
            return items;
        }
    }
    return nullptr;
}

void give(void* items, size_t bytes) {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    if (bytes > k.limit) {
        munmap(items, bytes);
        return;
    }
    k.make_room(bytes);
    k.mappings.push_back({items, bytes});
    k.bytes += bytes;
}

size_t kept_bytes() {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    return k.bytes;
}

bool all_zero() {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    return std::all_of(k.mappings.begin(), k.mappings.end(), [](const Mapping& mapping) {
        const auto* bytes = static_cast<const unsigned char*>(mapping.items);
        return std::all_of(bytes, bytes + mapping.bytes, [](unsigned char b) { return b == 0; });
    });
}

} // namespace scoring::kept_mappings
