#include <qeldev/DevServer.h>

#include <support/WaitFor.h>

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <Poco/Buffer.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Poco::Net::WebSocket;
using qeldev::DevServer;
using qeldev::DevServerOptions;
using qeldev::WebSocketOpcode;
using qelutil::JsonArray;
using qelutil::JsonFactory;
using qelutil::JsonObject;
using namespace std::chrono_literals;

struct Frame {
    int opcode = 0;
    bool fin = false;
    std::string payload;
};

JsonObject::Shared parse(const std::string& text) {
    try {
        return JsonFactory::parseObject(text);
    } catch (const qelutil::JsonException&) {
        return nullptr;
    }
}

/// A raw WebSocket client whose reader thread records every frame and every
/// reassembled text message.
class WsClient {
public:
    WsClient(const std::string& origin, const std::string& path, Poco::Timespan timeout = Poco::Timespan(10, 0))
        : m_session(Poco::URI(origin).getHost(), Poco::URI(origin).getPort()) {
        m_session.setTimeout(timeout);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path, Poco::Net::HTTPMessage::HTTP_1_1);
        Poco::Net::HTTPResponse response;
        m_socket = std::make_unique<WebSocket>(m_session, request, response);
        m_socket->setMaxPayloadSize(1 << 30);
        m_socket->setReceiveTimeout(Poco::Timespan(10, 0));
        m_reader = std::thread([this] { read(); });
    }

    ~WsClient() {
        m_stop = true;
        m_reader.join();
    }

    /// The status the server answers an upgrade at `path` with (101 on success).
    static int upgradeStatus(const std::string& origin, const std::string& path) {
        Poco::Net::HTTPClientSession session(Poco::URI(origin).getHost(), Poco::URI(origin).getPort());
        session.setTimeout(Poco::Timespan(10, 0));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path, Poco::Net::HTTPMessage::HTTP_1_1);
        Poco::Net::HTTPResponse response;
        try {
            WebSocket socket(session, request, response);
        } catch (const Poco::Net::WebSocketException&) {
            // The response holds the refusal.
        }
        return response.getStatus();
    }

    void send(const std::string& payload, int flags = WebSocket::FRAME_TEXT) {
        m_socket->sendFrame(payload.data(), static_cast<int>(payload.size()), flags);
    }
    void subscribe(const std::string& event, const std::string& extra = "") {
        send(R"({"type":"subscribe","event":")" + event + "\"" + extra + "}");
    }
    void unsubscribe(const std::string& event) { send(R"({ "type" : "unsubscribe", "event" : ")" + event + "\" }"); }

    /// The next message not taken yet; null when none arrives in time or it is not a JSON object.
    JsonObject::Shared next(std::chrono::milliseconds timeout = 10s) {
        std::string text;
        if (!qeltest::waitFor([&] { return takeText(text); }, timeout)) return nullptr;
        return parse(text);
    }

    /// Subscribes to the root at `basePath` under a fresh event; true when
    /// its confirmation and data are the next messages, that is, when
    /// nothing else was pushed before.
    bool barrier(const std::string& basePath = "/api/") {
        const std::string event = basePath + "#barrier" + std::to_string(++m_barriers);
        subscribe(event);
        const auto confirmation = next();
        const auto data = next();
        return confirmation && confirmation->getString("type") == "subscribe" &&
               confirmation->getString("event") == event && data && data->getString("type") == "data" &&
               data->getString("event") == event;
    }

    /// Marks every message received so far as taken.
    void skip() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_taken = m_texts.size();
    }

    std::vector<Frame> frames() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    std::vector<std::string> texts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }
    /// Messages (taken or not) of type "data" for `event`.
    std::vector<JsonObject::Shared> data(const std::string& event) const {
        std::vector<JsonObject::Shared> result;
        for (const auto& text : texts()) {
            const auto message = parse(text);
            if (message && message->isString("event") && message->getString("event") == event &&
                message->getString("type") == "data")
                result.push_back(message);
        }
        return result;
    }
    bool waitFrame(const std::function<bool(const Frame&)>& match, std::chrono::milliseconds timeout = 10s) const {
        return qeltest::waitFor(
            [&] {
                for (const auto& frame : frames()) {
                    if (match(frame)) return true;
                }
                return false;
            },
            timeout);
    }
    bool waitEnded() const {
        return qeltest::waitFor([this] { return m_ended.load(); });
    }
    bool ended() const { return m_ended.load(); }

