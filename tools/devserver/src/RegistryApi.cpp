#include "RegistryApi.h"

#include "Listing.h"
#include "ServiceApi.h"

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonFactory.h>

namespace qeldev {

using qelutil::JsonFactory;
using qelutil::JsonObject;

const char* const RegistryApi::SERVICE_NAME = "ServiceRegistry";

namespace {

EnvelopeHead registryHead(int status, const std::string& message, const std::string& event) {
    EnvelopeHead head;
    head.status = status;
    head.message = message;
    head.type = "registry";
    head.event = event;
    head.service = RegistryApi::SERVICE_NAME;
    return head;
}

HttpReply entryReply(const JsonObject& entry) {
    auto data = JsonFactory::createJsonArray();
    data->addObject(entry);
    auto envelope = makeEnvelope(registryHead(200, "OK", "resolve"), nullptr);
    envelope->setArray("data", *data);
    return envelopeReply(200, *envelope);
}

}  // namespace

RegistryApi::RegistryApi(const ServerContext& context) : m_context(context) {}

HttpReply RegistryApi::handle(const Request& request, const std::vector<std::string>& segments) const {
    if (request.method != "GET") {
        HttpReply reply = errorReply(405, "the registry is read only", SERVICE_NAME);
        reply.allow = "GET";
        return reply;
    }
    if (segments.empty()) return listing(request);
    if (segments.size() == 1) return resolve(segments[0]);
    return errorReply(404, "no such path in the registry", SERVICE_NAME);
}

std::vector<JsonObject::SharedConst> RegistryApi::entries() const {
    std::vector<JsonObject::SharedConst> result;
    for (const auto& service : m_context.model.services) {
        if (m_context.registry.isListed(service.name))
            result.push_back(describeService(m_context, service,
                                             service.registryUri == ServiceDef::RegistryUri::ABSOLUTE));
    }
    for (const auto& entry : m_context.registry.extraEntries()) result.push_back(entry);
    return result;
}

HttpReply RegistryApi::listing(const Request& request) const {
    const auto query = QueryParams::parse(request.rawQuery, m_context.maxQueryBytes);
    const auto page = buildListing(entries(), query, request.path, m_context.model.pageSize);
    auto envelope = makeEnvelope(registryHead(200, "OK", "read"), page.paging.get());
    envelope->setArray("data", *page.data);
    return envelopeReply(200, *envelope);
}

HttpReply RegistryApi::resolve(const std::string& name) const {
    const ServiceDef* service = m_context.model.findService(name);
    if (service && m_context.registry.isListed(service->name)) return resolveService(*service);
    for (const auto& entry : m_context.registry.extraEntries()) {
        if (entry->isString("name") && entry->getString("name") == name) return entryReply(*entry);
    }
    return errorReply(404, "no service " + name + " in the registry", SERVICE_NAME);
}

HttpReply RegistryApi::resolveService(const ServiceDef& service) const {
    const std::string address = m_context.baseUri(service);
    switch (m_context.registry.resolution(service)) {
        case ServiceDef::Resolution::REDIRECT: {
            HttpReply reply = envelopeReply(307, *makeEnvelope(registryHead(307, "moved to " + address, "resolve"), nullptr));
            reply.location = address;
            return reply;
        }
        case ServiceDef::Resolution::CHOICES: {
            auto choices = JsonFactory::createJsonArray();
            for (const auto& choice : service.choices) {
                auto entry = JsonFactory::createJsonObject();
                entry->setString("description", choice.description);
                entry->setString("hostAddress", choice.hostAddress.empty() ? address : choice.hostAddress);
                entry->setString("versions", choice.versions);
                choices->addObject(*entry);
            }
            auto envelope = makeEnvelope(registryHead(300, "several locations", "resolve"), nullptr);
            envelope->setArray("data", *choices);
            return envelopeReply(300, *envelope);
        }
        case ServiceDef::Resolution::ENTRY:
            break;
    }
    return entryReply(*describeService(m_context, service, service.registryUri == ServiceDef::RegistryUri::ABSOLUTE));
}

}  // namespace qeldev
