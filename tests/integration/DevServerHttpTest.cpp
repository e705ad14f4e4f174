// The reference server's own rules, through raw HTTP and WebSocket clients: statuses, limits, envelopes and links
// on the wire, its admin and fault interface, its data file and its command line.

#include <qeldev/DevServer.h>

#include <support/WaitFor.h>

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <Poco/Buffer.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Poco::Net::HTTPMessage;
using Poco::Net::HTTPRequest;
using Poco::Net::WebSocket;
using qeldev::DevServer;
using qeldev::DevServerOptions;
using qeldev::WebSocketOpcode;
using qelutil::JsonArray;
using qelutil::JsonFactory;
using qelutil::JsonObject;
using qeltest::waitFor;
using Strings = std::vector<std::string>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

JsonObject::Shared parseOrNull(const std::string& text) {
    try {
        return JsonFactory::parseObject(text);
    } catch (const qelutil::JsonException&) {
        return nullptr;
    }
}

Poco::Net::SocketAddress addressOf(const std::string& origin) {
    return Poco::Net::SocketAddress(Poco::URI(origin).getAuthority());
}

/// A session to `origin` ("http://127.0.0.1:PORT") whose every wait is bounded.
std::unique_ptr<Poco::Net::HTTPClientSession> session(const std::string& origin, Poco::Timespan timeout = {10, 0}) {
    auto made = std::make_unique<Poco::Net::HTTPClientSession>(addressOf(origin));
    made->setTimeout(timeout);
    return made;
}

struct Reply {
    int status = 0;
    std::string body, location, allow;
    JsonObject::Shared json;
    JsonArray::Shared data() const { return json->getArray("data"); }
    JsonObject::Shared element() const { return json->getObject("data"); }
    JsonObject::Shared paging() const { return json->getObject("paging"); }
};

/// One request on a fresh connection; throws when the origin cannot be reached.
Reply call(const std::string& origin, const std::string& method, const std::string& target,
           const std::string& body = {}) {
    auto http = session(origin);
    HTTPRequest request(method, target, HTTPMessage::HTTP_1_1);
    if (!body.empty()) {
        request.setContentType("application/json");
        request.setContentLength(static_cast<std::streamsize>(body.size()));
    }
    http->sendRequest(request) << body;
    Poco::Net::HTTPResponse response;
    Reply reply;
    Poco::StreamCopier::copyToString(http->receiveResponse(response), reply.body);
    reply.status = response.getStatus();
    reply.location = response.get("Location", "");
    reply.allow = response.get("Allow", "");
    reply.json = parseOrNull(reply.body);
    return reply;
}

Reply get(const std::string& origin, const std::string& target) { return call(origin, "GET", target); }

/// The status of one request, 0 when the origin cannot be reached.
int reach(const std::string& origin, const std::string& method, const std::string& target,
          const std::string& body = {}) {
    try {
        return call(origin, method, target, body).status;
    } catch (const Poco::Exception&) {
        return 0;
    }
}

/// A request and the status it is to be answered with (0: the origin cannot be reached).
struct Expected {
    int status;
    std::string method, target, body;
};

/// Sends the requests in turn, checking each status and that every error comes in an error envelope.
void expectStatuses(const std::string& origin, const std::vector<Expected>& requests) {
    for (const auto& [status, method, target, body] : requests) {
        const std::string what = method + " " + target.substr(0, 60) + " " + body.substr(0, 60);
        if (status == 0) {
            EXPECT_EQ(0, reach(origin, method, target, body)) << what;
            continue;
        }
        const Reply reply = call(origin, method, target, body);
        EXPECT_EQ(status, reply.status) << what;
        EXPECT_TRUE(status < 400 || (reply.json && reply.json->getString("type") == "error")) << what;
    }
}

Strings ids(const JsonArray& data) {
    Strings result;
    for (std::size_t i = 0; i < data.size(); ++i) result.push_back(data.getObject(i)->getString("id"));
    return result;
}

