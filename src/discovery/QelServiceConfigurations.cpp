#include <QelAccess/QelServiceConfigurations.h>

namespace qel {

const std::string QelServiceConfigurations::DEFAULT_SETTING_NAME = "Default";

QelServiceConfigurations::ServiceSetting::ServiceSetting(bool useSeparator_,
                                                         const std::chrono::milliseconds& pingInterval,
                                                         const std::chrono::milliseconds& pongTimeout)
    : useSeparator(useSeparator_), watchdogPingInterval(pingInterval), watchdogPongTimeout(pongTimeout) {}

QelServiceConfigurations::QelServiceConfigurations(const ServiceMap& services_) : services(services_) {}

std::shared_ptr<ServiceRegistryService> QelServiceConfigurations::findService(const std::string& serviceName) const {
    auto found = services.find(serviceName);
    return found == services.end() ? nullptr : found->second;
}

std::string QelServiceConfigurations::getServerBaseUri(const std::string& serviceName) const {
    auto service = findService(serviceName);
    if (!service) return "";
    const std::string host = service->getHost() ? service->getHost().getValue() : "127.0.0.1";
    const unsigned port = service->getPort() ? service->getPort().getValue() : 443u;
    return "http://" + host + ":" + std::to_string(port);
}

std::string QelServiceConfigurations::getServerBasePath(const std::string& serviceName) const {
    auto service = findService(serviceName);
    if (service && service->getPath()) return service->getPath().getValue();
    return "/";
}

template <typename T>
qelutil::Optional<T> QelServiceConfigurations::settingField(const std::string& serviceName,
                                                            qelutil::Optional<T> ServiceSetting::*field) const {
    if (!serviceSettings) return {};
    for (const std::string* name : {&serviceName, &DEFAULT_SETTING_NAME}) {
        auto found = serviceSettings->find(*name);
        if (found != serviceSettings->end() && found->second.*field) return found->second.*field;
    }
    return {};
}

std::string QelServiceConfigurations::getSeparatorAfterResource(const std::string& serviceName) const {
    auto useSeparator = settingField(serviceName, &ServiceSetting::useSeparator);
    return useSeparator && useSeparator.getValue() ? "/" : "";
}

bool QelServiceConfigurations::isServiceConfigurationKnown(const std::string& serviceName) const {
    return findService(serviceName) != nullptr;
}

std::chrono::milliseconds QelServiceConfigurations::getWatchdogPingInterval(const std::string& serviceName) const {
    auto interval = settingField(serviceName, &ServiceSetting::watchdogPingInterval);
    return interval ? interval.getValue() : std::chrono::milliseconds(0);
}

std::chrono::milliseconds QelServiceConfigurations::getWatchdogPongTimeout(const std::string& serviceName) const {
    auto timeout = settingField(serviceName, &ServiceSetting::watchdogPongTimeout);
    return timeout ? timeout.getValue() : std::chrono::milliseconds(0);
}

}  // namespace qel
