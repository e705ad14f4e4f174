// The HTTP transport against a scripted peer: request targets, envelopes,
// statuses, failures and writes; then the accessor over that transport, its
// work and callbacks run by hand on manual executors.

#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccess.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/QelAccessor.h>
#include <QelAccess/QelException.h>
#include <QelAccess/XObject.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/ScriptedHttpPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

using namespace qel;
using qelutil::HttpResponse;
using qelutil::ILogger;
using qelutil::JsonObject;
using Reply = qeltest::ScriptedHttpPeer::Reply;

namespace {

template <typename Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class Element : public XObject<XObjectDescriptor> {
public:
    explicit Element(JsonObject::Shared json) : XObject(std::move(json)) {}
};

IXObject::Unique throwsInt(JsonObject::Shared) { throw 7; }

/// Services under "/api/" of `origin`; "flat" has no separator after resources.
std::shared_ptr<ConfigManager> makeConfig(const std::string& origin) {
    auto config = std::make_shared<ConfigManager>();
    config->getDefaultConfig().serverBaseUri = origin;
    config->getDefaultConfig().serverBasePath = std::string("/api/");
    ConfigManager::ServiceConfig flat;
    flat.separatorAfterResource = false;
    config->getServiceConfigs()["flat"] = flat;
    return config;
}

class HttpAccessTest : public ::testing::Test {
protected:
    HttpAccessTest() {
        track.setId("7");
        track.setName("Seven");
        track.getQueryOptions().setPagingLimit(3);
        track.getQelFilter().add("artist", std::string("Nina"));
    }
    /// A provider that builds Elements and remembers the ids it was given.
    ITpAccess::XObjectProvider provider() {
        return [this](JsonObject::Shared json) -> IXObject::Unique {
            provided.push_back(json->has("id") ? json->getString("id") : "");
            return std::make_unique<Element>(std::move(json));
        };
    }
    ITpAccess::UriObjectProvider uriProvider() {
        return [this](const std::string& uri) { return XObject<XObjectDescriptor>(track).copyWithIdFromUri(uri); };
    }
    std::vector<std::string> texts(ILogger::LogLevel level) const { return loggers->capture().texts(level); }
    void readRoot(std::shared_ptr<QelResponse> record) { access->readRoot(provider(), XObjectDescriptor(), record); }

