#pragma once

// Shared set-up of the WebSocket integration tests: an in-process reference
// server, managers pointed at its services, recorders of delivered data and
// a fence that proves every earlier message of a connection was handled.

#include <qeldev/DevServer.h>

#include <support/CapturingLoggerFactory.h>
#include <support/WaitFor.h>

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/IConfigManager.h>
#include <QelAccess/Subscription.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/SerialTaskExecutor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace wsint {

using qel::DefaultWebsocketManager2;
using qel::IConfigManager;
using qel::IWebsocketManager;
using qelutil::JsonArray;
using qelutil::JsonObject;
using namespace std::chrono_literals;

/// The "id" members of the elements of `array`, in order.
inline std::vector<std::string> idsOf(const JsonArray& array) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < array.size(); ++i) ids.push_back(array.getObject(i)->getString("id"));
    return ids;
}

/// "t1" to "tN": the example tracks in their listing order.
inline std::vector<std::string> trackIds(int count) {
    std::vector<std::string> ids;
    for (int i = 1; i <= count; ++i) ids.push_back("t" + std::to_string(i));
    return ids;
}

/// Every delivery of an array subscription. Callbacks hold it through a
/// shared pointer, so a late delivery never outlives it.
class ArrayDeliveries {
public:
    struct Delivery {
        JsonArray::Shared array;
        std::shared_ptr<const qel::SubscriptionResponse> response;
    };

    static IWebsocketManager::ArrayCallback recordInto(const std::shared_ptr<ArrayDeliveries>& deliveries) {
        return [deliveries](JsonArray::Shared array, std::shared_ptr<const qel::SubscriptionResponse> response) {
            std::lock_guard<std::mutex> lock(deliveries->m_mutex);
            deliveries->m_deliveries.push_back({std::move(array), std::move(response)});
        };
    }

    std::size_t count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deliveries.size();
    }
    Delivery at(std::size_t index) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deliveries.at(index);
    }
    Delivery last() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deliveries.back();
    }
    bool waitForCount(std::size_t n) const {
        return qeltest::waitFor([&] { return count() >= n; });
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Delivery> m_deliveries;
};

/// Counts notices and data callbacks across threads.
struct Counter {
    std::atomic<int> value{0};
    void operator++() { ++value; }
    int get() const { return value.load(); }
    bool waitFor(int n) const {
        return qeltest::waitFor([&] { return value.load() >= n; });
    }
};

class WebsocketDevServerFixture : public ::testing::Test {
protected:
    void SetUp() override { startServer(0); }

    void TearDown() override {
        if (server) server->clearFaults();
        drainExecutor();
    }

    /// A server with the example data whose first origin listens on `port`
    /// (0 for a free one), subscriptions paged by 25.
    void startServer(uint16_t port) {
        qeldev::DevServerOptions options;
        options.port = port;
        options.wsPageSize = 25;
        options.loggerFactory = serverLoggers;
        server = std::make_unique<qeldev::DevServer>(options);
        server->start();
    }

    IConfigManager::ServiceConfiguration configuration(const std::string& service,
                                                       std::chrono::milliseconds pingInterval = 0ms,
                                                       std::chrono::milliseconds pongTimeout = 0ms) const {
        const qeldev::ServiceEndpoint endpoint = server->service(service);
        IConfigManager::ServiceConfiguration config;
        config.serviceName = service;
        config.serverBaseUri = endpoint.origin;
        config.serverBasePath = endpoint.basePath;
        config.separatorAfterResource = "/";
        config.watchdogPingInterval = pingInterval;
        config.watchdogPongTimeout = pongTimeout;
        return config;
    }

    std::shared_ptr<DefaultWebsocketManager2> makeManager(const IConfigManager::ServiceConfiguration& config) {
        return std::make_shared<DefaultWebsocketManager2>(config, "MA_WS_" + config.serviceName, executor, loggers);
    }

    /// Connects with notices that do nothing and waits for the connection.
    static bool connect(IWebsocketManager& manager) {
        manager.connectToWebsocketAndThen([] {}, [] {});
        return qeltest::waitFor([&] { return manager.getConnectionState() == IWebsocketManager::CONNECTED; });
    }

    static std::shared_ptr<qel::XObjectDescriptor> element(const std::string& service, const std::string& resource,
                                                           const std::string& id) {
        auto descriptor = std::make_shared<qel::XObjectDescriptor>(service, resource);
        descriptor->setId(id);
        return descriptor;
    }

    /// Subscribes an element of the media service and waits for its first
    /// data. The server answers a subscribe only after pushing every change
    /// made before it, the connection thread handles messages in order and
    /// the executor runs tasks in order: when this returns, everything the
    /// server sent earlier has reached its callback.
    static void fence(IWebsocketManager& manager) {
        auto arrived = std::make_shared<std::atomic<bool>>(false);
        auto subscription = manager.subscribeElement(element("media", "albums", "a1"),
                                                     [arrived](JsonObject::Shared) { *arrived = true; });
        ASSERT_TRUE(qeltest::waitFor([&] { return arrived->load(); })) << "the fence's data never arrived";
    }

    /// Waits until every task posted so far has run.
    void drainExecutor() {
        auto ran = std::make_shared<std::atomic<bool>>(false);
        executor->add([ran] { *ran = true; }, "drain");
        ASSERT_TRUE(qeltest::waitFor([&] { return ran->load(); }));
    }

    qeltest::LogCapture& log() { return loggers->capture(); }

    // Declared first, destroyed last: managers hold it and post to it up to
    // their end.
    std::shared_ptr<qelutil::SerialTaskExecutor> executor = std::make_shared<qelutil::SerialTaskExecutor>("wsint-exec");
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::CapturingLoggerFactory> serverLoggers =
        std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::WARNING);
    std::unique_ptr<qeldev::DevServer> server;
};

}  // namespace wsint
