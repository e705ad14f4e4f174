#pragma once

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/JsonParser.h>

#include <cstddef>

// The JSON implementation over RapidJSON. Its types stay inside
// RapidJsonModel.cpp so that no other translation unit sees the RapidJSON
// configuration it is built with.
namespace qelutil {

JsonObject::Shared createRapidJsonObject();
JsonArray::Shared createRapidJsonArray();
JsonParser::Shared createRapidJsonParser();
/// Parses text that has passed the quick text check of checkText already
/// (the read buffer makes it while it splits messages); throws JsonException.
JsonDocument::Shared parseCheckedRapidJson(const char* text, std::size_t length);

}  // namespace qelutil
