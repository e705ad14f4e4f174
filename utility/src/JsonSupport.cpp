#include "JsonSupport.h"

#include <QelAccessUtility/JsonParser.h>

#include <cstdint>
#include <cstring>

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

// Whether none of the eight bytes at `p` is a quote, a backslash or a byte
// of a multi-byte UTF-8 sequence (the classic "has zero byte" bit trick).
bool isPlainWord(const unsigned char* p) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    auto hasZeroByte = [](uint64_t x) { return (x - ones) & ~x & highs; };
    return ((word & highs) | hasZeroByte(word ^ (ones * '"')) | hasZeroByte(word ^ (ones * '\\'))) == 0;
}

// Index of the quote closing the string opened at `open`, or `length`.
// Checks the UTF-8 on the way, which is cheaper here than in the parsers.
std::size_t skipString(const char* text, std::size_t length, std::size_t open) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = open + 1;
    while (i < length) {
        // Plain ASCII without quotes or backslashes, eight bytes at a time.
        while (i + 8 <= length && isPlainWord(bytes + i)) i += 8;
        if (i >= length) break;
        const unsigned char c = bytes[i];
        if (c == '"') return i;
        if (c == '\\') {
            i += 2;
        } else if (c < 0x80) {
            ++i;
        } else {
            const std::size_t sequence = utf8SequenceLength(bytes + i, length - i);
            if (sequence == 0) throwParseError(i, "invalid UTF-8 in string");
            i += sequence;
        }
    }
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

void checkText(const char* text, std::size_t length) {
    if (text == nullptr && length > 0) throwParseError(0, "no text");
    if (length > MAX_TEXT_LENGTH) throwParseError(0, "the text is longer than " + std::to_string(MAX_TEXT_LENGTH) + " bytes");
    std::size_t i = skipWhitespace(text, length, 0);
    checkRoot(text, length, i);
    std::size_t depth = 0;
    while (i < length) {
        const char c = text[i];
        if (c == '"') {
            i = skipString(text, length, i) + 1;
        } else if (c == '{' || c == '[') {
            if (++depth > JsonParser::MAX_DEPTH) {
                throwParseError(i, "nesting deeper than " + std::to_string(JsonParser::MAX_DEPTH));
            }
            ++i;
        } else if (c == '}' || c == ']') {
            if (depth > 0) --depth;
            ++i;
        } else if (c == '-' || isDigit(c)) {
            i = checkNumber(text, length, i);
        } else {
            ++i;
        }
    }
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
