// The WebSocket subsystem against the in-process reference server: managers
// shared per origin, connect and disconnect notices, reconnecting with
// back-off, element and root subscriptions, stopping during back-off, the
// watchdog against a stalled server, and a manager whose last owner lets go
// inside one of its own callbacks.

#include "WebsocketDevServerFixture.h"

#include <support/ManualTaskExecutor.h>

#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/FibonacciConnectionBackoffSequence.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <pthread.h>

#include <algorithm>
#include <functional>
#include <set>
#include <thread>

namespace wsint {
namespace {

using qeltest::waitFor;
using qelutil::ILogger;

/// Wraps a back-off sequence and counts how the manager uses it.
class CountingBackoff : public qelutil::INumberSequence {
public:
    explicit CountingBackoff(std::shared_ptr<qelutil::INumberSequence> inner) : m_inner(std::move(inner)) {}
    int64_t next() override {
        ++nexts;
        return m_inner->next();
    }
    void reset() override {
        ++resets;
        m_inner->reset();
    }

    std::atomic<int> nexts{0};
    std::atomic<int> resets{0};

private:
    std::shared_ptr<qelutil::INumberSequence> m_inner;
};

/// Waits of one fixed length.
class FixedBackoff : public qelutil::INumberSequence {
public:
    explicit FixedBackoff(int64_t milliseconds) : m_milliseconds(milliseconds) {}
    int64_t next() override { return m_milliseconds; }
    void reset() override {}

private:
    int64_t m_milliseconds;
};

/// Runs `call` on a thread of its own and reports whether it returned
/// within the deadline. A call that hangs is left behind on its thread.
bool returnsWithin(std::function<void()> call, std::chrono::milliseconds deadline) {
    auto returned = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([call = std::move(call), returned] {
        call();
        *returned = true;
    });
    if (!waitFor([&] { return returned->load(); }, deadline)) {
        thread.detach();
        return false;
    }
    thread.join();
    return true;
}

/// A free loopback port, so that a server can be stopped and started again
/// where its clients expect it.
uint16_t freeLoopbackPort() {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    const uint16_t port = socket.address().port();
    socket.close();
    return port;
}

std::string currentThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

/// Keeps a manager connected the way the owner of a service does: every
/// disconnect notice registers the next pair of notices, until stopped. The
/// notices hold the owner, the owner only watches the manager.
class ReconnectingOwner : public std::enable_shared_from_this<ReconnectingOwner> {
public:
    explicit ReconnectingOwner(const IWebsocketManager::Shared& manager) : m_manager(manager) {}

    void connect() {
        auto manager = m_manager.lock();
        if (!manager) return;
        auto self = shared_from_this();
        manager->connectToWebsocketAndThen([self] { ++self->connects; },
                                           [self] {
                                               ++self->disconnects;
                                               if (!self->m_stopped) self->connect();
                                           });
    }
    void stop() {
        m_stopped = true;
        if (auto manager = m_manager.lock()) manager->disconnect();
    }

