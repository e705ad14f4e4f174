#pragma once

#include "Reply.h"
#include "ServerContext.h"

namespace qeldev {

/// The WebSocket faults of the admin endpoint, "/_admin/websocket":
///   GET     the open connections and the active faults
///   DELETE  end the stall, the refusal and the splitting
///   POST    one action: {"action":"drop"}, {"action":"stall","ms":N},
///           {"action":"refuse","ms":N,"status":503}, {"action":"split","frameBytes":N},
///           {"action":"send","opcode":"text","payload":"...","fin":true},
///           {"action":"oversized","bytes":N}
class WebSocketAdmin {
public:
    explicit WebSocketAdmin(const ServerContext& context);
    HttpReply handle(const Request& request) const;

private:
    HttpReply act(const Request& request) const;
    HttpReply status() const;

    const ServerContext& m_context;
};

}  // namespace qeldev
