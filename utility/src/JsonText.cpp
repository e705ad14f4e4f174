#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include <sstream>

namespace qelutil {

std::string JsonObject::toString() const {
    std::ostringstream out;
    writeTo(out);
    return out.str();
}

std::string JsonArray::toString() const {
    std::ostringstream out;
    writeTo(out);
    return out.str();
}

}  // namespace qelutil
