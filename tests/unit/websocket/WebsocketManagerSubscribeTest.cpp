// Subscribe and unsubscribe messages of DefaultWebsocketManager2 as a
// scripted peer receives them: keys, event tags, the exact wire text,
// escaping, and a server-paged resource followed through the cache.

#include "support/WebsocketManagerHarness.h"

#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/XObjectDescriptor.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <stdexcept>
#include <string>
#include <vector>

using qel::Subscription;
using qelutil::ILogger;
using qeltest::waitFor;

namespace {

using std::chrono::milliseconds;

std::shared_ptr<qel::XObjectDescriptor> element(const std::string& id) {
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
    descriptor->setId(id);
    return descriptor;
}

long tagOf(const std::string& key) { return std::stol(key.substr(key.rfind('#') + 1)); }

std::string subscribeText(const std::string& key, const std::string& extra = std::string()) {
    return R"({"type":"subscribe","event":")" + key + "\"" + extra + "}";
}

class WebsocketManagerSubscribeTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager = h.makeManager();
        ASSERT_TRUE(h.connect(*manager));
        h.executor->runAll();
    }

    void TearDown() override { manager->disconnect(); }

    /// The last message the peer received, once `count` have arrived.
    std::string message(std::size_t count) {
        EXPECT_TRUE(h.peer.waitForMessages(count));
        const auto messages = h.peer.messages();
        return messages.size() >= count ? messages[count - 1] : std::string();
    }

    qeltest::WebsocketManagerHarness h;
    std::shared_ptr<qel::DefaultWebsocketManager2> manager;
    const qel::IWebsocketManager::ElementCallback ignoreElement = [](qelutil::JsonObject::Shared) {};
    const qel::IWebsocketManager::ArrayCallback ignoreArray =
        [](qelutil::JsonArray::Shared, std::shared_ptr<const qel::SubscriptionResponse>) {};
};

TEST_F(WebsocketManagerSubscribeTest, ElementMessagesCarryTheKeyAndAtMostOneTiming) {
    auto plain = manager->subscribeElement(element("e1"), ignoreElement);
    const long tag = tagOf(plain->getSubscriptionKey());
    EXPECT_EQ("/qel/svc/res/e1#" + std::to_string(tag), plain->getSubscriptionKey());
    EXPECT_EQ(subscribeText(plain->getSubscriptionKey()), message(1));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "subscribing element with message=" + message(1)));
    EXPECT_EQ(Subscription::ELEMENT, plain->getSubscriptionType());
    EXPECT_FALSE(plain->getInterval().isValid());

    auto queried = element("e2");
    queried->getQueryOptions().setFieldsFilter({"a", "b"});
    queried->getQueryOptions().setPagingLimit(5);
    auto withInterval = manager->subscribeElementWithInterval(queried, ignoreElement, milliseconds(500));
    EXPECT_EQ("/qel/svc/res/e2?$fields=a,b&$limit=5#" + std::to_string(tag + 1), withInterval->getSubscriptionKey());
    EXPECT_EQ(subscribeText(withInterval->getSubscriptionKey(), R"(,"interval":500)"), message(2));
    EXPECT_EQ(milliseconds(500), withInterval->getInterval().getValue());

    auto withLimit = manager->subscribeElementWithUpdateLimit(element("e3"), ignoreElement, milliseconds(-250));
    EXPECT_EQ(subscribeText("/qel/svc/res/e3#" + std::to_string(tag + 2), R"(,"updatelimit":-250)"), message(3));
    EXPECT_EQ(milliseconds(-250), withLimit->getUpdateLimit().getValue());
}

