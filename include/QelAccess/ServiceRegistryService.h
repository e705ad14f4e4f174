#pragma once

#include <QelAccess/QelService.h>
#include <QelAccess/ServiceRegistryServiceDescriptor.h>

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qel {

/// One entry of the service registry's listing: a service that also knows
/// the host and base path where it runs and whether that location has been
/// resolved. Building one from JSON that has "uri" but no "name" throws
/// std::runtime_error, since the base path is cut before the name.
class ServiceRegistryService : public QelService {
public:
    explicit ServiceRegistryService(qelutil::JsonObject::Shared json);
    /// As above; a missing "port" is logged and `host` becomes the host.
    ServiceRegistryService(qelutil::JsonObject::Shared json, const std::string& host,
                           std::shared_ptr<qelutil::StreamingLogger> logger);

    const qelutil::Optional<std::string>& getHost() const { return desc.getHost(); }
    /// Null clears the host.
    void setHost(const std::string* host) { desc.setHost(host); }
    qelutil::Optional<std::string> getPath() const { return desc.getPath(); }
    /// Stores `path` up to the first occurrence of the service name.
    void setPath(const std::string& path) { desc.setPath(path); }
    /// Sets the port of the service descriptor and of the registry descriptor.
    void setPort(uint16_t port);

    bool isResolved() const { return resolved; }
    void setResolved(bool value) { resolved = value; }

    ServiceRegistryServiceDescriptor getServiceDescriptor() const { return desc; }

    /// Compares resolved, name, port and host.
    bool operator==(const ServiceRegistryService& other) const;
    bool operator!=(const ServiceRegistryService& other) const { return !(*this == other); }

protected:
    void fillFromJson(qelutil::JsonObject::Shared json) override;
    void fillFromJson(qelutil::JsonObject::Shared json, const std::string& host,
                      const std::shared_ptr<qelutil::StreamingLogger>& logger);

    ServiceRegistryServiceDescriptor desc;
    bool resolved = false;

private:
    /// Copies id, name, uri and port into the registry descriptor; returns
    /// whether "port" was present.
    bool copyIdentityAndPort(const qelutil::JsonObject& json);
    /// The base path is the uri up to the service name.
    void cutPathFromUri();
};

}  // namespace qel
