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
#include <set>
#include <thread>

using qel::PagingObject;
using qel::Subscription;
using qel::SubscriptionCache;
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
    PagingObject page;
    page.total = total;
    page.limit = limit;
    page.offset = offset;
    page.totalPages = limit < 1 ? 1 : (total + limit - 1) / limit;
    return std::make_shared<SubscriptionResponse>(page);
}


struct SubscribeCall {
    std::shared_ptr<const qel::XObjectDescriptor> descriptor;
    Subscription::SubscriptionType type;
    qelutil::Optional<std::chrono::milliseconds> updateLimit;
    std::string key;
};

struct DataCall {
    std::string key;
    std::string text;
    std::shared_ptr<SubscriptionResponse> response;
    JsonArray::Shared array;
};

class SubscriptionCacheTest : public ::testing::Test {
protected:
    SubscriptionCacheTest() {
        ON_CALL(*manager, unsubscribe(_, _)).WillByDefault([this](const std::string& key, bool isBase) {
            std::lock_guard<std::mutex> lock(unsubscribedMutex);
            unsubscribed.push_back(key + (isBase ? " base" : ""));
        });
    }

    /// Adds a resource base subscription and returns its handle.
    std::shared_ptr<Subscription> addBase(const std::string& key,
                                          std::shared_ptr<qel::QelResourceDescriptor> descriptor = nullptr) {
        if (!descriptor) descriptor = std::make_shared<qel::QelResourceDescriptor>("svc", "res");
        const auto updateLimit = 300ms;
        auto handle = std::make_shared<Subscription>(manager, descriptor, Subscription::RESOURCE, key, nullptr,
                                                     &updateLimit, true);
        cache.addBaseSubscription(handle);
        return handle;
    }

    void update(const std::string& key, JsonArray::Shared array, std::shared_ptr<SubscriptionResponse> response) {
        cache.updateSubscription(key, std::move(array), std::move(response), subscribe, data);
    }
    /// The answer to the "$limit=0" subscription: no elements, only the total.
    void limitNull(int64_t total) { update(keyFor("$limit=0"), numberRange(0, 0), paging(total, 0, 0)); }
    void page(int64_t offset, int64_t count, int64_t total = 25, int64_t limit = 10) {
        update(keyFor("$limit=" + std::to_string(limit) + "&$offset=" + std::to_string(offset)), numberRange(offset, count), paging(total, limit, offset));
    }
    bool logged(ILogger::LogLevel level, const std::string& text) { return loggers->capture().contains(level, text); }

    /// Key of the subscription made for `query` (e.g. "$limit=0"), or "".
    std::string keyFor(const std::string& query) const {
        for (const auto& call : subscribeCalls)
            if (call.descriptor->createQueryOptionsString() == query) return call.key;
        return "";
    }

    std::vector<std::string> unsubscribedKeys() {
        std::lock_guard<std::mutex> lock(unsubscribedMutex);
        return unsubscribed;
    }

