// The accessor and the HTTP transport against the in-process reference
// server: element round trips, paging, filters, the registry's root and its
// three kinds of resolution answer, and error statuses reaching the error
// callbacks.

#include <qeldev/DevServer.h>

#include <support/CapturingLoggerFactory.h>
#include <support/WaitFor.h>

#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/QelAccessor.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/ServiceRegistryService.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>

namespace {

using qel::QelAccessor;
using qel::QelResponse;
using qelutil::HttpResponse;
using qelutil::JsonFactory;
using qelutil::JsonObject;
using ResponsePtr = std::shared_ptr<const QelResponse>;

/// An element kept with the JSON it came from.
class Element : public qel::XObject<qel::XObjectDescriptor> {
public:
    explicit Element(JsonObject::Shared json) : XObject(std::move(json)) {}
    JsonObject::Shared json() const { return m_pJson; }
};

/// A descriptor whose create and update body is a JSON object of the test's.
class BodyDescriptor : public qel::XObjectDescriptor {
public:
    BodyDescriptor(const std::string& resource, const std::string& body)
        : XObjectDescriptor("media", resource), m_body(JsonFactory::parseObject(body)) {}
    JsonObject::Shared getAsQELBody() const override { return m_body->clone(); }

private:
    JsonObject::Shared m_body;
};

/// Records what the callbacks of one accessor call deliver. The callbacks
/// share the record, so a late callback never outlives it.
template <typename T>
class Capture {
public:
    struct State {
        std::mutex mutex;
        std::vector<T> values;
        std::vector<ResponsePtr> responses;
        std::vector<ResponsePtr> errors;
    };
    auto success() {
        return [state = m_state](T value, ResponsePtr response) {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->values.push_back(std::move(value));
            state->responses.push_back(std::move(response));
        };
    }
    /// A success callback of any signature, recording only that it ran.
    auto any() {
        return [state = m_state](auto&&...) {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->values.push_back(T());
            state->responses.push_back(nullptr);
        };
    }
    auto done() {
        return [state = m_state](ResponsePtr response) {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->values.push_back(T());
            state->responses.push_back(std::move(response));
        };
    }
    auto error() {
        return [state = m_state](ResponsePtr response) {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->errors.push_back(std::move(response));
        };
    }
    /// Waits for the first callback; then the record is read without the lock.
    State& wait() {
        EXPECT_TRUE(qeltest::waitFor([this] {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            return m_state->values.size() + m_state->errors.size() > 0;
        }));
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return *m_state;
    }
    T value() { return wait().values.at(0); }

private:
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

std::vector<std::string> idsOf(const std::vector<qel::IXObject::Unique>& objects) {
    std::vector<std::string> ids;
    for (const auto& object : objects) ids.push_back(object->getId().getValueOr("?"));
    return ids;
}

qel::IXObject::Unique makeElement(JsonObject::Shared json) {
    return std::make_unique<Element>(std::move(json));
}

class AccessorDevServerTest : public ::testing::Test {
protected:
    AccessorDevServerTest() : server(serverOptions()) {}

    void SetUp() override { server.start(); }

    static qeldev::DevServerOptions serverOptions() {
        qeldev::DevServerOptions options;
        options.loggerFactory = std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::ERROR);
        return options;
    }

    qel::ITpAccess::Shared transport(const std::string& service, const std::string& origin, const std::string& basePath,
                                     qelutil::IHttpSessionFactory::Shared sessions = nullptr) {
        auto config = std::make_shared<qel::ConfigManager>();
        config->setDefaultConfig(qel::ConfigManager::ServiceConfig(origin, basePath, true, std::chrono::milliseconds(0),
                                                                   std::chrono::milliseconds(0)));
        qel::HttpAccessFactory factory(sessions ? sessions : sessionFactory);
        return factory.createTpAccess(service, config, logs);
    }

    qel::ITpAccess::Shared mediaTransport() {
        const auto media = server.service("media");
        return transport("media", media.origin, media.basePath);
    }

