#include "AdminApi.h"

#include "ServiceApi.h"
#include "WebSocketAdmin.h"
#include "WebSocketHub.h"

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonFactory.h>

namespace qeldev {

using qelutil::JsonFactory;
using qelutil::JsonObject;

namespace {

constexpr int64_t MAX_MILLISECONDS = 10 * 60 * 1000;

EnvelopeHead adminHead(const std::string& message, const std::string& event) {
    EnvelopeHead head;
    head.message = message;
    head.type = "admin";
    head.event = event;
    return head;
}

std::string stringMember(const JsonObject& body, const std::string& key) {
    if (!body.has(key)) return {};
    if (!body.isString(key)) throw HttpError(400, "\"" + key + "\" must be a string");
    return body.getString(key);
}

int64_t numberMember(const JsonObject& body, const std::string& key, int64_t low, int64_t high) {
    if (!body.has(key)) return 0;
    if (!body.isLong(key) || body.getLong(key) < low || body.getLong(key) > high)
        throw HttpError(400, "\"" + key + "\" must be an integer from " + std::to_string(low) + " to " +
                                 std::to_string(high));
    return body.getLong(key);
}

std::string bodyMember(const JsonObject& body) {
    if (body.isObject("body")) return body.getObject("body")->toString();
    if (body.isArray("body")) return body.getArray("body")->toString();
    return stringMember(body, "body");
}

HttpFault faultOf(const JsonObject& body) {
    HttpFault fault;
    fault.path = stringMember(body, "path");
    fault.method = stringMember(body, "method");
    fault.status = static_cast<int>(numberMember(body, "status", 0, 599));
    if (fault.status != 0 && fault.status < 100) throw HttpError(400, "\"status\" must be 0 or from 100 to 599");
    fault.body = bodyMember(body);
    fault.delay = std::chrono::milliseconds(numberMember(body, "delayMs", 0, MAX_MILLISECONDS));
    fault.times = static_cast<int>(numberMember(body, "times", 0, 1000000));
    return fault;
}

JsonObject::Shared describeFault(const HttpFault& fault) {
    auto entry = JsonFactory::createJsonObject();
    entry->setString("path", fault.path);
    entry->setString("method", fault.method);
    entry->setLong("status", fault.status);
    entry->setString("body", fault.body);
    entry->setLong("delayMs", fault.delay.count());
    entry->setLong("times", fault.times);
    return entry;
}

}  // namespace

bool AdminApi::isAdminPath(const std::string& path) {
    return path == "/_admin" || path.rfind("/_admin/", 0) == 0;
}

AdminApi::AdminApi(const ServerContext& context) : m_context(context) {}

HttpReply AdminApi::handle(const Request& request) const {
    if (request.path == "/_admin/websocket" || request.path == "/_admin/websocket/")
        return WebSocketAdmin(m_context).handle(request);
    if (request.path == "/_admin/registry" || request.path == "/_admin/registry/") return registry(request);
    if (request.path == "/_admin/origin" || request.path == "/_admin/origin/") return origin(request);
    if (request.path != "/_admin/fault" && request.path != "/_admin/fault/")
        return errorReply(404, "unknown admin path");
    if (request.method == "POST") return addFault(request);
    if (request.method == "GET") return listFaults();
    if (request.method == "DELETE") {
        m_context.faults.clear();
        m_context.webSockets.clearFaults();
        return envelopeReply(200, *makeEnvelope(adminHead("faults cleared", "clear"), nullptr));
    }
    HttpReply reply = errorReply(405, "method not allowed here");
    reply.allow = "GET, POST, DELETE";
    return reply;
}

HttpReply AdminApi::addFault(const Request& request) const {
    const auto body = parseBodyObject(request.body);
    if (body->has("refuseMs")) {
        const auto duration = numberMember(*body, "refuseMs", 0, MAX_MILLISECONDS);
        m_context.faults.refuseFor(std::chrono::milliseconds(duration));
        return envelopeReply(200, *makeEnvelope(adminHead("refusing connections", "refuse"), nullptr));
    }
    const HttpFault fault = faultOf(*body);
    m_context.faults.add(fault);
    auto envelope = makeEnvelope(adminHead("fault added", "add"), nullptr);
    envelope->setObject("data", *describeFault(fault));
    return envelopeReply(200, *envelope);
}

namespace {

HttpReply postOnly() {
    HttpReply reply = errorReply(405, "method not allowed here");
    reply.allow = "POST";
    return reply;
}

std::string requiredString(const JsonObject& body, const std::string& key) {
    const auto value = stringMember(body, key);
    if (value.empty()) throw HttpError(400, "\"" + key + "\" is missing");
    return value;
}

ServiceDef::Resolution resolutionOf(const std::string& answer) {
    if (answer == "entry" || answer == "200") return ServiceDef::Resolution::ENTRY;
    if (answer == "redirect" || answer == "307") return ServiceDef::Resolution::REDIRECT;
    if (answer == "choices" || answer == "300") return ServiceDef::Resolution::CHOICES;
    throw HttpError(400, "\"answer\" must be entry, redirect or choices");
}

}  // namespace

HttpReply AdminApi::registry(const Request& request) const {
    if (request.method != "POST") return postOnly();
    const auto body = parseBodyObject(request.body);
    const std::string action = requiredString(*body, "action");
    try {
        if (action == "register" && body->isObject("entry")) {
            m_context.registry.addEntry(*body->getObject("entry"));
        } else if (action == "register") {
            m_context.registry.setListed(requiredString(*body, "name"), true);
        } else if (action == "unregister") {
            const std::string name = requiredString(*body, "name");
            if (!m_context.registry.remove(name) && !m_context.model.findService(name))
                return errorReply(404, "nothing registered as " + name);
        } else if (action == "resolve") {
            m_context.registry.setResolution(requiredString(*body, "name"),
                                             resolutionOf(requiredString(*body, "answer")));
        } else {
            throw HttpError(400, "\"action\" must be register, unregister or resolve");
        }
    } catch (const std::invalid_argument& e) {
        return errorReply(404, e.what());
    }
    return envelopeReply(200, *makeEnvelope(adminHead("registry changed", action), nullptr));
}

HttpReply AdminApi::origin(const Request& request) const {
    if (request.method != "POST") return postOnly();
    const auto body = parseBodyObject(request.body);
    const std::string action = requiredString(*body, "action");
    const std::string name = requiredString(*body, "name");
    const auto value = action == "move" ? numberMember(*body, "port", 0, 65535)
                                        : numberMember(*body, "downMs", 0, MAX_MILLISECONDS);
    try {
        m_context.controlOrigin(action, name, value);
    } catch (const std::invalid_argument& e) {
        return errorReply(action == "stop" || action == "start" || action == "restart" || action == "move" ? 404 : 400, e.what());
    }
    return envelopeReply(202, *makeEnvelope(adminHead("origin " + action + " under way", action), nullptr));
}

HttpReply AdminApi::listFaults() const {
    auto data = JsonFactory::createJsonArray();
    for (const auto& fault : m_context.faults.list()) data->addObject(*describeFault(fault));
    auto envelope = makeEnvelope(adminHead("OK", "read"), nullptr);
    envelope->setArray("data", *data);
    return envelopeReply(200, *envelope);
}

}  // namespace qeldev