    /// Runs the server paging of base "B#1" (limit 10, total 25) up to the
    /// point where the base page and the total are known.
    void startPagingOf25() {
        update("B#1", numberRange(0, 10), paging(25, 10, 0));
        limitNull(25);
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    // Declared before the cache: its page handles unsubscribe when it goes.
    std::mutex unsubscribedMutex;
    std::vector<std::string> unsubscribed;
    std::shared_ptr<::testing::NiceMock<qeltest::MockWebsocketManager>> manager =
        std::make_shared<::testing::NiceMock<qeltest::MockWebsocketManager>>();
    SubscriptionCache cache{loggers};

    std::vector<SubscribeCall> subscribeCalls;
    std::set<int64_t> failingOffsets;
    bool failLimitNull = false;
    int nextTag = 100;
    SubscriptionCache::SubscribeFunction subscribe =
        [this](std::shared_ptr<const qel::XObjectDescriptor> descriptor, Subscription::SubscriptionType type,
               qelutil::Optional<std::chrono::milliseconds> updateLimit) -> std::shared_ptr<Subscription> {
        const auto offset = descriptor->getQueryOptions().getPagingOffset();
        if (offset.isValid() && failingOffsets.count(offset.getValue()) != 0) return nullptr;
        if (!offset.isValid() && failLimitNull) return nullptr;
        const std::string key = "/base/svc/res/?" + descriptor->createQueryOptionsString() + "#" +
                                std::to_string(nextTag++);
        subscribeCalls.push_back({descriptor, type, updateLimit, key});
        const std::chrono::milliseconds* limit = updateLimit.isValid() ? &updateLimit.getValue() : nullptr;
        return std::make_shared<Subscription>(manager, descriptor, type, key, nullptr, limit, false);
    };

    std::vector<DataCall> delivered;
    SubscriptionCache::HandleDataFunction data = [this](const std::string& key, JsonArray::Shared array,
                                                        std::shared_ptr<SubscriptionResponse> response) {
        delivered.push_back({key, array->toString(), response, array});
    };
};

}  // namespace

TEST_F(SubscriptionCacheTest, UnpagedDataPassesStraightToTheBaseCallback) {
    auto handle = addBase("B#1");
    EXPECT_TRUE(logged(ILogger::INFO, "add subscription with key=B#1"));
    EXPECT_TRUE(cache.hasBaseSubscription("B#1"));

    auto array = numberRange(1, 3);
    auto response = paging(3, 25, 0);
    update("B#1", array, response);
    update("B#1", numberRange(4, 1), paging(1, 25, 0));

    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].key, "B#1");
    EXPECT_EQ(delivered[0].array, array);
    EXPECT_EQ(delivered[0].response, response);
    EXPECT_EQ(delivered[0].response->paging->total.getValue(), 3);
    EXPECT_EQ(delivered[1].text, "[4]");
    EXPECT_TRUE(subscribeCalls.empty());
    EXPECT_FALSE(cache.isPagedSubscription("B#1"));
}

TEST_F(SubscriptionCacheTest, ServerPagingCollectsEveryPageAndDeliversThemJoinedOnce) {
    auto handle = addBase("B#1");

    update("B#1", numberRange(0, 10), paging(25, 10, 0));
    EXPECT_TRUE(delivered.empty());
    ASSERT_EQ(subscribeCalls.size(), 1u);
    EXPECT_EQ(subscribeCalls[0].descriptor->createQueryOptionsString(), "$limit=0");
    EXPECT_EQ(subscribeCalls[0].type, Subscription::RESOURCE);
    ASSERT_TRUE(subscribeCalls[0].updateLimit.isValid());
    EXPECT_EQ(subscribeCalls[0].updateLimit.getValue(), 300ms);
    EXPECT_NE(std::dynamic_pointer_cast<const qel::QelResourceDescriptor>(subscribeCalls[0].descriptor), nullptr);
    EXPECT_EQ(subscribeCalls[0].descriptor->getService(), "svc");
    EXPECT_EQ(subscribeCalls[0].descriptor->getResource(), "res");

    // A second base page does not subscribe "$limit=0" again.
    update("B#1", numberRange(0, 10), paging(25, 10, 0));
    ASSERT_EQ(subscribeCalls.size(), 1u);

    const std::string limitNullKey = keyFor("$limit=0");
    limitNull(25);
    auto& log = loggers->capture();
    EXPECT_TRUE(log.contains(ILogger::INFO, "$limit=0 subscription update for key: " + limitNullKey + " total: 25"));
    EXPECT_TRUE(log.contains(ILogger::DEBUG, "computed totalPages: 3"));
    EXPECT_TRUE(log.contains(ILogger::DEBUG, "need to subscribe to additional pages, diff=2"));
    const std::string created = "successfully created paged subscription to page with offset=";
    EXPECT_TRUE(log.contains(ILogger::DEBUG, created + "10 and limit=10"));
    EXPECT_TRUE(log.contains(ILogger::DEBUG, created + "20 and limit=10"));
    ASSERT_EQ(subscribeCalls.size(), 3u);
    const std::string page10 = keyFor("$limit=10&$offset=10");
    const std::string page20 = keyFor("$limit=10&$offset=20");
    ASSERT_FALSE(page10.empty());
    ASSERT_FALSE(page20.empty());
    EXPECT_TRUE(cache.isPagedSubscription(page10));
    EXPECT_FALSE(cache.isPagedSubscription(limitNullKey));
    EXPECT_TRUE(delivered.empty());

    // Pages arrive out of order; nothing is delivered until the last one.
    page(20, 5);
    EXPECT_TRUE(delivered.empty());
    EXPECT_TRUE(log.contains(ILogger::DEBUG, "data for paged subscriptions is not complete, BaseSubscription.key=B#1"));
    page(10, 10);

    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].key, "B#1");
    EXPECT_EQ(delivered[0].text, numberRange(0, 25)->toString());
    EXPECT_EQ(delivered[0].response->paging->offset.getValue(), 0);
    EXPECT_EQ(delivered[0].response->paging->limit.getValue(), 10);

    // Any later page update delivers the whole list again, once.
    page(10, 10);
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_TRUE(unsubscribedKeys().empty());
}

