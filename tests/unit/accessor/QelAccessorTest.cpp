#include <QelAccess/QelAccessor.h>

#include <QelAccess/ConfigManager.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/QelException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/PocoHttpSessionFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/ScriptedHttpPeer.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qel;
using qelutil::HttpResponse;
using qelutil::ILogger;
using qelutil::JsonObject;

namespace {

/// An element type as applications declare them.
class Track : public XObject<XObjectDescriptor> {
public:
    explicit Track(JsonObject::Shared json) : XObject(std::move(json)) {}
};

/// A transport whose replies the test scripts: a status, the JSON objects
/// handed to the provider, a location, or a failure thrown after the status
/// was recorded. Records every call with the query text it would send.
class FakeTransport : public ITpAccess {
public:
    enum class Failure { NONE, STANDARD, OTHER };

    int status = HttpResponse::OK;
    std::vector<std::string> data;
    qelutil::Optional<std::string> location;
    Failure failure = Failure::NONE;
    /// Returned from readResource instead of the provider's objects when set.
    std::function<std::vector<IXObject::Unique>()> foreignObjects;

    std::vector<std::string> calls;

    IXObject::Unique findFirst(XObjectProvider provider, const XObjectDescriptor& descriptor,
                               std::shared_ptr<QelResponse> response) override {
        auto objects = list("findFirst", provider, descriptor, *response);
        return objects.empty() ? nullptr : std::move(objects.front());
    }
    IXObject::Unique createElement(const XObjectDescriptor& descriptor, UriObjectProvider provider,
                                   std::shared_ptr<QelResponse> response) override {
        record("createElement " + descriptor.getAsQELBody()->toString(), *response);
        if (location.isValid()) response->setLocation(location);
        return status == HttpResponse::CREATED ? provider(*location) : nullptr;
    }
    IXObject::Unique getElement(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                std::shared_ptr<QelResponse> response) override {
        auto objects = list("getElement " + descriptor.getId().getValue(), provider, XObjectDescriptor(), *response);
        return objects.empty() ? nullptr : std::move(objects.front());
    }
    void deleteElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) override {
        record("deleteElement " + descriptor.getId().getValue(), *response);
    }
    void updateElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) override {
        record("updateElement " + descriptor.getAsQELBody()->toString(), *response);
    }
    std::vector<IXObject::Unique> readResource(XObjectProvider provider, const QelResourceDescriptor& descriptor,
                                               std::shared_ptr<QelResponse> response) override {
        if (foreignObjects) {
            record("readResource", *response);
            return foreignObjects();
        }
        return list("readResource " + descriptor.getService() + "/" + descriptor.getResource(), provider, descriptor,
                    *response);
    }
    std::vector<IXObject::Unique> readService(XObjectProvider provider, const QelServiceDescriptor& descriptor,
                                              std::shared_ptr<QelResponse> response) override {
        return list("readService " + descriptor.getService(), provider, descriptor, *response);
    }
    std::vector<IXObject::Unique> readRoot(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                           std::shared_ptr<QelResponse> response) override {
        return list("readRoot", provider, descriptor, *response);
    }
    void resolveService(const std::string& serviceName, std::shared_ptr<QelResponse> response) override {
        record("resolveService " + serviceName, *response);
    }

private:
    void record(const std::string& call, QelResponse& response) {
        calls.push_back(call);
        response.setStatusCode(static_cast<QelResponse::StatusCode>(status));
        if (failure == Failure::STANDARD) throw std::runtime_error("connection refused");
        if (failure == Failure::OTHER) throw 42;
    }
    std::vector<IXObject::Unique> list(const std::string& call, const XObjectProvider& provider,
                                       const XObjectDescriptor& descriptor, QelResponse& response) {
        const std::string query = descriptor.createPropertySearchAndQueryOptionsString();
        record(query.empty() ? call : call + "?" + query, response);
        std::vector<IXObject::Unique> objects;
        if (status != HttpResponse::OK) return objects;
        for (const auto& text : data) objects.push_back(provider(qelutil::JsonFactory::parseObject(text)));
        return objects;
    }
};

