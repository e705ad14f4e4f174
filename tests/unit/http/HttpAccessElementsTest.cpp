#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccess.h>
#include <QelAccess/QelException.h>
#include <QelAccess/XObject.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ScriptedHttpPeer.h"
#include "unit/http/HttpAccessTestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
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

/// A descriptor whose request body is its own.
class RatingDescriptor : public XObjectDescriptor {
public:
    RatingDescriptor() : XObjectDescriptor("media", "tracks") {}
    JsonObject::Shared getAsQELBody() const override {
        auto body = qelutil::JsonFactory::createJsonObject();
        body->setLong("rating", 5);
        return body;
    }
};

class HttpAccessElementsTest : public ::testing::Test {
protected:
    HttpAccessElementsTest() {
        track.setId("7");
        track.setName("Seven");
        track.getQueryOptions().setPagingLimit(3);
        track.getQelFilter().add("artist", std::string("Nina"));
    }

    ITpAccess::XObjectProvider provider() {
        return [this](JsonObject::Shared json) -> IXObject::Unique {
            ++provided;
            return std::make_unique<Element>(std::move(json));
        };
    }
    ITpAccess::UriObjectProvider uriProvider() {
        return [this](const std::string& uri) -> IXObject::Unique {
            createdUris.push_back(uri);
            return XObject<XObjectDescriptor>(track).copyWithIdFromUri(uri);
        };
    }
    qeltest::ScriptedHttpPeer::Request onlyRequest() const {
        auto requests = peer.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? qeltest::ScriptedHttpPeer::Request() : requests.front();
    }

    qeltest::ScriptedHttpPeer peer;
    std::shared_ptr<ConfigManager> config = makeConfig(peer);
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    HttpAccess access{"media", config, loggers, std::make_shared<qelutil::PocoHttpSessionFactory>()};
    std::shared_ptr<QelResponse> response = std::make_shared<QelResponse>();
    XObjectDescriptor track{"media", "tracks"};
    int provided = 0;
    std::vector<std::string> createdUris;
};

TEST_F(HttpAccessElementsTest, FindFirstSendsFilterAndTakesOnlyTheFirstElement) {
    const std::string target = "/api/media/tracks/?$limit=3&artist=Nina&id=7&name=Seven";
    peer.setReply(target, Reply::json(200, R"({"message":"m","data":[{"id":"7"},{"id":"8"},{"id":"9"}]})"));
    auto found = access.findFirst(provider(), track, response);
    EXPECT_EQ(onlyRequest().method, "GET");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->getId().getValue(), "7");
    EXPECT_EQ(provided, 1);
    EXPECT_EQ(*response->getMessage(), "m");

    peer.setReply(target, Reply::json(200, R"({"data":[]})"));
    auto empty = std::make_shared<QelResponse>();
    EXPECT_EQ(access.findFirst(provider(), track, empty), nullptr);
    EXPECT_EQ(empty->getStatusCode(), HttpResponse::OK);

    peer.setReply(target, Reply::json(404, R"({"data":[{"id":"7"}]})"));
    auto missing = std::make_shared<QelResponse>();
    EXPECT_EQ(access.findFirst(provider(), track, missing), nullptr);
    EXPECT_EQ(missing->getStatusCode(), HttpResponse::NOT_FOUND);
    EXPECT_EQ(provided, 1);

    XObjectDescriptor flat("flat", "items");
    peer.setDefaultReply(Reply::json(200, R"({})"));
    EXPECT_EQ(access.findFirst(provider(), flat, response), nullptr);
    EXPECT_EQ(peer.requests().back().uri, "/api/flat/items");
}

TEST_F(HttpAccessElementsTest, FindFirstFailures) {
    peer.setDefaultReply(Reply::json(200, ""));
    EXPECT_EQ(failureOf([&] {
                  access.findFirst(provider(), track, response);
              }).rfind("QelException: unknown find first failed reason: ", 0),
              0u);
    peer.setDefaultReply(Reply::json(200, R"({"data":[{"id":"1"}]})"));
    EXPECT_EQ(
        failureOf([&] { access.findFirst([](JsonObject::Shared) -> IXObject::Unique { throw 1; }, track, response); }),
        "QelException: unknown find first failed, unknown exception\n");
}

