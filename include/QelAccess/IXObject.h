#pragma once

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/Optional.h>

#include <memory>
#include <string>

namespace qel {

/// An object parsed from JSON: a service, a resource or an element.
class IXObject {
public:
    using Unique = std::unique_ptr<IXObject>;

    virtual ~IXObject() = default;

    virtual const qelutil::Optional<std::string>& getId() const = 0;
    virtual const qelutil::Optional<std::string>& getUri() const = 0;
    virtual const qelutil::Optional<std::string>& getName() const = 0;
    virtual void fillFromJson(qelutil::JsonObject::Shared json) = 0;

protected:
    /// Parses `text` and fills the object from its root object; parse errors
    /// and a root that is not an object raise qelutil::JsonException.
    virtual void parseJson(const std::string& text);
};

}  // namespace qel
