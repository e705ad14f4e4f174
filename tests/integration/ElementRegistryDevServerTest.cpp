// The element registry end to end: entries kept subscribed to the matching
// elements of a resource of the in-process reference server, through the
// service registry facade, a thread-pool executor, changes of the data and
// the loss and return of the service.

#include <qeldev/DevServer.h>

#include "support/CapturingLoggerFactory.h"
#include "support/WaitFor.h"

#include <QelAccess/ConfigManager.h>
#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/ElementRegistry.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/QelServiceRegistry.h>

#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
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
using qeltest::waitFor;

namespace {

const std::set<std::string> kJazz = {"t13", "t14", "t15", "t16", "t17", "t18",
                                     "t37", "t38", "t39", "t40", "t41", "t42"};

/// What one entry heard: updates per element and the gone elements in order.
/// The callbacks share the record, so late deliveries never outlive it.
class Heard {
public:
    std::shared_ptr<ElementRegistryEntry> entry(bool all, const qel::QelFilter& filter) {
        auto made = std::make_shared<ElementRegistryEntry>("media", "tracks");
        made->withFilter(filter).subscribeToAll(all);
        made->onUpdate([record = m_record](qelutil::JsonObject::Shared element) {
            std::lock_guard<std::mutex> lock(record->mtx);
            ++record->updates[element->getString("id")];
        });
        made->onGone([record = m_record](const std::string& uuid) {
            std::lock_guard<std::mutex> lock(record->mtx);
            record->gone.push_back(uuid);
        });
        return made;
    }
    std::set<std::string> updated() const {
        std::lock_guard<std::mutex> lock(m_record->mtx);
        std::set<std::string> ids;
        for (const auto& element : m_record->updates) ids.insert(element.first);
        return ids;
    }
    int updatesOf(const std::string& id) const {
        std::lock_guard<std::mutex> lock(m_record->mtx);
        auto found = m_record->updates.find(id);
        return found == m_record->updates.end() ? 0 : found->second;
    }
    std::vector<std::string> goneIds() const {
        std::lock_guard<std::mutex> lock(m_record->mtx);
        return m_record->gone;
    }

private:
    struct Record {
        std::mutex mtx;
        std::map<std::string, int> updates;
        std::vector<std::string> gone;
    };
    std::shared_ptr<Record> m_record = std::make_shared<Record>();
};

std::set<std::string> held(const ElementRegistryEntry& entry) {
    auto uuids = entry.getSubscribedUuids();
    return {uuids.begin(), uuids.end()};
}

qel::QelFilter jazz() {
    qel::QelFilter filter;
    filter.add("genre", "jazz");
    return filter;
}

class ElementRegistryDevServerTest : public ::testing::Test {
protected:
    ElementRegistryDevServerTest() : server(options()) {
        server.start();
        const qeldev::ServiceEndpoint media = server.service("media");
        auto config = std::make_shared<qel::ConfigManager>();
        config->getDefaultConfig().serverBaseUri = media.origin;
        config->getDefaultConfig().serverBasePath = media.basePath;
        qel::QelServiceRegistry::Settings settings;
        settings.mode = qel::QelServiceRegistry::STATIC_ONLY;
        services = std::make_shared<qel::QelServiceRegistry>(
            managers, config, logs,
            std::make_shared<qel::HttpAccessFactory>(std::make_shared<qelutil::PocoHttpSessionFactory>()), executor,
            executor, settings, nullptr);
        registry = std::make_shared<qel::ElementRegistry>(services,
                                                          std::shared_ptr<qelutil::ILogger>(logs->createLogger("er")));
    }
    ~ElementRegistryDevServerTest() override {
        services->stop();
        managers->stopAndClearAll();
        executor->shutdown();
        server.stop();
    }

    static qeldev::DevServerOptions options() {
        qeldev::DevServerOptions options;
        options.wsPageSize = 25;  // 60 tracks: three pages
        options.loggerFactory = std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::ERROR);
        return options;
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

