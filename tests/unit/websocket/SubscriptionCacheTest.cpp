#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/SubscriptionCache.h>

#include <QelAccessUtility/JsonFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/MockWebsocketManager.h"
#include "support/TestText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <set>
#include <thread>

using qel::Subscription;
using qel::SubscriptionResponse;
using qelutil::ILogger;
using qelutil::JsonArray;
using ::testing::_;
using namespace std::chrono_literals;

namespace {

JsonArray::Shared numberRange(int64_t from, int64_t count) {
    auto array = qelutil::JsonFactory::createJsonArray();
    for (int64_t i = 0; i < count; ++i) array->addLong(from + i);
    return array;
}

/// The response of one page as the receive path builds it.
std::shared_ptr<SubscriptionResponse> paging(int64_t total, int64_t limit, int64_t offset) {
    qel::PagingObject page;
    page.total = total;
    page.limit = limit;
    page.offset = offset;
    page.totalPages = limit < 1 ? 1 : (total + limit - 1) / limit;
    return std::make_shared<SubscriptionResponse>(page);
}

struct DataCall { std::string key, text; std::shared_ptr<SubscriptionResponse> response; };
struct SubscribeCall {
    std::shared_ptr<const qel::XObjectDescriptor> descriptor; std::string key;
    Subscription::SubscriptionType type; qelutil::Optional<std::chrono::milliseconds> updateLimit;
};

/// A cache holding the resource base subscription "B#1" (update limit
/// 300 ms); the subscribe function hands out keys ending in #100, #101, ...
class SubscriptionCacheTest : public ::testing::Test {
protected:
    SubscriptionCacheTest() {
        ON_CALL(*manager, unsubscribe(_, _)).WillByDefault([this](const std::string& key, bool isBase) {
            std::lock_guard<std::mutex> lock(unsubscribing);
            unsubscribed.push_back(key + (isBase ? " base" : ""));
        });
        base = addBase("B#1", std::make_shared<qel::QelResourceDescriptor>("svc", "res"));
    }

    std::shared_ptr<Subscription> addBase(const std::string& key,
                                          std::shared_ptr<qel::QelResourceDescriptor> descriptor) {
        const auto updateLimit = 300ms;
        auto handle = std::make_shared<Subscription>(manager, descriptor, Subscription::RESOURCE, key, nullptr,
                                                     &updateLimit, true);
        cache.addBaseSubscription(handle);
        return handle;
    }

    void update(const std::string& key, JsonArray::Shared array, std::shared_ptr<SubscriptionResponse> response) {
        cache.updateSubscription(key, std::move(array), std::move(response), subscribe, data);
    }
    /// The base page of B#1, then the answer to its "$limit=0" subscription.
    void startPaging(int64_t total, int64_t limit) {
        update("B#1", numberRange(0, limit), paging(total, limit, 0));
        limitNull(total);
    }
    void limitNull(int64_t total) { update(keyFor("$limit=0"), numberRange(0, 0), paging(total, 0, 0)); }
    void page(int64_t offset, int64_t count, int64_t total = 25, int64_t limit = 10) {
        update(pageKey(offset, limit), numberRange(offset, count), paging(total, limit, offset));
    }
    bool logged(ILogger::LogLevel level, const std::string& text) { return loggers->capture().contains(level, text); }