    qeltest::ScriptedHttpPeer peer;
    std::shared_ptr<ConfigManager> config = makeConfig(peer.baseUri());
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<HttpAccess> access =
        std::make_shared<HttpAccess>("media", config, loggers, std::make_shared<qelutil::PocoHttpSessionFactory>());
    std::shared_ptr<QelResponse> response = std::make_shared<QelResponse>();
    XObjectDescriptor track{"media", "tracks"};
    std::vector<std::string> provided;
};

TEST_F(HttpAccessTest, RequestTargetsFollowTheConfigurationSeparatorIdAndQuery) {
    peer.setDefaultReply(Reply::json(200, R"({"data":[]})"));
    XObjectDescriptor limited;
    limited.getQueryOptions().setPagingLimit(5);
    QelResourceDescriptor filtered("media", "tracks");
    filtered.getQueryOptions().setPagingLimit(10);
    filtered.getQelFilter().add("artist", std::string("Nina Simone"));
    XObjectDescriptor flatItem("flat", "items");
    flatItem.setId("x");
    XObjectDescriptor oddId("flat", "items");
    oddId.setId("\xc3\xbc/?# x%41");
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { access->readRoot(provider(), XObjectDescriptor(), response); }, "GET /api/"},
        {[&] { access->readRoot(provider(), limited, response); }, "GET /api/?$limit=5"},
        {[&] { access->readService(provider(), QelServiceDescriptor("media"), response); }, "GET /api/media/"},
        {[&] { access->readService(provider(), QelServiceDescriptor("flat"), response); }, "GET /api/flat"},
        {[&] { access->readResource(provider(), QelResourceDescriptor("media", "tracks"), response); },
         "GET /api/media/tracks/"},
        {[&] { access->readResource(provider(), filtered, response); },
         "GET /api/media/tracks/?$limit=10&artist=Nina%20Simone"},
        {[&] { access->readResource(provider(), QelResourceDescriptor("flat", "items"), response); },
         "GET /api/flat/items"},
        {[&] { access->findFirst(provider(), track, response); },
         "GET /api/media/tracks/?$limit=3&artist=Nina&id=7&name=Seven"},
        {[&] { access->findFirst(provider(), XObjectDescriptor("flat", "items"), response); }, "GET /api/flat/items"},
        // Element paths carry the id and the query options only; the separator setting does not apply.
        {[&] { access->getElement(provider(), track, response); }, "GET /api/media/tracks/7?$limit=3"},
        {[&] { access->getElement(provider(), flatItem, response); }, "GET /api/flat/items/x"},
        // An id is one path segment: what would end or split it is escaped, "%" is kept.
        {[&] { access->deleteElement(oddId, response); }, "DELETE /api/flat/items/%C3%BC%2F%3F%23%20x%41"},
        {[&] { access->updateElement(track, response); }, "POST /api/media/tracks/7?$limit=3"},
        {[&] { access->deleteElement(track, response); }, "DELETE /api/media/tracks/7?$limit=3"},
        {[&] { access->resolveService("ServiceRegistry/media", response); }, "GET /api/ServiceRegistry/media/"},
    };
    for (const auto& c : cases) {
        failureOf(c.first);
        ASSERT_FALSE(peer.requests().empty());
        EXPECT_EQ(peer.requests().back().method + " " + peer.requests().back().uri, c.second);
    }
    // One connection serves them all: the sessions share the factory's pool.
    EXPECT_EQ(peer.connectionCount(), 1u);

    // The factory builds a transport only with all its handles; it follows the service's own configuration.
    auto own = std::make_shared<ConfigManager>();
    own->getServiceConfigs()["media"] = ConfigManager::ServiceConfig(
        peer.baseUri(), "/base/", false, std::chrono::milliseconds(0), std::chrono::milliseconds(0));
    HttpAccessFactory factory(std::make_shared<qelutil::PocoHttpSessionFactory>());
    loggers->capture().clear();
    EXPECT_EQ(factory.createTpAccess("media", nullptr, loggers), nullptr);
    EXPECT_EQ(factory.createTpAccess("media", own, nullptr), nullptr);
    EXPECT_EQ(HttpAccessFactory(nullptr).createTpAccess("media", own, loggers), nullptr);
    EXPECT_TRUE(loggers->capture().lines().empty());
    auto transport = factory.createTpAccess("media", own, loggers);
    ASSERT_NE(std::dynamic_pointer_cast<HttpAccess>(transport), nullptr);
    transport->readService(provider(), QelServiceDescriptor("media"), response);
    EXPECT_EQ(peer.requests().back().uri, "/base/media");
}

