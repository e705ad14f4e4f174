// The WebSocket subsystem against the in-process reference server, which
// pages subscriptions by 25: the registry's root subscription, the pages of
// the 60 example tracks joined into one delivery, a shrinking total, pages a
// client asks for itself, and released handles ending the subscriptions on
// the server.

#include <qeldev/DevServer.h>

#include <support/CapturingLoggerFactory.h>
#include <support/WaitFor.h>

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/SerialTaskExecutor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <pthread.h>

namespace {

using qel::DefaultWebsocketManager2;
using qelutil::ILogger;
using qelutil::JsonArray;
using qeltest::waitFor;

/// The values of `field` of the array's objects, in order.
std::vector<std::string> fieldOf(const JsonArray& array, const std::string& field = "id") {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < array.size(); ++i) values.push_back(array.getObject(i)->getString(field));
    return values;
}

/// "t<from>" to "t<to>": example tracks in their listing order.
std::vector<std::string> trackIds(int from, int to) {
    std::vector<std::string> ids;
    for (int i = from; i <= to; ++i) ids.push_back("t" + std::to_string(i));
    return ids;
}

/// Every delivery of an array subscription; callbacks hold it through a
/// shared pointer, so a late delivery never outlives it.
struct Deliveries {
    struct Delivery { JsonArray::Shared array; std::shared_ptr<const qel::SubscriptionResponse> response; };
    static qel::IWebsocketManager::ArrayCallback into(std::shared_ptr<Deliveries> deliveries) {
        return [deliveries](JsonArray::Shared array, std::shared_ptr<const qel::SubscriptionResponse> response) {
            std::lock_guard<std::mutex> lock(deliveries->mutex);
            deliveries->all.push_back({std::move(array), std::move(response)});
        };
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(mutex);
        return all.size();
    }
    Delivery at(std::size_t index) const {
        std::lock_guard<std::mutex> lock(mutex);
        return all.at(index);
    }
    Delivery last() const { return at(count() - 1); }
    bool waitForCount(std::size_t n) const { return waitFor([&] { return count() >= n; }); }
    mutable std::mutex mutex;
    std::vector<Delivery> all;
};

class WebsocketDevServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        qeldev::DevServerOptions options;
        options.wsPageSize = 25;
        options.loggerFactory = std::make_shared<qeltest::CapturingLoggerFactory>(ILogger::WARNING);
        server = std::make_unique<qeldev::DevServer>(options);
        server->start();
        manager = connected("media", server->service("media").origin, server->service("media").basePath);
    }
    void TearDown() override {
        manager->disconnect();
        auto ran = std::make_shared<std::atomic<bool>>(false);
        executor->add([ran] { *ran = true; }, "drain");
        ASSERT_TRUE(waitFor([&] { return ran->load(); }));
    }

    std::shared_ptr<DefaultWebsocketManager2> connected(const std::string& service, const std::string& origin,
                                                        const std::string& basePath) {
        qel::IConfigManager::ServiceConfiguration config;
        config.serviceName = service;
        config.serverBaseUri = origin;
        config.serverBasePath = basePath;
        config.separatorAfterResource = "/";
        auto made = std::make_shared<DefaultWebsocketManager2>(config, "MA_WS_" + service, executor, loggers);
        made->connectToWebsocketAndThen([] {}, [] {});
        EXPECT_TRUE(waitFor([&] { return made->getConnectionState() == qel::IWebsocketManager::CONNECTED; }));
        return made;
    }

    /// Subscribes an element and waits for its first data. The server
    /// answers a subscribe only after pushing every change made before it,
    /// the connection thread handles messages in order and the executor runs
    /// tasks in order: when this returns, everything the server sent earlier
    /// has reached its callback.
    void fence() {
        auto arrived = std::make_shared<std::atomic<bool>>(false);
        auto album = std::make_shared<qel::XObjectDescriptor>("media", "albums");
        album->setId("a1");
        auto subscription =
            manager->subscribeElement(album, [arrived](qelutil::JsonObject::Shared) { *arrived = true; });
        ASSERT_TRUE(waitFor([&] { return arrived->load(); })) << "the fence's data never arrived";
    }

    std::string rename(const std::string& resource, const std::string& id, const std::string& name) {
        auto changed = server->getElement("media", resource, id);
        changed->setString("name", name);
        server->setElement("media", resource, *changed);
        return name;
    }

    /// Subscribes `resource` (paged by the client when `limit` is given)
    /// and waits for its one first delivery.
    std::shared_ptr<qel::Subscription> subscribe(const std::string& resource,
                                                 const std::shared_ptr<Deliveries>& deliveries, int limit = -1,
                                                 int offset = -1) {
        auto descriptor = std::make_shared<qel::QelResourceDescriptor>("media", resource);
        if (limit >= 0) descriptor->getQueryOptions().setPagingLimit(limit);
        if (offset >= 0) descriptor->getQueryOptions().setPagingOffset(offset);
        auto subscription = manager->subscribeResource(descriptor, Deliveries::into(deliveries));
        EXPECT_TRUE(deliveries->waitForCount(1));
        fence();
        EXPECT_EQ(deliveries->count(), 1u);
        return subscription;
    }

    /// Waits for a delivery after the `before` ones, then for the server to have sent everything.
    void awaitDeliveryAfter(const Deliveries& deliveries, std::size_t before) {
        ASSERT_TRUE(deliveries.waitForCount(before + 1));
        fence();
    }

    qeltest::LogCapture& log() { return loggers->capture(); }

    // Declared first, destroyed last: managers post to it up to their end.
    std::shared_ptr<qelutil::SerialTaskExecutor> executor = std::make_shared<qelutil::SerialTaskExecutor>("wsint-exec");
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::unique_ptr<qeldev::DevServer> server;
    std::shared_ptr<DefaultWebsocketManager2> manager;
};

