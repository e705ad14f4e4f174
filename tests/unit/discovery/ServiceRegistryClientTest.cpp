#include <QelAccess/ConfigManager.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelServiceConfigurations.h>
#include <QelAccess/ServiceRegistryClient.h>

#include <QelAccessUtility/JsonFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/DiscoveryFakes.h"
#include "support/TestText.h"
#include "support/ManualTaskExecutor.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using qel::QelResponse;
using qel::QelServiceConfigurations;
using qel::ServiceRegistryClient;
using qel::ServiceRegistryService;
using qelutil::ILogger;

namespace {

const std::string kRegistryUri = "http://127.0.0.1:4000";

qelutil::JsonArray::Shared array(const std::string& text) {
    return qelutil::JsonFactory::parseObject("{\"a\":" + text + "}")->getArray("a");
}

/// A client started against fake managers and transports; the test plays
/// the registry's side.
struct ClientRig {
    std::shared_ptr<qeltest::CapturingLoggerFactory> logs = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::FakeWebsocketManagerFactory> managers =
        std::make_shared<qeltest::FakeWebsocketManagerFactory>();
    std::shared_ptr<qeltest::FakeTpAccessFactory> transports = std::make_shared<qeltest::FakeTpAccessFactory>();
    std::shared_ptr<ServiceRegistryClient> client;
    std::vector<std::map<std::string, std::string>> snapshots;  // name -> uri
    std::shared_ptr<const QelServiceConfigurations::ServiceSettings> lastSettings;
    int connected = 0;
    int closed = 0;

    explicit ClientRig(std::shared_ptr<const QelServiceConfigurations::ServiceSettings> settings = nullptr)
        : client(std::make_shared<ServiceRegistryClient>(std::make_shared<qeltest::ManualTaskExecutor>(), logs,
                                                         std::move(settings))) {}

