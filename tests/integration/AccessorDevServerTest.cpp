// The accessor and the HTTP transport against the in-process reference
// server: element round trips, paging, filters, the registry's root, and
// error statuses and failures reaching the error callbacks.

#include <qeldev/DevServer.h>

#include <support/CapturingLoggerFactory.h>
#include <support/WaitFor.h>

#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/QelAccessor.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelResponse.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

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
    BodyDescriptor(const std::string& resource, const std::string& body, const std::string& id = "")
        : XObjectDescriptor("media", resource), m_body(JsonFactory::parseObject(body)) {
        if (!id.empty()) setId(id);
    }
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

    qel::ITpAccess::Shared mediaTransport() {
        const auto media = server.service("media");
        auto config = std::make_shared<qel::ConfigManager>();
        config->setDefaultConfig(qel::ConfigManager::ServiceConfig(media.origin, media.basePath, true,
                                                                   std::chrono::milliseconds(0),
                                                                   std::chrono::milliseconds(0)));
        return qel::HttpAccessFactory(sessionFactory).createTpAccess("media", config, logs);
    }

    QelAccessor accessor(qel::ITpAccess::Shared access) {
        return QelAccessor("media", logs, callbackExecutor, httpExecutor, std::move(access));
    }

    static qel::XObjectDescriptor track(const std::string& id) {
        qel::XObjectDescriptor element("media", "tracks");
        element.setId(id);
        return element;
    }

    std::vector<qel::IXObject::Unique> readTracks(const qel::QelResourceDescriptor& descriptor,
                                                  const std::shared_ptr<QelResponse>& response) {
        return mediaTransport()->readResource(&makeElement, descriptor, response);
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> logs = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeldev::DevServer server;
    qelutil::IHttpSessionFactory::Shared sessionFactory = std::make_shared<qelutil::PocoHttpSessionFactory>();
    std::shared_ptr<qelutil::SerialTaskExecutor> callbackExecutor =
        std::make_shared<qelutil::SerialTaskExecutor>("test-callback");
    qelutil::ITaskExecutor::Shared httpExecutor = std::make_shared<qelutil::ThreadPoolTaskExecutor>(1, "test-http");
};

TEST_F(AccessorDevServerTest, CreateReadUpdateDeleteRoundTripAndErrorsReachOnlyTheErrorCallbacks) {
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

    // Callbacks run on the callback executor's thread.
    Capture<std::shared_ptr<const Element>> read;
    std::atomic<bool> onCallbackThread{false};
    media.getElement<Element>(
        track("t900"),
        [&, record = read.success()](std::shared_ptr<const Element> element, ResponsePtr response) {
            onCallbackThread = callbackExecutor->isWorkerThread();
            record(std::move(element), std::move(response));
        },
        read.error());
    ASSERT_EQ(1u, read.wait().values.size());
    EXPECT_TRUE(onCallbackThread);
    EXPECT_EQ(120, read.value()->json()->getLong("duration"));

    Capture<bool> updated;
    media.updateElement(BodyDescriptor("tracks", R"({"rating":4.5,"favorite":true})", "t900"), updated.any(),
                        updated.error());
    ASSERT_EQ(1u, updated.wait().values.size());
    const auto stored = server.getElement("media", "tracks", "t900");
    EXPECT_DOUBLE_EQ(4.5, stored->getDouble("rating"));
    EXPECT_TRUE(stored->getBool("favorite"));
    EXPECT_EQ("Round Trip", stored->getString("name")) << "an update merges, it does not replace";

    Capture<bool> deleted;
    media.deleteElement(track("t900"), deleted.any(), deleted.error());
    ASSERT_EQ(1u, deleted.wait().values.size());
    EXPECT_EQ(nullptr, server.getElement("media", "tracks", "t900"));

    // Error statuses, and a 200 reply that is not JSON, reach the error callbacks only.
    server.addHttpFault({"/api/media/tracks/t1", "GET", 503, "", {}, 1});
    server.addHttpFault({"/api/media/", "GET", 200, "{not json", {}, 1});
    struct Case {
        std::function<void(Capture<bool>&)> call;
        int status;
        std::string failure;  // empty: no exception
    };
    const std::vector<Case> failing = {
        {[&](Capture<bool>& c) { media.getElement<Element>(track("t900"), c.any(), c.error()); }, 404, ""},
        {[&](Capture<bool>& c) {
             media.createElement<BodyDescriptor>(BodyDescriptor("tracks", R"({"id":"t1","name":"Impostor"})"), c.any(),
                                                 c.error());
         },
         409, ""},
        {[&](Capture<bool>& c) { media.getElement<Element>(track("t1"), c.any(), c.error()); }, 503, ""},
        {[&](Capture<bool>& c) { media.readService(qel::QelServiceDescriptor("media"), c.any(), c.error()); }, 200,
         "read service failed"},
    };
    std::vector<Capture<bool>> captures(failing.size());
    for (std::size_t i = 0; i < failing.size(); ++i) failing[i].call(captures[i]);
    // The HTTP executor has one worker and the callback executor keeps order:
    // once this read's callback ran, every earlier callback ran.
    Capture<bool> barrier;
    media.readService(qel::QelServiceDescriptor("media"), barrier.any(), barrier.error());
    ASSERT_EQ(1u, barrier.wait().values.size());
    for (std::size_t i = 0; i < failing.size(); ++i) {
        auto& state = captures[i].wait();
        EXPECT_EQ(0u, state.values.size()) << i;
        ASSERT_EQ(1u, state.errors.size()) << i;
        EXPECT_EQ(failing[i].status, state.errors[0]->getStatusCode()) << i;
        const auto exception = state.errors[0]->getHttpException();
        EXPECT_EQ(failing[i].failure.empty(), exception == nullptr) << i;
        EXPECT_TRUE(!exception || std::string(exception->what()).find(failing[i].failure) != std::string::npos);
    }
    EXPECT_NE("Impostor", server.getElement("media", "tracks", "t1")->getString("name"));

}

