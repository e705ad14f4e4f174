#include <QelAccessUtility/JsonFactory.h>

#include "PocoJsonModel.h"
#include "RapidJsonModel.h"

#include <atomic>

namespace qelutil {

namespace {

std::atomic<JsonFactory::JsonImplementation> currentImplementation{JsonFactory::RAPID_JSON};

bool usePoco() { return currentImplementation.load(std::memory_order_relaxed) == JsonFactory::POCO_JSON; }

}  // namespace

void JsonFactory::setImplementation(JsonImplementation implementation) {
    currentImplementation.store(implementation == POCO_JSON ? POCO_JSON : RAPID_JSON, std::memory_order_relaxed);
}

JsonFactory::JsonImplementation JsonFactory::getImplementation() {
    return currentImplementation.load(std::memory_order_relaxed);
}

JsonObject::Shared JsonFactory::createJsonObject() {
    return usePoco() ? createPocoJsonObject() : createRapidJsonObject();
}

JsonArray::Shared JsonFactory::createJsonArray() {
    return usePoco() ? createPocoJsonArray() : createRapidJsonArray();
}

JsonParser::Shared JsonFactory::createJsonParser() {
    return usePoco() ? createPocoJsonParser() : createRapidJsonParser();
}

JsonObject::Shared JsonFactory::parseObject(const std::string& text) {
    return createJsonParser()->parse(text)->getRootObject();
}

}  // namespace qelutil