TEST_F(WebsocketManagerSubscribeTest, ResourceAndRootKeysFollowBasePathSeparatorAndQuery) {
    auto tracks = std::make_shared<qel::QelResourceDescriptor>("svc", "tracks");
    auto resource = manager->subscribeResource(tracks, ignoreArray);
    const long tag = tagOf(resource->getSubscriptionKey());
    EXPECT_EQ("/qel/svc/tracks/#" + std::to_string(tag), resource->getSubscriptionKey());
    EXPECT_EQ(subscribeText(resource->getSubscriptionKey()), message(1));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "subscribing to resource with message= " + message(1)));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "add subscription with key=" + resource->getSubscriptionKey()));

    auto filtered = std::make_shared<qel::QelResourceDescriptor>("svc", "tracks");
    filtered->getQelFilter().add("genre", "rock");
    filtered->getQueryOptions().setPagingLimit(20);
    filtered->setExpandLevel(qel::QueryOptions::LEVEL_ONE);
    auto expanded = manager->subscribeResource(filtered, ignoreArray);
    EXPECT_EQ("/qel/svc/tracks/?$expand=1&$limit=20&genre=rock#" + std::to_string(tag + 1),
              expanded->getSubscriptionKey());
    EXPECT_TRUE(h.log().contains(ILogger::WARNING,
                                 "subscribing to resource with $expand different to zero, not supported by spec 1.8.1"));
    EXPECT_EQ(subscribeText(expanded->getSubscriptionKey()), message(2));

    auto root = manager->subscribeRoot(std::make_shared<qel::XObjectDescriptor>(), ignoreArray);
    EXPECT_EQ("/qel/#" + std::to_string(tag + 2), root->getSubscriptionKey());
    EXPECT_EQ(subscribeText(root->getSubscriptionKey()), message(3));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "subscribing to root with message=" + message(3)));
    EXPECT_EQ(Subscription::ROOT, root->getSubscriptionType());

    auto limitedRoot =
        manager->subscribeRootWithUpdateLimit(std::make_shared<qel::XObjectDescriptor>(), ignoreArray, milliseconds(1000));
    EXPECT_EQ(subscribeText("/qel/#" + std::to_string(tag + 3), R"(,"updatelimit":1000)"), message(4));

    // Another manager without separator: the tags go on across managers.
    auto config = h.configuration();
    config.separatorAfterResource = "";
    auto other = h.makeManager(config, "MA_WS_other");
    ASSERT_TRUE(h.connect(*other, 2));
    auto otherResource = other->subscribeResource(tracks, ignoreArray);
    EXPECT_EQ("/qel/svc/tracks#" + std::to_string(tag + 4), otherResource->getSubscriptionKey());
    auto nextHere = manager->subscribeElement(element("e9"), ignoreElement);
    EXPECT_EQ(tag + 5, tagOf(nextHere->getSubscriptionKey()));
    other->disconnect();
}

TEST_F(WebsocketManagerSubscribeTest, EventPrefixPrecedesTheTag) {
    qel::DefaultWebsocketManager2::setSubscriptionEventPrefix("APP_");
    auto subscription = manager->subscribeElement(element("e1"), ignoreElement);
    qel::DefaultWebsocketManager2::setSubscriptionEventPrefix("");
    const std::string key = subscription->getSubscriptionKey();
    const auto tagStart = key.rfind('#') + 1;
    EXPECT_EQ("APP_", key.substr(tagStart, 4));
    EXPECT_NO_THROW(std::stol(key.substr(tagStart + 4)));
}

