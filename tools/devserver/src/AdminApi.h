#pragma once

#include "Reply.h"
#include "ServerContext.h"

namespace qeldev {

/// The admin endpoint under "/_admin/": fault injection over HTTP.
///   POST   /_admin/fault  add a fault rule, or {"refuseMs": N} to refuse connections
///   GET    /_admin/fault  list the fault rules
///   DELETE /_admin/fault  remove every rule and end a refusal (WebSocket faults too)
///   /_admin/websocket     WebSocket faults (WebSocketAdmin)
///   POST   /_admin/registry  {"action":"register"|"unregister"|"resolve", ...}
///   POST   /_admin/origin    {"action":"stop"|"start"|"restart","name":...,"downMs":N}
class AdminApi {
public:
    static bool isAdminPath(const std::string& path);

    explicit AdminApi(const ServerContext& context);
    HttpReply handle(const Request& request) const;

private:
    HttpReply addFault(const Request& request) const;
    HttpReply listFaults() const;
    HttpReply registry(const Request& request) const;
    HttpReply origin(const Request& request) const;

    const ServerContext& m_context;
};

}  // namespace qeldev
