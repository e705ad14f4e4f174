// Receive loop and dispatch of DefaultWebsocketManager2 against a scripted
// peer on loopback: framing, pings and pongs, message types, bad input,
// oversized messages, CLOSE frames and the watchdog.

#include "support/WebsocketManagerHarness.h"

#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/XObjectDescriptor.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using qel::IWebsocketManager;
using qelutil::ILogger;
using qeltest::ScriptedWebSocketPeer;
using qeltest::waitFor;

namespace {

const std::string kDisconnectTask = "WS -> Disconnect callback";

std::string dataMessage(const std::string& event, const std::string& data) {
    return R"({"type":"data","event":")" + event + R"(","data":)" + data + "}";
}

class WebsocketManagerReceiveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(connectManager(h.configuration())); }

    void TearDown() override {
        if (manager) manager->disconnect();
    }

    void connectManager(const qel::IConfigManager::ServiceConfiguration& config, std::size_t maxMessageSize = 0) {
        manager = h.makeManager(config);
        if (maxMessageSize > 0) manager->setMaxMessageSize(maxMessageSize);
        ASSERT_TRUE(h.connect(*manager));
        ASSERT_NO_FATAL_FAILURE(subscribeElement());
    }

    void subscribeElement() {
        auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
        descriptor->setId("e1");
        const std::size_t sent = h.peer.messages().size();
        element = manager->subscribeElement(descriptor, [this](qelutil::JsonObject::Shared object) {
            elements.push_back(object->toString());
        });
        ASSERT_TRUE(h.peer.waitForMessages(sent + 1));
        h.executor->runAll();
        elements.clear();
    }

    std::shared_ptr<qel::Subscription> subscribeResource(std::vector<std::string>& arrays) {
        auto descriptor = std::make_shared<qel::QelResourceDescriptor>("svc", "tracks");
        const std::size_t sent = h.peer.messages().size();
        auto subscription = manager->subscribeResource(
            descriptor, [&arrays](qelutil::JsonArray::Shared array, std::shared_ptr<const qel::SubscriptionResponse>) {
                arrays.push_back(array->toString());
            });
        EXPECT_TRUE(h.peer.waitForMessages(sent + 1));
        return subscription;
    }

    const std::string& key() const { return element->getSubscriptionKey(); }

    /// Runs the queued callbacks until `count` updates of `received` arrived.
    bool deliver(std::size_t count, const std::vector<std::string>& received) {
        return waitFor([&] {
            h.executor->runAll();
            return received.size() >= count;
        });
    }
    bool deliver(std::size_t count) { return deliver(count, elements); }

    /// A ping answered proves that every frame sent before it was handled.
    void roundTrip() {
        const std::size_t pongs = h.peer.frames(ScriptedWebSocketPeer::OP_PONG).size();
        ASSERT_TRUE(h.peer.sendPing("sync"));
        ASSERT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_PONG, pongs + 1));
    }

    /// The connection still carries data: a fresh element update arrives.
    void expectAlive(const std::string& marker) {
        const std::string object = R"({"marker":")" + marker + R"("})";
        ASSERT_TRUE(h.peer.sendText(dataMessage(key(), object)));
        ASSERT_TRUE(waitFor([&] {
            h.executor->runAll();
            return !elements.empty() && elements.back() == object;
        }));
        EXPECT_EQ(IWebsocketManager::CONNECTED, manager->getConnectionState());
    }

    qeltest::WebsocketManagerHarness h;
    std::shared_ptr<qel::DefaultWebsocketManager2> manager;
    std::shared_ptr<qel::Subscription> element;
    std::vector<std::string> elements;
};

TEST_F(WebsocketManagerReceiveTest, FragmentedMessageIsDispatchedOnceAfterItsLastFrame) {
    const std::string message = dataMessage(key(), R"({"name":"split {brace} \"quoted\"","n":1})");
    const std::size_t third = message.size() / 3;
    ASSERT_TRUE(h.peer.sendFrame(ScriptedWebSocketPeer::OP_TEXT, false, message.substr(0, third)));
    ASSERT_TRUE(h.peer.sendFrame(ScriptedWebSocketPeer::OP_CONTINUATION, false, message.substr(third, third)));
    roundTrip();  // a ping between fragments is answered and is not part of the message
    EXPECT_EQ(0u, h.executor->pending());

    ASSERT_TRUE(h.peer.sendFrame(ScriptedWebSocketPeer::OP_CONTINUATION, true, message.substr(2 * third)));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(std::vector<std::string>{R"({"name":"split {brace} \"quoted\"","n":1})"}, elements);
    roundTrip();
    EXPECT_EQ(0u, h.executor->pending());

    // An object may even span two messages: its head waits in the buffer.
    const std::string spanning = dataMessage(key(), R"({"n":2})");
    ASSERT_TRUE(h.peer.sendText(spanning.substr(0, 10)));
    roundTrip();
    EXPECT_EQ(0u, h.executor->pending());
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "Did not parse message, because it is not complete. Waiting for "
                                                   "more data. Content size of readBuffer=10"));
    ASSERT_TRUE(h.peer.sendText(spanning.substr(10)));
    ASSERT_TRUE(deliver(2));
    EXPECT_EQ(R"({"n":2})", elements.back());
}

