#include <support/DevServerClient.h>

namespace {

using namespace qeltest;
using namespace std::chrono_literals;
using qeldev::DevServerOptions;
using qeldev::WebSocketOpcode;
using Strings = std::vector<std::string>;

class DevServerWebSocketTest : public DevServerFixture {
protected:
    std::unique_ptr<WsClient> connect(const std::string& path = "/api/") { return std::make_unique<WsClient>(main, path); }
    /// Subscribes and returns the first data message, after checking the confirmation before it.
    JsonObject::Shared subscribed(WsClient& client, const std::string& event, const std::string& extra = "") {
        client.subscribe(event, extra);
        EXPECT_TRUE(isMessage(client.next(), "subscribe", event)) << event;
        auto data = client.next();
        EXPECT_TRUE(isMessage(data, "data", event)) << event;
        return data;
    }
    int admin(const std::string& body) { return call(main, "POST", "/_admin/websocket", body).status; }
};

TEST_F(DevServerWebSocketTest, SubscriptionsAreConfirmedPushedOnEveryChangeInOrderAndEndGone) {
    auto client = connect();
    const std::string event = "/api/media/tracks/t1?$fields=duration#1";
    const auto initial = subscribed(*client, event);
    EXPECT_EQ((Strings{"id", "name", "duration", "uri"}), initial->getObject("data")->getKeys());
    EXPECT_FALSE(initial->has("paging"));
    for (const char* name : {"First", "Second", "Third"}) rename("t1", name);
    for (const char* name : {"First", "Second", "Third"}) EXPECT_EQ(name, client->next()->getObject("data")->getString("name"));
    const auto kept = server->getElement("media", "tracks", "t1");
    ASSERT_TRUE(server->deleteElement("media", "tracks", "t1"));
    const auto gone = client->next();
    EXPECT_TRUE(isMessage(gone, "error", event));
    EXPECT_EQ("Gone", gone->getString("message"));
    server->setElement("media", "tracks", *kept);
    EXPECT_TRUE(client->barrier()) << "a subscription that is gone stays gone";

    EXPECT_EQ(1, subscribed(*client, "/api/media/albums/#2")->getObject("paging")->getLong("totalPages"));
    ASSERT_EQ(201, call(main, "POST", "/api/media/albums", R"({"id":"a11"})").status);
    EXPECT_EQ("a11", ids(*client->next()->getArray("data")).back()) << "changes over HTTP are pushed too";
    EXPECT_EQ(12u, subscribed(*client, "/api/media/tracks/?genre=jazz#6")->getArray("data")->size());
    for (const char* unsubscribed : {"/api/media/tracks/#6", "/api/media/albums/#2"}) {  // named without the query
        client->unsubscribe(unsubscribed);
        EXPECT_TRUE(isMessage(client->next(), "unsubscribe", unsubscribed));
    }
    rename("t13", "No longer watched");
    server->deleteElement("media", "albums", "a11");
    EXPECT_TRUE(client->barrier());
}

TEST_F(DevServerWebSocketTest, UnknownSubscriptionsAndMalformedMessagesGetErrorsAndTheConnectionLivesOn) {
    auto client = connect();
    for (const auto& [event, status] : std::vector<std::pair<std::string, std::string>>{
             {"/api/nosuch/x/#e1", "Not Found"}, {"/api/media/nosuch/#e2", "Not Found"},
             {"/api/media/tracks/t999#e3", "Not Found"}, {"/api/media/#e4", "Not Found"},
             {"/api/media/tracks/t1/x#e5", "Not Found"}, {"/elsewhere/#e6", "Not Found"},
             {"/api/media/tracks/?$bogus=1#e7", "Bad Request"}, {"/api/media/tracks/%zz#e8", "Bad Request"},
             {"nopath#e9", "Bad Request"}}) {
        client->subscribe(event);
        const auto error = client->next();
        ASSERT_TRUE(isMessage(error, "error", event)) << event;
        EXPECT_EQ(status, error->getString("status")) << event;
        EXPECT_TRUE(error->isString("message"));
    }
    server->createElement("media", "tracks", *qelutil::JsonFactory::parseObject(R"({"id":"t999"})"));
    EXPECT_TRUE(client->barrier()) << "a refused subscription receives nothing";

    // Each message and whether its error names the event it carried.
    for (const auto& [text, named] : std::vector<std::pair<std::string, bool>>{
             {"not json", false}, {"[1,2]", false}, {"{\"a\":" + std::string(60000, '['), false},
             {R"({"event":"/api/#x"})", true}, {R"({"type":5,"event":"/api/#x"})", true},
             {R"({"type":"bogus","event":"/api/#x"})", true}, {R"({"type":"subscribe"})", false},
             {R"({"type":"subscribe","event":42})", false},
             {R"({"type":"subscribe","event":"/api/#x","interval":"soon"})", true},
             {R"({"type":"subscribe","event":"/api/#x","updatelimit":-5})", true},
             {R"({"type":"unsubscribe","event":["/api/#x"]})", false}}) {
        client->send(text);
        const auto error = client->next();
        ASSERT_TRUE(error) << text.substr(0, 60);
        EXPECT_EQ("error", error->getString("type")) << text.substr(0, 60);
        EXPECT_EQ(named ? "/api/#x" : "", error->has("event") ? error->getString("event") : "") << text.substr(0, 60);
    }
    client->send(R"({"type":"subscribe","event":"/api/#b"})", WebSocket::FRAME_BINARY);
    EXPECT_EQ("error", client->next()->getString("type"));
    client->send("tail", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CONT);
    EXPECT_EQ("error", client->next()->getString("type"));
    // A message in three frames is one message.
    client->send(R"({"type":"subs)", WebSocket::FRAME_OP_TEXT);
    client->send(R"(cribe","event":"/api/media/)", WebSocket::FRAME_OP_CONT);
    client->send(R"(tracks/t2#split"})", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CONT);
    EXPECT_TRUE(isMessage(client->next(), "subscribe", "/api/media/tracks/t2#split"));
    EXPECT_TRUE(isMessage(client->next(), "data", "/api/media/tracks/t2#split"));
    EXPECT_TRUE(client->barrier());
}

TEST_F(DevServerWebSocketTest, IntervalPushesPeriodicallyAndUpdateLimitKeepsTheLatestState) {
    auto client = connect();
    subscribed(*client, "/api/media/tracks/t2#iv", R"(,"interval":20)");
    EXPECT_TRUE(client->waitData("/api/media/tracks/t2#iv", 4)) << "periodic pushes without any change";
    client->unsubscribe("/api/media/tracks/t2#iv");
    ASSERT_TRUE(waitFor([&] { return isMessage(client->next(0ms), "unsubscribe", "/api/media/tracks/t2#iv"); }));
    EXPECT_TRUE(client->barrier()) << "no periodic push after the unsubscribe confirmation";

    const std::string limited = "/api/media/tracks/t3#ul", every = "/api/media/tracks/t4#all";
    subscribed(*client, limited, R"(,"updatelimit":300)");
    subscribed(*client, every);
    const int changes = 30;
    for (int i = 0; i < changes; ++i) {
        rename("t3", "n" + std::to_string(i));
        rename("t4", "m" + std::to_string(i));
    }
    ASSERT_TRUE(waitFor([&] { return client->data(limited).back()->getObject("data")->getString("name") == "n29"; }))
        << "the latest state arrives";
    EXPECT_LE(client->data(limited).size(), 1u + changes / 2) << "pushes are held back to one per period";
    ASSERT_TRUE(client->waitData(every, 1u + changes));
    const auto all = client->data(every);
    for (int i = 0; i < changes; ++i) EXPECT_EQ("m" + std::to_string(i), all[1 + i]->getObject("data")->getString("name"));
}

TEST_F(DevServerWebSocketTest, LargeListingsArePagedByTheServerAtTheConfiguredSize) {
    DevServerOptions options;
    options.wsPageSize = 25;
    startServer(options);
    auto client = connect();
    const auto first = subscribed(*client, "/api/media/tracks/#p");
    const auto paging = first->getObject("paging");
    for (const auto& [key, value] : {std::pair{"offset", 0}, {"limit", 25}, {"total", 60}, {"totalPages", 3}})
        EXPECT_EQ(value, paging->getLong(key)) << key;
    EXPECT_EQ("/api/media/tracks/?$limit=25&$offset=25", paging->getString("next"));
    EXPECT_FALSE(paging->has("previous"));
    const auto totals = subscribed(*client, "/api/media/tracks/?$limit=0#p0");
    EXPECT_EQ(0u, totals->getArray("data")->size());
    EXPECT_EQ(60, totals->getObject("paging")->getLong("total"));

    auto data = qeldev::DevServer::exampleData();
    data->setLong("wsPageSize", 7);
    options.data = data;
    startServer(options);
    client = connect();
    client->subscribe("/api/media/tracks/#q");
    ASSERT_TRUE(client->waitData("/api/media/tracks/#q", 1));
    EXPECT_EQ(7u, client->data("/api/media/tracks/#q")[0]->getArray("data")->size()) << "the data's page size wins";
}

TEST_F(DevServerWebSocketTest, PingsAreAnsweredCloseWithCloseAndOversizedMessagesEndTheConnectionOnly) {
    auto client = connect();
    for (const std::string& payload : {std::string("a\0b", 3), std::string()}) {
        client->send(payload, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
        EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PONG, payload));
    }
    client->send("unsolicited", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
    EXPECT_TRUE(client->barrier()) << "a pong from the client is no message";
    client->send(std::string("\x03\xe8", 2), WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE);
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_CLOSE, std::string("\x03\xe8", 2)));
    EXPECT_TRUE(client->waitEnded());
    EXPECT_TRUE(waitFor([&] { return server->webSocketCount() == 0; }));

    auto oversized = connect();
    oversized->send(R"({"type":"subscribe","event":")" + std::string(100000, 'x') + "\"}");
    EXPECT_EQ("Request Entity Too Large", oversized->next()->getString("status"));
    EXPECT_TRUE(oversized->waitFrame(WebSocket::FRAME_OP_CLOSE, "\x03\xf1", true)) << "closed with 1009";
    EXPECT_TRUE(oversized->waitEnded());
    auto fragmented = connect();
    const std::string part(30000, ' ');
    fragmented->send("{" + part, WebSocket::FRAME_OP_TEXT);
    fragmented->send(part, WebSocket::FRAME_OP_CONT);
    fragmented->send(part + "}", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CONT);
    EXPECT_TRUE(fragmented->waitEnded()) << "the limit holds for the whole message";
    EXPECT_TRUE(connect()->barrier());
}

TEST_F(DevServerWebSocketTest, DropsEndWithoutCloseFrameAndAStallAnswersNothingUntilItEnds) {
    auto client = connect();
    auto other = std::make_unique<WsClient>(nav, "/nav/");
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 2; })) << "the server knows both before the drop";
    server->dropWebSockets();
    EXPECT_TRUE(client->waitEnded());
    EXPECT_TRUE(other->waitEnded());
    for (const auto& frame : client->frames()) EXPECT_NE(WebSocket::FRAME_OP_CLOSE, frame.opcode);
    EXPECT_TRUE(waitFor([&] { return server->webSocketCount() == 0; }));

    client = connect();
    subscribed(*client, "/api/media/tracks/t5#s");
    const std::size_t before = client->frames().size();
    server->stallWebSockets(std::chrono::minutes(5));
    client->send("ping", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
    client->subscribe("/api/media/tracks/t6#s");
    rename("t5", "during the stall");
    EXPECT_FALSE(waitFor([&] { return client->frames().size() > before; }, 300ms)) << "nothing, pongs included";
    EXPECT_THROW(WsClient(main, "/api/", Poco::Timespan(0, 300000)), Poco::Exception) << "upgrades wait too";
    server->clearFaults();
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PONG, "ping"));
    EXPECT_TRUE(waitFor([&] {
        const auto pushes = client->data("/api/media/tracks/t5#s");
        return pushes.size() == 2 && pushes[1]->getObject("data")->getString("name") == "during the stall";
    })) << "held-back changes follow";
    EXPECT_TRUE(client->waitData("/api/media/tracks/t6#s", 1));
    server->stallWebSockets(100ms);
    client->send("again", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PONG, "again")) << "a stall ends alone";
}