TEST_F(AccessorDevServerTest, ConcurrentReadsEachDeliverExactlyOnce) {
    auto pool = std::make_shared<qelutil::ThreadPoolTaskExecutor>(4, "test-pool");
    QelAccessor media("media", logs, callbackExecutor, pool, mediaTransport());
    constexpr int READS = 24;
    std::vector<Capture<std::shared_ptr<const Element>>> reads(READS);
    for (int i = 0; i < READS; ++i)
        media.getElement<Element>(track("t" + std::to_string(i + 1)), reads[i].success(), reads[i].error());
    for (int i = 0; i < READS; ++i) {
        ASSERT_EQ(1u, reads[i].wait().values.size());
        EXPECT_EQ("t" + std::to_string(i + 1), reads[i].value()->getId().getValueOr(""));
    }
    pool->shutdown();
    for (auto& read : reads) EXPECT_EQ(1u, read.wait().values.size() + read.wait().errors.size());
}

TEST_F(AccessorDevServerTest, PagedAndFilteredReads) {
    std::vector<std::string> all;
    for (const auto& element : server.getElements("media", "tracks")) all.push_back(element->getString("id"));
    ASSERT_EQ(60u, all.size());
    struct Case {
        int64_t limit;
        int64_t offset;  // -1: by the id at `first`
        std::size_t first;
        std::size_t count;
        std::string paging;  // the paging object's text up to its offsetId
    };
    const std::vector<Case> cases = {
        {5, 10, 10, 5, "offset=10, limit=5, total=60, totalPages=12"},
        {3, -1, 19, 3, "offset=19, limit=3, total=60, totalPages=20"},
        {0, 0, 0, 0, "offset=0, limit=0, total=60, totalPages=1"},
    };
    for (const Case& c : cases) {
        qel::QelResourceDescriptor page("media", "tracks");
        page.getQueryOptions().setPagingLimit(c.limit);
        if (c.offset >= 0) page.getQueryOptions().setPagingOffset(c.offset);
        if (c.offset < 0) page.getQueryOptions().setPagingOffsetUuid(all[c.first]);
        auto response = std::make_shared<QelResponse>();
        EXPECT_EQ(std::vector<std::string>(all.begin() + c.first, all.begin() + c.first + c.count),
                  idsOf(readTracks(page, response)));
        ASSERT_NE(nullptr, response->getPaging());
        const std::string text = response->getPaging()->toString();
        EXPECT_EQ(c.paging, text.substr(0, text.find(", offsetId")));
        EXPECT_TRUE(c.offset >= 0 || all[c.first] == response->getPaging()->offsetId.getValueOr(""));
    }

    // Reserved characters in a filter value travel encoded and match exactly.
    const std::string awkward = "Rock & Roll, Part 2?=%";
    auto element = JsonFactory::createJsonObject();
    element->setString("id", "awkward");
    element->setString("name", awkward);
    server.createElement("media", "tracks", *element);
    qel::QelResourceDescriptor filtered("media", "tracks");
    filtered.getQelFilter().add("name", awkward);
    EXPECT_EQ(std::vector<std::string>{"awkward"}, idsOf(readTracks(filtered, std::make_shared<QelResponse>())));

}

}  // namespace