private:
    bool takeText(std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_taken >= m_texts.size()) return false;
        text = m_texts[m_taken++];
        return true;
    }

    void read() {
        Poco::Buffer<char> buffer(0);
        std::string message;
        while (!m_stop) {
            try {
                if (m_socket->available() <= 0 &&
                    !m_socket->poll(Poco::Timespan(0, 20000), Poco::Net::Socket::SELECT_READ))
                    continue;
                int flags = 0;
                buffer.resize(0);
                const int n = m_socket->receiveFrame(buffer, flags);
                if (n == 0 && flags == 0) break;
                Frame frame{flags & WebSocket::FRAME_OP_BITMASK, (flags & WebSocket::FRAME_FLAG_FIN) != 0,
                            n > 0 ? std::string(buffer.begin(), static_cast<std::size_t>(n)) : ""};
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(frame);
                if (frame.opcode == WebSocket::FRAME_OP_TEXT) message.clear();
                if (frame.opcode == WebSocket::FRAME_OP_TEXT || frame.opcode == WebSocket::FRAME_OP_CONT) {
                    message += frame.payload;
                    if (frame.fin) m_texts.push_back(message);
                }
            } catch (const Poco::Exception&) {
                break;
            }
        }
        m_ended = true;
    }

    Poco::Net::HTTPClientSession m_session;
    std::unique_ptr<WebSocket> m_socket;
    std::thread m_reader;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ended{false};
    mutable std::mutex m_mutex;
    std::vector<Frame> m_frames;
    std::vector<std::string> m_texts;
    std::size_t m_taken = 0;
    int m_barriers = 0;
};

struct HttpResult {
    int status = 0;
    JsonObject::Shared json;
};

HttpResult http(const std::string& origin, const std::string& method, const std::string& target,
                const std::string& body = {}) {
    Poco::Net::HTTPClientSession session(Poco::URI(origin).getHost(), Poco::URI(origin).getPort());
    session.setTimeout(Poco::Timespan(10, 0));
    Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!body.empty()) request.setContentLength(static_cast<std::streamsize>(body.size()));
    session.sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    std::string text;
    Poco::StreamCopier::copyToString(session.receiveResponse(response), text);
    return {response.getStatus(), parse(text)};
}

std::vector<std::string> ids(const JsonArray& data) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < data.size(); ++i) result.push_back(data.getObject(i)->getString("id"));
    return result;
}

std::vector<std::string> tracks(int first, int last) {
    std::vector<std::string> result;
    for (int n = first; n <= last; ++n) result.push_back("t" + std::to_string(n));
    return result;
}

bool isMessage(const JsonObject::Shared& message, const std::string& type, const std::string& event) {
    return message && message->isString("type") && message->getString("type") == type && message->isString("event") &&
           message->getString("event") == event;
}

class DevServerWebSocketTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(DevServerOptions{}); }

    void startServer(DevServerOptions options) {
        server.reset();
        options.loggerFactory = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::ERROR);
        server = std::make_unique<DevServer>(std::move(options));
        server->start();
        main = server->service("media").origin;
        nav = server->service("navigation").origin;
    }

    std::unique_ptr<WsClient> connect(const std::string& path = "/api/") {
        return std::make_unique<WsClient>(main, path);
    }

    void rename(const std::string& id, const std::string& name) {
        auto element = server->getElement("media", "tracks", id);
        element->setString("name", name);
        server->setElement("media", "tracks", *element);
    }

    std::unique_ptr<DevServer> server;
    std::string main;
    std::string nav;
};

TEST_F(DevServerWebSocketTest, ElementSubscriptionIsConfirmedPushedOnEveryChangeAndEndsGone) {
    auto client = connect();
    const std::string event = "/api/media/tracks/t1?$fields=duration#1";
    client->subscribe(event);
    EXPECT_TRUE(isMessage(client->next(), "subscribe", event));
    const auto initial = client->next();
    ASSERT_TRUE(isMessage(initial, "data", event));
    ASSERT_TRUE(initial->isObject("data"));
    EXPECT_EQ((std::vector<std::string>{"id", "name", "duration", "uri"}), initial->getObject("data")->getKeys());
    EXPECT_FALSE(initial->has("paging"));

    for (const char* name : {"First", "Second", "Third"}) rename("t1", name);
    for (const char* name : {"First", "Second", "Third"}) {
        const auto push = client->next();
        ASSERT_TRUE(isMessage(push, "data", event));
        EXPECT_EQ(name, push->getObject("data")->getString("name")) << "every change in order";
    }

    const auto kept = server->getElement("media", "tracks", "t1");
    ASSERT_TRUE(server->deleteElement("media", "tracks", "t1"));
    const auto gone = client->next();
    ASSERT_TRUE(isMessage(gone, "error", event));
    EXPECT_EQ("Gone", gone->getString("message"));
    server->setElement("media", "tracks", *kept);
    EXPECT_TRUE(client->barrier()) << "a subscription that is gone stays gone";
}