TEST_F(SubscriptionCacheTest, ShrinkingTotalDropsTheLastPagesAndUnsubscribesThem) {
    auto handle = addBase("B#1");
    startPagingOf25();
    const std::string page10 = keyFor("$limit=10&$offset=10");
    const std::string page20 = keyFor("$limit=10&$offset=20");
    page(10, 10);
    page(20, 5);
    ASSERT_EQ(delivered.size(), 1u);

    limitNull(15);
    EXPECT_TRUE(logged(ILogger::DEBUG, "need to unsubscribe last pages, diff=1"));
    EXPECT_EQ(unsubscribedKeys(), std::vector<std::string>{page20});
    EXPECT_FALSE(cache.isPagedSubscription(page20));
    EXPECT_TRUE(cache.isPagedSubscription(page10));
    // The two remaining pages are complete: delivered at once.
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].text, numberRange(0, 20)->toString());

    // Late data of the dropped page reaches nobody.
    page(20, 5);
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_TRUE(logged(ILogger::WARNING, "could not find a base or child subscription"));

    // A total of 0 still counts as the base page alone.
    limitNull(0);
    EXPECT_EQ(unsubscribedKeys(), (std::vector<std::string>{page20, page10}));
    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_EQ(delivered[2].text, numberRange(0, 10)->toString());
}

TEST_F(SubscriptionCacheTest, ManyPagesAreJoinedInPageOrderNotKeyOrder) {
    // Offsets 5, 10, ..., 55: as text "$offset=5" sorts after "$offset=10".
    auto handle = addBase("B#1");
    update("B#1", numberRange(0, 5), paging(60, 5, 0));
    limitNull(60);
    ASSERT_EQ(subscribeCalls.size(), 12u);
    for (int64_t offset = 55; offset >= 5; offset -= 5) {
        const std::string key = keyFor("$limit=5&$offset=" + std::to_string(offset));
        ASSERT_FALSE(key.empty()) << offset;
        update(key, numberRange(offset, 5), paging(60, 5, offset));
    }
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].text, numberRange(0, 60)->toString());
}

TEST_F(SubscriptionCacheTest, PageCountIsExactForLargeTotals) {
    // In single precision both numbers round to powers of two and the
    // quotient to 2; the exact ceiling is 3.
    const int64_t limit = 1073741825;
    const int64_t total = 2 * limit + 1;
    auto handle = addBase("B#1");
    update("B#1", numberRange(0, 1), paging(total, limit, 0));
    limitNull(total);
    EXPECT_TRUE(logged(ILogger::DEBUG, "computed totalPages: 3"));
    EXPECT_FALSE(keyFor("$limit=1073741825&$offset=1073741825").empty());
    EXPECT_FALSE(keyFor("$limit=1073741825&$offset=2147483650").empty());
}