TEST_F(DevServerWebSocketTest, UpgradesAreRefusedWhenAskedUnknownOrBeyondTheBound) {
    server->refuseWebSocketUpgrades(std::chrono::minutes(5), 503);
    EXPECT_EQ(503, WsClient::upgradeStatus(main, "/api/"));
    EXPECT_EQ(200, get(main, "/api/").status) << "plain HTTP is not refused";
    server->clearFaults();
    for (const auto& [origin, path, status] : std::vector<std::tuple<std::string, const char*, int>>{
             {main, "/api/", 101}, {main, "/", 101}, {nav, "/nav", 101}, {main, "/nav/", 404}, {main, "/api/media/", 404}})
        EXPECT_EQ(status, WsClient::upgradeStatus(origin, path)) << path;
    EXPECT_THROW(server->refuseWebSocketUpgrades(1s, 101), std::invalid_argument);

    DevServerOptions options;
    options.maxWebSockets = 2;
    startServer(options);
    auto first = connect(), second = connect();
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 2; }));
    EXPECT_EQ(503, WsClient::upgradeStatus(main, "/api/"));
    EXPECT_EQ(101, WsClient::upgradeStatus(nav, "/nav/")) << "the bound is per origin";
    EXPECT_EQ(200, get(main, "/api/media/tracks/t1").status) << "HTTP keeps its workers";
    first.reset();
    EXPECT_TRUE(waitFor([&] { return WsClient::upgradeStatus(main, "/api/") == 101; }));
}

