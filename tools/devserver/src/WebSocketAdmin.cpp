#include "WebSocketAdmin.h"

#include "ServiceApi.h"
#include "WebSocketHub.h"

#include <QelAccessUtility/JsonFactory.h>

#include <map>

namespace qeldev {

using qelutil::JsonFactory;
using qelutil::JsonObject;

namespace {

constexpr int64_t MAX_MILLISECONDS = 10 * 60 * 1000;
constexpr int64_t MAX_FRAME_BYTES = 16 * 1024 * 1024;

HttpReply adminReply(const std::string& message, const std::string& event, const JsonObject* data = nullptr) {
    EnvelopeHead head;
    head.message = message;
    head.type = "admin";
    head.event = event;
    auto envelope = makeEnvelope(head, nullptr);
    if (data) envelope->setObject("data", *data);
    return envelopeReply(200, *envelope);
}

int64_t number(const JsonObject& body, const std::string& key, int64_t low, int64_t high, int64_t fallback) {
    if (!body.has(key)) return fallback;
    if (!body.isLong(key) || body.getLong(key) < low || body.getLong(key) > high)
        throw HttpError(
            400, "\"" + key + "\" must be an integer from " + std::to_string(low) + " to " + std::to_string(high));
    return body.getLong(key);
}

int64_t required(const JsonObject& body, const std::string& key, int64_t low, int64_t high) {
    if (!body.has(key)) throw HttpError(400, "\"" + key + "\" is missing");
    return number(body, key, low, high, 0);
}

WebSocketOpcode opcodeOf(const JsonObject& body) {
    static const std::map<std::string, WebSocketOpcode> opcodes = {{"text", WebSocketOpcode::TEXT},
                                                                   {"binary", WebSocketOpcode::BINARY},
                                                                   {"continuation", WebSocketOpcode::CONTINUATION},
                                                                   {"ping", WebSocketOpcode::PING},
                                                                   {"pong", WebSocketOpcode::PONG},
                                                                   {"close", WebSocketOpcode::CLOSE}};
    if (!body.has("opcode")) return WebSocketOpcode::TEXT;
    const auto found = body.isString("opcode") ? opcodes.find(body.getString("opcode")) : opcodes.end();
    if (found == opcodes.end())
        throw HttpError(400, "\"opcode\" must be text, binary, continuation, ping, pong or close");
    return found->second;
}

/// A string payload is sent as it is; an object or array as its JSON text.
std::string payloadOf(const JsonObject& body) {
    if (!body.has("payload")) return {};
    if (body.isString("payload")) return body.getString("payload");
    if (body.isObject("payload")) return body.getObject("payload")->toString();
    if (body.isArray("payload")) return body.getArray("payload")->toString();
    throw HttpError(400, "\"payload\" must be a string, an object or an array");
}

bool finOf(const JsonObject& body) {
    if (!body.has("fin")) return true;
    if (!body.isBool("fin")) throw HttpError(400, "\"fin\" must be true or false");
    return body.getBool("fin");
}

JsonObject::Shared sentCount(std::size_t sent) {
    auto data = JsonFactory::createJsonObject();
    data->setLong("sent", static_cast<int64_t>(sent));
    return data;
}

}  // namespace

WebSocketAdmin::WebSocketAdmin(const ServerContext& context) : m_context(context) {}

HttpReply WebSocketAdmin::handle(const Request& request) const {
    if (request.method == "GET") return status();
    if (request.method == "POST") return act(request);
    if (request.method == "DELETE") {
        m_context.webSockets.clearFaults();
        return adminReply("WebSocket faults cleared", "clear");
    }
    HttpReply reply = errorReply(405, "method not allowed here");
    reply.allow = "GET, POST, DELETE";
    return reply;
}

HttpReply WebSocketAdmin::status() const {
    WebSocketHub& hub = m_context.webSockets;
    auto data = JsonFactory::createJsonObject();
    data->setLong("connections", static_cast<int64_t>(hub.connectionCount()));
    data->setBool("stalled", WebSocketHub::Clock::now() < hub.stalledUntil());
    const auto refusal = hub.refusalStatus();
    data->setBool("refusing", refusal.has_value());
    if (refusal) data->setLong("refuseStatus", *refusal);
    data->setLong("splitBytes", static_cast<int64_t>(hub.splitBytes()));
    return adminReply("OK", "read", data.get());
}

HttpReply WebSocketAdmin::act(const Request& request) const {
    WebSocketHub& hub = m_context.webSockets;
    const auto body = parseBodyObject(request.body);
    if (!body->isString("action")) throw HttpError(400, "\"action\" must be a string");
    const std::string action = body->getString("action");
    if (action == "drop") {
        auto data = JsonFactory::createJsonObject();
        data->setLong("connections", static_cast<int64_t>(hub.connectionCount()));
        hub.dropAll();
        return adminReply("WebSocket connections dropped", "drop", data.get());
    }
    if (action == "stall") {
        hub.stallFor(std::chrono::milliseconds(required(*body, "ms", 0, MAX_MILLISECONDS)));
        return adminReply("WebSocket side stalled", "stall");
    }
    if (action == "refuse") {
        const auto duration = required(*body, "ms", 0, MAX_MILLISECONDS);
        hub.refuseFor(std::chrono::milliseconds(duration), static_cast<int>(number(*body, "status", 200, 599, 503)));
        return adminReply("refusing WebSocket upgrades", "refuse");
    }
    if (action == "split") {
        hub.splitMessages(static_cast<std::size_t>(required(*body, "frameBytes", 0, MAX_FRAME_BYTES)));
        return adminReply("splitting WebSocket messages", "split");
    }
    if (action == "send") {
        const int flags = static_cast<int>(opcodeOf(*body)) | (finOf(*body) ? 0x80 : 0);
        const auto sent = hub.sendFrame(flags, payloadOf(*body));
        return adminReply("frame sent", "send", sentCount(sent).get());
    }
    if (action == "oversized") {
        const auto bytes = required(*body, "bytes", 1, static_cast<int64_t>(hub.settings().maxPaddedBytes));
        const auto sent = hub.sendPadded(static_cast<std::size_t>(bytes));
        return adminReply("oversized message sent", "oversized", sentCount(sent).get());
    }
    throw HttpError(400, "\"action\" must be drop, stall, refuse, split, send or oversized");
}

}  // namespace qeldev