Strings tracks(int first, int last) {
    Strings result;
    for (int n = first; n <= last; ++n) result.push_back("t" + std::to_string(n));
    return result;
}

bool isMessage(const JsonObject::Shared& message, const std::string& type, const std::string& event) {
    return message && message->isString("type") && message->getString("type") == type &&
           message->isString("event") && message->getString("event") == event;
}

struct Frame {
    int opcode = 0;
    bool fin = false;
    std::string payload;
};

/// A raw WebSocket client whose reader thread records every frame and every reassembled text message.
class WsClient {
public:
    WsClient(const std::string& origin, const std::string& path, Poco::Timespan timeout = Poco::Timespan(10, 0))
        : m_session(session(origin, timeout)) {
        HTTPRequest request(HTTPRequest::HTTP_GET, path, HTTPMessage::HTTP_1_1);
        Poco::Net::HTTPResponse response;
        m_socket = std::make_unique<WebSocket>(*m_session, request, response);
        m_socket->setMaxPayloadSize(1 << 30);
        m_reader = std::thread([this] { read(); });
    }
    ~WsClient() {
        m_stop = true;
        m_reader.join();
    }

    void send(const std::string& payload, int flags = WebSocket::FRAME_TEXT) {
        m_socket->sendFrame(payload.data(), static_cast<int>(payload.size()), flags);
    }
    void subscribe(const std::string& event, const std::string& extra = "") {
        send(R"({"type":"subscribe","event":")" + event + "\"" + extra + "}");
    }
    void unsubscribe(const std::string& event) { send(R"({ "type" : "unsubscribe", "event" : ")" + event + "\" }"); }
    /// The next message not taken yet; null when none arrives in time or it is not a JSON object.
    JsonObject::Shared next(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string text;
        const bool taken = waitFor(
            [&] {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_taken >= m_texts.size()) return false;
                text = m_texts[m_taken++];
                return true;
            },
            timeout);
        return taken ? parseOrNull(text) : nullptr;
    }
    /// Subscribes to the root at `basePath` under a fresh event; true when its confirmation and data are the
    /// next messages, that is, when nothing else was pushed before.
    bool barrier(const std::string& basePath = "/api/") {
        const std::string event = basePath + "#barrier" + std::to_string(++m_barriers);
        subscribe(event);
        return isMessage(next(), "subscribe", event) && isMessage(next(), "data", event);
    }
    std::vector<Frame> frames() const { return locked(m_frames); }
    Strings texts() const { return locked(m_texts); }
    /// Messages (taken or not) of type "data" for `event`.
    std::vector<JsonObject::Shared> data(const std::string& event) const {
        std::vector<JsonObject::Shared> result;
        for (const auto& text : texts()) {
            const auto message = parseOrNull(text);
            if (isMessage(message, "data", event)) result.push_back(message);
        }
        return result;
    }
    bool waitData(const std::string& event, std::size_t n) const {
        return waitFor([&] { return data(event).size() == n; });
    }
    /// Waits for a frame of `opcode` with `payload`.
    bool waitFrame(int opcode, const std::string& payload) const {
        return waitFor([&] {
            for (const auto& frame : frames())
                if (frame.opcode == opcode && frame.payload == payload) return true;
            return false;
        });
    }
    bool waitEnded() const { return waitFor([this] { return m_ended.load(); }); }

private:
    template <class T>
    T locked(const T& member) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return member;
    }
    void read() {
        Poco::Buffer<char> buffer(0);
        std::string message;
        try {
            while (!m_stop) {
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
                if (frame.opcode != WebSocket::FRAME_OP_TEXT && frame.opcode != WebSocket::FRAME_OP_CONT) continue;
                message += frame.payload;
                if (frame.fin) m_texts.push_back(message);
            }
        } catch (const Poco::Exception&) {
            // The connection ended.
        }
        m_ended = true;
    }

    std::unique_ptr<Poco::Net::HTTPClientSession> m_session;
    std::unique_ptr<WebSocket> m_socket;
    std::thread m_reader;
    std::atomic<bool> m_stop{false}, m_ended{false};
    mutable std::mutex m_mutex;
    std::vector<Frame> m_frames;
    Strings m_texts;
    std::size_t m_taken = 0;
    int m_barriers = 0;
};

