#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace qel {

/// Answers, by service name, where a service lives and how its WebSocket is
/// watched. Implementations answer for any name, configured or not.
class IConfigManager {
public:
    using Shared = std::shared_ptr<IConfigManager>;

    /// The resolved configuration of one service.
    struct ServiceConfiguration {
        std::string serviceName;
        /// Scheme, host and port, e.g. "http://host:port", without a trailing "/".
        std::string serverBaseUri;
        std::string serverBasePath;
        /// "/" or "".
        std::string separatorAfterResource;
        std::chrono::milliseconds watchdogPingInterval{0};
        std::chrono::milliseconds watchdogPongTimeout{0};
    };

    virtual ~IConfigManager();

    virtual std::string getServerBaseUri(const std::string& serviceName) const = 0;
    virtual std::string getServerBasePath(const std::string& serviceName) const = 0;
    /// "/" or "".
    virtual std::string getSeparatorAfterResource(const std::string& serviceName) const = 0;
    virtual bool isServiceConfigurationKnown(const std::string& serviceName) const = 0;
    virtual std::chrono::milliseconds getWatchdogPingInterval(const std::string& serviceName) const = 0;
    virtual std::chrono::milliseconds getWatchdogPongTimeout(const std::string& serviceName) const = 0;

    /// Fills the record through the five lookups above, in field order.
    virtual ServiceConfiguration getServiceConfiguration(const std::string& serviceName) const;
};

}  // namespace qel