TEST_F(WebsocketManagerReceiveTest, ObjectsInOneFrameAreDispatchedInOrder) {
    ASSERT_TRUE(h.peer.sendText(dataMessage(key(), R"({"n":1})") + "\n " + dataMessage(key(), R"({"n":2})") +
                                dataMessage(key(), R"({"n":3})")));
    ASSERT_TRUE(deliver(3));
    EXPECT_EQ((std::vector<std::string>{R"({"n":1})", R"({"n":2})", R"({"n":3})"}), elements);
}

TEST_F(WebsocketManagerReceiveTest, FramesReadInPiecesMaskedOrWithLongLengthsDecodeAlike) {
    // A server never masks its frames (a masked one fails the connection,
    // see WebsocketHostileFrameTest): these go out unmasked.
    const auto masked = [](int opcode, const std::string& payload) {
        return ScriptedWebSocketPeer::encodeFrame(opcode, true, payload);
    };
    const std::string big = R"({"blob":")" + std::string(70000, 'b') + R"("})";
    const std::string third = dataMessage(key(), R"({"n":3})");
    const std::string bytes =
        ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_TEXT, true, dataMessage(key(), R"({"n":1})")) +
        masked(ScriptedWebSocketPeer::OP_TEXT, dataMessage(key(), R"({"n":2})")) +
        ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_PING, true, "first") +
        ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_TEXT, false, third.substr(0, 20)) +
        masked(ScriptedWebSocketPeer::OP_PING, "second") +
        ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_CONTINUATION, false, "") +
        ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_CONTINUATION, true, third.substr(20)) +
        ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_BINARY, true, dataMessage(key(), big));
    ASSERT_TRUE(h.peer.sendRawInPieces(bytes, 3));
    ASSERT_TRUE(deliver(4));
    EXPECT_EQ((std::vector<std::string>{R"({"n":1})", R"({"n":2})", R"({"n":3})", big}), elements);
    ASSERT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_PONG, 2));
    const auto pongs = h.peer.frames(ScriptedWebSocketPeer::OP_PONG);
    EXPECT_EQ("first", pongs[0].payload);
    EXPECT_EQ("second", pongs[1].payload);
}

TEST_F(WebsocketManagerReceiveTest, CallbacksOfOneReadRunInOrderAndAThrowDoesNotStopTheRest) {
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
    descriptor->setId("thrower");
    std::vector<int64_t> seen;
    auto thrower = manager->subscribeElement(descriptor, [&seen](qelutil::JsonObject::Shared object) {
        seen.push_back(object->getLong("n"));
        if (seen.back() == 2) throw std::runtime_error("boom");
    });
    ASSERT_TRUE(h.peer.waitForMessages(2));
    const std::string& event = thrower->getSubscriptionKey();
    ASSERT_TRUE(h.peer.sendText(dataMessage(event, R"({"n":1})") + dataMessage(event, R"({"n":2})") +
                                dataMessage(event, R"({"n":3})")));
    // Nothing runs before the executor runs it; the three arrive in order
    // and the one that throws does not keep the third from its callback.
    ASSERT_TRUE(waitFor([&] { return h.executor->pending() > 0; }));
    EXPECT_TRUE(seen.empty());
    ASSERT_TRUE(waitFor([&] {
        h.executor->runAll();
        return seen.size() >= 3;
    }));
    EXPECT_EQ((std::vector<int64_t>{1, 2, 3}), seen);
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "threw: boom"));
}

