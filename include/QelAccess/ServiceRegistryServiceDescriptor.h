#pragma once

#include <QelAccess/QelServiceDescriptor.h>

#include <QelAccessUtility/Optional.h>

#include <string>

namespace qel {

/// A service as the service registry lists it: the service descriptor plus
/// the host and base path where the service runs. Host and path never go
/// into JSON.
class ServiceRegistryServiceDescriptor : public QelServiceDescriptor {
public:
    ServiceRegistryServiceDescriptor() = default;
    /// Takes the service descriptor's fields; host and path stay unset.
    ServiceRegistryServiceDescriptor(const QelServiceDescriptor& other);
    /// Copies every field; the path passes through setPath again.
    ServiceRegistryServiceDescriptor(const ServiceRegistryServiceDescriptor& other);
    ServiceRegistryServiceDescriptor(ServiceRegistryServiceDescriptor&&) = default;
    ServiceRegistryServiceDescriptor& operator=(const ServiceRegistryServiceDescriptor&) = default;
    ServiceRegistryServiceDescriptor& operator=(ServiceRegistryServiceDescriptor&&) = default;
    ~ServiceRegistryServiceDescriptor() override = default;

    const qelutil::Optional<std::string>& getHost() const { return host; }
    /// Null clears the host.
    void setHost(const std::string* value);

    const qelutil::Optional<std::string>& getPath() const { return path; }
    /// Stores `value` up to the first occurrence of the name (the whole value
    /// when the name does not occur); throws std::runtime_error when the name
    /// is unset.
    void setPath(const std::string& value);

    qelutil::JsonObject::Shared getAsJson() const override;

protected:
    qelutil::Optional<std::string> host;
    qelutil::Optional<std::string> path;
};

}  // namespace qel