TEST_F(DevServerWebSocketTest, SplitAndRawFramesReachTheClientAsInjected) {
    auto client = connect();
    server->splitWebSocketMessages(7);
    client->subscribe("/api/media/tracks/t7#f");
    ASSERT_TRUE(client->waitData("/api/media/tracks/t7#f", 1));
    const auto split = client->frames();
    ASSERT_GT(split.size(), 4u);
    EXPECT_TRUE(split[0].opcode == WebSocket::FRAME_OP_TEXT && !split[0].fin);
    for (const auto& frame : split) EXPECT_LE(frame.payload.size(), 7u);
    EXPECT_TRUE(split.back().opcode == WebSocket::FRAME_OP_CONT && split.back().fin);
    server->splitWebSocketMessages(0);
    rename("t7", "whole");
    ASSERT_TRUE(client->waitData("/api/media/tracks/t7#f", 2));
    EXPECT_TRUE(client->frames().back().opcode == WebSocket::FRAME_OP_TEXT && client->frames().back().fin);

    const std::string wrongType = R"({"type":"data","event":42,"data":"x"})";
    for (const auto& [opcode, payload, fin] : std::vector<std::tuple<WebSocketOpcode, std::string, bool>>{
             {WebSocketOpcode::TEXT, wrongType, true}, {WebSocketOpcode::TEXT, "", true}, {WebSocketOpcode::PONG, "", true},
             {WebSocketOpcode::TEXT, R"({"type":)", false}, {WebSocketOpcode::CONTINUATION, R"("x"})", true}})
        EXPECT_EQ(1u, server->sendWebSocketFrame(opcode, payload, fin));
    ASSERT_TRUE(waitFor([&] { return client->texts().back() == R"({"type":"x"})"; }));
    const auto texts = client->texts();
    EXPECT_EQ((Strings{wrongType, "", R"({"type":"x"})"}), Strings(texts.end() - 3, texts.end()));
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PONG, ""));

    EXPECT_EQ(1u, server->sendOversizedWebSocketMessage(300000));
    ASSERT_TRUE(waitFor([&] { return client->texts().back().size() == 300000; }));
    const auto oversized = parseOrNull(client->texts().back());
    ASSERT_TRUE(isMessage(oversized, "data", "/api/media/tracks/t7#f"));
    EXPECT_TRUE(oversized->isObject("data")) << "shaped like the latest subscription's data";
    EXPECT_THROW(server->sendOversizedWebSocketMessage(std::size_t(1) << 40), std::invalid_argument);
    client->skip();
    EXPECT_TRUE(client->barrier());
}