TEST_F(WebsocketManagerReceiveTest, FramesSentWithTheUpgradeAnswerAreNotLost) {
    manager->disconnect();
    h.peer.setUpgradeGreeting(ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_PING, true, "hello") +
                              ScriptedWebSocketPeer::encodeFrame(ScriptedWebSocketPeer::OP_TEXT, true,
                                                                 R"({"type":"greeting"})"));
    ASSERT_NO_FATAL_FAILURE(connectManager(h.configuration()));
    ASSERT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_PONG, 1));
    EXPECT_EQ("hello", h.peer.frames(ScriptedWebSocketPeer::OP_PONG).at(0).payload);
    EXPECT_TRUE(waitFor([&] { return h.log().contains(ILogger::WARNING, "Got unknown event"); }));
    expectAlive("after greeting");
}

TEST_F(WebsocketManagerReceiveTest, PingIsAnsweredWithExactlyItsPayload) {
    const std::string withZeros("\0x\0y", 4);
    ASSERT_TRUE(h.peer.sendPing(withZeros));
    ASSERT_TRUE(h.peer.sendPing(""));
    ASSERT_TRUE(h.peer.sendPing(std::string(125, 'p')));
    ASSERT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_PONG, 3));
    const auto pongs = h.peer.frames(ScriptedWebSocketPeer::OP_PONG);
    ASSERT_EQ(3u, pongs.size());
    EXPECT_EQ(withZeros, pongs[0].payload);
    EXPECT_EQ("", pongs[1].payload);
    EXPECT_EQ(std::string(125, 'p'), pongs[2].payload);
    expectAlive("after pings");
}

TEST_F(WebsocketManagerReceiveTest, UnsolicitedAndEmptyPongsAreNeitherDataNorALoss) {
    ASSERT_TRUE(h.peer.sendPong(""));
    ASSERT_TRUE(h.peer.sendPong(R"({"type":"data")"));
    ASSERT_TRUE(h.peer.sendText(dataMessage(key(), R"({"after":"pongs"})")));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(std::vector<std::string>{R"({"after":"pongs"})"}, elements);
    EXPECT_FALSE(h.log().contains(ILogger::WARNING, "Did not parse message"));
    EXPECT_FALSE(h.log().contains(ILogger::WARNING, "Received 0 bytes"));
    EXPECT_EQ(0u, h.postedTasks(kDisconnectTask));
}

TEST_F(WebsocketManagerReceiveTest, GoneRemovesTheSubscriptionWhileOtherErrorsOnlyLog) {
    std::vector<std::string> arrays;
    auto resource = subscribeResource(arrays);
    const std::string resourceKey = resource->getSubscriptionKey();

    ASSERT_TRUE(h.peer.sendText(R"({"type":"error","event":")" + resourceKey + R"(","message":"Busy"})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"error","event":"other#9","data":"detail text"})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"error"})"));
    ASSERT_TRUE(h.peer.sendText(dataMessage(resourceKey, R"([{"id":"a"}])")));
    ASSERT_TRUE(deliver(1, arrays));
    EXPECT_EQ(std::vector<std::string>{R"([{"id":"a"}])"}, arrays);
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "event=" + resourceKey));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "message=Busy"));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "message=detail text"));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "event=noEvent"));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "message=noMessage"));
    EXPECT_EQ(3u, h.log().count(ILogger::WARNING, "Got error"));

    ASSERT_TRUE(h.peer.sendText(R"({"type":"error","event":")" + resourceKey + R"(","message":"Gone"})"));
    ASSERT_TRUE(h.peer.sendText(dataMessage(resourceKey, R"([{"id":"b"}])")));
    roundTrip();
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "Got gone: removing baseSubscription and callback for event=" + resourceKey));
    EXPECT_TRUE(h.log().contains(ILogger::INFO, "removed subscription with key=" + resourceKey));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "WS -> No callback found for incoming data, event = " + resourceKey));
    EXPECT_EQ(0u, h.executor->pending());
    expectAlive("after gone");
}

TEST_F(WebsocketManagerReceiveTest, UnknownTypesConfirmationsAndDataWithoutCallbackAreSkipped) {
    ASSERT_TRUE(h.peer.sendText(R"({"type":"bogus","event":"x"})"));
    ASSERT_TRUE(h.peer.sendText(R"({"event":"no type"})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"subscribe","event":")" + key() + R"("})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"unsubscribe","event":")" + key() + R"("})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","event":")" + key() + R"("})"));    // no "data"
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","data":{"no":"event"}})"));        // no "event"
    ASSERT_TRUE(h.peer.sendText(dataMessage("/qel/svc/res/unknown#99", R"({"a":1})")));  // element: silent
    ASSERT_TRUE(h.peer.sendText(dataMessage("/qel/svc/res/#98", R"([1,2])")));
    roundTrip();
    EXPECT_EQ(0u, h.executor->pending());
    EXPECT_EQ(2u, h.log().count(ILogger::WARNING, "Got unknown event"));
    EXPECT_TRUE(h.log().contains(ILogger::DEBUG, "Got Subscription confirmation"));
    EXPECT_TRUE(h.log().contains(ILogger::DEBUG, "Got unsubscribe confirmation"));
    EXPECT_EQ(1u, h.log().count(ILogger::WARNING, "WS -> No callback found for incoming data"));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "WS -> No callback found for incoming data, event = /qel/svc/res/#98"));
    expectAlive("after skipped");
}

