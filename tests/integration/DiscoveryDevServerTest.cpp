// Service discovery end to end: the facade in its dynamic modes against the
// in-process reference server and its registry.

#include <qeldev/DevServer.h>

#include "support/CapturingLoggerFactory.h"
#include "support/WaitFor.h"

#include <QelAccess/ConfigManager.h>
#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/QelServiceRegistry.h>
#include <QelAccess/Service.h>

#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using qel::QelServiceRegistry;
using qel::Service;
using qeltest::waitFor;

namespace {

/// A short fixed wait between connection attempts, so restarts are quick.
class QuickBackoff : public qelutil::INumberSequence {
public:
    int64_t next() override { return 20; }
    void reset() override {}
};

/// What one listener heard, in order, thread-safe: "available N" (N numbers
/// the service objects in the order the listener got them) and
/// "unavailable".
class Listener {
public:
    qel::UntypedServiceListener listener() {
        return {[this](std::shared_ptr<Service> service) {
                    std::lock_guard<std::mutex> lock(mtx);
                    services.push_back(service);
                    events.push_back("available " + std::to_string(services.size()));
                },
                [this] {
                    std::lock_guard<std::mutex> lock(mtx);
                    events.push_back("unavailable");
                },
                nullptr};
    }
    static Service::Creator creator() {
        return [](std::shared_ptr<qel::QelAccessor> accessor, qel::IWebsocketManager::Shared manager) {
            return std::make_unique<Service>(std::move(accessor), std::move(manager));
        };
    }
    std::vector<std::string> heard() const {
        std::lock_guard<std::mutex> lock(mtx);
        return events;
    }
    std::size_t count() const { return heard().size(); }
    std::shared_ptr<Service> service(std::size_t index) const {
        std::lock_guard<std::mutex> lock(mtx);
        return services.at(index);
    }

private:
    mutable std::mutex mtx;
    std::vector<std::string> events;
    std::vector<std::shared_ptr<Service>> services;
};

using Events = std::vector<std::string>;

class DiscoveryDevServerTest : public ::testing::TestWithParam<bool> {
protected:
    DiscoveryDevServerTest() : server(serverOptions()) {
        server.start();
        managers->setConnectionBackoffPicker(
            [](const std::string&) { return std::make_shared<QuickBackoff>(); });
    }
    ~DiscoveryDevServerTest() override {
        if (registry) registry->stop();
        managers->stopAndClearAll();
        server.stop();
    }

    qeldev::DevServerOptions serverOptions() {
        qeldev::DevServerOptions options;
        options.loggerFactory = std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::ERROR);
        return options;
    }

    std::shared_ptr<qelutil::ITaskExecutor> makeExecutor() {
        if (GetParam()) return std::make_shared<qelutil::ThreadPoolTaskExecutor>(4);
        return std::make_shared<qelutil::SerialTaskExecutor>();
    }

    void startRegistry(QelServiceRegistry::Mode mode, std::shared_ptr<qel::ConfigManager> staticConfig = nullptr) {
        QelServiceRegistry::Settings settings;
        settings.mode = mode;
        settings.httpUri = server.origins().at(0);
        settings.servicesFilterFunction = [this](qelutil::JsonArray::Shared) { ++listings; };
        registry = std::make_unique<QelServiceRegistry>(
            managers, staticConfig ? staticConfig : std::make_shared<qel::ConfigManager>(), logs,
            std::make_shared<qel::HttpAccessFactory>(std::make_shared<qelutil::PocoHttpSessionFactory>()), executor,
            executor, settings, nullptr);
    }

    void add(Listener& listener, const std::string& name = "media") {
        registry->addServiceListener(name, listener.listener(), Listener::creator());
    }

    qeldev::DevServer server;
    std::shared_ptr<qeltest::CapturingLoggerFactory> logs =
        std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::INFO);
    std::shared_ptr<qel::DefaultWebsocketManagerFactory> managers = std::make_shared<qel::DefaultWebsocketManagerFactory>();
    std::shared_ptr<qelutil::ITaskExecutor> executor = makeExecutor();
    std::unique_ptr<QelServiceRegistry> registry;
    std::atomic<int> listings{0};
};

TEST_P(DiscoveryDevServerTest, ListenersHearTheirServiceAndItsLossOverOneSharedManager) {
    startRegistry(QelServiceRegistry::DYNAMIC_ONLY);
    Listener first, second;
    add(first);
    add(second);
    ASSERT_TRUE(waitFor([&] { return first.count() == 1 && second.count() == 1; }));
    EXPECT_EQ((Events{"available 1"}), first.heard());
    EXPECT_NE(first.service(0), second.service(0));
    EXPECT_EQ(first.service(0)->getWebsocketManager(), second.service(0)->getWebsocketManager());

    server.dropWebSockets();
    ASSERT_TRUE(waitFor([&] { return first.count() == 3 && second.count() == 3; }));
    EXPECT_EQ((Events{"available 1", "unavailable", "available 2"}), first.heard());
    EXPECT_EQ((Events{"available 1", "unavailable", "available 2"}), second.heard());
    EXPECT_NE(first.service(0), first.service(1));
}

