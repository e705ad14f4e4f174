#include <QelAccess/QelAccessor.h>

#include <QelAccess/QelException.h>
#include <QelAccessUtility/JsonFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"

#include <gtest/gtest.h>

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
/// handed to the provider (or objects of a foreign type), or a failure thrown
/// after the status was recorded. Records every call with the query it sends.
class FakeTransport : public ITpAccess {
public:
    enum class Failure { NONE, STANDARD, OTHER };

    int status = HttpResponse::OK;
    std::vector<std::string> data;
    Failure failure = Failure::NONE;
    bool foreignObjects = false;
    std::vector<std::string> calls;

    IXObject::Unique findFirst(XObjectProvider provider, const XObjectDescriptor& descriptor,
                               std::shared_ptr<QelResponse> response) override {
        return first(list("findFirst", provider, descriptor, *response));
    }
    IXObject::Unique createElement(const XObjectDescriptor&, UriObjectProvider,
                                   std::shared_ptr<QelResponse> response) override {
        record("createElement", *response);
        return nullptr;
    }
    IXObject::Unique getElement(XObjectProvider provider, const XObjectDescriptor& descriptor,
                                std::shared_ptr<QelResponse> response) override {
        return first(list("getElement " + descriptor.getId().getValue(), provider, XObjectDescriptor(), *response));
    }
    void deleteElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) override {
        record("deleteElement " + descriptor.getId().getValue(), *response);
    }
    void updateElement(const XObjectDescriptor& descriptor, std::shared_ptr<QelResponse> response) override {
        record("updateElement " + descriptor.getAsQELBody()->toString(), *response);
    }
    std::vector<IXObject::Unique> readResource(XObjectProvider provider, const QelResourceDescriptor& descriptor,
                                               std::shared_ptr<QelResponse> response) override {
        return list("readResource", provider, descriptor, *response);
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
    static IXObject::Unique first(std::vector<IXObject::Unique> objects) {
        return objects.empty() ? nullptr : std::move(objects.front());
    }
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
        if (foreignObjects) objects.push_back(std::make_unique<QelService>());
        for (const auto& text : data) objects.push_back(provider(qelutil::JsonFactory::parseObject(text)));
        return objects;
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

class QelAccessorTest : public ::testing::Test {
protected:
    std::shared_ptr<qeltest::CapturingLoggerFactory> loggers = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::ManualTaskExecutor> callbacks = std::make_shared<qeltest::ManualTaskExecutor>();
    std::shared_ptr<qeltest::ManualTaskExecutor> http = std::make_shared<qeltest::ManualTaskExecutor>();
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    QelAccessor accessor{"media", loggers, callbacks, http, transport};
    XObjectDescriptor element = [] {
        XObjectDescriptor descriptor("media", "tracks");
        descriptor.setId("7");
        return descriptor;
    }();

    std::vector<std::string> warnings() const { return loggers->capture().texts(ILogger::WARNING); }
    /// Runs the queued work, then the callbacks it queued.
    void runAll() {
        http->runAll();
        callbacks->runAll();
    }
};

TEST_F(QelAccessorTest, WorkRunsOnTheHttpExecutorAndResultsArriveInOrderInTasksOfTheirOwn) {
    transport->data = {R"({"name":"tracks","id":"1"})", R"({"name":"albums"})", R"({"name":"artists"})"};
    std::vector<std::string> names;
    accessor.readService(
        QelServiceDescriptor("media"),
        [&](std::vector<std::shared_ptr<QelService>> services, std::shared_ptr<QelResponse>) {
            for (const auto& service : services)
                names.push_back(service->getName().getValue() + "@" + service->getDescriptor().getService());
        },
        nullptr);
    // Nothing ran inside the call; the work waits on the HTTP executor.
    EXPECT_TRUE(transport->calls.empty());
    EXPECT_EQ(http->pending() * 10 + callbacks->pending(), 10u);
    ASSERT_TRUE(http->runOne());
    EXPECT_EQ(transport->calls, std::vector<std::string>{"readService media"});
    // The success callback is a task of its own, not part of the work task.
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(callbacks->pendingNames(), std::vector<std::string>{""});
    callbacks->runAll();
    EXPECT_EQ(names, (std::vector<std::string>{"tracks@media", "albums@media", "artists@media"}));

    // The root read runs entirely on the callback executor, delivering in a second task.
    transport->data = {R"({"name":"navigation","uri":"/api/navigation/","port":8080})"};
    std::vector<std::shared_ptr<ServiceRegistryService>> root;
    accessor.readRoot(
        XObjectDescriptor(),
        [&](std::vector<std::shared_ptr<ServiceRegistryService>> services, std::shared_ptr<QelResponse>) {
            root = std::move(services);
        },
        nullptr);
    EXPECT_EQ(http->pending(), 0u);
    ASSERT_TRUE(callbacks->runOne());
    EXPECT_TRUE(root.empty());
    callbacks->runAll();
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0]->getPath().getValue() + std::to_string(root[0]->getPort().getValue()), "/api/8080");
    EXPECT_EQ(http->history().size(), 1u);

    // findFirst sends the descriptor's filter (id=7), getElement addresses by id.
    std::vector<std::shared_ptr<const Track>> delivered;
    auto keep = [&](std::shared_ptr<const Track> t, std::shared_ptr<const QelResponse>) { delivered.push_back(t); };
    transport->calls.clear();
    transport->data = {R"({"id":"7","name":"Seven"})"};
    accessor.findFirst<Track>(element, keep, nullptr);
    accessor.getElement<Track>(element, keep, nullptr);
    runAll();
    transport->data.clear();
    accessor.findFirst<Track>(element, keep, nullptr);
    runAll();
    EXPECT_EQ(transport->calls, (std::vector<std::string>{"findFirst?id=7", "getElement 7", "findFirst?id=7"}));
    ASSERT_EQ(delivered.size(), 3u);
    ASSERT_TRUE(delivered[0] && delivered[1]);
    EXPECT_EQ(delivered[0]->getName().getValue() + delivered[1]->getId().getValue(), "Seven7");
    EXPECT_EQ(delivered[2], nullptr);
}