TEST_F(SubscriptionCacheTest, ForgedHugeTotalIsDroppedWithoutSubscribing) {
    auto handle = addBase("B#1");
    update("B#1", numberRange(0, 1), paging(4, 1, 0));
    limitNull(INT64_MAX);
    EXPECT_EQ(subscribeCalls.size(), 1u);
    EXPECT_TRUE(delivered.empty());
    EXPECT_TRUE(logged(ILogger::WARNING, "too many pages for subscription with key=B#1"));
}

TEST_F(SubscriptionCacheTest, ClientInitiatedPagingPassesEveryPageThrough) {
    auto descriptor = std::make_shared<qel::QelResourceDescriptor>("svc", "res");
    descriptor->getQueryOptions().setPagingLimit(10);
    auto handle = addBase("C#1", descriptor);

    auto array = numberRange(0, 10);
    auto response = paging(25, 10, 0);
    update("C#1", array, response);
    update("C#1", numberRange(10, 10), paging(25, 10, 10));

    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].array, array);
    EXPECT_EQ(delivered[0].response, response);
    EXPECT_EQ(delivered[1].response->paging->offset.getValue(), 10);
    EXPECT_TRUE(subscribeCalls.empty());
    EXPECT_EQ(loggers->capture().count(ILogger::INFO, "is client initiated paging -> callback"), 2u);
}

TEST_F(SubscriptionCacheTest, RemovingABaseReleasesItsPageSubscriptions) {
    auto handle = addBase("B#1");
    startPagingOf25();
    const std::string limitNullKey = keyFor("$limit=0");
    const std::string page10 = keyFor("$limit=10&$offset=10");
    const std::string page20 = keyFor("$limit=10&$offset=20");

    cache.removeBaseSubscription("B#1");
    auto released = unsubscribedKeys();
    std::sort(released.begin(), released.end());
    std::vector<std::string> expected{limitNullKey, page10, page20};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(released, expected);
    EXPECT_FALSE(cache.hasBaseSubscription("B#1"));
    EXPECT_FALSE(cache.isPagedSubscription(page10));
    EXPECT_TRUE(logged(ILogger::INFO, "removed subscription with key=B#1"));

    cache.removeBaseSubscription("B#1");
    EXPECT_TRUE(logged(
        ILogger::INFO, "could not remove subscription with key=B#1, because it does not exist"));

    page(10, 10);
    EXPECT_TRUE(delivered.empty());
}

TEST_F(SubscriptionCacheTest, AddingTwiceKeepsTheFirstAndNullIsRejected) {
    auto first = addBase("B#1");
    auto clientPaged = std::make_shared<qel::QelResourceDescriptor>("svc", "res");
    clientPaged->getQueryOptions().setPagingOffset(5);
    auto second = addBase("B#1", clientPaged);
    EXPECT_TRUE(logged(ILogger::WARNING,
                                            "could not add subscription with key=B#1, because it already exist"));
    // The first (unpaged) entry is kept: server paging starts for it.
    update("B#1", numberRange(0, 10), paging(25, 10, 0));
    EXPECT_EQ(subscribeCalls.size(), 1u);

    cache.addBaseSubscription(nullptr);
    EXPECT_TRUE(
        logged(ILogger::WARNING, "cannot addBaseSubscription: null Subscription received"));
}

