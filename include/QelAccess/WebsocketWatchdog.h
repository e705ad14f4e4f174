#pragma once

#include <QelAccess/IWebsocketManager.h>

#include <QelAccessUtility/StreamingLogger.h>

#include <chrono>
#include <memory>
#include <string>

namespace qel {

/// Keeps a WebSocket connection honest: asks for a ping when the line has
/// been quiet for a ping interval (at most one per interval) and reports a
/// time-out when neither pong nor data has arrived for the pong time-out.
/// Used by one connection thread only.
class WebsocketWatchdog {
public:
    static constexpr std::chrono::milliseconds MIN_PING_INTERVAL{1000};
    static constexpr std::chrono::milliseconds MAX_PING_INTERVAL{10000};
    static constexpr std::chrono::milliseconds DEFAULT_PING_INTERVAL{1000};
    static constexpr std::chrono::milliseconds DEFAULT_PONG_TIMEOUT{3000};

    /// `userData` is the ping payload ("QELA" when empty). The ping interval
    /// is clamped to [MIN_PING_INTERVAL, MAX_PING_INTERVAL]; a pong time-out
    /// not above the effective interval becomes three intervals.
    WebsocketWatchdog(std::string userData, const std::string& serviceName_,
                      std::shared_ptr<IWebsocketManager> websocketManager_,
                      const std::chrono::milliseconds& pingInterval_, const std::chrono::milliseconds& pongTimeout_);

    /// Called with true for every pong and every received data, with false
    /// once per polling pass. Sends a ping when one is due; returns true
    /// when the connection has timed out and must be reset.
    bool notify(bool pongOrData);

    const std::chrono::milliseconds& getPingInterval() const { return pingInterval; }
    const std::chrono::milliseconds& getPongTimeout() const { return pongTimeout; }

private:
    const std::string userData;
    qelutil::StreamingLogger logger;
    std::shared_ptr<IWebsocketManager> websocketManager;
    std::chrono::steady_clock::time_point lastPingSent;
    std::chrono::steady_clock::time_point lastPongReceived;
    std::chrono::milliseconds pingInterval;
    std::chrono::milliseconds pongTimeout;
};

}  // namespace qel