    /// Key of the subscription made for `query` (e.g. "$limit=0"), or "".
    std::string keyFor(const std::string& query) const {
        for (const auto& call : subscribed)
            if (call.descriptor->createQueryOptionsString() == query) return call.key;
        return "";
    }
    std::string pageKey(int64_t offset, int64_t limit = 10) const {
        return keyFor("$limit=" + std::to_string(limit) + "&$offset=" + std::to_string(offset));
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    // Declared before the cache: its page handles unsubscribe when it goes.
    std::vector<std::string> unsubscribed;
    std::mutex unsubscribing;
    std::shared_ptr<::testing::NiceMock<qeltest::MockWebsocketManager>> manager =
        std::make_shared<::testing::NiceMock<qeltest::MockWebsocketManager>>();
    qel::SubscriptionCache cache{loggers};
    std::shared_ptr<Subscription> base;

    std::vector<SubscribeCall> subscribed;
    std::set<int64_t> failingOffsets;
    bool failLimitNull = false;
    int nextTag = 100;
    qel::SubscriptionCache::SubscribeFunction subscribe =
        [this](std::shared_ptr<const qel::XObjectDescriptor> descriptor, Subscription::SubscriptionType type,
               qelutil::Optional<std::chrono::milliseconds> updateLimit) -> std::shared_ptr<Subscription> {
        const auto offset = descriptor->getQueryOptions().getPagingOffset();
        if (offset.isValid() ? failingOffsets.count(offset.getValue()) != 0 : failLimitNull) return nullptr;
        const std::string key =
            "/base/svc/res/?" + descriptor->createQueryOptionsString() + "#" + std::to_string(nextTag++);
        subscribed.push_back({descriptor, key, type, updateLimit});
        const std::chrono::milliseconds* limit = updateLimit.isValid() ? &updateLimit.getValue() : nullptr;
        return std::make_shared<Subscription>(manager, descriptor, type, key, nullptr, limit, false);
    };

    std::vector<DataCall> delivered;
    qel::SubscriptionCache::HandleDataFunction data = [this](const std::string& key, JsonArray::Shared array,
                                                             std::shared_ptr<SubscriptionResponse> response) {
        delivered.push_back({key, array->toString(), response});
    };
};

}  // namespace

TEST_F(SubscriptionCacheTest, ServerPagingSubscribesTheTotalThenEveryPageAndDeliversThemJoinedOnce) {
    update("B#1", numberRange(0, 10), paging(25, 10, 0));
    update("B#1", numberRange(0, 10), paging(25, 10, 0));  // does not subscribe "$limit=0" again
    EXPECT_TRUE(delivered.empty());
    ASSERT_EQ(subscribed.size(), 1u);
    EXPECT_EQ(subscribed[0].descriptor->createQueryOptionsString(), "$limit=0");
    EXPECT_EQ(subscribed[0].type, Subscription::RESOURCE);
    EXPECT_EQ(subscribed[0].updateLimit.getValue(), 300ms);
    EXPECT_EQ(std::dynamic_pointer_cast<const qel::QelResourceDescriptor>(subscribed[0].descriptor)->getResource(),
              "res");

    const std::string limitNullKey = keyFor("$limit=0");
    limitNull(25);
    EXPECT_TRUE(logged(ILogger::DEBUG, "need to subscribe to additional pages, diff=2"));
    ASSERT_EQ(subscribed.size(), 3u);
    EXPECT_TRUE(cache.isPagedSubscription(pageKey(10)));
    EXPECT_FALSE(cache.isPagedSubscription(limitNullKey));

    // Pages arrive out of order; nothing is delivered until the last one.
    page(20, 5);
    EXPECT_TRUE(delivered.empty());
    page(10, 10);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].key, "B#1");
    EXPECT_EQ(delivered[0].text, numberRange(0, 25)->toString());
    EXPECT_EQ(delivered[0].response->paging->offset.getValue(), 0);
    EXPECT_EQ(delivered[0].response->paging->limit.getValue(), 10);
    // Any later page update delivers the whole list again, once.
    page(10, 10);
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_TRUE(unsubscribed.empty());
}

