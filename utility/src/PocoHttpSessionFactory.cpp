#include <QelAccessUtility/HttpException.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>

#include "HttpReplyReader.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/SocketImpl.h>
#include <Poco/Timespan.h>
#include <Poco/URI.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <limits>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qelutil {
namespace httpdetail {

/// One HTTP/1.1 client connection. The reply is read straight from the
/// session's buffer and socket (not through POCO's reply parsing and body
/// streams), so that framing errors and truncated bodies are detected
/// instead of passed on.
class ClientConnection : public Poco::Net::HTTPClientSession {
public:
    using Clock = std::chrono::steady_clock;

    ClientConnection(const std::string& host, Poco::UInt16 port) : HTTPClientSession(host, port) {}

    /// Starts an exchange that must have read its whole reply by `deadline`;
    /// each wait for reply bytes lasts at most `receive` and never past it.
    void beginExchange(Clock::time_point deadline, Poco::Timespan receive) {
        m_deadline = deadline;
        m_receive = receive;
        m_limitedByDeadline = false;
        if (m_armed != receive && m_armed != Poco::Timespan() && connected()) socket().setReceiveTimeout(receive);
        m_armed = receive;
    }

    /// Up to `length` bytes; 0 at the end of the stream.
    int readSome(char* buffer, std::streamsize length) {
        if (!hasUnreadBytes()) armReceive();
        return read(buffer, length);
    }
    /// The next byte, or EOF.
    int nextByte() {
        if (!hasUnreadBytes()) armReceive();
        return get();
    }
    bool hasUnreadBytes() const { return buffered() > 0; }
    /// Whether the last wait for reply bytes was cut short by the deadline.
    bool limitedByDeadline() const { return m_limitedByDeadline; }

private:
    /// Bounds the next socket receive by what is left of the exchange.
    void armReceive() {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(m_deadline - Clock::now());
        m_limitedByDeadline = left.count() < m_receive.totalMicroseconds();
        if (left.count() <= 0) throw Poco::TimeoutException("the reply did not complete in time");
        const Poco::Timespan wait = m_limitedByDeadline ? Poco::Timespan(left.count()) : m_receive;
        if (wait == m_armed) return;
        socket().setReceiveTimeout(wait);
        m_armed = wait;
    }

    Clock::time_point m_deadline = Clock::time_point::max();
    Poco::Timespan m_receive;
    Poco::Timespan m_armed;  ///< the socket's receive time-out as last set here; zero: not set here
    bool m_limitedByDeadline = false;
};

}  // namespace httpdetail

using httpdetail::ClientConnection;
using namespace httpdetail;

/// Idle keep-alive connections per origin, and the factory's options. Every
/// member is guarded by `m_mutex`; no network I/O happens under it, and
/// connections leaving the pool are destroyed (closed) after it is released.
class PocoHttpSessionFactory::Pool {
public:
    explicit Pool(const Options& options) : m_options(options) {}

    Options options() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_options;
    }

    void setConnectTimeout(std::chrono::milliseconds timeout) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_options.connectTimeout = timeout;
    }

    void setReceiveTimeout(std::chrono::milliseconds timeout) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_options.receiveTimeout = timeout;
    }

    void setKeepAlive(bool keepAlive) {
        Idle dropped;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_options.keepAlive = keepAlive;
        if (keepAlive) return;
        for (auto& entry : m_idle)
            for (auto& connection : entry.second) dropped.push_back(std::move(connection));
        m_idle.clear();
        // `lock` is released before `dropped` closes its connections.
    }

    /// The most recently returned idle connection of `origin`, or null.
    std::unique_ptr<ClientConnection> take(const std::string& origin) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_idle.find(origin);
        if (found == m_idle.end() || found->second.empty()) return nullptr;
        std::unique_ptr<ClientConnection> connection = std::move(found->second.back());
        found->second.pop_back();
        return connection;
    }

    /// Keeps `connection` for reuse unless pooling is off or the origin's
    /// share is full; otherwise it is closed, outside the lock.
    void give(const std::string& origin, std::unique_ptr<ClientConnection> connection) {
        std::unique_ptr<ClientConnection> surplus;  // closed after the lock is released
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_options.keepAlive) {
            surplus = std::move(connection);
            return;
        }
        Idle& idle = m_idle[origin];
        if (idle.size() >= m_options.maxIdlePerOrigin) surplus = std::move(connection);
        else idle.push_back(std::move(connection));
    }

    std::size_t idleCount() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t count = 0;
        for (const auto& entry : m_idle) count += entry.second.size();
        return count;
    }