TEST_F(HttpAccessElementsTest, GetElementAddressesByIdWithQueryOptionsOnly) {
    peer.setDefaultReply(Reply::json(200, R"({"event":"ev","data":{"id":"7","name":"Seven"}})"));
    auto element = access.getElement(provider(), track, response);
    const auto request = onlyRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.uri, "/api/media/tracks/7?$limit=3");
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->getName().getValue(), "Seven");
    EXPECT_EQ(*response->getEvent(), "ev");
    EXPECT_EQ(loggers->capture().texts(ILogger::INFO),
              (std::vector<std::string>{"HttpAccess getElement: request: /api/media/tracks/7?$limit=3",
                                        "HTTP Response: Status OK"}));

    // The separator setting does not apply to element paths.
    XObjectDescriptor flat("flat", "items");
    flat.setId("x");
    peer.setDefaultReply(Reply::json(200, R"({"message":"no data"})"));
    EXPECT_EQ(access.getElement(provider(), flat, response), nullptr);
    EXPECT_EQ(peer.requests().back().uri, "/api/flat/items/x");
    EXPECT_EQ(provided, 1);
}

TEST_F(HttpAccessElementsTest, OperationsOnElementsWithoutIdSendNothing) {
    XObjectDescriptor withoutId("media", "tracks");
    auto get = std::make_shared<QelResponse>();
    auto update = std::make_shared<QelResponse>();
    auto remove = std::make_shared<QelResponse>();
    EXPECT_EQ(access.getElement(provider(), withoutId, get), nullptr);
    access.updateElement(withoutId, update);
    access.deleteElement(withoutId, remove);
    for (const auto& record : {get, update, remove}) EXPECT_EQ(record->getStatusCode(), HttpResponse::BAD_REQUEST);
    EXPECT_TRUE(peer.requests().empty());
    EXPECT_TRUE(loggers->capture().lines().empty());
}

TEST_F(HttpAccessElementsTest, GetElementFailures) {
    peer.setDefaultReply(Reply::json(200, R"({"data":[{"id":"7"}]})"));  // "data" must be an object
    auto record = std::make_shared<QelResponse>();
    EXPECT_EQ(failureOf([&] {
                  access.getElement(provider(), track, record);
              }).rfind("QelException: unknown get Element failed reason: ", 0),
              0u);
    EXPECT_EQ(record->getStatusCode(), HttpResponse::OK);
    peer.setDefaultReply(Reply::json(200, R"({"data":{}})"));
    EXPECT_EQ(
        failureOf([&] { access.getElement([](JsonObject::Shared) -> IXObject::Unique { throw 1; }, track, response); }),
        "QelException: unknown get Element failed, unknown exception\n");
}

TEST_F(HttpAccessElementsTest, CreateElementPostsBodyAndBuildsFromLocation) {
    Reply created = Reply::json(201, R"({"status":"created"})");
    created.headers = {{"Location", "/api/media/tracks/42"}};
    peer.setReply("/api/media/tracks/", created);
    auto element = access.createElement(track, uriProvider(), response);
    const auto request = onlyRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, R"({"name":"Seven"})");
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->getId().getValue(), "42");
    EXPECT_EQ(createdUris, std::vector<std::string>{"/api/media/tracks/42"});
    EXPECT_EQ(response->getStatusCode(), HttpResponse::CREATED);
    EXPECT_EQ(response->getLocation().getValue(), "/api/media/tracks/42");
    EXPECT_EQ(*response->getStatus(), "created");

    // A subclass supplies its own body.
    peer.clearRequests();
    access.createElement(RatingDescriptor(), uriProvider(), std::make_shared<QelResponse>());
    EXPECT_EQ(onlyRequest().body, R"({"rating":5})");
}

TEST_F(HttpAccessElementsTest, CreateElementOutcomes) {
    peer.setReply("/api/media/tracks/", Reply::json(201, R"({"status":"created"})"));
    auto record = std::make_shared<QelResponse>();
    EXPECT_EQ(failureOf([&] { access.createElement(track, uriProvider(), record); }),
              "QelException: unknown createElement failed reason: operator* called on uninitialized Optional\n");
    EXPECT_EQ(record->getStatusCode(), HttpResponse::CREATED);
    EXPECT_EQ(*record->getStatus(), "created");
    EXPECT_TRUE(createdUris.empty());

    loggers->capture().clear();
    peer.setReply("/api/media/tracks/", Reply::json(409, R"({"message":"exists"})"));
    auto conflict = std::make_shared<QelResponse>();
    EXPECT_EQ(access.createElement(track, uriProvider(), conflict), nullptr);
    EXPECT_EQ(conflict->getStatusCode(), HttpResponse::CONFLICT);
    EXPECT_EQ(conflict->getMessage(), nullptr);
    EXPECT_EQ(loggers->capture().texts(ILogger::WARNING),
              std::vector<std::string>{"HTTP Response: Status HTTP_CONFLICT"});

    Reply accepted = Reply::json(202, "{}");
    accepted.headers = {{"Location", "/api/media/tracks/43"}};
    peer.setReply("/api/media/tracks/", accepted);
    EXPECT_EQ(failureOf([&] {
                  access.createElement(track, nullptr, response);
              }).rfind("QelException: unknown createElement failed reason: ", 0),
              0u);
    EXPECT_EQ(failureOf([&] {
                  access.createElement(
                      track, [](const std::string&) -> IXObject::Unique { throw 1; }, response);
              }),
              "QelException: unknown createElement failed, unknown exception\n");
}