class QelAccessorTest : public ::testing::Test {
protected:
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::ManualTaskExecutor> callbacks = std::make_shared<qeltest::ManualTaskExecutor>();
    std::shared_ptr<qeltest::ManualTaskExecutor> http = std::make_shared<qeltest::ManualTaskExecutor>();
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    QelAccessor accessor{"media", loggers, callbacks, http, transport};

    std::vector<std::string> warnings() const { return loggers->capture().texts(ILogger::WARNING); }
    /// Runs the queued work, then the callbacks it queued.
    void runAll() {
        http->runAll();
        callbacks->runAll();
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
    std::string failureText() const {
        auto exception = response ? response->getHttpException() : nullptr;
        return exception ? exception->what() : "";
    }
};

TEST_F(QelAccessorTest, ServiceReadRunsOnHttpExecutorAndDeliversInOrderOnCallbackExecutor) {
    transport->data = {R"({"name":"tracks","id":"1"})", R"({"name":"albums"})", R"({"name":"artists"})"};
    std::vector<std::string> names;
    std::string serviceOfFirst;
    Outcome outcome;
    accessor.readService(
        QelServiceDescriptor("media"),
        [&](std::vector<std::shared_ptr<QelService>> services, std::shared_ptr<QelResponse> response) {
            ++outcome.successes;
            outcome.response = response;
            for (const auto& service : services) names.push_back(service->getName().getValue());
            serviceOfFirst = services.front()->getDescriptor().getService();
        },
        outcome.onError());

    // Nothing ran inside the call; the work waits on the HTTP executor.
    EXPECT_TRUE(transport->calls.empty());
    EXPECT_EQ(http->pending(), 1u);
    EXPECT_EQ(callbacks->pending(), 0u);
    ASSERT_TRUE(http->runOne());
    EXPECT_EQ(transport->calls, std::vector<std::string>{"readService media"});
    // The success callback is a task of its own, not part of the work task.
    EXPECT_EQ(outcome.successes, 0);
    EXPECT_EQ(callbacks->pendingNames(), std::vector<std::string>{""});
    callbacks->runAll();
    EXPECT_EQ(outcome.successes, 1);
    EXPECT_EQ(outcome.errors, 0);
    EXPECT_EQ(names, (std::vector<std::string>{"tracks", "albums", "artists"}));
    EXPECT_EQ(serviceOfFirst, "media");
    EXPECT_EQ(outcome.response->getStatusCode(), HttpResponse::OK);
}

TEST_F(QelAccessorTest, OnlyStatus200IsSuccess) {
    for (int status : {201, 202, 300, 404, 500}) {
        transport->status = status;
        Outcome outcome;
        accessor.readService(QelServiceDescriptor("media"), outcome.onSuccess(), outcome.onError());
        http->runAll();
        EXPECT_EQ(callbacks->pendingNames(), std::vector<std::string>{"readService callbackError"}) << status;
        callbacks->runAll();
        EXPECT_EQ(outcome.successes, 0) << status;
        ASSERT_EQ(outcome.errors, 1) << status;
        EXPECT_EQ(outcome.response->getStatusCode(), status);
        EXPECT_EQ(outcome.response->getHttpException(), nullptr);
    }
}

TEST_F(QelAccessorTest, ErrorsAndFailuresWithoutErrorCallbackAreLoggedWithLocation) {
    transport->status = HttpResponse::NOT_FOUND;
    Outcome outcome;
    accessor.readService(QelServiceDescriptor("media"), outcome.onSuccess(), nullptr);
    runAll();
    transport->status = HttpResponse::OK;
    transport->failure = FakeTransport::Failure::STANDARD;
    accessor.readResource<Track>(XObjectDescriptor("media", "tracks"), outcome.onSuccess(), nullptr);
    runAll();
    EXPECT_EQ(outcome.successes, 0);
    EXPECT_TRUE(callbacks->history().empty());
    ASSERT_EQ(warnings().size(), 2u);
    const std::vector<std::string> texts = {"readService: error occurred but no error callback given",
                                            "readResource: error occurred but no error callback given"};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string warning = warnings()[i];
        EXPECT_EQ(warning.rfind("src/accessor/QelAccessor.cpp:", 0), 0u) << warning;
        EXPECT_EQ(warning.substr(warning.size() - texts[i].size()), texts[i]);
    }
    EXPECT_EQ(loggers->capture().lines().front().facility, "QelAccessor media");
}