// Element data and its pushes reach the callback on the executor's worker,
// never on the connection thread; a deleted element's subscription ends, so
// an element created again under its id is not delivered.
TEST_F(WebsocketDevServerTest, ElementDataAndPushesArriveOnTheExecutorUntilGone) {
    auto names = std::make_shared<std::vector<std::string>>();
    auto mutex = std::make_shared<std::mutex>();
    auto track = std::make_shared<qel::XObjectDescriptor>("media", "tracks");
    track->setId("t7");
    auto subscription = manager->subscribeElement(track, [names, mutex](qelutil::JsonObject::Shared data) {
        char thread[16] = {};
        pthread_getname_np(pthread_self(), thread, sizeof thread);
        std::lock_guard<std::mutex> lock(*mutex);
        names->push_back(std::string(thread) + " " + data->getString("name"));
    });
    const auto seen = [&] {
        std::lock_guard<std::mutex> lock(*mutex);
        return *names;
    };
    const std::string original = server->getElement("media", "tracks", "t7")->getString("name");
    ASSERT_TRUE(waitFor([&] { return seen().size() == 1; }));
    rename("tracks", "t7", "Renamed Seven");
    ASSERT_TRUE(waitFor([&] { return seen().size() == 2; }));
    auto changed = server->getElement("media", "tracks", "t7");
    ASSERT_TRUE(server->deleteElement("media", "tracks", "t7"));
    ASSERT_TRUE(waitFor([&] {
        return log().contains(ILogger::INFO, "Got gone: removing baseSubscription and callback for event=" +
                                                 subscription->getSubscriptionKey());
    }));
    server->createElement("media", "tracks", *changed);
    rename("tracks", "t7", "Back Again");
    fence();
    EXPECT_EQ(seen(), (std::vector<std::string>{"wsint-exec " + original, "wsint-exec Renamed Seven"}));
}

TEST_F(WebsocketDevServerTest, RootSubscriptionOfTheRegistryDeliversTheServiceList) {
    const std::string origin = server->origins().at(0);
    auto registry = connected("ServiceRegistry", origin, "/");
    auto deliveries = std::make_shared<Deliveries>();
    auto subscription =
        registry->subscribeRoot(std::make_shared<qel::XObjectDescriptor>(), Deliveries::into(deliveries));
    ASSERT_TRUE(deliveries->waitForCount(1));
    const auto names = fieldOf(*deliveries->at(0).array, "name");
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"climate", "media", "navigation"}));
    EXPECT_EQ(deliveries->at(0).response->paging->total.getValue(), static_cast<int64_t>(names.size()));
    registry->disconnect();
}