TEST_F(HttpAccessElementsTest, UpdateElementPostsToElementPath) {
    peer.setDefaultReply(Reply::json(202, R"({"message":"queued"})"));
    access.updateElement(track, response);
    const auto request = onlyRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.uri, "/api/media/tracks/7?$limit=3");
    EXPECT_EQ(request.body, R"({"name":"Seven"})");
    EXPECT_EQ(response->getStatusCode(), HttpResponse::ACCEPTED);
    EXPECT_EQ(*response->getMessage(), "queued");

    peer.setDefaultReply(Reply::json(400, R"({"message":"bad"})"));
    auto rejected = std::make_shared<QelResponse>();
    access.updateElement(track, rejected);
    EXPECT_EQ(rejected->getStatusCode(), HttpResponse::BAD_REQUEST);
    EXPECT_EQ(rejected->getMessage(), nullptr);
}

TEST_F(HttpAccessElementsTest, UpdateElementLogsFailuresBeforeThrowing) {
    peer.setDefaultReply(Reply::json(200, "{broken"));
    const std::string failure = failureOf([&] { access.updateElement(track, response); });
    EXPECT_EQ(failure.rfind("QelException: unknown update Element failed reason: ", 0), 0u) << failure;
    const auto errors = loggers->capture().texts(ILogger::ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(std::regex_match(errors[0], std::regex(R"(src/http/HttpAccess\.cpp:[0-9]+ .+)"))) << errors[0];
    // The error line carries the cause's text, which the exception repeats.
    const std::string cause = errors[0].substr(errors[0].find(' ') + 1);
    EXPECT_NE(failure.find(cause), std::string::npos);
}

TEST_F(HttpAccessElementsTest, DeleteElementOutcomes) {
    peer.setDefaultReply(Reply::json(200, R"({"message":"gone"})"));
    access.deleteElement(track, response);
    const auto request = onlyRequest();
    EXPECT_EQ(request.method, "DELETE");
    EXPECT_EQ(request.uri, "/api/media/tracks/7?$limit=3");
    EXPECT_EQ(*response->getMessage(), "gone");

    peer.setDefaultReply(Reply::json(404, R"({"message":"no such element"})"));
    auto missing = std::make_shared<QelResponse>();
    access.deleteElement(track, missing);
    EXPECT_EQ(missing->getStatusCode(), HttpResponse::NOT_FOUND);
    EXPECT_EQ(missing->getMessage(), nullptr);

    peer.setDefaultReply(Reply::json(200, ""));
    auto empty = std::make_shared<QelResponse>();
    EXPECT_EQ(failureOf([&] {
                  access.deleteElement(track, empty);
              }).rfind("QelException: unknown delete Element failed reason: ", 0),
              0u);
    EXPECT_EQ(empty->getStatusCode(), HttpResponse::OK);
}

TEST_F(HttpAccessElementsTest, TransportFailuresOfElementOperations) {
    peer.setDefaultReply(Reply::closeWithoutAnswer());
    const std::vector<std::pair<std::string, std::function<void()>>> calls = {
        {"find first failed", [&] { access.findFirst(provider(), track, response); }},
        {"get Element failed", [&] { access.getElement(provider(), track, response); }},
        {"createElement failed", [&] { access.createElement(track, uriProvider(), response); }},
        {"update Element failed", [&] { access.updateElement(track, response); }},
        {"delete Element failed", [&] { access.deleteElement(track, response); }},
    };
    for (const auto& call : calls) {
        const std::string failure = failureOf(call.second);
        EXPECT_EQ(failure.rfind("QelException: unknown " + call.first + " reason: ", 0), 0u) << failure;
    }
}

}  // namespace
