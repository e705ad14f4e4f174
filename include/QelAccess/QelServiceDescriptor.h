#pragma once

#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/Optional.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

/// Addresses a service; also carries what a service listing reports about it.
class QelServiceDescriptor : public XObjectDescriptor {
public:
    QelServiceDescriptor() = default;
    explicit QelServiceDescriptor(const std::string& service);
    /// Takes the base fields; the service fields stay unset.
    QelServiceDescriptor(const XObjectDescriptor& other);

    const qelutil::Optional<uint16_t>& getPort() const { return port; }
    void setPort(uint16_t value) { port = value; }
    const qelutil::Optional<std::string>& getDescription() const { return description; }
    void setDescription(const std::string& value) { description = value; }
    const qelutil::Optional<std::vector<std::string>>& getServiceCategories() const { return serviceCategories; }
    void setServiceCategories(const std::vector<std::string>& value) { serviceCategories = value; }
    const qelutil::Optional<std::vector<std::string>>& getPrivileges() const { return privileges; }
    void setPrivileges(const std::vector<std::string>& value) { privileges = value; }
    const qelutil::Optional<std::vector<std::string>>& getVersions() const { return versions; }
    void setVersions(const std::vector<std::string>& value) { versions = value; }

    /// The base members plus "port" when set.
    qelutil::JsonObject::Shared getAsJson() const override;

protected:
    qelutil::Optional<uint16_t> port;
    qelutil::Optional<std::string> description;
    qelutil::Optional<std::vector<std::string>> serviceCategories;
    qelutil::Optional<std::vector<std::string>> privileges;
    qelutil::Optional<std::vector<std::string>> versions;
};

}  // namespace qel
