#include <QelAccess/IXObject.h>

#include <QelAccessUtility/JsonFactory.h>

namespace qel {

void IXObject::parseJson(const std::string& text) {
    auto parser = qelutil::JsonFactory::createJsonParser();
    auto document = parser->parse(text);
    fillFromJson(document->getRootObject());
}

}  // namespace qel
