#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/DefaultWebsocketManagerFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/ScriptedWebSocketPeer.h"
#include "support/WaitFor.h"

#include <Poco/Net/ServerSocket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using qel::DefaultWebsocketManagerFactory;
using qel::IWebsocketManager;
using qelutil::ILogger;

namespace {

/// A loopback origin on which nothing listens: every connect attempt is refused.
std::string refusingOrigin() {
    return "http://127.0.0.1:" + std::to_string(Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port());
}

qel::IConfigManager::ServiceConfiguration configuration(const std::string& service, const std::string& origin) {
    qel::IConfigManager::ServiceConfiguration config;
    config.serviceName = service;
    config.serverBaseUri = origin;
    config.serverBasePath = "/base/";
    config.separatorAfterResource = "/";
    return config;
}

/// A back-off that counts its use and keeps the retries quick.
struct CountingSequence : qelutil::INumberSequence {
    int64_t next() override { return ++nextCalls, 20; }
    void reset() override { ++resetCalls; }
    std::atomic<int> nextCalls{0}, resetCalls{0};
};

class WebsocketManagerFactoryTest : public ::testing::Test {
protected:
    IWebsocketManager::Shared create(const std::string& service, const std::string& origin) {
        return factory.createWebsocketManager(configuration(service, origin), executor, loggers);
    }
    std::string threadName(const IWebsocketManager::Shared& manager) {
        return std::dynamic_pointer_cast<qel::DefaultWebsocketManager2>(manager)->getThreadName();
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::ManualTaskExecutor> executor = std::make_shared<qeltest::ManualTaskExecutor>();
    DefaultWebsocketManagerFactory factory;
};

}  // namespace

TEST_F(WebsocketManagerFactoryTest, OneManagerPerOriginNamedAfterTheFirstServiceWithThePickedBackoff) {
    auto sequence = std::make_shared<CountingSequence>();
    std::vector<std::string> asked;
    factory.setConnectionBackoffPicker([&](const std::string& service) -> std::shared_ptr<qelutil::INumberSequence> {
        asked.push_back(service);
        return service == "navigation" ? sequence : nullptr;
    });
    const std::string origin = refusingOrigin();
    auto first = create("navigation", origin);
    auto second = create("media", origin);  // reused: the picker is not asked
    auto other = create("media", "http://127.0.0.1:2");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    EXPECT_EQ(asked, (std::vector<std::string>{"navigation", "media"}));
    EXPECT_EQ(threadName(first), "MA_WS_navigation");
    EXPECT_EQ(threadName(other), "MA_WS_media");
    for (const std::string& line : {"creating new Websocket Manager for service=navigation, origin=" + origin,
                                   "reusing Websocket Manager for service=media, origin=" + origin,
                                   std::string("creating new Websocket Manager for service=media, origin=http://127.0.0.1:2")})
        EXPECT_TRUE(loggers->capture().contains(ILogger::INFO, "DefaultWebsocketManager: " + line)) << line;
    EXPECT_EQ(factory.createWebsocketManager(configuration("x", "http://127.0.0.1:3"), executor, nullptr), nullptr);

    // The refused connection retries through the picked sequence.
    EXPECT_EQ(first->getConnectionState(), IWebsocketManager::DISCONNECTED);
    first->connectToWebsocketAndThen([] {}, [] {});
    EXPECT_TRUE(qeltest::waitFor([&] { return sequence->nextCalls.load() >= 2; }));
    EXPECT_GE(sequence->resetCalls.load(), 1);
    factory.stopAndClearAll();
}

TEST_F(WebsocketManagerFactoryTest, DestroyStopAndClearAllAndTheDestructorDisconnectAndForget) {
    const std::string origin = refusingOrigin();
    factory.setConnectionBackoffPicker([](const std::string&) { return std::make_shared<CountingSequence>(); });
    auto manager = create("media", origin);
    std::atomic<int> disconnected{0};
    manager->connectToWebsocketAndThen([] {}, [&] { ++disconnected; });
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::CONNECTING);
    factory.destroyWebsocketManager(origin);
    EXPECT_TRUE(loggers->capture().contains(ILogger::DEBUG, "destroyWebsocketManager: disconnect: " + origin));
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::DISCONNECTED);
    executor->runAll();
    EXPECT_EQ(disconnected.load(), 1);
    // Forgotten: the origin gets a new manager; unknown origins are ignored.
    EXPECT_NE(create("media", origin), manager);
    factory.destroyWebsocketManager("http://127.0.0.1:9");

    auto first = create("a", refusingOrigin());
    auto idle = create("c", "http://127.0.0.1:5");
    first->connectToWebsocketAndThen([] {}, [] {});
    factory.stopAndClearAll();
    EXPECT_EQ(first->getConnectionState(), IWebsocketManager::DISCONNECTED);
    EXPECT_NE(create("c", "http://127.0.0.1:5"), idle);

    IWebsocketManager::Shared held;
    {
        DefaultWebsocketManagerFactory local;
        local.setConnectionBackoffPicker([](const std::string&) { return std::make_shared<CountingSequence>(); });
        held = local.createWebsocketManager(configuration("a", refusingOrigin()), executor, loggers);
        held->connectToWebsocketAndThen([] {}, [] {});
    }
    EXPECT_EQ(held->getConnectionState(), IWebsocketManager::DISCONNECTED);
}

TEST_F(WebsocketManagerFactoryTest, ConcurrentCallersShareOneManagerPerOrigin) {
    std::vector<IWebsocketManager::Shared> results(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            results[i] = create("svc" + std::to_string(i), "http://127.0.0.1:" + std::to_string(10 + i % 2));
            if (i % 4 == 3) factory.destroyWebsocketManager("http://127.0.0.1:12");
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t i = 2; i < results.size(); ++i) EXPECT_EQ(results[i], results[i % 2]) << i;
    EXPECT_NE(results[0], results[1]);
    factory.stopAndClearAll();
}

TEST_F(WebsocketManagerFactoryTest, ServicesOfOneOriginShareOneConnectionUntilStopped) {
    qeltest::ScriptedWebSocketPeer peer;
    auto first = create("navigation", peer.baseUri());
    auto second = create("media", peer.baseUri());
    ASSERT_EQ(first, second);
    first->connectToWebsocketAndThen([] {}, [] {});
    second->connectToWebsocketAndThen([] {}, [] {});
    ASSERT_TRUE(qeltest::waitFor([&] { return first->getConnectionState() == IWebsocketManager::CONNECTED; }));
    EXPECT_TRUE(peer.waitForOpenConnections(1));
    EXPECT_EQ(peer.upgrades().size(), 1u);
    factory.stopAndClearAll();
    EXPECT_EQ(first->getConnectionState(), IWebsocketManager::DISCONNECTED);
    EXPECT_TRUE(peer.waitForOpenConnections(0));
}
