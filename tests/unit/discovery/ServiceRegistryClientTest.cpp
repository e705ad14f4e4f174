// Service discovery against fake connections: the registry client, the handler that hands services to their
// listeners, the facade's modes and the configuration lookups. Every task runs on the test's thread.

#include <QelAccess/ConfigManager.h>
#include <QelAccess/ITpAccessFactory.h>
#include <QelAccess/IWebsocketManagerFactory.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelServiceConfigurations.h>
#include <QelAccess/QelServiceRegistry.h>
#include <QelAccess/Service.h>
#include <QelAccess/ServiceRegistryClient.h>
#include <QelAccess/ServiceRegistryClientHandler.h>
#include <QelAccess/Subscription.h>

#include <QelAccessUtility/JsonFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/TestText.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using qel::ConfigManager;
using qel::QelResponse;
using qel::QelServiceConfigurations;
using qel::QelServiceRegistry;
using qel::Service;
using qel::ServiceRegistryClient;
using qel::ServiceRegistryService;
using qelutil::ILogger;

namespace {

const std::string kRegistryUri = "http://127.0.0.1:4000";
const std::string kMediaOrigin = "http://127.0.0.1:5000";
const std::string kMediaListing = R"([{"name":"media","uri":"http://127.0.0.1:5000/api/media","port":5000}])";
using Events = std::vector<std::string>;
using Entries = std::map<std::string, std::string>;  // name -> uri

/// Records the notices and root subscriptions it is asked for; the test plays them. Other subscriptions are refused.
class FakeManager : public qel::IWebsocketManager, public std::enable_shared_from_this<FakeManager> {
public:
    using Descriptor = std::shared_ptr<const qel::XObjectDescriptor>;
    using SubscriptionPtr = std::shared_ptr<qel::Subscription>;
    using Ms = std::chrono::milliseconds;
    using Resource = std::shared_ptr<const qel::QelResourceDescriptor>;
    struct Notices {
        std::function<void()> connected, disconnected;
    };
    std::vector<Notices> notices;
    std::vector<std::pair<Descriptor, ArrayCallback>> roots;