// Pages are joined in page order, not key order: "$offset=5" sorts after
// "$offset=10" as text. Totals near 2^31 count their pages exactly (single
// precision would round 2049 / 1024 Mi to 2 pages); a forged huge total
// subscribes nothing.
TEST_F(SubscriptionCacheTest, PagesAreCountedExactlyAndJoinedInPageOrder) {
    startPaging(60, 5);
    ASSERT_EQ(subscribed.size(), 12u);
    for (int64_t offset = 55; offset >= 5; offset -= 5) page(offset, 5, 60, 5);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].text, numberRange(0, 60)->toString());

    const int64_t limit = 1073741825;
    cache.removeBaseSubscription("B#1");
    subscribed.clear();
    base = addBase("B#1", std::make_shared<qel::QelResourceDescriptor>("svc", "res"));
    update("B#1", numberRange(0, 1), paging(2 * limit + 1, limit, 0));
    limitNull(2 * limit + 1);
    EXPECT_TRUE(logged(ILogger::DEBUG, "computed totalPages: 3"));
    EXPECT_FALSE(pageKey(limit, limit).empty());
    EXPECT_FALSE(pageKey(2 * limit, limit).empty());

    const std::size_t before = subscribed.size();
    addBase("F#1", std::make_shared<qel::QelResourceDescriptor>("svc", "res"));
    update("F#1", numberRange(0, 1), paging(4, 1, 0));
    update(subscribed.back().key, numberRange(0, 0), paging(INT64_MAX, 0, 0));
    EXPECT_EQ(subscribed.size(), before + 1);
    EXPECT_TRUE(logged(ILogger::WARNING, "too many pages for subscription with key=F#1"));
    EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(SubscriptionCacheTest, ShrinkingTotalDropsTheLastPagesAndUnsubscribesThemAsRemovingTheBaseDoesTheRest) {
    startPaging(25, 10);
    const std::string page10 = pageKey(10), page20 = pageKey(20);
    page(10, 10);
    page(20, 5);
    ASSERT_EQ(delivered.size(), 1u);
    // The remaining pages are complete: each new total delivers at once. A
    // total of 0 still counts as the base page alone.
    const std::vector<std::tuple<int64_t, std::vector<std::string>, int64_t>> steps{{15, {page20}, 20},
                                                                                    {0, {page20, page10}, 10}};
    for (const auto& [total, dropped, elements] : steps) {
        limitNull(total);
        EXPECT_EQ(unsubscribed, dropped) << total;
        EXPECT_EQ(delivered.back().text, numberRange(0, elements)->toString()) << total;
        EXPECT_FALSE(cache.isPagedSubscription(dropped.back()));
        // Late data of a dropped page reaches nobody.
        const std::size_t before = delivered.size();
        update(dropped.back(), numberRange(20, 5), paging(25, 10, 20));
        EXPECT_EQ(delivered.size(), before);
    }
    EXPECT_EQ(delivered.size(), 3u);
    EXPECT_TRUE(logged(ILogger::DEBUG, "need to unsubscribe last pages, diff=1"));
    EXPECT_TRUE(logged(ILogger::WARNING, "could not find a base or child subscription"));
    // Removing the base releases what is left of its subscriptions, once.
    cache.removeBaseSubscription("B#1");
    cache.removeBaseSubscription("B#1");
    EXPECT_EQ(unsubscribed, (std::vector<std::string>{page20, page10, keyFor("$limit=0")}));
    EXPECT_FALSE(cache.hasBaseSubscription("B#1"));
    EXPECT_TRUE(logged(ILogger::INFO, "removed subscription with key=B#1"));
    EXPECT_TRUE(logged(ILogger::INFO, "could not remove subscription with key=B#1, because it does not exist"));
}

TEST_F(SubscriptionCacheTest, DuplicateNullAndPaginglessInputIsLoggedOrRefusedAndTheCacheStaysUsable) {
    auto clientPaged = std::make_shared<qel::QelResourceDescriptor>("svc", "res");
    clientPaged->getQueryOptions().setPagingOffset(5);
    auto second = addBase("B#1", clientPaged);
    EXPECT_TRUE(logged(ILogger::WARNING, "could not add subscription with key=B#1, because it already exist"));
    cache.addBaseSubscription(nullptr);
    EXPECT_TRUE(logged(ILogger::WARNING, "cannot addBaseSubscription: null Subscription received"));
    const auto withoutPaging = [&] { update("B#1", numberRange(1, 1), std::make_shared<SubscriptionResponse>()); };
    EXPECT_EQ(qeltest::runtimeErrorText(withoutPaging), "operator-> called on uninitialized Optional");
    update("B#1", numberRange(1, 1), paging(1, 25, 0));
    EXPECT_EQ(delivered.size(), 1u);
    // The first (unpaged) entry is kept: server paging starts for it.
    update("B#1", numberRange(0, 10), paging(25, 10, 0));
    EXPECT_EQ(subscribed.size(), 1u);
}

TEST_F(SubscriptionCacheTest, FailedSubscriptionsAreLoggedAndRetriedWithTheNextTotal) {
    failLimitNull = true;
    update("B#1", numberRange(0, 10), paging(35, 10, 0));
    EXPECT_TRUE(logged(ILogger::WARNING, "could not create subscription for $limit=0, descriptor.uri="));
    failLimitNull = false;
    // The page at offset 20 fails: the run stops there, so offset 30 is not
    // subscribed out of order.
    failingOffsets = {20};
    startPaging(35, 10);
    EXPECT_TRUE(logged(ILogger::WARNING, "could not create paged subscription"));
    EXPECT_FALSE(pageKey(10).empty());
    EXPECT_TRUE(pageKey(30).empty());
    failingOffsets.clear();
    limitNull(35);
    for (int64_t offset : {10, 20, 30}) page(offset, offset == 30 ? 5 : 10, 35);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].text, numberRange(0, 35)->toString());
}

