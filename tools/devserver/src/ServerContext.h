#pragma once

#include "DataStore.h"
#include "FaultInjector.h"
#include "ServerModel.h"

#include <QelAccessUtility/ILogger.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qeldev {

class WebSocketHub;

/// What the admin interface may change on the running server. Every call
/// throws std::invalid_argument for unknown names or values.
class ServerControl {
public:
    virtual ~ServerControl() = default;
    virtual void registerService(const std::string& service) = 0;
    virtual void unregisterService(const std::string& service) = 0;
    virtual void moveService(const std::string& service, const std::string& origin) = 0;
    virtual void setResolution(const std::string& service, int status) = 0;
    /// Closes the origin now, on a thread of its own (the request asking for
    /// it may be served by that origin), and listens on its port again after
    /// `down`; a negative `down` leaves it closed.
    virtual void restartOriginLater(const std::string& origin, std::chrono::milliseconds down) = 0;
    /// Listens on the origin's port again, when it is closed.
    virtual void startOrigin(const std::string& origin) = 0;
};

/// What the request handlers of one run share. The referenced model, store
/// fault injector and WebSocket hub belong to the server and outlive the run.
struct ServerContext {
    const ServerModel& model;
    DataStore& store;
    FaultInjector& faults;
    WebSocketHub& webSockets;
    /// Bound port of every origin, in model order.
    std::vector<uint16_t> ports;
    std::size_t maxBodyBytes = 0;
    std::size_t maxQueryBytes = 0;
    std::shared_ptr<qelutil::ILogger> logger;
    ServerControl* control = nullptr;

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