TEST_F(HttpAccessTest, OkRepliesFillTheEnvelopeAndBuildTheDataInOrderOtherRepliesOnlyTheStatus) {
    peer.setReply("/api/media/", Reply::json(200, R"({
        "status":"ok","message":"fine","type":"service","event":"e1","service":"media",
        "timestamp":1700000000123,"data":[{"id":"a"},{"id":"b"},{"id":"c"}]})"));
    auto objects = access->readService(provider(), QelServiceDescriptor("media"), response);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[2]->getId().getValue(), "c");
    EXPECT_EQ(provided, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(response->getStatusCode(), HttpResponse::OK);
    EXPECT_EQ(*response->getStatus() + *response->getMessage() + *response->getType() + *response->getEvent() +
                  *response->getService(),
              "okfineservicee1media");
    EXPECT_EQ(*response->getTimestamp(), 1700000000123);

    // Envelope members of the wrong type are ignored.
    peer.setReply("/api/", Reply::json(200, R"({
        "status":5,"message":null,"type":["x"],"event":{},"service":true,"timestamp":"1","paging":"page 2"})"));
    auto odd = std::make_shared<QelResponse>();
    readRoot(odd);
    EXPECT_EQ(odd->getStatusCode(), HttpResponse::OK);
    EXPECT_TRUE(!odd->getStatus() && !odd->getMessage() && !odd->getType() && !odd->getEvent() &&
                !odd->getService() && !odd->getTimestamp() && !odd->getPaging());

    // No data is no failure, and an empty body for the generic read is not parsed.
    peer.setReply("/api/media/", Reply::json(200, R"({"message":"no data"})"));
    EXPECT_TRUE(access->readService(provider(), QelServiceDescriptor("media"), response).empty());
    EXPECT_EQ(*response->getMessage(), "no data");
    peer.setReply("/api/", Reply::json(200, ""));
    auto fresh = std::make_shared<QelResponse>();
    readRoot(fresh);
    EXPECT_EQ(fresh->getStatusCode(), HttpResponse::OK);
    EXPECT_EQ(fresh->getMessage(), nullptr);

    // A redirect is recorded, not followed; the bodies of other statuses are not read.
    Reply redirect = Reply::json(307, R"({"message":"elsewhere"})");
    redirect.headers = {{"Location", "http://10.1.2.3:9000/api/media/"}};
    peer.setReply("/api/media/", redirect);
    peer.clearRequests();
    auto moved = std::make_shared<QelResponse>();
    access->resolveService("media", moved);
    EXPECT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(moved->getStatusCode(), HttpResponse::TEMPORARY_REDIRECT);
    EXPECT_EQ(moved->getLocation().getValue(), "http://10.1.2.3:9000/api/media/");
    EXPECT_EQ(moved->getMessage(), nullptr);
    provided.clear();
    peer.setDefaultReply(Reply::json(404, R"({"message":"no such resource","data":[{"id":"7"}]})"));
    auto missing = std::make_shared<QelResponse>();
    EXPECT_EQ(access->findFirst(provider(), track, missing), nullptr);
    EXPECT_EQ(missing->getStatusCode(), HttpResponse::NOT_FOUND);
    EXPECT_EQ(missing->getMessage(), nullptr);
    EXPECT_TRUE(provided.empty());
}

TEST_F(HttpAccessTest, MultipleChoicesAreCollected) {
    peer.setReply("/api/media/", Reply::json(300, R"({"data":[
        {"description":"primary","hostAddress":"http://10.0.0.1:8080","versions":"1,2"},
        {"hostAddress":"http://10.0.0.2:8080"}]})"));
    access->resolveService("media", response);
    EXPECT_EQ(response->getStatusCode(), HttpResponse::MULTIPLE_CHOICES);
    auto choices = response->getMultipleChoices();
    ASSERT_NE(choices, nullptr);
    ASSERT_EQ(choices->size(), 2u);
    EXPECT_EQ(*(*choices)[0].description + *(*choices)[0].versions, "primary1,2");
    EXPECT_TRUE(!(*choices)[1].description && !(*choices)[1].versions);

    peer.setReply("/api/nodata/", Reply::json(300, R"({"message":"pick one"})"));
    auto withoutData = std::make_shared<QelResponse>();
    access->resolveService("nodata", withoutData);
    EXPECT_EQ(withoutData->getMultipleChoices(), nullptr);
    EXPECT_EQ(withoutData->getMessage(), nullptr);  // no envelope for a 300

    for (const std::string body :
         {"", "{not json", R"({"data":{"hostAddress":"h"}})", R"({"data":["h"]})", R"({"data":[{"hostAddress":7}]})"}) {
        peer.setReply("/api/media/", Reply::json(300, body));
        auto record = std::make_shared<QelResponse>();
        const std::string failure = failureOf([&] { access->resolveService("media", record); });
        EXPECT_TRUE(startsWith(failure, "QelException: JSONException read failed reason: ")) << body << failure;
        EXPECT_EQ(record->getStatusCode(), HttpResponse::MULTIPLE_CHOICES);
        EXPECT_EQ(record->getMultipleChoices(), nullptr);
    }
}

