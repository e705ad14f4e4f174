#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccess.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/QelException.h>
#include <QelAccess/XObject.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ScriptedHttpPeer.h"
#include "unit/http/HttpAccessTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace qel;
using qelutil::HttpResponse;
using qelutil::ILogger;
using qelutil::JsonObject;
using Reply = qeltest::ScriptedHttpPeer::Reply;
using qeltest::failureOf;
using qeltest::makeConfig;

namespace {

class Element : public XObject<XObjectDescriptor> {
public:
    explicit Element(JsonObject::Shared json) : XObject(std::move(json)) {}
};

class HttpAccessTest : public ::testing::Test {
protected:
    /// A provider that builds Elements and remembers the ids it was given.
    ITpAccess::XObjectProvider recordingProvider() {
        return [this](JsonObject::Shared json) -> IXObject::Unique {
            provided.push_back(json->has("id") ? json->getString("id") : "");
            return std::make_unique<Element>(std::move(json));
        };
    }
    std::string lastTarget() const {
        auto requests = peer.requests();
        return requests.empty() ? "" : requests.back().uri;
    }
    std::vector<std::string> texts(ILogger::LogLevel level) const { return loggers->capture().texts(level); }

    qeltest::ScriptedHttpPeer peer;
    std::shared_ptr<ConfigManager> config = makeConfig(peer);
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qelutil::PocoHttpSessionFactory> sessions = std::make_shared<qelutil::PocoHttpSessionFactory>();
    HttpAccess access{"media", config, loggers, sessions};
    std::shared_ptr<QelResponse> response = std::make_shared<QelResponse>();
    std::vector<std::string> provided;
};

TEST_F(HttpAccessTest, ReadPathsFollowBasePathSeparatorAndQuery) {
    peer.setDefaultReply(Reply::json(200, R"({"data":[]})"));

    access.readRoot(recordingProvider(), XObjectDescriptor(), response);
    EXPECT_EQ(lastTarget(), "/api/");

    XObjectDescriptor root;
    root.getQueryOptions().setPagingLimit(5);
    access.readRoot(recordingProvider(), root, response);
    EXPECT_EQ(lastTarget(), "/api/?$limit=5");

    access.readService(recordingProvider(), QelServiceDescriptor("media"), response);
    EXPECT_EQ(lastTarget(), "/api/media/");
    access.readService(recordingProvider(), QelServiceDescriptor("flat"), response);
    EXPECT_EQ(lastTarget(), "/api/flat");

    QelResourceDescriptor tracks("media", "tracks");
    access.readResource(recordingProvider(), tracks, response);
    EXPECT_EQ(lastTarget(), "/api/media/tracks/");
    tracks.getQueryOptions().setPagingLimit(10);
    tracks.getQelFilter().add("artist", std::string("Nina Simone"));
    access.readResource(recordingProvider(), tracks, response);
    EXPECT_EQ(lastTarget(), "/api/media/tracks/?$limit=10&artist=Nina%20Simone");
    access.readResource(recordingProvider(), QelResourceDescriptor("flat", "items"), response);
    EXPECT_EQ(lastTarget(), "/api/flat/items");

    for (const auto& request : peer.requests()) EXPECT_EQ(request.method, "GET");
    // One connection serves them all: the sessions share the factory's pool.
    EXPECT_EQ(peer.connectionCount(), 1u);
}

TEST_F(HttpAccessTest, OkReplyFillsEnvelopeAndBuildsDataInOrder) {
    peer.setReply("/api/media/", Reply::json(200, R"({
        "status":"ok","message":"fine","type":"service","event":"e1","service":"media",
        "timestamp":1700000000123,"paging":{"total":101,"limit":25},
        "data":[{"id":"a"},{"id":"b"},{"id":"c"}]})"));
    auto objects = access.readService(recordingProvider(), QelServiceDescriptor("media"), response);

    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0]->getId().getValue(), "a");
    EXPECT_EQ(objects[2]->getId().getValue(), "c");
    EXPECT_EQ(provided, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(response->getStatusCode(), HttpResponse::OK);
    EXPECT_EQ(*response->getStatus(), "ok");
    EXPECT_EQ(*response->getMessage(), "fine");
    EXPECT_EQ(*response->getType(), "service");
    EXPECT_EQ(*response->getEvent(), "e1");
    EXPECT_EQ(*response->getService(), "media");
    EXPECT_EQ(*response->getTimestamp(), 1700000000123);
    ASSERT_NE(response->getPaging(), nullptr);
    EXPECT_EQ(response->getPaging()->totalPages.getValue(), 5);
    EXPECT_FALSE(response->getLocation().isValid());
    EXPECT_EQ(texts(ILogger::INFO), std::vector<std::string>{"HTTP Response: Status OK"});
}

