#pragma once

#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/XObject.h>

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qel {

/// One entry of a service listing. The base descriptor answers getId,
/// getUri and getName; the service's own descriptor (getDescriptor) also
/// carries port, description, categories, privileges and versions.
class QelService : public XObject<QelServiceDescriptor> {
public:
    QelService() = default;
    explicit QelService(qelutil::JsonObject::Shared json);
    /// Both descriptors start with the given service and name; the JSON's
    /// "name" wins over the given one, the service name is kept.
    QelService(qelutil::JsonObject::Shared json, const std::string& service, const std::string& name);
    QelService(qelutil::JsonObject::Shared json, std::shared_ptr<qelutil::StreamingLogger> logger);

    const qelutil::Optional<uint16_t>& getPort() const { return desc.getPort(); }
    const qelutil::Optional<std::string>& getDescription() const { return desc.getDescription(); }
    const qelutil::Optional<std::vector<std::string>>& getServiceCategories() const {
        return desc.getServiceCategories();
    }
    const qelutil::Optional<std::vector<std::string>>& getPrivileges() const { return desc.getPrivileges(); }
    const qelutil::Optional<std::vector<std::string>>& getVersions() const { return desc.getVersions(); }

    QelServiceDescriptor getDescriptor() const override { return desc; }

    /// Compares name, port, versions, categories, description and privileges;
    /// id and uri are not compared.
    bool operator==(const QelService& other) const;
    bool operator!=(const QelService& other) const { return !(*this == other); }

protected:
    void fillFromJson(qelutil::JsonObject::Shared json) override;
    /// As fillFromJson, and warns about each absent service member.
    void fillFromJson(qelutil::JsonObject::Shared json, const std::shared_ptr<qelutil::StreamingLogger>& logger);

    /// The name for log lines; empty when the object has none.
    std::string nameForLog() const;

    QelServiceDescriptor desc;
};

}  // namespace qel
