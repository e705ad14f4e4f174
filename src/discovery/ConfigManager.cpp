#include <QelAccess/ConfigManager.h>

namespace qel {

namespace {

using ServiceConfig = ConfigManager::ServiceConfig;

/// The field of the service's entry when present, else the default's field;
/// getValue throws when the default lacks it too.
template <typename T>
const T& pick(const ServiceConfig* entry, const ServiceConfig& defaults,
              qelutil::Optional<T> ServiceConfig::*field) {
    if (entry != nullptr && (entry->*field).isValid()) return (entry->*field).getValue();
    return (defaults.*field).getValue();
}

std::string separatorText(bool separator) { return separator ? "/" : ""; }

}  // namespace

ConfigManager::ServiceConfig::ServiceConfig(const std::string& serverBaseUri, const std::string& serverBasePath,
                                            bool separatorAfterResource,
                                            std::chrono::milliseconds watchdogPingInterval,
                                            std::chrono::milliseconds watchdogPongTimeout)
    : serverBaseUri(serverBaseUri),
      serverBasePath(serverBasePath),
      separatorAfterResource(separatorAfterResource),
      watchdogPingInterval(watchdogPingInterval),
      watchdogPongTimeout(watchdogPongTimeout) {}

ConfigManager::ConfigManager()
    : defaultConfig("http://127.0.0.1:443", "/", true, std::chrono::milliseconds(0), std::chrono::milliseconds(0)) {}

const ConfigManager::ServiceConfig* ConfigManager::findEntry(const std::string& serviceName) const {
    const ConfigContainerConstIterator it = serviceConfigs.find(serviceName);
    return it == serviceConfigs.end() ? nullptr : &it->second;
}

std::string ConfigManager::getServerBaseUri(const std::string& serviceName) const {
    return pick(findEntry(serviceName), defaultConfig, &ServiceConfig::serverBaseUri);
}

std::string ConfigManager::getServerBasePath(const std::string& serviceName) const {
    return pick(findEntry(serviceName), defaultConfig, &ServiceConfig::serverBasePath);
}

std::string ConfigManager::getSeparatorAfterResource(const std::string& serviceName) const {
    return separatorText(pick(findEntry(serviceName), defaultConfig, &ServiceConfig::separatorAfterResource));
}

bool ConfigManager::isServiceConfigurationKnown(const std::string& serviceName) const {
    return findEntry(serviceName) != nullptr;
}

std::chrono::milliseconds ConfigManager::getWatchdogPingInterval(const std::string& serviceName) const {
    return pick(findEntry(serviceName), defaultConfig, &ServiceConfig::watchdogPingInterval);
}

std::chrono::milliseconds ConfigManager::getWatchdogPongTimeout(const std::string& serviceName) const {
    return pick(findEntry(serviceName), defaultConfig, &ServiceConfig::watchdogPongTimeout);
}

IConfigManager::ServiceConfiguration ConfigManager::getServiceConfiguration(const std::string& serviceName) const {
    const ServiceConfig* entry = findEntry(serviceName);
    ServiceConfiguration configuration;
    configuration.serviceName = serviceName;
    configuration.serverBaseUri = pick(entry, defaultConfig, &ServiceConfig::serverBaseUri);
    configuration.serverBasePath = pick(entry, defaultConfig, &ServiceConfig::serverBasePath);
    configuration.separatorAfterResource =
        separatorText(pick(entry, defaultConfig, &ServiceConfig::separatorAfterResource));
    configuration.watchdogPingInterval = pick(entry, defaultConfig, &ServiceConfig::watchdogPingInterval);
    configuration.watchdogPongTimeout = pick(entry, defaultConfig, &ServiceConfig::watchdogPongTimeout);
    return configuration;
}

const ConfigManager::ServiceConfig& ConfigManager::getDefaultConfig() const { return defaultConfig; }

ConfigManager::ServiceConfig& ConfigManager::getDefaultConfig() { return defaultConfig; }

void ConfigManager::setDefaultConfig(const ServiceConfig& config) { defaultConfig = config; }

ConfigManager::ConfigContainer& ConfigManager::getServiceConfigs() { return serviceConfigs; }

}  // namespace qel
