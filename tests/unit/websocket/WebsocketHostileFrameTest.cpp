// A hostile or broken server on the receive loop: frames no server may
// send fail the connection with a line that names them, and a truncated
// message does not silence the messages after it.

#include "support/WebsocketManagerHarness.h"

#include <QelAccess/XObjectDescriptor.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using qel::IWebsocketManager;
using qelutil::ILogger;
using qeltest::ScriptedWebSocketPeer;
using qeltest::waitFor;

namespace {

const std::string kDisconnectTask = "WS -> Disconnect callback";

class WebsocketHostileFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager = h.makeManager(h.configuration());
        ASSERT_TRUE(h.connect(*manager));
        auto descriptor = std::make_shared<qel::XObjectDescriptor>("svc", "res");
        descriptor->setId("e1");
        const std::size_t sent = h.peer.messages().size();
        element = manager->subscribeElement(
            descriptor, [this](qelutil::JsonObject::Shared object) { elements.push_back(object->toString()); });
        ASSERT_TRUE(h.peer.waitForMessages(sent + 1));
        h.executor->runAll();
        elements.clear();
    }

    void TearDown() override { manager->disconnect(); }

    std::string message(const std::string& data) const {
        return R"({"type":"data","event":")" + element->getSubscriptionKey() + R"(","data":)" + data + "}";
    }

    bool deliver(std::size_t count) {
        return waitFor([&] {
            h.executor->runAll();
            return elements.size() >= count;
        });
    }

    qeltest::WebsocketManagerHarness h;
    std::shared_ptr<qel::DefaultWebsocketManager2> manager;
    std::shared_ptr<qel::Subscription> element;
    std::vector<std::string> elements;
};

TEST_F(WebsocketHostileFrameTest, FramesNoServerMaySendFailTheConnectionNamingTheFrame) {
    // A masked text frame carrying a valid message, and a reserved opcode.
    const std::string payload = message(R"({"n":1})");
    const char key[4] = {0x11, 0x22, 0x33, 0x44};
    std::string masked = std::string("\x81", 1) + static_cast<char>(0x80 | payload.size()) + std::string(key, 4);
    for (std::size_t i = 0; i < payload.size(); ++i) masked += static_cast<char>(payload[i] ^ key[i % 4]);
    struct Case {
        std::string frame;
        std::string line;
    };
    const std::vector<Case> cases = {
        {masked, "protocol error from the server: received masked frame, opcode=1, fin=1, length=" +
                     std::to_string(payload.size())},
        {std::string("\x83\x01x", 3), "protocol error from the server: received frame with unknown opcode=3"},
    };
    std::size_t disconnects = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (disconnects > 0) {
            ASSERT_TRUE(h.connect(*manager));
        }
        ASSERT_TRUE(h.peer.sendRaw(c.frame));
        ASSERT_TRUE(h.waitForPostedTasks(kDisconnectTask, ++disconnects));
        EXPECT_TRUE(h.log().contains(ILogger::WARNING, c.line));
        h.executor->runAll();
        EXPECT_TRUE(elements.empty());
    }
}

TEST_F(WebsocketHostileFrameTest, SplitDocumentArrivesAndATruncatedOneIsDroppedWithinABound) {
    const std::string split = message(R"({"n":"split"})");
    const std::size_t third = split.size() / 3;
    for (std::size_t at = 0; at < 3; ++at)
        ASSERT_TRUE(h.peer.sendText(split.substr(at * third, at == 2 ? std::string::npos : third)));
    ASSERT_TRUE(deliver(1));
    EXPECT_EQ(R"({"n":"split"})", elements.back());

    // A truncated message, then valid ones: those past the bound arrive.
    ASSERT_TRUE(h.peer.sendText(R"({"event":"x","data":{)"));
    for (int n = 0; n < 20; ++n) ASSERT_TRUE(h.peer.sendText(message("{\"n\":" + std::to_string(n) + "}")));
    ASSERT_TRUE(waitFor([&] {
        h.executor->runAll();
        return !elements.empty() && elements.back() == R"({"n":19})";
    }));
    EXPECT_TRUE(h.log().contains(ILogger::WARNING, "dropped an incomplete message that did not complete within 8"));
    EXPECT_GE(elements.size(), 1u + 13u);
    EXPECT_EQ(IWebsocketManager::CONNECTED, manager->getConnectionState());
}

}  // namespace
