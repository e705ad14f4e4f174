#include "WebSocketEndpoint.h"

#include "Reply.h"
#include "Subscriptions.h"
#include "WebSocketHub.h"
#include "WebSocketSession.h"

#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/String.h>

namespace qeldev {

namespace {

using Poco::Net::HTTPServerResponse;

void reject(HTTPServerResponse& response, const HttpReply& reply) {
    response.setStatusAndReason(static_cast<HTTPServerResponse::HTTPStatus>(reply.status), reasonPhrase(reply.status));
    response.setContentType("application/json");
    if (!reply.allow.empty()) response.set("Allow", reply.allow);
    response.setKeepAlive(false);
    response.sendBuffer(reply.body.data(), reply.body.size());
}

/// One of the origin's connection places, held for the life of a connection.
class Admission {
public:
    Admission(WebSocketHub& hub, std::size_t origin) : m_hub(hub), m_origin(origin), m_admitted(hub.enter(origin)) {}
    ~Admission() {
        if (m_admitted) m_hub.leave(m_origin);
    }
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;
    explicit operator bool() const { return m_admitted; }

private:
    WebSocketHub& m_hub;
    std::size_t m_origin;
    bool m_admitted;
};

}  // namespace

bool WebSocketEndpoint::isUpgrade(const Poco::Net::HTTPServerRequest& request) {
    return Poco::icompare(request.get("Upgrade", ""), "websocket") == 0;
}

WebSocketEndpoint::WebSocketEndpoint(const ServerContext& context, std::size_t origin)
    : m_context(context), m_origin(origin) {}

void WebSocketEndpoint::handleRequest(Poco::Net::HTTPServerRequest& request, HTTPServerResponse& response) {
    WebSocketHub& hub = m_context.webSockets;
    const std::string& target = request.getURI();
    const std::string path = target.substr(0, target.find('?'));
    if (request.getMethod() != Poco::Net::HTTPRequest::HTTP_GET) {
        HttpReply reply = errorReply(405, "a WebSocket upgrade must be a GET request");
        reply.allow = "GET";
        return reject(response, reply);
    }
    if (!mountAt(m_context, m_origin, path))
        return reject(response, errorReply(404, "no WebSocket endpoint at " + path));
    if (!hub.waitWhileStalled()) return reject(response, errorReply(503, "server is stopping"));
    if (const auto status = hub.refusalStatus())
        return reject(response, errorReply(*status, "WebSocket upgrades are refused"));
    Admission admission(hub, m_origin);
    if (!admission) return reject(response, errorReply(503, "too many WebSocket connections"));
    std::shared_ptr<WebSocketSession> session;
    try {
        Poco::Net::WebSocket socket(request, response);
        session = std::make_shared<WebSocketSession>(hub, m_context, m_origin, socket);
    } catch (const Poco::Net::WebSocketException& e) {
        if (!response.sent()) reject(response, errorReply(400, "not a WebSocket upgrade: " + e.message()));
        return;
    }
    if (hub.logger().isDebug()) hub.logger().debug("WebSocket connection at " + path);
    hub.add(session);
    session->run();
    hub.remove(session.get());
}

}  // namespace qeldev
