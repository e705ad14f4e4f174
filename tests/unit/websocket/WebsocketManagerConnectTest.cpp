// Connection phase of DefaultWebsocketManager2 against a scripted peer on
// loopback: the upgrade request, retries, one-shot notices, disconnect and
// the lifetime of the connection thread.

#include "support/WebsocketManagerHarness.h"

#include <QelAccessUtility/SerialTaskExecutor.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <mutex>
#include <vector>

using qel::IWebsocketManager;
using qelutil::ILogger;
using qeltest::ScriptedWebSocketPeer;
using qeltest::waitFor;

namespace {

const std::string kConnectTask = "WS -> Connect callback";
const std::string kDisconnectTask = "WS -> Disconnect callback";

// Names of the threads of this process, as the system keeps them.
std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return names;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names.push_back(name);
    }
    closedir(tasks);
    return names;
}

class WebsocketManagerConnectTest : public ::testing::Test {
protected:
    qeltest::WebsocketManagerHarness h;
};

TEST_F(WebsocketManagerConnectTest, RetriesUntilUpgradedThenPostsEveryPendingConnectNoticeOnceInOrder) {
    h.peer.setUpgradeMode(ScriptedWebSocketPeer::UpgradeMode::REFUSE, 503);
    auto manager = h.makeManager();
    std::vector<int> order;
    manager->connectToWebsocketAndThen([&] { order.push_back(1); }, [] {});
    ASSERT_TRUE(h.peer.waitForUpgrades(1));
    EXPECT_EQ(IWebsocketManager::CONNECTING, manager->getConnectionState());
    manager->connectToWebsocketAndThen([&] { order.push_back(2); }, [] {});

    ASSERT_TRUE(waitFor([&] { return h.log().contains(ILogger::WARNING, "HTTP Response: Status HTTP_SERVICE_UNAVAILABLE "); }));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "HTTP Response: 503, Reason: Service Unavailable"));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "HTTP Response: Status:  503"));
    EXPECT_EQ(0u, h.executor->pending());

    h.peer.setUpgradeMode(ScriptedWebSocketPeer::UpgradeMode::ACCEPT);
    ASSERT_TRUE(h.waitForPostedTasks(kConnectTask, 2));
    EXPECT_EQ(IWebsocketManager::CONNECTED, manager->getConnectionState());
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "successfully connected to : " + h.peer.baseUri() + " (MA_WS_svc)"));
    h.executor->runAll();
    EXPECT_EQ((std::vector<int>{1, 2}), order);

    // Connected already: the notice is posted inside the call, not run in it.
    manager->connectToWebsocketAndThen([&] { order.push_back(3); }, [] {});
    EXPECT_EQ(std::vector<std::string>{kConnectTask}, h.executor->pendingNames());
    EXPECT_EQ(2u, order.size());
    h.executor->runAll();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    EXPECT_EQ(3u, h.postedTasks(kConnectTask));
    EXPECT_TRUE(h.peer.waitForOpenConnections(1));

    const auto upgrade = h.peer.upgrades().back();
    EXPECT_EQ("GET", upgrade.method);
    EXPECT_EQ("/qel/", upgrade.uri);
    EXPECT_EQ(h.peer.baseUri(), upgrade.header("origin"));
    EXPECT_EQ("127.0.0.1:" + std::to_string(h.peer.port()), upgrade.header("Host"));
    EXPECT_FALSE(upgrade.hasHeader("User-Agent"));

    manager->disconnect();
    EXPECT_EQ(3u, h.postedTasks(kConnectTask));
    EXPECT_EQ(2u + 1u, h.postedTasks(kDisconnectTask));  // one per registered pair
}

TEST_F(WebsocketManagerConnectTest, UserAgentIsTheEventPrefixWithoutItsTrailingUnderscore) {
    qel::DefaultWebsocketManager2::setSubscriptionEventPrefix("APP_");
    auto manager = h.makeManager();
    ASSERT_TRUE(h.connect(*manager));
    EXPECT_EQ("APP", h.peer.upgrades().at(0).header("User-Agent"));
    EXPECT_EQ("APP_", qel::DefaultWebsocketManager2::getSubscriptionEventPrefix());
    manager->disconnect();
    qel::DefaultWebsocketManager2::setSubscriptionEventPrefix(qel::DefaultWebsocketManager2::DEFAULT_SUBSCRIPTION_EVENT_PREFIX);
}

