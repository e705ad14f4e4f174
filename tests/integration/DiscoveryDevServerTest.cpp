// Service discovery and the element registry end to end: the facade against the in-process reference server and
// its registry, the loss and return of services, and entries kept subscribed to the matching elements of a
// resource while its data changes.

#include <qeldev/DevServer.h>

#include "support/CapturingLoggerFactory.h"
#include "support/WaitFor.h"

#include <QelAccess/ConfigManager.h>
#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/ElementRegistry.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/QelServiceRegistry.h>
#include <QelAccess/Service.h>

#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using qel::ElementRegistryEntry;
using qel::QelServiceRegistry;
using qel::Service;
using qeltest::waitFor;
using Events = std::vector<std::string>;

namespace {

/// A short fixed wait between connection attempts, so restarts are quick.
class QuickBackoff : public qelutil::INumberSequence {
public:
    int64_t next() override { return 20; }
    void reset() override {}
};

/// A reference server and the facade's parts, stopped in order at the end.
class Served {
protected:
    Served(bool threadPool, int64_t wsPageSize) : server(options(wsPageSize)) {
        if (threadPool)
            pool = std::make_shared<qelutil::ThreadPoolTaskExecutor>(4);
        else
            serial = std::make_shared<qelutil::SerialTaskExecutor>();
        executor = pool ? std::shared_ptr<qelutil::ITaskExecutor>(pool) : serial;
        server.start();
        managers->setConnectionBackoffPicker([](const std::string&) { return std::make_shared<QuickBackoff>(); });
    }
    ~Served() {
        if (registry) registry->stop();
        managers->stopAndClearAll();
        if (pool) pool->shutdown();
        if (serial) serial->shutdown();
        server.stop();
    }
    static qeldev::DevServerOptions options(int64_t wsPageSize) {
        qeldev::DevServerOptions options;
        options.wsPageSize = wsPageSize;
        options.loggerFactory = std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::ERROR);
        return options;
    }
    void startRegistry(QelServiceRegistry::Mode mode, std::shared_ptr<qel::ConfigManager> staticConfig) {
        QelServiceRegistry::Settings settings;
        settings.mode = mode;
        settings.httpUri = server.origins().at(0);
        settings.servicesFilterFunction = [this](qelutil::JsonArray::Shared) { ++listings; };
        registry = std::make_shared<QelServiceRegistry>(
            managers, staticConfig, logs,
            std::make_shared<qel::HttpAccessFactory>(std::make_shared<qelutil::PocoHttpSessionFactory>()), executor,
            executor, settings, nullptr);
    }

    qeldev::DevServer server;
    std::shared_ptr<qeltest::CapturingLoggerFactory> logs =
        std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::INFO);
    std::shared_ptr<qel::DefaultWebsocketManagerFactory> managers =
        std::make_shared<qel::DefaultWebsocketManagerFactory>();
    std::shared_ptr<qelutil::ThreadPoolTaskExecutor> pool;
    std::shared_ptr<qelutil::SerialTaskExecutor> serial;
    std::shared_ptr<qelutil::ITaskExecutor> executor;
    std::shared_ptr<QelServiceRegistry> registry;
    std::shared_ptr<qel::ElementRegistry> elements;
    std::atomic<int> listings{0};
};

/// What one listener heard, in order, thread-safe: "available N" (N numbers the service objects in the order the
/// listener got them) and "unavailable", and the service objects.
class Listener {
public:
    qel::UntypedServiceListener listener() {
        return {[this](std::shared_ptr<Service> service) { record(service, "available"); },
                [this] { record(nullptr, "unavailable"); }, nullptr};
    }
    Events heard() const {
        std::lock_guard<std::mutex> lock(mtx);
        return events;
    }
    std::size_t count() const { return heard().size(); }
    std::shared_ptr<Service> service(std::size_t index) const {
        std::lock_guard<std::mutex> lock(mtx);
        return services.at(index);
    }

private:
    void record(std::shared_ptr<Service> service, const std::string& what) {
        std::lock_guard<std::mutex> lock(mtx);
        if (service) services.push_back(service);
        events.push_back(service ? what + " " + std::to_string(services.size()) : what);
    }
    mutable std::mutex mtx;
    Events events;
    std::vector<std::shared_ptr<Service>> services;
};

/// Runs each scenario with a serial executor and with a thread pool.
class DiscoveryDevServerTest : public ::testing::TestWithParam<bool>, protected Served {
protected:
    DiscoveryDevServerTest() : Served(GetParam(), 0) {}
    void add(Listener& listener, const std::string& name = "media") {
        registry->addServiceListener(name, listener.listener(), [](auto accessor, auto manager) {
            return std::make_unique<Service>(std::move(accessor), std::move(manager));
        });
    }
};

