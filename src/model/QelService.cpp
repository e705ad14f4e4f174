#include <QelAccess/QelService.h>

#include "model/SourceLocation.h"

#include <QelAccessUtility/JsonArray.h>

namespace qel {

namespace {

std::vector<std::string> readStringList(const qelutil::JsonObject& json, const std::string& key) {
    auto array = json.getArray(key);
    std::vector<std::string> list;
    list.reserve(array->size());
    for (std::size_t i = 0; i < array->size(); ++i) list.push_back(array->getString(i));
    return list;
}

}  // namespace

QelService::QelService(qelutil::JsonObject::Shared json) { QelService::fillFromJson(std::move(json)); }

QelService::QelService(qelutil::JsonObject::Shared json, const std::string& service, const std::string& name) {
    XObject::desc = QelServiceDescriptor(service);
    XObject::desc.setName(name);
    desc = XObject::desc;
    QelService::fillFromJson(std::move(json));
}

QelService::QelService(qelutil::JsonObject::Shared json, std::shared_ptr<qelutil::StreamingLogger> logger) {
    fillFromJson(std::move(json), logger);
}

void QelService::fillFromJson(qelutil::JsonObject::Shared json) {
    fillFromJson(std::move(json), nullptr);
}

void QelService::fillFromJson(qelutil::JsonObject::Shared json,
                              const std::shared_ptr<qelutil::StreamingLogger>& logger) {
    if (logger && logger->isDebug()) logger->logDebug() << QEL_SOURCE_LOCATION << "fillFromJson";
    XObject::fillFromJson(json);
    desc = XObject::desc;
    if (!json) return;

    auto warnAbsent = [&](const char* member) {
        if (logger && logger->isWarning())
            logger->logWarning() << QEL_SOURCE_LOCATION << "no " << member
                                 << " set for service object with name=" << nameForLog();
    };
    if (json->has("port"))
        desc.setPort(static_cast<uint16_t>(json->getLong("port")));
    else
        warnAbsent("port");
    if (json->has("description"))
        desc.setDescription(json->getString("description"));
    else
        warnAbsent("description");
    if (json->has("serviceCategories"))
        desc.setServiceCategories(readStringList(*json, "serviceCategories"));
    else
        warnAbsent("serviceCategories");
    if (json->has("privileges"))
        desc.setPrivileges(readStringList(*json, "privileges"));
    else
        warnAbsent("privileges");
    if (json->has("versions"))
        desc.setVersions(readStringList(*json, "versions"));
    else
        warnAbsent("versions");
}

std::string QelService::nameForLog() const { return getName().getValueOr(std::string()); }

bool QelService::operator==(const QelService& other) const {
    if (this == &other) return true;
    return getName() == other.getName() && getPort() == other.getPort() && getVersions() == other.getVersions() &&
           getServiceCategories() == other.getServiceCategories() &&
           getDescription() == other.getDescription() && getPrivileges() == other.getPrivileges();
}

}  // namespace qel
