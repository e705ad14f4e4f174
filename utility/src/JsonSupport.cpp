#include "JsonSupport.h"

#include "JsonBlockScan.h"

#include <QelAccessUtility/JsonParser.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelutil {
namespace jsonsupport {

namespace {

// Exponents up to 9999 cover every double with room to spare; longer ones
// only serve to overflow a parser's exponent arithmetic.
constexpr std::size_t MAX_EXPONENT_DIGITS = 4;

bool isWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNumberChar(char c) { return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

// Length of the well-formed UTF-8 sequence at `s` (first byte 0x80 or above),
// or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8SequenceLength(const unsigned char* s, std::size_t available) {
    const unsigned char first = s[0];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0) low = 0xA0;
        if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0) low = 0x90;
        if (first == 0xF4) high = 0x8F;
    }
    if (length == 0 || available < length || s[1] < low || s[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return length;
}

void checkUtf8(const unsigned char* bytes, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to;) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        const std::size_t sequence = utf8SequenceLength(bytes + i, to - i);
        if (sequence == 0) throwParseError(i, "invalid UTF-8 in string");
        i += sequence;
    }
}

// Bytes that end a run of plain string content: the quote, the backslash,
// control characters (which a string may hold only escaped) and every byte
// of a multi-byte UTF-8 sequence.
struct StringStops {
    bool at[256] = {};
    StringStops() {
        at[static_cast<unsigned char>('"')] = true;
        at[static_cast<unsigned char>('\\')] = true;
        for (int c = 0; c < 0x20; ++c) at[c] = true;
        for (int c = 0x80; c < 0x100; ++c) at[c] = true;
    }
};

const StringStops STRING_STOPS;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of the "\uXXXX" escape at `at`, or -1 when it is not one.
long escapedCodeUnit(const char* text, std::size_t length, std::size_t at) {
    if (at + 6 > length || text[at] != '\\' || text[at + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t k = at + 2; k < at + 6; ++k) {
        const int digit = hexDigit(text[k]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// Index just past the escape at `at`. A "\u" escape of a surrogate must be
// a high one followed by the escape of a low one: either half alone would
// decode to bytes that are not UTF-8.
std::size_t skipEscape(const char* text, std::size_t length, std::size_t at) {
    const long unit = escapedCodeUnit(text, length, at);
    if (unit < 0xD800 || unit > 0xDFFF) return at + 2;  // malformed ones are the parser's to report
    const long low = escapedCodeUnit(text, length, at + 6);
    if (unit > 0xDBFF || low < 0xDC00 || low > 0xDFFF) throwParseError(at, "unpaired surrogate in string escape");
    return at + 12;
}

// Index of the first string stop at or after `i`, or `length`. Sixteen bytes
// at a time where the processor has SSE2 (every x86-64 one has).
std::size_t skipPlain(const unsigned char* bytes, std::size_t length, std::size_t i) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (i + 16 <= length) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        // Signed, bytes of 0x80 and above are below 0x20 too; both stop the run.
        const __m128i stops = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
                                           _mm_cmplt_epi8(chunk, space));
        const int mask = _mm_movemask_epi8(stops);
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        i += 16;
    }
#endif
    while (i < length && !STRING_STOPS.at[bytes[i]]) ++i;
    return i;
}

// Index of the quote closing the string opened at `open`, or `length`; the
// string's bytes must be valid UTF-8 (checked only when it has any byte
// above 0x7F, which is rare in practice).
std::size_t skipString(const char* text, std::size_t length, std::size_t open) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    bool multiByte = false;
    std::size_t i = open + 1;
    while (i < length) {
        i = skipPlain(bytes, length, i);
        if (i >= length) break;
        if (bytes[i] == '"') {
            if (multiByte) checkUtf8(bytes, open + 1, i);
            return i;
        }
        if (bytes[i] == '\\') {
            i = skipEscape(text, length, i);
        } else if (bytes[i] < 0x20) {
            throwParseError(i, "unescaped control character in string");
        } else {
            multiByte = true;
            ++i;
        }
    }
    if (multiByte) checkUtf8(bytes, open + 1, length);
    return length;
}

// Checks the exponent of the number starting at `start`; returns the index
// just past the number's characters.
std::size_t checkNumber(const char* text, std::size_t length, std::size_t start) {
    std::size_t i = start;
    while (i < length && text[i] != 'e' && text[i] != 'E' && isNumberChar(text[i])) ++i;
    if (i == length || (text[i] != 'e' && text[i] != 'E')) return i;
    ++i;
    if (i < length && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < length && text[i] == '0') ++i;
    std::size_t digits = 0;
    for (; i < length && isDigit(text[i]); ++i) {
        if (++digits > MAX_EXPONENT_DIGITS) throwParseError(start, "number exponent out of range");
    }
    return i;
}

void checkRoot(const char* text, std::size_t length, std::size_t first) {
    if (first == length) throwParseError(first, "the text is empty");
    if (text[first] != '{' && text[first] != '[') {
        throwParseError(first, "the root is neither an object nor an array");
    }
}

}  // namespace

std::size_t skipWhitespace(const char* text, std::size_t length, std::size_t from) {
    while (from < length && isWhitespace(text[from])) ++from;
    return from;
}

