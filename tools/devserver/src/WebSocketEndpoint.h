#pragma once

#include "ServerContext.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

#include <cstddef>

namespace qeldev {

/// Answers a WebSocket upgrade request at a base path of one origin (a
/// service mount or the registry's) and serves the connection on the
/// calling worker until it ends. Other paths get 404; refused upgrades their
/// chosen status; upgrades beyond the connection bound 503. During a stall
/// the upgrade waits.
class WebSocketEndpoint : public Poco::Net::HTTPRequestHandler {
public:
    static bool isUpgrade(const Poco::Net::HTTPServerRequest& request);

    WebSocketEndpoint(const ServerContext& context, std::size_t origin);

    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    const ServerContext& m_context;
    std::size_t m_origin;
};

}  // namespace qeldev