TEST_F(HttpAccessTest, EnvelopeMembersOfWrongTypeAreIgnored) {
    peer.setReply("/api/", Reply::json(200, R"({
        "status":5,"message":null,"type":["x"],"event":{},"service":true,
        "timestamp":"1700000000","paging":"page 2"})"));
    auto objects = access.readRoot(recordingProvider(), XObjectDescriptor(), response);
    EXPECT_TRUE(objects.empty());
    EXPECT_EQ(response->getStatusCode(), HttpResponse::OK);
    EXPECT_EQ(response->getStatus(), nullptr);
    EXPECT_EQ(response->getMessage(), nullptr);
    EXPECT_EQ(response->getType(), nullptr);
    EXPECT_EQ(response->getEvent(), nullptr);
    EXPECT_EQ(response->getService(), nullptr);
    EXPECT_EQ(response->getTimestamp(), nullptr);
    EXPECT_EQ(response->getPaging(), nullptr);
}

TEST_F(HttpAccessTest, OkWithoutDataAndWithEmptyBody) {
    peer.setReply("/api/media/", Reply::json(200, R"({"message":"no data"})"));
    EXPECT_TRUE(access.readService(recordingProvider(), QelServiceDescriptor("media"), response).empty());
    EXPECT_EQ(*response->getMessage(), "no data");

    // An empty body is no failure for the generic read, and nothing is parsed.
    peer.setReply("/api/", Reply::json(200, ""));
    auto fresh = std::make_shared<QelResponse>();
    EXPECT_TRUE(access.readRoot(recordingProvider(), XObjectDescriptor(), fresh).empty());
    EXPECT_EQ(fresh->getStatusCode(), HttpResponse::OK);
    EXPECT_EQ(fresh->getMessage(), nullptr);

    // The resource read hands the empty text to the parser, which rejects it.
    peer.setReply("/api/media/tracks/", Reply::json(200, ""));
    auto record = std::make_shared<QelResponse>();
    const std::string failure =
        failureOf([&] { access.readResource(recordingProvider(), QelResourceDescriptor("media", "tracks"), record); });
    EXPECT_EQ(failure.rfind("QelException: unknown readResource failed reason: ", 0), 0u) << failure;
    EXPECT_EQ(record->getStatusCode(), HttpResponse::OK);
}

TEST_F(HttpAccessTest, MultipleChoicesAreCollected) {
    peer.setReply("/api/ServiceRegistry/media/", Reply::json(300, R"({"data":[
        {"description":"primary","hostAddress":"http://10.0.0.1:8080","versions":"1,2"},
        {"hostAddress":"http://10.0.0.2:8080"}]})"));
    access.resolveService("ServiceRegistry/media", response);
    EXPECT_EQ(lastTarget(), "/api/ServiceRegistry/media/");
    EXPECT_EQ(response->getStatusCode(), HttpResponse::MULTIPLE_CHOICES);
    auto choices = response->getMultipleChoices();
    ASSERT_NE(choices, nullptr);
    ASSERT_EQ(choices->size(), 2u);
    EXPECT_EQ(*(*choices)[0].description, "primary");
    EXPECT_EQ(*(*choices)[0].versions, "1,2");
    EXPECT_EQ((*choices)[1].versions, nullptr);
    EXPECT_EQ((*choices)[1].toString(),
              "MultipleChoice{hostAddress=http://10.0.0.2:8080, versions=invalid,description=invalid}");
    EXPECT_EQ(texts(ILogger::WARNING), std::vector<std::string>{"HTTP Response: Status HTTP_MULTIPLE_CHOICES"});

    peer.setReply("/api/nodata/", Reply::json(300, R"({"message":"pick one"})"));
    auto withoutData = std::make_shared<QelResponse>();
    access.resolveService("nodata", withoutData);
    EXPECT_EQ(withoutData->getMultipleChoices(), nullptr);
    EXPECT_EQ(withoutData->getMessage(), nullptr);  // no envelope for a 300

    peer.setReply("/api/empty/", Reply::json(300, R"({"data":[]})"));
    auto emptyData = std::make_shared<QelResponse>();
    access.resolveService("empty", emptyData);
    ASSERT_NE(emptyData->getMultipleChoices(), nullptr);
    EXPECT_TRUE(emptyData->getMultipleChoices()->empty());

    // The resource read has no multiple-choice step.
    peer.setReply("/api/media/tracks/", Reply::json(300, R"({"data":[{"hostAddress":"h"}]})"));
    auto resource = std::make_shared<QelResponse>();
    EXPECT_TRUE(access.readResource(recordingProvider(), QelResourceDescriptor("media", "tracks"), resource).empty());
    EXPECT_EQ(resource->getStatusCode(), HttpResponse::MULTIPLE_CHOICES);
    EXPECT_EQ(resource->getMultipleChoices(), nullptr);
}

