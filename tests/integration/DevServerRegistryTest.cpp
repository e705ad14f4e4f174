#include <qeldev/DevServer.h>

#include <support/WaitFor.h>

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <Poco/Buffer.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using Poco::Net::WebSocket;
using qeldev::DevServer;
using qeldev::DevServerOptions;
using qelutil::JsonFactory;
using qelutil::JsonObject;

/// The status of one request on a fresh connection, or 0 when the origin
/// cannot be reached.
int status(const std::string& origin, const std::string& method, const std::string& target,
           const std::string& body = {}) {
    const Poco::URI uri(origin);
    try {
        Poco::Net::HTTPClientSession session(uri.getHost(), uri.getPort());
        session.setTimeout(Poco::Timespan(5, 0));
        Poco::Net::HTTPRequest request(method, target, Poco::Net::HTTPMessage::HTTP_1_1);
        request.setContentLength(static_cast<std::streamsize>(body.size()));
        session.sendRequest(request) << body;
        Poco::Net::HTTPResponse response;
        std::string ignored;
        Poco::StreamCopier::copyToString(session.receiveResponse(response), ignored);
        return response.getStatus();
    } catch (const Poco::Exception&) {
        return 0;
    }
}

/// A blocking WebSocket client of one origin.
class WsClient {
public:
    WsClient(const std::string& origin, const std::string& path)
        : m_session(Poco::URI(origin).getHost(), Poco::URI(origin).getPort()) {
        m_session.setTimeout(Poco::Timespan(5, 0));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path, Poco::Net::HTTPMessage::HTTP_1_1);
        Poco::Net::HTTPResponse response;
        m_socket = std::make_unique<WebSocket>(m_session, request, response);
        m_socket->setReceiveTimeout(Poco::Timespan(5, 0));
    }

    void send(const std::string& text) { m_socket->sendFrame(text.data(), static_cast<int>(text.size())); }

    /// The next text message, or null when the connection ends or nothing comes in time.
    JsonObject::Shared next() {
        Poco::Buffer<char> buffer(0);
        int flags = 0;
        try {
            const int n = m_socket->receiveFrame(buffer, flags);
            if (n <= 0) return nullptr;
            return JsonFactory::parseObject(std::string(buffer.begin(), static_cast<std::size_t>(n)));
        } catch (const Poco::Exception&) {
            return nullptr;
        }
    }

private:
    Poco::Net::HTTPClientSession m_session;
    std::unique_ptr<WebSocket> m_socket;
};

/// The names in a data message of a root subscription, each entry checked
/// to carry exactly the identifying members and the port.
std::set<std::string> listedNames(const JsonObject::Shared& message) {
    std::set<std::string> names;
    if (!message || message->getString("type") != "data") return {"(no data)"};
    const auto data = message->getArray("data");
    for (std::size_t i = 0; i < data->size(); ++i) {
        const auto entry = data->getObject(i);
        const auto members = entry->getKeys();
        const std::set<std::string> keys(members.begin(), members.end());
        if (keys != std::set<std::string>{"id", "name", "uri", "port"}) return {"(wrong members)"};
        names.insert(entry->getString("name"));
    }
    return names;
}

class DevServerRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        DevServerOptions options;
        options.loggerFactory = std::make_shared<qelutil::LoggerFactory>(qelutil::ILogger::WARNING);
        options.unregistered = {"media"};
        options.ownOrigin = {"media"};
        server = std::make_unique<DevServer>(std::move(options));
        server->start();
        const std::string registry = server->registryBaseUri();
        main = registry.substr(0, registry.size() - 1);
        media = server->service("media").origin;
        nav = server->service("navigation").origin;
    }

    std::unique_ptr<DevServer> server;
    std::string main;  // the registry's origin
    std::string media;
    std::string nav;
};