TEST_F(SubscriptionCacheTest, FailedSubscriptionsAreLoggedAndRetriedWithTheNextTotal) {
    auto handle = addBase("B#1");
    failLimitNull = true;
    update("B#1", numberRange(0, 10), paging(35, 10, 0));
    EXPECT_TRUE(
        logged(ILogger::WARNING, "could not create subscription for $limit=0, descriptor.uri="));
    failLimitNull = false;
    update("B#1", numberRange(0, 10), paging(35, 10, 0));
    ASSERT_FALSE(keyFor("$limit=0").empty());

    // The page at offset 20 fails: the run stops there, so offset 30 is not
    // subscribed out of order.
    failingOffsets = {20};
    limitNull(35);
    EXPECT_TRUE(logged(ILogger::WARNING, "could not create paged subscription"));
    EXPECT_FALSE(keyFor("$limit=10&$offset=10").empty());
    EXPECT_TRUE(keyFor("$limit=10&$offset=30").empty());

    failingOffsets.clear();
    limitNull(35);
    for (int64_t offset : {10, 20, 30}) {
        const std::string key = keyFor("$limit=10&$offset=" + std::to_string(offset));
        ASSERT_FALSE(key.empty()) << offset;
        update(key, numberRange(offset, offset == 30 ? 5 : 10), paging(35, 10, offset));
    }
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].text, numberRange(0, 35)->toString());
}

TEST_F(SubscriptionCacheTest, MissingPagingOfAnUnpagedBaseIsAnErrorThatLeavesTheCacheUsable) {
    auto handle = addBase("B#1");
    const auto withoutPaging = [&] { update("B#1", numberRange(1, 1), std::make_shared<SubscriptionResponse>()); };
    EXPECT_EQ(qeltest::runtimeErrorText(withoutPaging), "operator-> called on uninitialized Optional");
    update("B#1", numberRange(1, 1), paging(1, 25, 0));
    EXPECT_EQ(delivered.size(), 1u);
    update("unknown#9", numberRange(1, 1), paging(1, 25, 0));
    EXPECT_TRUE(logged(ILogger::WARNING, "could not find a base or child subscription"));
}

TEST_F(SubscriptionCacheTest, CallbacksMayCallBackIntoTheCache) {
    // Neither function runs under the cache's lock: a manager whose
    // subscribe or data path consults the cache does not deadlock.
    auto handle = addBase("B#1");
    auto plainSubscribe = subscribe;
    subscribe = [&](std::shared_ptr<const qel::XObjectDescriptor> descriptor, Subscription::SubscriptionType type,
                    qelutil::Optional<std::chrono::milliseconds> updateLimit) {
        EXPECT_TRUE(cache.hasBaseSubscription("B#1"));
        return plainSubscribe(std::move(descriptor), type, updateLimit);
    };
    data = [&](const std::string& key, JsonArray::Shared, std::shared_ptr<SubscriptionResponse>) {
        delivered.push_back({key, "", nullptr, nullptr});
        cache.removeBaseSubscription(key);
    };
    startPagingOf25();
    page(10, 10);
    page(20, 5);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_FALSE(cache.hasBaseSubscription("B#1"));
    EXPECT_EQ(unsubscribedKeys().size(), 3u);
}

TEST_F(SubscriptionCacheTest, BaseRemovedWhilePagesAreSubscribedReleasesTheNewPages) {
    auto handle = addBase("B#1");
    update("B#1", numberRange(0, 10), paging(25, 10, 0));
    auto plainSubscribe = subscribe;
    subscribe = [&](std::shared_ptr<const qel::XObjectDescriptor> descriptor, Subscription::SubscriptionType type,
                    qelutil::Optional<std::chrono::milliseconds> updateLimit) {
        cache.removeBaseSubscription("B#1");
        return plainSubscribe(std::move(descriptor), type, updateLimit);
    };
    limitNull(25);
    EXPECT_FALSE(cache.isPagedSubscription(keyFor("$limit=10&$offset=10")));
    // "$limit=0" and both new pages are unsubscribed again; nothing delivered.
    EXPECT_EQ(unsubscribedKeys().size(), 3u);
    EXPECT_TRUE(delivered.empty());
}