TEST_F(WebsocketManagerSubscribeTest, FailedSubscribeRegistersNothingAndKeepsTheTag) {
    auto first = manager->subscribeElement(element("e0"), ignoreElement);
    const long before = tagOf(first->getSubscriptionKey());
    manager->disconnect();
    try {
        manager->subscribeElement(element("e1"), ignoreElement);
        FAIL() << "subscribing while disconnected must throw";
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        const std::string ending = "websocket is not connected";
        ASSERT_GE(text.size(), ending.size());
        EXPECT_EQ(ending, text.substr(text.size() - ending.size()));
    }
    EXPECT_THROW(manager->subscribeResource(std::make_shared<qel::QelResourceDescriptor>("svc", "r"), ignoreArray),
                 std::runtime_error);
    EXPECT_THROW(manager->subscribeRoot(std::make_shared<qel::XObjectDescriptor>(), ignoreArray), std::runtime_error);

    ASSERT_TRUE(h.connect(*manager));
    try {
        manager->subscribeElement(std::make_shared<qel::XObjectDescriptor>("svc", "res"), ignoreElement);
        FAIL() << "an element without id has no key";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("getValue called on uninitialized Optional", e.what());
    }
    auto next = manager->subscribeElement(element("e2"), ignoreElement);
    EXPECT_EQ(before + 1, tagOf(next->getSubscriptionKey()));
    // The failed calls sent nothing: the next message on the wire is this one.
    EXPECT_EQ(subscribeText(next->getSubscriptionKey()), message(2));
}

TEST_F(WebsocketManagerSubscribeTest, UnsubscribeSendsTheKeyWithoutItsQueryText) {
    auto queried = element("e1");
    queried->getQueryOptions().setPagingOffset(40);
    auto subscription = manager->subscribeElement(queried, ignoreElement);
    const std::string key = subscription->getSubscriptionKey();
    const std::string tag = key.substr(key.rfind('#'));
    ASSERT_NE(std::string::npos, key.find("?$offset=40#"));
    subscription.reset();  // the last reference unsubscribes
    const std::string expected = R"({ "type" : "unsubscribe", "event" : "/qel/svc/res/e1)" + tag + R"(" })";
    EXPECT_EQ(expected, message(2));
    EXPECT_TRUE(h.log().contains(ILogger::TRACE, "sending unsubscribe message=" + expected));

    // Unknown keys are still unsubscribed at the server.
    manager->unsubscribe("/qel/svc/res/x?$limit=1#77", false);
    EXPECT_EQ(R"({ "type" : "unsubscribe", "event" : "/qel/svc/res/x#77" })", message(3));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "could not find callback for key=/qel/svc/res/x?$limit=1#77"));

    // A base subscription also leaves the cache.
    auto resource = manager->subscribeResource(std::make_shared<qel::QelResourceDescriptor>("svc", "tracks"), ignoreArray);
    const std::string resourceKey = resource->getSubscriptionKey();
    resource->unsubscribe();
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "removed subscription with key=" + resourceKey));
    EXPECT_EQ(R"({ "type" : "unsubscribe", "event" : ")" + resourceKey + R"(" })", message(5));

    // Disconnected: the callback goes, nothing is sent.
    auto late = manager->subscribeElement(element("late"), ignoreElement);
    ASSERT_TRUE(h.peer.waitForMessages(6));
    manager->disconnect();
    late.reset();
    EXPECT_TRUE(h.log().contains(ILogger::DEBUG, "cannot unsubscribe because websocket is not connected"));
    EXPECT_EQ(6u, h.peer.messages().size());
}

TEST_F(WebsocketManagerSubscribeTest, QuotesAndBackslashesAreEscapedOnTheWireOnly) {
    std::vector<std::string> received;
    auto subscription = manager->subscribeElement(element(R"(a"b\c)"), [&](qelutil::JsonObject::Shared object) {
        received.push_back(object->toString());
    });
    const std::string key = subscription->getSubscriptionKey();
    EXPECT_EQ(0u, key.find(R"(/qel/svc/res/a"b\c#)"));

    auto injected = std::make_shared<qel::QelResourceDescriptor>("svc", "tracks");
    injected->getQueryOptions().setPagingOffsetUuid(R"(x","type":"unsubscribe)");
    injected->getQueryOptions().setSortbyFields({{qel::QueryOptions::MINUS, "na\\me\n"}});
    auto resource = manager->subscribeResource(injected, ignoreArray);

    for (std::size_t i = 1; i <= 2; ++i) {
        rapidjson::Document wire;
        wire.Parse(message(i).c_str());
        ASSERT_FALSE(wire.HasParseError()) << message(i);
        ASSERT_EQ(2u, wire.MemberCount()) << message(i);
        EXPECT_STREQ("subscribe", wire["type"].GetString());
        EXPECT_EQ(i == 1 ? key : resource->getSubscriptionKey(), wire["event"].GetString());
    }

    // The server echoes the event JSON-escaped; it reaches the callback.
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","event":"/qel/svc/res/a\"b\\c)" + key.substr(key.rfind('#')) +
                                R"(","data":{"ok":true}})"));
    ASSERT_TRUE(waitFor([&] { return h.executor->pending() > 0; }));
    h.executor->runAll();
    EXPECT_EQ(std::vector<std::string>{R"({"ok":true})"}, received);
}

