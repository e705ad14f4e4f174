#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Pieces for scanning JSON text 64 bytes at a time: one bit per byte marks
// the bytes of interest, and the bits of the bytes inside strings follow
// from the unescaped quotes by a prefix XOR.
namespace qelutil {
namespace jsonblocks {

constexpr std::size_t BLOCK = 64;

// Bit i becomes the XOR of bits 0..i.
inline uint64_t prefixXor(uint64_t bits) {
    bits ^= bits << 1;
    bits ^= bits << 2;
    bits ^= bits << 4;
    bits ^= bits << 8;
    bits ^= bits << 16;
    bits ^= bits << 32;
    return bits;
}

inline unsigned lowestBit(uint64_t bits) { return static_cast<unsigned>(__builtin_ctzll(bits)); }

#if defined(__SSE2__)
inline uint64_t bitsOf(__m128i bytes, char c) {
    return static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}

// Bytes below `c` taken as signed: those below `c`, and those of 0x80 and above.
inline uint64_t bitsBelow(__m128i bytes, char c) {
    return static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmplt_epi8(bytes, _mm_set1_epi8(c))));
}
#endif

// The block at `data`, or a zero-padded copy of it in `padded` when fewer
// than BLOCK bytes remain. Zero bytes match nothing a scan looks for.
inline const char* wholeBlock(const char* data, std::size_t length, char* padded) {
    if (length >= BLOCK) return data;
    std::memcpy(padded, data, length);
    std::memset(padded + length, 0, BLOCK - length);
    return padded;
}

// Bits of the bytes that a backslash escapes, among the first `length`
// bytes of a block. `escapeFirst` says the block's first byte is escaped by
// the previous block's last one; `escapeNext` is set when this block's last
// byte escapes the next block's first.
inline uint64_t escapedBits(uint64_t backslash, bool escapeFirst, std::size_t length, bool& escapeNext) {
    uint64_t escaped = escapeFirst ? 1 : 0;
    escapeNext = false;
    for (uint64_t rest = backslash & ~escaped; rest != 0; rest &= rest - 1) {
        const unsigned i = lowestBit(rest);
        if (escaped >> i & 1) continue;  // an escaped backslash escapes nothing
        if (i + 1 < length)
            escaped |= uint64_t{1} << (i + 1);
        else
            escapeNext = true;
    }
    return escaped;
}

}  // namespace jsonblocks
}  // namespace qelutil