TEST_F(SubscriptionCacheTest, UpdatesRaceSafelyWithAddsAndRemovals) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        int round = 0;
        while (!stop.load()) {
            const std::string key = "X#" + std::to_string(round++ % 3);
            auto handle = std::make_shared<Subscription>(
                manager, std::make_shared<qel::QelResourceDescriptor>("svc", "other"), Subscription::RESOURCE, key,
                true);
            cache.addBaseSubscription(handle);
            cache.isPagedSubscription("x$offset=1");
            cache.removeBaseSubscription(key);
            cache.removeBaseSubscription("B#1");
            cache.addBaseSubscription(std::make_shared<Subscription>(
                manager, std::make_shared<qel::QelResourceDescriptor>("svc", "res"), Subscription::RESOURCE, "B#1",
                true));
        }
    });
    for (int i = 0; i < 200; ++i) {
        update("B#1", numberRange(0, 10), paging(25, 10, 0));
        const std::string limitNullKey = keyFor("$limit=0");
        if (!limitNullKey.empty()) limitNull(25);
        for (const auto& call : subscribeCalls) update(call.key, numberRange(10, 10), paging(25, 10, 10));
        subscribeCalls.clear();
    }
    stop = true;
    churn.join();
    SUCCEED();
}

// ---- the subscription handle

TEST(SubscriptionTest, UnsubscribesOnceExplicitlyOrWithTheLastReferenceAndNeverKeepsItsManager) {
    auto manager = std::make_shared<::testing::StrictMock<qeltest::MockWebsocketManager>>();
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
    descriptor->setId("e1");
    EXPECT_CALL(*manager, unsubscribe("/base/svc/res#1", true)).Times(1);
    auto explicitly = std::make_shared<Subscription>(manager, descriptor, Subscription::RESOURCE, "/base/svc/res#1", true);
    EXPECT_TRUE(explicitly->isActive());
    explicitly->unsubscribe();
    EXPECT_FALSE(explicitly->isActive());
    explicitly->unsubscribe();
    explicitly.reset();
    ::testing::Mock::VerifyAndClearExpectations(manager.get());

    auto released = std::make_shared<Subscription>(manager, descriptor, Subscription::ELEMENT, "/base/svc/res/e1#2", false);
    auto second = released;
    released.reset();  // another owner remains: nothing is sent
    ::testing::Mock::VerifyAndClearExpectations(manager.get());
    EXPECT_CALL(*manager, unsubscribe("/base/svc/res/e1#2", false)).Times(1);
    second.reset();
    ::testing::Mock::VerifyAndClearExpectations(manager.get());

    std::weak_ptr<qeltest::MockWebsocketManager> watch = manager;
    auto outliving = std::make_shared<Subscription>(manager, descriptor, Subscription::ELEMENT, "k#3", false);
    manager.reset();
    EXPECT_TRUE(watch.expired());
    outliving->unsubscribe();
    EXPECT_FALSE(outliving->isActive());
    EXPECT_EQ("getValue called on uninitialized Optional", qeltest::runtimeErrorText([] {
                  Subscription(std::shared_ptr<qel::IWebsocketManager>(), std::make_shared<qel::QelResourceDescriptor>("svc", "res"), Subscription::RESOURCE, "k#8", true)
                      .getUuidOfElement();
              }));
}

TEST(SubscriptionTest, ConcurrentUnsubscribesReachTheManagerExactlyOnce) {
    auto manager = std::make_shared<::testing::StrictMock<qeltest::MockWebsocketManager>>();
    std::atomic<int> calls{0};
    EXPECT_CALL(*manager, unsubscribe("k#4", false)).WillRepeatedly([&](const std::string&, bool) { ++calls; });
    for (int round = 0; round < 20; ++round) {
        auto subscription = std::make_shared<Subscription>(manager, std::make_shared<qel::XObjectDescriptor>("svc", "res"), Subscription::ELEMENT, "k#4", false);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back([subscription] { subscription->unsubscribe(); });
        subscription.reset();
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(calls.load(), 20);
}