    bool start(const std::string& uri = kRegistryUri) {
        return client->start(
            uri, managers, transports, [this](ServiceRegistryClient&) { ++connected; },
            [this](ServiceRegistryClient&) { ++closed; },
            [this](ServiceRegistryClient&, const QelServiceConfigurations& snapshot) {
                std::map<std::string, std::string> entries;
                for (const auto& service : snapshot.getServices())
                    entries[service.first] = service.second->getUri().getValue();
                snapshots.push_back(entries);
                lastSettings = snapshot.getServiceSettings();
            });
    }
    std::shared_ptr<qeltest::FakeWebsocketManager> registry() { return managers->manager(kRegistryUri); }
    void connect() { registry()->notice(registry()->noticeCount() - 1).connected(); }
    void disconnect() { registry()->notice(registry()->noticeCount() - 1).disconnected(); }
    void push(const std::string& listing, std::size_t subscription = 0) {
        registry()->root(subscription).callback(array(listing), nullptr);
    }
    std::size_t warnings(const std::string& fragment) { return logs->capture().count(ILogger::WARNING, fragment); }
    /// Lines of any level that contain the fragment.
    std::size_t lines(const std::string& fragment) {
        std::size_t n = 0;
        for (const auto& line : logs->capture().lines()) n += line.text.find(fragment) != std::string::npos;
        return n;
    }
};

TEST(ServiceRegistryClientTest, RootUpdatesFollowTheEntryRules) {
    struct Case {
        const char* what;
        std::vector<std::string> staticNames;
        const char* listing;
        std::map<std::string, std::string> expected;
        std::size_t skippedWarnings;
    };
    const std::vector<Case> cases = {
        {"entries without name or uri are skipped, the rest delivered",
         {},
         R"([{"name":"a","uri":"http://h/a/","port":1},{"uri":"http://h/x/"},{"name":"b"},)"
         R"({"name":"c","uri":"http://h/c/"}])",
         {{"a", "http://h/a/"}, {"c", "http://h/c/"}},
         2},
        {"a later local entry replaces a remote one",
         {},
         R"([{"name":"A","uri":"http://remote/A/"},{"name":"A","uri":"http://127.0.0.1:5/A/"}])",
         {{"A", "http://127.0.0.1:5/A/"}},
         0},
        {"a later remote entry does not replace a local one",
         {},
         R"([{"name":"A","uri":"http://localhost:5/A/"},{"name":"A","uri":"http://remote/A/"}])",
         {{"A", "http://localhost:5/A/"}},
         0},
        {"of several local entries the last wins",
         {},
         R"([{"name":"A","uri":"http://remote/A/"},{"name":"A","uri":"http://localhost:1/A/"},)"
         R"({"name":"A","uri":"http://[::1]:2/A/"}])",
         {{"A", "http://[::1]:2/A/"}},
         0},
        {"the static configuration wins",
         {"S"},
         R"([{"name":"S","uri":"http://h/S/"},{"name":"T","uri":"http://h/T/"}])",
         {{"T", "http://h/T/"}},
         0},
        {"entries of the wrong shape are dropped without harm",
         {},
         R"([7,"x",null,{"name":"p","uri":"http://h/p/","port":"x"},{"name":3,"uri":"http://h/n/"},)"
         R"({"name":"ok","uri":"http://h/ok/"}])",
         {{"ok", "http://h/ok/"}},
         5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto settings = std::make_shared<QelServiceConfigurations::ServiceSettings>();
        ClientRig rig(settings);
        auto staticConfig = std::make_shared<qel::ConfigManager>();
        for (const std::string& name : c.staticNames) staticConfig->getServiceConfigs()[name];
        rig.client->setStaticConfigManager(staticConfig);
        ASSERT_TRUE(rig.start());
        rig.connect();
        ASSERT_EQ(1u, rig.registry()->rootCount());
        rig.push(c.listing);
        ASSERT_EQ(1u, rig.snapshots.size());
        EXPECT_EQ(c.expected, rig.snapshots[0]);
        EXPECT_EQ(settings, rig.lastSettings);
        EXPECT_EQ(c.skippedWarnings, rig.warnings("skipping root entry") + rig.warnings("got service without name or uri"));
    }
}

TEST(ServiceRegistryClientTest, SubscribesTheRootOnceWithNamesAndPortAndRunsTheFilterFirst) {
    ClientRig rig;
    rig.client->setServicesSubscriptionFilter({"media", "navigation"});
    rig.client->setServicesFilterFunction([](qelutil::JsonArray::Shared listing) { listing->removeAt(0); });
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(0u, rig.registry()->rootCount()) << "subscribed before the connection stood";
    rig.connect();
    EXPECT_EQ(1, rig.connected);
    EXPECT_EQ(std::vector<std::string>{"ServiceRegistry"}, rig.transports->names);
    ASSERT_EQ(1u, rig.registry()->rootCount());
    auto descriptor = rig.registry()->root(0).descriptor;
    EXPECT_EQ(std::vector<std::string>{"port"}, descriptor->getQueryOptions().getFieldsFilter());
    EXPECT_EQ(1u, descriptor->getQelFilter().getFilterMap().count("name"));
    rig.push(R"([{"name":"gone","uri":"http://h/gone/"},{"name":"media","uri":"http://h/media/"}])");
    ASSERT_EQ(1u, rig.snapshots.size());
    EXPECT_EQ((std::map<std::string, std::string>{{"media", "http://h/media/"}}), rig.snapshots[0]);
}

TEST(ServiceRegistryClientTest, StartStopAndStaleNotices) {
    ClientRig rig;
    EXPECT_FALSE(rig.start("not a uri"));
    EXPECT_TRUE(rig.logs->capture().contains(ILogger::WARNING, "could not parse http host from uri=not a uri"));
    EXPECT_FALSE(rig.client->isRunning());

    ASSERT_TRUE(rig.start());
    EXPECT_FALSE(rig.start()) << "a running client started twice";
    EXPECT_EQ(1u, rig.registry()->noticeCount());
    EXPECT_TRUE(rig.client->isRunning());
    EXPECT_FALSE(rig.client->isConnected());
    rig.connect();
    EXPECT_TRUE(rig.client->isConnected());
    rig.disconnect();
    EXPECT_FALSE(rig.client->isRunning());
    EXPECT_FALSE(rig.client->isConnected());
    EXPECT_EQ(1, rig.closed);
    rig.push(R"([{"name":"a","uri":"http://h/a/"}])");
    EXPECT_TRUE(rig.snapshots.empty()) << "an update of an ended connection was delivered";

    // The notices of a stopped start must not touch the next one.
    ASSERT_TRUE(rig.start());
    auto first = rig.registry()->notice(1);
    EXPECT_TRUE(rig.client->stop());
    EXPECT_FALSE(rig.client->stop());
    ASSERT_TRUE(rig.start());
    first.connected();
    first.disconnected();
    EXPECT_EQ(1, rig.connected);
    EXPECT_EQ(1, rig.closed);
    EXPECT_TRUE(rig.client->isRunning());
    rig.connect();
    EXPECT_EQ(2, rig.connected);

    // Queued notices of a client that is gone do nothing.
    auto last = rig.registry()->notice(rig.registry()->noticeCount() - 1);
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
    EXPECT_EQ(0u, rig.registry()->rootCount()) << "a cluster subscribed before subscribeNow";
    for (auto& handler : handlers) handler->subscribeNow();
    ASSERT_EQ(2u, rig.registry()->rootCount());
    rig.push(R"([{"name":"A","uri":"http://h/A/"},{"name":"B","uri":"http://h/B/"}])", 0);
    rig.push(R"([{"name":"C","uri":"http://h/C/"}])", 1);
    ASSERT_EQ(2u, rig.snapshots.size());
    EXPECT_EQ(3u, rig.snapshots[1].size());
    rig.push("[]", 1);
    EXPECT_EQ((std::map<std::string, std::string>{{"A", "http://h/A/"}, {"B", "http://h/B/"}}), rig.snapshots[2]);

    rig.disconnect();
    handlers[0]->subscribeNow();
    EXPECT_EQ(1u, rig.warnings(" cannot subscribe cluster to root, WebSocket is not valid"));
    EXPECT_EQ(2u, rig.registry()->rootCount());
}

TEST(ServiceRegistryClientTest, ResolutionChoosesTheLocationByTheAnswer) {
    using Choice = QelResponse::MultipleChoice;
    auto choice = [](const char* address) {
        Choice c;
        if (address) c.hostAddress = std::make_shared<std::string>(address);
        return c;
    };
    struct Case {
        const char* what;
        bool avoidRedirect;
        int status;
        const char* location;
        std::vector<Choice> choices;
        bool resolved;
        std::string host;
        uint16_t port;
        int requests;
        const char* logLine;
    };
    const std::vector<Case> cases = {
        {"avoid-redirect takes the service's own uri", true, 500, nullptr, {}, true, "own.host", 7000, 0, ""},
        {"200 keeps what the registry reported", false, 200, nullptr, {}, true, "registry.host", 81, 1,
         "got OK from server"},
        {"307 follows the location", false, 307, "http://moved.host:8080/api/", {}, true, "moved.host", 8080, 1,
         "got location=http://moved.host:8080/api/"},
        {"307 without a location", false, 307, nullptr, {}, false, "registry.host", 81, 1,
         " missing location in response"},
        {"307 with an unparsable location", false, 307, "::nonsense", {}, false, "registry.host", 81, 1,
         " could not parse host and port from uri=::nonsense"},
        {"300 prefers the local choice", false, 300, nullptr,
         {choice("http://r1:1/a/"), choice("http://127.0.0.1:2/a/"), choice("http://r2:3/a/")}, true, "127.0.0.1",
         2, 1, "multiple choices count=3"},
        {"300 without a local choice takes the first parsable", false, 300, nullptr,
         {choice(nullptr), choice("bad"), choice("http://r1:1/a/"), choice("http://r2:3/a/")}, true, "r1", 1, 1,
         " could not parse host and port from uri=bad"},
        {"300 without choices", false, 300, nullptr, {}, false, "registry.host", 81, 1, "missing multiple choices"},
        {"an unexpected status", false, 404, nullptr, {}, false, "registry.host", 81, 1,
         " got unexpected status code from server=404"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClientRig rig;
        ASSERT_TRUE(rig.start());
        rig.connect();
        rig.transports->access->onResolve = [&c](const std::string& name, std::shared_ptr<QelResponse> response) {
            EXPECT_EQ("svc", name);
            response->setStatusCode(static_cast<QelResponse::StatusCode>(c.status));
            if (c.location) response->setLocation(std::string(c.location));
            if (c.status == 300) response->setMultipleChoices(std::make_shared<std::vector<Choice>>(c.choices));
        };
        ServiceRegistryService service(qeltest::json(R"({"name":"svc","uri":"http://own.host:7000/svc","port":81})"),
                                       "registry.host", nullptr);
        rig.client->resolveService(service, false, c.avoidRedirect);
        EXPECT_EQ(c.requests, rig.transports->access->resolveCalls);
        EXPECT_EQ(c.resolved, service.isResolved());
        EXPECT_EQ(c.host, service.getHost().getValue());
        EXPECT_EQ(c.port, service.getPort().getValue());
        if (*c.logLine) {
            EXPECT_EQ(1u, rig.lines(c.logLine));
        }
        // A resolved service is not asked for again unless forced.
        rig.client->resolveService(service, false, false);
        EXPECT_EQ(c.requests + (c.resolved ? 0 : 1), rig.transports->access->resolveCalls);
    }
}

TEST(ServiceRegistryClientTest, ATransportFailureDuringResolutionIsLogged) {
    ClientRig rig;
    ASSERT_TRUE(rig.start());
    rig.connect();
    rig.transports->access->onResolve = [](const std::string&, std::shared_ptr<QelResponse>) {
        throw qel::QelException("connection refused", "0");
    };
    ServiceRegistryService service(qeltest::json(R"({"name":"svc","uri":"http://h:1/svc"})"), "h", nullptr);
    rig.client->resolveService(service, true);  // avoid-redirect by default
    EXPECT_TRUE(service.isResolved());
    rig.client->resolveService(service, true, false);
    EXPECT_TRUE(rig.logs->capture().contains(ILogger::ERROR, "connection refused"));
}

TEST(QelServiceConfigurationsTest, LookupsFallBackFieldByField) {
    using Setting = QelServiceConfigurations::ServiceSetting;
    auto service = [](const char* text) {
        return std::make_shared<ServiceRegistryService>(qeltest::json(text), "reg.host", nullptr);
    };
    QelServiceConfigurations::ServiceMap services;
    services["full"] = service(R"({"name":"full","uri":"http://x/base/full","port":8080})");
    services["bare"] = std::make_shared<ServiceRegistryService>(qeltest::json(R"({"name":"bare"})"));
    QelServiceConfigurations snapshot(services);

    EXPECT_EQ("http://reg.host:8080", snapshot.getServerBaseUri("full"));
    EXPECT_EQ("http://x/base/", snapshot.getServerBasePath("full"));
    EXPECT_EQ("http://127.0.0.1:443", snapshot.getServerBaseUri("bare"));
    EXPECT_EQ("/", snapshot.getServerBasePath("bare"));
    EXPECT_EQ("", snapshot.getServerBaseUri("missing"));
    EXPECT_FALSE(snapshot.isServiceConfigurationKnown("missing"));
    EXPECT_EQ("", snapshot.getSeparatorAfterResource("full")) << "no settings: no separator";
    EXPECT_EQ(0ms, snapshot.getWatchdogPingInterval("full"));

    auto settings = std::make_shared<QelServiceConfigurations::ServiceSettings>();
    Setting onlyPing;
    onlyPing.watchdogPingInterval = 100ms;
    (*settings)["full"] = onlyPing;
    (*settings)["Default"] = Setting(true, 1ms, 2ms);
    snapshot.setServiceSettings(settings);
    auto config = snapshot.getServiceConfiguration("full");
    EXPECT_EQ("/", config.separatorAfterResource);
    EXPECT_EQ(100ms, config.watchdogPingInterval);
    EXPECT_EQ(2ms, config.watchdogPongTimeout);
    settings->erase("Default");
    EXPECT_EQ("", snapshot.getSeparatorAfterResource("full"));
    EXPECT_EQ(0ms, snapshot.getWatchdogPongTimeout("full"));
}

}  // namespace