TEST_F(QelAccessorTest, MissingSuccessCallbackDropsEveryRead) {
    Outcome outcome;
    accessor.readRoot(XObjectDescriptor(), nullptr, outcome.onError());
    accessor.readService(QelServiceDescriptor("media"), nullptr, outcome.onError());
    accessor.readResource<Track>(XObjectDescriptor("media", "tracks"), nullptr, outcome.onError());
    accessor.getElement<Track>(XObjectDescriptor("media", "tracks"), nullptr, outcome.onError());
    EXPECT_EQ(http->pending() + callbacks->pending(), 0u);
    runAll();
    EXPECT_TRUE(transport->calls.empty());
    EXPECT_EQ(outcome.errors, 0);
    ASSERT_EQ(warnings().size(), 4u);
    for (const auto& warning : warnings()) {
        EXPECT_EQ(warning.rfind("src/accessor/QelAccessor.cpp:", 0), 0u) << warning;
        EXPECT_NE(warning.find(" missing success callback"), std::string::npos) << warning;
    }
}

TEST_F(QelAccessorTest, RootReadRunsEntirelyOnCallbackExecutor) {
    transport->data = {R"({"name":"navigation","uri":"/api/navigation/","port":8080})"};
    std::vector<std::shared_ptr<ServiceRegistryService>> received;
    accessor.readRoot(
        XObjectDescriptor(),
        [&](std::vector<std::shared_ptr<ServiceRegistryService>> services, std::shared_ptr<QelResponse>) {
            received = std::move(services);
        },
        nullptr);
    EXPECT_EQ(http->pending(), 0u);
    ASSERT_EQ(callbacks->pending(), 1u);
    callbacks->runOne();
    EXPECT_TRUE(received.empty());  // delivered by a second task
    callbacks->runAll();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0]->getPath().getValue(), "/api/");
    EXPECT_EQ(received[0]->getPort().getValue(), 8080);
    EXPECT_FALSE(received[0]->isResolved());
    EXPECT_TRUE(http->history().empty());
}

TEST_F(QelAccessorTest, TransportFailuresGiveOneErrorCallbackWithWrappedException) {
    transport->failure = FakeTransport::Failure::STANDARD;
    XObjectDescriptor element("media", "tracks");
    element.setId("7");
    struct Case {
        std::function<void(Outcome&)> call;
        std::string text;
    };
    const std::string refused = " failed reason: connection refused\n";
    const std::vector<Case> cases = {
        {[&](Outcome& o) { accessor.readRoot(XObjectDescriptor(), o.onSuccess(), o.onError()); }, "read root" + refused},
        {[&](Outcome& o) { accessor.readService(QelServiceDescriptor("media"), o.onSuccess(), o.onError()); },
         "read service" + refused},
        {[&](Outcome& o) { accessor.readResource<Track>(element, o.onSuccess(), o.onError()); },
         "read resource" + refused},
        {[&](Outcome& o) { accessor.updateElement(element, nullptr, o.onError()); }, "update element" + refused},
        {[&](Outcome& o) { accessor.deleteElement(element, o.onSuccess(), o.onError()); }, "delete element" + refused},
    };
    for (const Case& c : cases) {
        Outcome outcome;
        c.call(outcome);
        runAll();
        EXPECT_EQ(outcome.successes, 0) << c.text;
        ASSERT_EQ(outcome.errors, 1) << c.text;
        EXPECT_EQ(outcome.failureText(), "QelException: unknown " + c.text);
        // What the transport recorded before it failed stays in the record.
        EXPECT_EQ(outcome.response->getStatusCode(), HttpResponse::OK);
        EXPECT_NE(dynamic_cast<const QelException*>(outcome.response->getHttpException().get()), nullptr);
    }
    // The root read's work task is the unnamed one on the callback executor.
    const auto history = callbacks->history();
    ASSERT_GE(history.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(history.begin(), history.begin() + 4),
              (std::vector<std::string>{"", "readRoot callbackError", "readService callbackError",
                                        "readResource callbackError"}));

    // A failure that is no standard exception is wrapped without a cause.
    transport->failure = FakeTransport::Failure::OTHER;
    Outcome other;
    accessor.readResource<Track>(element, other.onSuccess(), other.onError());
    runAll();
    ASSERT_EQ(other.errors, 1);
    EXPECT_EQ(other.failureText(), "QelException: unknown read resource failed\n");

    // Objects of another type than the one asked for fail the read.
    transport->failure = FakeTransport::Failure::NONE;
    transport->foreignObjects = [] {
        std::vector<IXObject::Unique> objects;
        objects.push_back(std::make_unique<QelService>());
        return objects;
    };
    Outcome foreign;
    accessor.readResource<Track>(element, foreign.onSuccess(), foreign.onError());
    runAll();
    ASSERT_EQ(foreign.errors, 1);
    EXPECT_NE(foreign.failureText().find("read resource failed reason: "), std::string::npos);
}

