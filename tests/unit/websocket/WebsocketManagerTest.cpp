// DefaultWebsocketManager2 against a scripted peer on loopback: the upgrade,
// retries and notices, one manager per origin, the wire text of subscribe
// and unsubscribe messages, the receive loop (framing, pings, bad and hostile
// input, size limits, CLOSE) and the watchdog; then the watchdog and the
// back-off sequences on their own.

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/MockWebsocketManager.h"
#include "support/ScriptedWebSocketPeer.h"
#include "support/TestText.h"
#include "support/WaitFor.h"

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/FibonacciConnectionBackoffSequence.h>
#include <QelAccess/KavoConnectionBackoffSequence.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/WebsocketWatchdog.h>
#include <QelAccess/XObjectDescriptor.h>
#include <QelAccessUtility/SerialTaskExecutor.h>

#include <Poco/Net/ServerSocket.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <array>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using qel::IWebsocketManager;
using qel::Subscription;
using qelutil::ILogger;
using qeltest::waitFor;
using Peer = qeltest::ScriptedWebSocketPeer;
using std::chrono::milliseconds;
using ::testing::_;
using namespace std::chrono_literals;

namespace {

const std::string kConnectTask = "WS -> Connect callback";
const std::string kDisconnectTask = "WS -> Disconnect callback";

std::string dataMessage(const std::string& event, const std::string& data) {
    return R"({"type":"data","event":")" + event + R"(","data":)" + data + "}";
}

std::shared_ptr<qel::XObjectDescriptor> element(const std::string& id) {
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
    descriptor->setId(id);
    return descriptor;
}

long tagOf(const std::string& key) { return std::stol(key.substr(key.rfind('#') + 1)); }

std::string subscribeText(const std::string& key, const std::string& extra = std::string()) {
    return R"({"type":"subscribe","event":")" + key + "\"" + extra + "}";
}


/// Waits between connection attempts of one fixed length, counting its use.
struct FixedBackoff : qelutil::INumberSequence {
    explicit FixedBackoff(int64_t milliseconds) : wait(milliseconds) {}
    int64_t next() override { return ++nexts, wait; }
    void reset() override { ++resets; }
    int64_t wait;
    std::atomic<int> nexts{0}, resets{0};
};

/// A loopback origin on which nothing listens: every connect attempt is refused.
std::string refusingOrigin() {
    return "http://127.0.0.1:" +
           std::to_string(Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)).address().port());
}

/// Managers pointed at a scripted peer: loggers capture their lines, and
/// every notice and data callback waits in a manual executor until the test
/// runs it.
class WebsocketManagerTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (manager) manager->disconnect();
    }

    /// Service "svc" at the peer, base path "/qel/", the watchdog off unless timings are given.
    qel::IConfigManager::ServiceConfiguration configuration(milliseconds pingInterval = milliseconds(0),
                                                            milliseconds pongTimeout = milliseconds(0)) const {
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
    std::shared_ptr<qel::DefaultWebsocketManager2> makeManager(const qel::IConfigManager::ServiceConfiguration& config,
                                                               const std::string& threadName = "MA_WS_svc") {
        auto made = std::make_shared<qel::DefaultWebsocketManager2>(config, threadName, executor, loggers);
        made->setConnectBackoffGenerator(std::make_shared<FixedBackoff>(10));
        return made;
    }
    std::shared_ptr<qel::DefaultWebsocketManager2> makeManager() { return makeManager(configuration()); }
    IWebsocketManager::Shared create(const std::string& service, const std::string& origin,
                                     qel::DefaultWebsocketManagerFactory* from = nullptr) {
        auto config = configuration();
        config.serviceName = service;
        config.serverBaseUri = origin;
        return (from ? *from : factory).createWebsocketManager(config, executor, loggers);
    }
    /// Connects with empty notices until the manager and the peer both see `open` connections.
    bool connect(qel::DefaultWebsocketManager2& target, std::size_t open = 1) {
        target.connectToWebsocketAndThen([] {}, [] {});
        return waitFor([&] { return target.getConnectionState() == IWebsocketManager::CONNECTED; }) &&
               peer.waitForOpenConnections(open);
    }
    /// How many tasks named `name` were ever posted.
    std::size_t postedTasks(const std::string& name) const {
        const auto history = executor->history();
        return static_cast<std::size_t>(std::count(history.begin(), history.end(), name));
    }
    bool waitForPostedTasks(const std::string& name, std::size_t count) const {
        return waitFor([&] { return postedTasks(name) >= count; });
    }

    /// A connected manager, with element "e1" subscribed unless told not to.
    void start(const qel::IConfigManager::ServiceConfiguration& config, std::size_t maxMessageSize = 0,
               bool subscribe = true) {
        if (manager) manager->disconnect();
        manager = makeManager(config);
        if (maxMessageSize > 0) manager->setMaxMessageSize(maxMessageSize);
        ASSERT_TRUE(connect(*manager));
        executor->runAll();
        if (subscribe) subscribeElement();
    }
    void start() { start(configuration()); }

    void subscribeElement() {
        const std::size_t sent = peer.messages().size();
        elementHandle = manager->subscribeElement(element("e1"), [this](qelutil::JsonObject::Shared object) {
            elements.push_back(object->toString());
            if (object->has("boom")) throw std::runtime_error("boom");
        });
        ASSERT_TRUE(peer.waitForMessages(sent + 1));
        executor->runAll();
        elements.clear();
    }

    const std::string& key() const { return elementHandle->getSubscriptionKey(); }

    /// Runs the queued callbacks until `count` updates of `received` arrived.
    bool deliver(std::size_t count, const std::vector<std::string>& received) {
        return waitFor([&] { return executor->runAll(), received.size() >= count; });
    }
    bool deliver(std::size_t count) { return deliver(count, elements); }

    bool sendTexts(const std::vector<std::string>& texts) {
        return std::all_of(texts.begin(), texts.end(), [this](const std::string& text) { return peer.sendText(text); });
    }

    /// A ping answered proves that every frame sent before it was handled.
    void roundTrip() {
        const std::size_t pongs = peer.frames(Peer::OP_PONG).size();
        ASSERT_TRUE(peer.sendFrame(Peer::OP_PING, true, "sync"));
        ASSERT_TRUE(peer.waitForFrames(Peer::OP_PONG, pongs + 1));
    }

    /// The connection still carries data: a fresh element update arrives.
    void expectAlive(const std::string& marker) {
        const std::string object = R"({"marker":")" + marker + R"("})";
        ASSERT_TRUE(peer.sendText(dataMessage(key(), object)));
        ASSERT_TRUE(waitFor([&] { return executor->runAll(), !elements.empty() && elements.back() == object; }));
        EXPECT_EQ(IWebsocketManager::CONNECTED, manager->getConnectionState());
    }

    /// The last message the peer received, once `count` have arrived.
    std::string message(std::size_t count) {
        EXPECT_TRUE(peer.waitForMessages(count));
        const auto messages = peer.messages();
        return messages.size() >= count ? messages[count - 1] : std::string();
    }

    bool contains(ILogger::LogLevel level, const std::string& text) { return loggers->capture().contains(level, text); }
    std::size_t count(ILogger::LogLevel level, const std::string& text) {
        return loggers->capture().count(level, text);
    }

    Peer peer;
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::ManualTaskExecutor> executor = std::make_shared<qeltest::ManualTaskExecutor>();
    qel::DefaultWebsocketManagerFactory factory;
    std::shared_ptr<qel::DefaultWebsocketManager2> manager;
    std::shared_ptr<Subscription> elementHandle;
    std::vector<std::string> elements;
    const qel::IWebsocketManager::ElementCallback ignoreElement = [](qelutil::JsonObject::Shared) {};
    const qel::IWebsocketManager::ArrayCallback ignoreArray = [](qelutil::JsonArray::Shared,
                                                                 std::shared_ptr<const qel::SubscriptionResponse>) {};
};

