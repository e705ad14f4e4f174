#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccessUtility/Optional.h>

#include <chrono>
#include <map>
#include <string>

namespace qel {

/// The static configuration: a default configuration plus per-service
/// overrides. Each field of a lookup comes from the service's entry when the
/// entry has it, else from the default; a field absent in both makes the
/// lookup throw std::runtime_error("getValue called on uninitialized Optional").
///
/// Not locked: fill it before sharing it; concurrent reads are safe afterwards.
class ConfigManager : public IConfigManager {
public:
    /// A partial configuration; every field may be absent.
    struct ServiceConfig {
        /// Informational only: lookups use the map key.
        qelutil::Optional<std::string> serviceName;
        qelutil::Optional<std::string> serverBaseUri;
        qelutil::Optional<std::string> serverBasePath;
        qelutil::Optional<bool> separatorAfterResource;
        qelutil::Optional<std::chrono::milliseconds> watchdogPingInterval;
        qelutil::Optional<std::chrono::milliseconds> watchdogPongTimeout;

        ServiceConfig() = default;
        /// Sets every field but serviceName.
        ServiceConfig(const std::string& serverBaseUri, const std::string& serverBasePath,
                      bool separatorAfterResource, std::chrono::milliseconds watchdogPingInterval,
                      std::chrono::milliseconds watchdogPongTimeout);
        // Copying takes every field as it is in the source, absent ones included.
    };

    using ConfigContainer = std::map<std::string, ServiceConfig>;
    using ConfigContainerConstIterator = ConfigContainer::const_iterator;

    /// Holds the built-in defaults: "http://127.0.0.1:443", base path "/",
    /// a separator after resources and 0 ms watchdog timings.
    ConfigManager();

    std::string getServerBaseUri(const std::string& serviceName) const override;
    std::string getServerBasePath(const std::string& serviceName) const override;
    std::string getSeparatorAfterResource(const std::string& serviceName) const override;
    bool isServiceConfigurationKnown(const std::string& serviceName) const override;
    std::chrono::milliseconds getWatchdogPingInterval(const std::string& serviceName) const override;
    std::chrono::milliseconds getWatchdogPongTimeout(const std::string& serviceName) const override;
    ServiceConfiguration getServiceConfiguration(const std::string& serviceName) const override;

    const ServiceConfig& getDefaultConfig() const;
    ServiceConfig& getDefaultConfig();
    /// Replaces all default fields; a field absent in `config` removes that default.
    void setDefaultConfig(const ServiceConfig& config);
    ConfigContainer& getServiceConfigs();

private:
    /// The service's entry, or null when the name has none.
    const ServiceConfig* findEntry(const std::string& serviceName) const;

    ServiceConfig defaultConfig;
    ConfigContainer serviceConfigs;
};

}  // namespace qel