TEST_F(QelAccessorTest, ResourceReadSendsOnlyServiceAndResourceNames) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.getQueryOptions().setPagingLimit(10);
    descriptor.getQelFilter().add("artist", std::string("Nina"));
    std::vector<std::shared_ptr<const Track>> tracks;
    auto keep = [&](const std::vector<std::shared_ptr<const Track>>& received, std::shared_ptr<const QelResponse>) {
        tracks = received;
    };
    transport->data = {R"({"id":"7","name":"Seven"})", R"({"id":"8"})"};
    accessor.readResource<Track>(descriptor, keep, nullptr);
    runAll();
    EXPECT_EQ(transport->calls, std::vector<std::string>{"readResource media/tracks"});
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0]->getId().getValue() + tracks[0]->getName().getValue() + tracks[1]->getId().getValue(),
              "7Seven8");
    // An empty listing is a success with an empty vector.
    transport->data.clear();
    accessor.readResource<Track>(descriptor, keep, nullptr);
    runAll();
    EXPECT_TRUE(tracks.empty());
}

TEST_F(QelAccessorTest, ReadsOutliveTheAccessorAndCallersCopies) {
    transport->data = {R"({"id":"1"})"};
    Outcome outcome;
    {
        QelAccessor temporary("media", loggers, callbacks, http, transport);
        temporary.readResource<Track>(XObjectDescriptor("media", "tracks"), outcome.onSuccess(), nullptr);
    }
    std::weak_ptr<FakeTransport> weak = transport;
    transport.reset();
    EXPECT_FALSE(weak.expired());  // the queued work holds the transport
    runAll();
    EXPECT_EQ(outcome.successes, 1);
}

TEST_F(QelAccessorTest, FindFirstAndGetElementDeliverOneElementOrNull) {
    XObjectDescriptor descriptor("media", "tracks");
    EXPECT_THROW(QelAccessor::getRelativeUri(descriptor), std::runtime_error);
    descriptor.setId("7");
    EXPECT_EQ(QelAccessor::getRelativeUri(descriptor), "/media/tracks/7");
    transport->data = {R"({"id":"7","name":"Seven"})"};
    std::vector<std::shared_ptr<const Track>> delivered;
    auto keep = [&](std::shared_ptr<const Track> t, std::shared_ptr<const QelResponse>) { delivered.push_back(t); };
    accessor.findFirst<Track>(descriptor, keep, nullptr);
    accessor.getElement<Track>(descriptor, keep, nullptr);
    EXPECT_EQ(http->pending(), 2u);
    runAll();
    ASSERT_EQ(delivered.size(), 2u);
    ASSERT_TRUE(delivered[0] && delivered[1]);
    EXPECT_EQ(delivered[0]->getName().getValue(), "Seven");
    EXPECT_EQ(delivered[1]->getId().getValue(), "7");
    // findFirst sends the descriptor's filter (id=7), getElement addresses by id.
    EXPECT_EQ(transport->calls, (std::vector<std::string>{"findFirst?id=7", "getElement 7"}));
    transport->data.clear();
    accessor.findFirst<Track>(descriptor, keep, nullptr);
    runAll();
    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_EQ(delivered[2], nullptr);
}