/// Runs a reference server with the example data; `main` is the media service's origin, which also serves the
/// registry, `nav` the navigation service's own origin.
class DevServerHttpTest : public ::testing::Test {
protected:
    void SetUp() override { startServer({}); }

    void startServer(DevServerOptions options) {
        server.reset();
        options.loggerFactory = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::ERROR);
        server = std::make_unique<DevServer>(std::move(options));
        server->start();
        main = server->service("media").origin;
        nav = server->service("navigation").origin;
    }
    void rename(const std::string& id, const std::string& name) {
        auto element = server->getElement("media", "tracks", id);
        element->setString("name", name);
        server->setElement("media", "tracks", *element);
    }
    std::unique_ptr<WsClient> connect() { return std::make_unique<WsClient>(main, "/api/"); }
    /// Subscribes and returns the first data message, after checking the confirmation before it.
    JsonObject::Shared subscribed(WsClient& client, const std::string& event, const std::string& extra = "") {
        client.subscribe(event, extra);
        EXPECT_TRUE(isMessage(client.next(), "subscribe", event)) << event;
        auto data = client.next();
        EXPECT_TRUE(isMessage(data, "data", event)) << event;
        return data;
    }

    std::unique_ptr<DevServer> server;
    std::string main, nav;
};
using DevServerWebSocketTest = DevServerHttpTest;

TEST_F(DevServerHttpTest, ListingsCarryTheEnvelopeLinksFiltersFieldsAndOrder) {
    const Reply root = get(main, "/api/");
    for (const char* key : {"status", "message", "type", "event", "service"}) EXPECT_TRUE(root.json->isString(key));
    EXPECT_TRUE(root.json->isLong("timestamp"));
    EXPECT_EQ((Strings{"tracks", "albums"}), ids(*get(main, "/api/media").data())) << "the slash is optional";
    const Reply middle = get(main, get(main, "/api/media/tracks?$limit=25").paging()->getString("next"));
    EXPECT_EQ(tracks(26, 50), ids(*middle.data()));
    EXPECT_TRUE(contains(middle.paging()->getString("previous"), "$offset=0"));
    const Reply last = get(main, middle.paging()->getString("next"));
    EXPECT_FALSE(last.paging()->has("next"));
    EXPECT_FALSE(get(main, "/api/media/tracks?$limit=20&$offset=40").paging()->has("next")) << "ends at the total";
    EXPECT_EQ(ids(*middle.data()), ids(*get(main, last.paging()->getString("previous")).data()));
    EXPECT_TRUE(contains(get(main, "/api/media/tracks?artist=Mira%20Sol&$limit=5").paging()->getString("next"),
                         "artist=Mira%20Sol"))
        << "links keep the filter";

    server->createElement("media", "albums", *JsonFactory::parseObject(R"({"name":"a,b"})"));
    server->createElement("media", "tracks", *JsonFactory::parseObject(R"({"id":"t0"})"));
    const std::vector<std::pair<std::string, Strings>> listings = {
        {"tracks?artist=Mira%20Sol&$limit=5", tracks(13, 17)}, {"tracks?$offset=61", {}},
        {"tracks?id=t9,t2&trackNumber=2,3", {"t2", "t9"}}, {"tracks?duration=224.0", {"t2"}},  // numbers as numbers
        {"albums?name=a%2Cb", {"a11"}}, {"albums?name=a,b", {}},  // an encoded comma is part of the value
        {"tracks?$sortby=duration&$limit=3", {"t38", "t11", "t49"}},
        {"tracks?$sortby=-duration&$limit=3", {"t27", "t54", "t16"}},
        {"tracks?$sortby=-duration&$offset=60", {"t0"}},  // a missing sort member comes last
        {"albums?$sortby=artist,-year&$fields=artist,year&$limit=6", {"a10", "a5", "a9", "a4", "a8", "a3"}}};
    for (const auto& [query, expected] : listings)
        EXPECT_EQ(expected, ids(*get(main, "/api/media/" + query).data())) << query;
}

