#pragma once

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/ScriptedWebSocketPeer.h"
#include "support/WaitFor.h"

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/IConfigManager.h>

#include <QelAccessUtility/INumberSequence.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace qeltest {

/// Waits between connection attempts of one fixed length.
class FixedBackoff : public qelutil::INumberSequence {
public:
    explicit FixedBackoff(int64_t milliseconds) : m_milliseconds(milliseconds) {}
    int64_t next() override { return m_milliseconds; }
    void reset() override {}

private:
    int64_t m_milliseconds;
};

/// A scripted WebSocket peer with managers pointed at it: loggers capture
/// their lines, and every notice and data callback waits in a manual
/// executor until the test runs it.
struct WebsocketManagerHarness {
    ScriptedWebSocketPeer peer;
    std::shared_ptr<CapturingLoggerFactory> loggers = std::make_shared<CapturingLoggerFactory>();
    std::shared_ptr<ManualTaskExecutor> executor = std::make_shared<ManualTaskExecutor>();

    /// The configuration of service "svc" at the peer, base path "/qel/",
    /// with the watchdog off unless timings are given.
    qel::IConfigManager::ServiceConfiguration configuration(
        std::chrono::milliseconds pingInterval = std::chrono::milliseconds(0),
        std::chrono::milliseconds pongTimeout = std::chrono::milliseconds(0)) const {
        qel::IConfigManager::ServiceConfiguration config;
        config.serviceName = "svc";
        config.serverBaseUri = peer.baseUri();
        config.serverBasePath = "/qel/";
        config.separatorAfterResource = "/";
        config.watchdogPingInterval = pingInterval;
        config.watchdogPongTimeout = pongTimeout;
        return config;
    }

    /// A manager that retries after 10 ms.
    std::shared_ptr<qel::DefaultWebsocketManager2> makeManager(
        const qel::IConfigManager::ServiceConfiguration& config, const std::string& threadName = "MA_WS_svc") {
        auto manager = std::make_shared<qel::DefaultWebsocketManager2>(config, threadName, executor, loggers);
        manager->setConnectBackoffGenerator(std::make_shared<FixedBackoff>(10));
        return manager;
    }

    std::shared_ptr<qel::DefaultWebsocketManager2> makeManager() { return makeManager(configuration()); }

    /// Connects with empty notices and waits until the manager and the peer
    /// both see `openConnections` connections.
    bool connect(qel::DefaultWebsocketManager2& manager, std::size_t openConnections = 1) {
        manager.connectToWebsocketAndThen([] {}, [] {});
        return waitFor([&] { return manager.getConnectionState() == qel::IWebsocketManager::CONNECTED; }) &&
               peer.waitForOpenConnections(openConnections);
    }

    /// How many tasks named `name` were ever posted.
    std::size_t postedTasks(const std::string& name) const {
        const auto history = executor->history();
        return static_cast<std::size_t>(std::count(history.begin(), history.end(), name));
    }

    bool waitForPostedTasks(const std::string& name, std::size_t count) const {
        return waitFor([&] { return postedTasks(name) >= count; });
    }

    LogCapture& log() { return loggers->capture(); }
};

}  // namespace qeltest