TEST_F(WebsocketManagerReceiveTest, WrongTypesAndMalformedJsonAreDroppedWithTheConnectionAlive) {
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","event":5,"data":{}})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","event":")" + key() + R"(","data":"text"})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","event":")" + key() + R"(","data":7})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":["data"],"event":")" + key() + R"(","data":{}})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"error","event":{},"message":["Gone"]})"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","event":"x",]})"));
    ASSERT_TRUE(h.peer.sendText("garbage before {\"type\":\"bogus\"}"));
    ASSERT_TRUE(h.peer.sendText(R"({"type":"data","event":")" + key() + R"(","data":{"deep":)" +
                                std::string(300, '[') + std::string(300, ']') + "}}"));
    roundTrip();
    EXPECT_EQ(0u, h.executor->pending());
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "dropped data message whose \"event\" is not a string"));
    EXPECT_EQ(2u, h.log().count(ILogger::WARNING, "dropped data message whose \"data\" is neither an object nor an array"));
    EXPECT_EQ(2u, h.log().count(ILogger::WARNING, "Got unknown event"));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "event=noEvent"));
    EXPECT_EQ(3u, h.log().count(ILogger::WARNING, "dropped received bytes: "));
    expectAlive("after bad input");
    EXPECT_EQ(0u, h.postedTasks(kDisconnectTask));
}

TEST_F(WebsocketManagerReceiveTest, CloseFrameIsAnsweredAndEndsTheConnectionOnce) {
    ASSERT_TRUE(h.peer.sendClose(1001, "going away"));
    ASSERT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_CLOSE, 1));
    const auto closes = h.peer.frames(ScriptedWebSocketPeer::OP_CLOSE);
    ASSERT_EQ(1u, closes.size());
    EXPECT_EQ(std::string("\x03\xE9", 2), closes[0].payload);
    ASSERT_TRUE(h.waitForPostedTasks(kDisconnectTask, 1));
    EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
    EXPECT_TRUE(h.peer.waitForOpenConnections(0));
    EXPECT_FALSE(h.log().contains(ILogger::WARNING, "Did not parse message"));
    EXPECT_FALSE(h.log().contains(ILogger::WARNING, "dropped received bytes"));
    manager->disconnect();
    EXPECT_EQ(1u, h.postedTasks(kDisconnectTask));
}

TEST_F(WebsocketManagerReceiveTest, ReservedOpcodeEndsTheConnection) {
    ASSERT_TRUE(h.peer.sendFrame(0x3, true, "x"));
    ASSERT_TRUE(h.waitForPostedTasks(kDisconnectTask, 1));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "received frame with unknown opcode=3"));
}

TEST_F(WebsocketManagerReceiveTest, MessagesLargerThanTheReadBufferGrowIt) {
    const std::string big(300 * 1024, 'x');
    const std::string object = R"({"blob":")" + big + R"("})";
    const std::string message = dataMessage(key(), object);
    ASSERT_TRUE(h.peer.sendText(message));
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < message.size(); at += 70 * 1024) parts.push_back(message.substr(at, 70 * 1024));
    ASSERT_TRUE(h.peer.sendFragmented(parts));
    ASSERT_TRUE(deliver(2));
    ASSERT_EQ(2u, elements.size());
    EXPECT_EQ(object, elements[0]);
    EXPECT_EQ(object, elements[1]);
    expectAlive("after big");
}

