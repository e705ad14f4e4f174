#pragma once

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include <cstddef>
#include <string>

// Pieces shared by the two JSON implementations: the checks every text passes
// before it reaches a parser, the wording of errors, and copying a value of
// either implementation through the common interface.
namespace qelutil {
namespace jsonsupport {

// Expected types as they appear in error messages.
constexpr const char* A_STRING = "a string";
constexpr const char* A_LONG = "a 64-bit integer";
constexpr const char* A_ULONG = "an unsigned 64-bit integer";
constexpr const char* A_BOOL = "a boolean";
constexpr const char* A_NUMBER = "a number";
constexpr const char* AN_OBJECT = "an object";
constexpr const char* AN_ARRAY = "an array";

/// Longest text a parser accepts; keeps every offset and count well inside int.
constexpr std::size_t MAX_TEXT_LENGTH = std::size_t(1) << 30;

/// Throws JsonException unless the text is non-empty, its root starts as an
/// object or an array, it nests no deeper than JsonParser::MAX_DEPTH and no
/// number has an exponent of more than four significant digits, and that
/// every string is well-formed UTF-8. Strings are skipped with their escapes,
/// so brackets inside them do not count.
void checkText(const char* text, std::size_t length);

/// Offset of the first character at or after `from` that is not JSON whitespace.
std::size_t skipWhitespace(const char* text, std::size_t length, std::size_t from);

[[noreturn]] void throwParseError(std::size_t offset, const std::string& reason);
[[noreturn]] void throwMissing(const std::string& key);
[[noreturn]] void throwMemberType(const std::string& key, const char* expected);
[[noreturn]] void throwOutOfRange(std::size_t index, std::size_t size);
[[noreturn]] void throwElementType(std::size_t index, const char* expected);

/// Sets every member of `from` on `to`, copying nested values deeply.
void copyMembers(const JsonObject& from, JsonObject& to);
/// Appends every element of `from` to `to`, copying nested values deeply.
void copyElements(const JsonArray& from, JsonArray& to);

}  // namespace jsonsupport
}  // namespace qelutil