    Counter connects;
    Counter disconnects;

private:
    std::weak_ptr<IWebsocketManager> m_manager;
    std::atomic<bool> m_stopped{false};
};

using WebsocketDevServerTest = WebsocketDevServerFixture;

TEST_F(WebsocketDevServerTest, FactorySharesOneManagerAndConnectionPerOrigin) {
    Counter zone, track, destination;
    qel::DefaultWebsocketManagerFactory factory;
    auto media = factory.createWebsocketManager(configuration("media"), executor, loggers);
    auto climate = factory.createWebsocketManager(configuration("climate"), executor, loggers);
    auto navigation = factory.createWebsocketManager(configuration("navigation"), executor, loggers);
    ASSERT_TRUE(media && climate && navigation);
    EXPECT_EQ(media, climate) << "media and climate live on the same origin";
    EXPECT_NE(media, navigation);
    EXPECT_EQ(std::dynamic_pointer_cast<DefaultWebsocketManager2>(climate)->getThreadName(), "MA_WS_media");
    EXPECT_EQ(std::dynamic_pointer_cast<DefaultWebsocketManager2>(navigation)->getThreadName(), "MA_WS_navigation");
    EXPECT_TRUE(log().contains(ILogger::INFO,
                               "DefaultWebsocketManager: reusing Websocket Manager for service=climate, origin=" +
                                   server->service("climate").origin));

    ASSERT_TRUE(connect(*media));
    ASSERT_TRUE(connect(*climate));
    ASSERT_TRUE(connect(*navigation));
    EXPECT_TRUE(waitFor([&] { return server->webSocketCount() == 2; })) << server->webSocketCount();

    // Both services of the shared connection and the other origin deliver.
    auto zoneSub = climate->subscribeElement(element("climate", "zones", "z1"), [&](JsonObject::Shared) { ++zone; });
    auto trackSub = media->subscribeElement(element("media", "tracks", "t1"), [&](JsonObject::Shared) { ++track; });
    auto destinationSub = navigation->subscribeElement(element("navigation", "destinations", "d1"),
                                                       [&](JsonObject::Shared) { ++destination; });
    EXPECT_TRUE(zone.waitFor(1) && track.waitFor(1) && destination.waitFor(1));
    EXPECT_EQ(server->webSocketCount(), 2u);

    factory.destroyWebsocketManager(server->service("media").origin);
    EXPECT_EQ(media->getConnectionState(), IWebsocketManager::DISCONNECTED);
    EXPECT_EQ(navigation->getConnectionState(), IWebsocketManager::CONNECTED);
    factory.stopAndClearAll();
    EXPECT_EQ(navigation->getConnectionState(), IWebsocketManager::DISCONNECTED);
    EXPECT_TRUE(waitFor([&] { return server->webSocketCount() == 0; }));
    drainExecutor();
}

TEST_F(WebsocketDevServerTest, NoticesArePostedInOrderOnceEachAndNeverInline) {
    auto manual = std::make_shared<qeltest::ManualTaskExecutor>();
    auto manager = std::make_shared<DefaultWebsocketManager2>(configuration("media"), "MA_WS_media", manual, loggers);
    std::vector<std::string> notices;  // touched only by tasks, which run on this thread
    auto notice = [&notices](const std::string& name) { return [&notices, name] { notices.push_back(name); }; };

    manager->connectToWebsocketAndThen(notice("connected 1"), notice("disconnected 1"));
    manager->connectToWebsocketAndThen(notice("connected 2"), notice("disconnected 2"));
    ASSERT_TRUE(waitFor([&] { return manual->pending() >= 2; }));
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::CONNECTED);
    EXPECT_TRUE(notices.empty());
    manual->runAll();
    EXPECT_EQ(notices, (std::vector<std::string>{"connected 1", "connected 2"}));

    // On a connected manager the notice is posted, not run inside the call.
    manager->connectToWebsocketAndThen(notice("connected 3"), notice("disconnected 3"));
    EXPECT_EQ(notices.size(), 2u);
    EXPECT_EQ(manual->pending(), 1u);
    manual->runAll();
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 1; }));

    server->dropWebSockets();
    ASSERT_TRUE(waitFor([&] { return manual->pending() >= 3; }));
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::DISCONNECTED);
    manual->runAll();
    EXPECT_EQ(notices, (std::vector<std::string>{"connected 1", "connected 2", "connected 3", "disconnected 1",
                                                 "disconnected 2", "disconnected 3"}));

    // Each notice was one-shot: stopping the manager posts nothing more.
    manager->disconnect();
    EXPECT_EQ(manual->runAll(), 0u);
    const auto history = manual->history();
    EXPECT_EQ(std::count(history.begin(), history.end(), "WS -> Connect callback"), 3);
    EXPECT_EQ(std::count(history.begin(), history.end(), "WS -> Disconnect callback"), 3);
}

TEST_F(WebsocketDevServerTest, OwnerReconnectsAfterDropAndAfterServerRestartWithBackoff) {
    const uint16_t port = freeLoopbackPort();
    server->stop();
    startServer(port);
    const IConfigManager::ServiceConfiguration config = configuration("media");

    Counter data;
    qel::DefaultWebsocketManagerFactory factory;
    std::shared_ptr<CountingBackoff> backoff;
    std::vector<std::string> picked;
    factory.setConnectionBackoffPicker([&](const std::string& service) {
        picked.push_back(service);
        backoff = std::make_shared<CountingBackoff>(std::make_shared<qel::FibonacciConnectionBackoffSequence>());
        return backoff;
    });
    auto manager = factory.createWebsocketManager(config, executor, loggers);
    ASSERT_EQ(picked, std::vector<std::string>{"media"});
    auto owner = std::make_shared<ReconnectingOwner>(manager);
    owner->connect();
    ASSERT_TRUE(owner->connects.waitFor(1));

    // A dropped connection is noticed once and set up again at once.
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 1; }));
    server->dropWebSockets();
    ASSERT_TRUE(owner->connects.waitFor(2));
    EXPECT_EQ(owner->disconnects.get(), 1);

    // While the server is away the attempts are refused and paced by the
    // picked sequence, which every connect phase starts afresh.
    const int resetsBefore = backoff->resets.load();
    const int nextsBefore = backoff->nexts.load();
    server->stop();
    ASSERT_TRUE(owner->disconnects.waitFor(2));
    ASSERT_TRUE(waitFor([&] { return backoff->nexts.load() >= nextsBefore + 2; }));
    EXPECT_GT(backoff->resets.load(), resetsBefore);
    EXPECT_TRUE(log().contains(ILogger::ERROR, "Connection refused to " + config.serverBaseUri));
    EXPECT_EQ(owner->connects.get(), 2);

    startServer(port);
    ASSERT_TRUE(owner->connects.waitFor(3));
    EXPECT_EQ(owner->disconnects.get(), 2);
    auto subscription =
        manager->subscribeElement(element("media", "tracks", "t2"), [&](JsonObject::Shared) { ++data; });
    EXPECT_TRUE(data.waitFor(1));

    owner->stop();
    drainExecutor();
    EXPECT_EQ(owner->connects.get(), 3);
    EXPECT_EQ(owner->disconnects.get(), 3);
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::DISCONNECTED);
}

