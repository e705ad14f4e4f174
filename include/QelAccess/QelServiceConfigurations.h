#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/ServiceRegistryService.h>

#include <QelAccessUtility/Optional.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace qel {

/// The dynamic configuration: a snapshot of the services the service
/// registry reported, combined with the application's per-service settings.
/// Answers for any name: a service that is not in the snapshot has an empty
/// base URI, base path "/", no separator and 0 ms watchdog timings.
///
/// Not locked: a snapshot is not changed once handed out, and readers on any
/// thread may then call the getters concurrently.
class QelServiceConfigurations : public IConfigManager {
public:
    /// The application's settings of one dynamically found service; every
    /// field may be absent.
    struct ServiceSetting {
        qelutil::Optional<bool> useSeparator;
        qelutil::Optional<std::chrono::milliseconds> watchdogPingInterval;
        qelutil::Optional<std::chrono::milliseconds> watchdogPongTimeout;

        ServiceSetting() = default;
        ServiceSetting(bool useSeparator, const std::chrono::milliseconds& pingInterval,
                       const std::chrono::milliseconds& pongTimeout);
    };

    using ServiceMap = std::map<std::string, std::shared_ptr<ServiceRegistryService>>;
    /// Settings by service name; the key "Default" applies to every service
    /// without settings of its own.
    using ServiceSettings = std::map<std::string, ServiceSetting>;

    static const std::string DEFAULT_SETTING_NAME;

    QelServiceConfigurations() = default;
    explicit QelServiceConfigurations(const ServiceMap& services);
    QelServiceConfigurations(const QelServiceConfigurations&) = default;
    QelServiceConfigurations(QelServiceConfigurations&&) = default;
    QelServiceConfigurations& operator=(const QelServiceConfigurations&) = default;
    QelServiceConfigurations& operator=(QelServiceConfigurations&&) = default;

    /// "http://" + host + ":" + port of the service (127.0.0.1 and 443 where
    /// the registry gave none); "" for a service that is not in the snapshot.
    std::string getServerBaseUri(const std::string& serviceName) const override;
    /// The service's path, else "/".
    std::string getServerBasePath(const std::string& serviceName) const override;
    std::string getSeparatorAfterResource(const std::string& serviceName) const override;
    /// Whether the snapshot holds the service; settings play no part.
    bool isServiceConfigurationKnown(const std::string& serviceName) const override;
    std::chrono::milliseconds getWatchdogPingInterval(const std::string& serviceName) const override;
    std::chrono::milliseconds getWatchdogPongTimeout(const std::string& serviceName) const override;

    const ServiceMap& getServices() const { return services; }
    /// Mutable access for whoever builds the snapshot.
    ServiceMap& getServices() { return services; }
    /// The service stored under the name, or null.
    std::shared_ptr<ServiceRegistryService> findService(const std::string& serviceName) const;
    const std::shared_ptr<const ServiceSettings>& getServiceSettings() const { return serviceSettings; }
    /// Replaces the settings pointer (not the map's contents).
    void setServiceSettings(std::shared_ptr<const ServiceSettings> settings) { serviceSettings = std::move(settings); }

private:
    /// The field of the name's setting, else of the "Default" setting, else absent.
    template <typename T>
    qelutil::Optional<T> settingField(const std::string& serviceName,
                                      qelutil::Optional<T> ServiceSetting::*field) const;

    ServiceMap services;
    std::shared_ptr<const ServiceSettings> serviceSettings;
};

}  // namespace qel