TEST_F(DevServerRegistryTest, RootSubscribersOfTheRegistryGetTheFilteredListingOnEveryChange) {
    WsClient client(main, "/");
    // The subscribe message the library builds from a property filter on "name" and the field "port".
    const std::string event = "/?$fields=port&name=media,navigation#0";
    client.send(R"({"type":"subscribe","event":")" + event + "\"}");
    ASSERT_EQ(client.next()->getString("type"), "subscribe");
    EXPECT_EQ(listedNames(client.next()), std::set<std::string>{"navigation"});

    struct Step {
        std::function<void()> change;
        std::set<std::string> listed;
    };
    const std::vector<Step> steps = {
        {[&] { server->registerService("media"); }, {"media", "navigation"}},
        {[&] { EXPECT_EQ(status(nav, "POST", "/_admin/registry", R"({"action":"unregister","name":"navigation"})"), 200); },
         {"media"}},
        {[&] { EXPECT_EQ(status(nav, "POST", "/_admin/registry", R"({"action":"register","name":"navigation"})"), 200); },
         {"media", "navigation"}},
        {[&] { server->unregisterService("media"); }, {"navigation"}},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        steps[i].change();
        const auto pushed = client.next();
        EXPECT_EQ(listedNames(pushed), steps[i].listed) << "step " << i;
        if (pushed) {
            EXPECT_EQ(pushed->getString("event"), event);
        }
    }
    EXPECT_EQ(status(main, "GET", "/media"), 404);

    // A move lists the new port, pushes, and the old origin serves no more.
    server->registerService("media");
    ASSERT_EQ(listedNames(client.next()), (std::set<std::string>{"media", "navigation"}));
    WsClient old(media, "/api/");
    EXPECT_THROW(server->moveService("climate"), std::logic_error);  // shares the registry's origin
    const uint16_t port = server->moveService("media");
    const auto moved = client.next();
    ASSERT_EQ(listedNames(moved), (std::set<std::string>{"media", "navigation"}));
    const auto entries = moved->getArray("data");
    for (std::size_t i = 0; i < entries->size(); ++i) {
        if (entries->getObject(i)->getString("name") == "media") {
            EXPECT_EQ(entries->getObject(i)->getLong("port"), port);
        }
    }
    EXPECT_FALSE(old.next());
    EXPECT_EQ(status(media, "GET", "/api/media"), 0);
    EXPECT_EQ(status(server->service("media").origin, "GET", "/api/media"), 200);
    server->unregisterService("media");
    client.next();

    // An added entry is listed with its members and resolvable by name.
    auto entry = JsonFactory::createJsonObject();
    entry->setString("name", "media");
    entry->setString("uri", "http://127.0.0.1:9/api/media/");
    entry->setLong("port", 9);
    EXPECT_THROW(server->registerEntry(*entry), std::invalid_argument);  // a service of the data
    entry->setString("name", "navigation2");
    server->registerEntry(*entry);
    EXPECT_EQ(status(main, "GET", "/navigation2"), 200);
}

TEST_F(DevServerRegistryTest, ResolutionAnswersCanBeChangedInProcessAndOverHttp) {
    server->registerService("media");
    struct Case {
        bool overHttp;
        DevServer::Resolution answer;
        std::string adminAnswer;
        int expected;
    };
    const std::vector<Case> cases = {
        {false, DevServer::Resolution::REDIRECT, "", 307}, {false, DevServer::Resolution::CHOICES, "", 300},
        {false, DevServer::Resolution::ENTRY, "", 200},    {true, {}, "redirect", 307},
        {true, {}, "choices", 300},                         {true, {}, "entry", 200},
    };
    for (const auto& c : cases) {
        if (c.overHttp) {
            ASSERT_EQ(status(nav, "POST", "/_admin/registry",
                             R"({"action":"resolve","name":"media","answer":")" + c.adminAnswer + "\"}"),
                      200);
        } else {
            server->setResolution("media", c.answer);
        }
        EXPECT_EQ(status(main, "GET", "/media"), c.expected) << c.adminAnswer;
    }
    EXPECT_EQ(status(nav, "POST", "/_admin/registry", R"({"action":"resolve","name":"media","answer":"x"})"), 400);
    EXPECT_EQ(status(nav, "POST", "/_admin/registry", R"({"action":"register","name":"nosuch"})"), 404);
}

TEST_F(DevServerRegistryTest, StoppingAnOriginEndsItsConnectionsAndStartingRebindsTheSamePort) {
    for (int cycle = 0; cycle < 20; ++cycle) {
        WsClient client(nav, "/nav/");
        client.send(R"({"type":"subscribe","event":"/nav/navigation/routes/r1#1"})");
        ASSERT_TRUE(client.next()) << cycle;
        server->stopOrigin("navigation");
        ASSERT_FALSE(server->isOriginRunning("nav"));
        JsonObject::Shared message;
        while ((message = client.next())) EXPECT_EQ(message->getString("type"), "data");
        EXPECT_EQ(status(nav, "GET", "/nav/"), 0) << cycle;
        server->startOrigin("nav");
        ASSERT_EQ(status(nav, "GET", "/nav/navigation"), 200) << cycle;
        ASSERT_EQ(server->service("navigation").origin, nav);
    }
    // The registry stops and starts with its origin, here from the other origin's admin endpoint.
    ASSERT_EQ(status(nav, "POST", "/_admin/origin", R"({"action":"stop","name":"main"})"), 202);
    EXPECT_TRUE(qeltest::waitFor([&] { return status(main, "GET", "/") == 0; }));
    ASSERT_EQ(status(nav, "POST", "/_admin/origin", R"({"action":"start","name":"climate"})"), 202);
    EXPECT_TRUE(qeltest::waitFor([&] { return status(main, "GET", "/") == 200; }));
    // An origin may restart itself through its own admin endpoint.
    ASSERT_EQ(status(main, "POST", "/_admin/origin", R"({"action":"restart","name":"main","downMs":500})"), 202);
    EXPECT_TRUE(qeltest::waitFor([&] { return status(main, "GET", "/") == 0; }));
    EXPECT_TRUE(qeltest::waitFor([&] { return status(main, "GET", "/") == 200; }));
    EXPECT_EQ(status(nav, "POST", "/_admin/origin", R"({"action":"stop","name":"nosuch"})"), 404);
    // A service on an origin of its own stops alone.
    server->stopOrigin("media");
    EXPECT_EQ(status(media, "GET", "/api/media"), 0);
    EXPECT_EQ(status(main, "GET", "/"), 200);
    server->startOrigin("media");
    EXPECT_EQ(status(media, "GET", "/api/media"), 200);
}

}  // namespace
