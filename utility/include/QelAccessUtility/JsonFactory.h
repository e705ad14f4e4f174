#pragma once

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/JsonParser.h>

namespace qelutil {

/// Creates JSON objects, arrays and parsers of the process-wide
/// implementation, RAPID_JSON unless changed. Objects of the two
/// implementations may be combined (a copy goes through the common interface).
class JsonFactory {
public:
    enum JsonImplementation { POCO_JSON = 0, RAPID_JSON = 1 };

    static void setImplementation(JsonImplementation implementation);
    static JsonImplementation getImplementation();

    static JsonObject::Shared createJsonObject();
    static JsonArray::Shared createJsonArray();
    static JsonParser::Shared createJsonParser();

    /// Parses `text`, whose root must be an object (JsonException otherwise).
    static JsonObject::Shared parseObject(const std::string& text);
};

}  // namespace qelutil
