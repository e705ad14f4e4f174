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
    auto success() {
        return [state = m_state](T value, ResponsePtr response) {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->values.push_back(std::move(value));
            state->responses.push_back(std::move(response));
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
    bool waitForAny() {
        return qeltest::waitFor([this] { return successes() + errors() > 0; });
    }
    std::size_t successes() {
        return locked([](State& s) { return s.values.size(); });
    }
    std::size_t errors() {
        return locked([](State& s) { return s.errors.size(); });
    }
    T value() {
        return locked([](State& s) { return s.values.at(0); });
    }
    ResponsePtr response() {
        return locked([](State& s) { return s.responses.at(0); });
    }
    ResponsePtr errorResponse() {
        return locked([](State& s) { return s.errors.at(0); });
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<T> values;
        std::vector<ResponsePtr> responses;
        std::vector<ResponsePtr> errors;
    };

    template <typename F>
    auto locked(F read) {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return read(*m_state);
    }

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
        Capture<std::vector<std::shared_ptr<qel::QelService>>> barrier;
        media.readService(qel::QelServiceDescriptor("media"), barrier.success(), barrier.error());
        ASSERT_TRUE(barrier.waitForAny());
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
    ASSERT_TRUE(created.waitForAny());
    ASSERT_EQ(1u, created.successes());
    EXPECT_EQ(HttpResponse::CREATED, created.response()->getStatusCode());
    EXPECT_EQ("t900", created.value()->getId().getValueOr(""));
    EXPECT_EQ("/api/media/tracks/t900", created.value()->getUri().getValueOr(""));
    ASSERT_NE(nullptr, server.getElement("media", "tracks", "t900"));
    EXPECT_EQ("Round Trip", server.getElement("media", "tracks", "t900")->getString("name"));

    qel::XObjectDescriptor element("media", "tracks");
    element.setId("t900");
    Capture<std::shared_ptr<const Element>> read;
    media.getElement<Element>(element, read.success(), read.error());
    ASSERT_TRUE(read.waitForAny());
    ASSERT_EQ(1u, read.successes());
    EXPECT_EQ(120, read.value()->json()->getLong("duration"));
    EXPECT_EQ("element", *read.response()->getType());
    EXPECT_EQ("media", *read.response()->getService());

    BodyDescriptor change("tracks", R"({"rating":4.5,"favorite":true})");
    change.setId("t900");
    Capture<ResponsePtr> updated;
    media.updateElement(change, updated.done(), updated.error());
    ASSERT_TRUE(updated.waitForAny());
    ASSERT_EQ(1u, updated.successes());
    const auto stored = server.getElement("media", "tracks", "t900");
    EXPECT_DOUBLE_EQ(4.5, stored->getDouble("rating"));
    EXPECT_TRUE(stored->getBool("favorite"));
    EXPECT_EQ("Round Trip", stored->getString("name")) << "an update merges, it does not replace";

    Capture<ResponsePtr> deleted;
    media.deleteElement(element, deleted.done(), deleted.error());
    ASSERT_TRUE(deleted.waitForAny());
    ASSERT_EQ(1u, deleted.successes());
    EXPECT_EQ(nullptr, server.getElement("media", "tracks", "t900"));

    Capture<std::shared_ptr<const Element>> gone;
    media.getElement<Element>(element, gone.success(), gone.error());
    Capture<ResponsePtr> deletedAgain;
    media.deleteElement(element, deletedAgain.done(), deletedAgain.error());
    Capture<std::shared_ptr<const qel::XObject<BodyDescriptor>>> duplicate;
    media.createElement<BodyDescriptor>(BodyDescriptor("tracks", R"({"id":"t1","name":"Impostor"})"),
                                        duplicate.success(), duplicate.error());
    drainCallbacks(media);
    ASSERT_EQ(1u, gone.errors());
    EXPECT_EQ(0u, gone.successes());
    EXPECT_EQ(HttpResponse::NOT_FOUND, gone.errorResponse()->getStatusCode());
    ASSERT_EQ(1u, deletedAgain.errors());
    EXPECT_EQ(HttpResponse::NOT_FOUND, deletedAgain.errorResponse()->getStatusCode());
    ASSERT_EQ(1u, duplicate.errors());
    EXPECT_EQ(0u, duplicate.successes());
    EXPECT_EQ(HttpResponse::CONFLICT, duplicate.errorResponse()->getStatusCode());
    EXPECT_NE("Impostor", server.getElement("media", "tracks", "t1")->getString("name"));
}

TEST_F(AccessorDevServerTest, ConcurrentReadsEachDeliverExactlyOnce) {
    auto pool = std::make_shared<qelutil::ThreadPoolTaskExecutor>(4, "test-pool");
    QelAccessor media("media", logs, callbackExecutor, pool, mediaTransport());
    constexpr int READS = 24;
    std::vector<std::unique_ptr<Capture<std::shared_ptr<const Element>>>> reads;
    for (int i = 1; i <= READS; ++i) {
        qel::XObjectDescriptor element("media", "tracks");
        element.setId("t" + std::to_string(i));
        reads.push_back(std::make_unique<Capture<std::shared_ptr<const Element>>>());
        media.getElement<Element>(element, reads.back()->success(), reads.back()->error());
    }
    for (int i = 0; i < READS; ++i) {
        ASSERT_TRUE(reads[i]->waitForAny());
        ASSERT_EQ(1u, reads[i]->successes());
        EXPECT_EQ("t" + std::to_string(i + 1), reads[i]->value()->getId().getValueOr(""));
    }
    pool->shutdown();
    for (const auto& read : reads) EXPECT_EQ(1u, read->successes() + read->errors());
}

TEST_F(AccessorDevServerTest, PagedReadsAndTheirPagingObjects) {
    const std::vector<std::string> all = serverIds([](const JsonObject&) { return true; });
    ASSERT_EQ(60u, all.size());

    qel::QelResourceDescriptor page("media", "tracks");
    page.getQueryOptions().setPagingLimit(5);
    page.getQueryOptions().setPagingOffset(10);
    auto response = std::make_shared<QelResponse>();
    const auto elements = readTracks(page, response);
    EXPECT_EQ(std::vector<std::string>(all.begin() + 10, all.begin() + 15), idsOf(elements));
    const auto paging = response->getPaging();
    ASSERT_NE(nullptr, paging);
    EXPECT_EQ(10, paging->offset.getValueOr(-1));
    EXPECT_EQ(5, paging->limit.getValueOr(-1));
    EXPECT_EQ(60, paging->total.getValueOr(-1));
    EXPECT_EQ(12, paging->totalPages.getValueOr(-1));
    EXPECT_TRUE(paging->previous.isValid());
    EXPECT_TRUE(paging->next.isValid());
    EXPECT_TRUE(paging->isPagingEnabled());

    // Walking the pages visits every element once, in order, and the last
    // page has no next link.
    std::vector<std::string> walked;
    qel::QelResourceDescriptor walk("media", "tracks");
    walk.getQueryOptions().setPagingLimit(7);
    for (int64_t offset = 0, pages = 0; pages < 20; ++pages) {
        walk.getQueryOptions().setPagingOffset(offset);
        auto pageResponse = std::make_shared<QelResponse>();
        const auto ids = idsOf(readTracks(walk, pageResponse));
        walked.insert(walked.end(), ids.begin(), ids.end());
        ASSERT_NE(nullptr, pageResponse->getPaging());
        if (!pageResponse->getPaging()->next) break;
        offset += 7;
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
}

TEST_F(AccessorDevServerTest, AccessorResourceReadSendsOnlyTheNames) {
    QelAccessor media = accessor(mediaTransport());
    qel::XObjectDescriptor descriptor("media", "tracks");
    descriptor.getQueryOptions().setPagingLimit(5);
    descriptor.getQelFilter().add("genre", "jazz");
    Capture<std::vector<std::shared_ptr<const Element>>> read;
    media.readResource<Element>(descriptor, read.success(), read.error());
    ASSERT_TRUE(read.waitForAny());
    ASSERT_EQ(1u, read.successes());
    EXPECT_EQ(60u, read.value().size());
    ASSERT_NE(nullptr, read.response()->getPaging());
    EXPECT_EQ(60, read.response()->getPaging()->total.getValueOr(-1));
}

TEST_F(AccessorDevServerTest, PropertyFiltersAndFields) {
    auto readIds = [this](const qel::QelResourceDescriptor& descriptor) {
        auto response = std::make_shared<QelResponse>();
        auto ids = idsOf(readTracks(descriptor, response));
        EXPECT_EQ(HttpResponse::OK, response->getStatusCode());
        return ids;
    };

    qel::QelResourceDescriptor jazz("media", "tracks");
    jazz.getQelFilter().add("genre", "jazz");
    const auto expectedJazz = serverIds([](const JsonObject& e) { return e.getString("genre") == "jazz"; });
    ASSERT_FALSE(expectedJazz.empty());
    EXPECT_EQ(expectedJazz, readIds(jazz));

    qel::QelResourceDescriptor either("media", "tracks");
    either.getQelFilter().add("genre", std::vector<std::string>{"jazz", "rock"});
    EXPECT_EQ(
        serverIds([](const JsonObject& e) { return e.getString("genre") == "jazz" || e.getString("genre") == "rock"; }),
        readIds(either));

    const int64_t year = server.getElements("media", "tracks").at(20)->getLong("year");
    qel::QelResourceDescriptor favouritesOfYearQuery("media", "tracks");
    favouritesOfYearQuery.getQelFilter().add("year", year);
    favouritesOfYearQuery.getQelFilter().add("favorite", true);
    const auto favouritesOfYear =
        serverIds([year](const JsonObject& e) { return e.getLong("year") == year && e.getBool("favorite"); });
    ASSERT_FALSE(favouritesOfYear.empty());
    EXPECT_EQ(favouritesOfYear, readIds(favouritesOfYearQuery));

    // Reserved characters in a value travel encoded and match exactly.
    const std::string awkward = "Rock & Roll, Part 2?=%";
    auto element = JsonFactory::createJsonObject();
    element->setString("id", "awkward");
    element->setString("name", awkward);
    server.createElement("media", "tracks", *element);
    qel::QelResourceDescriptor byName("media", "tracks");
    byName.getQelFilter().add("name", awkward);
    EXPECT_EQ(std::vector<std::string>{"awkward"}, readIds(byName));

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
    auto firstResponse = std::make_shared<QelResponse>();
    const auto found = mediaTransport()->findFirst(&makeElement, first, firstResponse);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(expectedJazz.front(), found->getId().getValueOr(""));
}

TEST_F(AccessorDevServerTest, RegistryRootBecomesServiceRegistryServices) {
    QelAccessor registry("ServiceRegistry", logs, callbackExecutor, httpExecutor, registryTransport());
    Capture<std::vector<std::shared_ptr<qel::ServiceRegistryService>>> root;
    registry.readRoot(qel::XObjectDescriptor(), root.success(), root.error());
    ASSERT_TRUE(root.waitForAny());
    ASSERT_EQ(1u, root.successes());
    const auto services = root.value();
    ASSERT_EQ(3u, services.size());
    EXPECT_EQ("media", services[0]->getName().getValueOr(""));
    EXPECT_EQ("navigation", services[1]->getName().getValueOr(""));
    EXPECT_EQ("climate", services[2]->getName().getValueOr(""));
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
    auto response = std::make_shared<QelResponse>();
    const auto withHost = registryTransport()->readRoot(
        [logger](JsonObject::Shared json) -> qel::IXObject::Unique {
            return std::make_unique<qel::ServiceRegistryService>(std::move(json), "127.0.0.1", logger);
        },
        qel::XObjectDescriptor(), response);
    ASSERT_EQ(3u, withHost.size());
    for (const auto& object : withHost) {
        const auto& service = dynamic_cast<const qel::ServiceRegistryService&>(*object);
        EXPECT_EQ("127.0.0.1", service.getHost().getValueOr(""));
        EXPECT_EQ(server.service(service.getName().getValue()).port, service.getPort().getValueOr(0));
    }
}

TEST_F(AccessorDevServerTest, ResolveServiceAnswersEntryRedirectAndChoices) {
    const auto registry = registryTransport();

    auto entry = std::make_shared<QelResponse>();
    registry->resolveService("media", entry);
    EXPECT_EQ(HttpResponse::OK, entry->getStatusCode());
    EXPECT_EQ("resolve", *entry->getEvent());
    EXPECT_EQ("registry", *entry->getType());
    EXPECT_FALSE(entry->getLocation().isValid());
    EXPECT_EQ(nullptr, entry->getMultipleChoices());

    auto redirect = std::make_shared<QelResponse>();
    registry->resolveService("navigation", redirect);
    EXPECT_EQ(HttpResponse::TEMPORARY_REDIRECT, redirect->getStatusCode());
    EXPECT_EQ(server.service("navigation").baseUri(), redirect->getLocation().getValueOr(""));
    EXPECT_TRUE(logs->capture().contains(qelutil::ILogger::INFO, "HTTP Response: Status HTTP_TEMPORARY_REDIRECT"));

    auto choices = std::make_shared<QelResponse>();
    registry->resolveService("climate", choices);
    EXPECT_EQ(HttpResponse::MULTIPLE_CHOICES, choices->getStatusCode());
    const auto list = choices->getMultipleChoices();
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(2u, list->size());
    ASSERT_TRUE((*list)[0].hostAddress && (*list)[1].hostAddress && (*list)[1].versions);
    EXPECT_EQ("http://192.0.2.10:8080/api/", *(*list)[0].hostAddress);
    EXPECT_EQ(server.service("climate").baseUri(), *(*list)[1].hostAddress);
    EXPECT_EQ("1.1", *(*list)[1].versions);
    EXPECT_TRUE(logs->capture().contains(qelutil::ILogger::WARNING, "HTTP Response: Status HTTP_MULTIPLE_CHOICES"));

    auto unknown = std::make_shared<QelResponse>();
    registry->resolveService("nosuchservice", unknown);
    EXPECT_EQ(HttpResponse::NOT_FOUND, unknown->getStatusCode());
    EXPECT_FALSE(unknown->getLocation().isValid());
    EXPECT_EQ(nullptr, unknown->getMultipleChoices());
}

TEST_F(AccessorDevServerTest, ErrorStatusesAndFailuresReachTheErrorCallbacks) {
    QelAccessor media = accessor(mediaTransport());

    Capture<std::vector<std::shared_ptr<qel::QelService>>> unknownService;
    media.readService(qel::QelServiceDescriptor("nosuch"), unknownService.success(), unknownService.error());
    Capture<std::vector<std::shared_ptr<const Element>>> unknownResource;
    media.readResource<Element>(qel::XObjectDescriptor("media", "nosuch"), unknownResource.success(),
                                unknownResource.error());

    qeldev::HttpFault unavailable;
    unavailable.path = "/api/media/tracks/t1";
    unavailable.method = "GET";
    unavailable.status = 503;
    unavailable.times = 1;
    server.addHttpFault(unavailable);
    qel::XObjectDescriptor t1("media", "tracks");
    t1.setId("t1");
    Capture<std::shared_ptr<const Element>> injected;
    media.getElement<Element>(t1, injected.success(), injected.error());

    drainCallbacks(media);
    ASSERT_EQ(1u, unknownService.errors());
    EXPECT_EQ(0u, unknownService.successes());
    EXPECT_EQ(HttpResponse::NOT_FOUND, unknownService.errorResponse()->getStatusCode());
    EXPECT_EQ(nullptr, unknownService.errorResponse()->getHttpException());
    ASSERT_EQ(1u, unknownResource.errors());
    EXPECT_EQ(HttpResponse::NOT_FOUND, unknownResource.errorResponse()->getStatusCode());
    ASSERT_EQ(1u, injected.errors());
    EXPECT_EQ(0u, injected.successes());
    EXPECT_EQ(503, injected.errorResponse()->getStatusCode());

    // A 200 reply that is not JSON fails the exchange itself.
    qeldev::HttpFault garbage;
    garbage.path = "/api/media/";
    garbage.status = 200;
    garbage.body = "{not json";
    garbage.times = 1;
    server.addHttpFault(garbage);
    Capture<std::vector<std::shared_ptr<qel::QelService>>> malformed;
    media.readService(qel::QelServiceDescriptor("media"), malformed.success(), malformed.error());
    ASSERT_TRUE(malformed.waitForAny());
    drainCallbacks(media);
    ASSERT_EQ(1u, malformed.errors());
    EXPECT_EQ(0u, malformed.successes());
    ASSERT_NE(nullptr, malformed.errorResponse()->getHttpException());
    EXPECT_NE(std::string::npos,
              std::string(malformed.errorResponse()->getHttpException()->what()).find("read service failed"));

    // Refused connections: no status at all, the failure in httpException;
    // once the refusal ends the same read succeeds.
    server.refuseConnections(std::chrono::seconds(30));
    const auto fresh = std::make_shared<qelutil::PocoHttpSessionFactory>();
    const auto media2 = server.service("media");
    QelAccessor refused = accessor(transport("media", media2.origin, media2.basePath, fresh));
    Capture<std::vector<std::shared_ptr<qel::QelService>>> noConnection;
    refused.readService(qel::QelServiceDescriptor("media"), noConnection.success(), noConnection.error());
    ASSERT_TRUE(noConnection.waitForAny());
    ASSERT_EQ(1u, noConnection.errors());
    EXPECT_EQ(HttpResponse::OTHER, noConnection.errorResponse()->getStatusCode());
    EXPECT_NE(nullptr, noConnection.errorResponse()->getHttpException());

    server.clearFaults();
    Capture<std::vector<std::shared_ptr<qel::QelService>>> recovered;
    refused.readService(qel::QelServiceDescriptor("media"), recovered.success(), recovered.error());
    ASSERT_TRUE(recovered.waitForAny());
    ASSERT_EQ(1u, recovered.successes());
    EXPECT_EQ(2u, recovered.value().size());
}

}  // namespace