namespace {

// What the structural scan of checkText does with each byte outside strings.
enum ByteClass : unsigned char { PLAIN = 0, QUOTE, OPEN, CLOSE, NUMBER };

struct ByteClasses {
    unsigned char of[256] = {};
    ByteClasses() {
        of[static_cast<unsigned char>('"')] = QUOTE;
        of[static_cast<unsigned char>('{')] = OPEN;
        of[static_cast<unsigned char>('[')] = OPEN;
        of[static_cast<unsigned char>('}')] = CLOSE;
        of[static_cast<unsigned char>(']')] = CLOSE;
        of[static_cast<unsigned char>('-')] = NUMBER;
        for (char c = '0'; c <= '9'; ++c) of[static_cast<unsigned char>(c)] = NUMBER;
    }
};

const ByteClasses BYTE_CLASSES;

// True when the text from `from` on certainly passes the byte-by-byte scan
// below (see passesBlockCheck), its strings found as that scan finds them.
bool passesQuickCheck(const char* text, std::size_t length, std::size_t from) {
    using namespace jsonblocks;
    alignas(16) char padded[BLOCK];
    std::size_t depth = 0;
    bool inString = false;
    bool escapeFirst = false;
    for (std::size_t offset = from; offset < length; offset += BLOCK) {
        const std::size_t size = std::min(BLOCK, length - offset);
        const Masks masks = classify(wholeBlock(text + offset, size, padded));
        bool escapeNext = false;
        const uint64_t escaped = escapedBits(masks.backslash, escapeFirst, size, escapeNext);
        const uint64_t strings = prefixXor(masks.quote & ~escaped) ^ (inString ? ~uint64_t{0} : 0);
        if (!passesBlockCheck(text + offset, length - offset, masks, escaped, strings, firstBits(size), depth))
            return false;
        inString = strings >> (size - 1) & 1;
        escapeFirst = escapeNext;
    }
    return true;
}

void scanByteByByte(const char* text, std::size_t length, std::size_t from) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t depth = 0;
    for (std::size_t i = from; i < length;) {
        switch (BYTE_CLASSES.of[bytes[i]]) {
            case PLAIN:
                ++i;
                break;
            case QUOTE:
                i = skipString(text, length, i) + 1;
                break;
            case OPEN:
                if (++depth > JsonParser::MAX_DEPTH) {
                    throwParseError(i, "nesting deeper than " + std::to_string(JsonParser::MAX_DEPTH));
                }
                ++i;
                break;
            case CLOSE:
                if (depth > 0) --depth;
                ++i;
                break;
            default:
                i = checkNumber(text, length, i);
                break;
        }
    }
}

}  // namespace

void checkText(const char* text, std::size_t length) {
    if (text == nullptr && length > 0) throwParseError(0, "no text");
    if (length > MAX_TEXT_LENGTH)
        throwParseError(0, "the text is longer than " + std::to_string(MAX_TEXT_LENGTH) + " bytes");
    const std::size_t first = skipWhitespace(text, length, 0);
    checkRoot(text, length, first);
    // Most texts are plain ASCII with few brackets: the block scan clears
    // them with a few operations per 16 bytes, and the rest get the full scan.
    if (!passesQuickCheck(text, length, first)) scanByteByByte(text, length, first);
}

void throwParseError(std::size_t offset, const std::string& reason) {
    throw JsonException("JSON parse error at offset " + std::to_string(offset) + ": " + reason);
}

void throwMissing(const std::string& key) {
    throw JsonException("JSON member \"" + key + "\" is missing");
}

void throwMemberType(const std::string& key, const char* expected) {
    throw JsonException("JSON member \"" + key + "\" is not " + expected);
}

void throwOutOfRange(std::size_t index, std::size_t size) {
    throw JsonException("JSON array index " + std::to_string(index) + " is out of range (size " +
                        std::to_string(size) + ")");
}

void throwElementType(std::size_t index, const char* expected) {
    throw JsonException("JSON array element " + std::to_string(index) + " is not " + expected);
}

namespace {

void copyMember(const JsonObject& from, const std::string& key, JsonObject& to) {
    if (from.isNull(key)) {
        to.setNull(key);
    } else if (from.isBool(key)) {
        to.setBool(key, from.getBool(key));
    } else if (from.isString(key)) {
        to.setString(key, from.getString(key));
    } else if (from.isObject(key)) {
        to.setObject(key, *from.getObject(key));
    } else if (from.isArray(key)) {
        to.setArray(key, *from.getArray(key));
    } else if (from.isDouble(key)) {
        to.setDouble(key, from.getDouble(key));
    } else if (from.isLong(key)) {
        to.setLong(key, from.getLong(key));
    } else if (from.isULong(key)) {
        to.setULong(key, from.getULong(key));
    } else {
        throw JsonException("JSON member \"" + key + "\" has a type that cannot be copied");
    }
}

void copyElement(const JsonArray& from, std::size_t index, JsonArray& to) {
    if (from.isNull(index)) {
        to.addNull();
    } else if (from.isBool(index)) {
        to.addBool(from.getBool(index));
    } else if (from.isString(index)) {
        to.addString(from.getString(index));
    } else if (from.isObject(index)) {
        to.addObject(*from.getObject(index));
    } else if (from.isArray(index)) {
        to.addArray(*from.getArray(index));
    } else if (from.isDouble(index)) {
        to.addDouble(from.getDouble(index));
    } else if (from.isLong(index)) {
        to.addLong(from.getLong(index));
    } else if (from.isULong(index)) {
        to.addULong(from.getULong(index));
    } else {
        throw JsonException("JSON array element " + std::to_string(index) + " has a type that cannot be copied");
    }
}

}  // namespace

void copyMembers(const JsonObject& from, JsonObject& to) {
    for (const std::string& key : from.getKeys()) copyMember(from, key, to);
}

void copyElements(const JsonArray& from, JsonArray& to) {
    const std::size_t size = from.size();
    for (std::size_t i = 0; i < size; ++i) copyElement(from, i, to);
}

}  // namespace jsonsupport
}  // namespace qelutil
