// The JSON model's parse with its limits (depth, exponents, UTF-8, trailing
// text), in both implementations. A document that parses must print as
// text that parses again to the same print, numbers aside: the fast number
// parse may move a long number by its last bit.
#include "FuzzSupport.h"

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/JsonParser.h>

#include <cstdlib>

namespace {

std::string print(const qelutil::JsonDocument& document) {
    return document.isRootObject() ? document.getRootObject()->toString() : document.getRootArray()->toString();
}

// `text` with every run of number characters as one "#".
std::string withoutNumbers(const std::string& text) {
    std::string shown;
    for (char c : text) {
        const bool number = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
        if (!number) shown += c;
        else if (shown.empty() || shown.back() != '#') shown += '#';
    }
    return shown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    qelutil::JsonFactory::setImplementation((data[0] & 1) ? qelutil::JsonFactory::POCO_JSON
                                                          : qelutil::JsonFactory::RAPID_JSON);
    const auto parser = qelutil::JsonFactory::createJsonParser();
    qelutil::JsonDocument::Shared document;
    try {
        document = parser->parse(reinterpret_cast<const char*>(data) + 1, size - 1);
    } catch (const qelutil::JsonException&) {
        return 0;
    }
    if (!document->isRootObject() && !document->isRootArray()) return 0;
    const std::string printed = print(*document);
    try {
        if (withoutNumbers(print(*parser->parse(printed))) != withoutNumbers(printed)) std::abort();
    } catch (const qelutil::JsonException&) {
        std::abort();  // the model printed text it does not accept
    }
    return 0;
}
