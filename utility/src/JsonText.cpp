#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include <sstream>

namespace qelutil {

std::string JsonObject::toString() const {
    std::ostringstream out;
    writeTo(out);
    return out.str();
}

bool JsonObject::getStringIfPresent(const std::string& key, std::string& value) const {
    if (!has(key)) return false;
    value = getString(key);
    return true;
}

std::string JsonArray::toString() const {
    std::ostringstream out;
    writeTo(out);
    return out.str();
}

}  // namespace qelutil