TEST_F(QelAccessorTest, EachOperationKindAcceptsItsOwnSuccessStatusesAndFailuresAreWrapped) {
    using Call = std::function<void(Outcome&)>;
    const Call readService = [&](Outcome& o) {
        accessor.readService(QelServiceDescriptor("media"), o.onSuccess(), o.onError());
    };
    const Call readRoot = [&](Outcome& o) { accessor.readRoot(XObjectDescriptor(), o.onSuccess(), o.onError()); };
    const Call readResource = [&](Outcome& o) { accessor.readResource<Track>(element, o.onSuccess(), o.onError()); };
    const Call findFirst = [&](Outcome& o) { accessor.findFirst<Track>(element, o.onSuccess(), o.onError()); };
    const Call create = [&](Outcome& o) { accessor.createElement(element, o.onSuccess(), o.onError()); };
    const Call update = [&](Outcome& o) { accessor.updateElement(element, o.onSuccess(), o.onError()); };
    const Call remove = [&](Outcome& o) { accessor.deleteElement(element, o.onSuccess(), o.onError()); };
    using F = FakeTransport::Failure;
    struct Case {
        Call call;
        int status;
        F failure;
        std::string failureText;  // empty: a success when `errorTask` is empty, else a plain error status
        std::string errorTask;
    };
    const std::string refused = " failed reason: connection refused\n";
    const std::vector<Case> cases = {
        {readService, 200, F::NONE, "", ""},
        {readService, 201, F::NONE, "", "readService callbackError"},
        {readService, 300, F::NONE, "", "readService callbackError"},
        {findFirst, 202, F::NONE, "", "findFirst callbackError"},
        {create, 200, F::NONE, "", ""},
        {create, 202, F::NONE, "", ""},
        {create, 409, F::NONE, "", "createElement callbackError"},
        {update, 202, F::NONE, "", ""},
        {update, 201, F::NONE, "", "updateElement callbackError"},
        {remove, 202, F::NONE, "", ""},
        {remove, 500, F::NONE, "", "deleteElement callbackError"},
        {readRoot, 200, F::STANDARD, "QelException: unknown read root" + refused, "readRoot callbackError"},
        {readService, 200, F::STANDARD, "QelException: unknown read service" + refused, "readService callbackError"},
        {readResource, 200, F::STANDARD, "QelException: unknown read resource" + refused, "readResource callbackError"},
        {update, 200, F::STANDARD, "QelException: unknown update element" + refused, "updateElement callbackError"},
        {remove, 200, F::STANDARD, "QelException: unknown delete element" + refused, "deleteElement callbackError"},
        // A failure that is no standard exception is wrapped without a cause.
        {readResource, 200, F::OTHER, "QelException: unknown read resource failed\n", "readResource callbackError"},
    };
    for (const Case& c : cases) {
        transport->status = c.status;
        transport->failure = c.failure;
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
        EXPECT_EQ(outcome.failureText(), c.failureText) << label;
        if (!c.failureText.empty()) {
            EXPECT_NE(dynamic_cast<const QelException*>(outcome.response->getHttpException().get()), nullptr);
        }
    }

    // Objects of another type than the one asked for fail the read.
    transport->failure = F::NONE;
    transport->status = 200;
    transport->foreignObjects = true;
    Outcome foreign;
    readResource(foreign);
    runAll();
    ASSERT_EQ(foreign.errors, 1);
    EXPECT_EQ(foreign.failureText().rfind("QelException: unknown read resource failed reason: ", 0), 0u);
}