    void connectToWebsocketAndThen(std::function<void()> connected, std::function<void()> disconnected) override {
        notices.push_back({std::move(connected), std::move(disconnected)});
    }
    SubscriptionPtr subscribeRoot(Descriptor descriptor, ArrayCallback callback) override {
        roots.emplace_back(descriptor, std::move(callback));
        return std::make_shared<qel::Subscription>(weak_from_this(), descriptor, qel::Subscription::ROOT,
                                                   "root" + std::to_string(roots.size()), true);
    }
    SubscriptionPtr subscribeRootWithUpdateLimit(Descriptor d, ArrayCallback c, Ms) override {
        return subscribeRoot(std::move(d), std::move(c));
    }
    SubscriptionPtr subscribeElement(Descriptor, ElementCallback) override { return nullptr; }
    SubscriptionPtr subscribeElementWithInterval(Descriptor, ElementCallback, Ms) override { return nullptr; }
    SubscriptionPtr subscribeElementWithUpdateLimit(Descriptor, ElementCallback, Ms) override { return nullptr; }
    SubscriptionPtr subscribeResource(Resource, ArrayCallback) override { return nullptr; }
    void unsubscribe(const std::string&, bool) override {}
    void disconnect() override {}
    CONNECTION_STATE getConnectionState() override { return DISCONNECTED; }
    void setConnectBackoffGenerator(std::shared_ptr<qelutil::INumberSequence>) override {}
    bool sendPing(const char*, std::size_t) override { return true; }
};

/// Hands out one fake manager per server base URI.
class FakeManagers : public qel::IWebsocketManagerFactory {
public:
    qel::IWebsocketManager::Shared createWebsocketManager(const qel::IConfigManager::ServiceConfiguration& config,
                                                          std::shared_ptr<qelutil::ITaskExecutor>,
                                                          std::shared_ptr<qelutil::LoggerFactory>) override {
        return manager(config.serverBaseUri);
    }
    void setConnectionBackoffPicker(BackoffPicker) override {}
    void destroyWebsocketManager(const std::string&) override {}
    std::shared_ptr<FakeManager> manager(const std::string& origin) {
        auto& slot = managers[origin];
        if (!slot) slot = std::make_shared<FakeManager>();
        return slot;
    }

private:
    std::map<std::string, std::shared_ptr<FakeManager>> managers;
};

/// One transport for every service, whose resolution answers as the test says; every other operation throws.
class FakeTransport : public qel::ITpAccess,
                      public qel::ITpAccessFactory,
                      public std::enable_shared_from_this<FakeTransport> {
public:
    using Response = std::shared_ptr<qel::QelResponse>;
    using Objects = std::vector<qel::IXObject::Unique>;
    using Object = qel::IXObject::Unique;
    std::function<void(const std::string&, Response)> onResolve;
    int resolveCalls = 0;
    std::vector<std::string> names;

    qel::ITpAccess::Shared createTpAccess(const std::string& serviceName, std::shared_ptr<const qel::IConfigManager>,
                                          qelutil::LoggerFactory::shared) override {
        names.push_back(serviceName);
        return shared_from_this();
    }
    void resolveService(const std::string& name, Response response) override {
        ++resolveCalls;
        if (onResolve) onResolve(name, response);
    }
    Objects readRoot(XObjectProvider, const qel::XObjectDescriptor&, Response) override { unscripted(); }
    Object findFirst(XObjectProvider, const qel::XObjectDescriptor&, Response) override { unscripted(); }
    Object createElement(const qel::XObjectDescriptor&, UriObjectProvider, Response) override { unscripted(); }
    Object getElement(XObjectProvider, const qel::XObjectDescriptor&, Response) override { unscripted(); }
    void deleteElement(const qel::XObjectDescriptor&, Response) override { unscripted(); }
    void updateElement(const qel::XObjectDescriptor&, Response) override { unscripted(); }
    Objects readResource(XObjectProvider, const qel::QelResourceDescriptor&, Response) override { unscripted(); }
    Objects readService(XObjectProvider, const qel::QelServiceDescriptor&, Response) override { unscripted(); }

private:
    [[noreturn]] static void unscripted() { throw std::logic_error("not scripted"); }
};

/// The fakes every discovery test plays against.
struct Fakes {
    std::shared_ptr<qeltest::CapturingLoggerFactory> logs = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<FakeManagers> managers = std::make_shared<FakeManagers>();
    std::shared_ptr<FakeTransport> transports = std::make_shared<FakeTransport>();
    std::shared_ptr<qeltest::ManualTaskExecutor> executor = std::make_shared<qeltest::ManualTaskExecutor>();

    std::shared_ptr<FakeManager> registry() { return managers->manager(kRegistryUri); }
    std::shared_ptr<FakeManager> media() { return managers->manager(kMediaOrigin); }
    void push(const std::string& listing, std::size_t subscription = 0) {
        auto array = qelutil::JsonFactory::parseObject("{\"a\":" + listing + "}")->getArray("a");
        registry()->roots.at(subscription).second(array, nullptr);
    }
    std::size_t warnings(const std::string& fragment) { return logs->capture().count(ILogger::WARNING, fragment); }
};

/// A registry client started against the fakes; the test plays the registry's side.
struct ClientRig : Fakes {
    std::shared_ptr<ServiceRegistryClient> client;
    std::vector<Entries> snapshots;
    std::shared_ptr<const QelServiceConfigurations::ServiceSettings> lastSettings;
    int connected = 0;
    int closed = 0;

    explicit ClientRig(std::shared_ptr<const QelServiceConfigurations::ServiceSettings> settings = nullptr)
        : client(std::make_shared<ServiceRegistryClient>(executor, logs, std::move(settings))) {}

