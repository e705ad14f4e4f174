#pragma once

#include "support/ScriptedPeer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qeltest {

/// A small HTTP/1.1 server for tests, listening on 127.0.0.1 on an ephemeral
/// port. The test scripts the reply per request target (path with query,
/// matched exactly) with a default for everything else; the peer records
/// every request it reads, including the id of the connection it came on, so
/// that tests can see keep-alive reuse. Replies can be delayed, held until
/// released, dropped (connection closed without an answer), malformed, cut
/// short, or sent with chunked or close-delimited bodies. Every connection
/// is served by its own thread; all members are thread-safe.
///
/// Request bodies are read by their Content-Length; a request without one
/// has an empty body.
class ScriptedHttpPeer : public ScriptedPeer {
public:
    using Headers = PeerHeaders;

    /// How the peer answers one request.
    struct Reply {
        enum class Action {
            ANSWER,                ///< send the reply below
            CLOSE_WITHOUT_ANSWER,  ///< read the request, then close the connection
            CLOSE_AFTER_HEADER,    ///< close as soon as the request header was read, body unread
            RAW,                   ///< send `body` verbatim (no status line or headers), then close
            TRUNCATED_BODY         ///< announce the full Content-Length, send half the body, close
        };
        enum class Framing {
            CONTENT_LENGTH,  ///< Content-Length header
            CHUNKED,         ///< Transfer-Encoding: chunked, in chunks of at most `chunkSize` bytes
            UNTIL_CLOSE      ///< neither; the body ends when the peer closes the connection
        };

        int status = 200;
        /// Sent as they are after the status line. A Date header is added
        /// unless one is given; "Connection: close" makes the peer close
        /// after the reply.
        Headers headers;
        std::string contentType = "application/json";  ///< empty: no Content-Type header
        std::string body;
        Action action = Action::ANSWER;
        Framing framing = Framing::CONTENT_LENGTH;
        std::size_t chunkSize = 1000;
        /// Waited before answering (interrupted when the peer stops).
        std::chrono::milliseconds delay{0};
        /// Close the connection right after the reply while still announcing
        /// keep-alive, as a server whose idle time-out struck would.
        bool closeAfterReply = false;

        static Reply json(int status, std::string body);
        static Reply closeWithoutAnswer() {
            Reply reply;
            reply.action = Action::CLOSE_WITHOUT_ANSWER;
            return reply;
        }
        static Reply raw(std::string bytes);
        /// A reply whose status line is not HTTP.
        static Reply malformed() { return raw("HTTP/1.1 2x0 Not A Status\r\nno header here\r\n\r\n"); }
    };

    /// One request as the peer read it.
    struct Request : RequestHead {
        std::string body;
        uint64_t connectionId = 0;  ///< 1 for the first accepted connection, then 2, ...
    };

    /// Starts listening; by default every target is answered 404 with an
    /// empty body.
    ScriptedHttpPeer() : ScriptedPeer(true) { start(); }
    ~ScriptedHttpPeer() override { stop(); }

    /// The reply for requests whose target equals `target`.
    void setReply(const std::string& target, Reply reply) {
        locked([&] { m_replies[target] = std::move(reply); });
    }
    /// A reply used once, for the next request to `target`, before the one
    /// set with setReply; several queued replies are used in order.
    void queueReply(const std::string& target, Reply reply) {
        locked([&] { m_queued[target].push_back(std::move(reply)); });
    }
    /// The reply for targets without a reply of their own.
    void setDefaultReply(Reply reply) {
        locked([&] { m_defaultReply = std::move(reply); });
    }

    /// While held, replies wait (after the request was recorded) until
    /// released; lets a test keep several requests in flight at once.
    void holdReplies() {
        locked([&] { m_holding = true; });
    }
    void releaseReplies() {
        locked([&] { m_holding = false, m_changed.notify_all(); });
    }

    /// Every request read so far, in the order they were read.
    std::vector<Request> requests() const {
        return locked([&] { return m_requests; });
    }
    /// Waits until at least `count` requests were read; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = kPeerWait) const {
        return waitUntil(timeout, [&] { return m_requests.size() >= count; });
    }
    void clearRequests() {
        locked([&] { m_requests.clear(); });
    }

    /// Connections accepted so far.
    std::size_t connectionCount() const {
        return locked([&] { return static_cast<std::size_t>(m_nextConnectionId - 1); });
    }
    /// Closes every open connection once it waits for its next request: at
    /// once when it already does, after the reply in progress otherwise.
    void closeIdleConnections();

private:
    void serve(Connection& connection) override;
    bool serveOne(Connection& connection);
    Reply replyFor(const std::string& target);
    void record(Request request);
    bool waitBeforeAnswer(const Reply& reply);

    // Guarded by the peer's mutex.
    std::map<std::string, Reply> m_replies;
    std::map<std::string, std::deque<Reply>> m_queued;
    Reply m_defaultReply = Reply::json(404, "");
    bool m_holding = false;
    std::vector<Request> m_requests;
};

}  // namespace qeltest
