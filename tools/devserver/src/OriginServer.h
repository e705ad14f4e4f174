#pragma once

#include "Router.h"
#include "ServerContext.h"

#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServerConnectionFactory.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qeldev {

class ConnectionTracker;

/// The HTTP server of one origin: a listening socket on 127.0.0.1, a
/// bounded pool of workers and a bounded queue of accepted connections.
///
/// The acceptor thread hands a worker only the accepted descriptor; the
/// worker builds the socket, serves it and closes it, so that every socket
/// has one owning thread from its first use to its close.
/// `m_mutex` guards the queue, the idle count and the worker list.
class OriginServer {
public:
    /// Binds 127.0.0.1:`port` (0 for a free port); throws std::runtime_error.
    static Poco::Net::ServerSocket bindLoopback(uint16_t port);
    /// Binds 127.0.0.1:`port` without listening: the port stays this
    /// process's, connections to it are refused, and bindLoopback can take
    /// it over. Throws std::runtime_error.
    static Poco::Net::ServerSocket holdPort(uint16_t port);

    OriginServer(const ServerContext& context, std::size_t origin, const Poco::Net::ServerSocket& socket,
                 int maxThreads, int maxQueued);
    ~OriginServer();
    OriginServer(const OriginServer&) = delete;
    OriginServer& operator=(const OriginServer&) = delete;

    void start();
    /// Stops accepting, shuts open connections down and waits for the workers.
    void stop();
    /// Stops accepting and closes the listening socket; open connections stay.
    void stopAccepting();

private:
    void acceptLoop();
    void dispatch(int fd);
    void work();
    void serve(int fd);

    const ServerContext& m_context;
    Router m_router;
    std::shared_ptr<ConnectionTracker> m_tracker;
    Poco::Net::ServerSocket m_socket;
    std::unique_ptr<Poco::Net::TCPServerConnectionFactory> m_http;
    const std::size_t m_maxWorkers;
    const std::size_t m_maxQueued;

    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<int> m_queue;
    std::size_t m_idle = 0;
    std::vector<std::thread> m_workers;
    std::thread m_acceptor;
    bool m_stopped = false;
};

}  // namespace qeldev
