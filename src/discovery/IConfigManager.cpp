#include <QelAccess/IConfigManager.h>

namespace qel {

IConfigManager::~IConfigManager() = default;

IConfigManager::ServiceConfiguration IConfigManager::getServiceConfiguration(const std::string& serviceName) const {
    ServiceConfiguration configuration;
    configuration.serviceName = serviceName;
    configuration.serverBaseUri = getServerBaseUri(serviceName);
    configuration.serverBasePath = getServerBasePath(serviceName);
    configuration.separatorAfterResource = getSeparatorAfterResource(serviceName);
    configuration.watchdogPingInterval = getWatchdogPingInterval(serviceName);
    configuration.watchdogPongTimeout = getWatchdogPongTimeout(serviceName);
    return configuration;
}

}  // namespace qel
