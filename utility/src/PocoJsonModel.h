#pragma once

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/JsonParser.h>

// The JSON implementation over Poco::JSON.
namespace qelutil {

JsonObject::Shared createPocoJsonObject();
JsonArray::Shared createPocoJsonArray();
JsonParser::Shared createPocoJsonParser();

}  // namespace qelutil