TEST_P(DiscoveryDevServerTest, StopEndsEveryNoticeAndReconnection) {
    startRegistry(QelServiceRegistry::DYNAMIC_ONLY);
    Listener media;
    add(media);
    ASSERT_TRUE(waitFor([&] { return media.count() == 1; }));
    auto manager = media.service(0)->getWebsocketManager();
    // Both connections (registry and media) are known to the server, so the
    // drop below reaches them; the client may see its upgrade answered first.
    ASSERT_TRUE(waitFor([&] { return server.webSocketCount() == 2; }));
    registry->stop();
    server.dropWebSockets();
    ASSERT_TRUE(waitFor([&] {
        return manager->getConnectionState() == qel::IWebsocketManager::DISCONNECTED && server.webSocketCount() == 0;
    }));
    // Whatever the connection loss queued has run once a task queued after it ran.
    std::atomic<bool> fence{false};
    executor->add([&] { fence = true; }, "fence");
    ASSERT_TRUE(waitFor([&] { return fence.load(); }));
    EXPECT_EQ((Events{"available 1"}), media.heard());
    EXPECT_EQ(0u, server.webSocketCount());
}

TEST_P(DiscoveryDevServerTest, AListenerWaitsForItsServiceToRegister) {
    server.unregisterService("media");
    startRegistry(QelServiceRegistry::DYNAMIC_ONLY);
    Listener media;
    add(media);
    ASSERT_TRUE(waitFor([&] { return listings > 0; }));
    EXPECT_EQ(0u, media.count()) << "available before the registry listed the service";
    server.registerService("media");
    ASSERT_TRUE(waitFor([&] { return media.count() == 1; }));
    EXPECT_EQ((Events{"available 1"}), media.heard());
}

TEST_P(DiscoveryDevServerTest, AMovedServiceIsFoundAtItsNewAddressAfterItsOldConnectionDrops) {
    startRegistry(QelServiceRegistry::DYNAMIC_ONLY);
    Listener media, navigation;
    add(media);
    add(navigation, "navigation");
    ASSERT_TRUE(waitFor([&] { return media.count() == 1 && navigation.count() == 1; }));
    // Navigation's origin closes (its connection drops) and opens on another
    // port; the registry's push of the new address may come before or after
    // the loss is told.
    server.moveService("navigation");
    ASSERT_TRUE(waitFor([&] { return navigation.count() == 3; }));
    EXPECT_EQ((Events{"available 1", "unavailable", "available 2"}), navigation.heard());
    EXPECT_NE(navigation.service(0)->getWebsocketManager(), navigation.service(1)->getWebsocketManager())
        << "navigation is not reached at its new origin";
    EXPECT_EQ((Events{"available 1"}), media.heard());
}

TEST_P(DiscoveryDevServerTest, RegistryRestartsLeaveEveryListenerWithOneLiveServiceInOrder) {
    constexpr int kRestarts = 20;
    startRegistry(QelServiceRegistry::DYNAMIC_ONLY);
    std::vector<std::unique_ptr<Listener>> media;
    for (int i = 0; i < 3; ++i) {
        media.push_back(std::make_unique<Listener>());
        add(*media.back());
    }
    Listener navigation;
    add(navigation, "navigation");
    auto allHeard = [&](std::size_t count) {
        for (const auto& listener : media)
            if (listener->count() != count) return false;
        return true;
    };
    ASSERT_TRUE(waitFor([&] { return allHeard(1) && navigation.count() == 1; }));
    std::vector<double> backMs;
    for (int round = 1; round <= kRestarts; ++round) {
        server.stopOrigin("main");
        ASSERT_TRUE(waitFor([&] { return allHeard(2u * round); })) << "round " << round;
        const auto started = std::chrono::steady_clock::now();
        server.startOrigin("main");
        ASSERT_TRUE(waitFor([&] { return allHeard(2u * round + 1); })) << "round " << round;
        backMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    }
    Events expected{"available 1"};
    for (int round = 1; round <= kRestarts; ++round) {
        expected.push_back("unavailable");
        expected.push_back("available " + std::to_string(round + 1));
    }
    for (const auto& listener : media) EXPECT_EQ(expected, listener->heard());
    EXPECT_EQ((Events{"available 1"}), navigation.heard()) << "a service on another origin was disturbed";
    std::sort(backMs.begin(), backMs.end());
    std::cout << "registry restarts: " << kRestarts << ", listeners: " << media.size() + 1
              << ", notices per restarted listener: " << expected.size() << ", time to available after restart: median "
              << backMs[backMs.size() / 2] << " ms, max " << backMs.back() << " ms" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Executors, DiscoveryDevServerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThreadPool" : "Serial";
                         });

}  // namespace