    bool start(const std::string& uri = kRegistryUri) {
        return client->start(
            uri, managers, transports, [this](ServiceRegistryClient&) { ++connected; },
            [this](ServiceRegistryClient&) { ++closed; },
            [this](ServiceRegistryClient&, const QelServiceConfigurations& snapshot) {
                Entries entries;
                for (const auto& service : snapshot.getServices())
                    entries[service.first] = service.second->getUri().getValue();
                snapshots.push_back(entries);
                lastSettings = snapshot.getServiceSettings();
            });
    }
    void connect() { registry()->notices.back().connected(); }
};

TEST(ServiceRegistryClientTest, RootUpdatesFollowTheEntryRules) {
    auto settings = std::make_shared<QelServiceConfigurations::ServiceSettings>();
    ClientRig rig(settings);
    auto staticConfig = std::make_shared<ConfigManager>();
    staticConfig->getServiceConfigs()["S"];
    rig.client->setStaticConfigManager(staticConfig);
    ASSERT_TRUE(rig.start());
    rig.connect();
    // Each listing replaces the last one: what it delivers and how many of its entries are skipped with a warning.
    const std::vector<std::tuple<std::string, Entries, std::size_t>> cases = {
        // Entries without name or uri are skipped, the rest delivered.
        {R"([{"name":"a","uri":"http://h/a/","port":1},{"uri":"http://h/x/"},{"name":"b"},)"
         R"({"name":"c","uri":"http://h/c/"}])",
         {{"a", "http://h/a/"}, {"c", "http://h/c/"}}, 2},
        // A later local entry replaces a remote one, a later remote one does not replace a local one.
        {R"([{"name":"A","uri":"http://remote/A/"},{"name":"A","uri":"http://127.0.0.1:5/A/"}])",
         {{"A", "http://127.0.0.1:5/A/"}}, 0},
        {R"([{"name":"A","uri":"http://localhost:5/A/"},{"name":"A","uri":"http://remote/A/"}])",
         {{"A", "http://localhost:5/A/"}}, 0},
        // Of several local entries the last wins.
        {R"([{"name":"A","uri":"http://remote/A/"},{"name":"A","uri":"http://localhost:1/A/"},)"
         R"({"name":"A","uri":"http://[::1]:2/A/"}])",
         {{"A", "http://[::1]:2/A/"}}, 0},
        // The static configuration wins.
        {R"([{"name":"S","uri":"http://h/S/"},{"name":"T","uri":"http://h/T/"}])", {{"T", "http://h/T/"}}, 0},
        // Entries of the wrong shape are dropped without harm.
        {R"([7,"x",null,{"name":"p","uri":"http://h/p/","port":"x"},{"name":3,"uri":"http://h/n/"},)"
         R"({"name":"ok","uri":"http://h/ok/"}])",
         {{"ok", "http://h/ok/"}}, 5},
    };
    std::size_t warned = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [listing, expected, skipped] = cases[i];
        rig.push(listing);
        ASSERT_EQ(i + 1, rig.snapshots.size());
        EXPECT_EQ(expected, rig.snapshots[i]) << listing;
        const std::size_t now = rig.warnings("skipping root entry") + rig.warnings("without name or uri");
        EXPECT_EQ(skipped, now - warned) << listing;
        warned = now;
    }
    EXPECT_EQ(settings, rig.lastSettings);
}

TEST(ServiceRegistryClientTest, SubscribesOnceConnectedAndIgnoresStaleNotices) {
    ClientRig rig;
    EXPECT_FALSE(rig.start("not a uri") || rig.client->isRunning());
    EXPECT_EQ(1u, rig.warnings("could not parse http host from uri=not a uri"));

    rig.client->setServicesSubscriptionFilter({"media", "navigation"});
    rig.client->setServicesFilterFunction([](qelutil::JsonArray::Shared listing) { listing->removeAt(0); });
    ASSERT_TRUE(rig.start());
    EXPECT_FALSE(rig.start()) << "a running client started twice";
    EXPECT_EQ(1u, rig.registry()->notices.size());
    EXPECT_TRUE(rig.registry()->roots.empty() && !rig.client->isConnected()) << "subscribed before the connection";
    rig.connect();
    EXPECT_TRUE(rig.client->isConnected() && rig.connected == 1);
    EXPECT_EQ(std::vector<std::string>{"ServiceRegistry"}, rig.transports->names);
    ASSERT_EQ(1u, rig.registry()->roots.size());
    auto descriptor = rig.registry()->roots[0].first;
    EXPECT_EQ(std::vector<std::string>{"port"}, descriptor->getQueryOptions().getFieldsFilter());
    EXPECT_EQ(1u, descriptor->getQelFilter().getFilterMap().count("name"));
    rig.push(R"([{"name":"gone","uri":"http://h/gone/"},{"name":"media","uri":"http://h/media/"}])");
    EXPECT_EQ((std::vector<Entries>{{{"media", "http://h/media/"}}}), rig.snapshots) << "the filter runs first";
    rig.registry()->notices.back().disconnected();
    EXPECT_FALSE(rig.client->isRunning() || rig.client->isConnected());
    EXPECT_EQ(1, rig.closed);
    rig.push(R"([{"name":"a","uri":"http://h/a/"}])");
    EXPECT_EQ(1u, rig.snapshots.size()) << "an update of an ended connection was delivered";

    // The notices of a stopped start must not touch the next one.
    ASSERT_TRUE(rig.start());
    auto first = rig.registry()->notices.at(1);
    EXPECT_TRUE(rig.client->stop());
    EXPECT_FALSE(rig.client->stop());
    ASSERT_TRUE(rig.start());
    first.connected();
    first.disconnected();
    EXPECT_TRUE(rig.connected == 1 && rig.closed == 1 && rig.client->isRunning());
    rig.connect();
    EXPECT_EQ(2, rig.connected);

    // Queued notices of a client that is gone do nothing.
    auto last = rig.registry()->notices.back();
    rig.client.reset();
    last.disconnected();
    EXPECT_EQ(1, rig.closed);
}

TEST(ServiceRegistryClientTest, ClustersMergeTheirLatestUpdates) {
    ClientRig rig;
    std::vector<std::shared_ptr<ServiceRegistryClient::RootSubscriptionHandler>> handlers;
    auto keep = [&handlers](std::shared_ptr<ServiceRegistryClient::RootSubscriptionHandler> handler) {
        handlers.push_back(handler);
    };
    rig.client->setRootSubscriptionClusters({{{"A", "B"}, {}, keep}, {{}, {}, keep}, {{"C"}, 5ms, keep}});
    EXPECT_EQ(1u, rig.warnings("ignoring cluster with empty servicesNamesFilter"));
    ASSERT_TRUE(rig.start());
    rig.connect();
    ASSERT_EQ(2u, handlers.size());
    EXPECT_EQ(0u, rig.registry()->roots.size()) << "a cluster subscribed before subscribeNow";
    for (auto& handler : handlers) handler->subscribeNow();
    ASSERT_EQ(2u, rig.registry()->roots.size());
    rig.push(R"([{"name":"A","uri":"http://h/A/"},{"name":"B","uri":"http://h/B/"}])", 0);
    rig.push(R"([{"name":"C","uri":"http://h/C/"}])", 1);
    ASSERT_EQ(2u, rig.snapshots.size());
    EXPECT_EQ(3u, rig.snapshots[1].size());
    rig.push("[]", 1);
    EXPECT_EQ((Entries{{"A", "http://h/A/"}, {"B", "http://h/B/"}}), rig.snapshots[2]);

    rig.registry()->notices.back().disconnected();
    handlers[0]->subscribeNow();
    EXPECT_EQ(1u, rig.warnings(" cannot subscribe cluster to root, WebSocket is not valid"));
    EXPECT_EQ(2u, rig.registry()->roots.size());
}

TEST(ServiceRegistryClientTest, ResolutionChoosesTheLocationByTheAnswer) {
    using Choice = QelResponse::MultipleChoice;
    auto choices = [](std::vector<const char*> addresses) {
        std::vector<Choice> made(addresses.size());
        for (std::size_t i = 0; i < made.size(); ++i)
            if (addresses[i]) made[i].hostAddress = std::make_shared<std::string>(addresses[i]);
        return made;
    };
    struct Case {
        bool avoidRedirect;
        int status;  // -1: the transport throws
        const char* location;
        std::vector<Choice> choices;
        bool resolved;
        std::string host;
        uint16_t port;
    };
    const std::vector<Case> cases = {
        {true, 500, nullptr, {}, true, "own.host", 7000},  // avoid-redirect takes the service's own uri
        {false, 200, nullptr, {}, true, "registry.host", 81},  // keeps what the registry reported
        {false, 307, "http://moved.host:8080/api/", {}, true, "moved.host", 8080},
        {false, 307, nullptr, {}, false, "registry.host", 81},
        {false, 307, "::nonsense", {}, false, "registry.host", 81},
        // A local choice first, else the first that parses.
        {false, 300, nullptr, choices({"http://r1:1/a/", "http://127.0.0.1:2/a/", "http://r2:3/a/"}), true, "127.0.0.1",
         2},
        {false, 300, nullptr, choices({nullptr, "bad", "http://r1:1/a/", "http://r2:3/a/"}), true, "r1", 1},
        {false, 300, nullptr, {}, false, "registry.host", 81},
        {false, 404, nullptr, {}, false, "registry.host", 81},
        {false, -1, nullptr, {}, false, "registry.host", 81},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + (c.location ? c.location : ""));
        ClientRig rig;
        ASSERT_TRUE(rig.start());
        rig.connect();
        rig.transports->onResolve = [&c](const std::string& name, std::shared_ptr<QelResponse> response) {
            EXPECT_EQ("svc", name);
            if (c.status < 0) throw qel::QelException("connection refused", "0");
            response->setStatusCode(static_cast<QelResponse::StatusCode>(c.status));
            if (c.location) response->setLocation(std::string(c.location));
            if (c.status == 300) response->setMultipleChoices(std::make_shared<std::vector<Choice>>(c.choices));
        };
        ServiceRegistryService service(qeltest::json(R"({"name":"svc","uri":"http://own.host:7000/svc","port":81})"),
                                       "registry.host", nullptr);
        rig.client->resolveService(service, false, c.avoidRedirect);
        EXPECT_EQ(c.resolved, service.isResolved());
        EXPECT_EQ(c.host, service.getHost().getValue());
        EXPECT_EQ(c.port, service.getPort().getValue());
        // A resolved service is not asked for again unless forced.
        rig.client->resolveService(service, false, false);
        EXPECT_EQ((c.avoidRedirect ? 0 : 1) + (c.resolved ? 0 : 1), rig.transports->resolveCalls);
    }
}

/// What one listener heard, in order: "available N" (N counts the service objects its creator made) and
/// "unavailable".
struct Recorder {
    std::vector<std::string> events;
    int created = 0;
    std::map<Service*, int> objects;
    std::function<void()> onCreate;

    qel::UntypedServiceListener listener() {
        return {[this](std::shared_ptr<Service> service) {
                    events.push_back("available " + std::to_string(objects.at(service.get())));
                },
                [this] { events.push_back("unavailable"); }, nullptr};
    }
    Service::Creator creator() {
        return [this](std::shared_ptr<qel::QelAccessor> accessor, qel::IWebsocketManager::Shared manager) {
            auto service = std::make_unique<Service>(std::move(accessor), std::move(manager));
            objects[service.get()] = ++created;
            if (onCreate) onCreate();
            return service;
        };
    }
};

/// A started handler against the fakes.
struct HandlerRig : Fakes {
    std::shared_ptr<qel::ServiceRegistryClientHandler> handler = std::make_shared<qel::ServiceRegistryClientHandler>(
        kRegistryUri, executor, logs,
        std::make_shared<qelutil::StreamingLogger>(std::shared_ptr<ILogger>(logs->createLogger("handler"))), nullptr,
        managers, transports);

    HandlerRig() {
        handler->setAvoidRedirect(true);
        handler->start();
    }
    void connectAndList() {
        registry()->notices.back().connected();
        push(kMediaListing, registry()->roots.size() - 1);
    }
    void add(Recorder& recorder, const std::string& name = "media") {
        handler->addServiceListener(name, recorder.listener(), executor, executor, recorder.creator());
    }
};

TEST(ServiceRegistryClientHandlerTest, AWaitingListenerHearsItsServiceInOrderThroughLossesAndFlaps) {
    HandlerRig rig;
    Recorder media, unknown;
    rig.add(media);
    rig.add(unknown, "unregistered");
    EXPECT_EQ(2u, rig.handler->unresolvedCount());
    rig.connectAndList();
    EXPECT_EQ(1u, rig.handler->resolvedCount());
    ASSERT_EQ(1u, rig.media()->notices.size());
    EXPECT_TRUE(media.events.empty()) << "available before the connection stood";

    rig.media()->notices.at(0).connected();
    rig.media()->notices.at(0).disconnected();
    EXPECT_EQ((Events{"available 1", "unavailable"}), media.events);
    ASSERT_EQ(2u, rig.media()->notices.size()) << "not set up again after the loss";

    // A loss that overtakes its own connect notice: nothing to hear, set up again.
    rig.media()->notices.at(1).disconnected();
    rig.media()->notices.at(1).connected();
    EXPECT_EQ((Events{"available 1", "unavailable"}), media.events);
    ASSERT_EQ(3u, rig.media()->notices.size());
    rig.media()->notices.at(2).connected();
    rig.media()->notices.at(2).connected();
    EXPECT_EQ((Events{"available 1", "unavailable", "available 3"}), media.events);
    EXPECT_TRUE(unknown.events.empty());
    EXPECT_EQ(1u, rig.handler->unresolvedCount());
    EXPECT_EQ(0u, rig.executor->pending());
}

TEST(ServiceRegistryClientHandlerTest, ListenersGetTheirOwnObjectsAndOnlyTheDroppedOneIsSetUpAgain) {
    HandlerRig rig;
    Recorder first, second, reentrant, inner;
    rig.connectAndList();
    reentrant.onCreate = [&] {
        if (reentrant.created == 1) rig.add(inner);
    };
    rig.add(reentrant);
    EXPECT_EQ(1, inner.created) << "a creator calling back into the handler";
    rig.add(first);
    rig.add(second);
    ASSERT_EQ(4u, rig.media()->notices.size()) << "one shared manager, one set-up each";
    rig.media()->notices.at(2).connected();
    rig.media()->notices.at(3).connected();
    rig.media()->notices.at(3).disconnected();
    EXPECT_EQ((Events{"available 1"}), first.events);
    EXPECT_EQ((Events{"available 1", "unavailable"}), second.events);
    EXPECT_EQ(1, first.created) << "the listener that kept its connection was set up again";
    EXPECT_EQ(2, second.created);
    EXPECT_EQ(4u, rig.handler->resolvedCount());
}

TEST(ServiceRegistryClientHandlerTest, RegistryLossKeepsListenersAndStopEndsEverything) {
    HandlerRig rig;
    Recorder media, late;
    rig.connectAndList();
    rig.add(media);
    rig.media()->notices.at(0).connected();
    rig.registry()->notices.at(0).disconnected();
    EXPECT_EQ(2u, rig.registry()->notices.size()) << "the client was not restarted";
    rig.add(late);
    EXPECT_EQ(1u, rig.handler->unresolvedCount()) << "set up from a snapshot of a lost registry connection";
    rig.connectAndList();
    EXPECT_EQ(2u, rig.handler->resolvedCount());
    EXPECT_EQ((Events{"available 1"}), media.events);

    auto pendingConnect = rig.media()->notices.at(1);
    auto registryLoss = rig.registry()->notices.at(1);
    rig.handler->stop();
    pendingConnect.connected();
    rig.media()->notices.at(0).disconnected();
    registryLoss.disconnected();
    EXPECT_TRUE(late.events.empty()) << "a notice after stop()";
    EXPECT_EQ((Events{"available 1"}), media.events) << "a notice after stop()";
    EXPECT_EQ(2u, rig.registry()->notices.size()) << "the registry client restarted after stop()";
    EXPECT_EQ(2u, rig.media()->notices.size()) << "a service set up after stop()";
}

TEST(QelServiceRegistryTest, ModesDecideWhereAServiceComesFrom) {
    Fakes fakes;
    auto staticConfig = std::make_shared<ConfigManager>();
    staticConfig->getServiceConfigs()["known"].serverBaseUri = std::string("http://127.0.0.1:6000");
    QelServiceRegistry::Settings settings;
    settings.mode = QelServiceRegistry::str2mode("static", QelServiceRegistry::DYNAMIC_ONLY);
    settings.httpUri = kRegistryUri;
    auto make = [&] {
        return std::make_unique<QelServiceRegistry>(fakes.managers, staticConfig, fakes.logs, fakes.transports,
                                                    fakes.executor, fakes.executor, settings, nullptr);
    };
    auto registry = make();
    EXPECT_EQ(nullptr, registry->getHandler());
    Recorder any, known, dynamic;
    registry->addServiceListener("anything", any.listener(), any.creator());
    auto defaults = fakes.managers->manager("http://127.0.0.1:443");
    ASSERT_EQ(1u, defaults->notices.size()) << "static defaults not used";
    registry->stop();
    defaults->notices[0].connected();
    EXPECT_TRUE(any.events.empty()) << "a notice after stop()";
    EXPECT_EQ(0u, fakes.registry()->notices.size()) << "a registry connection in static mode";

    settings.mode = QelServiceRegistry::str2mode("staticBeforeDynamic", QelServiceRegistry::STATIC_ONLY);
    registry = make();
    ASSERT_NE(nullptr, registry->getHandler());
    registry->addServiceListener("known", known.listener(), known.creator());
    registry->addServiceListener("media", dynamic.listener(), dynamic.creator());
    EXPECT_EQ(1u, fakes.managers->manager("http://127.0.0.1:6000")->notices.size());
    EXPECT_EQ(1u, registry->getHandler()->unresolvedCount()) << "media waits for the registry";
}
/// The six fields of a looked-up configuration on one line, or the error.
std::string describe(const qel::IConfigManager& config, const std::string& name) {
    try {
        const auto c = config.getServiceConfiguration(name);
        return c.serviceName + " " + c.serverBaseUri + " " + c.serverBasePath + " [" + c.separatorAfterResource + "] " +
               std::to_string(c.watchdogPingInterval.count()) + " " + std::to_string(c.watchdogPongTimeout.count());
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

TEST(ConfigManagerTest, EntryFieldsOverrideTheDefaultOneByOne) {
    ConfigManager config;
    config.getServiceConfigs()["media"].watchdogPingInterval = 5000ms;
    auto& navigation = config.getServiceConfigs()["navigation"];
    navigation.separatorAfterResource = false;
    navigation.serverBaseUri = std::string("http://10.1.2.3:8080");
    navigation.watchdogPongTimeout = 1500ms;
    config.getServiceConfigs()["full"] = ConfigManager::ServiceConfig("http://host:1", "/api/", true, 10ms, 20ms);
    EXPECT_EQ("media http://127.0.0.1:443 / [/] 5000 0", describe(config, "media"));
    EXPECT_EQ("navigation http://10.1.2.3:8080 / [] 0 1500", describe(config, "navigation"));
    EXPECT_EQ("full http://host:1 /api/ [/] 10 20", describe(config, "full"));
    EXPECT_EQ(" http://127.0.0.1:443 / [/] 0 0", describe(config, ""));
    EXPECT_FALSE(config.isServiceConfigurationKnown("Media"));
    // A default changed in place reaches the entries that lack the field; one absent from both fails the lookup.
    config.getDefaultConfig().serverBasePath = std::string("/base/");
    EXPECT_EQ("media http://127.0.0.1:443 /base/ [/] 5000 0", describe(config, "media"));
    EXPECT_EQ("full http://host:1 /api/ [/] 10 20", describe(config, "full"));
    config.setDefaultConfig(ConfigManager::ServiceConfig());
    EXPECT_EQ("getValue called on uninitialized Optional", describe(config, "media"));
    EXPECT_EQ("http://10.1.2.3:8080", config.getServerBaseUri("navigation"));
}

}  // namespace
