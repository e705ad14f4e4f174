#pragma once

#include <QelAccess/IXObject.h>
#include <QelAccess/QelResourceDescriptor.h>

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/Optional.h>

#include <string>

namespace qel {

/// One resource of a service, as a service read lists it.
class QelResource : public IXObject {
public:
    QelResource(const std::string& service, const std::string& resource);
    QelResource(qelutil::JsonObject::Shared json, const std::string& service, const std::string& resource);

    const qelutil::Optional<std::string>& getId() const override { return desc.getId(); }
    const qelutil::Optional<std::string>& getUri() const override { return desc.getUri(); }
    const qelutil::Optional<std::string>& getName() const override { return desc.getName(); }

    /// Takes "name" and "uri"; the id is the last segment of the uri unless
    /// an explicit "id" is present.
    void fillFromJson(qelutil::JsonObject::Shared json) override;

    const QelResourceDescriptor& getDescriptor() const { return desc; }

private:
    QelResourceDescriptor desc;
};

}  // namespace qel