TEST_F(WebsocketDevServerTest, ElementDataAndPushesArriveOnTheExecutorUntilGone) {
    std::thread::id worker;
    executor->add([&worker] { worker = std::this_thread::get_id(); }, "probe");
    drainExecutor();

    const std::string original = server->getElement("media", "tracks", "t7")->getString("name");
    auto manager = makeManager(configuration("media"));
    ASSERT_TRUE(connect(*manager));
    struct Seen {
        std::string name;
        std::thread::id thread;
        std::string threadName;
    };
    auto seen = std::make_shared<std::vector<Seen>>();
    auto seenMutex = std::make_shared<std::mutex>();
    auto subscription =
        manager->subscribeElement(element("media", "tracks", "t7"), [seen, seenMutex](JsonObject::Shared data) {
            std::lock_guard<std::mutex> lock(*seenMutex);
            seen->push_back({data->getString("name"), std::this_thread::get_id(), currentThreadName()});
        });
    auto count = [&] {
        std::lock_guard<std::mutex> lock(*seenMutex);
        return seen->size();
    };
    ASSERT_TRUE(waitFor([&] { return count() >= 1; }));

    auto changed = server->getElement("media", "tracks", "t7");
    changed->setString("name", "Renamed Seven");
    server->setElement("media", "tracks", *changed);
    ASSERT_TRUE(waitFor([&] { return count() >= 2; }));
    {
        std::lock_guard<std::mutex> lock(*seenMutex);
        EXPECT_EQ(seen->at(0).name, original);
        EXPECT_EQ(seen->at(1).name, "Renamed Seven");
        for (const auto& delivery : *seen) {
            EXPECT_EQ(delivery.thread, worker) << "callbacks run on the executor's worker";
            EXPECT_NE(delivery.thread, std::this_thread::get_id());
            EXPECT_EQ(delivery.threadName, "wsint-exec");
        }
    }

    // Deleting the element ends the subscription: the callback is removed,
    // and an element created again under the id is not delivered to it.
    ASSERT_TRUE(server->deleteElement("media", "tracks", "t7"));
    ASSERT_TRUE(waitFor([&] {
        return log().contains(ILogger::INFO, "Got gone: removing baseSubscription and callback for event=" +
                                                 subscription->getSubscriptionKey());
    }));
    server->createElement("media", "tracks", *changed);
    changed->setString("name", "Back Again");
    server->setElement("media", "tracks", *changed);
    fence(*manager);
    EXPECT_EQ(count(), 2u);
}

TEST_F(WebsocketDevServerTest, RootSubscriptionOfTheRegistryDeliversTheServiceList) {
    IConfigManager::ServiceConfiguration config;
    config.serviceName = "ServiceRegistry";
    config.serverBaseUri = server->origins().at(0);
    config.serverBasePath = server->registryBaseUri().substr(config.serverBaseUri.size());
    config.separatorAfterResource = "/";
    ASSERT_EQ(config.serverBasePath, "/");
    auto manager = makeManager(config);
    ASSERT_TRUE(connect(*manager));

    auto deliveries = std::make_shared<ArrayDeliveries>();
    auto subscription =
        manager->subscribeRoot(std::make_shared<qel::XObjectDescriptor>(), ArrayDeliveries::recordInto(deliveries));
    ASSERT_TRUE(deliveries->waitForCount(1));
    const auto delivery = deliveries->at(0);
    std::set<std::string> names;
    for (std::size_t i = 0; i < delivery.array->size(); ++i)
        names.insert(delivery.array->getObject(i)->getString("name"));
    EXPECT_EQ(names, (std::set<std::string>{"climate", "media", "navigation"}));
    ASSERT_TRUE(delivery.response && delivery.response->paging.isValid());
    EXPECT_EQ(delivery.response->paging->total.getValue(), static_cast<int64_t>(delivery.array->size()));
    EXPECT_EQ(subscription->getSubscriptionType(), qel::Subscription::ROOT);
}

