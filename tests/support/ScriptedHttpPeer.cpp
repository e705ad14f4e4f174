#include "support/ScriptedHttpPeer.h"

#include "support/PeerStream.h"

#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>
#include <Poco/Timestamp.h>

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace qeltest {

namespace {

constexpr std::size_t kMaxRequestBody = 256 * 1024 * 1024;

bool sameName(const std::string& a, const std::string& b) { return Poco::icompare(a, b) == 0; }

const std::string* findHeader(const ScriptedHttpPeer::Headers& headers, const std::string& name) {
    for (const auto& header : headers)
        if (sameName(header.first, name)) return &header.second;
    return nullptr;
}

bool saysClose(const std::string* connectionHeader) {
    return connectionHeader && Poco::icompare(Poco::trim(*connectionHeader), "close") == 0;
}

std::string hex(std::size_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", value);
    return text;
}

}  // namespace

struct ScriptedHttpPeer::Connection : PeerStream {
    using PeerStream::PeerStream;

    std::thread thread;
    std::atomic<bool> idle{true};
    bool open = true;            // guarded by the peer's mutex
    bool closeWhenIdle = false;  // guarded by the peer's mutex
    std::atomic<bool> finished{false};
};

ScriptedHttpPeer::Reply ScriptedHttpPeer::Reply::json(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

ScriptedHttpPeer::Reply ScriptedHttpPeer::Reply::closeWithoutAnswer() {
    Reply reply;
    reply.action = Action::CLOSE_WITHOUT_ANSWER;
    return reply;
}

ScriptedHttpPeer::Reply ScriptedHttpPeer::Reply::raw(std::string bytes) {
    Reply reply;
    reply.action = Action::RAW;
    reply.body = std::move(bytes);
    return reply;
}

ScriptedHttpPeer::Reply ScriptedHttpPeer::Reply::malformed() {
    return raw("HTTP/1.1 2x0 Not A Status\r\nno header here\r\n\r\n");
}

ScriptedHttpPeer::ScriptedHttpPeer() {
    // Without SO_REUSEPORT, so that the ephemeral port is this peer's alone.
    m_listener.bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
    m_listener.listen(64);
    m_port = m_listener.address().port();
    m_defaultReply = Reply::json(404, "");
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

ScriptedHttpPeer::~ScriptedHttpPeer() { stop(); }

std::string ScriptedHttpPeer::baseUri() const { return "http://127.0.0.1:" + std::to_string(m_port); }

void ScriptedHttpPeer::setReply(const std::string& target, Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[target] = std::move(reply);
}

void ScriptedHttpPeer::queueReply(const std::string& target, Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queued[target].push_back(std::move(reply));
}

void ScriptedHttpPeer::setDefaultReply(Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_defaultReply = std::move(reply);
}

void ScriptedHttpPeer::holdReplies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holding = true;
}

void ScriptedHttpPeer::releaseReplies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holding = false;
    m_changed.notify_all();
}

std::vector<ScriptedHttpPeer::Request> ScriptedHttpPeer::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool ScriptedHttpPeer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void ScriptedHttpPeer::clearRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

std::size_t ScriptedHttpPeer::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(m_nextConnectionId - 1);
}

std::size_t ScriptedHttpPeer::openConnectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_connections.begin(), m_connections.end(), [](const auto& c) { return c->open; }));
}

void ScriptedHttpPeer::closeIdleConnections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& connection : m_connections) {
        connection->closeWhenIdle = true;
        if (!connection->open || !connection->idle) continue;
        try {
            connection->socket.shutdown();
        } catch (const std::exception&) {
            // Already gone.
        }
    }
}

void ScriptedHttpPeer::stop() {
    if (m_stopping.exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.notify_all();
    }
    {
        // Wakes the accept loop at once instead of after its poll interval.
        Poco::Net::StreamSocket wake;
        try {
            wake.connect(Poco::Net::SocketAddress("127.0.0.1", m_port), Poco::Timespan(1, 0));
        } catch (const std::exception&) {
            // The loop still ends after its poll interval.
        }
        if (m_acceptThread.joinable()) m_acceptThread.join();
    }
    m_listener.close();
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& connection : m_connections) {
            if (!connection->open) continue;
            try {
                connection->socket.shutdown();
            } catch (const std::exception&) {
                // Already gone.
            }
        }
        connections.swap(m_connections);
    }
    for (const auto& connection : connections)
        if (connection->thread.joinable()) connection->thread.join();
}

void ScriptedHttpPeer::acceptLoop() {
    while (!m_stopping) {
        try {
            if (!m_listener.poll(Poco::Timespan(0, 200 * 1000), Poco::Net::Socket::SELECT_READ)) continue;
            if (m_stopping) break;
            Poco::Net::StreamSocket socket = m_listener.acceptConnection();
            std::vector<std::shared_ptr<Connection>> ended;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto connection = std::make_shared<Connection>(socket, m_nextConnectionId++);
                connection->thread = std::thread([this, connection] { serve(connection); });
                // Connections that have ended are joined here, so that long
                // tests do not accumulate threads.
                auto split = std::stable_partition(m_connections.begin(), m_connections.end(),
                                                   [](const auto& c) { return !c->finished; });
                ended.assign(split, m_connections.end());
                m_connections.erase(split, m_connections.end());
                m_connections.push_back(connection);
            }
            for (const auto& done : ended) done->thread.join();
        } catch (const std::exception&) {
            // A failed accept leaves the peer listening.
        }
    }
}

