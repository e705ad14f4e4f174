#include "ServiceApi.h"

#include "Listing.h"

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>

namespace qeldev {

using qelutil::JsonArray;
using qelutil::JsonFactory;
using qelutil::JsonObject;

namespace {

JsonArray::Shared stringArray(const std::vector<std::string>& values) {
    auto array = JsonFactory::createJsonArray();
    for (const auto& value : values) array->addString(value);
    return array;
}

HttpReply methodNotAllowed(const std::string& allow) {
    HttpReply reply = errorReply(405, "method not allowed here");
    reply.allow = allow;
    return reply;
}

HttpReply listingReply(const EnvelopeHead& head, const ListingPage& page) {
    auto envelope = makeEnvelope(head, page.paging.get());
    envelope->setArray("data", *page.data);
    return envelopeReply(head.status, *envelope);
}

HttpReply elementReply(const EnvelopeHead& head, const JsonObject& element) {
    auto envelope = makeEnvelope(head, nullptr);
    envelope->setObject("data", element);
    return envelopeReply(head.status, *envelope);
}

EnvelopeHead head(int status, const std::string& message, const std::string& type, const std::string& event,
                  const std::string& service) {
    EnvelopeHead result;
    result.status = status;
    result.message = message;
    result.type = type;
    result.event = event;
    result.service = service;
    return result;
}

}  // namespace

JsonObject::Shared describeService(const ServerContext& context, const ServiceDef& service, bool absoluteUri) {
    const std::string path = service.basePath + service.name + "/";
    auto entry = JsonFactory::createJsonObject();
    entry->setString("id", service.name);
    entry->setString("name", service.name);
    entry->setString("uri", absoluteUri ? context.originUri(service.origin) + path : path);
    entry->setLong("port", context.port(service.origin));
    entry->setString("description", service.description);
    entry->setArray("serviceCategories", *stringArray(service.serviceCategories));
    entry->setArray("privileges", *stringArray(service.privileges));
    entry->setArray("versions", *stringArray(service.versions));
    return entry;
}

JsonObject::Shared parseBodyObject(const std::string& body) {
    try {
        return JsonFactory::parseObject(body);
    } catch (const qelutil::JsonException& e) {
        throw HttpError(400, std::string("body must be one JSON object: ") + e.what());
    }
}

ServiceApi::ServiceApi(const ServerContext& context, std::size_t origin, std::string basePath)
    : m_context(context), m_origin(origin), m_basePath(std::move(basePath)) {}

const ServiceDef* ServiceApi::findService(const std::string& name) const {
    const ServiceDef* service = m_context.model.findService(name);
    if (!service || service->origin != m_origin || service->basePath != m_basePath) return nullptr;
    return service;
}

HttpReply ServiceApi::handle(const Request& request, const std::vector<std::string>& segments) const {
    if (segments.empty()) return root(request);
    const ServiceDef* service = findService(segments[0]);
    if (!service) return errorReply(404, "no service " + segments[0] + " at " + m_basePath);
    if (segments.size() == 1) return this->service(request, *service);
    if (!service->findResource(segments[1]))
        return errorReply(404, "no resource " + segments[1] + " in service " + service->name, service->name);
    if (segments.size() == 2) return resource(request, *service, segments[1]);
    if (segments.size() == 3) return element(request, *service, segments[1], segments[2]);
    return errorReply(404, "no such path", service->name);
}

HttpReply ServiceApi::root(const Request& request) const {
    if (request.method != "GET") return methodNotAllowed("GET");
    const auto query = QueryParams::parse(request.rawQuery, m_context.maxQueryBytes);
    std::vector<JsonObject::SharedConst> entries;
    for (const auto& service : m_context.model.services) {
        if (service.origin == m_origin && service.basePath == m_basePath)
            entries.push_back(describeService(m_context, service, false));
    }
    const auto page = buildListing(entries, query, request.path, m_context.model.pageSize);
    return listingReply(head(200, "OK", "root", "read", ""), page);
}

HttpReply ServiceApi::service(const Request& request, const ServiceDef& service) const {
    if (request.method != "GET") return methodNotAllowed("GET");
    const auto query = QueryParams::parse(request.rawQuery, m_context.maxQueryBytes);
    std::vector<JsonObject::SharedConst> entries;
    for (const auto& resource : service.resources) {
        auto entry = JsonFactory::createJsonObject();
        entry->setString("id", resource.name);
        entry->setString("name", resource.name);
        entry->setString("uri", service.basePath + service.name + "/" + resource.name);
        entry->setLong("count", static_cast<int64_t>(m_context.store.count(service.name, resource.name)));
        entries.push_back(entry);
    }
    const auto page = buildListing(entries, query, request.path, m_context.model.pageSize);
    return listingReply(head(200, "OK", "service", "read", service.name), page);
}

HttpReply ServiceApi::resource(const Request& request, const ServiceDef& service,
                               const std::string& resource) const {
    if (request.method == "GET") return listResource(request, service, resource);
    if (request.method == "POST") return createElement(request, service, resource);
    return methodNotAllowed("GET, POST");
}

HttpReply ServiceApi::element(const Request& request, const ServiceDef& service, const std::string& resource,
                              const std::string& id) const {
    if (request.method == "GET") return readElement(request, service, resource, id);
    if (request.method == "POST") return updateElement(request, service, resource, id);
    if (request.method == "DELETE") return deleteElement(service, resource, id);
    return methodNotAllowed("GET, POST, DELETE");
}

HttpReply ServiceApi::listResource(const Request& request, const ServiceDef& service,
                                   const std::string& resource) const {
    const auto query = QueryParams::parse(request.rawQuery, m_context.maxQueryBytes);
    const auto page = buildListing(m_context.store.list(service.name, resource), query, request.path,
                                   m_context.model.pageSize);
    return listingReply(head(200, "OK", "resource", "read", service.name), page);
}

HttpReply ServiceApi::createElement(const Request& request, const ServiceDef& service,
                                    const std::string& resource) const {
    QueryParams::parse(request.rawQuery, m_context.maxQueryBytes);
    const auto body = parseBodyObject(request.body);
    DataStore::SharedConst created;
    try {
        created = m_context.store.create(service.name, resource, *body);
    } catch (const IdTaken& e) {
        return errorReply(409, e.what(), service.name);
    } catch (const std::invalid_argument& e) {
        return errorReply(400, e.what(), service.name);
    }
    HttpReply reply = elementReply(head(201, "created", "element", "create", service.name), *created);
    reply.location = created->getString("uri");
    return reply;
}

HttpReply ServiceApi::readElement(const Request& request, const ServiceDef& service, const std::string& resource,
                                  const std::string& id) const {
    const auto query = QueryParams::parse(request.rawQuery, m_context.maxQueryBytes);
    const auto element = m_context.store.get(service.name, resource, id);
    if (!element) return errorReply(404, "no element " + id + " in " + service.name + "/" + resource, service.name);
    return elementReply(head(200, "OK", "element", "read", service.name), *selectFields(*element, query));
}

HttpReply ServiceApi::updateElement(const Request& request, const ServiceDef& service,
                                    const std::string& resource, const std::string& id) const {
    QueryParams::parse(request.rawQuery, m_context.maxQueryBytes);
    const auto body = parseBodyObject(request.body);
    if (body->has("id") && (!body->isString("id") || body->getString("id") != id))
        return errorReply(400, "\"id\" of the body differs from the element's id", service.name);
    const auto updated = m_context.store.update(service.name, resource, id, *body);
    if (!updated) return errorReply(404, "no element " + id + " in " + service.name + "/" + resource, service.name);
    return elementReply(head(200, "updated", "element", "update", service.name), *updated);
}

HttpReply ServiceApi::deleteElement(const ServiceDef& service, const std::string& resource,
                                    const std::string& id) const {
    const auto removed = m_context.store.remove(service.name, resource, id);
    if (!removed) return errorReply(404, "no element " + id + " in " + service.name + "/" + resource, service.name);
    return elementReply(head(200, "deleted", "element", "delete", service.name), *removed);
}

}  // namespace qeldev