TEST_F(HttpAccessTest, BadMultipleChoiceRepliesFailAsJsonErrors) {
    for (const std::string body :
         {"", "{not json", R"({"data":{"hostAddress":"h"}})", R"({"data":["h"]})", R"({"data":[{"hostAddress":7}]})"}) {
        peer.setReply("/api/media/", Reply::json(300, body));
        auto record = std::make_shared<QelResponse>();
        const std::string failure = failureOf([&] { access.resolveService("media", record); });
        EXPECT_EQ(failure.rfind("QelException: JSONException read failed reason: ", 0), 0u) << body << ": " << failure;
        EXPECT_EQ(record->getStatusCode(), HttpResponse::MULTIPLE_CHOICES);
        EXPECT_EQ(record->getMultipleChoices(), nullptr);
    }
}

TEST_F(HttpAccessTest, RedirectIsRecordedNotFollowed) {
    Reply redirect = Reply::json(307, R"({"message":"elsewhere"})");
    redirect.headers = {{"Location", "http://10.1.2.3:9000/api/media/"}};
    peer.setReply("/api/media/", redirect);
    access.resolveService("media", response);
    EXPECT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(response->getStatusCode(), HttpResponse::TEMPORARY_REDIRECT);
    EXPECT_EQ(response->getLocation().getValue(), "http://10.1.2.3:9000/api/media/");
    EXPECT_EQ(response->getMessage(), nullptr);
    EXPECT_EQ(texts(ILogger::INFO), std::vector<std::string>{"HTTP Response: Status HTTP_TEMPORARY_REDIRECT"});

    peer.setReply("/api/other/", Reply::json(307, ""));
    auto withoutLocation = std::make_shared<QelResponse>();
    access.resolveService("other", withoutLocation);
    EXPECT_EQ(withoutLocation->getStatusCode(), HttpResponse::TEMPORARY_REDIRECT);
    EXPECT_FALSE(withoutLocation->getLocation().isValid());
}

TEST_F(HttpAccessTest, ErrorStatusIsNoFailureAndBodyIsNotRead) {
    peer.setReply("/api/media/tracks/", Reply::json(404, R"({"status":"error","message":"no such resource"})"));
    auto objects = access.readResource(recordingProvider(), QelResourceDescriptor("media", "tracks"), response);
    EXPECT_TRUE(objects.empty());
    EXPECT_EQ(response->getStatusCode(), HttpResponse::NOT_FOUND);
    EXPECT_EQ(response->getMessage(), nullptr);
    EXPECT_EQ(texts(ILogger::ERROR), std::vector<std::string>{"HTTP Response: Status HTTP_NOT_FOUND"});
    EXPECT_EQ(loggers->capture().lines().back().facility, "HTTPAccess media");
}

TEST_F(HttpAccessTest, StatusLinesHaveFixedLevelsAndTexts) {
    struct Expected {
        int status;
        ILogger::LogLevel level;
        std::string text;
    };
    const std::vector<Expected> table = {
        {200, ILogger::INFO, "OK"},
        {201, ILogger::INFO, "CREATED"},
        {202, ILogger::WARNING, "HTTP_ACCEPTED"},
        {304, ILogger::WARNING, "HTTP_NOT_MODIFIED"},
        {400, ILogger::ERROR, "HTTP_BAD_REQUEST"},
        {401, ILogger::WARNING, "HTTP_UNAUTHORIZED"},
        {403, ILogger::ERROR, "HTTP_FORBIDDEN"},
        {408, ILogger::ERROR, "HTTP_REQUEST_TIMEOUT"},
        {409, ILogger::WARNING, "HTTP_CONFLICT"},
        {410, ILogger::WARNING, "HTTP_GONE"},
        {500, ILogger::WARNING, "HTTP_INTERNAL_SERVER_ERROR"},
        {501, ILogger::WARNING, "HTTP_NOT_IMPLEMENTED"},
        {503, ILogger::WARNING, "HTTP_SERVICE_UNAVAILABLE"},
        {504, ILogger::WARNING, "HTTP_GATEWAY_TIMEOUT"},
        {302, ILogger::WARNING, "unknown code 302"},
        {418, ILogger::WARNING, "unknown code 418"},
        {599, ILogger::WARNING, "unknown code 599"},
    };
    for (const auto& expected : table) {
        loggers->capture().clear();
        peer.setReply("/api/", Reply::json(expected.status, ""));
        auto record = std::make_shared<QelResponse>();
        access.readRoot(recordingProvider(), XObjectDescriptor(), record);
        EXPECT_EQ(record->getStatusCode(), expected.status);
        std::vector<qeltest::CapturedLine> lines;
        for (const auto& line : loggers->capture().lines())
            if (line.level != ILogger::DEBUG) lines.push_back(line);
        ASSERT_EQ(lines.size(), 1u) << expected.status;
        EXPECT_EQ(lines[0].level, expected.level) << expected.status;
        EXPECT_EQ(lines[0].text, "HTTP Response: Status " + expected.text);
    }

    loggers->capture().clear();
    loggers->setThreshold(ILogger::INFO);
    peer.setReply("/api/", Reply::json(101, ""));
    auto switching = std::make_shared<QelResponse>();
    access.readRoot(recordingProvider(), XObjectDescriptor(), switching);
    EXPECT_EQ(switching->getStatusCode(), HttpResponse::SWITCHING_PROTOCOLS);
    EXPECT_TRUE(loggers->capture().lines().empty());
}