TEST_F(QelAccessorTest, MissingCallbacksAreLoggedWithTheirLocation) {
    // Without a success callback a read is dropped before it is sent.
    Outcome outcome;
    accessor.readRoot(XObjectDescriptor(), nullptr, outcome.onError());
    accessor.readService(QelServiceDescriptor("media"), nullptr, outcome.onError());
    accessor.readResource<Track>(element, nullptr, outcome.onError());
    accessor.getElement<Track>(element, nullptr, outcome.onError());
    EXPECT_EQ(http->pending() + callbacks->pending(), 0u);
    // An update and a delete need none.
    transport->status = HttpResponse::ACCEPTED;
    accessor.updateElement(element, nullptr, nullptr);
    runAll();
    // Without an error callback an error status or a failure is only logged.
    transport->status = HttpResponse::NOT_FOUND;
    accessor.readService(QelServiceDescriptor("media"), outcome.onSuccess(), nullptr);
    runAll();
    transport->status = HttpResponse::OK;
    transport->failure = FakeTransport::Failure::STANDARD;
    accessor.readResource<Track>(element, outcome.onSuccess(), nullptr);
    runAll();
    EXPECT_EQ(transport->calls, (std::vector<std::string>{"updateElement {}", "readService media",
                                                          "readResource"}));
    EXPECT_EQ(outcome.successes + outcome.errors, 0);
    EXPECT_TRUE(callbacks->history().empty());
    const std::vector<std::string> texts = {"missing success callback", "missing success callback",
                                            "missing success callback", "missing success callback",
                                            "readService: error occurred but no error callback given",
                                            "readResource: error occurred but no error callback given"};
    ASSERT_EQ(warnings().size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string warning = warnings()[i];
        EXPECT_EQ(warning.rfind("src/accessor/QelAccessor.cpp:", 0), 0u) << warning;
        EXPECT_EQ(warning.substr(warning.size() - texts[i].size()), texts[i]);
    }
    EXPECT_EQ(loggers->capture().lines().front().facility, "QelAccessor media");
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

}  // namespace