TEST_F(WebsocketManagerConnectTest, LostConnectionPostsDisconnectNoticeOnceAndTheNoticeCanReconnect) {
    auto manager = h.makeManager();
    int connects = 0;
    int disconnects = 0;
    manager->connectToWebsocketAndThen([&] { ++connects; },
                                       [&] {
                                           ++disconnects;
                                           manager->connectToWebsocketAndThen([&] { ++connects; }, [&] { ++disconnects; });
                                       });
    ASSERT_TRUE(h.peer.waitForOpenConnections(1));
    ASSERT_TRUE(h.waitForPostedTasks(kConnectTask, 1));

    h.peer.dropConnections();
    ASSERT_TRUE(h.waitForPostedTasks(kDisconnectTask, 1));
    EXPECT_TRUE(waitFor([&] { return manager->getConnectionState() == IWebsocketManager::DISCONNECTED; }));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING,
                                 "Received 0 bytes from receiveFrame -> connection was lost -> resetting connection, "
                                 "threadName=MA_WS_svc"));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "svc service disconnected"));

    h.executor->runAll();  // the disconnect notice connects again
    ASSERT_TRUE(h.waitForPostedTasks(kConnectTask, 2));
    ASSERT_TRUE(h.peer.waitForOpenConnections(1));
    h.executor->runAll();
    EXPECT_EQ(2, connects);
    EXPECT_EQ(1, disconnects);
    EXPECT_EQ(2u, h.peer.upgrades().size());
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));

    manager->disconnect();
    h.executor->runAll();
    EXPECT_EQ(2, disconnects);
}

TEST_F(WebsocketManagerConnectTest, DisconnectDuringBackoffEndsTheWaitAndPostsTheDisconnectNotice) {
    h.peer.setUpgradeMode(ScriptedWebSocketPeer::UpgradeMode::REFUSE, 404);
    auto manager = h.makeManager();
    manager->setConnectBackoffGenerator(std::make_shared<qeltest::FixedBackoff>(3600 * 1000));
    manager->connectToWebsocketAndThen([] {}, [] {});
    ASSERT_TRUE(waitFor([&] {
        return h.log().contains(ILogger::DEBUG, "waiting 3600000 ms before trying to connect again to:" +
                                                     h.peer.baseUri() + " (MA_WS_svc)");
    }));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "HTTP Response: Status HTTP_NOT_FOUND "));

    manager->disconnect();  // would wait an hour without the wake-up
    EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));
    EXPECT_EQ(0u, h.postedTasks(kConnectTask));
    EXPECT_EQ(1u, h.peer.upgrades().size());
    manager->disconnect();
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));
}

TEST_F(WebsocketManagerConnectTest, PeerThatNeverAnswersTheUpgradeDoesNotHoldUpDisconnect) {
    h.peer.setUpgradeMode(ScriptedWebSocketPeer::UpgradeMode::SILENT);
    auto manager = h.makeManager();
    manager->connectToWebsocketAndThen([] {}, [] {});
    ASSERT_TRUE(h.peer.waitForUpgrades(1));

    manager->disconnect();
    EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));
    // The handshake was cut short, not left to run into its time-out.
    EXPECT_FALSE(h.log().contains(ILogger::ERROR, "WebSocket Connection not possible to:"));
}

TEST_F(WebsocketManagerConnectTest, DisconnectWithoutConnectionOrTwiceDoesNothingMore) {
    auto manager = h.makeManager();
    manager->disconnect();
    manager->disconnect();
    EXPECT_EQ(0u, h.executor->history().size());

    ASSERT_TRUE(h.connect(*manager));
    manager->disconnect();
    manager->disconnect();
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));
    EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
    // A requested stop says goodbye with a CLOSE frame.
    EXPECT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_CLOSE, 1));
    EXPECT_TRUE(h.peer.waitForOpenConnections(0));
}

