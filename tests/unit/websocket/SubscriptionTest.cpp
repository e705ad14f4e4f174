#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/Subscription.h>

#include "support/MockWebsocketManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using qel::Subscription;
using qeltest::MockWebsocketManager;
using ::testing::StrictMock;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<const qel::XObjectDescriptor> elementDescriptor(const char* id) {
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
    if (id != nullptr) descriptor->setId(id);
    return descriptor;
}

}  // namespace

TEST(SubscriptionTest, ExplicitUnsubscribeReachesTheManagerOnceAndReleaseAddsNothing) {
    auto manager = std::make_shared<StrictMock<MockWebsocketManager>>();
    EXPECT_CALL(*manager, unsubscribe("/base/svc/res#1", true)).Times(1);

    auto subscription = std::make_shared<Subscription>(manager, elementDescriptor("e1"), Subscription::RESOURCE,
                                                       "/base/svc/res#1", true);
    EXPECT_TRUE(subscription->isActive());
    subscription->unsubscribe();
    EXPECT_FALSE(subscription->isActive());
    subscription->unsubscribe();
    subscription.reset();
}

TEST(SubscriptionTest, ReleasingTheLastReferenceUnsubscribesAnActiveHandle) {
    auto manager = std::make_shared<StrictMock<MockWebsocketManager>>();
    auto subscription = std::make_shared<Subscription>(manager, elementDescriptor("e1"), Subscription::ELEMENT,
                                                       "/base/svc/res/e1#2", false);
    auto second = subscription;
    subscription.reset();  // another owner remains: nothing is sent
    ::testing::Mock::VerifyAndClearExpectations(manager.get());
    EXPECT_CALL(*manager, unsubscribe("/base/svc/res/e1#2", false)).Times(1);
    second.reset();
}

TEST(SubscriptionTest, HandleDoesNotKeepItsManagerAliveAndOutlivesIt) {
    auto manager = std::make_shared<StrictMock<MockWebsocketManager>>();
    std::weak_ptr<MockWebsocketManager> watch = manager;
    auto subscription =
        std::make_shared<Subscription>(manager, elementDescriptor("e1"), Subscription::ELEMENT, "k#3", false);
    manager.reset();
    EXPECT_TRUE(watch.expired());
    subscription->unsubscribe();
    EXPECT_FALSE(subscription->isActive());
}

TEST(SubscriptionTest, ConcurrentUnsubscribesReachTheManagerExactlyOnce) {
    auto manager = std::make_shared<StrictMock<MockWebsocketManager>>();
    std::atomic<int> calls{0};
    EXPECT_CALL(*manager, unsubscribe("k#4", false)).WillRepeatedly([&](const std::string&, bool) { ++calls; });

    for (int round = 0; round < 20; ++round) {
        auto subscription =
            std::make_shared<Subscription>(manager, elementDescriptor("e1"), Subscription::ELEMENT, "k#4", false);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back([subscription] { subscription->unsubscribe(); });
        subscription.reset();
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(calls.load(), 20);
}

TEST(SubscriptionTest, GettersReturnWhatTheHandleWasMadeWith) {
    auto manager = std::make_shared<::testing::NiceMock<MockWebsocketManager>>();
    auto descriptor = elementDescriptor("uuid-7");
    const auto interval = 500ms;
    const auto updateLimit = 250ms;

    Subscription both(manager, descriptor, Subscription::ROOT, "/base#5", &interval, &updateLimit, true);
    EXPECT_EQ(both.getSubscriptionType(), Subscription::ROOT);
    EXPECT_EQ(both.getSubscriptionKey(), "/base#5");
    EXPECT_EQ(both.getDescriptor(), descriptor);
    ASSERT_TRUE(both.getInterval().isValid());
    EXPECT_EQ(both.getInterval().getValue(), 500ms);
    ASSERT_TRUE(both.getUpdateLimit().isValid());
    EXPECT_EQ(both.getUpdateLimit().getValue(), 250ms);
    EXPECT_EQ(both.getUuidOfElement(), "uuid-7");

    Subscription none(manager, descriptor, Subscription::SERVICE, "/base/svc#6", nullptr, nullptr, false);
    EXPECT_EQ(none.getSubscriptionType(), Subscription::SERVICE);
    EXPECT_FALSE(none.getInterval().isValid());
    EXPECT_FALSE(none.getUpdateLimit().isValid());

    Subscription plain(manager, descriptor, Subscription::RESOURCE, "/base/svc/res#7", false);
    EXPECT_FALSE(plain.getInterval().isValid());
    EXPECT_FALSE(plain.getUpdateLimit().isValid());
}

TEST(SubscriptionTest, UuidOfADescriptorWithoutIdIsAnError) {
    auto manager = std::make_shared<::testing::NiceMock<MockWebsocketManager>>();
    Subscription subscription(manager, std::make_shared<qel::QelResourceDescriptor>("svc", "res"),
                              Subscription::RESOURCE, "k#8", true);
    try {
        subscription.getUuidOfElement();
        FAIL() << "expected an error";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "getValue called on uninitialized Optional");
    }
}
