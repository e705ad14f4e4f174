#include <QelAccess/InternalPocoWebsocket.h>

namespace qel {

InternalPocoWebsocket::InternalPocoWebsocket(Poco::Net::HTTPClientSession& session, Poco::Net::HTTPRequest& request,
                                             Poco::Net::HTTPResponse& response)
    : Poco::Net::WebSocket(session, request, response) {}

int InternalPocoWebsocket::getFd() const { return static_cast<int>(sockfd()); }

}  // namespace qel