TEST_F(DevServerWebSocketTest, ResourceAndRootSubscriptionsPushArraysWithPaging) {
    auto client = connect();
    client->subscribe("/api/media/albums/#2");
    EXPECT_TRUE(isMessage(client->next(), "subscribe", "/api/media/albums/#2"));
    const auto albums = client->next();
    ASSERT_TRUE(isMessage(albums, "data", "/api/media/albums/#2"));
    ASSERT_TRUE(albums->isArray("data"));
    EXPECT_EQ(10u, albums->getArray("data")->size());
    EXPECT_EQ(10, albums->getObject("paging")->getLong("total"));
    EXPECT_EQ(1, albums->getObject("paging")->getLong("totalPages"));

    ASSERT_EQ(201, http(main, "POST", "/api/media/albums", R"({"id":"a11","name":"Over HTTP"})").status);
    const auto grown = client->next();
    ASSERT_TRUE(isMessage(grown, "data", "/api/media/albums/#2"));
    EXPECT_EQ("a11", ids(*grown->getArray("data")).back()) << "changes over HTTP are pushed too";

    client->subscribe("/api/#3");
    EXPECT_TRUE(isMessage(client->next(), "subscribe", "/api/#3"));
    const auto root = client->next();
    ASSERT_TRUE(isMessage(root, "data", "/api/#3"));
    EXPECT_EQ((std::vector<std::string>{"media", "climate"}), ids(*root->getArray("data")));

    auto registry = std::make_unique<WsClient>(main, "/");  // the registry shares the main origin
    const std::string filtered = "/?$fields=port&name=media,navigation#4";
    registry->subscribe(filtered);
    EXPECT_TRUE(isMessage(registry->next(), "subscribe", filtered));
    const auto listed = registry->next();
    ASSERT_TRUE(isMessage(listed, "data", filtered));
    EXPECT_EQ((std::vector<std::string>{"media", "navigation"}), ids(*listed->getArray("data")));
    EXPECT_EQ((std::vector<std::string>{"id", "name", "uri", "port"}),
              listed->getArray("data")->getObject(1)->getKeys());

    WsClient navigation(nav, "/nav");
    navigation.subscribe("/nav/navigation/routes#5");
    EXPECT_TRUE(isMessage(navigation.next(), "subscribe", "/nav/navigation/routes#5"));
    EXPECT_EQ((std::vector<std::string>{"r1", "r2", "r3"}), ids(*navigation.next()->getArray("data")));

    // An unsubscribe names the event without its query.
    client->subscribe("/api/media/tracks/?genre=jazz#6");
    EXPECT_TRUE(isMessage(client->next(), "subscribe", "/api/media/tracks/?genre=jazz#6"));
    EXPECT_EQ(12u, client->next()->getArray("data")->size());
    client->unsubscribe("/api/media/tracks/#6");
    EXPECT_TRUE(isMessage(client->next(), "unsubscribe", "/api/media/tracks/#6"));
    client->unsubscribe("/api/media/albums/#2");
    EXPECT_TRUE(isMessage(client->next(), "unsubscribe", "/api/media/albums/#2"));
    rename("t13", "No longer watched");
    server->deleteElement("media", "albums", "a11");
    EXPECT_TRUE(client->barrier());
}

