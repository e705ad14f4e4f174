#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/DefaultWebsocketManagerFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/ScriptedWebSocketPeer.h"
#include "support/WaitFor.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using qel::DefaultWebsocketManager2;
using qel::DefaultWebsocketManagerFactory;
using qel::IWebsocketManager;
using qelutil::ILogger;
using namespace std::chrono_literals;

namespace {

/// A loopback origin on which nothing listens: every connect attempt is refused.
std::string refusingOrigin() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    const auto port = socket.address().port();
    socket.close();
    return "http://127.0.0.1:" + std::to_string(port);
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
class CountingSequence : public qelutil::INumberSequence {
public:
    int64_t next() override {
        ++nextCalls;
        return 20;
    }
    void reset() override { ++resetCalls; }

    std::atomic<int> nextCalls{0};
    std::atomic<int> resetCalls{0};
};

class WebsocketManagerFactoryTest : public ::testing::Test {
protected:
    IWebsocketManager::Shared create(const std::string& service, const std::string& origin) {
        return factory.createWebsocketManager(configuration(service, origin), executor, loggers);
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::ManualTaskExecutor> executor = std::make_shared<qeltest::ManualTaskExecutor>();
    DefaultWebsocketManagerFactory factory;
};

}  // namespace

TEST_F(WebsocketManagerFactoryTest, OneManagerPerOriginNamedAfterTheFirstService) {
    auto first = create("navigation", "http://127.0.0.1:1");
    auto second = create("media", "http://127.0.0.1:1");
    auto other = create("media", "http://127.0.0.1:2");

    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    EXPECT_EQ(std::dynamic_pointer_cast<DefaultWebsocketManager2>(first)->getThreadName(), "MA_WS_navigation");
    EXPECT_EQ(std::dynamic_pointer_cast<DefaultWebsocketManager2>(other)->getThreadName(), "MA_WS_media");
    EXPECT_EQ(first->getConnectionState(), IWebsocketManager::DISCONNECTED);

    auto& log = loggers->capture();
    EXPECT_TRUE(log.contains(ILogger::INFO, "DefaultWebsocketManager: creating new Websocket Manager for "
                                            "service=navigation, origin=http://127.0.0.1:1"));
    EXPECT_TRUE(log.contains(ILogger::INFO, "DefaultWebsocketManager: reusing Websocket Manager for service=media, "
                                            "origin=http://127.0.0.1:1"));
    EXPECT_TRUE(log.contains(ILogger::INFO, "DefaultWebsocketManager: creating new Websocket Manager for "
                                            "service=media, origin=http://127.0.0.1:2"));

    EXPECT_EQ(factory.createWebsocketManager(configuration("x", "http://127.0.0.1:3"), executor, nullptr), nullptr);
}

TEST_F(WebsocketManagerFactoryTest, BackoffPickerChoosesTheSequenceOfNewManagers) {
    auto sequence = std::make_shared<CountingSequence>();
    std::vector<std::string> asked;
    factory.setConnectionBackoffPicker([&](const std::string& service) -> std::shared_ptr<qelutil::INumberSequence> {
        asked.push_back(service);
        return service == "media" ? sequence : nullptr;
    });
    const std::string origin = refusingOrigin();
    auto manager = create("media", origin);
    create("navigation", origin);  // reused: the picker is not asked
    auto defaulted = create("other", "http://127.0.0.1:4");
    EXPECT_EQ(asked, (std::vector<std::string>{"media", "other"}));
    EXPECT_NE(defaulted, nullptr);

    // The refused connection retries through the picked sequence.
    manager->connectToWebsocketAndThen([] {}, [] {});
    EXPECT_TRUE(qeltest::waitFor([&] { return sequence->nextCalls.load() >= 2; }));
    EXPECT_GE(sequence->resetCalls.load(), 1);
    factory.destroyWebsocketManager(origin);
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