TEST_F(WebsocketDevServerTest, DisconnectDuringBackoffReturnsWhileUpgradesAreRefused) {
    server->refuseWebSocketUpgrades(60s, 503);
    Counter connects, disconnects;
    auto manager = makeManager(configuration("media"));
    manager->setConnectBackoffGenerator(std::make_shared<FixedBackoff>(60000));
    manager->connectToWebsocketAndThen([&] { ++connects; }, [&] { ++disconnects; });
    ASSERT_TRUE(
        waitFor([&] { return log().contains(ILogger::DEBUG, "waiting 60000 ms before trying to connect again"); }));
    EXPECT_TRUE(log().contains(ILogger::WARNING, "HTTP Response: Status HTTP_SERVICE_UNAVAILABLE "));
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::CONNECTING);

    ASSERT_TRUE(returnsWithin([manager] { manager->disconnect(); }, 10s)) << "disconnect() stayed in the back-off";
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::DISCONNECTED);
    EXPECT_TRUE(disconnects.waitFor(1));
    drainExecutor();
    EXPECT_EQ(connects.get(), 0);
    EXPECT_EQ(disconnects.get(), 1);
}

TEST_F(WebsocketDevServerTest, WatchdogEndsTheConnectionToAStalledServer) {
    // The watchdog logs through the process-wide default factory.
    auto watchdogLoggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeltest::ScopedDefaultLoggerFactory scopedLoggers(watchdogLoggers);
    Counter connects, disconnects;
    auto manager = makeManager(configuration("media", 1000ms, 3000ms));
    manager->connectToWebsocketAndThen([&] { ++connects; }, [&] { ++disconnects; });
    ASSERT_TRUE(connects.waitFor(1));
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 1; }));

    server->stallWebSockets(60s);
    ASSERT_TRUE(disconnects.waitFor(1)) << "no disconnect notice after the pong time-out";
    EXPECT_TRUE(log().contains(ILogger::WARNING, "got notification from watchdog, resetting websocket for:" +
                                                     configuration("media").serverBaseUri + " (MA_WS_media)"));
    EXPECT_TRUE(watchdogLoggers->capture().contains(
        ILogger::INFO, "generated watchdog for service=media with pingInterval=1000 and pongTimeout=3000"));
    EXPECT_TRUE(watchdogLoggers->capture().contains(ILogger::WARNING, "pong timeout!"));
    EXPECT_EQ(manager->getConnectionState(), IWebsocketManager::DISCONNECTED);
    server->clearFaults();
    drainExecutor();
    EXPECT_EQ(disconnects.get(), 1);
}

TEST_F(WebsocketDevServerTest, LastOwnerMayLetGoInsideADataCallback) {
    Counter disconnects;
    auto holder = std::make_shared<std::shared_ptr<DefaultWebsocketManager2>>(makeManager(configuration("media")));
    std::weak_ptr<DefaultWebsocketManager2> watched = *holder;
    (*holder)->connectToWebsocketAndThen([] {}, [&] { ++disconnects; });
    ASSERT_TRUE(waitFor([&] { return watched.lock()->getConnectionState() == IWebsocketManager::CONNECTED; }));

    // The callback drops the only owner: the manager is destroyed on the
    // executor's worker while its connection thread still receives.
    auto released = std::make_shared<std::atomic<bool>>(false);
    auto subscription =
        (*holder)->subscribeElement(element("media", "tracks", "t3"), [holder, released](JsonObject::Shared) {
            holder->reset();
            *released = true;
        });
    ASSERT_TRUE(waitFor([&] { return released->load(); }));
    EXPECT_TRUE(waitFor([&] { return watched.expired(); }));
    EXPECT_TRUE(disconnects.waitFor(1));
    EXPECT_TRUE(waitFor([&] { return server->webSocketCount() == 0; }));
    subscription.reset();  // its manager is gone: nothing to unsubscribe
    drainExecutor();
    EXPECT_EQ(disconnects.get(), 1);
}

TEST_F(WebsocketDevServerTest, LastOwnerMayLetGoInsideTheDisconnectNotice) {
    Counter connects;
    auto holder = std::make_shared<std::shared_ptr<DefaultWebsocketManager2>>(makeManager(configuration("media")));
    std::weak_ptr<DefaultWebsocketManager2> watched = *holder;
    auto released = std::make_shared<std::atomic<bool>>(false);
    (*holder)->connectToWebsocketAndThen([&] { ++connects; },
                                         [holder, released] {
                                             holder->reset();
                                             *released = true;
                                         });
    ASSERT_TRUE(connects.waitFor(1));
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 1; }));
    holder.reset();  // the pending disconnect notice now holds the only owner

    server->dropWebSockets();
    ASSERT_TRUE(waitFor([&] { return released->load(); }));
    EXPECT_TRUE(waitFor([&] { return watched.expired(); }));
    drainExecutor();
}

}  // namespace
}  // namespace wsint