    qeldev::DevServer server;
    std::shared_ptr<qeltest::CapturingLoggerFactory> logs =
        std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::WARNING);
    std::shared_ptr<qel::DefaultWebsocketManagerFactory> managers = std::make_shared<qel::DefaultWebsocketManagerFactory>();
    std::shared_ptr<qelutil::ThreadPoolTaskExecutor> executor = std::make_shared<qelutil::ThreadPoolTaskExecutor>(4);
    std::shared_ptr<qel::QelServiceRegistry> services;
    std::shared_ptr<qel::ElementRegistry> registry;
};

TEST_F(ElementRegistryDevServerTest, ALateEntryGetsEveryMatchingElementOfEveryPage) {
    Heard first, late;
    auto early = first.entry(true, jazz());
    registry->registerEntry(early, nullptr);  // the whole resource, paged by the server
    ASSERT_TRUE(waitFor([&] { return first.updated() == kJazz; }));
    auto second = late.entry(true, jazz());
    registry->registerEntry(second, nullptr);
    ASSERT_TRUE(waitFor([&] { return late.updated() == kJazz; })) << "only the first page reached the late entry";
    EXPECT_EQ(kJazz, held(*second));
    EXPECT_TRUE(registry->serviceIsRegistered("media"));
    EXPECT_EQ(std::vector<std::string>(kJazz.begin(), kJazz.end()), registry->getSubscribedElements("media", "tracks"));
}

TEST_F(ElementRegistryDevServerTest, ElementsComeAndGoAndAOneElementEntryTakesTheNextOnlyWhenItsOwnIsGone) {
    Heard all, one;
    auto allEntry = all.entry(true, qel::QelFilter());
    auto oneEntry = one.entry(false, qel::QelFilter());
    registry->registerEntry(allEntry, jazzResource());
    registry->registerEntry(oneEntry, nullptr);
    ASSERT_TRUE(waitFor([&] { return held(*allEntry) == kJazz && held(*oneEntry).size() == 1; }));
    const std::string first = *held(*oneEntry).begin();

    setGenre("t40", "pop");  // stops matching: the server's listing drops it
    ASSERT_TRUE(waitFor([&] { return all.goneIds() == std::vector<std::string>{"t40"}; }));
    auto created = qelutil::JsonFactory::parseObject(R"({"id":"t99","name":"New","genre":"jazz"})");
    server.createElement("media", "tracks", *created);
    ASSERT_TRUE(waitFor([&] { return held(*allEntry).count("t99") == 1; }));
    EXPECT_EQ(1u, held(*oneEntry).size()) << "an entry limited to one element took a second";

    ASSERT_TRUE(server.deleteElement("media", "tracks", first));
    ASSERT_TRUE(waitFor([&] { return one.goneIds().size() == 1 && held(*oneEntry).size() == 1; }));
    EXPECT_EQ(std::vector<std::string>{first}, one.goneIds());
    EXPECT_NE(first, *held(*oneEntry).begin()) << "the one-element entry did not take the next element";
    EXPECT_TRUE(waitFor([&] { return all.goneIds() == (std::vector<std::string>{"t40", first}); }));
}