TEST_F(HttpAccessTest, StatusLinesHaveFixedLevelsAndTexts) {
    struct Expected {
        int status;
        ILogger::LogLevel level;
        std::string text;
    };
    const std::vector<Expected> table = {
        {200, ILogger::INFO, "OK"},
        {202, ILogger::WARNING, "HTTP_ACCEPTED"},
        {307, ILogger::INFO, "HTTP_TEMPORARY_REDIRECT"},
        {400, ILogger::ERROR, "HTTP_BAD_REQUEST"},
        {503, ILogger::WARNING, "HTTP_SERVICE_UNAVAILABLE"},
        {418, ILogger::WARNING, "unknown code 418"},
        {101, ILogger::INFO, ""},
    };
    // Below the debug level nothing but the status line is written; a 101 writes none.
    loggers->setThreshold(ILogger::INFO);
    for (const auto& expected : table) {
        loggers->capture().clear();
        peer.setReply("/api/", Reply::json(expected.status, ""));
        auto record = std::make_shared<QelResponse>();
        readRoot(record);
        EXPECT_EQ(record->getStatusCode(), expected.status);
        const auto lines = loggers->capture().lines();
        ASSERT_EQ(lines.size(), expected.text.empty() ? 0u : 1u) << expected.status;
        if (expected.text.empty()) continue;
        EXPECT_EQ(lines[0].level, expected.level) << expected.status;
        EXPECT_EQ(lines[0].text, "HTTP Response: Status " + expected.text);
        EXPECT_EQ(lines[0].facility, "HTTPAccess media");
    }
}

TEST_F(HttpAccessTest, FailuresBecomeQelExceptionsWithTheirTexts) {
    Reply accepted = Reply::json(202, "{}");
    accepted.headers = {{"Location", "/api/media/tracks/43"}};
    auto readService = [&](ITpAccess::XObjectProvider p) {
        access->readService(p, QelServiceDescriptor("media"), response);
    };
    auto readTracks = [&](ITpAccess::XObjectProvider p) {
        access->readResource(p, QelResourceDescriptor("media", "tracks"), response);
    };
    struct Case {
        Reply reply;
        std::function<void()> call;
        std::string text;  // after "QelException: "; a trailing '*' makes it a prefix
    };
    const std::string data = R"({"data":[{"id":"a"}]})";
    const std::string kept = R"({"message":"kept","data":[{"id":"a"}]})";
    const auto badElement = [](JsonObject::Shared) -> IXObject::Unique { throw std::logic_error("bad element"); };
    const std::vector<Case> cases = {
        {Reply::json(200, R"({"data":"x"})"), [&] { readService(provider()); }, "JSONException read failed*"},
        {Reply::json(200, R"({"data":[1,2]})"), [&] { readService(provider()); }, "JSONException read failed*"},
        {Reply::json(200, R"([{"id":"a"}])"), [&] { readService(provider()); }, "JSONException read failed*"},
        {Reply::json(200, kept), [&] { readService(badElement); }, "unknown read failed reason: bad element\n"},
        {Reply::json(200, data), [&] { readService(&throwsInt); }, "unknown read failed, unknown exception\n"},
        {Reply::json(200, data), [&] { readTracks(&throwsInt); }, "unknown readResource failed, unknown exception\n"},
        // The resource read hands an empty body to the parser, which rejects it.
        {Reply::json(200, ""), [&] { readTracks(provider()); }, "unknown readResource failed reason: *"},
        {Reply::json(200, ""), [&] { access->findFirst(provider(), track, response); }, "unknown find first failed*"},
        {Reply::json(200, data), [&] { access->findFirst(&throwsInt, track, response); },
         "unknown find first failed, unknown exception\n"},
        // "data" must be an object.
        {Reply::json(200, data), [&] { access->getElement(provider(), track, response); },
         "unknown get Element failed*"},
        {Reply::json(200, R"({"data":{}})"), [&] { access->getElement(&throwsInt, track, response); },
         "unknown get Element failed, unknown exception\n"},
        {Reply::json(201, R"({"status":"created"})"), [&] { access->createElement(track, uriProvider(), response); },
         "unknown createElement failed reason: operator* called on uninitialized Optional\n"},
        {accepted, [&] { access->createElement(track, nullptr, response); }, "unknown createElement failed reason: *"},
        {accepted,
         [&] { access->createElement(track, [](const std::string&) -> IXObject::Unique { throw 1; }, response); },
         "unknown createElement failed, unknown exception\n"},
        {Reply::json(200, ""), [&] { access->deleteElement(track, response); }, "unknown delete Element failed*"},
        {Reply::closeWithoutAnswer(), [&] { access->updateElement(track, response); },
         "unknown update Element failed*"},
    };
    for (const Case& c : cases) {
        peer.setDefaultReply(c.reply);
        response = std::make_shared<QelResponse>();
        loggers->capture().clear();
        const std::string failure = failureOf(c.call);
        const std::string text = "QelException: " + c.text;
        if (text.back() == '*') {
            EXPECT_TRUE(startsWith(failure, text.substr(0, text.size() - 1))) << text << " <- " << failure;
        } else {
            EXPECT_EQ(failure, text);
        }
        if (c.reply.status == 200 && c.reply.action == Reply().action) {
            // What was recorded before the failure stays; the error line carries
            // the location and the cause, which the exception repeats.
            EXPECT_EQ(response->getStatusCode(), HttpResponse::OK) << c.text;
            const auto errors = texts(ILogger::ERROR);
            for (const auto& error : errors) {
                EXPECT_TRUE(std::regex_match(error, std::regex(R"(src/http/HttpAccess\.cpp:[0-9]+ (.*))"))) << error;
                EXPECT_NE(failure.find(error.substr(error.find(' ') + 1)), std::string::npos) << error;
            }
        }
    }
    // The envelope is read before the provider fails.
    peer.setDefaultReply(Reply::json(200, kept));
    failureOf([&] { readService(badElement); });
    EXPECT_EQ(response->getMessage() ? *response->getMessage() : "", "kept");

    peer.stop();
    auto record = std::make_shared<QelResponse>();
    loggers->capture().clear();
    EXPECT_TRUE(startsWith(failureOf([&] { readRoot(record); }), "QelException: unknown read failed reason: "));
    EXPECT_EQ(record->getStatusCode(), HttpResponse::OTHER);
    EXPECT_EQ(texts(ILogger::ERROR).size(), 1u);
}

