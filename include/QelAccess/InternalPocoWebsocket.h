#pragma once

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/WebSocket.h>

namespace qel {

/// The client side of one WebSocket connection. The constructor performs the
/// upgrade handshake over the session, as Poco::Net::WebSocket does, and
/// throws on failure; getFd() exposes the socket's descriptor.
class InternalPocoWebsocket : public Poco::Net::WebSocket {
public:
    InternalPocoWebsocket(Poco::Net::HTTPClientSession& session, Poco::Net::HTTPRequest& request,
                          Poco::Net::HTTPResponse& response);

    int getFd() const;
};

}  // namespace qel
