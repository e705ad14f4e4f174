#include "OriginServer.h"

#include "AdminApi.h"
#include "Reply.h"
#include "WebSocketEndpoint.h"
#include "WebSocketHub.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerConnectionFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/StreamSocketImpl.h>

#include <istream>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qeldev {

/// The open connections of one origin, so that stopping can shut them down
/// instead of waiting for idle keep-alive clients.
class ConnectionTracker {
public:
    /// A ticket for the connection, or nothing once stopping.
    std::optional<uint64_t> enter(const Poco::Net::StreamSocket& socket) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return std::nullopt;
        m_open.emplace(m_next, socket);
        return m_next++;
    }

    void leave(uint64_t ticket) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open.erase(ticket);
    }

    void shutdownAll() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        for (auto& entry : m_open) {
            try {
                entry.second.shutdown();
            } catch (...) {
                // Already closed by its worker: nothing left to shut down.
            }
        }
    }

private:
    std::mutex m_mutex;
    bool m_stopping = false;
    uint64_t m_next = 1;
    std::map<uint64_t, Poco::Net::StreamSocket> m_open;
};

namespace {

using Poco::Net::HTTPServerRequest;
using Poco::Net::HTTPServerResponse;

std::string readBody(HTTPServerRequest& request, std::size_t maxBytes) {
    const auto length = request.getContentLength64();
    if (length == 0 || (length < 0 && !request.getChunkedTransferEncoding())) return {};
    if (length > static_cast<Poco::Int64>(maxBytes)) throw HttpError(413, "request body too large");
    std::string body;
    char buffer[8192];
    std::istream& in = request.stream();
    while (in && body.size() <= maxBytes) {
        in.read(buffer, sizeof(buffer));
        body.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (body.size() > maxBytes) throw HttpError(413, "request body too large");
    return body;
}

HttpReply faultReply(const HttpFault& fault) {
    if (fault.body.empty()) return errorReply(fault.status, "injected fault");
    HttpReply reply;
    reply.status = fault.status;
    reply.body = fault.body;
    return reply;
}

class RequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    RequestHandler(const ServerContext& context, const Router& router) : m_context(context), m_router(router) {}

    void handleRequest(HTTPServerRequest& request, HTTPServerResponse& response) override {
        HttpReply reply;
        try {
            reply = process(request);
        } catch (const HttpError& e) {
            reply = errorReply(e.status(), e.what());
            reply.closeConnection = e.status() == 413;
        } catch (const std::exception& e) {
            m_context.logger->error(std::string("request failed: ") + e.what());
            reply = errorReply(500, "internal error");
            reply.closeConnection = true;
        }
        send(reply, request, response);
    }

private:
    HttpReply process(HTTPServerRequest& request) {
        Request parsed;
        parsed.method = request.getMethod();
        const std::string& target = request.getURI();
        const auto question = target.find('?');
        parsed.path = target.substr(0, question);
        if (question != std::string::npos) parsed.rawQuery = target.substr(question + 1);
        // The body is read first so that the connection stays usable after any other error.
        parsed.body = readBody(request, m_context.maxBodyBytes);
        if (parsed.path.empty() || parsed.path.front() != '/') throw HttpError(400, "request target must be a path");
        if (parsed.rawQuery.size() > m_context.maxQueryBytes) throw HttpError(414, "query string too long");
        if (!AdminApi::isAdminPath(parsed.path)) {
            if (auto fault = m_context.faults.take(parsed.method, parsed.path)) {
                if (fault->delay.count() > 0 && !m_context.faults.delay(fault->delay))
                    throw HttpError(503, "server is stopping");
                if (fault->status != 0) return faultReply(*fault);
            }
        }
        return m_router.route(parsed);
    }

    void send(const HttpReply& reply, HTTPServerRequest& request, HTTPServerResponse& response) {
        if (m_context.logger->isDebug())
            m_context.logger->debug(request.getMethod() + " " + request.getURI() + " -> " +
                                    std::to_string(reply.status));
        response.setStatusAndReason(static_cast<HTTPServerResponse::HTTPStatus>(reply.status),
                                    reasonPhrase(reply.status));
        response.setContentType("application/json");
        if (!reply.location.empty()) response.set("Location", reply.location);
        if (!reply.allow.empty()) response.set("Allow", reply.allow);
        response.setKeepAlive(request.getKeepAlive() && !reply.closeConnection);
        response.sendBuffer(reply.body.data(), reply.body.size());
    }

    const ServerContext& m_context;
    const Router& m_router;
};

class HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    HandlerFactory(const ServerContext& context, const Router& router, std::size_t origin)
        : m_context(context), m_router(router), m_origin(origin) {}