// The subscribe function does not run under the cache's lock: a manager
// whose subscribe path consults or changes the cache does not deadlock.
TEST_F(SubscriptionCacheTest, CallbacksMayCallBackIntoTheCache) {
    std::function<void()> during = [&] { EXPECT_TRUE(cache.hasBaseSubscription("B#1")); };
    subscribe = [&, plain = subscribe](std::shared_ptr<const qel::XObjectDescriptor> descriptor,
                                       Subscription::SubscriptionType type,
                                       qelutil::Optional<std::chrono::milliseconds> updateLimit) {
        during();
        return plain(std::move(descriptor), type, updateLimit);
    };
    // Removed while its pages are subscribed: "$limit=0" and both new pages go again.
    update("B#1", numberRange(0, 10), paging(25, 10, 0));
    during = [&] { cache.removeBaseSubscription("B#1"); };
    limitNull(25);
    EXPECT_FALSE(cache.isPagedSubscription(pageKey(10)));
    EXPECT_EQ(unsubscribed.size(), 3u);
    EXPECT_TRUE(delivered.empty());
}

// ---- the subscription handle

// Another thread adds and removes bases, B#1 among them, while pages of B#1
// are subscribed and delivered: no crash, no race, no deadlock.
TEST_F(SubscriptionCacheTest, UpdatesRaceSafelyWithAddsAndRemovals) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        const auto other = std::make_shared<qel::QelResourceDescriptor>("svc", "other");
        for (int round = 0; !stop.load(); ++round) {
            const std::string key = "X#" + std::to_string(round % 3);
            auto handle = addBase(key, other);
            cache.isPagedSubscription("x$offset=1");
            cache.removeBaseSubscription(key);
            cache.removeBaseSubscription("B#1");
            addBase("B#1", std::make_shared<qel::QelResourceDescriptor>("svc", "res"));
        }
    });
    for (int i = 0; i < 200; ++i) {
        update("B#1", numberRange(0, 10), paging(25, 10, 0));
        if (!keyFor("$limit=0").empty()) limitNull(25);
        for (const auto& call : subscribed) update(call.key, numberRange(10, 10), paging(25, 10, 10));
        subscribed.clear();
    }
    stop = true;
    churn.join();
    EXPECT_TRUE(cache.hasBaseSubscription("B#1")) << "the last add of B#1 was lost";
}

TEST(SubscriptionTest, UnsubscribesOnceExplicitlyOrWithTheLastReferenceAndNeverKeepsItsManager) {
    auto manager = std::make_shared<::testing::StrictMock<qeltest::MockWebsocketManager>>();
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
    descriptor->setId("e1");
    EXPECT_CALL(*manager, unsubscribe("/base/svc/res#1", true)).Times(1);
    auto explicitly =
        std::make_shared<Subscription>(manager, descriptor, Subscription::RESOURCE, "/base/svc/res#1", true);
    explicitly->unsubscribe();
    EXPECT_FALSE(explicitly->isActive());
    explicitly->unsubscribe();
    explicitly.reset();
    ::testing::Mock::VerifyAndClearExpectations(manager.get());

    EXPECT_CALL(*manager, unsubscribe("/base/svc/res/e1#2", false)).Times(1);
    std::make_shared<Subscription>(manager, descriptor, Subscription::ELEMENT, "/base/svc/res/e1#2", false).reset();
    ::testing::Mock::VerifyAndClearExpectations(manager.get());

    std::weak_ptr<qeltest::MockWebsocketManager> watch = manager;
    auto outliving = std::make_shared<Subscription>(manager, descriptor, Subscription::ELEMENT, "k#3", false);
    manager.reset();
    EXPECT_TRUE(watch.expired());
    outliving->unsubscribe();
    EXPECT_FALSE(outliving->isActive());
}

TEST(SubscriptionTest, ConcurrentUnsubscribesReachTheManagerExactlyOnce) {
    auto manager = std::make_shared<::testing::StrictMock<qeltest::MockWebsocketManager>>();
    std::atomic<int> calls{0};
    EXPECT_CALL(*manager, unsubscribe("k#4", false)).WillRepeatedly([&](const std::string&, bool) { ++calls; });
    for (int round = 0; round < 20; ++round) {
        auto subscription = std::make_shared<Subscription>(
            manager, std::make_shared<qel::XObjectDescriptor>("svc", "res"), Subscription::ELEMENT, "k#4", false);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back([subscription] { subscription->unsubscribe(); });
        subscription.reset();
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(calls.load(), 20);
}