TEST_F(DevServerHttpTest, AnswersBadRequestsWithTheirStatusAndStaysUsable) {
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    const std::string in = "/api/media/tracks", longName(5000, 'x');
    expectStatuses(main, {{404, "GET", "/api/nosuch/", ""}, {404, "GET", "/api/media/nosuch", ""},
                          {404, "GET", in + "/t999", ""}, {404, "GET", in + "/t1/x", ""},
                          {404, "GET", "/elsewhere", ""}, {404, "GET", "/api/media//tracks", ""},
                          {404, "GET", "/nav/navigation/", ""}, {414, "GET", in + "?name=" + longName, ""},
                          {400, "GET", in + "?$limit=abc", ""}, {400, "GET", in + "?$limit=-1", ""},
                          {400, "GET", in + "?$offset=-3", ""}, {400, "GET", in + "?$nosuch=1", ""},
                          {400, "GET", in + "?name=%zz", ""}, {400, "GET", in + "?$fields=", ""},
                          {400, "GET", in + "?$expand=2,name", ""}, {200, "GET", in + "?$expand=album,2", ""},
                          {400, "GET", in + "?$offset=nosuchid", ""},
                          {405, "POST", "/api/", "{}"}, {405, "DELETE", in, ""}, {400, "POST", in, "{\"name\":"},
                          {400, "POST", in, "[1,2]"}, {400, "POST", in, ""}, {400, "POST", in, "{\"id\":7}"},
                          {400, "POST", in, "{\"id\":\"bad/id\"}"}, {400, "POST", in + "/t1", R"({"id":"t2"})"},
                          {400, "POST", in, deep}, {405, "PUT", in + "/t1", "{}"}});
    const Reply created = call(main, "POST", in + "/", R"({"name":"New Song","uri":"/elsewhere"})");
    EXPECT_EQ(201, created.status);
    EXPECT_EQ(in + "/" + created.element()->getString("id"), created.location) << "the id follows the last slash";
    EXPECT_EQ(created.location, created.element()->getString("uri"));
    expectStatuses(main, {{200, "DELETE", created.location, ""}, {404, "DELETE", created.location, ""}});
    EXPECT_EQ("GET, POST, DELETE", call(main, "PUT", in + "/t1", "{}").allow);
    const std::string garbage = "\x01\x02 nonsense\r\n\r\n";
    Poco::Net::StreamSocket(addressOf(main)).sendBytes(garbage.data(), static_cast<int>(garbage.size()));
    EXPECT_EQ(60u, get(main, in).data()->size());

    DevServerOptions options;
    options.defaultPageSize = 40;
    options.maxBodyBytes = 4096;
    startServer(options);
    const Reply page = get(main, in);
    EXPECT_EQ(tracks(1, 40), ids(*page.data()));
    EXPECT_EQ(2, page.paging()->getLong("totalPages"));
    EXPECT_TRUE(contains(page.paging()->getString("next"), "$limit=40&$offset=40"));
    EXPECT_EQ(413, call(main, "POST", in, "{\"name\":\"" + std::string(5000, 'x') + "\"}").status);
    EXPECT_EQ(60u, server->getElements("media", "tracks").size());
    EXPECT_EQ(201, call(main, "POST", in, "{\"name\":\"" + std::string(3000, 'x') + "\"}").status);
}