// ---- connection phase

TEST_F(WebsocketManagerTest, RetriesUntilUpgradedThenPostsEveryPendingNoticeOnceInOrderAndANoticeMayReconnect) {
    peer.setUpgradeMode(Peer::UpgradeMode::REFUSE, 503);
    manager = makeManager();
    std::vector<int> order;
    manager->connectToWebsocketAndThen([&] { order.push_back(1); }, [&] { order.push_back(-1); });
    ASSERT_TRUE(peer.waitForUpgrades(1));
    EXPECT_EQ(IWebsocketManager::CONNECTING, manager->getConnectionState());
    manager->connectToWebsocketAndThen([&] { order.push_back(2); }, [&] { order.push_back(-2); });
    ASSERT_TRUE(waitFor([&] { return contains(ILogger::WARNING, "HTTP Response: Status HTTP_SERVICE_UNAVAILABLE "); }));
    EXPECT_EQ(0u, executor->pending());

    peer.setUpgradeMode(Peer::UpgradeMode::ACCEPT);
    ASSERT_TRUE(waitForPostedTasks(kConnectTask, 2));
    EXPECT_EQ(IWebsocketManager::CONNECTED, manager->getConnectionState());
    executor->runAll();
    EXPECT_EQ((std::vector<int>{1, 2}), order);
    // Connected already: the notice is posted inside the call, not run in it.
    // This pair's disconnect notice connects again.
    manager->connectToWebsocketAndThen([&] { order.push_back(3); }, [&] {
        order.push_back(-3);
        manager->connectToWebsocketAndThen([&] { order.push_back(4); }, [] {});
    });
    EXPECT_EQ(std::vector<std::string>{kConnectTask}, executor->pendingNames());
    executor->runAll();

    EXPECT_EQ("/qel/", peer.upgrades().back().uri);
    EXPECT_EQ(peer.baseUri(), peer.upgrades().back().header("origin"));
    EXPECT_FALSE(peer.upgrades().back().hasHeader("User-Agent"));
    // A lost connection posts every pending disconnect notice once, in order;
    // stopping afterwards posts nothing more.
    peer.dropConnections();
    ASSERT_TRUE(waitForPostedTasks(kDisconnectTask, 3));
    EXPECT_TRUE(contains(ILogger::INFO, "svc service disconnected"));
    manager->disconnect();
    EXPECT_EQ(3u, executor->runAll());
    ASSERT_TRUE(waitForPostedTasks(kConnectTask, 4));
    EXPECT_TRUE(peer.waitForOpenConnections(1));
    executor->runAll();
    EXPECT_EQ((std::vector<int>{1, 2, 3, -1, -2, -3, 4}), order);
    EXPECT_EQ(3u, postedTasks(kDisconnectTask));
}

TEST_F(WebsocketManagerTest, DisconnectEndsBackoffAndSilentUpgradesAndPostsOneNoticeEach) {
    manager = makeManager();
    manager->disconnect();
    manager->disconnect();
    EXPECT_EQ(0u, executor->history().size());
    // A refused upgrade followed by an hour's back-off, and a peer that
    // never answers the upgrade: disconnect returns at once from both.
    for (const auto mode : {Peer::UpgradeMode::REFUSE, Peer::UpgradeMode::SILENT}) {
        peer.setUpgradeMode(mode, 404);
        const std::size_t upgrades = peer.upgrades().size();
        manager = makeManager();
        manager->setConnectBackoffGenerator(std::make_shared<FixedBackoff>(3600 * 1000));
        manager->connectToWebsocketAndThen([] {}, [] {});
        ASSERT_TRUE(peer.waitForUpgrades(upgrades + 1));
        if (mode == Peer::UpgradeMode::REFUSE) {
            ASSERT_TRUE(waitFor([&] {
                return contains(ILogger::DEBUG, "waiting 3600000 ms before trying to connect again to:" +
                                                    peer.baseUri() + " (MA_WS_svc)");
            }));
            EXPECT_TRUE(contains(ILogger::WARNING, "HTTP Response: Status HTTP_NOT_FOUND "));
        }
        manager->disconnect();
        manager->disconnect();
        EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
        EXPECT_EQ(upgrades + 1, peer.upgrades().size());
    }
    EXPECT_EQ(2u, postedTasks(kDisconnectTask));
    EXPECT_EQ(0u, postedTasks(kConnectTask));
    // The handshake was cut short, not left to run into its time-out.
    EXPECT_FALSE(contains(ILogger::ERROR, "WebSocket Connection not possible to:"));
}

