// Server paging end to end: a real manager and its subscription cache
// against a scripted server that pages a resource of 25 elements by 10.
#include "support/TestText.h"
#include "support/WebsocketManagerHarness.h"

#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/Subscription.h>
#include <QelAccess/SubscriptionResponse.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::string numbers(int from, int count) {
    std::string text = "[";
    for (int i = 0; i < count; ++i) text += (i > 0 ? "," : "") + std::to_string(from + i);
    return text + "]";
}

std::string dataMessage(const std::string& event, const std::string& data, const std::string& paging) {
    return R"({"type":"data","event":")" + event + R"(","data":)" + data + R"(,"paging":)" + paging + "}";
}

/// Answers subscribe messages like a server that pages "res" (25 elements,
/// 10 per page): the plain subscription gets the first page at once, the
/// "$limit=0" one the total, "$offset=N" ones their page.
std::vector<std::string> pagingServer(const std::string& message) {
    auto json = qeltest::json(message);
    if (!json->has("type") || json->getString("type") != "subscribe") return {};
    const std::string event = json->getString("event");
    if (event.find("$limit=0") != std::string::npos) return {dataMessage(event, "[]", R"({"total":25,"limit":0})")};
    const auto offsetAt = event.find("$offset=");
    if (offsetAt != std::string::npos) {
        const int offset = std::stoi(event.substr(offsetAt + 8));
        const std::string paging = R"({"total":25,"limit":10,"offset":)" + std::to_string(offset) + "}";
        return {dataMessage(event, numbers(offset, offset + 10 > 25 ? 25 - offset : 10), paging)};
    }
    return {dataMessage(event, numbers(0, 10), R"({"total":25,"limit":10,"offset":0})")};
}

}  // namespace

TEST(PagedSubscriptionPeerTest, PagesAreFollowedJoinedAndUnsubscribedWithTheBase) {
    qeltest::WebsocketManagerHarness harness;
    harness.peer.setMessageHandler(pagingServer);
    auto manager = harness.makeManager();
    ASSERT_TRUE(harness.connect(*manager));

    std::mutex mutex;
    std::vector<std::string> received;
    std::vector<int64_t> offsets;
    auto subscription = manager->subscribeResource(
        std::make_shared<qel::QelResourceDescriptor>("svc", "res"),
        [&](qelutil::JsonArray::Shared array, std::shared_ptr<const qel::SubscriptionResponse> response) {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(array->toString());
            offsets.push_back(response->paging.isValid() ? response->paging->offset.getValueOr(-1) : -2);
        });
    ASSERT_NE(subscription, nullptr);

    // Base, "$limit=0" and the two further pages.
    ASSERT_TRUE(harness.peer.waitForMessages(4));
    ASSERT_TRUE(qeltest::waitFor([&] {
        harness.executor->runAll();
        std::lock_guard<std::mutex> lock(mutex);
        return !received.empty();
    }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0], numbers(0, 25));
        EXPECT_EQ(offsets[0], 0);
    }
    const auto subscribes = harness.peer.messages();
    EXPECT_NE(subscribes[1].find("$limit=0"), std::string::npos) << subscribes[1];
    EXPECT_NE(subscribes[2].find("$limit=10&$offset=10"), std::string::npos) << subscribes[2];
    EXPECT_NE(subscribes[3].find("$limit=10&$offset=20"), std::string::npos) << subscribes[3];

    // Releasing the handle ends the base and, through the cache, its pages.
    const std::size_t subscribed = harness.peer.messages().size();
    subscription.reset();
    ASSERT_TRUE(harness.peer.waitForMessages(subscribed + 4));
    const auto all = harness.peer.messages();
    for (const auto& message : std::vector<std::string>(all.begin() + subscribed, all.end()))
        EXPECT_NE(message.find(R"("type" : "unsubscribe")"), std::string::npos) << message;
    manager->disconnect();
}
