// Resource subscriptions against the in-process reference server, which
// pages them by 25: the pages of the 60 example tracks joined into one
// delivery, a shrinking total dropping the last page, pages a client asks
// for itself passed through, and released handles ending the subscriptions
// on the server.

#include "WebsocketDevServerFixture.h"

#include <QelAccess/QelResourceDescriptor.h>

namespace wsint {
namespace {

using qeltest::waitFor;
using qelutil::ILogger;

std::shared_ptr<qel::QelResourceDescriptor> resource(const std::string& service, const std::string& name) {
    return std::make_shared<qel::QelResourceDescriptor>(service, name);
}

/// Renames one element on the server; returns the new name.
std::string rename(qeldev::DevServer& server, const std::string& resource, const std::string& id,
                   const std::string& name) {
    auto changed = server.getElement("media", resource, id);
    changed->setString("name", name);
    server.setElement("media", resource, *changed);
    return name;
}

std::string nameAt(const JsonArray& array, std::size_t index) { return array.getObject(index)->getString("name"); }

class WebsocketDevServerPagingTest : public WebsocketDevServerFixture {
protected:
    void SetUp() override {
        WebsocketDevServerFixture::SetUp();
        manager = makeManager(configuration("media"));
        ASSERT_TRUE(connect(*manager));
    }

    /// Subscribes the 60 tracks and waits until their first joined delivery
    /// is the only one.
    std::shared_ptr<qel::Subscription> subscribeTracks(const std::shared_ptr<ArrayDeliveries>& deliveries) {
        auto subscription =
            manager->subscribeResource(resource("media", "tracks"), ArrayDeliveries::recordInto(deliveries));
        EXPECT_TRUE(deliveries->waitForCount(1));
        fence(*manager);
        EXPECT_EQ(deliveries->count(), 1u);
        return subscription;
    }

