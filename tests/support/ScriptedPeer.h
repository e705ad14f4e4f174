#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qeltest {

/// How long the wait helpers of the scripted peers wait by default.
constexpr std::chrono::milliseconds kPeerWait = std::chrono::seconds(10);

using PeerHeaders = std::vector<std::pair<std::string, std::string>>;

/// The first header named `name` (case-insensitive), or null.
const std::string* findHeader(const PeerHeaders& headers, const std::string& name);

/// The request line and header fields of one HTTP request, as a scripted
/// peer read them.
struct RequestHead {
    std::string method;
    std::string uri;  ///< request target, query included
    std::string version;
    PeerHeaders headers;

    /// The first header named `name` (case-insensitive), or "".
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return findHeader(headers, name) != nullptr; }
};

/// The accepting half shared by the scripted HTTP and WebSocket peers: a
/// listener on 127.0.0.1 on an ephemeral port, an accept thread, one
/// serving thread per connection, buffered reads of the request head, and
/// a stop that closes every connection and joins every thread.
class ScriptedPeer {
public:
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return m_port; }
    /// "http://127.0.0.1:" + port.
    std::string baseUri() const;
    /// Connections still open (HTTP: not yet closed; WebSocket: upgraded and
    /// not yet ended).
    std::size_t openConnectionCount() const;
    /// Stops accepting, closes every connection and joins all threads.
    /// Idempotent; run by the destructors.
    void stop();

protected:
    /// The server side of one connection: buffered reads of lines and byte
    /// counts, and complete sends. Socket errors end the stream (false),
    /// they are never thrown.
    struct Connection {
        Connection(Poco::Net::StreamSocket s, uint64_t connectionId) : socket(std::move(s)), id(connectionId) {}

        /// Reads more bytes into `buffer`; false at the end of the stream.
        bool fill();
        /// One line without its CR LF; false at the end of the stream or
        /// for an overlong line.
        bool readLine(std::string& line);
        /// "METHOD TARGET VERSION" and the header fields up to the empty
        /// line; false at the end of the stream or for a malformed head.
        bool readHead(RequestHead& head);
        bool readBytes(std::size_t count, std::string& out);
        /// Sends all of `data` unless the connection was closed.
        bool send(const std::string& data);
        /// Ends the stream in both directions; the serving thread then sees
        /// the end and closes the socket.
        void shutdown();
        void close();

        Poco::Net::StreamSocket socket;
        const uint64_t id;
        std::string buffer;
        std::size_t pos = 0;
        std::thread thread;
        std::mutex sendMutex;                // guards the socket's shutdown and close, and `closed`
        bool closed = false;
        bool open = false;                   // guarded by the peer's mutex
        bool closeWhenIdle = false;          // HTTP; guarded by the peer's mutex
        std::atomic<bool> idle{true};        // HTTP: waiting for the next request
        std::atomic<bool> finished{false};
    };

    /// `openOnAccept`: whether a connection counts as open from its accept.
    explicit ScriptedPeer(bool openOnAccept);
    virtual ~ScriptedPeer();
    /// Starts accepting; called by the derived constructor once it is ready.
    void start();
    /// Serves one connection on its own thread; the connection is closed
    /// when this returns.
    virtual void serve(Connection& connection) = 0;

    /// Runs `action` under the peer's mutex and returns its result.
    template <typename Action>
    auto locked(Action action) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return action();
    }
    template <typename Condition>
    bool waitUntil(std::chrono::milliseconds timeout, Condition condition) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, condition);
    }
    std::size_t openCountLocked() const;

    std::atomic<bool> m_stopping{false};
    // Lock order: the peer's mutex before a connection's sendMutex.
    mutable std::mutex m_mutex;  // guards every member below and those of the derived peers
    mutable std::condition_variable m_changed;
    std::vector<std::shared_ptr<Connection>> m_connections;
    uint64_t m_nextConnectionId = 1;

private:
    void acceptLoop();

    const bool m_openOnAccept;
    Poco::Net::ServerSocket m_listener;
    uint16_t m_port = 0;
    std::thread m_acceptThread;
};

}  // namespace qeltest