TEST_F(WebsocketManagerReceiveTest, MessageOverTheMaximumIsLoggedAndEndsTheConnection) {
    manager->disconnect();
    ASSERT_NO_FATAL_FAILURE(connectManager(h.configuration(), 4096));
    const std::string exceeds = "message exceeds the maximum message size of 4096 bytes -> resetting connection, "
                                "threadName=MA_WS_svc";
    const std::string fits = dataMessage(key(), R"({"fill":")" + std::string(3000, 'f') + R"("})");
    ASSERT_TRUE(h.peer.sendText(fits));
    ASSERT_TRUE(deliver(1));

    const auto oversized = [&](const std::function<bool()>& send, std::size_t expectedLogs) {
        const std::size_t disconnects = h.postedTasks(kDisconnectTask);
        ASSERT_TRUE(send());
        ASSERT_TRUE(h.waitForPostedTasks(kDisconnectTask, disconnects + 1));
        EXPECT_EQ(expectedLogs, h.log().count(ILogger::ERROR, exceeds));
        ASSERT_TRUE(h.peer.waitForOpenConnections(0));
        h.executor->runAll();
        ASSERT_TRUE(h.connect(*manager));
        ASSERT_NO_FATAL_FAILURE(subscribeElement());
    };
    // One frame over the maximum, a message whose frames add up to more,
    // and a forged header announcing a terabyte.
    oversized([&] { return h.peer.sendText(dataMessage(key(), std::string(5000, '1'))); }, 1);
    oversized([&] { return h.peer.sendFragmented({std::string(2000, '{'), std::string(2000, ' '), std::string(2000, '}')}); }, 2);
    oversized([&] { return h.peer.sendRaw(ScriptedWebSocketPeer::frameHeader(ScriptedWebSocketPeer::OP_TEXT, true, 1ULL << 40)); }, 3);
    expectAlive("after oversized");
}

TEST_F(WebsocketManagerReceiveTest, CallbacksHoldingTheirOwnHandleAreReleasedWithoutDeadlock) {
    std::vector<std::string> arrays;
    auto resource = subscribeResource(arrays);
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
    descriptor->setId("self");
    auto holder = std::make_shared<std::shared_ptr<qel::Subscription>>();
    *holder = manager->subscribeElement(descriptor, [holder](qelutil::JsonObject::Shared) {});
    const std::string selfKey = (*holder)->getSubscriptionKey();
    holder.reset();  // the map entry now owns the handle through its callback

    // "Gone" takes the callback out of the map; the handle it held then
    // unsubscribes through the manager.
    ASSERT_TRUE(h.peer.sendText(R"({"type":"error","event":")" + selfKey + R"(","message":"Gone"})"));
    ASSERT_TRUE(waitFor([&] { return h.log().contains(ILogger::INFO, "could not find callback for key=" + selfKey); }));

    // A lost connection clears the maps with the same effect.
    auto again = std::make_shared<std::shared_ptr<qel::Subscription>>();
    *again = manager->subscribeElement(descriptor, [again](qelutil::JsonObject::Shared) {});
    const std::string againKey = (*again)->getSubscriptionKey();
    again.reset();
    h.peer.dropConnections();
    ASSERT_TRUE(h.waitForPostedTasks(kDisconnectTask, 1));
    EXPECT_TRUE(waitFor([&] { return h.log().contains(ILogger::INFO, "could not find callback for key=" + againKey); }));
    EXPECT_TRUE(waitFor(
        [&] { return h.log().contains(ILogger::DEBUG, "cannot unsubscribe because websocket is not connected"); }));
}

TEST_F(WebsocketManagerReceiveTest, WatchdogPingsASilentPeerAndResetsAfterThePongTimeout) {
    qeltest::ScopedDefaultLoggerFactory watchdogLog(h.loggers);
    manager->disconnect();
    ASSERT_NO_FATAL_FAILURE(
        connectManager(h.configuration(std::chrono::milliseconds(1000), std::chrono::milliseconds(3000))));
    EXPECT_TRUE(waitFor([&] { return h.log().contains(ILogger::DEBUG, "pollingIntervalRead=500000 us"); }));
    const std::size_t disconnects = h.postedTasks(kDisconnectTask);

    // Answered pings keep the connection beyond the pong time-out.
    ASSERT_TRUE(h.peer.waitForFrames(ScriptedWebSocketPeer::OP_PING, 4));
    EXPECT_EQ("QELA", h.peer.frames(ScriptedWebSocketPeer::OP_PING).at(0).payload);
    EXPECT_EQ(disconnects, h.postedTasks(kDisconnectTask));

    h.peer.setAnswerPings(false);
    ASSERT_TRUE(h.waitForPostedTasks(kDisconnectTask, disconnects + 1));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "pong timeout!"));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "got notification from watchdog, resetting websocket for:" +
                                                       h.peer.baseUri() + " (MA_WS_svc)"));
    EXPECT_EQ(IWebsocketManager::DISCONNECTED, manager->getConnectionState());
}

}  // namespace