TEST_F(WebsocketManagerConnectTest, ThreadNameIsCutToFifteenCharactersForTheSystem) {
    auto manager = h.makeManager(h.configuration(), "MA_WS_averylongservicename");
    ASSERT_TRUE(h.connect(*manager));
    const auto names = threadNames();
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "MA_WS_averylong")) << ::testing::PrintToString(names);
    EXPECT_EQ("MA_WS_averylongservicename", manager->getThreadName());
    EXPECT_FALSE(h.log().contains(ILogger::WARNING, "could not set thread name="));
    manager->disconnect();
}

TEST_F(WebsocketManagerConnectTest, RefusedTcpConnectionIsLoggedAndRetried) {
    uint16_t closedPort = 0;
    {
        Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
        closedPort = probe.address().port();
    }
    auto config = h.configuration();
    config.serverBaseUri = "http://127.0.0.1:" + std::to_string(closedPort);
    auto manager = h.makeManager(config);
    manager->connectToWebsocketAndThen([] {}, [] {});
    const std::string refused = "Connection refused to " + config.serverBaseUri + " (MA_WS_svc), try again later: ";
    EXPECT_TRUE(waitFor([&] { return h.log().count(ILogger::ERROR, refused) >= 2; }));
    EXPECT_EQ(IWebsocketManager::CONNECTING, manager->getConnectionState());
    manager->disconnect();
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));
}

TEST_F(WebsocketManagerConnectTest, SendPingSendsExactlyTheGivenBytes) {
    auto manager = h.makeManager();
    EXPECT_FALSE(manager->sendPing("QELA", 4));  // not connected
    EXPECT_TRUE(h.log().contains(ILogger::WARNING,
                                 "StdException error in send thread, what=could not send ws frame, threadName=MA_WS_svc"));

    ASSERT_TRUE(h.connect(*manager));
    EXPECT_FALSE(manager->sendPing(nullptr, 4));
    const std::string withZeros("a\0b\0", 4);
    EXPECT_TRUE(manager->sendPing(withZeros.data(), 3));
    EXPECT_TRUE(manager->sendPing(nullptr, 0));
    ASSERT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_PING, 2));
    const auto pings = h.peer.frames(ScriptedWebSocketPeer::OP_PING);
    ASSERT_EQ(2u, pings.size());
    EXPECT_EQ(std::string("a\0b", 3), pings[0].payload);
    EXPECT_EQ("", pings[1].payload);
    manager->disconnect();
}

TEST_F(WebsocketManagerConnectTest, ReleasingTheLastOwnerInsideACallbackDisconnects) {
    auto executor = std::make_shared<qelutil::SerialTaskExecutor>("ws-callbacks");
    auto manager = std::make_shared<qel::DefaultWebsocketManager2>(h.configuration(), "MA_WS_svc", executor, h.loggers);
    std::weak_ptr<qel::DefaultWebsocketManager2> weak = manager;
    auto holder = std::make_shared<std::shared_ptr<qel::DefaultWebsocketManager2>>(std::move(manager));
    std::mutex mutex;
    bool disconnected = false;
    (*holder)->connectToWebsocketAndThen([holder] { holder->reset(); },
                                         [&] {
                                             std::lock_guard<std::mutex> lock(mutex);
                                             disconnected = true;
                                         });
    // The notice drops the last owner on the executor's thread; the
    // destructor stops and joins the connection thread.
    EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
    EXPECT_TRUE(h.peer.waitForOpenConnections(0));
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return disconnected;
    }));
    executor->shutdown();
}

TEST_F(WebsocketManagerConnectTest, ReleasingTheLastOwnerOnTheConnectionThreadDetachesIt) {
    qeltest::ScopedDefaultLoggerFactory watchdogLog(h.loggers);
    auto manager = h.makeManager(h.configuration(std::chrono::milliseconds(1000), std::chrono::milliseconds(3000)));
    ASSERT_TRUE(h.connect(*manager));
    ASSERT_TRUE(waitFor([&] { return h.log().contains(ILogger::INFO, "generated watchdog for service=svc"); }));
    std::weak_ptr<qel::DefaultWebsocketManager2> weak = manager;
    manager.reset();
    // The watchdog of the running connection keeps the manager.
    EXPECT_FALSE(weak.expired());

    h.peer.dropConnections();
    // The receive phase ends and lets go of the last reference on the
    // connection thread itself.
    EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));
}

}  // namespace