TEST_F(HttpAccessTest, DebugLinesOnlyWhenDebugIsOn) {
    peer.setReply("/api/media/", Reply::json(200, R"({"data":[]})"));
    access.readService(recordingProvider(), QelServiceDescriptor("media"), response);
    EXPECT_EQ(texts(ILogger::DEBUG),
              (std::vector<std::string>{"reading with base uri=" + peer.baseUri(), "reading from path=/api/media/",
                                        R"(read received response: {"data":[]})"}));

    loggers->capture().clear();
    loggers->setThreshold(ILogger::INFO);
    access.readResource(recordingProvider(), QelResourceDescriptor("media", "tracks"), response);
    EXPECT_TRUE(texts(ILogger::DEBUG).empty());
}

TEST_F(HttpAccessTest, ReadFailuresBecomeQelExceptionsAndKeepTheRecord) {
    const std::regex locationOnly(R"(src/http/HttpAccess\.cpp:[0-9]+ )");

    // Malformed JSON: a JSON error, with the location logged at error.
    peer.setReply("/api/media/", Reply::json(200, R"({"data":[{"id":"a"},)"));
    std::string failure =
        failureOf([&] { access.readService(recordingProvider(), QelServiceDescriptor("media"), response); });
    EXPECT_EQ(failure.rfind("QelException: JSONException read failed reason: ", 0), 0u) << failure;
    EXPECT_EQ(response->getStatusCode(), HttpResponse::OK);
    ASSERT_EQ(texts(ILogger::ERROR).size(), 1u);
    EXPECT_TRUE(std::regex_match(texts(ILogger::ERROR)[0], locationOnly)) << texts(ILogger::ERROR)[0];

    // "data" that is not an array of objects.
    for (const std::string body : {R"({"data":"x"})", R"({"data":[1,2]})", R"([{"id":"a"}])"}) {
        peer.setReply("/api/media/", Reply::json(200, body));
        failure = failureOf([&] { access.readService(recordingProvider(), QelServiceDescriptor("media"), response); });
        EXPECT_EQ(failure.rfind("QelException: JSONException read failed reason: ", 0), 0u) << body;
    }

    // A provider's standard exception, an empty provider, a foreign exception.
    peer.setReply("/api/media/", Reply::json(200, R"({"message":"kept","data":[{"id":"a"}]})"));
    auto record = std::make_shared<QelResponse>();
    failure = failureOf([&] {
        access.readService([](JsonObject::Shared) -> IXObject::Unique { throw std::logic_error("bad element"); },
                           QelServiceDescriptor("media"), record);
    });
    EXPECT_EQ(failure, "QelException: unknown read failed reason: bad element\n");
    EXPECT_EQ(*record->getMessage(), "kept");

    failure = failureOf([&] { access.readService(nullptr, QelServiceDescriptor("media"), response); });
    EXPECT_EQ(failure.rfind("QelException: unknown read failed reason: ", 0), 0u) << failure;

    failure = failureOf([&] {
        access.readService([](JsonObject::Shared) -> IXObject::Unique { throw 7; }, QelServiceDescriptor("media"),
                           response);
    });
    EXPECT_EQ(failure, "QelException: unknown read failed, unknown exception\n");

    peer.setReply("/api/media/tracks/", Reply::json(200, R"({"data":[{"id":"a"}]})"));
    failure = failureOf([&] {
        access.readResource([](JsonObject::Shared) -> IXObject::Unique { throw 7; },
                            QelResourceDescriptor("media", "tracks"), response);
    });
    EXPECT_EQ(failure, "QelException: unknown readResource failed, unknown exception\n");
}