TEST_F(ElementRegistryDevServerTest, TheServiceGoingAndComingBackRestoresEverySubscriptionOnce) {
    Heard all, one;
    auto allEntry = all.entry(true, qel::QelFilter());
    auto oneEntry = one.entry(false, jazz());
    registry->registerEntry(allEntry, jazzResource());
    registry->registerEntry(oneEntry, nullptr);
    ASSERT_TRUE(waitFor([&] {
        return held(*allEntry) == kJazz && held(*oneEntry).size() == 1 && all.updatesOf("t13") == 1 &&
               all.updatesOf("t14") == 1;
    }));
    const std::set<std::string> oneHeld = held(*oneEntry);

    server.dropWebSockets();
    ASSERT_TRUE(waitFor([&] { return all.goneIds().size() == kJazz.size() && one.goneIds().size() == 1; }));
    // Back with the descriptor stored at registration: jazz only, although
    // the entry itself would take any track.
    ASSERT_TRUE(waitFor([&] {
        return held(*allEntry) == kJazz && held(*oneEntry).size() == 1 && all.updatesOf("t13") >= 2 &&
               all.updatesOf("t14") >= 2;
    }));
    EXPECT_EQ(oneHeld, held(*oneEntry));
    EXPECT_EQ(std::vector<std::string>(kJazz.begin(), kJazz.end()), registry->getSubscribedElements("media", "tracks"));

    // Each element is subscribed once: one change, one update.
    setGenre("t13", "jazz");
    setGenre("t14", "jazz");
    ASSERT_TRUE(waitFor([&] { return all.updatesOf("t13") >= 3 && all.updatesOf("t14") >= 3; }));
    EXPECT_EQ(3, all.updatesOf("t13")) << "an element was subscribed twice";
}

TEST_F(ElementRegistryDevServerTest, UnregisteringTellsEachHeldElementGoneOnceAndDeliversNothingAfter) {
    Heard leaving, staying;
    auto leavingEntry = leaving.entry(true, jazz());
    auto stayingEntry = staying.entry(true, jazz());
    registry->registerEntry(leavingEntry, jazzResource());
    registry->registerEntry(stayingEntry, jazzResource());
    ASSERT_TRUE(waitFor([&] {
        return held(*leavingEntry) == kJazz && held(*stayingEntry) == kJazz && staying.updatesOf("t15") == 1 &&
               leaving.updatesOf("t15") == 1;
    }));
    registry->unregisterEntry(leavingEntry);
    std::vector<std::string> expected(kJazz.begin(), kJazz.end());
    EXPECT_EQ(expected, leaving.goneIds());
    EXPECT_FALSE(leavingEntry->hasSubscription());
    const int before = leaving.updatesOf("t15");
    setGenre("t15", "jazz");
    ASSERT_TRUE(waitFor([&] { return staying.updatesOf("t15") >= 2; }));
    EXPECT_EQ(before, leaving.updatesOf("t15")) << "an update reached an unregistered entry";
    registry->unregisterEntry(leavingEntry);
    EXPECT_TRUE(logs->capture().contains(qelutil::ILogger::WARNING,
                                         "Tried to unregister and already not registered entry in ElementRegistry"));
    EXPECT_EQ(expected, leaving.goneIds());
}

TEST_F(ElementRegistryDevServerTest, EntriesRegisteredAndUnregisteredFromEightThreadsWhileUpdatesFlow) {
    Heard anchor;
    auto anchorEntry = anchor.entry(true, jazz());
    registry->registerEntry(anchorEntry, jazzResource());
    ASSERT_TRUE(waitFor([&] { return held(*anchorEntry) == kJazz; }));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 200 && !stop; ++i) setGenre(i % 2 ? "t16" : "t38", "jazz");
    });
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                Heard heard;
                auto entry = heard.entry(i % 2 == 0, jazz());
                registry->registerEntry(entry, jazzResource());
                registry->unregisterEntry(entry);
                if (entry->hasSubscription()) ADD_FAILURE() << "an unregistered entry holds a subscription";
            }
            ++done;
        });
    }
    for (auto& thread : threads) thread.join();
    stop = true;
    writer.join();
    EXPECT_EQ(8, done.load());
    EXPECT_EQ(kJazz, held(*anchorEntry));
    EXPECT_TRUE(registry->careForResource("media", "tracks"));
    registry->unregisterEntry(anchorEntry);
    EXPECT_FALSE(registry->careForService("media"));
    EXPECT_TRUE(registry->getSubscribedElements("media", "tracks").empty());
}

}  // namespace