TEST_F(HttpAccessTest, WritesSendTheirBodiesAndRecordTheReply) {
    // Operations on an element without id send nothing.
    XObjectDescriptor withoutId("media", "tracks");
    auto get = std::make_shared<QelResponse>(), update = std::make_shared<QelResponse>(),
         remove = std::make_shared<QelResponse>();
    EXPECT_EQ(access->getElement(provider(), withoutId, get), nullptr);
    access->updateElement(withoutId, update);
    access->deleteElement(withoutId, remove);
    for (const auto& record : {get, update, remove}) EXPECT_EQ(record->getStatusCode(), HttpResponse::BAD_REQUEST);
    EXPECT_TRUE(peer.requests().empty());
    EXPECT_TRUE(loggers->capture().lines().empty());

    // A create answered 201 names the new element by its location.
    Reply created = Reply::json(201, R"({"status":"created"})");
    created.headers = {{"Location", "/api/media/tracks/42"}};
    peer.setReply("/api/media/tracks/", created);
    auto element = access->createElement(track, uriProvider(), response);
    EXPECT_EQ(peer.requests().back().method + peer.requests().back().body, R"(POST{"name":"Seven"})");
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->getId().getValue(), "42");
    EXPECT_EQ(response->getLocation().getValue() + *response->getStatus(), "/api/media/tracks/42created");

    using Record = std::shared_ptr<QelResponse>;
    struct Case {
        int status;
        std::function<void(Record)> call;
        const char* message;  // nullptr: no envelope read
    };
    const std::vector<Case> cases = {
        {409, [&](Record r) { EXPECT_EQ(access->createElement(track, uriProvider(), r), nullptr); }, nullptr},
        {202, [&](Record r) { access->updateElement(track, r); }, "queued"},
        {400, [&](Record r) { access->updateElement(track, r); }, nullptr},
        {200, [&](Record r) { access->deleteElement(track, r); }, "queued"},
        {404, [&](Record r) { access->deleteElement(track, r); }, nullptr},
    };
    peer.setReply("/api/media/tracks/", Reply::json(409, R"({"message":"queued"})"));
    for (const Case& c : cases) {
        peer.setDefaultReply(Reply::json(c.status, R"({"message":"queued"})"));
        auto record = std::make_shared<QelResponse>();
        c.call(record);
        EXPECT_EQ(record->getStatusCode(), c.status);
        EXPECT_EQ(record->getMessage() ? *record->getMessage() : "-", c.message ? c.message : "-") << c.status;
    }
}