void ScriptedHttpPeer::serve(const std::shared_ptr<Connection>& connection) {
    while (!m_stopping && serveOne(*connection)) {
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        connection->socket.shutdown();
    } catch (const std::exception&) {
        // Already shut down by the client or the peer.
    }
    try {
        connection->socket.close();
    } catch (const std::exception&) {
        // Closing is best effort.
    }
    connection->open = false;
    connection->finished = true;
}

bool ScriptedHttpPeer::serveOne(Connection& connection) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (connection.closeWhenIdle) return false;
        connection.idle = true;
    }
    Request request;
    std::string line;
    if (!connection.readLine(line)) return false;
    connection.idle = false;
    request.connectionId = connection.id;

    if (!request.parseRequestLine(line) || !connection.readHeaders(request.headers)) return false;

    const Reply reply = replyFor(request.uri);
    if (reply.action == Reply::Action::CLOSE_AFTER_HEADER) {
        record(std::move(request));
        return false;
    }
    if (const std::string* length = findHeader(request.headers, "Content-Length")) {
        std::size_t size = 0;
        try {
            size = std::stoull(*length);
        } catch (const std::exception&) {
            return false;
        }
        if (size > kMaxRequestBody || !connection.readBytes(size, request.body)) return false;
    }
    const bool clientCloses = saysClose(findHeader(request.headers, "Connection")) || request.version == "HTTP/1.0";
    record(std::move(request));

    if (!waitBeforeAnswer(reply)) return false;
    switch (reply.action) {
        case Reply::Action::CLOSE_WITHOUT_ANSWER:
        case Reply::Action::CLOSE_AFTER_HEADER:
            return false;
        case Reply::Action::RAW:
            connection.sendAll(reply.body);
            return false;
        case Reply::Action::ANSWER:
        case Reply::Action::TRUNCATED_BODY:
            break;
    }

    const bool truncated = reply.action == Reply::Action::TRUNCATED_BODY;
    const bool chunked = reply.framing == Reply::Framing::CHUNKED && !truncated;
    const bool untilClose = reply.framing == Reply::Framing::UNTIL_CLOSE && !truncated;
    const bool replyCloses = saysClose(findHeader(reply.headers, "Connection"));

    std::string reason = reply.reason;
    if (reason.empty())
        reason = Poco::Net::HTTPResponse::getReasonForStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(reply.status));
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason + "\r\n";
    for (const auto& header : reply.headers) text += header.first + ": " + header.second + "\r\n";
    if (!findHeader(reply.headers, "Date"))
        text += "Date: " + Poco::DateTimeFormatter::format(Poco::Timestamp(), Poco::DateTimeFormat::HTTP_FORMAT) + "\r\n";
    if (!reply.contentType.empty()) text += "Content-Type: " + reply.contentType + "\r\n";
    if (clientCloses && !findHeader(reply.headers, "Connection")) text += "Connection: close\r\n";
    if (chunked) {
        text += "Transfer-Encoding: chunked\r\n\r\n";
        const std::size_t step = std::max<std::size_t>(reply.chunkSize, 1);
        for (std::size_t at = 0; at < reply.body.size(); at += step) {
            const std::size_t size = std::min(step, reply.body.size() - at);
            text += hex(size) + "\r\n" + reply.body.substr(at, size) + "\r\n";
        }
        text += "0\r\n\r\n";
    } else if (untilClose) {
        text += "\r\n" + reply.body;
    } else {
        text += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
        text += truncated ? reply.body.substr(0, reply.body.size() / 2) : reply.body;
    }
    if (!connection.sendAll(text)) return false;
    return !(truncated || untilClose || replyCloses || clientCloses || reply.closeAfterReply);
}

ScriptedHttpPeer::Reply ScriptedHttpPeer::replyFor(const std::string& target) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto queued = m_queued.find(target);
    if (queued != m_queued.end() && !queued->second.empty()) {
        Reply reply = std::move(queued->second.front());
        queued->second.pop_front();
        return reply;
    }
    auto found = m_replies.find(target);
    return found != m_replies.end() ? found->second : m_defaultReply;
}

void ScriptedHttpPeer::record(Request request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.push_back(std::move(request));
    m_changed.notify_all();
}

bool ScriptedHttpPeer::waitBeforeAnswer(const Reply& reply) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + reply.delay;
    m_changed.wait_until(lock, deadline, [&] { return m_stopping.load(); });
    m_changed.wait(lock, [&] { return m_stopping || !m_holding; });
    return !m_stopping;
}

}  // namespace qeltest