TEST_F(DevServerWebSocketTest, AdminEndpointInjectsAndClearsWebSocketFaults) {
    auto client = connect();
    ASSERT_TRUE(waitFor([&] { return server->webSocketCount() == 1; }));
    auto state = [&] { return get(main, "/_admin/websocket").element(); };
    EXPECT_EQ(1, state()->getLong("connections"));
    EXPECT_FALSE(state()->getBool("stalled"));
    EXPECT_EQ(200, admin(R"({"action":"send","opcode":"ping","payload":"hi"})"));
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PING, "hi"));
    EXPECT_EQ(200, admin(R"({"action":"oversized","bytes":5000})"));
    EXPECT_TRUE(waitFor([&] { return !client->texts().empty() && client->texts().back().size() == 5000; }));
    expectStatuses(main, {{200, "POST", "/_admin/websocket", R"({"action":"stall","ms":600000})"},
                          {200, "POST", "/_admin/websocket", R"({"action":"split","frameBytes":5})"},
                          {200, "POST", "/_admin/websocket", R"({"action":"refuse","ms":600000,"status":500})"}});
    EXPECT_TRUE(state()->getBool("stalled"));
    EXPECT_EQ(5, state()->getLong("splitBytes"));
    EXPECT_EQ(500, state()->getLong("refuseStatus"));
    EXPECT_EQ(200, call(main, "DELETE", "/_admin/fault").status);
    EXPECT_FALSE(state()->getBool("stalled"));
    EXPECT_FALSE(state()->getBool("refusing"));
    EXPECT_EQ(0, state()->getLong("splitBytes"));
    std::vector<Expected> refused = {{405, "PUT", "/_admin/websocket", ""}};
    for (const char* bad : {R"({"action":"explode"})", R"({"action":"stall"})", R"({"action":"split","frameBytes":-1})",
                            R"({"action":"send","opcode":"shout"})", R"({"action":"refuse","ms":10,"status":42})", "[]"})
        refused.push_back({400, "POST", "/_admin/websocket", bad});
    expectStatuses(main, refused);
    EXPECT_EQ(200, admin(R"({"action":"drop"})"));
    EXPECT_TRUE(client->waitEnded());
}