    qel::ITpAccess::Shared registryTransport() { return transport("ServiceRegistry", server.origins().at(0), "/"); }

    QelAccessor accessor(qel::ITpAccess::Shared access) {
        return QelAccessor("media", logs, callbackExecutor, httpExecutor, std::move(access));
    }

    /// Waits until every callback queued so far has run: the HTTP executor
    /// has one worker and the callback executor keeps order, so the
    /// callback of a later call comes after all earlier ones.
    void drainCallbacks(QelAccessor& media) {
        Capture<bool> barrier;
        media.readService(qel::QelServiceDescriptor("media"), barrier.any(), barrier.error());
        barrier.wait();
    }

    static qel::XObjectDescriptor track(const std::string& id) {
        qel::XObjectDescriptor element("media", "tracks");
        element.setId(id);
        return element;
    }

    std::vector<std::string> serverIds(const std::function<bool(const JsonObject&)>& keep) {
        std::vector<std::string> ids;
        for (const auto& element : server.getElements("media", "tracks"))
            if (keep(*element)) ids.push_back(element->getString("id"));
        return ids;
    }

    std::vector<qel::IXObject::Unique> readTracks(const qel::QelResourceDescriptor& descriptor,
                                                  const std::shared_ptr<QelResponse>& response) {
        return mediaTransport()->readResource(&makeElement, descriptor, response);
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> logs = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeldev::DevServer server;
    qelutil::IHttpSessionFactory::Shared sessionFactory = std::make_shared<qelutil::PocoHttpSessionFactory>();
    qelutil::ITaskExecutor::Shared callbackExecutor = std::make_shared<qelutil::SerialTaskExecutor>("test-callback");
    qelutil::ITaskExecutor::Shared httpExecutor = std::make_shared<qelutil::ThreadPoolTaskExecutor>(1, "test-http");
};

TEST_F(AccessorDevServerTest, CreateReadUpdateDeleteRoundTrip) {
    QelAccessor media = accessor(mediaTransport());

    Capture<std::shared_ptr<const qel::XObject<BodyDescriptor>>> created;
    media.createElement<BodyDescriptor>(BodyDescriptor("tracks", R"({"id":"t900","name":"Round Trip","duration":120})"),
                                        created.success(), created.error());
    ASSERT_EQ(1u, created.wait().values.size());
    EXPECT_EQ(HttpResponse::CREATED, created.wait().responses[0]->getStatusCode());
    EXPECT_EQ("t900", created.value()->getId().getValueOr(""));
    EXPECT_EQ("/api/media/tracks/t900", created.value()->getUri().getValueOr(""));
    ASSERT_NE(nullptr, server.getElement("media", "tracks", "t900"));
    EXPECT_EQ("Round Trip", server.getElement("media", "tracks", "t900")->getString("name"));

    Capture<std::shared_ptr<const Element>> read;
    media.getElement<Element>(track("t900"), read.success(), read.error());
    ASSERT_EQ(1u, read.wait().values.size());
    EXPECT_EQ(120, read.value()->json()->getLong("duration"));
    EXPECT_EQ("element", *read.wait().responses[0]->getType());
    EXPECT_EQ("media", *read.wait().responses[0]->getService());

    BodyDescriptor change("tracks", R"({"rating":4.5,"favorite":true})");
    change.setId("t900");
    Capture<ResponsePtr> updated;
    media.updateElement(change, updated.done(), updated.error());
    ASSERT_EQ(1u, updated.wait().values.size());
    const auto stored = server.getElement("media", "tracks", "t900");
    EXPECT_DOUBLE_EQ(4.5, stored->getDouble("rating"));
    EXPECT_TRUE(stored->getBool("favorite"));
    EXPECT_EQ("Round Trip", stored->getString("name")) << "an update merges, it does not replace";

    Capture<ResponsePtr> deleted;
    media.deleteElement(track("t900"), deleted.done(), deleted.error());
    ASSERT_EQ(1u, deleted.wait().values.size());
    EXPECT_EQ(nullptr, server.getElement("media", "tracks", "t900"));

    // Error statuses and failures reach the error callbacks only.
    qeldev::HttpFault unavailable;
    unavailable.path = "/api/media/tracks/t1";
    unavailable.method = "GET";
    unavailable.status = 503;
    unavailable.times = 1;
    server.addHttpFault(unavailable);
    const std::vector<std::pair<std::function<void(Capture<bool>&)>, int>> failing = {
        {[&](Capture<bool>& c) { media.getElement<Element>(track("t900"), c.any(), c.error()); }, 404},
        {[&](Capture<bool>& c) { media.deleteElement(track("t900"), c.any(), c.error()); }, 404},
        {[&](Capture<bool>& c) {
             media.createElement<BodyDescriptor>(BodyDescriptor("tracks", R"({"id":"t1","name":"Impostor"})"), c.any(),
                                                 c.error());
         },
         409},
        {[&](Capture<bool>& c) { media.readService(qel::QelServiceDescriptor("nosuch"), c.any(), c.error()); }, 404},
        {[&](Capture<bool>& c) { media.readResource<Element>(qel::XObjectDescriptor("media", "nosuch"), c.any(), c.error()); },
         404},
        {[&](Capture<bool>& c) { media.getElement<Element>(track("t1"), c.any(), c.error()); }, 503},
    };
    std::vector<Capture<bool>> captures(failing.size());
    for (std::size_t i = 0; i < failing.size(); ++i) failing[i].first(captures[i]);
    drainCallbacks(media);
    for (std::size_t i = 0; i < failing.size(); ++i) {
        auto& state = captures[i].wait();
        EXPECT_EQ(0u, state.values.size()) << i;
        ASSERT_EQ(1u, state.errors.size()) << i;
        EXPECT_EQ(failing[i].second, state.errors[0]->getStatusCode()) << i;
        EXPECT_EQ(nullptr, state.errors[0]->getHttpException()) << i;
    }
    EXPECT_NE("Impostor", server.getElement("media", "tracks", "t1")->getString("name"));
}

TEST_F(AccessorDevServerTest, ConcurrentReadsEachDeliverExactlyOnce) {
    auto pool = std::make_shared<qelutil::ThreadPoolTaskExecutor>(4, "test-pool");
    QelAccessor media("media", logs, callbackExecutor, pool, mediaTransport());
    constexpr int READS = 24;
    std::vector<Capture<std::shared_ptr<const Element>>> reads(READS);
    for (int i = 0; i < READS; ++i) media.getElement<Element>(track("t" + std::to_string(i + 1)), reads[i].success(), reads[i].error());
    for (int i = 0; i < READS; ++i) {
        ASSERT_EQ(1u, reads[i].wait().values.size());
        EXPECT_EQ("t" + std::to_string(i + 1), reads[i].value()->getId().getValueOr(""));
    }
    pool->shutdown();
    for (auto& read : reads) EXPECT_EQ(1u, read.wait().values.size() + read.wait().errors.size());
}

TEST_F(AccessorDevServerTest, PagedReadsAndTheirPagingObjects) {
    const std::vector<std::string> all = serverIds([](const JsonObject&) { return true; });
    ASSERT_EQ(60u, all.size());

    qel::QelResourceDescriptor page("media", "tracks");
    page.getQueryOptions().setPagingLimit(5);
    page.getQueryOptions().setPagingOffset(10);
    auto response = std::make_shared<QelResponse>();
    EXPECT_EQ(std::vector<std::string>(all.begin() + 10, all.begin() + 15), idsOf(readTracks(page, response)));
    const auto paging = response->getPaging();
    ASSERT_NE(nullptr, paging);
    EXPECT_EQ(paging->toString().substr(0, paging->toString().find(", offsetId")),
              "offset=10, limit=5, total=60, totalPages=12");
    EXPECT_TRUE(paging->previous.isValid() && paging->next.isValid() && paging->isPagingEnabled());

    // Walking the pages visits every element once, in order, and the last
    // page has no next link.
    std::vector<std::string> walked;
    qel::QelResourceDescriptor walk("media", "tracks");
    walk.getQueryOptions().setPagingLimit(7);
    for (int64_t offset = 0, pages = 0; pages < 20; ++pages, offset += 7) {
        walk.getQueryOptions().setPagingOffset(offset);
        auto pageResponse = std::make_shared<QelResponse>();
        const auto ids = idsOf(readTracks(walk, pageResponse));
        walked.insert(walked.end(), ids.begin(), ids.end());
        ASSERT_NE(nullptr, pageResponse->getPaging());
        if (!pageResponse->getPaging()->next) break;
    }
    EXPECT_EQ(all, walked);

    qel::QelResourceDescriptor byId("media", "tracks");
    byId.getQueryOptions().setPagingLimit(3);
    byId.getQueryOptions().setPagingOffsetUuid(all[19]);
    auto byIdResponse = std::make_shared<QelResponse>();
    EXPECT_EQ(std::vector<std::string>(all.begin() + 19, all.begin() + 22), idsOf(readTracks(byId, byIdResponse)));
    ASSERT_NE(nullptr, byIdResponse->getPaging());
    EXPECT_EQ(all[19], byIdResponse->getPaging()->offsetId.getValueOr(""));
    EXPECT_EQ(19, byIdResponse->getPaging()->offset.getValueOr(-1));

    qel::QelResourceDescriptor totals("media", "tracks");
    totals.getQueryOptions().setPagingLimit(0);
    auto totalsResponse = std::make_shared<QelResponse>();
    EXPECT_TRUE(readTracks(totals, totalsResponse).empty());
    ASSERT_NE(nullptr, totalsResponse->getPaging());
    EXPECT_EQ(60, totalsResponse->getPaging()->total.getValueOr(-1));

    // The accessor's resource read sends only the names: all 60 come back.
    QelAccessor media = accessor(mediaTransport());
    qel::XObjectDescriptor descriptor("media", "tracks");
    descriptor.getQueryOptions().setPagingLimit(5);
    descriptor.getQelFilter().add("genre", "jazz");
    Capture<std::vector<std::shared_ptr<const Element>>> read;
    media.readResource<Element>(descriptor, read.success(), read.error());
    ASSERT_EQ(1u, read.wait().values.size());
    EXPECT_EQ(60u, read.value().size());
    ASSERT_NE(nullptr, read.wait().responses[0]->getPaging());
    EXPECT_EQ(60, read.wait().responses[0]->getPaging()->total.getValueOr(-1));
}

TEST_F(AccessorDevServerTest, PropertyFiltersAndFields) {
    // Reserved characters in a value travel encoded and match exactly.
    const std::string awkward = "Rock & Roll, Part 2?=%";
    auto element = JsonFactory::createJsonObject();
    element->setString("id", "awkward");
    element->setString("name", awkward);
    server.createElement("media", "tracks", *element);
    const int64_t year = server.getElements("media", "tracks").at(20)->getLong("year");
    auto genre = [](std::set<std::string> genres) {
        return [genres](const JsonObject& e) { return e.has("genre") && genres.count(e.getString("genre")) > 0; };
    };
    struct Case {
        std::function<void(qel::QelFilter&)> filter;
        std::function<bool(const JsonObject&)> expected;
    };
    const std::vector<Case> cases = {
        {[](qel::QelFilter& f) { f.add("genre", "jazz"); }, genre({"jazz"})},
        {[](qel::QelFilter& f) { f.add("genre", std::vector<std::string>{"jazz", "rock"}); }, genre({"jazz", "rock"})},
        {[year](qel::QelFilter& f) {
             f.add("year", year);
             f.add("favorite", true);
         },
         [year](const JsonObject& e) { return e.has("year") && e.getLong("year") == year && e.getBool("favorite"); }},
        {[&](qel::QelFilter& f) { f.add("name", awkward); },
         [&](const JsonObject& e) { return e.getString("name") == awkward; }},
    };
    for (const Case& c : cases) {
        qel::QelResourceDescriptor descriptor("media", "tracks");
        c.filter(descriptor.getQelFilter());
        auto response = std::make_shared<QelResponse>();
        const auto expected = serverIds(c.expected);
        ASSERT_FALSE(expected.empty()) << descriptor.createPropertySearchString();
        EXPECT_EQ(expected, idsOf(readTracks(descriptor, response))) << descriptor.createPropertySearchString();
        EXPECT_EQ(HttpResponse::OK, response->getStatusCode());
    }

    qel::QelResourceDescriptor fields("media", "tracks");
    fields.getQueryOptions().setFieldsFilter({"artist"});
    fields.getQueryOptions().setPagingLimit(4);
    auto response = std::make_shared<QelResponse>();
    const auto narrowed = readTracks(fields, response);
    ASSERT_EQ(4u, narrowed.size());
    for (const auto& object : narrowed) {
        const auto keys = dynamic_cast<const Element&>(*object).json()->getKeys();
        EXPECT_EQ((std::set<std::string>{"id", "name", "uri", "artist"}),
                  std::set<std::string>(keys.begin(), keys.end()));
    }

    qel::XObjectDescriptor first("media", "tracks");
    first.getQelFilter().add("genre", "jazz");
    const auto found = mediaTransport()->findFirst(&makeElement, first, std::make_shared<QelResponse>());
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(serverIds(genre({"jazz"})).front(), found->getId().getValueOr(""));
}

TEST_F(AccessorDevServerTest, RegistryRootBecomesServiceRegistryServices) {
    QelAccessor registry("ServiceRegistry", logs, callbackExecutor, httpExecutor, registryTransport());
    Capture<std::vector<std::shared_ptr<qel::ServiceRegistryService>>> root;
    registry.readRoot(qel::XObjectDescriptor(), root.success(), root.error());
    ASSERT_EQ(1u, root.wait().values.size());
    const auto services = root.value();
    ASSERT_EQ(3u, services.size());
    EXPECT_EQ("media navigation climate", services[0]->getName().getValueOr("") + " " +
                                              services[1]->getName().getValueOr("") + " " +
                                              services[2]->getName().getValueOr(""));
    const auto& media = *services[0];
    EXPECT_EQ(server.service("media").port, media.getPort().getValueOr(0));
    EXPECT_EQ("/api/media/", media.getUri().getValueOr(""));
    EXPECT_EQ("/api/", media.getPath().getValueOr("")) << "the path is cut before the service name";
    EXPECT_FALSE(media.getHost().isValid());
    EXPECT_FALSE(media.isResolved());
    EXPECT_EQ("Music library", media.getDescription().getValueOr(""));
    EXPECT_EQ(std::vector<std::string>{"1.0"}, media.getVersions().getValueOr({}));
    // A service listed with an absolute uri keeps its origin in the path.
    EXPECT_EQ(server.service("navigation").baseUri(), services[1]->getPath().getValueOr(""));

    // Built the way a registry client builds them, the entries get its default host.
    auto logger =
        std::make_shared<qelutil::StreamingLogger>(std::shared_ptr<qelutil::ILogger>(logs->createLogger("test")));
    const auto withHost = registryTransport()->readRoot(
        [logger](JsonObject::Shared json) -> qel::IXObject::Unique {
            return std::make_unique<qel::ServiceRegistryService>(std::move(json), "127.0.0.1", logger);
        },
        qel::XObjectDescriptor(), std::make_shared<QelResponse>());
    ASSERT_EQ(3u, withHost.size());
    for (const auto& object : withHost) {
        const auto& service = dynamic_cast<const qel::ServiceRegistryService&>(*object);
        EXPECT_EQ("127.0.0.1", service.getHost().getValueOr(""));
        EXPECT_EQ(server.service(service.getName().getValue()).port, service.getPort().getValueOr(0));
    }
}

TEST_F(AccessorDevServerTest, ResolveServiceAnswersEntryRedirectAndChoices) {
    const auto registry = registryTransport();
    struct Case {
        std::string name;
        int status;
        std::string location;
        std::size_t choices;  // -1: none
    };
    const std::vector<Case> cases = {
        {"media", HttpResponse::OK, "", std::size_t(-1)},
        {"navigation", HttpResponse::TEMPORARY_REDIRECT, server.service("navigation").baseUri(), std::size_t(-1)},
        {"climate", HttpResponse::MULTIPLE_CHOICES, "", 2},
        {"nosuchservice", HttpResponse::NOT_FOUND, "", std::size_t(-1)},
    };
    std::vector<std::shared_ptr<QelResponse>> responses;
    for (const Case& c : cases) {
        responses.push_back(std::make_shared<QelResponse>());
        registry->resolveService(c.name, responses.back());
        EXPECT_EQ(c.status, responses.back()->getStatusCode()) << c.name;
        EXPECT_EQ(c.location, responses.back()->getLocation().getValueOr("")) << c.name;
        const auto list = responses.back()->getMultipleChoices();
        EXPECT_EQ(c.choices, list ? list->size() : std::size_t(-1)) << c.name;
    }
    EXPECT_EQ("resolve", *responses[0]->getEvent());
    EXPECT_EQ("registry", *responses[0]->getType());
    EXPECT_TRUE(logs->capture().contains(qelutil::ILogger::INFO, "HTTP Response: Status HTTP_TEMPORARY_REDIRECT"));
    EXPECT_TRUE(logs->capture().contains(qelutil::ILogger::WARNING, "HTTP Response: Status HTTP_MULTIPLE_CHOICES"));
    const auto& list = *responses[2]->getMultipleChoices();
    ASSERT_TRUE(list[0].hostAddress && list[1].hostAddress && list[1].versions);
    EXPECT_EQ("http://192.0.2.10:8080/api/", *list[0].hostAddress);
    EXPECT_EQ(server.service("climate").baseUri(), *list[1].hostAddress);
    EXPECT_EQ("1.1", *list[1].versions);
}

TEST_F(AccessorDevServerTest, BrokenRepliesAndRefusedConnectionsFailTheExchange) {
    QelAccessor media = accessor(mediaTransport());
    // A 200 reply that is not JSON fails the exchange itself.
    qeldev::HttpFault garbage;
    garbage.path = "/api/media/";
    garbage.status = 200;
    garbage.body = "{not json";
    garbage.times = 1;
    server.addHttpFault(garbage);
    Capture<bool> malformed;
    media.readService(qel::QelServiceDescriptor("media"), malformed.any(), malformed.error());
    malformed.wait();
    drainCallbacks(media);
    ASSERT_EQ(1u, malformed.wait().errors.size());
    EXPECT_EQ(0u, malformed.wait().values.size());
    ASSERT_NE(nullptr, malformed.wait().errors[0]->getHttpException());
    EXPECT_NE(std::string::npos, std::string(malformed.wait().errors[0]->getHttpException()->what()).find("read service failed"));

    // Refused connections: no status at all, the failure in httpException;
    // once the refusal ends the same read succeeds.
    server.refuseConnections(std::chrono::seconds(30));
    const auto media2 = server.service("media");
    QelAccessor refused = accessor(transport("media", media2.origin, media2.basePath,
                                             std::make_shared<qelutil::PocoHttpSessionFactory>()));
    Capture<bool> noConnection;
    refused.readService(qel::QelServiceDescriptor("media"), noConnection.any(), noConnection.error());
    ASSERT_EQ(1u, noConnection.wait().errors.size());
    EXPECT_EQ(HttpResponse::OTHER, noConnection.wait().errors[0]->getStatusCode());
    EXPECT_NE(nullptr, noConnection.wait().errors[0]->getHttpException());

    server.clearFaults();
    Capture<std::vector<std::shared_ptr<qel::QelService>>> recovered;
    refused.readService(qel::QelServiceDescriptor("media"), recovered.success(), recovered.error());
    ASSERT_EQ(1u, recovered.wait().values.size());
    EXPECT_EQ(2u, recovered.value().size());
}

}  // namespace