    Poco::Net::HTTPRequestHandler* createRequestHandler(const HTTPServerRequest& request) override {
        if (WebSocketEndpoint::isUpgrade(request)) return new WebSocketEndpoint(m_context, m_origin);
        return new RequestHandler(m_context, m_router);
    }

private:
    const ServerContext& m_context;
    const Router& m_router;
    std::size_t m_origin;
};

Poco::Net::ServerSocket bindTo(uint16_t port, bool listen) {
    try {
        Poco::Net::ServerSocket socket;
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", port), true);
        if (listen) socket.listen(128);
        return socket;
    } catch (const Poco::Exception& e) {
        throw std::runtime_error(std::string(listen ? "cannot listen on" : "cannot hold") + " 127.0.0.1:" +
                                 std::to_string(port) + ": " + e.displayText());
    }
}

}  // namespace

Poco::Net::ServerSocket OriginServer::bindLoopback(uint16_t port) { return bindTo(port, true); }

Poco::Net::ServerSocket OriginServer::holdPort(uint16_t port) { return bindTo(port, false); }

OriginServer::OriginServer(const ServerContext& context, std::size_t origin, const Poco::Net::ServerSocket& socket,
                           int maxThreads, int maxQueued)
    : m_context(context),
      m_router(context, origin),
      m_tracker(std::make_shared<ConnectionTracker>()),
      m_socket(socket),
      // WebSocket connections hold a worker each, on top of the HTTP workers.
      m_maxWorkers(static_cast<std::size_t>(maxThreads + context.webSockets.settings().maxConnections)),
      m_maxQueued(static_cast<std::size_t>(maxQueued)) {
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(static_cast<int>(m_maxWorkers));
    params->setMaxQueued(maxQueued);
    params->setTimeout(Poco::Timespan(10, 0));
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(Poco::Timespan(5, 0));
    params->setMaxKeepAliveRequests(1000);
    params->setServerName("qel-devserver");
    m_http = std::make_unique<Poco::Net::HTTPServerConnectionFactory>(params,
                                                                      new HandlerFactory(context, m_router, origin));
}

OriginServer::~OriginServer() { stop(); }

void OriginServer::start() { m_acceptor = std::thread([this] { acceptLoop(); }); }

void OriginServer::acceptLoop() {
    const int listening = m_socket.impl()->sockfd();
    while (!m_stopping.load()) {
        pollfd ready{listening, POLLIN, 0};
        // The timeout bounds how long a stop waits for this loop.
        if (::poll(&ready, 1, 50) <= 0) continue;
        const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) dispatch(fd);
    }
}

void OriginServer::dispatch(int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping.load() || m_queue.size() >= m_maxQueued) {
        ::close(fd);  // never seen by another thread
        return;
    }
    m_queue.push_back(fd);
    if (m_queue.size() > m_idle && m_workers.size() < m_maxWorkers) m_workers.emplace_back([this] { work(); });
    m_ready.notify_one();
}

void OriginServer::work() {
    while (true) {
        int fd = -1;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_idle;
            m_ready.wait(lock, [this] { return m_stopping.load() || !m_queue.empty(); });
            --m_idle;
            if (m_stopping.load()) return;
            fd = m_queue.front();
            m_queue.pop_front();
        }
        serve(fd);
    }
}

void OriginServer::serve(int fd) {
    Poco::Net::StreamSocket socket(new Poco::Net::StreamSocketImpl(fd));
    // A refused connection is closed before anything is read.
    if (!m_context.faults.isRefusing()) {
        if (const auto ticket = m_tracker->enter(socket)) {
            try {
                socket.setNoDelay(true);
                std::unique_ptr<Poco::Net::TCPServerConnection> connection(m_http->createConnection(socket));
                connection->run();
            } catch (...) {
                // A broken or shut-down connection ends here; the server runs on.
            }
            m_tracker->leave(*ticket);
        }
    }
    try {
        socket.close();
    } catch (...) {
        // Closed already.
    }
}

void OriginServer::stopAccepting() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping.store(true);
    }
    if (m_acceptor.joinable()) m_acceptor.join();
    m_socket.close();
}

void OriginServer::stop() {
    if (m_stopped) return;
    m_stopped = true;
    stopAccepting();
    m_tracker->shutdownAll();
    m_ready.notify_all();
    // The acceptor has ended, so the worker list no longer grows.
    for (auto& worker : m_workers) worker.join();
    for (const int fd : m_queue) ::close(fd);
    m_queue.clear();
}

}  // namespace qeldev
