#pragma once

#include <QelAccessUtility/JsonParser.h>

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

// The bytes of a block that the scans look at, one bit per byte.
struct Masks {
    uint64_t quote = 0;
    uint64_t backslash = 0;
    uint64_t open = 0;        // '{'
    uint64_t close = 0;       // '}'
    uint64_t openArray = 0;   // '['
    uint64_t closeArray = 0;  // ']'
    uint64_t exponent = 0;    // 'e' and 'E'
    uint64_t u = 0;
    uint64_t high = 0;        // 0x80 and above
    uint64_t control = 0;     // below 0x20, and 0x80 and above
};

#if defined(__SSE2__)
inline Masks classify(const char* block) {
    Masks masks;
    const __m128i lowerCase = _mm_set1_epi8(0x20);  // 'E' | 0x20 is 'e'
#pragma GCC unroll 4
    for (unsigned part = 0; part < BLOCK / 16; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
        const unsigned shift = 16 * part;
        masks.quote |= bitsOf(bytes, '"') << shift;
        masks.backslash |= bitsOf(bytes, '\\') << shift;
        masks.open |= bitsOf(bytes, '{') << shift;
        masks.close |= bitsOf(bytes, '}') << shift;
        masks.openArray |= bitsOf(bytes, '[') << shift;
        masks.closeArray |= bitsOf(bytes, ']') << shift;
        masks.exponent |= bitsOf(_mm_or_si128(bytes, lowerCase), 'e') << shift;
        masks.u |= bitsOf(bytes, 'u') << shift;
        masks.high |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(bytes))} << shift;
        masks.control |= bitsBelow(bytes, 0x20) << shift;
    }
    return masks;
}
#else
inline Masks classify(const char* block) {
    Masks masks;
    for (unsigned i = 0; i < BLOCK; ++i) {
        const uint64_t bit = uint64_t{1} << i;
        const auto c = static_cast<unsigned char>(block[i]);
        if (c == '"') masks.quote |= bit;
        if (c == '\\') masks.backslash |= bit;
        if (c == '{') masks.open |= bit;
        if (c == '}') masks.close |= bit;
        if (c == '[') masks.openArray |= bit;
        if (c == ']') masks.closeArray |= bit;
        if (c == 'e' || c == 'E') masks.exponent |= bit;
        if (c == 'u') masks.u |= bit;
        if (c >= 0x80) masks.high |= bit;
        if (c < 0x20 || c >= 0x80) masks.control |= bit;
    }
    return masks;
}
#endif

// The bits of the first `count` (0..BLOCK) bytes of a block.
inline uint64_t firstBits(std::size_t count) { return count == BLOCK ? ~uint64_t{0} : (uint64_t{1} << count) - 1; }

/// Whether an 'e' or 'E' after `c` is a number's exponent.
inline bool endsNumberMantissa(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.'; }

// The quick text check on the bytes of the block at `data` that `limit`
// marks, `strings` the bits of the bytes inside strings: true when they
// certainly pass the full, byte-by-byte check, which is when there is no
// byte above 0x7F, no backslash outside strings, no control character inside
// them, no "\u" escape that may start a surrogate, no exponent after a
// number, and no nesting past the limit (`depth` carries it from block to
// block). False says only that the full check must decide. `available`
// bytes from `data` on may be read, and the byte before `data` too.
inline bool passesBlockCheck(const char* data, std::size_t available, const Masks& masks, uint64_t escaped,
                             uint64_t strings, uint64_t limit, std::size_t& depth) {
    if ((masks.high | (masks.backslash & ~strings) | (masks.control & strings)) & limit) return false;
    for (uint64_t us = masks.u & escaped & limit; us != 0; us &= us - 1) {
        const std::size_t next = lowestBit(us) + 1;
        if (next >= available || data[next] == 'd' || data[next] == 'D') return false;
    }
    for (uint64_t es = masks.exponent & ~strings & limit; es != 0; es &= es - 1) {
        if (endsNumberMantissa(data[static_cast<std::ptrdiff_t>(lowestBit(es)) - 1])) return false;
    }
    const uint64_t opening = masks.open | masks.openArray;
    for (uint64_t brackets = (opening | masks.close | masks.closeArray) & ~strings & limit; brackets != 0;
         brackets &= brackets - 1) {
        if (opening >> lowestBit(brackets) & 1) {
            if (++depth > JsonParser::MAX_DEPTH) return false;
        } else if (depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace jsonblocks
}  // namespace qelutil
