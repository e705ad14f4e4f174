#include <QelAccess/XObjectDescriptor.h>

#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/ServiceRegistryServiceDescriptor.h>

#include <QelAccessUtility/JsonFactory.h>

namespace qel {

namespace {

// Built once: every element of a read sets all three, and each set filters on it.
struct PropertyNames {
    const std::string id{"id"};
    const std::string name{"name"};
    const std::string uri{"uri"};
};

const PropertyNames& properties() {
    static const PropertyNames names;
    return names;
}

}  // namespace

XObjectDescriptor::XObjectDescriptor(const std::string& service, const std::string& resource)
    : service(service), resource(resource) {}

void XObjectDescriptor::setId(const std::string& value) { setId(std::string(value)); }

void XObjectDescriptor::setName(const std::string& value) { setName(std::string(value)); }

void XObjectDescriptor::setUri(const std::string& value) { setUri(std::string(value)); }

void XObjectDescriptor::setId(std::string&& value) {
    qelFilter.add(properties().id, value);
    id = std::move(value);
}

void XObjectDescriptor::setName(std::string&& value) {
    qelFilter.add(properties().name, value);
    name = std::move(value);
}

void XObjectDescriptor::setUri(std::string&& value) {
    qelFilter.add(properties().uri, value);
    uri = std::move(value);
}

std::string XObjectDescriptor::getRelativeUri() const {
    return "/" + service + "/" + resource + "/" + *id;
}

std::string XObjectDescriptor::createPropertySearchAndQueryOptionsString() const {
    std::string query = createQueryOptionsString();
    std::string properties = createPropertySearchString();
    if (query.empty()) return properties;
    if (properties.empty()) return query;
    return query + "&" + properties;
}

qelutil::JsonObject::Shared XObjectDescriptor::getAsJson() const {
    auto json = qelutil::JsonFactory::createJsonObject();
    if (getId()) json->setString("id", getId().getValue());
    if (uri) json->setString("uri", uri.getValue());
    if (name) json->setString("name", name.getValue());
    return json;
}

qelutil::JsonObject::Shared XObjectDescriptor::getAsQELBody() const {
    auto json = qelutil::JsonFactory::createJsonObject();
    if (name) json->setString("name", name.getValue());
    return json;
}

void XObjectDescriptor::setBaseQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level,
                                            const Fields& expandFields, const SortbyFields& sortby) {
    if (!fields.empty()) queryOptions.setFieldsFilter(fields);
    queryOptions.setExpandLevel(level);
    if (!expandFields.empty()) queryOptions.setExpandFields(expandFields);
    if (!sortby.empty()) queryOptions.setSortbyFields(sortby);
}

void XObjectDescriptor::setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level) {
    setBaseQueryOptions(fields, level, {}, {});
}

void XObjectDescriptor::setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level,
                                        const Fields& expandFields, const SortbyFields& sortby) {
    setBaseQueryOptions(fields, level, expandFields, sortby);
}

void XObjectDescriptor::setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level,
                                        const Fields& expandFields, const SortbyFields& sortby, int64_t limit,
                                        int64_t offset) {
    setBaseQueryOptions(fields, level, expandFields, sortby);
    queryOptions.setPagingLimit(limit);
    queryOptions.setPagingOffset(offset);
}

void XObjectDescriptor::setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level,
                                        const Fields& expandFields, const SortbyFields& sortby, int64_t limit,
                                        const std::string& offsetId) {
    setBaseQueryOptions(fields, level, expandFields, sortby);
    queryOptions.setPagingLimit(limit);
    queryOptions.setPagingOffsetUuid(offsetId);
}

void XObjectDescriptor::setQueryOptionsLimit(const Fields& fields, QueryOptions::EXPAND_LEVEL level,
                                             const Fields& expandFields, const SortbyFields& sortby,
                                             int64_t limit) {
    setBaseQueryOptions(fields, level, expandFields, sortby);
    queryOptions.setPagingLimit(limit);
}

void XObjectDescriptor::setQueryOptionsOffset(const Fields& fields, QueryOptions::EXPAND_LEVEL level,
                                              const Fields& expandFields, const SortbyFields& sortby,
                                              int64_t offset) {
    setBaseQueryOptions(fields, level, expandFields, sortby);
    queryOptions.setPagingOffset(offset);
}

void XObjectDescriptor::setQueryOptionsOffset(const Fields& fields, QueryOptions::EXPAND_LEVEL level,
                                              const Fields& expandFields, const SortbyFields& sortby,
                                              const std::string& offsetId) {
    setBaseQueryOptions(fields, level, expandFields, sortby);
    queryOptions.setPagingOffsetUuid(offsetId);
}

QelResourceDescriptor::QelResourceDescriptor(const std::string& service, const std::string& resource)
    : XObjectDescriptor(service, resource) {}

QelResourceDescriptor::QelResourceDescriptor(const std::string& service) : XObjectDescriptor(service, "") {}

qelutil::JsonObject::Shared QelResourceDescriptor::getAsJson() const { return XObjectDescriptor::getAsJson(); }

QelServiceDescriptor::QelServiceDescriptor(const std::string& service) : XObjectDescriptor(service, "") {}

QelServiceDescriptor::QelServiceDescriptor(const XObjectDescriptor& other) : XObjectDescriptor(other) {}

qelutil::JsonObject::Shared QelServiceDescriptor::getAsJson() const {
    auto json = XObjectDescriptor::getAsJson();
    if (port) json->setLong("port", port.getValue());
    return json;
}

ServiceRegistryServiceDescriptor::ServiceRegistryServiceDescriptor(const QelServiceDescriptor& other)
    : QelServiceDescriptor(other) {}

ServiceRegistryServiceDescriptor::ServiceRegistryServiceDescriptor(const ServiceRegistryServiceDescriptor& other)
    : QelServiceDescriptor(other) {
    setHost(other.host ? &other.host.getValue() : nullptr);
    if (other.path) setPath(other.path.getValue());
}

void ServiceRegistryServiceDescriptor::setHost(const std::string* value) {
    if (value)
        host = *value;
    else
        host.reset();
}

void ServiceRegistryServiceDescriptor::setPath(const std::string& value) {
    const std::string& serviceName = name.getValue();
    // An empty name would match at the very start and wipe the whole path.
    std::size_t position = serviceName.empty() ? std::string::npos : value.find(serviceName);
    path = position == std::string::npos ? value : value.substr(0, position);
}

qelutil::JsonObject::Shared ServiceRegistryServiceDescriptor::getAsJson() const {
    return QelServiceDescriptor::getAsJson();
}

}  // namespace qel
