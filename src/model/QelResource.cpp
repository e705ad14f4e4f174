#include <QelAccess/QelResource.h>

namespace qel {

QelResource::QelResource(const std::string& service, const std::string& resource) : desc(service, resource) {}

QelResource::QelResource(qelutil::JsonObject::Shared json, const std::string& service, const std::string& resource)
    : desc(service, resource) {
    QelResource::fillFromJson(std::move(json));
}

void QelResource::fillFromJson(qelutil::JsonObject::Shared json) {
    if (!json) return;
    if (json->has("name")) desc.setName(json->getString("name"));
    if (json->has("uri")) {
        std::string uri = json->getString("uri");
        std::size_t separator = uri.find_last_of("/\\");
        desc.setId(separator == std::string::npos ? uri : uri.substr(separator + 1));
        desc.setUri(uri);
    }
    if (json->has("id")) desc.setId(json->getString("id"));
}

}  // namespace qel
