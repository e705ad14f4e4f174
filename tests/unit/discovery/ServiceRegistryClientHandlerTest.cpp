#include <QelAccess/ConfigManager.h>
#include <QelAccess/QelServiceRegistry.h>
#include <QelAccess/Service.h>
#include <QelAccess/ServiceRegistryClientHandler.h>

#include <QelAccessUtility/JsonFactory.h>

#include "support/CapturingLoggerFactory.h"
#include "support/DiscoveryFakes.h"
#include "support/ManualTaskExecutor.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using qel::QelServiceRegistry;
using qel::Service;
using qel::ServiceRegistryClientHandler;
using qel::UntypedServiceListener;
using qelutil::ILogger;

namespace {

const std::string kRegistryUri = "http://127.0.0.1:4000";
const std::string kMediaOrigin = "http://127.0.0.1:5000";
const std::string kListing = R"({"a":[{"name":"media","uri":"http://127.0.0.1:5000/api/media","port":5000}]})";

/// What one listener heard, in order: "available N" (N counts the service
/// objects its creator made) and "unavailable".
struct Recorder {
    std::vector<std::string> events;
    int created = 0;
    std::map<Service*, int> objects;
    std::function<void()> onCreate;

    UntypedServiceListener listener() {
        return {[this](std::shared_ptr<Service> service) {
                    events.push_back("available " + std::to_string(objects.at(service.get())));
                },
                [this] { events.push_back("unavailable"); }, nullptr};
    }
    Service::Creator creator() {
        return [this](std::shared_ptr<qel::QelAccessor> accessor, qel::IWebsocketManager::Shared manager) {
            auto service = std::make_unique<Service>(std::move(accessor), std::move(manager));
            objects[service.get()] = ++created;
            if (onCreate) onCreate();
            return service;
        };
    }
};

struct Rig {
    std::shared_ptr<qeltest::CapturingLoggerFactory> logs = std::make_shared<qeltest::CapturingLoggerFactory>();
    std::shared_ptr<qeltest::FakeWebsocketManagerFactory> managers =
        std::make_shared<qeltest::FakeWebsocketManagerFactory>();
    std::shared_ptr<qeltest::FakeTpAccessFactory> transports = std::make_shared<qeltest::FakeTpAccessFactory>();
    std::shared_ptr<qeltest::ManualTaskExecutor> executor = std::make_shared<qeltest::ManualTaskExecutor>();
    std::shared_ptr<ServiceRegistryClientHandler> handler = std::make_shared<ServiceRegistryClientHandler>(
        kRegistryUri, executor, logs,
        std::make_shared<qelutil::StreamingLogger>(std::shared_ptr<ILogger>(logs->createLogger("handler"))), nullptr,
        managers, transports);

