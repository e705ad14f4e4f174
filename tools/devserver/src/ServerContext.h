#pragma once

#include "DataStore.h"
#include "FaultInjector.h"
#include "RegistryState.h"
#include "ServerModel.h"

#include <QelAccessUtility/ILogger.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qeldev {

class WebSocketHub;

/// What the request handlers of one run share. The referenced model, store
/// fault injector and WebSocket hub belong to the server and outlive the run.
struct ServerContext {
    const ServerModel& model;
    DataStore& store;
    FaultInjector& faults;
    WebSocketHub& webSockets;
    RegistryState& registry;
    /// Bound port of every origin, in model order; a moved origin's changes
    /// while requests read it.
    std::shared_ptr<std::vector<std::atomic<uint16_t>>> ports;
    std::size_t maxBodyBytes = 0;
    std::size_t maxQueryBytes = 0;
    std::shared_ptr<qelutil::ILogger> logger;
    /// Stops ("stop"), starts ("start") or restarts ("restart", down for
    /// `downMs`) the origin named or holding the named service, on a thread
    /// of the server's own, so that an origin may be stopped by its own request.
    /// Throws std::invalid_argument for an unknown name or action.
    /// "move" moves the named service to the port `value` (0: a free one).
    std::function<void(const std::string& action, const std::string& name, int64_t value)> controlOrigin;

    uint16_t port(std::size_t origin) const { return ports->at(origin).load(); }
    /// "http://127.0.0.1:" + port, without a trailing "/".
    std::string originUri(std::size_t origin) const;
    /// Origin and base path of the service, ending in "/".
    std::string baseUri(const ServiceDef& service) const;
    std::string registryBaseUri() const;
};

/// Where a parsed request goes.
struct Request {
    std::string method;
    /// The path as received, still percent-encoded.
    std::string path;
    std::string rawQuery;
    std::string body;
};

}  // namespace qeldev