TEST_F(DevServerWebSocketTest, UnknownSubscriptionsAndMalformedMessagesGetErrorsAndTheConnectionLivesOn) {
    auto client = connect();
    const std::vector<std::pair<std::string, std::string>> unknown = {{"/api/nosuch/x/#e1", "Not Found"},
                                                                      {"/api/media/nosuch/#e2", "Not Found"},
                                                                      {"/api/media/tracks/t999#e3", "Not Found"},
                                                                      {"/api/media/#e4", "Not Found"},
                                                                      {"/api/media/tracks/t1/x#e5", "Not Found"},
                                                                      {"/elsewhere/#e6", "Not Found"},
                                                                      {"/api/media/tracks/?$bogus=1#e7", "Bad Request"},
                                                                      {"/api/media/tracks/%zz#e8", "Bad Request"},
                                                                      {"nopath#e9", "Bad Request"}};
    for (const auto& entry : unknown) {
        client->subscribe(entry.first);
        const auto error = client->next();
        ASSERT_TRUE(isMessage(error, "error", entry.first)) << entry.first;
        EXPECT_EQ(entry.second, error->getString("status")) << entry.first;
        EXPECT_TRUE(error->isString("message"));
    }
    auto created = JsonFactory::createJsonObject();
    created->setString("id", "t999");
    server->createElement("media", "tracks", *created);
    EXPECT_TRUE(client->barrier()) << "a refused subscription receives nothing";

    const std::string deep = std::string(60000, '[');
    const std::vector<std::pair<std::string, bool>> malformed = {
        {"not json", false},
        {"[1,2]", false},
        {"{\"a\":" + deep, false},
        {R"({"event":"/api/#x"})", true},
        {R"({"type":5,"event":"/api/#x"})", true},
        {R"({"type":"bogus","event":"/api/#x"})", true},
        {R"({"type":"subscribe"})", false},
        {R"({"type":"subscribe","event":42})", false},
        {R"({"type":"subscribe","event":"/api/#x","interval":"soon"})", true},
        {R"({"type":"subscribe","event":"/api/#x","updatelimit":-5})", true},
        {R"({"type":"unsubscribe","event":["/api/#x"]})", false}};
    for (const auto& entry : malformed) {
        client->send(entry.first);
        const auto error = client->next();
        ASSERT_TRUE(error) << entry.first.substr(0, 60);
        EXPECT_EQ("error", error->getString("type")) << entry.first.substr(0, 60);
        EXPECT_EQ(entry.second, error->has("event")) << entry.first.substr(0, 60);
        if (error->has("event")) {
            EXPECT_EQ("/api/#x", error->getString("event"));
        }
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
    client->subscribe("/api/media/tracks/t2#iv", R"(,"interval":20)");
    EXPECT_TRUE(isMessage(client->next(), "subscribe", "/api/media/tracks/t2#iv"));
    EXPECT_TRUE(qeltest::waitFor([&] { return client->data("/api/media/tracks/t2#iv").size() >= 4; }))
        << "periodic pushes without any change";
    client->unsubscribe("/api/media/tracks/t2#iv");
    ASSERT_TRUE(qeltest::waitFor([&] {
        const auto message = client->next(0ms);
        return isMessage(message, "unsubscribe", "/api/media/tracks/t2#iv");
    }));
    EXPECT_TRUE(client->barrier()) << "no periodic push after the unsubscribe confirmation";

    const std::string limited = "/api/media/tracks/t3#ul";
    client->subscribe(limited, R"(,"updatelimit":300)");
    EXPECT_TRUE(isMessage(client->next(), "subscribe", limited));
    EXPECT_TRUE(isMessage(client->next(), "data", limited));
    const int changes = 30;
    for (int i = 0; i < changes; ++i) rename("t3", "n" + std::to_string(i));
    ASSERT_TRUE(qeltest::waitFor([&] {
        const auto pushes = client->data(limited);
        return pushes.back()->getObject("data")->getString("name") == "n29";
    })) << "the latest state arrives";
    const auto pushes = client->data(limited);
    EXPECT_LE(pushes.size(), 1u + changes / 2) << "pushes are held back to one per period";

    const std::string every = "/api/media/tracks/t4#all";
    client->subscribe(every);
    ASSERT_TRUE(qeltest::waitFor([&] { return client->data(every).size() == 1; }));
    for (int i = 0; i < changes; ++i) rename("t4", "m" + std::to_string(i));
    ASSERT_TRUE(qeltest::waitFor([&] { return client->data(every).size() == 1u + changes; }));
    const auto all = client->data(every);
    for (int i = 0; i < changes; ++i)
        EXPECT_EQ("m" + std::to_string(i), all[1 + i]->getObject("data")->getString("name"));
}

TEST_F(DevServerWebSocketTest, LargeListingsArePagedByTheServer) {
    DevServerOptions options;
    options.wsPageSize = 25;
    startServer(options);
    auto client = connect();
    client->subscribe("/api/media/tracks/#p");
    client->subscribe("/api/media/tracks/?$limit=0#p0");
    client->subscribe("/api/media/tracks/?$offset=50&$limit=25#p2");
    for (const char* event :
         {"/api/media/tracks/#p", "/api/media/tracks/?$limit=0#p0", "/api/media/tracks/?$offset=50&$limit=25#p2"}) {
        ASSERT_TRUE(qeltest::waitFor([&] { return client->data(event).size() == 1; })) << event;
    }
    const auto first = client->data("/api/media/tracks/#p")[0];
    EXPECT_EQ(tracks(1, 25), ids(*first->getArray("data")));
    const auto paging = first->getObject("paging");
    EXPECT_EQ(0, paging->getLong("offset"));
    EXPECT_EQ(25, paging->getLong("limit"));
    EXPECT_EQ(60, paging->getLong("total"));
    EXPECT_EQ(3, paging->getLong("totalPages"));
    EXPECT_EQ("/api/media/tracks/?$limit=25&$offset=25", paging->getString("next"));
    EXPECT_FALSE(paging->has("previous"));

    const auto total = client->data("/api/media/tracks/?$limit=0#p0")[0];
    EXPECT_EQ(0u, total->getArray("data")->size());
    EXPECT_EQ(60, total->getObject("paging")->getLong("total"));

    const auto last = client->data("/api/media/tracks/?$offset=50&$limit=25#p2")[0];
    EXPECT_EQ(tracks(51, 60), ids(*last->getArray("data")));
    EXPECT_EQ(50, last->getObject("paging")->getLong("offset"));
    EXPECT_TRUE(last->getObject("paging")->has("previous"));

    auto extra = JsonFactory::createJsonObject();
    extra->setString("id", "t61");
    server->createElement("media", "tracks", *extra);
    ASSERT_TRUE(
        qeltest::waitFor([&] { return client->data("/api/media/tracks/?$offset=50&$limit=25#p2").size() == 2; }));
    EXPECT_EQ(61, client->data("/api/media/tracks/#p")[1]->getObject("paging")->getLong("total"));
    EXPECT_EQ(61, client->data("/api/media/tracks/?$limit=0#p0")[1]->getObject("paging")->getLong("total"));
    EXPECT_EQ(tracks(51, 61), ids(*client->data("/api/media/tracks/?$offset=50&$limit=25#p2")[1]->getArray("data")));

    auto data = DevServer::exampleData();
    data->setLong("wsPageSize", 7);
    options.data = data;
    startServer(options);
    auto small = connect();
    small->subscribe("/api/media/tracks/#q");
    ASSERT_TRUE(qeltest::waitFor([&] { return small->data("/api/media/tracks/#q").size() == 1; }));
    EXPECT_EQ(7u, small->data("/api/media/tracks/#q")[0]->getArray("data")->size()) << "the data's page size wins";
}

TEST_F(DevServerWebSocketTest, PingsAreAnsweredWithTheirPayloadAndCloseWithClose) {
    auto client = connect();
    const std::string payload("a\0b", 3);
    client->send(payload, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
    EXPECT_TRUE(client->waitFrame(
        [&](const Frame& frame) { return frame.opcode == WebSocket::FRAME_OP_PONG && frame.payload == payload; }));
    client->send("", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
    EXPECT_TRUE(client->waitFrame(
        [](const Frame& frame) { return frame.opcode == WebSocket::FRAME_OP_PONG && frame.payload.empty(); }));
    client->send("unsolicited", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
    EXPECT_TRUE(client->barrier()) << "a pong from the client is no message";

    client->send(std::string("\x03\xe8", 2), WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE);
    EXPECT_TRUE(client->waitFrame([](const Frame& frame) {
        return frame.opcode == WebSocket::FRAME_OP_CLOSE && frame.payload == std::string("\x03\xe8", 2);
    }));
    EXPECT_TRUE(client->waitEnded());
    EXPECT_TRUE(qeltest::waitFor([&] { return server->webSocketCount() == 0; }));
}

TEST_F(DevServerWebSocketTest, OversizedClientMessagesEndTheConnectionOnly) {
    auto client = connect();
    client->send(R"({"type":"subscribe","event":")" + std::string(100000, 'x') + "\"}");
    const auto error = client->next();
    ASSERT_TRUE(error);
    EXPECT_EQ("Request Entity Too Large", error->getString("status"));
    EXPECT_TRUE(client->waitFrame([](const Frame& frame) {
        return frame.opcode == WebSocket::FRAME_OP_CLOSE && frame.payload.substr(0, 2) == "\x03\xf1";
    })) << "closed with 1009";
    EXPECT_TRUE(client->waitEnded());

    auto fragmented = connect();
    const std::string part(30000, ' ');
    fragmented->send("{" + part, WebSocket::FRAME_OP_TEXT);
    fragmented->send(part, WebSocket::FRAME_OP_CONT);
    fragmented->send(part + "}", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CONT);
    EXPECT_TRUE(fragmented->waitEnded()) << "the limit holds for the whole message";

    auto fresh = connect();
    EXPECT_TRUE(fresh->barrier());
}

TEST_F(DevServerWebSocketTest, DroppedConnectionsEndWithoutCloseFrame) {
    auto first = connect();
    auto second = std::make_unique<WsClient>(nav, "/nav/");
    ASSERT_TRUE(qeltest::waitFor([&] { return server->webSocketCount() == 2; }));
    server->dropWebSockets();
    EXPECT_TRUE(first->waitEnded());
    EXPECT_TRUE(second->waitEnded());
    for (const auto& frame : first->frames()) EXPECT_NE(WebSocket::FRAME_OP_CLOSE, frame.opcode);
    EXPECT_TRUE(qeltest::waitFor([&] { return server->webSocketCount() == 0; }));
    EXPECT_TRUE(connect()->barrier());
}

TEST_F(DevServerWebSocketTest, AStallAnswersNothingUntilItEnds) {
    auto client = connect();
    client->subscribe("/api/media/tracks/t5#s");
    ASSERT_TRUE(qeltest::waitFor([&] { return client->data("/api/media/tracks/t5#s").size() == 1; }));
    const std::size_t before = client->frames().size();

    server->stallWebSockets(std::chrono::minutes(5));
    client->send("ping", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
    client->subscribe("/api/media/tracks/t6#s");
    rename("t5", "during the stall");
    EXPECT_FALSE(qeltest::waitFor([&] { return client->frames().size() > before; }, 300ms))
        << "nothing, pongs included";
    EXPECT_THROW(WsClient(main, "/api/", Poco::Timespan(0, 300000)), Poco::Exception) << "upgrades wait too";

    server->clearFaults();
    EXPECT_TRUE(client->waitFrame([](const Frame& frame) { return frame.opcode == WebSocket::FRAME_OP_PONG; }));
    EXPECT_TRUE(qeltest::waitFor([&] {
        const auto pushes = client->data("/api/media/tracks/t5#s");
        return pushes.size() == 2 && pushes[1]->getObject("data")->getString("name") == "during the stall";
    })) << "held-back changes follow";
    EXPECT_TRUE(qeltest::waitFor([&] { return client->data("/api/media/tracks/t6#s").size() == 1; }));

    server->stallWebSockets(100ms);
    client->send("again", WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
    EXPECT_TRUE(client->waitFrame([](const Frame& frame) { return frame.payload == "again"; })) << "a stall ends alone";
}

TEST_F(DevServerWebSocketTest, UpgradesAreRefusedWhenAskedUnknownOrBeyondTheBound) {
    server->refuseWebSocketUpgrades(std::chrono::minutes(5), 503);
    EXPECT_EQ(503, WsClient::upgradeStatus(main, "/api/"));
    EXPECT_EQ(200, http(main, "GET", "/api/").status) << "plain HTTP is not refused";
    server->clearFaults();
    EXPECT_EQ(101, WsClient::upgradeStatus(main, "/api/"));
    EXPECT_EQ(101, WsClient::upgradeStatus(main, "/"));
    EXPECT_EQ(101, WsClient::upgradeStatus(nav, "/nav"));
    EXPECT_EQ(404, WsClient::upgradeStatus(main, "/nav/"));
    EXPECT_EQ(404, WsClient::upgradeStatus(main, "/api/media/"));
    EXPECT_THROW(server->refuseWebSocketUpgrades(1s, 101), std::invalid_argument);

    DevServerOptions options;
    options.maxWebSockets = 2;
    startServer(options);
    auto first = connect();
    auto second = connect();
    EXPECT_EQ(503, WsClient::upgradeStatus(main, "/api/"));
    EXPECT_EQ(101, WsClient::upgradeStatus(nav, "/nav/")) << "the bound is per origin";
    EXPECT_EQ(200, http(main, "GET", "/api/media/tracks/t1").status) << "HTTP keeps its workers";
    first.reset();
    EXPECT_TRUE(qeltest::waitFor([&] { return WsClient::upgradeStatus(main, "/api/") == 101; }));
}

TEST_F(DevServerWebSocketTest, SplitAndRawFramesReachTheClientAsInjected) {
    auto client = connect();
    server->splitWebSocketMessages(7);
    client->subscribe("/api/media/tracks/t7#f");
    ASSERT_TRUE(qeltest::waitFor([&] { return client->data("/api/media/tracks/t7#f").size() == 1; }));
    const auto split = client->frames();
    ASSERT_GT(split.size(), 4u);
    EXPECT_EQ(WebSocket::FRAME_OP_TEXT, split[0].opcode);
    EXPECT_FALSE(split[0].fin);
    for (const auto& frame : split) EXPECT_LE(frame.payload.size(), 7u);
    EXPECT_EQ(WebSocket::FRAME_OP_CONT, split.back().opcode);
    EXPECT_TRUE(split.back().fin);
    server->splitWebSocketMessages(0);
    rename("t7", "whole");
    EXPECT_TRUE(client->waitFrame([](const Frame& frame) {
        return frame.fin && frame.opcode == WebSocket::FRAME_OP_TEXT &&
               frame.payload.find("whole") != std::string::npos;
    }));

    const std::string wrongType = R"({"type":"data","event":42,"data":"x"})";
    EXPECT_EQ(1u, server->sendWebSocketFrame(WebSocketOpcode::TEXT, wrongType));
    EXPECT_EQ(1u, server->sendWebSocketFrame(WebSocketOpcode::TEXT, ""));
    EXPECT_EQ(1u, server->sendWebSocketFrame(WebSocketOpcode::PONG, ""));
    EXPECT_EQ(1u, server->sendWebSocketFrame(WebSocketOpcode::TEXT, R"({"type":)", false));
    EXPECT_EQ(1u, server->sendWebSocketFrame(WebSocketOpcode::CONTINUATION, R"("x"})"));
    ASSERT_TRUE(qeltest::waitFor([&] { return client->texts().back() == R"({"type":"x"})"; }));
    const auto texts = client->texts();
    EXPECT_EQ(wrongType, texts[texts.size() - 3]);
    EXPECT_EQ("", texts[texts.size() - 2]);
    EXPECT_EQ(R"({"type":"x"})", texts.back());
    EXPECT_TRUE(client->waitFrame(
        [](const Frame& frame) { return frame.opcode == WebSocket::FRAME_OP_PONG && frame.payload.empty(); }));

    EXPECT_EQ(1u, server->sendOversizedWebSocketMessage(300000));
    ASSERT_TRUE(qeltest::waitFor([&] { return client->texts().back().size() == 300000; }));
    const auto oversized = parse(client->texts().back());
    ASSERT_TRUE(isMessage(oversized, "data", "/api/media/tracks/t7#f"));
    EXPECT_TRUE(oversized->isObject("data")) << "shaped like the latest subscription's data";
    EXPECT_THROW(server->sendOversizedWebSocketMessage(std::size_t(1) << 40), std::invalid_argument);
    client->skip();
    EXPECT_TRUE(client->barrier());
}

TEST_F(DevServerWebSocketTest, AdminEndpointInjectsAndClearsWebSocketFaults) {
    auto client = connect();
    ASSERT_TRUE(qeltest::waitFor([&] { return server->webSocketCount() == 1; }));
    auto status = http(main, "GET", "/_admin/websocket");
    ASSERT_EQ(200, status.status);
    EXPECT_EQ(1, status.json->getObject("data")->getLong("connections"));
    EXPECT_FALSE(status.json->getObject("data")->getBool("stalled"));

    EXPECT_EQ(200,
              http(main, "POST", "/_admin/websocket", R"({"action":"send","opcode":"ping","payload":"hi"})").status);
    EXPECT_TRUE(client->waitFrame(
        [](const Frame& frame) { return frame.opcode == WebSocket::FRAME_OP_PING && frame.payload == "hi"; }));
    EXPECT_EQ(200, http(main, "POST", "/_admin/websocket", R"({"action":"oversized","bytes":5000})").status);
    EXPECT_TRUE(qeltest::waitFor([&] { return !client->texts().empty() && client->texts().back().size() == 5000; }));

    EXPECT_EQ(200, http(main, "POST", "/_admin/websocket", R"({"action":"stall","ms":600000})").status);
    EXPECT_EQ(200, http(main, "POST", "/_admin/websocket", R"({"action":"split","frameBytes":5})").status);
    EXPECT_EQ(200, http(main, "POST", "/_admin/websocket", R"({"action":"refuse","ms":600000,"status":500})").status);
    status = http(main, "GET", "/_admin/websocket");
    EXPECT_TRUE(status.json->getObject("data")->getBool("stalled"));
    EXPECT_EQ(5, status.json->getObject("data")->getLong("splitBytes"));
    EXPECT_EQ(500, status.json->getObject("data")->getLong("refuseStatus"));
    EXPECT_EQ(200, http(main, "DELETE", "/_admin/fault").status);
    status = http(main, "GET", "/_admin/websocket");
    EXPECT_FALSE(status.json->getObject("data")->getBool("stalled"));
    EXPECT_FALSE(status.json->getObject("data")->getBool("refusing"));
    EXPECT_EQ(0, status.json->getObject("data")->getLong("splitBytes"));

    for (const char* bad :
         {R"({"action":"explode"})", R"({"action":"stall"})", R"({"action":"split","frameBytes":-1})",
          R"({"action":"send","opcode":"shout"})", R"({"action":"refuse","ms":10,"status":42})", "[]"}) {
        EXPECT_EQ(400, http(main, "POST", "/_admin/websocket", bad).status) << bad;
    }
    EXPECT_EQ(405, http(main, "PUT", "/_admin/websocket").status);

    EXPECT_EQ(200, http(main, "POST", "/_admin/websocket", R"({"action":"drop"})").status);
    EXPECT_TRUE(client->waitEnded());
}

TEST_F(DevServerWebSocketTest, StopEndsConnectionsAndUpgradesWaitingInAStall) {
    auto client = connect();
    client->subscribe("/api/media/tracks/#x");
    ASSERT_TRUE(qeltest::waitFor([&] { return client->data("/api/media/tracks/#x").size() == 1; }));
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
    EXPECT_TRUE(qeltest::waitFor([&] { return upgradeEnded.load(); }));
    waiting.join();
    EXPECT_EQ(0u, server->webSocketCount());

    server->clearFaults();
    server->start();
    main = server->service("media").origin;
    EXPECT_TRUE(connect()->barrier()) << "a restarted server serves WebSockets again";
}

TEST_F(DevServerWebSocketTest, ConcurrentChangesInjectionsAndChurnKeepEveryStreamIntact) {
    auto element = connect();
    auto listing = connect();
    auto churn = connect();
    element->subscribe("/api/media/tracks/t1#c1");
    listing->subscribe("/api/media/tracks/#c2");
    ASSERT_TRUE(qeltest::waitFor([&] {
        return element->data("/api/media/tracks/t1#c1").size() == 1 &&
               listing->data("/api/media/tracks/#c2").size() == 1;
    }));

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

    ASSERT_TRUE(qeltest::waitFor([&] { return element->data("/api/media/tracks/t1#c1").size() == 1u + changes; }));
    ASSERT_TRUE(qeltest::waitFor([&] { return listing->data("/api/media/tracks/#c2").size() == 1u + changes; }));
    const auto pushes = element->data("/api/media/tracks/t1#c1");
    for (int i = 0; i < changes; ++i) EXPECT_EQ(i, pushes[1 + i]->getObject("data")->getLong("n"));
    const auto listed = listing->data("/api/media/tracks/#c2");
    for (int i = 0; i < changes; ++i)
        EXPECT_EQ(i, listed[1 + i]->getArray("data")->getObject(0)->getLong("n")) << "each push shows its own change";
    for (const auto* client : {element.get(), listing.get(), churn.get()}) {
        for (const auto& text : client->texts())
            EXPECT_TRUE(parse(text)) << "a message was torn: " << text.substr(0, 80);
    }
    churn->subscribe("/api/#final");
    EXPECT_TRUE(qeltest::waitFor([&] { return churn->data("/api/#final").size() == 1; }));
}

}  // namespace