// The peer plays a server that pages a resource of 25 elements by 10.
std::vector<std::string> pagingServer(const std::string& text) {
    rapidjson::Document message;
    message.Parse(text.c_str());
    if (message.HasParseError() || !message.IsObject() || !message.HasMember("type") ||
        std::string(message["type"].GetString()) != "subscribe")
        return {};
    const std::string event = message["event"].GetString();
    const auto page = [&](int offset, int count) {
        std::string data = "[";
        for (int i = offset; i < offset + count; ++i)
            data += (i > offset ? "," : "") + std::string(R"({"id":")") + std::to_string(i) + "\"}";
        return R"({"type":"data","event":")" + event + R"(","data":)" + data + R"(],"paging":{"total":25,"limit":10,"offset":)" +
               std::to_string(offset) + "}}";
    };
    if (event.find("$limit=0") != std::string::npos)
        return {R"({"type":"data","event":")" + event + R"(","data":[],"paging":{"total":25,"limit":0}})"};
    const auto offsetAt = event.find("$offset=");
    if (offsetAt == std::string::npos) return {page(0, 10)};
    const int offset = std::stoi(event.substr(offsetAt + 8));
    return {page(offset, std::min(10, 25 - offset))};
}

TEST_F(WebsocketManagerSubscribeTest, ServerPagedResourceIsDeliveredOnceWithAllPages) {
    h.peer.setMessageHandler(pagingServer);
    std::vector<std::string> arrays;
    std::vector<int64_t> offsets;
    // The first page is answered at once: the base must already be cached.
    auto resource = manager->subscribeResource(
        std::make_shared<qel::QelResourceDescriptor>("svc", "tracks"),
        [&](qelutil::JsonArray::Shared array, std::shared_ptr<const qel::SubscriptionResponse> response) {
            arrays.push_back(array->toString());
            offsets.push_back(response->paging.isValid() ? response->paging->offset.getValueOr(-1) : -2);
        });
    ASSERT_TRUE(h.peer.waitForMessages(4));
    ASSERT_TRUE(waitFor([&] {
        h.executor->runAll();
        return !arrays.empty();
    }));

    const auto messages = h.peer.messages();
    const std::string base = resource->getSubscriptionKey();
    const std::string path = base.substr(0, base.find('#'));
    EXPECT_EQ(0u, messages[1].find(R"({"type":"subscribe","event":")" + path + "?$limit=0#"));
    EXPECT_EQ(0u, messages[2].find(R"({"type":"subscribe","event":")" + path + "?$limit=10&$offset=10#"));
    EXPECT_EQ(0u, messages[3].find(R"({"type":"subscribe","event":")" + path + "?$limit=10&$offset=20#"));
    ASSERT_EQ(1u, arrays.size());
    std::string all = "[";
    for (int i = 0; i < 25; ++i) all += (i > 0 ? "," : "") + std::string(R"({"id":")") + std::to_string(i) + "\"}";
    EXPECT_EQ(all + "]", arrays[0]);
    EXPECT_EQ(std::vector<int64_t>{0}, offsets);
    EXPECT_FALSE(h.log().contains(ILogger::WARNING, "could not find a base or child subscription"));
    EXPECT_EQ(4u, h.peer.messages().size());
}

}  // namespace