TEST_P(DiscoveryDevServerTest, ListenersWaitForTheirServiceShareItsManagerAndFollowItsLossAndMove) {
    server.unregisterService("media");
    startRegistry(QelServiceRegistry::DYNAMIC_ONLY, std::make_shared<qel::ConfigManager>());
    Listener first, second, navigation;
    add(first);
    add(second);
    add(navigation, "navigation");
    ASSERT_TRUE(waitFor([&] { return listings > 0 && navigation.count() == 1; }));
    EXPECT_EQ(0u, first.count()) << "available before the registry listed the service";
    server.registerService("media");
    ASSERT_TRUE(waitFor([&] { return first.count() == 1 && second.count() == 1; }));
    EXPECT_NE(first.service(0), second.service(0));
    EXPECT_EQ(first.service(0)->getWebsocketManager(), second.service(0)->getWebsocketManager());

    server.dropWebSockets();
    const Events again = {"available 1", "unavailable", "available 2"};
    ASSERT_TRUE(waitFor([&] { return first.count() == 3 && second.count() == 3 && navigation.count() == 3; }));
    EXPECT_EQ(again, first.heard());
    EXPECT_EQ(again, second.heard());
    EXPECT_EQ(again, navigation.heard());
    EXPECT_NE(first.service(0), first.service(1));

    // Navigation's origin closes (its connection drops) and opens on another port; the registry's push of the new
    // address may come before or after the loss is told.
    server.moveService("navigation");
    ASSERT_TRUE(waitFor([&] { return navigation.count() == 5; }));
    EXPECT_EQ((Events{"available 1", "unavailable", "available 2", "unavailable", "available 3"}), navigation.heard());
    EXPECT_NE(navigation.service(1)->getWebsocketManager(), navigation.service(2)->getWebsocketManager())
        << "navigation is not reached at its new origin";
    EXPECT_EQ(again, first.heard());
}

INSTANTIATE_TEST_SUITE_P(Executors, DiscoveryDevServerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThreadPool" : "Serial";
                         });

const std::set<std::string> kJazz = {"t13", "t14", "t15", "t16", "t17", "t18",
                                     "t37", "t38", "t39", "t40", "t41", "t42"};
const std::vector<std::string> kJazzInOrder(kJazz.begin(), kJazz.end());

/// What one entry heard: updates per element and the gone elements in order.
struct Record {
    std::map<std::string, int> updates;
    std::vector<std::string> gone;
};

/// Makes entries that record what they hear; the callbacks share the record, so late deliveries never outlive it.
class Heard {
public:
    std::shared_ptr<ElementRegistryEntry> entry(bool all, bool jazzOnly) {
        auto made = std::make_shared<ElementRegistryEntry>("media", "tracks");
        qel::QelFilter filter;
        if (jazzOnly) filter.add("genre", "jazz");
        made->withFilter(filter).subscribeToAll(all);
        made->onUpdate([shared = m_shared](qelutil::JsonObject::Shared element) {
            std::lock_guard<std::mutex> lock(shared->mtx);
            ++shared->record.updates[element->getString("id")];
        });
        made->onGone([shared = m_shared](const std::string& uuid) {
            std::lock_guard<std::mutex> lock(shared->mtx);
            shared->record.gone.push_back(uuid);
        });
        return made;
    }
    Record now() const {
        std::lock_guard<std::mutex> lock(m_shared->mtx);
        return m_shared->record;
    }
    int updatesOf(const std::string& id) const { return now().updates[id]; }
    std::vector<std::string> goneIds() const { return now().gone; }

private:
    struct Shared {
        std::mutex mtx;
        Record record;
    };
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
};

std::set<std::string> held(const ElementRegistryEntry& entry) {
    auto uuids = entry.getSubscribedUuids();
    return {uuids.begin(), uuids.end()};
}

/// The element registry on the static configuration of the media service, whose 60 tracks come in three pages.
class ElementRegistryDevServerTest : public ::testing::Test, protected Served {
protected:
    ElementRegistryDevServerTest() : Served(true, 25) {
        auto config = std::make_shared<qel::ConfigManager>();
        config->getDefaultConfig().serverBaseUri = server.service("media").origin;
        config->getDefaultConfig().serverBasePath = server.service("media").basePath;
        startRegistry(QelServiceRegistry::STATIC_ONLY, config);
        elements = std::make_shared<qel::ElementRegistry>(
            registry, std::shared_ptr<qelutil::ILogger>(logs->createLogger("er")));
    }
    /// A resource descriptor that lets the server send only jazz tracks.
    static std::shared_ptr<qel::XObjectDescriptor> jazzResource() {
        auto descriptor = std::make_shared<qel::XObjectDescriptor>("media", "tracks");
        descriptor->getQelFilter().add("genre", "jazz");
        return descriptor;
    }
    void setGenre(const std::string& id, const std::string& genre) {
        auto track = server.getElement("media", "tracks", id);
        track->setString("genre", genre);
        server.setElement("media", "tracks", *track);
    }
};