    std::shared_ptr<DefaultWebsocketManager2> manager;
};

TEST_F(WebsocketDevServerPagingTest, ServerPagesAreDeliveredJoinedInPageOrderOnceComplete) {
    auto deliveries = std::make_shared<ArrayDeliveries>();
    auto subscription = subscribeTracks(deliveries);
    ASSERT_EQ(deliveries->count(), 1u);
    const auto first = deliveries->at(0);
    EXPECT_EQ(idsOf(*first.array), trackIds(60));
    ASSERT_TRUE(first.response && first.response->paging.isValid());
    EXPECT_EQ(first.response->paging->total.getValue(), 60);
    EXPECT_EQ(first.response->paging->offset.getValue(), 0);
    EXPECT_EQ(first.response->paging->limit.getValue(), 25);
    EXPECT_EQ(log().count(ILogger::DEBUG, "successfully created subscription for $limit=0"), 1u);
    EXPECT_EQ(
        log().count(ILogger::DEBUG, "successfully created paged subscription to page with offset=25 and limit=25"), 1u);
    EXPECT_EQ(
        log().count(ILogger::DEBUG, "successfully created paged subscription to page with offset=50 and limit=25"), 1u);

    // A change on the second page reaches the base subscription's callback
    // as the whole list.
    const std::string name = rename(*server, "tracks", "t30", "Thirty Renamed");
    ASSERT_TRUE(waitFor([&] { return nameAt(*deliveries->last().array, 29) == name; }));
    fence(*manager);
    const auto latest = deliveries->last();
    EXPECT_EQ(idsOf(*latest.array), trackIds(60));
    EXPECT_EQ(nameAt(*latest.array, 29), name);
    EXPECT_EQ(latest.response->paging->total.getValue(), 60);
}

TEST_F(WebsocketDevServerPagingTest, ShrinkingTotalDropsTheLastPage) {
    auto deliveries = std::make_shared<ArrayDeliveries>();
    auto subscription = subscribeTracks(deliveries);
    for (int id = 60; id >= 52; --id) ASSERT_TRUE(server->deleteElement("media", "tracks", "t" + std::to_string(id)));
    ASSERT_TRUE(waitFor([&] { return deliveries->last().array->size() == 51; }));
    fence(*manager);
    ASSERT_EQ(idsOf(*deliveries->last().array), trackIds(51));

    // 50 tracks fit on two pages: the third page goes, and no delivery
    // shows its old content again.
    const std::size_t before = deliveries->count();
    ASSERT_TRUE(server->deleteElement("media", "tracks", "t51"));
    ASSERT_TRUE(deliveries->waitForCount(before + 1));
    fence(*manager);
    for (std::size_t i = before; i < deliveries->count(); ++i) {
        const auto delivery = deliveries->at(i);
        EXPECT_EQ(idsOf(*delivery.array), trackIds(50)) << "delivery " << i;
        EXPECT_EQ(delivery.response->paging->total.getValue(), 50);
    }
    EXPECT_TRUE(log().contains(ILogger::DEBUG, "need to unsubscribe last pages, diff=1"));
}

// A change of a paged resource is pushed on every page's subscription (the
// base page, "$limit=0" and each further page), so the cache sees the pages
// of the new state one by one. When an element is removed, the pages move:
// a delivery joining the new first page with old later pages would repeat
// an element, so none may be made until every page agrees on the total.
TEST_F(WebsocketDevServerPagingTest, DeletingAnElementNeverDeliversPagesOfTwoStates) {
    auto deliveries = std::make_shared<ArrayDeliveries>();
    auto subscription = subscribeTracks(deliveries);
    ASSERT_TRUE(deliveries->waitForCount(1));
    fence(*manager);

    const std::size_t before = deliveries->count();
    ASSERT_TRUE(server->deleteElement("media", "tracks", "t1"));
    ASSERT_TRUE(deliveries->waitForCount(before + 1));
    fence(*manager);
    const std::vector<std::string> all = trackIds(60);
    const std::vector<std::string> rest(all.begin() + 1, all.end());
    for (std::size_t i = before; i < deliveries->count(); ++i)
        EXPECT_EQ(idsOf(*deliveries->at(i).array), rest) << "delivery " << i - before << " after the deletion";
}

// When the total stays the same, every page push of one change still
// completes the set, so one change is delivered once per page (the early
// deliveries hold the old content of later pages). Enable once the cache
// can tell that all pages have shown one change; that needs the server to
// say which pushes belong together.
TEST_F(WebsocketDevServerPagingTest, DISABLED_ServerPagedResourceIsDeliveredOncePerChange) {
    auto deliveries = std::make_shared<ArrayDeliveries>();
    auto subscription = subscribeTracks(deliveries);
    const std::string name = rename(*server, "tracks", "t1", "One Renamed");
    ASSERT_TRUE(deliveries->waitForCount(2));
    fence(*manager);
    EXPECT_EQ(deliveries->count(), 2u) << "deliveries for one change: " << deliveries->count() - 1;
    for (std::size_t i = 1; i < deliveries->count(); ++i) EXPECT_EQ(nameAt(*deliveries->at(i).array, 0), name);
}

TEST_F(WebsocketDevServerPagingTest, ClientPagedSubscriptionPassesPagesThroughUnchanged) {
    auto descriptor = resource("media", "tracks");
    descriptor->getQueryOptions().setPagingLimit(10);
    descriptor->getQueryOptions().setPagingOffset(20);
    auto deliveries = std::make_shared<ArrayDeliveries>();
    auto subscription = manager->subscribeResource(descriptor, ArrayDeliveries::recordInto(deliveries));
    ASSERT_TRUE(deliveries->waitForCount(1));
    fence(*manager);
    ASSERT_EQ(deliveries->count(), 1u);
    const auto page = deliveries->at(0);
    const std::vector<std::string> all = trackIds(60);
    EXPECT_EQ(idsOf(*page.array), std::vector<std::string>(all.begin() + 20, all.begin() + 30));
    ASSERT_TRUE(page.response && page.response->paging.isValid());
    EXPECT_EQ(page.response->paging->offset.getValue(), 20);
    EXPECT_EQ(page.response->paging->limit.getValue(), 10);
    EXPECT_EQ(page.response->paging->total.getValue(), 60);
    EXPECT_FALSE(log().contains(ILogger::DEBUG, "successfully created subscription for $limit=0"));

    // One change, one push, one delivery of the same page.
    const std::string name = rename(*server, "tracks", "t25", "Twenty-five Renamed");
    ASSERT_TRUE(deliveries->waitForCount(2));
    fence(*manager);
    ASSERT_EQ(deliveries->count(), 2u);
    EXPECT_EQ(idsOf(*deliveries->at(1).array), idsOf(*page.array));
    EXPECT_EQ(nameAt(*deliveries->at(1).array, 4), name);
    EXPECT_EQ(deliveries->at(1).response->paging->offset.getValue(), 20);
}

TEST_F(WebsocketDevServerPagingTest, ReleasingTheLastHandleEndsTheSubscriptionOnTheServer) {
    // Every paged message is logged with its event on arrival: the count of
    // those lines shows what the server still pushes.
    const auto arrivals = [this](const std::string& event) {
        const std::string line = "updating paged subscription, key=" + event;
        std::size_t n = 0;
        for (const auto& text : log().texts(ILogger::DEBUG))
            if (text.size() >= line.size() && text.compare(text.size() - line.size(), line.size(), line) == 0) ++n;
        return n;
    };
    const auto trackArrivalsSoFar = [this] {
        return log().count(ILogger::DEBUG, "updating paged subscription, key=/api/media/tracks");
    };
    auto released = std::make_shared<ArrayDeliveries>();
    auto kept = std::make_shared<ArrayDeliveries>();
    auto releasedSub = manager->subscribeResource(resource("media", "albums"), ArrayDeliveries::recordInto(released));
    auto keptSub = manager->subscribeResource(resource("media", "albums"), ArrayDeliveries::recordInto(kept));
    ASSERT_TRUE(released->waitForCount(1) && kept->waitForCount(1));
    const std::string releasedKey = releasedSub->getSubscriptionKey();
    rename(*server, "albums", "a2", "Both See This");
    ASSERT_TRUE(released->waitForCount(2) && kept->waitForCount(2));
    const std::size_t arrivedBefore = arrivals(releasedKey);
    EXPECT_EQ(arrivedBefore, 2u);

    releasedSub.reset();
    fence(*manager);  // the unsubscribe went out before the fence's subscribe
    rename(*server, "albums", "a2", "Only The Kept One");
    ASSERT_TRUE(kept->waitForCount(3));
    fence(*manager);
    EXPECT_EQ(arrivals(releasedKey), arrivedBefore);
    EXPECT_EQ(released->count(), 2u);

    // A server-paged subscription takes its page subscriptions with it.
    auto tracks = std::make_shared<ArrayDeliveries>();
    auto tracksSub = subscribeTracks(tracks);
    tracksSub.reset();
    fence(*manager);
    const std::size_t trackArrivals = trackArrivalsSoFar();
    EXPECT_GE(trackArrivals, 4u) << "base page, $limit=0 and two further pages";
    rename(*server, "tracks", "t40", "Nobody Listens");
    fence(*manager);
    EXPECT_EQ(trackArrivalsSoFar(), trackArrivals);
    EXPECT_EQ(tracks->count(), 1u);
}

}  // namespace
}  // namespace wsint