TEST_F(QelAccessorTest, CreateElementDeliversTheNewElementAddressedByLocation) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setName("New");
    transport->status = HttpResponse::CREATED;
    transport->location = std::string("/media/tracks/42");
    std::shared_ptr<const XObject<XObjectDescriptor>> created;
    accessor.createElement(
        descriptor,
        [&](std::shared_ptr<const XObject<XObjectDescriptor>> element, std::shared_ptr<const QelResponse> response) {
            created = std::move(element);
            EXPECT_EQ(response->getLocation().getValue(), "/media/tracks/42");
        },
        nullptr);
    runAll();
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->getId().getValue(), "42");
    EXPECT_EQ(created->getUri().getValue(), "/media/tracks/42");
    EXPECT_EQ(created->getDescriptor().getService(), "media");
    EXPECT_EQ(transport->calls, std::vector<std::string>{R"(createElement {"name":"New"})"});

    transport->status = HttpResponse::CONFLICT;
    Outcome outcome;
    accessor.createElement(descriptor, outcome.onSuccess(), outcome.onError());
    runAll();
    ASSERT_EQ(outcome.errors, 1);
    EXPECT_EQ(outcome.successes, 0);
    EXPECT_EQ(outcome.response->getStatusCode(), HttpResponse::CONFLICT);
    EXPECT_EQ(callbacks->history().back(), "createElement callbackError");
}

TEST_F(QelAccessorTest, UpdateAndDeleteRunWithoutSuccessCallback) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setId("7");
    descriptor.setName("Renamed");
    transport->status = HttpResponse::ACCEPTED;
    Outcome outcome;
    accessor.updateElement(descriptor, nullptr, nullptr);
    accessor.deleteElement(descriptor, outcome.onSuccess(), nullptr);
    runAll();
    EXPECT_EQ(transport->calls, (std::vector<std::string>{R"(updateElement {"name":"Renamed"})", "deleteElement 7"}));
    EXPECT_EQ(outcome.successes, 1);
    EXPECT_TRUE(warnings().empty());
}

TEST(QelAccessorOverHttpTest, CallbacksRunOnTheCallbackExecutorsThread) {
    using Reply = qeltest::ScriptedHttpPeer::Reply;
    qeltest::ScriptedHttpPeer peer;
    peer.setReply("/media/tracks/", Reply::json(200, R"({"data":[{"id":"1"},{"id":"2"}]})"));
    peer.setReply("/media/", Reply::json(404, R"({"message":"no"})"));
    auto config = std::make_shared<ConfigManager>();
    config->getDefaultConfig().serverBaseUri = peer.baseUri();
    auto loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    auto callbacks = std::make_shared<qelutil::SerialTaskExecutor>("test-callbacks");
    auto http = std::make_shared<qelutil::ThreadPoolTaskExecutor>(2, "test-http");
    HttpAccessFactory factory(std::make_shared<qelutil::PocoHttpSessionFactory>());
    QelAccessor accessor("media", loggers, callbacks, http, factory.createTpAccess("media", config, loggers));

    std::atomic<int> elements{-1};
    std::atomic<int> errorStatus{0};
    std::atomic<int> onCallbackThread{0};
    accessor.readResource<Track>(
        XObjectDescriptor("media", "tracks"),
        [&](const std::vector<std::shared_ptr<const Track>>& tracks, std::shared_ptr<const QelResponse>) {
            onCallbackThread += callbacks->isWorkerThread() ? 1 : 0;
            elements = static_cast<int>(tracks.size());
        },
        [&](std::shared_ptr<const QelResponse>) { ADD_FAILURE() << "resource read failed"; });
    accessor.readService(
        QelServiceDescriptor("media"), [&](auto&&...) { ADD_FAILURE() << "404 reported as success"; },
        [&](std::shared_ptr<const QelResponse> response) {
            onCallbackThread += callbacks->isWorkerThread() ? 1 : 0;
            errorStatus = response->getStatusCode();
        });
    EXPECT_TRUE(qeltest::waitFor([&] { return elements.load() >= 0 && errorStatus.load() != 0; }));
    EXPECT_EQ(elements.load(), 2);
    EXPECT_EQ(errorStatus.load(), HttpResponse::NOT_FOUND);
    EXPECT_EQ(onCallbackThread.load(), 2);
    http->shutdown();
    callbacks->shutdown();
}

}  // namespace