// A change of a paged resource is pushed on every page's subscription, so
// the cache sees the pages of the new state one by one. When elements go,
// the pages move: no delivery may join pages of two states. Pages a client
// asks for pass through as they are.
TEST_F(WebsocketDevServerTest, ServerPagesAreJoinedNeverFromTwoStatesUntilReleasedAndClientPagesPassThrough) {
    auto deliveries = std::make_shared<Deliveries>(), clientPage = std::make_shared<Deliveries>();
    auto subscription = subscribe("tracks", deliveries);
    auto clientSubscription = subscribe("tracks", clientPage, 10, 20);
    EXPECT_EQ(fieldOf(*deliveries->at(0).array), trackIds(1, 60));
    EXPECT_EQ(deliveries->at(0).response->paging->limit.getValue(), 25);
    EXPECT_EQ(fieldOf(*clientPage->at(0).array), trackIds(21, 30));
    EXPECT_EQ(log().count(ILogger::DEBUG, "successfully created subscription for $limit=0"), 1u);
    for (const std::string offset : {"25", "50"})
        EXPECT_EQ(log().count(ILogger::DEBUG, "successfully created paged subscription to page with offset=" + offset +
                                                  " and limit=25"),
                  1u);
    // A change on the second page reaches the base callback as the whole
    // list, the client's page once as that page.
    const std::string name = rename("tracks", "t30", "Thirty Renamed");
    ASSERT_NO_FATAL_FAILURE(awaitDeliveryAfter(*clientPage, 1));
    EXPECT_EQ(fieldOf(*deliveries->last().array), trackIds(1, 60));
    EXPECT_EQ(fieldOf(*deliveries->last().array, "name").at(29), name);
    ASSERT_EQ(clientPage->count(), 2u);
    EXPECT_EQ(fieldOf(*clientPage->at(1).array), trackIds(21, 30));
    EXPECT_EQ(fieldOf(*clientPage->at(1).array, "name").at(9), name);
    for (const auto& page : {clientPage->at(0), clientPage->at(1)})
        EXPECT_EQ(page.response->paging->offset.getValue(), 20);
    EXPECT_EQ(clientPage->at(1).response->paging->limit.getValue(), 10);
    clientSubscription.reset();

    for (const auto& [id, expected] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"t1", trackIds(2, 60)}, {"t60", trackIds(2, 59)}}) {
        const std::size_t before = deliveries->count();
        ASSERT_TRUE(server->deleteElement("media", "tracks", id));
        ASSERT_NO_FATAL_FAILURE(awaitDeliveryAfter(*deliveries, before));
        for (std::size_t i = before; i < deliveries->count(); ++i)
            EXPECT_EQ(fieldOf(*deliveries->at(i).array), expected) << id << " " << i;
    }
    EXPECT_EQ(deliveries->last().response->paging->total.getValue(), 58);
    // Released, the base takes its page subscriptions with it: the server
    // pushes nothing more. Every paged message is logged with its event on
    // arrival; the count of those lines shows what the server still pushes.
    subscription.reset();
    fence();  // the unsubscribes went out before the fence's subscribe
    const std::size_t arrivals = log().count(ILogger::DEBUG, "updating paged subscription, key=/api/media/tracks");
    EXPECT_GE(arrivals, 4u) << "base page, $limit=0 and two further pages";
    rename("tracks", "t40", "Nobody Listens");
    fence();
    EXPECT_EQ(log().count(ILogger::DEBUG, "updating paged subscription, key=/api/media/tracks"), arrivals);
}

TEST_F(WebsocketDevServerTest, ReleasingTheLastHandleEndsTheSubscriptionOnTheServer) {
    const auto arrivals = [this](const std::string& event) {
        return log().count(ILogger::DEBUG, "updating paged subscription, key=" + event);
    };
    auto released = std::make_shared<Deliveries>(), kept = std::make_shared<Deliveries>();
    auto releasedSub = subscribe("albums", released);
    auto keptSub = subscribe("albums", kept);
    const std::string releasedKey = releasedSub->getSubscriptionKey();
    rename("albums", "a2", "Both See This");
    ASSERT_TRUE(released->waitForCount(2) && kept->waitForCount(2));
    EXPECT_EQ(arrivals(releasedKey), 2u);
    releasedSub.reset();
    fence();
    rename("albums", "a2", "Only The Kept One");
    ASSERT_NO_FATAL_FAILURE(awaitDeliveryAfter(*kept, 2));
    EXPECT_EQ(arrivals(releasedKey), 2u);
    EXPECT_EQ(released->count(), 2u);
}

}  // namespace
