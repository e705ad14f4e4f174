#pragma once

#include <cstddef>

namespace qelutil {

/// The base allocator of parsed documents: their pool chunks and their parse
/// stacks. Freed blocks of up to 128 KiB are kept per thread, a few of them,
/// and handed out again for a request they are large enough for. A 10 KB
/// reply needs a 32 KB chunk; from the allocator, that would come from its
/// large bins, and sweep its small-block bins first, on every read. The
/// blocks a thread keeps go when it ends.
class ChunkAllocator {
public:
    static const bool kNeedFree = true;

    void* Malloc(std::size_t size);
    void* Realloc(void* original, std::size_t originalSize, std::size_t newSize);
    static void Free(void* block);
};

}  // namespace qelutil
