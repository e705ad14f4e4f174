#include "ChunkAllocator.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace qelutil {

namespace {

constexpr std::size_t MAX_KEPT_SIZE = 128 * 1024;
constexpr std::size_t KEPT_BLOCKS = 8;
// Each block starts with its capacity; what follows stays aligned as
// malloc's own blocks are.
constexpr std::size_t HEADER = alignof(std::max_align_t);

struct Kept {
    char* block = nullptr;  // the start of the header
    std::size_t capacity = 0;
};

// Trivially destructible: still usable while the thread's other objects go,
// some of which may free documents.
struct Slots {
    Kept kept[KEPT_BLOCKS];
    std::size_t count = 0;
    bool closed = false;
};

Slots& local() {
    static thread_local Slots slots;
    return slots;
}

std::size_t& capacityOf(char* block) { return *reinterpret_cast<std::size_t*>(block); }

// Frees the kept blocks when the thread ends, and closes the cache.
struct Releaser {
    ~Releaser() {
        Slots& slots = local();
        slots.closed = true;
        while (slots.count > 0) {
            Kept& kept = slots.kept[--slots.count];
            ASAN_UNPOISON_MEMORY_REGION(kept.block, HEADER + kept.capacity);
            std::free(kept.block);
        }
    }
};

// The smallest kept block that holds `size` bytes, taken out of the cache.
char* takeKept(std::size_t size) {
    Slots& slots = local();
    std::size_t best = slots.count;
    for (std::size_t i = 0; i < slots.count; ++i) {
        const std::size_t capacity = slots.kept[i].capacity;
        if (capacity >= size && (best == slots.count || capacity < slots.kept[best].capacity)) best = i;
    }
    if (best == slots.count) return nullptr;
    char* block = slots.kept[best].block;
    ASAN_UNPOISON_MEMORY_REGION(block, HEADER + slots.kept[best].capacity);
    slots.kept[best] = slots.kept[--slots.count];
    return block;
}

// A full cache gives up its smallest block for a larger one: a parse frees
// its stack's smaller blocks as the stack grows, and they must not crowd out
// the pool chunk that the next parse of the same size needs.
bool keep(char* block) {
    Slots& slots = local();
    const std::size_t capacity = capacityOf(block);
    if (slots.closed || capacity > MAX_KEPT_SIZE) return false;
    std::size_t slot = slots.count;
    if (slots.count == KEPT_BLOCKS) {
        slot = static_cast<std::size_t>(
            std::min_element(std::begin(slots.kept), std::end(slots.kept),
                             [](const Kept& a, const Kept& b) { return a.capacity < b.capacity; }) -
            std::begin(slots.kept));
        if (slots.kept[slot].capacity >= capacity) return false;
        ASAN_UNPOISON_MEMORY_REGION(slots.kept[slot].block, HEADER + slots.kept[slot].capacity);
        std::free(slots.kept[slot].block);
    } else {
        ++slots.count;
    }
    static thread_local Releaser releaser;
    // Kept blocks stay poisoned under the address sanitizer, which then
    // still reports a use after free.
    ASAN_POISON_MEMORY_REGION(block, HEADER + capacity);
    slots.kept[slot] = Kept{block, capacity};
    return true;
}

}  // namespace

void* ChunkAllocator::Malloc(std::size_t size) {
    if (size == 0) return nullptr;
    char* block = takeKept(size);
    if (!block) {
        if (size > SIZE_MAX - HEADER) return nullptr;
        block = static_cast<char*>(std::malloc(HEADER + size));
        if (!block) return nullptr;
        capacityOf(block) = size;
    }
    return block + HEADER;
}

void* ChunkAllocator::Realloc(void* original, std::size_t originalSize, std::size_t newSize) {
    if (newSize == 0) {
        Free(original);
        return nullptr;
    }
    if (original && capacityOf(static_cast<char*>(original) - HEADER) >= newSize) return original;
    void* grown = Malloc(newSize);
    if (grown && original) {
        std::memcpy(grown, original, std::min(originalSize, newSize));
        Free(original);
    }
    return grown;
}

void ChunkAllocator::Free(void* block) {
    if (!block) return;
    char* start = static_cast<char*>(block) - HEADER;
    if (!keep(start)) std::free(start);
}

}  // namespace qelutil