TEST_F(DevServerHttpTest, RegistryListsFiltersAndResolvesAsConfiguredInProcessOrOverHttp) {
    const Reply filtered = get(main, "/?name=navigation,climate&$fields=port");
    EXPECT_EQ((Strings{"navigation", "climate"}), ids(*filtered.data()));
    EXPECT_EQ((Strings{"id", "name", "uri", "port"}), filtered.data()->getObject(0)->getKeys());
    EXPECT_EQ((Strings{"media"}), ids(*get(main, "/media/").data()));
    EXPECT_EQ("climate on this host", get(main, "/climate/").data()->getObject(1)->getString("description"));
    const std::string resolve = R"({"action":"resolve","name":"media","answer":")";
    for (const auto& [answer, status] : {std::pair{"redirect", 307}, {"choices", 300}, {"entry", 200}}) {
        ASSERT_EQ(200, call(nav, "POST", "/_admin/registry", resolve + answer + "\"}").status);
        EXPECT_EQ(status, get(main, "/media").status) << answer;
    }
    expectStatuses(nav, {{400, "POST", "/_admin/registry", resolve + "x\"}"},
                         {404, "POST", "/_admin/registry", R"({"action":"register","name":"nosuch"})"}});
    expectStatuses(main, {{404, "GET", "/nosuch/", ""}, {405, "POST", "/media/", "{}"}});
}

TEST_F(DevServerHttpTest, RegistryAdministrationListsMovesStopsAndStartsOrigins) {
    DevServerOptions options;
    options.unregistered = {"media"};
    options.ownOrigin = {"media"};
    startServer(options);
    const std::string media = main, base = server->registryBaseUri(), registry = base.substr(0, base.size() - 1);
    auto listed = [&] { return ids(*get(registry, "/").data()); };
    auto admin = [&](const std::string& at, const std::string& what, const std::string& body) {
        return reach(at, "POST", "/_admin/" + what, body);
    };
    EXPECT_EQ((Strings{"navigation", "climate"}), listed());
    server->registerService("media");
    EXPECT_EQ(200, admin(nav, "registry", R"({"action":"unregister","name":"navigation"})"));
    EXPECT_EQ((Strings{"media", "climate"}), listed());
    EXPECT_EQ(200, admin(nav, "registry", R"({"action":"register","name":"navigation"})"));
    EXPECT_EQ((Strings{"media", "navigation", "climate"}), listed());

    // A move lists the new port and the old origin serves no more.
    const uint16_t port = server->moveService("media");
    EXPECT_EQ(port, get(registry, "/?name=media&$fields=port").data()->getObject(0)->getLong("port"));
    EXPECT_EQ(0, reach(media, "GET", "/api/media"));
    EXPECT_EQ(200, reach(server->service("media").origin, "GET", "/api/media"));
    // The registry stops and starts with its origin, here from the other origin's admin endpoint.
    ASSERT_EQ(202, admin(nav, "origin", R"({"action":"stop","name":"main"})"));
    EXPECT_TRUE(waitFor([&] { return reach(registry, "GET", "/") == 0; }));
    ASSERT_EQ(202, admin(nav, "origin", R"({"action":"start","name":"climate"})"));
    EXPECT_TRUE(waitFor([&] { return reach(registry, "GET", "/") == 200; }));
    EXPECT_EQ(404, admin(nav, "origin", R"({"action":"stop","name":"nosuch"})"));
}

