#pragma once

#include "DataStore.h"

#include <qeldev/DevServer.h>

#include <QelAccessUtility/ILogger.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qeldev {

class WebSocketSession;

struct WebSocketSettings {
    /// Page size of resource and root subscriptions without "$limit".
    int64_t pageSize = 100;
    /// Open connections per origin.
    int maxConnections = 16;
    /// Largest message a client may send.
    std::size_t maxMessageBytes = 64 * 1024;
    std::size_t maxSubscriptions = 1024;
    /// Changes waiting for one connection; a connection that falls further
    /// behind is dropped.
    std::size_t maxQueuedChanges = 10000;
    /// Largest message sendPadded() builds.
    std::size_t maxPaddedBytes = 64 * 1024 * 1024;
};

/// What the WebSocket connections of a server share: the feed of data
/// changes, the bound on connections and the WebSocket faults.
///
/// The change listener hands every change to every open connection's queue
/// (with a copy of the changed resource's listing when some connection
/// subscribes to a listing of it) and never writes to a socket: each
/// connection's own thread turns changes into pushes.
/// Locks: `m_mutex` guards the connection list, the listing interest, the
/// admission counts and the stall; it is never held while calling into a
/// connection or the data store.
class WebSocketHub {
public:
    using Clock = std::chrono::steady_clock;
    using Snapshot = std::shared_ptr<const std::vector<qelutil::JsonObject::SharedConst>>;

    WebSocketHub(DataStore& store, WebSocketSettings settings, std::shared_ptr<qelutil::ILogger> logger);
    ~WebSocketHub();
    WebSocketHub(const WebSocketHub&) = delete;
    WebSocketHub& operator=(const WebSocketHub&) = delete;

    const WebSocketSettings& settings() const { return m_settings; }
    qelutil::ILogger& logger() const { return *m_logger; }

    /// Accepts connections again after a shutdown.
    void open();
    /// Ends every connection and every upgrade waiting in a stall.
    void shutdown();
    bool isStopping() const { return m_stopping.load(); }

    /// Takes one of the origin's connection places; false when all are taken.
    bool enter(std::size_t origin);
    void leave(std::size_t origin);
    void add(const std::shared_ptr<WebSocketSession>& session);
    void remove(const WebSocketSession* session);
    /// Counts listing subscriptions per resource, so that changes carry a
    /// copy of the listing only when someone needs it.
    void addInterest(const std::string& service, const std::string& resource);
    void removeInterest(const std::string& service, const std::string& resource);

    std::size_t connectionCount() const;
    void dropAll();
    /// Drops the connections of one origin, as dropAll() does.
    void dropOrigin(std::size_t origin);
    /// Root subscriptions of the registry push the listing again.
    void registryChanged();
    void stallFor(std::chrono::milliseconds duration);
    /// When a stall lasts, the time it ends; else the epoch.
    Clock::time_point stalledUntil() const { return Clock::time_point(Clock::duration(m_stallUntil.load())); }
    /// Waits for the end of a stall; false when the server stops first.
    bool waitWhileStalled();
    void refuseFor(std::chrono::milliseconds duration, int status);
    /// The status to refuse upgrades with, while refusing.
    std::optional<int> refusalStatus() const;
    void splitMessages(std::size_t frameBytes) { m_splitBytes.store(frameBytes); }
    std::size_t splitBytes() const { return m_splitBytes.load(); }
    std::size_t sendFrame(int flags, const std::string& payload);
    std::size_t sendPadded(std::size_t bytes);
    void clearFaults();

private:
    void onChange(const ElementChange& change);
    std::vector<std::shared_ptr<WebSocketSession>> sessions() const;
    void wakeAll();

    DataStore& m_store;
    const WebSocketSettings m_settings;
    std::shared_ptr<qelutil::ILogger> m_logger;
    DevServer::ListenerId m_listener = 0;

    std::atomic<bool> m_stopping{false};
    std::atomic<Clock::rep> m_stallUntil{0};
    std::atomic<std::size_t> m_splitBytes{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_stallEnded;
    std::vector<std::shared_ptr<WebSocketSession>> m_sessions;
    std::map<std::pair<std::string, std::string>, int> m_interest;
    std::map<std::size_t, int> m_admitted;
    Clock::time_point m_refuseUntil{};
    int m_refuseStatus = 503;
};

}  // namespace qeldev
