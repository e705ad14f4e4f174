#include "ServerContext.h"

namespace qeldev {

std::string ServerContext::originUri(std::size_t origin) const {
    return "http://127.0.0.1:" + std::to_string(port(origin));
}

std::string ServerContext::baseUri(const ServiceDef& service) const {
    return originUri(service.origin) + service.basePath;
}

std::string ServerContext::registryBaseUri() const {
    return originUri(model.registry.origin) + model.registry.basePath;
}

}  // namespace qeldev