/// The accessor over the transport above, its work and callbacks run by hand.
class QelAccessorTest : public HttpAccessTest {
protected:
    std::shared_ptr<qeltest::ManualTaskExecutor> callbacks = std::make_shared<qeltest::ManualTaskExecutor>();
    std::shared_ptr<qeltest::ManualTaskExecutor> http = std::make_shared<qeltest::ManualTaskExecutor>();
    QelAccessor accessor{"media", loggers, callbacks, http, access};

    /// Runs the queued work, then the callbacks it queued.
    void runAll() {
        http->runAll();
        callbacks->runAll();
    }
    std::vector<std::string> accessorWarnings() const {
        std::vector<std::string> texts;
        for (const auto& line : loggers->capture().lines())
            if (line.facility == "QelAccessor media" && line.level == ILogger::WARNING) texts.push_back(line.text);
        return texts;
    }
};

/// Records the outcome of one operation; its success callback takes any arguments.
struct Outcome {
    int successes = 0;
    int errors = 0;
    std::shared_ptr<const QelResponse> response;

    auto onSuccess() {
        return [this](auto&&...) { ++successes; };
    }
    QelAccessorErrorCallback onError() {
        return [this](std::shared_ptr<const QelResponse> r) {
            ++errors;
            response = std::move(r);
        };
    }
};