TEST_F(WebsocketManagerTest, EventPrefixIsTheUserAgentAndPrecedesTheTagAndTheThreadNameIsCutForTheSystem) {
    qel::DefaultWebsocketManager2::setSubscriptionEventPrefix("APP_");
    manager = makeManager(configuration(), "MA_WS_averylongservicename");
    ASSERT_TRUE(connect(*manager));
    auto subscription = manager->subscribeElement(element("e1"), ignoreElement);
    qel::DefaultWebsocketManager2::setSubscriptionEventPrefix(
        qel::DefaultWebsocketManager2::DEFAULT_SUBSCRIPTION_EVENT_PREFIX);
    EXPECT_EQ("APP", peer.upgrades().at(0).header("User-Agent"));
    const std::string key = subscription->getSubscriptionKey();
    EXPECT_EQ("APP_", key.substr(key.rfind('#') + 1, 4));
    EXPECT_NO_THROW(std::stol(key.substr(key.rfind('#') + 5)));
    // The system takes 15 characters at most: the name is cut, not refused.
    EXPECT_FALSE(contains(ILogger::WARNING, "could not set thread name="));
}

TEST_F(WebsocketManagerTest, SendPingSendsExactlyTheGivenBytes) {
    manager = makeManager();
    EXPECT_FALSE(manager->sendPing("QELA", 4));  // not connected
    ASSERT_TRUE(connect(*manager));
    EXPECT_FALSE(manager->sendPing(nullptr, 4));
    EXPECT_TRUE(manager->sendPing(std::string("a\0b\0", 4).data(), 3));
    EXPECT_TRUE(manager->sendPing(nullptr, 0));
    ASSERT_TRUE(peer.waitForFrames(Peer::OP_PING, 2));
    EXPECT_EQ(std::string("a\0b", 3), peer.frames(Peer::OP_PING).at(0).payload);
    EXPECT_EQ("", peer.frames(Peer::OP_PING).at(1).payload);
}

TEST_F(WebsocketManagerTest, ReleasingTheLastOwnerInsideACallbackOrOnTheConnectionThreadEndsIt) {
    auto executor = std::make_shared<qelutil::SerialTaskExecutor>("ws-callbacks");
    auto holder = std::make_shared<std::shared_ptr<qel::DefaultWebsocketManager2>>(
        std::make_shared<qel::DefaultWebsocketManager2>(configuration(), "MA_WS_svc", executor, loggers));
    std::weak_ptr<qel::DefaultWebsocketManager2> weak = *holder;
    auto disconnected = std::make_shared<std::atomic<bool>>(false);
    (*holder)->connectToWebsocketAndThen([holder] { holder->reset(); }, [disconnected] { *disconnected = true; });
    // The notice drops the last owner on the executor's thread; the
    // destructor stops and joins the connection thread.
    EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
    EXPECT_TRUE(peer.waitForOpenConnections(0));
    EXPECT_TRUE(waitFor([&] { return disconnected->load(); }));
    executor->shutdown();

    // The watchdog of a running connection keeps the manager; the receive
    // phase lets go of the last reference on the connection thread itself.
    qeltest::ScopedDefaultLoggerFactory watchdogLog(loggers);
    auto owned = makeManager(configuration(milliseconds(1000), milliseconds(3000)));
    ASSERT_TRUE(connect(*owned));
    ASSERT_TRUE(waitFor([&] { return contains(ILogger::INFO, "generated watchdog for service=svc"); }));
    weak = owned;
    owned.reset();
    EXPECT_FALSE(weak.expired());
    peer.dropConnections();
    EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
    EXPECT_EQ(1u, postedTasks(kDisconnectTask));
}

// ---- one manager per origin

TEST_F(WebsocketManagerTest, FactoryKeepsOneManagerPerOriginWithThePickedBackoffUntilDestroyed) {
    auto sequence = std::make_shared<FixedBackoff>(20);
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
    EXPECT_TRUE(
        contains(ILogger::INFO,
                 "DefaultWebsocketManager: creating new Websocket Manager for service=navigation, origin=" + origin));
    EXPECT_TRUE(contains(ILogger::INFO,
                         "DefaultWebsocketManager: reusing Websocket Manager for service=media, origin=" + origin));
    EXPECT_EQ(factory.createWebsocketManager(configuration(), executor, nullptr), nullptr);
    // The refused connection retries through the picked sequence.
    std::atomic<int> disconnected{0};
    first->connectToWebsocketAndThen([] {}, [&] { ++disconnected; });
    EXPECT_TRUE(waitFor([&] { return sequence->nexts.load() >= 2; }));
    EXPECT_TRUE(contains(ILogger::ERROR, "Connection refused to " + origin + " (MA_WS_navigation), try again later: "));
    EXPECT_GE(sequence->resets.load(), 1);
    // Destroyed, it disconnects, posts its notice once and is forgotten.
    factory.destroyWebsocketManager(origin);
    EXPECT_TRUE(contains(ILogger::DEBUG, "destroyWebsocketManager: disconnect: " + origin));
    EXPECT_EQ(first->getConnectionState(), IWebsocketManager::DISCONNECTED);
    executor->runAll();
    EXPECT_EQ(disconnected.load(), 1);
    EXPECT_NE(create("media", origin), first);
    // A factory that goes disconnects its managers.
    IWebsocketManager::Shared held;
    {
        qel::DefaultWebsocketManagerFactory local;
        held = create("a", refusingOrigin(), &local);
        held->connectToWebsocketAndThen([] {}, [] {});
    }
    EXPECT_EQ(held->getConnectionState(), IWebsocketManager::DISCONNECTED);
}

TEST_F(WebsocketManagerTest, FactoryConcurrentCallersShareOneManagerPerOrigin) {
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
}

TEST_F(WebsocketManagerTest, FactoryServicesOfOneOriginShareOneConnectionUntilAllAreStoppedAndForgotten) {
    auto first = create("navigation", peer.baseUri());
    ASSERT_EQ(first, create("media", peer.baseUri()));
    first->connectToWebsocketAndThen([] {}, [] {});
    first->connectToWebsocketAndThen([] {}, [] {});
    ASSERT_TRUE(waitFor([&] { return first->getConnectionState() == IWebsocketManager::CONNECTED; }));
    EXPECT_TRUE(peer.waitForOpenConnections(1));
    EXPECT_EQ(peer.upgrades().size(), 1u);
    factory.stopAndClearAll();
    EXPECT_EQ(first->getConnectionState(), IWebsocketManager::DISCONNECTED);
    EXPECT_TRUE(peer.waitForOpenConnections(0));
    EXPECT_NE(create("media", peer.baseUri()), first);
}

