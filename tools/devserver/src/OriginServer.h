#pragma once

#include "Router.h"
#include "ServerContext.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/ThreadPool.h>

#include <cstdint>
#include <memory>

namespace qeldev {

class ConnectionTracker;

/// The HTTP server of one origin: a listening socket on 127.0.0.1, a
/// bounded pool of workers and a bounded queue of accepted connections.
class OriginServer {
public:
    /// Binds 127.0.0.1:`port` (0 for a free port); throws std::runtime_error.
    static Poco::Net::ServerSocket bindLoopback(uint16_t port);

    OriginServer(const ServerContext& context, std::size_t origin, const Poco::Net::ServerSocket& socket,
                 int maxThreads, int maxQueued);
    ~OriginServer();
    OriginServer(const OriginServer&) = delete;
    OriginServer& operator=(const OriginServer&) = delete;

    void start();
    /// Stops accepting, shuts open connections down and waits for the workers.
    void stop();

private:
    Router m_router;
    std::shared_ptr<ConnectionTracker> m_tracker;
    Poco::ThreadPool m_pool;
    std::unique_ptr<Poco::Net::TCPServer> m_server;
    bool m_stopped = false;
};

}  // namespace qeldev