TEST_F(DevServerWebSocketTest, StopEndsConnectionsAndUpgradesWaitingInAStall) {
    auto client = connect();
    subscribed(*client, "/api/media/tracks/#x");
    server->stallWebSockets(std::chrono::minutes(5));
    std::atomic<bool> upgradeEnded{false};
    std::thread waiting([&] {
        try {
            WsClient late(main, "/api/");
        } catch (const Poco::Exception&) {
            // Refused or cut off by the stop: either ends the attempt.
        }
        upgradeEnded = true;
    });
    server->stop();
    EXPECT_TRUE(client->waitEnded());
    EXPECT_TRUE(waitFor([&] { return upgradeEnded.load(); }));
    waiting.join();
    EXPECT_EQ(0u, server->webSocketCount());
    server->clearFaults();
    server->start();
    main = server->service("media").origin;
    EXPECT_TRUE(connect()->barrier()) << "a restarted server serves WebSockets again";
}

TEST_F(DevServerWebSocketTest, ConcurrentChangesInjectionsAndChurnKeepEveryStreamIntact) {
    auto element = connect(), listing = connect(), churn = connect();
    subscribed(*element, "/api/media/tracks/t1#c1");
    subscribed(*listing, "/api/media/tracks/#c2");
    const int changes = 200;
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < changes; ++i) {
            auto track = server->getElement("media", "tracks", "t1");
            track->setLong("n", i);
            server->setElement("media", "tracks", *track);
        }
        writing = false;
    });
    std::thread injector([&] {
        for (int i = 0; writing && i < 2000; ++i) {
            server->splitWebSocketMessages(i % 2 == 0 ? 0 : 50);
            server->sendWebSocketFrame(WebSocketOpcode::TEXT, R"({"type":"noise"})");
            server->sendWebSocketFrame(WebSocketOpcode::PING, "p");
        }
        server->splitWebSocketMessages(0);
    });
    for (int i = 0; writing && i < 500; ++i) {
        const std::string event = "/api/media/albums/?$limit=" + std::to_string(i % 5) + "#churn" + std::to_string(i);
        churn->subscribe(event);
        churn->unsubscribe(event);
    }
    writer.join();
    injector.join();
    ASSERT_TRUE(element->waitData("/api/media/tracks/t1#c1", 1u + changes));
    ASSERT_TRUE(listing->waitData("/api/media/tracks/#c2", 1u + changes));
    const auto pushes = element->data("/api/media/tracks/t1#c1"), listed = listing->data("/api/media/tracks/#c2");
    for (int i = 0; i < changes; ++i) {
        EXPECT_EQ(i, pushes[1 + i]->getObject("data")->getLong("n"));
        EXPECT_EQ(i, listed[1 + i]->getArray("data")->getObject(0)->getLong("n")) << "each push shows its own change";
    }
    for (const auto* client : {element.get(), listing.get(), churn.get()})
        for (const auto& text : client->texts()) EXPECT_TRUE(parseOrNull(text)) << "torn: " << text.substr(0, 80);
    churn->subscribe("/api/#final");
    EXPECT_TRUE(churn->waitData("/api/#final", 1));
}

}  // namespace
