#include <QelAccess/ServiceRegistryService.h>

namespace qel {

ServiceRegistryService::ServiceRegistryService(qelutil::JsonObject::Shared json) {
    ServiceRegistryService::fillFromJson(std::move(json));
    resolved = false;
}

ServiceRegistryService::ServiceRegistryService(qelutil::JsonObject::Shared json, const std::string& host,
                                               std::shared_ptr<qelutil::StreamingLogger> logger) {
    fillFromJson(std::move(json), host, logger);
    resolved = false;
}

void ServiceRegistryService::setPort(uint16_t port) {
    QelService::desc.setPort(port);
    desc.setPort(port);
}

void ServiceRegistryService::fillFromJson(qelutil::JsonObject::Shared json) {
    QelService::fillFromJson(json);
    if (!json) return;
    copyIdentityAndPort(*json);
    cutPathFromUri();
}

void ServiceRegistryService::fillFromJson(qelutil::JsonObject::Shared json, const std::string& host,
                                          const std::shared_ptr<qelutil::StreamingLogger>& logger) {
    QelService::fillFromJson(json);
    bool hasPort = json && copyIdentityAndPort(*json);
    if (!hasPort && logger && logger->isWarning())
        logger->logWarning() << "no port set for service object with name=" << nameForLog();
    cutPathFromUri();
    desc.setHost(&host);
}

bool ServiceRegistryService::copyIdentityAndPort(const qelutil::JsonObject& json) {
    if (getId()) desc.setId(getId().getValue());
    if (getName()) desc.setName(getName().getValue());
    if (getUri()) desc.setUri(getUri().getValue());
    bool hasPort = json.has("port");
    if (hasPort) desc.setPort(static_cast<uint16_t>(json.getLong("port")));
    return hasPort;
}

void ServiceRegistryService::cutPathFromUri() {
    if (getUri()) desc.setPath(getUri().getValue());
}

bool ServiceRegistryService::operator==(const ServiceRegistryService& other) const {
    if (this == &other) return true;
    if (resolved != other.resolved) return false;
    return getName() == other.getName() && getPort() == other.getPort() && getHost() == other.getHost();
}

}  // namespace qel