TEST_F(HttpAccessTest, HostileBodiesFailCleanly) {
    const std::string deep = R"({"data":[)" + std::string(100000, '[') + std::string(100000, ']') + "]}";
    peer.setReply("/api/media/tracks/", Reply::json(200, deep));
    std::string failure = failureOf(
        [&] { access.readResource(recordingProvider(), QelResourceDescriptor("media", "tracks"), response); });
    EXPECT_EQ(failure.rfind("QelException: unknown readResource failed reason: ", 0), 0u) << failure.substr(0, 200);

    peer.setReply("/api/", Reply::malformed());
    failure = failureOf([&] { access.readRoot(recordingProvider(), XObjectDescriptor(), response); });
    EXPECT_EQ(failure.rfind("QelException: unknown read failed reason: ", 0), 0u) << failure;

    Reply truncated = Reply::json(200, R"({"data":[{"id":"a"},{"id":"b"}]})");
    truncated.action = Reply::Action::TRUNCATED_BODY;
    peer.setReply("/api/media/", truncated);
    failure = failureOf([&] { access.readService(recordingProvider(), QelServiceDescriptor("media"), response); });
    EXPECT_EQ(failure.rfind("QelException: ", 0), 0u) << failure;
    EXPECT_NE(failure.find(" read failed reason: "), std::string::npos) << failure;
}

TEST_F(HttpAccessTest, UnreachableServerFailsWithTransportCause) {
    peer.stop();
    auto record = std::make_shared<QelResponse>();
    const std::string failure = failureOf([&] { access.readRoot(recordingProvider(), XObjectDescriptor(), record); });
    EXPECT_EQ(failure.rfind("QelException: unknown read failed reason: ", 0), 0u) << failure;
    EXPECT_EQ(record->getStatusCode(), HttpResponse::OTHER);
    EXPECT_EQ(texts(ILogger::ERROR).size(), 1u);
}

TEST_F(HttpAccessTest, ConcurrentReadsOnOneTransport) {
    peer.setDefaultReply(Reply::json(200, R"({"status":"ok","data":[{"id":"1"},{"id":"2"}]})"));
    std::vector<std::thread> threads;
    std::atomic<int> objects{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                auto record = std::make_shared<QelResponse>();
                auto result = access.readResource(
                    [](JsonObject::Shared json) -> IXObject::Unique { return std::make_unique<Element>(json); },
                    QelResourceDescriptor("media", "tracks"), record);
                if (record->getStatusCode() == HttpResponse::OK) objects += static_cast<int>(result.size());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(objects.load(), 80);
}

TEST(HttpAccessFactoryTest, BuildsTransportsOnlyWithAllHandles) {
    auto config = std::make_shared<ConfigManager>();
    auto loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    HttpAccessFactory factory(std::make_shared<qelutil::PocoHttpSessionFactory>());
    EXPECT_EQ(factory.createTpAccess("media", nullptr, loggers), nullptr);
    EXPECT_EQ(factory.createTpAccess("media", config, nullptr), nullptr);
    EXPECT_TRUE(loggers->capture().lines().empty());
    EXPECT_NE(std::dynamic_pointer_cast<HttpAccess>(factory.createTpAccess("media", config, loggers)), nullptr);

    HttpAccessFactory withoutSessions(nullptr);
    EXPECT_EQ(withoutSessions.createTpAccess("media", config, loggers), nullptr);
}

TEST(HttpAccessFactoryTest, TransportUsesTheServicesConfiguration) {
    qeltest::ScriptedHttpPeer peer;
    peer.setDefaultReply(Reply::json(200, R"({"data":[{"id":"x"}]})"));
    auto config = std::make_shared<ConfigManager>();
    config->getServiceConfigs()["media"] = ConfigManager::ServiceConfig(
        peer.baseUri(), "/base/", false, std::chrono::milliseconds(0), std::chrono::milliseconds(0));
    auto loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    HttpAccessFactory factory(std::make_shared<qelutil::PocoHttpSessionFactory>());
    auto transport = factory.createTpAccess("media", config, loggers);
    ASSERT_NE(transport, nullptr);
    auto record = std::make_shared<QelResponse>();
    auto result = transport->readService(
        [](JsonObject::Shared json) -> IXObject::Unique { return std::make_unique<Element>(json); },
        QelServiceDescriptor("media"), record);
    EXPECT_EQ(result.size(), 1u);
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(peer.requests()[0].uri, "/base/media");
}

}  // namespace