private:
    using Idle = std::vector<std::unique_ptr<ClientConnection>>;

    mutable std::mutex m_mutex;
    Options m_options;
    std::unordered_map<std::string, Idle> m_idle;
};

namespace {

using Millis = std::chrono::milliseconds;

Poco::Timespan toTimespan(Millis timeout) {
    // Zero would mean "wait forever" for receives and "fail at once" for
    // connects; both are clamped to one millisecond.
    const auto ms = std::max<Millis::rep>(timeout.count(), 1);
    return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms) * 1000);
}

/// Blocks SIGPIPE for the calling thread while a request runs, and discards
/// a SIGPIPE raised meanwhile: a peer that resets the connection while the
/// request is written must fail the request, not end the process.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &previous);
        m_alreadyBlocked = sigismember(&previous, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (m_alreadyBlocked) return;
        sigset_t pending;
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero{0, 0};
            while (sigtimedwait(&m_pipe, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_UNBLOCK, &m_pipe, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t m_pipe;
    bool m_alreadyBlocked = false;
};

/// A request that failed; `beforeReply` tells whether it failed before any
/// byte of a reply arrived, so that it may be repeated on a new connection.
class ExchangeError : public HttpException {
public:
    ExchangeError(const std::string& what, bool beforeReply, bool nothingWritten)
        : HttpException(what), m_beforeReply(beforeReply), m_nothingWritten(nothingWritten) {}
    bool beforeReply() const { return m_beforeReply; }
    /// Whether it failed before any byte of the request was handed to the
    /// connection, so that the server cannot have seen it.
    bool nothingWritten() const { return m_nothingWritten; }

private:
    bool m_beforeReply;
    bool m_nothingWritten;
};

/// Methods whose repetition leaves the server as one request would.
bool idempotent(const std::string& method) {
    return method == Poco::Net::HTTPRequest::HTTP_GET || method == Poco::Net::HTTPRequest::HTTP_DELETE;
}

/// Where a session sends its requests.
struct Target {
    std::string origin;  ///< "http://host:port", the pool key
    std::string host;
    Poco::UInt16 port = 0;
    std::string prefix;  ///< base path without a trailing "/"
};

Target parseBaseUri(const std::string& baseUri) {
    const auto refuse = [&](const std::string& why) {
        return HttpException("invalid base URI \"" + printable(baseUri) + "\": " + why);
    };
    if (std::any_of(baseUri.begin(), baseUri.end(), isForbiddenInRequestLine))
        throw refuse("it holds a control character or a space");
    Poco::URI uri;
    try {
        uri = Poco::URI(baseUri);
    } catch (const Poco::Exception& e) {
        throw refuse(e.displayText());
    }
    if (uri.getScheme() != "http") throw refuse("only http is supported");
    if (uri.getHost().empty()) throw refuse("no host");
    Target target;
    target.host = uri.getHost();
    target.port = uri.getPort();
    const bool ipv6 = target.host.find(':') != std::string::npos;
    target.origin = "http://" + (ipv6 ? "[" + target.host + "]" : target.host) + ":" + std::to_string(target.port);
    target.prefix = uri.getPathEtc();  // still percent-encoded
    if (target.prefix.find_first_of("?#") != std::string::npos) throw refuse("a query or fragment is not allowed");
    while (!target.prefix.empty() && target.prefix.back() == '/') target.prefix.pop_back();
    return target;
}

class PocoHttpSession : public IHttpSession {
public:
    PocoHttpSession(std::shared_ptr<PocoHttpSessionFactory::Pool> pool, Target target,
                    PocoHttpSessionFactory::Options options)
        : m_pool(std::move(pool)), m_target(std::move(target)), m_options(std::move(options)) {}

    void get(const std::string& path, std::ostream& out, HttpResponse& response) override {
        perform(Poco::Net::HTTPRequest::HTTP_GET, path, nullptr, out, response);
    }

    void post(const std::string& path, const std::string& body, std::ostream& out, HttpResponse& response) override {
        perform(Poco::Net::HTTPRequest::HTTP_POST, path, &body, out, response);
    }

    void remove(const std::string& path, std::ostream& out, HttpResponse& response) override {
        perform(Poco::Net::HTTPRequest::HTTP_DELETE, path, nullptr, out, response);
    }

private:
    enum class Phase { SEND, HEADER, BODY };

    void perform(const std::string& method, const std::string& path, const std::string* body, std::ostream& out,
                 HttpResponse& response) {
        Poco::Net::HTTPRequest request(method, requestTarget(path), Poco::Net::HTTPMessage::HTTP_1_1);
        if (!m_options.userAgent.empty()) request.set("User-Agent", m_options.userAgent);
        if (body) {
            request.setContentType("application/json");
            request.setContentLength64(static_cast<Poco::Int64>(body->size()));
        }
        SigpipeBlock sigpipeBlock;
        std::unique_ptr<ClientConnection> connection = idleConnection();
        const bool reused = connection != nullptr;
        if (!reused) connection = newConnection();
        bool reusable = false;
        try {
            reusable = exchange(*connection, request, body, out, response);
        } catch (const ExchangeError& e) {
            // An idle connection the server has just closed fails before any
            // reply byte arrives; the request is repeated once on a new one,
            // unless the server may have carried out a request that is not
            // safe to repeat.
            if (!reused || !e.beforeReply() || !(idempotent(method) || e.nothingWritten())) throw;
            connection = newConnection();
            reusable = exchange(*connection, request, body, out, response);
        }
        if (reusable) m_pool->give(m_target.origin, std::move(connection));
    }

    std::string requestTarget(const std::string& path) const {
        if (std::any_of(path.begin(), path.end(), isForbiddenInRequestLine))
            throw HttpException("refused request path \"" + printable(path) + "\" for " + m_target.origin +
                                m_target.prefix + ": it holds a control character or a space");
        if (path.empty() || path.front() != '/') return m_target.prefix + "/" + path;
        return m_target.prefix + path;
    }

    /// A pooled connection that still looks usable: connected, nothing
    /// unread, and the server has neither closed it nor sent anything.
    std::unique_ptr<ClientConnection> idleConnection() {
        while (std::unique_ptr<ClientConnection> connection = m_pool->take(m_target.origin)) {
            if (looksUsable(*connection)) {
                applyTimeouts(*connection);
                return connection;
            }
        }
        return nullptr;
    }

    static bool looksUsable(ClientConnection& connection) {
        if (!connection.connected() || connection.hasUnreadBytes()) return false;
        // One poll(2) call; POCO's own poll sets up an epoll instance each time.
        pollfd idle{connection.socket().impl()->sockfd(), POLLIN, 0};
        return ::poll(&idle, 1, 0) == 0;
    }

    std::unique_ptr<ClientConnection> newConnection() const {
        auto connection = std::make_unique<ClientConnection>(m_target.host, m_target.port);
        connection->setKeepAlive(m_options.keepAlive);
        applyTimeouts(*connection);
        return connection;
    }

    void applyTimeouts(ClientConnection& connection) const {
        const Poco::Timespan receive = toTimespan(m_options.receiveTimeout);
        const bool changed = connection.getTimeout() != receive;
        connection.setTimeout(toTimespan(m_options.connectTimeout), receive, receive);
        // The session applies time-outs to its socket when it connects; an
        // open pooled connection whose time-outs changed gets them directly.
        if (changed && connection.connected()) {
            connection.socket().setReceiveTimeout(receive);
            connection.socket().setSendTimeout(receive);
        }
    }

    /// Sends the request and reads the whole reply. Returns whether the
    /// connection may serve another request.
    bool exchange(ClientConnection& connection, Poco::Net::HTTPRequest& request, const std::string* body,
                  std::ostream& out, HttpResponse& response) const {
        Phase phase = Phase::SEND;
        bool writing = false;
        connection.beginExchange(ClientConnection::Clock::now() + m_options.exchangeTimeout,
                                 toTimespan(m_options.receiveTimeout));
        ReplyReader<ClientConnection> reader(connection, m_options.maxBodySize);
        // Failures before any reply byte arrived, time-outs excepted, may be
        // repeated: the server has not acted on the request.
        const auto beforeReply = [&] { return phase == Phase::SEND || !reader.anyReceived(); };
        try {
            writing = true;
            std::ostream& requestStream = connection.sendRequest(request);
            if (body) requestStream.write(body->data(), static_cast<std::streamsize>(body->size()));
            const bool written = static_cast<bool>(requestStream);
            // Sends what the request stream still buffers and destroys it.
            connection.flushRequest();
            if (const Poco::Exception* failure = connection.networkException()) failure->rethrow();
            if (!written) throw Poco::IOException("the request could not be written");

            phase = Phase::HEADER;
            Poco::Net::HTTPResponse head;
            const int status = reader.readHead(head);

            phase = Phase::BODY;
            fillHead(status, head, response);
            const bool delimited = readReplyBody(reader, status, head, out);
            response.contentLength = static_cast<int64_t>(reader.total());
            // After 101 the connection speaks another protocol.
            return m_options.keepAlive && delimited && status != 101 && head.getKeepAlive() &&
                   !connection.hasUnreadBytes();
        } catch (const Poco::TimeoutException& e) {
            throw failure(request, phase, e.displayText() + timeoutNote(phase, connection), false, false);
        } catch (const Poco::Exception& e) {
            throw failure(request, phase, e.displayText(), beforeReply(), !writing);
        } catch (const std::exception& e) {
            throw failure(request, phase, e.what(), beforeReply(), !writing);
        }
    }

    static void fillHead(int status, const Poco::Net::HTTPResponse& head, HttpResponse& response) {
        response.status = static_cast<HttpResponse::StatusCode>(status);
        response.date = replyDate(head, std::chrono::system_clock::now());
        response.contentLength = 0;
        const auto copyHeader = [&](const std::string& name, Optional<std::string>& field) {
            const auto found = head.find(name);
            if (found != head.end()) field = found->second;
            else field.reset();
        };
        copyHeader(Poco::Net::HTTPMessage::CONTENT_TYPE, response.contentType);
        copyHeader("Location", response.location);
    }

    std::string timeoutNote(Phase phase, const ClientConnection& connection) const {
        if (phase != Phase::SEND && connection.limitedByDeadline())
            return " (exchange time-out " + std::to_string(m_options.exchangeTimeout.count()) + " ms)";
        if (phase == Phase::SEND)
            return " (connect time-out " + std::to_string(m_options.connectTimeout.count()) + " ms, send time-out " +
                   std::to_string(m_options.receiveTimeout.count()) + " ms)";
        return " (receive time-out " + std::to_string(m_options.receiveTimeout.count()) + " ms)";
    }

    ExchangeError failure(const Poco::Net::HTTPRequest& request, Phase phase, const std::string& cause,
                          bool beforeReply, bool nothingWritten) const {
        static const char* const stage[] = {"while connecting or sending the request", "while receiving the reply header",
                                            "while receiving the reply body"};
        return ExchangeError("HTTP " + request.getMethod() + " " + m_target.origin + request.getURI() + " failed " +
                                 stage[static_cast<int>(phase)] + ": " + cause,
                             beforeReply, nothingWritten);
    }

    std::shared_ptr<PocoHttpSessionFactory::Pool> m_pool;
    const Target m_target;
    const PocoHttpSessionFactory::Options m_options;
};

PocoHttpSessionFactory::Options withoutControlCharacters(PocoHttpSessionFactory::Options options) {
    std::string& agent = options.userAgent;
    agent.erase(std::remove_if(agent.begin(), agent.end(),
                               [](char c) {
                                   const auto byte = static_cast<unsigned char>(c);
                                   return byte < 0x20 || byte == 0x7F;
                               }),
                agent.end());
    return options;
}

}  // namespace

PocoHttpSessionFactory::PocoHttpSessionFactory() : PocoHttpSessionFactory(Options()) {}

PocoHttpSessionFactory::PocoHttpSessionFactory(const Options& options)
    : m_pool(std::make_shared<Pool>(withoutControlCharacters(options))) {}

PocoHttpSessionFactory::~PocoHttpSessionFactory() = default;

IHttpSession::Shared PocoHttpSessionFactory::createSession(const std::string& baseUri) {
    return std::make_shared<PocoHttpSession>(m_pool, parseBaseUri(baseUri), m_pool->options());
}

void PocoHttpSessionFactory::setConnectTimeout(std::chrono::milliseconds timeout) {
    m_pool->setConnectTimeout(timeout);
}

void PocoHttpSessionFactory::setReceiveTimeout(std::chrono::milliseconds timeout) {
    m_pool->setReceiveTimeout(timeout);
}

void PocoHttpSessionFactory::setKeepAlive(bool keepAlive) { m_pool->setKeepAlive(keepAlive); }

PocoHttpSessionFactory::Options PocoHttpSessionFactory::getOptions() const { return m_pool->options(); }

std::size_t PocoHttpSessionFactory::getIdleConnectionCount() const { return m_pool->idleCount(); }

}  // namespace qelutil