// ---- subscribe and unsubscribe on the wire

TEST_F(WebsocketManagerTest, SubscribeMessagesCarryKeyTagsAndAtMostOneTiming) {
    start(configuration(), 0, false);
    auto queried = element("e2");
    queried->getQueryOptions().setFieldsFilter({"a", "b"});
    queried->getQueryOptions().setPagingLimit(5);
    auto tracks = std::make_shared<qel::QelResourceDescriptor>("svc", "tracks");
    auto filtered = std::make_shared<qel::QelResourceDescriptor>("svc", "tracks");
    filtered->getQelFilter().add("genre", "rock");
    filtered->getQueryOptions().setPagingLimit(20);
    filtered->setExpandLevel(qel::QueryOptions::LEVEL_ONE);
    const auto root = std::make_shared<qel::XObjectDescriptor>();
    struct Case { std::function<std::shared_ptr<Subscription>()> subscribe; std::string path, timing, logged; };
    const std::vector<Case> cases{
        {[&] { return manager->subscribeElement(element("e1"), ignoreElement); }, "/qel/svc/res/e1", "",
         "subscribing element with message="},
        {[&] { return manager->subscribeElementWithInterval(queried, ignoreElement, milliseconds(500)); },
         "/qel/svc/res/e2?$fields=a,b&$limit=5", R"(,"interval":500)", ""},
        {[&] { return manager->subscribeElementWithUpdateLimit(element("e3"), ignoreElement, milliseconds(-250)); },
         "/qel/svc/res/e3", R"(,"updatelimit":-250)", ""},
        {[&] { return manager->subscribeResource(tracks, ignoreArray); }, "/qel/svc/tracks/", "",
         "subscribing to resource with message= "},
        {[&] { return manager->subscribeResource(filtered, ignoreArray); },
         "/qel/svc/tracks/?$expand=1&$limit=20&genre=rock", "", ""},
        {[&] { return manager->subscribeRoot(root, ignoreArray); }, "/qel/", "", "subscribing to root with message="},
        {[&] { return manager->subscribeRootWithUpdateLimit(root, ignoreArray, milliseconds(1000)); }, "/qel/",
         R"(,"updatelimit":1000)", ""}};
    std::vector<std::shared_ptr<Subscription>> handles;
    for (const auto& c : cases) {
        handles.push_back(c.subscribe());
        const std::string key = handles.back()->getSubscriptionKey();
        EXPECT_EQ(c.path + "#" + std::to_string(tagOf(handles[0]->getSubscriptionKey()) + handles.size() - 1), key);
        EXPECT_EQ(subscribeText(key, c.timing), message(handles.size()));
        EXPECT_TRUE(c.logged.empty() || contains(ILogger::INFO, c.logged + message(handles.size()))) << c.logged;
    }
    EXPECT_TRUE(contains(ILogger::WARNING, "subscribing to resource with $expand different to zero, not supported by"));
}

TEST_F(WebsocketManagerTest, FailedSubscribeRegistersNothingAndKeepsTheTag) {
    start(configuration(), 0, false);
    auto first = manager->subscribeElement(element("e0"), ignoreElement);
    const long before = tagOf(first->getSubscriptionKey());
    manager->disconnect();
    const std::string text =
        qeltest::runtimeErrorText([&] { manager->subscribeElement(element("e1"), ignoreElement); });
    EXPECT_EQ("websocket is not connected", text.substr(text.size() - std::min<std::size_t>(26, text.size())));
    ASSERT_TRUE(connect(*manager));
    EXPECT_THROW(manager->subscribeElement(std::make_shared<qel::XObjectDescriptor>("svc", "res"), ignoreElement),
                 std::runtime_error);  // no id
    auto next = manager->subscribeElement(element("e2"), ignoreElement);
    EXPECT_EQ(before + 1, tagOf(next->getSubscriptionKey()));
    // The failed calls sent nothing: the next message on the wire is this one.
    EXPECT_EQ(subscribeText(next->getSubscriptionKey()), message(2));
}

TEST_F(WebsocketManagerTest, UnsubscribeSendsTheKeyWithoutItsQueryText) {
    start(configuration(), 0, false);
    auto queried = element("e1");
    queried->getQueryOptions().setPagingOffset(40);
    auto subscription = manager->subscribeElement(queried, ignoreElement);
    const std::string key = subscription->getSubscriptionKey();
    ASSERT_NE(std::string::npos, key.find("?$offset=40#"));
    subscription.reset();  // the last reference unsubscribes
    const std::string expected =
        R"({ "type" : "unsubscribe", "event" : "/qel/svc/res/e1)" + key.substr(key.rfind('#')) + R"(" })";
    EXPECT_EQ(expected, message(2));
    EXPECT_TRUE(contains(ILogger::TRACE, "sending unsubscribe message=" + expected));
}

