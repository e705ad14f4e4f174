#pragma once

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include <string>

namespace qelcli {

/// Lays compact JSON text out over several lines, two blanks per level; an
/// empty object or a short array of scalars stays on one line. Strings are
/// copied unchanged.
std::string indentJson(const std::string& compact);

/// The text of `json` followed by a line feed: indented, or on one line
/// when `compact`.
std::string renderJson(const qelutil::JsonObject& json, bool compact);
std::string renderJson(const qelutil::JsonArray& json, bool compact);

}  // namespace qelcli
