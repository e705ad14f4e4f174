#pragma once

#include "ServerContext.h"
#include "Subscriptions.h"
#include "WebSocketHub.h"

#include <Poco/Buffer.h>
#include <Poco/Net/WebSocket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qeldev {

/// One WebSocket connection after the handshake: reads the client's
/// messages, keeps its subscriptions and pushes their data, all on the
/// thread that calls run(). Other threads only queue changes, wake it, shut
/// its socket down or send raw frames.
///
/// Every change queued before a client message arrives is pushed before the
/// answer to that message. Writes are serialised by `m_writeMutex`; no data
/// lock is held while writing.
class WebSocketSession {
public:
    using Clock = std::chrono::steady_clock;

    WebSocketSession(WebSocketHub& hub, const ServerContext& context, std::size_t origin,
                     const Poco::Net::WebSocket& socket);
    ~WebSocketSession();
    WebSocketSession(const WebSocketSession&) = delete;
    WebSocketSession& operator=(const WebSocketSession&) = delete;

    /// Serves the connection until the peer leaves, the socket fails, the
    /// connection is dropped or the server stops.
    void run();

    /// Thread-safe.
    void enqueue(const ElementChange& change, const WebSocketHub::Snapshot& snapshot);
    void wake();
    /// Thread-safe: registry root subscriptions push the listing again.
    void registryChanged();
    std::size_t origin() const { return m_origin; }
    /// Shuts the socket down without a close frame; run() then ends.
    void drop();
    /// Sends one frame as given; false when the connection is closed or the send fails.
    bool sendRaw(int flags, const std::string& payload);
    /// A data message of `bytes` bytes for the latest subscription.
    bool sendPadded(std::size_t bytes);

private:
    struct Subscription {
        std::string event;
        std::string key;  // what an unsubscribe names
        SubscriptionTarget target;
        std::chrono::milliseconds interval{0};
        std::chrono::milliseconds updateLimit{0};
        Clock::time_point nextDue{};
        Clock::time_point lastPush{};
        bool dirty = false;
        // Sequence number of the last change the latest full push showed;
        // queued changes up to it are not pushed again.
        uint64_t shownSequence = 0;
    };
    struct QueuedChange {
        ElementChange change;
        WebSocketHub::Snapshot snapshot;
    };

    void serve();
    bool waitReady(Clock::time_point until);
    void waitWake(Clock::time_point until);
    bool receive();
    bool handleFrame(int flags, int length);
    void handleMessage(const std::string& text, bool binary);
    void subscribe(const qelutil::JsonObject& message, const std::string& event);
    void unsubscribe(const std::string& event);
    void removeSubscription(std::size_t index);

    bool processChanges();
    void applyChange(const QueuedChange& queued);
    void applyRegistryChange();
    void processDue(Clock::time_point now);
    Clock::time_point nextDeadline(Clock::time_point now) const;
    void pushCurrent(Subscription& subscription);
    void pushListing(const Subscription& subscription, const ElementList& items);

    void sendText(const std::string& text);
    void sendError(const std::optional<std::string>& event, int status, const std::string& message);
    void sendClose(int code, const std::string& reason);
    void closeFinally();

    WebSocketHub& m_hub;
    const ServerContext& m_context;
    const std::size_t m_origin;
    /// Released by closeFinally() on the connection thread, so that the
    /// socket is let go of by the thread that used it, whichever thread
    /// releases the session last.
    std::unique_ptr<Poco::Net::WebSocket> m_socket;
    const int m_fd;
    int m_wakeFd = -1;

    // Connection thread only.
    std::vector<Subscription> m_subscriptions;
    Poco::Buffer<char> m_frame{0};
    std::string m_message;
    bool m_inMessage = false;
    bool m_binaryMessage = false;

    std::mutex m_queueMutex;  // guards the members up to m_writeMutex
    std::vector<QueuedChange> m_queue;
    bool m_overflow = false;
    std::string m_latestEvent;
    bool m_latestIsListing = false;

    std::mutex m_writeMutex;  // serialises writes; taken before m_stateMutex
    std::mutex m_stateMutex;  // guards the socket's use by other threads
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_dropped{false};
    std::atomic<bool> m_registryChanged{false};
};

}  // namespace qeldev