TEST_F(WebsocketManagerTest, QuotesAndBackslashesAreEscapedOnTheWireOnly) {
    start(configuration(), 0, false);
    std::vector<std::string> received;
    auto subscription = manager->subscribeElement(
        element(R"(a"b\c)"), [&](qelutil::JsonObject::Shared object) { received.push_back(object->toString()); });
    const std::string key = subscription->getSubscriptionKey();
    EXPECT_EQ(0u, key.find(R"(/qel/svc/res/a"b\c#)"));
    auto injected = std::make_shared<qel::QelResourceDescriptor>("svc", "tracks");
    injected->getQueryOptions().setPagingOffsetUuid(R"(x","type":"unsubscribe)");
    injected->getQueryOptions().setSortbyFields({{qel::QueryOptions::MINUS, "na\\me\n"}});
    auto resource = manager->subscribeResource(injected, ignoreArray);
    for (const auto& [text, event] :
         {std::make_pair(message(1), key), std::make_pair(message(2), resource->getSubscriptionKey())}) {
        rapidjson::Document wire;
        ASSERT_FALSE(wire.Parse(text.c_str()).HasParseError()) << text;
        ASSERT_EQ(2u, wire.MemberCount()) << text;
        EXPECT_STREQ("subscribe", wire["type"].GetString());
        EXPECT_EQ(event, wire["event"].GetString());
    }
    // The server echoes the event JSON-escaped; it reaches the callback.
    ASSERT_TRUE(peer.sendText(R"({"type":"data","event":"/qel/svc/res/a\"b\\c)" + key.substr(key.rfind('#')) +
                              R"(","data":{"ok":true}})"));
    ASSERT_TRUE(deliver(1, received));
    EXPECT_EQ(std::vector<std::string>{R"({"ok":true})"}, received);
}

// ---- receive loop

TEST_F(WebsocketManagerTest, MessagesAreDispatchedOnceCompleteAcrossFramesAndMessagesAndInOrderWithinOne) {
    start();
    const std::string text = dataMessage(key(), R"({"name":"split {brace} \"quoted\"","n":1})");
    const std::size_t third = text.size() / 3;
    ASSERT_TRUE(peer.sendFrame(Peer::OP_TEXT, false, text.substr(0, third)));
    ASSERT_TRUE(peer.sendFrame(Peer::OP_CONTINUATION, false, text.substr(third, third)));
    roundTrip();  // a ping between fragments is answered and is not part of the message
    EXPECT_EQ(0u, executor->pending());
    ASSERT_TRUE(peer.sendFrame(Peer::OP_CONTINUATION, true, text.substr(2 * third)));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(std::vector<std::string>{R"({"name":"split {brace} \"quoted\"","n":1})"}, elements);
    // An object may even span messages: its head waits in the buffer.
    const std::string spanning = dataMessage(key(), R"({"n":"split"})");
    ASSERT_TRUE(peer.sendText(spanning.substr(0, 10)));
    roundTrip();
    EXPECT_EQ(0u, executor->pending());
    EXPECT_TRUE(contains(
        ILogger::WARNING,
        "Did not parse message, because it is not complete. Waiting for more data. Content size of readBuffer=10"));
    ASSERT_TRUE(sendTexts({spanning.substr(10, 10), spanning.substr(20)}));
    ASSERT_TRUE(deliver(2));
    EXPECT_EQ(R"({"n":"split"})", elements.back());
    // Several objects in one frame run in order, on the executor only, and
    // a callback's throw does not stop the rest.
    ASSERT_TRUE(peer.sendText(dataMessage(key(), R"({"n":1})") + "\n " + dataMessage(key(), R"({"boom":2})") +
                              dataMessage(key(), R"({"n":3})")));
    ASSERT_TRUE(waitFor([&] { return executor->pending() > 0; }));
    EXPECT_EQ(2u, elements.size());
    ASSERT_TRUE(deliver(5));
    EXPECT_EQ((std::vector<std::string>{R"({"n":1})", R"({"boom":2})", R"({"n":3})"}),
              std::vector<std::string>(elements.begin() + 2, elements.end()));
    EXPECT_TRUE(contains(ILogger::WARNING, "threw: boom"));
    // A document that never completes is dropped within eight messages.
    elements.clear();
    ASSERT_TRUE(peer.sendText(R"({"event":"x","data":{)"));
    for (int n = 0; n < 20; ++n) ASSERT_TRUE(peer.sendText(dataMessage(key(), "{\"n\":" + std::to_string(n) + "}")));
    ASSERT_TRUE(waitFor([&] { return executor->runAll(), !elements.empty() && elements.back() == R"({"n":19})"; }));
    EXPECT_TRUE(contains(ILogger::WARNING, "dropped an incomplete message that did not complete within 8"));
    EXPECT_GE(elements.size(), 13u);
}

TEST_F(WebsocketManagerTest, DeliveredJsonIsFreedOnceItsCallbackRanBothWhileConnectedAndAfterTheEnd) {
    start();
    std::weak_ptr<qelutil::JsonObject> seen;
    int calls = 0;
    const auto handle = manager->subscribeElement(element("e2"), [&](qelutil::JsonObject::Shared object) {
        seen = object;
        ++calls;
    });
    const auto received = [&](const std::string& object) {
        return peer.sendText(dataMessage(handle->getSubscriptionKey(), object)) &&
               waitFor([&] { return executor->pending() > 0; });
    };
    // The connection thread takes the JSON back and frees it, even with nothing more to read.
    ASSERT_TRUE(received(R"({"n":1})"));
    executor->runAll();
    ASSERT_EQ(1, calls);
    EXPECT_TRUE(waitFor([&] { return seen.expired(); }));
    // Once the connection has ended, the executor frees it itself.
    ASSERT_TRUE(received(R"({"n":2})"));
    manager->disconnect();
    executor->runAll();
    ASSERT_EQ(2, calls);
    EXPECT_TRUE(seen.expired());
}

TEST_F(WebsocketManagerTest, FramesReadInPiecesOrWithTheUpgradeAnswerDecodeAlikeAndPingsGetTheirPayloadBack) {
    peer.setUpgradeGreeting(Peer::encodeFrame(Peer::OP_PING, true, "hello") +
                            Peer::encodeFrame(Peer::OP_TEXT, true, R"({"type":"greeting"})"));
    start();
    EXPECT_TRUE(waitFor([&] { return contains(ILogger::WARNING, "Got unknown event"); }));
    // Pings inside a fragmented message, pongs (which are no data) and
    // lengths of 7, 16 and 64 bits, read three bytes at a time.
    const std::string big = R"({"blob":")" + std::string(70000, 'b') + R"("})";
    const std::string third = dataMessage(key(), R"({"n":3})");
    const std::vector<std::string> pings{std::string("\0x\0y", 4), "", std::string(125, 'p')};
    const std::string bytes =
        Peer::encodeFrame(Peer::OP_TEXT, true, dataMessage(key(), R"({"n":1})")) +
        Peer::encodeFrame(Peer::OP_PONG, true, "") +
        Peer::encodeFrame(Peer::OP_TEXT, true, dataMessage(key(), R"({"n":2})")) +
        Peer::encodeFrame(Peer::OP_PING, true, pings[0]) +
        Peer::encodeFrame(Peer::OP_TEXT, false, third.substr(0, 20)) +
        Peer::encodeFrame(Peer::OP_PING, true, pings[1]) + Peer::encodeFrame(Peer::OP_CONTINUATION, false, "") +
        Peer::encodeFrame(Peer::OP_CONTINUATION, true, third.substr(20)) +
        Peer::encodeFrame(Peer::OP_PONG, true, R"({"type":"data")") + Peer::encodeFrame(Peer::OP_PING, true, pings[2]) +
        Peer::encodeFrame(Peer::OP_BINARY, true, dataMessage(key(), big));
    ASSERT_TRUE(peer.sendRawInPieces(bytes, 3));
    ASSERT_TRUE(deliver(4));
    EXPECT_EQ((std::vector<std::string>{R"({"n":1})", R"({"n":2})", R"({"n":3})", big}), elements);
    ASSERT_TRUE(peer.waitForFrames(Peer::OP_PONG, 4));
    const auto pongs = peer.frames(Peer::OP_PONG);
    ASSERT_EQ(4u, pongs.size());
    EXPECT_EQ("hello", pongs[0].payload);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(pings[i], pongs[i + 1].payload);
    EXPECT_FALSE(contains(ILogger::WARNING, "Did not parse message"));
    EXPECT_EQ(0u, postedTasks(kDisconnectTask));
}

TEST_F(WebsocketManagerTest,
       GoneRemovesTheSubscriptionAndReleasesSelfHoldingCallbacksWhileOtherErrorsAndBadMessagesOnlyLog) {
    start();
    std::vector<std::string> arrays;
    auto resource = manager->subscribeResource(
        std::make_shared<qel::QelResourceDescriptor>("svc", "tracks"),
        [&arrays](qelutil::JsonArray::Shared array, std::shared_ptr<const qel::SubscriptionResponse>) {
            arrays.push_back(array->toString());
        });
    ASSERT_TRUE(peer.waitForMessages(2));
    const std::string resourceKey = resource->getSubscriptionKey();
    ASSERT_TRUE(sendTexts({R"({"type":"error","event":")" + resourceKey + R"(","message":"Busy"})",
                           R"({"type":"error","event":"other#9","data":"detail text"})",
                           R"({"type":"error"})",
                           R"({"type":"bogus","event":"x"})",
                           R"({"event":"no type"})",
                           R"({"type":"subscribe","event":")" + key() + R"("})",
                           R"({"type":"unsubscribe","event":")" + key() + R"("})",
                           R"({"type":"data","event":")" + key() + R"("})",
                           R"({"type":"data","data":{"no":"event"}})",
                           dataMessage("/qel/svc/res/unknown#99", R"({"a":1})"),
                           dataMessage("/qel/svc/res/#98", R"([1,2])"),
                           R"({"type":"data","event":5,"data":{}})",
                           R"({"type":"data","event":")" + key() + R"(","data":"text"})",
                           R"({"type":"data","event":")" + key() + R"(","data":7})",
                           R"({"type":["data"],"event":")" + key() + R"(","data":{}})",
                           R"({"type":"error","event":{},"message":["Gone"]})",
                           R"({"type":"data","event":"x",]})",
                           "garbage before {\"type\":\"bogus\"}",
                           R"({"type":"data","event":")" + key() + R"(","data":{"deep":)" + std::string(300, '[') +
                               std::string(300, ']') + "}}",
                           dataMessage(resourceKey, R"([{"id":"a"}])")}));
    ASSERT_TRUE(deliver(1, arrays));
    EXPECT_EQ(std::vector<std::string>{R"([{"id":"a"}])"}, arrays);
    // Each line is logged `times` times, or at least once where that is 0.
    for (const auto& [line, times] : std::vector<std::pair<std::string, std::size_t>>{
             {"event=" + resourceKey, 0},
             {"message=Busy", 0},
             {"message=detail text", 0},
             {"event=noEvent", 0},
             {"message=noMessage", 0},
             {"WS -> No callback found for incoming data, event = /qel/svc/res/#98", 0},
             {"dropped data message whose \"event\" is not a string", 0},
             {"Got error", 4},
             {"Got unknown event", 4},
             {"WS -> No callback found for incoming data", 1},
             {"dropped data message whose \"data\" is neither an object nor an array", 2},
             {"dropped received bytes: ", 3}})
        EXPECT_TRUE(times ? count(ILogger::WARNING, line) == times : contains(ILogger::WARNING, line)) << line;

    ASSERT_TRUE(sendTexts({R"({"type":"error","event":")" + resourceKey + R"(","message":"Gone"})",
                           dataMessage(resourceKey, R"([{"id":"b"}])")}));
    roundTrip();
    EXPECT_TRUE(contains(ILogger::INFO, "Got gone: removing baseSubscription and callback for event=" + resourceKey));
    EXPECT_TRUE(contains(ILogger::INFO, "removed subscription with key=" + resourceKey));
    EXPECT_TRUE(contains(ILogger::WARNING, "WS -> No callback found for incoming data, event = " + resourceKey));
    expectAlive("after bad input");
    EXPECT_EQ(0u, postedTasks(kDisconnectTask));

    // A callback holding its own handle: "Gone" takes it out of the map, and
    // the handle then unsubscribes through the manager. A lost connection
    // clears the maps with the same effect.
    const auto selfHolding = [&] {
        auto holder = std::make_shared<std::shared_ptr<Subscription>>();
        *holder = manager->subscribeElement(element("self"), [holder](qelutil::JsonObject::Shared) {});
        return (*holder)->getSubscriptionKey();
    };
    const std::string selfKey = selfHolding();
    ASSERT_TRUE(peer.sendText(R"({"type":"error","event":")" + selfKey + R"(","message":"Gone"})"));
    ASSERT_TRUE(waitFor([&] { return contains(ILogger::INFO, "could not find callback for key=" + selfKey); }));
    const std::string againKey = selfHolding();
    peer.dropConnections();
    ASSERT_TRUE(waitForPostedTasks(kDisconnectTask, 1));
    EXPECT_TRUE(waitFor([&] { return contains(ILogger::INFO, "could not find callback for key=" + againKey); }));
    EXPECT_TRUE(
        waitFor([&] { return contains(ILogger::DEBUG, "cannot unsubscribe because websocket is not connected"); }));
}

TEST_F(WebsocketManagerTest, CloseFrameIsAnsweredOnceAndAStopSendsOneAndBothEndTheConnectionOnce) {
    start();
    ASSERT_TRUE(peer.sendFrame(Peer::OP_CLOSE, true, "\x03\xE9going away"));
    ASSERT_TRUE(waitForPostedTasks(kDisconnectTask, 1));
    EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
    EXPECT_TRUE(peer.waitForOpenConnections(0));
    ASSERT_EQ(1u, peer.frames(Peer::OP_CLOSE).size());
    EXPECT_EQ(std::string("\x03\xE9", 2), peer.frames(Peer::OP_CLOSE)[0].payload);
    EXPECT_FALSE(contains(ILogger::WARNING, "Did not parse message"));
    EXPECT_FALSE(contains(ILogger::WARNING, "dropped received bytes"));
    manager->disconnect();
    EXPECT_EQ(1u, postedTasks(kDisconnectTask));
    // A requested stop says goodbye with a CLOSE frame.
    ASSERT_TRUE(connect(*manager));
    manager->disconnect();
    manager->disconnect();
    EXPECT_EQ(2u, postedTasks(kDisconnectTask));
    EXPECT_TRUE(peer.waitForFrames(Peer::OP_CLOSE, 2));
    EXPECT_TRUE(peer.waitForOpenConnections(0));
}

TEST_F(WebsocketManagerTest, MessagesGrowTheBufferToTheMaximumWhileForbiddenOrOversizedFramesEndTheConnection) {
    start();
    const std::string object = R"({"blob":")" + std::string(300 * 1024, 'x') + R"("})";
    const std::string text = dataMessage(key(), object);
    ASSERT_TRUE(peer.sendText(text));
    std::string fragmented;
    for (std::size_t at = 0; at < text.size(); at += 70 * 1024)
        fragmented += Peer::encodeFrame(at == 0 ? Peer::OP_TEXT : Peer::OP_CONTINUATION, at + 70 * 1024 >= text.size(),
                                        text.substr(at, 70 * 1024));
    ASSERT_TRUE(peer.sendRaw(fragmented));
    ASSERT_TRUE(deliver(2));
    EXPECT_EQ((std::vector<std::string>{object, object}), elements);

    start(configuration(), 4096);
    ASSERT_TRUE(peer.sendText(dataMessage(key(), R"({"fill":")" + std::string(3000, 'f') + R"("})")));
    ASSERT_TRUE(deliver(1));
    elements.clear();
    // A masked text frame carrying a valid message, a reserved opcode,
    // control frames that are fragmented or longer than 125 bytes, one frame
    // over the maximum, a message whose frames add up to more, and a forged
    // header announcing a terabyte.
    const std::string payload = dataMessage(key(), R"({"n":1})");
    const char mask[4] = {0x11, 0x22, 0x33, 0x44};
    std::string masked = std::string("\x81", 1) + static_cast<char>(0x80 | payload.size()) + std::string(mask, 4);
    for (std::size_t i = 0; i < payload.size(); ++i) masked += static_cast<char>(payload[i] ^ mask[i % 4]);
    const std::string exceeds =
        "message exceeds the maximum message size of 4096 bytes -> resetting connection, threadName=MA_WS_svc";
    const std::vector<std::tuple<std::string, ILogger::LogLevel, std::string>> cases{
        {masked, ILogger::WARNING,
         "protocol error from the server: received masked frame, opcode=1, fin=1, length=" +
             std::to_string(payload.size())},
        {std::string("\x83\x01x", 3), ILogger::WARNING,
         "protocol error from the server: received frame with unknown opcode=3"},
        {Peer::encodeFrame(Peer::OP_PING, true, std::string(126, 'p')), ILogger::WARNING,
         "received invalid control frame, opcode=9, fin=1, length=126"},
        {Peer::encodeFrame(Peer::OP_PING, false, "p"), ILogger::WARNING,
         "received invalid control frame, opcode=9, fin=0, length=1"},
        {Peer::encodeFrame(0xB, true, ""), ILogger::WARNING,
         "received invalid control frame, opcode=11, fin=1, length=0"},
        {Peer::encodeFrame(Peer::OP_TEXT, true, dataMessage(key(), std::string(5000, '1'))), ILogger::ERROR, exceeds},
        {Peer::encodeFrame(Peer::OP_TEXT, false, std::string(2000, '{')) +
             Peer::encodeFrame(Peer::OP_CONTINUATION, false, std::string(2000, ' ')) +
             Peer::encodeFrame(Peer::OP_CONTINUATION, true, std::string(2000, '}')),
         ILogger::ERROR, exceeds},
        {Peer::frameHeader(Peer::OP_TEXT, true, 1ULL << 40), ILogger::ERROR, exceeds}};
    for (const auto& [bytes, level, line] : cases) {
        SCOPED_TRACE(line);
        const std::size_t lines = count(level, line), disconnects = postedTasks(kDisconnectTask);
        ASSERT_TRUE(peer.sendRaw(bytes));
        ASSERT_TRUE(waitForPostedTasks(kDisconnectTask, disconnects + 1));
        EXPECT_EQ(lines + 1, count(level, line));
        ASSERT_TRUE(peer.waitForOpenConnections(0));
        executor->runAll();
        EXPECT_TRUE(elements.empty());
        ASSERT_TRUE(connect(*manager));
        subscribeElement();
    }
    expectAlive("after forbidden frames");
}

TEST_F(WebsocketManagerTest, WatchdogPingsASilentPeerAndResetsAfterThePongTimeout) {
    qeltest::ScopedDefaultLoggerFactory watchdogLog(loggers);
    start(configuration(milliseconds(1000), milliseconds(3000)));
    // Answered pings keep the connection beyond the pong time-out.
    ASSERT_TRUE(peer.waitForFrames(Peer::OP_PING, 4));
    EXPECT_EQ("QELA", peer.frames(Peer::OP_PING).at(0).payload);
    EXPECT_EQ(0u, postedTasks(kDisconnectTask));
    peer.setAnswerPings(false);
    ASSERT_TRUE(waitForPostedTasks(kDisconnectTask, 1));
    EXPECT_TRUE(contains(ILogger::WARNING, "pong timeout!"));
    EXPECT_TRUE(contains(ILogger::WARNING,
                         "got notification from watchdog, resetting websocket for:" + peer.baseUri() + " (MA_WS_svc)"));
    EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
}


// ---- the watchdog and the back-off sequences on their own

/// A manager that records the payload of every ping the watchdog sends.
struct PingRecorder {
    explicit PingRecorder(bool succeed = true) {
        ON_CALL(*manager, sendPing(_, _)).WillByDefault([this, succeed](const char* content, std::size_t length) {
            payloads.emplace_back(content, length);
            return succeed;
        });
    }
    std::shared_ptr<::testing::NiceMock<qeltest::MockWebsocketManager>> manager =
        std::make_shared<::testing::NiceMock<qeltest::MockWebsocketManager>>();
    std::vector<std::string> payloads;
};

class WebsocketWatchdogTest : public ::testing::Test {
protected:
    bool logged(ILogger::LogLevel level, const std::string& text) {
        return logging.factory().capture().contains(level, text);
    }
    qeltest::ScopedDefaultLoggerFactory logging{std::make_shared<qeltest::CapturingLoggerFactory>()};
};

TEST_F(WebsocketWatchdogTest, TimingsAreClampedAndLogged) {
    PingRecorder peer;
    // Ping interval and pong time-out asked for, then the ones in effect.
    for (const auto& c : std::vector<std::array<milliseconds, 4>>{{500ms, 2000ms, 1000ms, 2000ms},
                                                                  {999ms, 0ms, 1000ms, 3000ms},
                                                                  {60000ms, 0ms, 10000ms, 30000ms},
                                                                  {10001ms, 40000ms, 10000ms, 40000ms},
                                                                  {5000ms, 2000ms, 5000ms, 15000ms},
                                                                  {1000ms, 1000ms, 1000ms, 3000ms},
                                                                  {1000ms, 1001ms, 1000ms, 1001ms}}) {
        qel::WebsocketWatchdog watchdog("", "svc", peer.manager, c[0], c[1]);
        EXPECT_EQ(watchdog.getPingInterval(), c[2]) << c[0].count();
        EXPECT_EQ(watchdog.getPongTimeout(), c[3]) << c[0].count() << "/" << c[1].count();
    }
    EXPECT_TRUE(
        logged(ILogger::INFO, "generated watchdog for service=svc with pingInterval=5000 and pongTimeout=15000"));
    EXPECT_EQ(logging.factory().capture().lines().at(0).facility, "WebsocketWatchdog:svc");
}

// Polled like the receive loop polls it, a silent peer is pinged once per
// interval until the time-out of three intervals: at most two pings go out.
// Data postpones both, so a line busy for longer than the interval gets no
// ping. A failed ping does not count as sent: every later poll tries again.
TEST_F(WebsocketWatchdogTest, SilentPeerIsPingedOncePerIntervalUntilTheTimeOutAndDataPostponesBoth) {
    struct Case {
        bool pingsSucceed;
        milliseconds busy;
        std::string userData, payload;
        std::size_t fewest, most;
        std::string warning;
    };
    for (const Case& c :
         {Case{true, 0ms, "", "QELA", 1, 2, "pong timeout!"}, Case{true, 1500ms, "APP", "APP", 1, 2, "pong timeout!"},
          Case{false, 0ms, "", "QELA", 3, SIZE_MAX, "could not sent ping!"}}) {
        PingRecorder peer(c.pingsSucceed);
        qel::WebsocketWatchdog watchdog(c.userData, "svc", peer.manager, 1000ms, 3000ms);
        for (const auto busyUntil = std::chrono::steady_clock::now() + c.busy;
             std::chrono::steady_clock::now() < busyUntil;) {
            watchdog.notify(true);
            ASSERT_FALSE(watchdog.notify(false));
        }
        EXPECT_TRUE(peer.payloads.empty());
        ASSERT_TRUE(waitFor([&] { return watchdog.notify(false); }, 30s));
        EXPECT_GE(peer.payloads.size(), c.fewest);
        EXPECT_LE(peer.payloads.size(), c.most);
        for (const auto& payload : peer.payloads) EXPECT_EQ(payload, c.payload);
        EXPECT_TRUE(logged(ILogger::WARNING, c.warning));
        EXPECT_TRUE(watchdog.notify(false));  // once timed out it stays timed out
    }
}

bool isShortWait(int64_t wait, int64_t base) { return wait >= base && wait < base + 100; }
bool isLongWait(int64_t wait, int64_t base) { return wait % 20 == 0 && isShortWait(wait / 20, base); }

// Each sequence restarts on reset; the Kavo waits carry a jitter below 100
// that really varies, every retries+1-th wait is a long one.
TEST(BackoffTest, SequencesFollowTheirPatternFromEveryReset) {
    const std::vector<int64_t> fibonacci{100, 100, 200, 300, 500, 800, 1300, 2000};
    const auto kavo = [](int retries, int64_t base) -> std::function<bool(std::size_t, int64_t)> {
        return [=](std::size_t i, int64_t wait) {
            return i % (retries + 1) == std::size_t(retries) ? isLongWait(wait, base) : isShortWait(wait, base);
        };
    };
    struct Case {
        std::shared_ptr<qelutil::INumberSequence> sequence;
        std::function<bool(std::size_t, int64_t)> expected;
        std::size_t distinct;
    };
    const std::vector<Case> cases{
        {std::make_shared<qel::FibonacciConnectionBackoffSequence>(),
         [&](std::size_t i, int64_t wait) { return wait == fibonacci[std::min<std::size_t>(i, 7)]; }, 7},
        {std::make_shared<qel::KavoConnectionBackoffSequence>(4, 500), kavo(4, 500), 100},
        {std::make_shared<qel::KavoConnectionBackoffSequence>(3, 200), kavo(3, 200), 100},
        {std::make_shared<qel::KavoConnectionBackoffSequence>(0, 500), kavo(0, 500), 50},
        {std::make_shared<qel::KavoConnectionBackoffSequence>(0, 0), kavo(0, 0), 50}};
    for (std::size_t n = 0; n < cases.size(); ++n) {
        for (int i = 0; i < 3; ++i) cases[n].sequence->next();
        cases[n].sequence->reset();
        std::set<int64_t> seen;
        for (std::size_t i = 0; i < 1500; ++i) {
            const int64_t wait = cases[n].sequence->next();
            ASSERT_TRUE(cases[n].expected(i, wait)) << "case " << n << " draw " << i << ": " << wait;
            seen.insert(wait);
        }
        EXPECT_GE(seen.size(), cases[n].distinct) << "case " << n;
    }
}

}  // namespace