TEST_F(QelAccessorTest, WorkRunsOnTheHttpExecutorAndResultsArriveInOrderInTasksOfTheirOwn) {
    peer.setReply("/api/media/", Reply::json(200, R"({"data":[{"name":"tracks","id":"1"},{"name":"albums"},
                                                                {"name":"artists"}]})"));
    std::vector<std::string> names;
    std::weak_ptr<QelService> first;
    accessor.readService(
        QelServiceDescriptor("media"),
        [&](std::vector<std::shared_ptr<QelService>> services, std::shared_ptr<QelResponse>) {
            for (const auto& service : services)
                names.push_back(service->getName().getValue() + "@" + service->getDescriptor().getService());
            first = services.front();
        },
        nullptr);
    // Nothing ran inside the call; the work waits on the HTTP executor.
    EXPECT_TRUE(peer.requests().empty());
    EXPECT_EQ(http->pending() * 10 + callbacks->pending(), 10u);
    ASSERT_TRUE(http->runOne());
    // The success callback is a task of its own, not part of the work task.
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(callbacks->pendingNames(), std::vector<std::string>{""});
    callbacks->runAll();
    EXPECT_EQ(names, (std::vector<std::string>{"tracks@media", "albums@media", "artists@media"}));
    // The delivered objects go back to the HTTP executor, which made them, to be freed there.
    EXPECT_FALSE(first.expired());
    ASSERT_TRUE(http->runOne());
    EXPECT_TRUE(first.expired());

    // The root read runs entirely on the callback executor, delivering in a second task.
    peer.setReply("/api/", Reply::json(200, R"({"data":[{"name":"navigation","uri":"/api/navigation/","port":80}]})"));
    std::vector<std::shared_ptr<ServiceRegistryService>> root;
    accessor.readRoot(
        XObjectDescriptor(),
        [&](std::vector<std::shared_ptr<ServiceRegistryService>> services, std::shared_ptr<QelResponse>) {
            root = std::move(services);
        },
        nullptr);
    ASSERT_TRUE(callbacks->runOne());
    EXPECT_TRUE(root.empty());
    callbacks->runAll();
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0]->getPath().getValue() + std::to_string(root[0]->getPort().getValue()), "/api/80");
    EXPECT_EQ(http->history().size(), 2u);

    // findFirst sends the descriptor's filter, getElement addresses by id; no element delivers null.
    const std::string filtered = "/api/media/tracks/?$limit=3&artist=Nina&id=7&name=Seven";
    peer.setReply(filtered, Reply::json(200, R"({"data":[{"id":"7","name":"Seven"}]})"));
    peer.setReply("/api/media/tracks/7?$limit=3", Reply::json(200, R"({"data":{"id":"7"}})"));
    std::vector<std::shared_ptr<const Element>> delivered;
    auto keep = [&](std::shared_ptr<const Element> e, std::shared_ptr<const QelResponse>) { delivered.push_back(e); };
    accessor.findFirst<Element>(track, keep, nullptr);
    accessor.getElement<Element>(track, keep, nullptr);
    runAll();
    peer.setReply(filtered, Reply::json(200, R"({"data":[]})"));
    accessor.findFirst<Element>(track, keep, nullptr);
    runAll();
    ASSERT_EQ(delivered.size(), 3u);
    ASSERT_TRUE(delivered[0] && delivered[1]);
    EXPECT_EQ(delivered[0]->getName().getValue() + delivered[1]->getId().getValue(), "Seven7");
    EXPECT_EQ(delivered[2], nullptr);
    EXPECT_EQ(QelAccessor::getRelativeUri(track), "/media/tracks/7");
    EXPECT_THROW(QelAccessor::getRelativeUri(XObjectDescriptor("media", "tracks")), std::runtime_error);
}

TEST_F(QelAccessorTest, EachOperationKindAcceptsItsOwnSuccessStatusesAndFailuresAreWrapped) {
    using Call = std::function<void(Outcome&)>;
    const Call readService = [&](Outcome& o) {
        accessor.readService(QelServiceDescriptor("media"), o.onSuccess(), o.onError());
    };
    const Call readRoot = [&](Outcome& o) { accessor.readRoot(XObjectDescriptor(), o.onSuccess(), o.onError()); };
    const Call readResource = [&](Outcome& o) { accessor.readResource<Element>(track, o.onSuccess(), o.onError()); };
    const Call findFirst = [&](Outcome& o) { accessor.findFirst<Element>(track, o.onSuccess(), o.onError()); };
    const Call create = [&](Outcome& o) { accessor.createElement(track, o.onSuccess(), o.onError()); };
    const Call update = [&](Outcome& o) { accessor.updateElement(track, o.onSuccess(), o.onError()); };
    const Call remove = [&](Outcome& o) { accessor.deleteElement(track, o.onSuccess(), o.onError()); };
    struct Case {
        Call call;
        int status;
        std::string errorTask;  // empty: a success
        std::string failure;    // empty: the reply is well-formed, else how its broken body is reported
    };
    const std::vector<Case> cases = {
        {readService, 200, "", ""},
        {readService, 201, "readService callbackError", ""},
        {findFirst, 202, "findFirst callbackError", ""},
        {create, 200, "", ""},
        {create, 202, "", ""},
        {create, 409, "createElement callbackError", ""},
        {update, 202, "", ""},
        {update, 201, "updateElement callbackError", ""},
        {remove, 202, "", ""},
        {remove, 500, "deleteElement callbackError", ""},
        {readRoot, 200, "readRoot callbackError", "read root failed reason: QelException: JSONException read"},
        {readService, 200, "readService callbackError", "read service failed reason: QelException: JSONException"},
        {readResource, 200, "readResource callbackError", "read resource failed reason: QelException: unknown"},
        {update, 200, "updateElement callbackError", "update element failed reason: QelException: unknown update"},
        {remove, 200, "deleteElement callbackError", "delete element failed reason: QelException: unknown delete"},
    };
    for (const Case& c : cases) {
        Reply reply = Reply::json(c.status, c.failure.empty() ? R"({"data":[]})" : "{broken");
        reply.headers = {{"Location", "/api/media/tracks/42"}};
        peer.setDefaultReply(reply);
        Outcome outcome;
        c.call(outcome);
        runAll();
        const std::string label = std::to_string(c.status) + " " + c.errorTask;
        EXPECT_EQ(callbacks->history().back(), c.errorTask) << label;
        EXPECT_EQ(outcome.successes, c.errorTask.empty() ? 1 : 0) << label;
        ASSERT_EQ(outcome.errors, c.errorTask.empty() ? 0 : 1) << label;
        if (c.errorTask.empty()) continue;
        // What the transport recorded before it failed stays in the record.
        EXPECT_EQ(outcome.response->getStatusCode(), c.status) << label;
        const auto exception = outcome.response->getHttpException();
        EXPECT_EQ(exception == nullptr, c.failure.empty()) << label;
        if (!exception) continue;
        EXPECT_NE(dynamic_cast<const QelException*>(exception.get()), nullptr);
        EXPECT_TRUE(startsWith(exception->what(), "QelException: unknown " + c.failure)) << exception->what();
    }
}