TEST_F(DevServerHttpTest, InjectedFaultsAnswerForTheirCountOrUntilCleared) {
    server->addHttpFault({"/api/media/tracks", "", 503, R"({"status":"busy"})", std::chrono::milliseconds(0), 2});
    EXPECT_EQ(200, get(main, "/api/media/tracks/t1").status) << "other paths pass";
    for (int i = 0; i < 2; ++i) EXPECT_EQ(R"({"status":"busy"})", get(main, "/api/media/tracks").body);
    EXPECT_EQ(200, get(main, "/api/media/tracks").status);
    const std::string fault = "/_admin/fault";
    expectStatuses(main, {{200, "POST", fault, R"({"path":"/api/media/*","method":"GET","status":500})"},
                          {500, "GET", "/api/media/tracks/t1", ""}, {500, "GET", "/api/media/tracks/t2", ""},
                          {201, "POST", "/api/media/tracks", "{}"},  // other methods pass
                          {400, "POST", fault, R"({"status":"x"})"}});
    EXPECT_EQ(1u, get(main, fault).data()->size());
    expectStatuses(main, {{200, "DELETE", fault, ""}, {200, "GET", "/api/media/tracks/t1", ""},
                          {200, "POST", fault, R"({"path":"/api/media/albums","delayMs":20})"},
                          {200, "GET", "/api/media/albums", ""},  // a rule with a delay only passes the request
                          {200, "POST", fault, R"({"method":"DELETE","status":418})"}});
    const Reply teapot = call(main, "DELETE", "/api/media/albums/a1");
    EXPECT_EQ(418, teapot.status);
    EXPECT_EQ("injected fault", teapot.json->getString("message")) << "a rule without body answers in the envelope";
    EXPECT_NE(nullptr, server->getElement("media", "albums", "a1"));

    expectStatuses(main, {{200, "POST", fault, R"({"refuseMs":600000})"}, {0, "GET", fault, ""}});
    server->clearFaults();
    EXPECT_EQ(200, reach(nav, "GET", "/nav/"));
}

TEST_F(DevServerHttpTest, StopEndsDelayedRequestsConnectionsAndStalledUpgradesAndRestartKeepsTheData) {
    EXPECT_EQ(201, call(main, "POST", "/api/media/albums", R"({"id":"kept"})").status);
    const std::string delay = R"({"path":"/api/media/tracks","delayMs":300000,"times":1})";
    EXPECT_EQ(200, call(main, "POST", "/_admin/fault", delay).status);
    WsClient client(main, "/api/");
    EXPECT_TRUE(client.barrier());
    server->stallWebSockets(std::chrono::minutes(5));
    std::atomic<int> ended{0};
    std::thread delayed([&] {
        reach(main, "GET", "/api/media/tracks");  // a connection shut down by stop() is an expected outcome
        ++ended;
    });
    std::thread upgrade([&] {
        try {
            WsClient late(main, "/api/");
        } catch (const Poco::Exception&) {
            // Refused or cut off by the stop: either ends the attempt.
        }
        ++ended;
    });
    EXPECT_TRUE(waitFor([&] { return get(main, "/_admin/fault").data()->size() == 0; })) << "the request took the rule";
    server->stop();
    EXPECT_TRUE(client.waitEnded());
    EXPECT_TRUE(waitFor([&] { return ended == 2; }));
    delayed.join();
    upgrade.join();
    EXPECT_TRUE(!server->isRunning() && server->webSocketCount() == 0 && reach(main, "GET", "/api/") == 0);
    server->clearFaults();
    server->start();
    main = server->service("media").origin;
    EXPECT_EQ(200, get(main, "/api/media/albums/kept").status);
    EXPECT_TRUE(connect()->barrier()) << "a restarted server serves WebSockets again";
}

TEST(DevServerDataTest, RejectsDataThatCannotBeServedAndServesAGivenDataFile) {
    for (const auto& [data, fragment] : std::vector<std::pair<std::string, std::string>>{
             {R"({"services":[{"name":"s","resources":{"r":[{"id":"x"},{"id":"x"}]}}]})", "id used twice"},
             {R"({"services":[{"name":"s","basePath":"api"}]})", "basePath"},
             {R"({"services":[{"name":"a b"}]})", "name"},
             {R"({"services":[{"name":"s","origin":"elsewhere"}]})", "unknown origin"},
             {R"({"services":[{"name":"s","basePath":"/"}]})", "registry"},
             {R"({"services":[{"name":"s","resolve":"sometimes"}]})", "resolve"},
             {R"({"services":[{"name":"s"},{"name":"s","basePath":"/b/"}]})", "named twice"},
             {R"({"origins":[{"name":"o","port":70000}]})", "port"},
             {R"({"services":[{"name":"s","basePath":"/_admin/"}]})", "basePath"},
             {R"({"services":[{"name":"s","resources":{"r":[{"name":"no id"}]}}]})", "id"}}) {
        DevServerOptions options;
        options.data = JsonFactory::parseObject(data);
        try {
            DevServer server(options);
            ADD_FAILURE() << "accepted " << data;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(contains(e.what(), fragment)) << e.what();
        }
    }
    DevServerOptions options;
    options.dataFile = ::testing::TempDir() + "no-such-devserver-data.json";
    EXPECT_THROW(DevServer{options}, std::runtime_error);

    options.dataFile = ::testing::TempDir() + "devserver-data.json";
    std::ofstream(options.dataFile) << R"({"origins":[{"name":"a"},{"name":"b"}],
        "registry":{"origin":"b","basePath":"/registry/"}, "pageSize":2,
        "services":[{"name":"settings","origin":"a","basePath":"/x/y/",
                     "resources":{"values":[{"id":"v1","level":3},{"id":"v2"},{"id":"v3"}]}},
                    {"name":"hidden","listed":false}],
        "registryEntries":[{"name":"remote","uri":"http://192.0.2.1:9000/api/remote/","port":9000}]})";
    options.loggerFactory = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::WARNING);
    DevServer server(options);
    server.start();
    std::remove(options.dataFile.c_str());
    const std::string a = server.service("settings").origin, b = server.origins().at(1);
    EXPECT_NE(a, b);
    const auto values = get(a, "/x/y/settings/values").data();
    EXPECT_EQ((Strings{"v1", "v2"}), ids(*values)) << "the data's page size";
    const auto v1 = values->getObject(0);
    EXPECT_EQ("v1", v1->getString("name")) << "a missing name defaults to the id";
    EXPECT_EQ("/x/y/settings/values/v1", v1->getString("uri"));
    ASSERT_EQ(b + "/registry/", server.registryBaseUri());
    const Reply listing = get(b, "/registry/");
    ASSERT_EQ(2u, listing.data()->size()) << "the hidden service is not listed";
    EXPECT_EQ("settings", listing.data()->getObject(0)->getString("name"));
    EXPECT_EQ("http://192.0.2.1:9000/api/remote/", listing.data()->getObject(1)->getString("uri"));
    EXPECT_EQ(404, get(b, "/registry/hidden").status);
}

TEST(DevServerProgramTest, AnnouncesItselfServesAndExitsCleanlyOnSigterm) {
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string program = QEL_DEVSERVER_PROGRAM;
    std::vector<char*> argv{program.data(), const_cast<char*>("--port"), const_cast<char*>("0"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(0, posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ));
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    pollfd readable{pipeFds[0], POLLIN, 0};
    char line[4096] = {};
    FILE* out = fdopen(pipeFds[0], "r");
    const auto ready = poll(&readable, 1, 20000) == 1 && fgets(line, sizeof(line), out) ? parseOrNull(line) : nullptr;
    fclose(out);
    if (ready) {
        EXPECT_TRUE(ready->getBool("ready"));
        const std::string registry = ready->getString("registry");
        EXPECT_EQ(registry + "api/", ready->getObject("services")->getString("media"));
        EXPECT_EQ(60, get(registry.substr(0, registry.size() - 1), "/api/media/tracks").paging()->getLong("total"));
    }
    ASSERT_EQ(0, kill(pid, SIGTERM));
    int status = -1;
    const bool exited = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(20));
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ready) << "no ready line: " << line;
    EXPECT_TRUE(exited && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(DevServerWebSocketTest, SubscriptionsAreConfirmedPushedOnEveryChangeInOrderAndEndGone) {
    auto client = connect();
    const std::string event = "/api/media/tracks/t1?$fields=duration#1";
    const auto initial = subscribed(*client, event);
    EXPECT_EQ((Strings{"id", "name", "duration", "uri"}), initial->getObject("data")->getKeys());
    EXPECT_FALSE(initial->has("paging"));
    const Strings names = {"First", "Second", "Third"};
    for (const auto& name : names) rename("t1", name);
    for (const auto& name : names) EXPECT_EQ(name, client->next()->getObject("data")->getString("name"));
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
    server->createElement("media", "tracks", *JsonFactory::parseObject(R"({"id":"t999"})"));
    EXPECT_TRUE(client->barrier()) << "a refused subscription receives nothing";

    // Each malformed message gets an error, which names the event when the message carried one.
    for (const std::string& text : Strings{"not json", "[1,2]", "{\"a\":" + std::string(60000, '['),
                                           R"({"event":"/api/#x"})", R"({"type":5,"event":"/api/#x"})",
                                           R"({"type":"bogus","event":"/api/#x"})", R"({"type":"subscribe"})",
                                           R"({"type":"subscribe","event":42})",
                                           R"({"type":"subscribe","event":"/api/#x","interval":"soon"})",
                                           R"({"type":"subscribe","event":"/api/#x","updatelimit":-5})",
                                           R"({"type":"unsubscribe","event":["/api/#x"]})"}) {
        client->send(text);
        const auto error = client->next();
        ASSERT_TRUE(error && error->getString("type") == "error") << text.substr(0, 60);
        EXPECT_EQ(contains(text, R"("event":"/api/#x")"), error->has("event")) << text.substr(0, 60);
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

TEST_F(DevServerWebSocketTest, SplitAndRawFramesReachTheClientAsInjectedInProcessOrOverHttp) {
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
             {WebSocketOpcode::TEXT, wrongType, true}, {WebSocketOpcode::TEXT, "", true},
             {WebSocketOpcode::PONG, "", true}, {WebSocketOpcode::TEXT, R"({"type":)", false},
             {WebSocketOpcode::CONTINUATION, R"("x"})", true}})
        EXPECT_EQ(1u, server->sendWebSocketFrame(opcode, payload, fin));
    ASSERT_TRUE(waitFor([&] { return client->texts().back() == R"({"type":"x"})"; }));
    const auto texts = client->texts();
    EXPECT_EQ((Strings{wrongType, "", R"({"type":"x"})"}), Strings(texts.end() - 3, texts.end()));
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PONG, ""));
    client->send(std::string("a\0b", 3), WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PONG, std::string("a\0b", 3))) << "a pong echoes its ping";
    EXPECT_EQ(1u, server->sendOversizedWebSocketMessage(300000));
    ASSERT_TRUE(waitFor([&] { return client->texts().back().size() == 300000; }));
    const auto oversized = parseOrNull(client->texts().back());
    ASSERT_TRUE(isMessage(oversized, "data", "/api/media/tracks/t7#f"));
    EXPECT_TRUE(oversized->isObject("data")) << "shaped like the latest subscription's data";
    EXPECT_THROW(server->sendOversizedWebSocketMessage(std::size_t(1) << 40), std::invalid_argument);

    // The same faults over the admin endpoint.
    const std::string at = "/_admin/websocket";
    auto state = [&] { return get(main, at).element(); };
    std::vector<Expected> requests = {{405, "PUT", at, ""}};
    for (const char* bad : {"[]", R"({"action":"explode"})", R"({"action":"stall"})",
                            R"({"action":"split","frameBytes":-1})", R"({"action":"send","opcode":"shout"})",
                            R"({"action":"refuse","ms":10,"status":42})"})
        requests.push_back({400, "POST", at, bad});
    for (const char* good : {R"({"action":"send","opcode":"ping","payload":"hi"})",
                             R"({"action":"oversized","bytes":5000})", R"({"action":"split","frameBytes":5})",
                             R"({"action":"refuse","ms":9000,"status":500})"})
        requests.push_back({200, "POST", at, good});
    expectStatuses(main, requests);
    EXPECT_TRUE(client->waitFrame(WebSocket::FRAME_OP_PING, "hi"));
    EXPECT_TRUE(waitFor([&] { return client->texts().back().size() == 5000; }));
    EXPECT_TRUE(state()->getLong("splitBytes") == 5 && state()->getLong("refuseStatus") == 500);
    EXPECT_EQ(200, call(main, "DELETE", "/_admin/fault").status);
    EXPECT_FALSE(state()->getBool("refusing") || state()->getLong("splitBytes"));
    EXPECT_EQ(200, call(main, "POST", at, R"({"action":"drop"})").status);
    EXPECT_TRUE(client->waitEnded());
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
