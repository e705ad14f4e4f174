#pragma once

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/JsonParser.h>

// The JSON implementation over RapidJSON. Its types stay inside
// RapidJsonModel.cpp so that no other translation unit sees the RapidJSON
// configuration it is built with.
namespace qelutil {

JsonObject::Shared createRapidJsonObject();
JsonArray::Shared createRapidJsonArray();
JsonParser::Shared createRapidJsonParser();

}  // namespace qelutil