    Rig() {
        handler->setAvoidRedirect(true);
        handler->start();
    }
    std::shared_ptr<qeltest::FakeWebsocketManager> registry() { return managers->manager(kRegistryUri); }
    std::shared_ptr<qeltest::FakeWebsocketManager> media() { return managers->manager(kMediaOrigin); }
    void connectRegistry() { registry()->notice(registry()->noticeCount() - 1).connected(); }
    void pushListing(const std::string& text = kListing) {
        registry()->root(registry()->rootCount() - 1).callback(qelutil::JsonFactory::parseObject(text)->getArray("a"),
                                                               nullptr);
    }
    void add(Recorder& recorder, const std::string& name = "media") {
        handler->addServiceListener(name, recorder.listener(), executor, executor, recorder.creator());
    }
};

using Events = std::vector<std::string>;

TEST(ServiceRegistryClientHandlerTest, AWaitingListenerHearsItsServiceInOrderThroughLossesAndFlaps) {
    Rig rig;
    Recorder media, unknown;
    rig.add(media);
    rig.add(unknown, "unregistered");
    EXPECT_EQ(2u, rig.handler->unresolvedCount());
    rig.connectRegistry();
    rig.pushListing();
    EXPECT_EQ(1u, rig.handler->resolvedCount());
    ASSERT_EQ(1u, rig.media()->noticeCount());
    EXPECT_TRUE(media.events.empty()) << "available before the connection stood";

    rig.media()->notice(0).connected();
    rig.media()->notice(0).disconnected();
    EXPECT_EQ((Events{"available 1", "unavailable"}), media.events);
    ASSERT_EQ(2u, rig.media()->noticeCount()) << "not set up again after the loss";

    // A loss that overtakes its own connect notice: nothing to hear, set up again.
    rig.media()->notice(1).disconnected();
    rig.media()->notice(1).connected();
    EXPECT_EQ((Events{"available 1", "unavailable"}), media.events);
    ASSERT_EQ(3u, rig.media()->noticeCount());
    rig.media()->notice(2).connected();
    rig.media()->notice(2).connected();
    EXPECT_EQ((Events{"available 1", "unavailable", "available 3"}), media.events);
    EXPECT_TRUE(unknown.events.empty());
    EXPECT_EQ(1u, rig.handler->unresolvedCount());
    EXPECT_EQ(0u, rig.executor->pending());
}

TEST(ServiceRegistryClientHandlerTest, TwoListenersGetTheirOwnObjectsAndOnlyTheDroppedOneIsSetUpAgain) {
    Rig rig;
    Recorder first, second;
    rig.connectRegistry();
    rig.pushListing();
    rig.add(first);
    rig.add(second);
    ASSERT_EQ(2u, rig.media()->noticeCount()) << "one shared manager, one set-up each";
    rig.media()->notice(0).connected();
    rig.media()->notice(1).connected();
    rig.media()->notice(1).disconnected();
    EXPECT_EQ((Events{"available 1"}), first.events);
    EXPECT_EQ((Events{"available 1", "unavailable"}), second.events);
    EXPECT_EQ(1, first.created) << "the listener that kept its connection was set up again";
    EXPECT_EQ(2, second.created);
    EXPECT_EQ(2u, rig.handler->resolvedCount());
}

TEST(ServiceRegistryClientHandlerTest, ACreatorMayCallBackIntoTheRegistry) {
    Rig rig;
    Recorder outer, inner;
    outer.onCreate = [&] {
        if (outer.created == 1) rig.add(inner);
    };
    rig.connectRegistry();
    rig.pushListing();
    rig.add(outer);
    EXPECT_EQ(1, outer.created);
    EXPECT_EQ(1, inner.created);
    EXPECT_EQ(2u, rig.handler->resolvedCount());
}

TEST(ServiceRegistryClientHandlerTest, RegistryLossKeepsListenersAndStopEndsEverything) {
    Rig rig;
    Recorder media, late;
    rig.connectRegistry();
    rig.pushListing();
    rig.add(media);
    rig.media()->notice(0).connected();
    rig.registry()->notice(0).disconnected();
    EXPECT_EQ(2u, rig.registry()->noticeCount()) << "the client was not restarted";
    rig.add(late);
    EXPECT_EQ(1u, rig.handler->unresolvedCount()) << "set up from a snapshot of a lost registry connection";
    rig.connectRegistry();
    rig.pushListing();
    EXPECT_EQ(2u, rig.handler->resolvedCount());
    EXPECT_EQ((Events{"available 1"}), media.events);

    auto pendingConnect = rig.media()->notice(1);
    auto registryLoss = rig.registry()->notice(1);
    rig.handler->stop();
    pendingConnect.connected();
    rig.media()->notice(0).disconnected();
    registryLoss.disconnected();
    EXPECT_TRUE(late.events.empty()) << "a notice after stop()";
    EXPECT_EQ((Events{"available 1"}), media.events) << "a notice after stop()";
    EXPECT_EQ(2u, rig.registry()->noticeCount()) << "the registry client restarted after stop()";
    EXPECT_EQ(2u, rig.media()->noticeCount()) << "a service set up after stop()";
}

TEST(QelServiceRegistryTest, ModesDecideWhereAServiceComesFrom) {
    auto logs = std::make_shared<qeltest::CapturingLoggerFactory>();
    auto managers = std::make_shared<qeltest::FakeWebsocketManagerFactory>();
    auto transports = std::make_shared<qeltest::FakeTpAccessFactory>();
    auto executor = std::make_shared<qeltest::ManualTaskExecutor>();
    auto staticConfig = std::make_shared<qel::ConfigManager>();
    staticConfig->getServiceConfigs()["known"].serverBaseUri = std::string("http://127.0.0.1:6000");

    EXPECT_EQ(QelServiceRegistry::STATIC_ONLY, QelServiceRegistry::str2mode("static", QelServiceRegistry::DYNAMIC_ONLY));
    EXPECT_EQ(QelServiceRegistry::DYNAMIC_ONLY, QelServiceRegistry::str2mode("Static", QelServiceRegistry::DYNAMIC_ONLY));
    EXPECT_EQ(QelServiceRegistry::STATIC_BEFORE_DYNAMIC,
              QelServiceRegistry::str2mode("staticBeforeDynamic", QelServiceRegistry::STATIC_ONLY));

    QelServiceRegistry::Settings settings;
    settings.mode = QelServiceRegistry::STATIC_ONLY;
    settings.httpUri = kRegistryUri;
    {
        QelServiceRegistry registry(managers, staticConfig, logs, transports, executor, executor, settings, nullptr);
        EXPECT_EQ(nullptr, registry.getHandler());
        Recorder any;
        registry.addServiceListener("anything", any.listener(), any.creator());
        auto defaults = managers->manager("http://127.0.0.1:443");
        ASSERT_EQ(1u, defaults->noticeCount()) << "static defaults not used";
        defaults->notice(0).connected();
        defaults->notice(0).disconnected();
        EXPECT_EQ((Events{"available 1", "unavailable"}), any.events);
        ASSERT_EQ(2u, defaults->noticeCount()) << "not set up again";
        registry.stop();
        defaults->notice(1).connected();
        defaults->notice(1).disconnected();
        registry.addServiceListener("anything", any.listener(), any.creator());
        EXPECT_EQ((Events{"available 1", "unavailable"}), any.events);
        EXPECT_EQ(2u, defaults->noticeCount());
        EXPECT_EQ(0u, managers->manager(kRegistryUri)->noticeCount()) << "a registry connection in static mode";
    }

    settings.mode = QelServiceRegistry::STATIC_BEFORE_DYNAMIC;
    QelServiceRegistry registry(managers, staticConfig, logs, transports, executor, executor, settings, nullptr);
    ASSERT_NE(nullptr, registry.getHandler());
    Recorder known, dynamic;
    registry.addServiceListener("known", known.listener(), known.creator());
    registry.addServiceListener("media", dynamic.listener(), dynamic.creator());
    EXPECT_EQ(1u, managers->manager("http://127.0.0.1:6000")->noticeCount());
    EXPECT_TRUE(logs->capture().contains(ILogger::TRACE,
                                         "service=media is unknown to static configuration, using service registry instead"));
    EXPECT_EQ(1u, registry.getHandler()->unresolvedCount());
}

}  // namespace