TEST_F(ElementRegistryDevServerTest, EntriesGetEveryMatchingElementOfEveryPageFromAnyThreadUntilUnregistered) {
    Heard first, late;
    auto early = first.entry(true, true);
    elements->registerEntry(early, nullptr);  // the whole resource, paged by the server
    ASSERT_TRUE(waitFor([&] { return first.now().updates.size() == kJazz.size(); }));
    auto second = late.entry(true, true);
    elements->registerEntry(second, nullptr);
    ASSERT_TRUE(waitFor([&] { return late.now().updates.size() == kJazz.size(); })) << "only the first page arrived";
    EXPECT_EQ(kJazz, held(*second));
    EXPECT_TRUE(elements->serviceIsRegistered("media"));
    EXPECT_EQ(kJazzInOrder, elements->getSubscribedElements("media", "tracks"));

    // Entries registered and unregistered from eight threads while updates flow.
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) setGenre(i % 2 ? "t16" : "t38", "jazz");
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                Heard heard;
                auto entry = heard.entry(i % 2 == 0, true);
                elements->registerEntry(entry, jazzResource());
                elements->unregisterEntry(entry);
                if (entry->hasSubscription()) ADD_FAILURE() << "an unregistered entry holds a subscription";
            }
        });
    }
    for (auto& thread : threads) thread.join();
    writer.join();
    EXPECT_EQ(kJazz, held(*early));

    ASSERT_TRUE(waitFor([&] { return first.updatesOf("t15") == 1 && late.updatesOf("t15") == 1; }));
    elements->unregisterEntry(early);
    EXPECT_EQ(kJazzInOrder, first.goneIds());
    EXPECT_FALSE(early->hasSubscription());
    setGenre("t15", "jazz");
    ASSERT_TRUE(waitFor([&] { return late.updatesOf("t15") >= 2; }));
    EXPECT_EQ(1, first.updatesOf("t15")) << "an update reached an unregistered entry";
    elements->unregisterEntry(early);
    EXPECT_TRUE(logs->capture().contains(qelutil::ILogger::WARNING,
                                         "Tried to unregister and already not registered entry in ElementRegistry"));
    EXPECT_EQ(kJazzInOrder, first.goneIds());
    EXPECT_TRUE(elements->careForResource("media", "tracks"));
    elements->unregisterEntry(second);
    EXPECT_FALSE(elements->careForService("media"));
    EXPECT_TRUE(elements->getSubscribedElements("media", "tracks").empty());
}

TEST_F(ElementRegistryDevServerTest, TheServiceComingBackRestoresEverySubscriptionOnceAndElementsComeAndGo) {
    Heard all, one;
    auto allEntry = all.entry(true, false);
    auto oneEntry = one.entry(false, true);
    elements->registerEntry(allEntry, jazzResource());
    elements->registerEntry(oneEntry, nullptr);
    auto restored = [&](int updates) {
        return held(*allEntry) == kJazz && held(*oneEntry).size() == 1 && all.updatesOf("t13") >= updates &&
               all.updatesOf("t14") >= updates;
    };
    ASSERT_TRUE(waitFor([&] { return restored(1); }));
    const std::string first = *held(*oneEntry).begin();
    server.dropWebSockets();
    ASSERT_TRUE(waitFor([&] { return all.goneIds().size() == kJazz.size() && one.goneIds().size() == 1; }));
    // Back with the descriptor stored at registration: jazz only, although the entry itself would take any track.
    ASSERT_TRUE(waitFor([&] { return restored(2); }));
    EXPECT_EQ(first, *held(*oneEntry).begin());
    EXPECT_EQ(kJazzInOrder, elements->getSubscribedElements("media", "tracks"));
    setGenre("t13", "jazz");  // each element is subscribed once: one change, one update
    setGenre("t14", "jazz");
    ASSERT_TRUE(waitFor([&] { return all.updatesOf("t13") >= 3 && all.updatesOf("t14") >= 3; }));
    EXPECT_EQ(3, all.updatesOf("t13")) << "an element was subscribed twice";

    setGenre("t40", "pop");  // stops matching: the server's listing drops it
    ASSERT_TRUE(waitFor([&] { return all.goneIds().size() == kJazz.size() + 1; }));
    EXPECT_EQ("t40", all.goneIds().back());
    server.createElement("media", "tracks", *qelutil::JsonFactory::parseObject(R"({"id":"t99","genre":"jazz"})"));
    ASSERT_TRUE(waitFor([&] { return held(*allEntry).count("t99") == 1; }));
    EXPECT_EQ(1u, held(*oneEntry).size()) << "an entry limited to one element took a second";
    ASSERT_TRUE(server.deleteElement("media", "tracks", first));
    ASSERT_TRUE(waitFor([&] { return one.goneIds().size() == 2 && held(*oneEntry).size() == 1; }));
    EXPECT_EQ(first, one.goneIds().back());
    EXPECT_NE(first, *held(*oneEntry).begin()) << "the one-element entry did not take the next element";
    EXPECT_TRUE(waitFor([&] { return all.goneIds().size() == kJazz.size() + 2 && all.goneIds().back() == first; }));
}

}  // namespace