TEST_F(QelAccessorTest, MissingCallbacksAreLoggedWithTheirLocation) {
    // Without a success callback a read is dropped before it is sent.
    Outcome outcome;
    accessor.readRoot(XObjectDescriptor(), nullptr, outcome.onError());
    accessor.readService(QelServiceDescriptor("media"), nullptr, outcome.onError());
    accessor.readResource<Element>(track, nullptr, outcome.onError());
    accessor.getElement<Element>(track, nullptr, outcome.onError());
    EXPECT_EQ(http->pending() + callbacks->pending(), 0u);
    // An update and a delete need none.
    peer.setDefaultReply(Reply::json(202, "{}"));
    accessor.updateElement(track, nullptr, nullptr);
    runAll();
    // Without an error callback an error status or a failure is only logged.
    peer.setDefaultReply(Reply::json(404, ""));
    accessor.readService(QelServiceDescriptor("media"), outcome.onSuccess(), nullptr);
    runAll();
    peer.setDefaultReply(Reply::closeWithoutAnswer());
    accessor.readResource<Element>(track, outcome.onSuccess(), nullptr);
    runAll();
    std::vector<std::string> targets;
    for (const auto& request : peer.requests()) targets.push_back(request.method + " " + request.uri);
    // The resource read sends only the service and resource names (a GET left unanswered is sent once more).
    EXPECT_EQ(targets, (std::vector<std::string>{"POST /api/media/tracks/7?$limit=3", "GET /api/media/",
                                                 "GET /api/media/tracks/", "GET /api/media/tracks/"}));
    EXPECT_EQ(outcome.successes + outcome.errors, 0);
    EXPECT_TRUE(callbacks->history().empty());
    std::vector<std::string> texts(4, "missing success callback");
    texts.push_back("readService: error occurred but no error callback given");
    texts.push_back("readResource: error occurred but no error callback given");
    const auto warnings = accessorWarnings();
    ASSERT_EQ(warnings.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_TRUE(startsWith(warnings[i], "src/accessor/QelAccessor.cpp:")) << warnings[i];
        EXPECT_EQ(warnings[i].substr(warnings[i].size() - texts[i].size()), texts[i]);
    }
}

TEST_F(QelAccessorTest, ReadsOutliveTheAccessor) {
    peer.setDefaultReply(Reply::json(200, R"({"data":[{"id":"1"}]})"));
    Outcome outcome;
    {
        QelAccessor temporary("media", loggers, callbacks, http, access);
        temporary.readResource<Element>(XObjectDescriptor("media", "tracks"), outcome.onSuccess(), nullptr);
    }
    runAll();
    EXPECT_EQ(outcome.successes, 1);
}

}  // namespace
