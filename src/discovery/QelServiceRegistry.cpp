#include <QelAccess/QelServiceRegistry.h>

#include <QelAccess/QelAccessor.h>

#include "discovery/DiscoverySupport.h"
#include "model/SourceLocation.h"

#include <mutex>
#include <set>

namespace qel {

const std::string QelServiceRegistry::STR_MODE_STATIC_ONLY = "static";
const std::string QelServiceRegistry::STR_MODE_DYNAMIC_ONLY = "dynamic";
const std::string QelServiceRegistry::STR_MODE_STATIC_BEFORE_DYNAMIC = "staticBeforeDynamic";

/// What the registry's set-ups and their notices share: the notices of a
/// static service hold it, so they stay sound when the facade goes first.
class QelServiceRegistry::Core : public std::enable_shared_from_this<Core> {
public:
    Core(IWebsocketManagerFactory::Shared websocketManagerFactory, IConfigManager::Shared staticConfigManager_,
         qelutil::LoggerFactory::shared loggerFactory_, ITpAccessFactory::Shared tpAccessFactory,
         qelutil::ITaskExecutor::Shared qelTaskExecutor_, qelutil::ITaskExecutor::Shared httpTaskExecutor_,
         const Settings& settings)
        : staticConfigManager(std::move(staticConfigManager_)),
          staticTpAccessFactory(std::move(tpAccessFactory)),
          staticWebsocketFactory(std::move(websocketManagerFactory)),
          logger(detail::serviceRegistryLogger(loggerFactory_)),
          loggerFactory(std::move(loggerFactory_)),
          qelTaskExecutor(std::move(qelTaskExecutor_)),
          httpTaskExecutor(std::move(httpTaskExecutor_)),
          m_serviceRegistrySettings(settings) {}

    void startHandler(std::shared_ptr<const QelServiceConfigurations::ServiceSettings> serviceSettings);
    void addServiceListener(const std::string& name, const UntypedServiceListener& listener,
                            const Service::Creator& creator);
    void stop();
    bool running() const {
        std::lock_guard<std::mutex> lock(reconnect_mtx);
        return reconnect;
    }

    const IConfigManager::Shared staticConfigManager;
    const ITpAccessFactory::Shared staticTpAccessFactory;
    const IWebsocketManagerFactory::Shared staticWebsocketFactory;
    const std::shared_ptr<qelutil::StreamingLogger> logger;
    const qelutil::LoggerFactory::shared loggerFactory;
    const qelutil::ITaskExecutor::Shared qelTaskExecutor;
    const qelutil::ITaskExecutor::Shared httpTaskExecutor;
    mutable std::mutex reconnect_mtx;
    bool reconnect = true;
    std::shared_ptr<ServiceRegistryClientHandler> handler;
    const Settings m_serviceRegistrySettings;

private:
    struct StaticConnection {
        std::string name;
        UntypedServiceListener listener;
        Service::Creator creator;
        std::shared_ptr<Service> service;
        detail::NoticeOrder order;
    };

    std::mutex connectionsMtx;
    std::set<std::shared_ptr<StaticConnection>> connections;

    void addServiceListenerStatic(const std::string& name, const UntypedServiceListener& listener,
                                  const Service::Creator& creator);
    void addServiceListenerDynamic(const std::string& name, const UntypedServiceListener& listener,
                                   const Service::Creator& creator);
    void staticUp(const std::shared_ptr<StaticConnection>& connection);
    void staticDown(const std::shared_ptr<StaticConnection>& connection);
};

void QelServiceRegistry::Core::startHandler(
    std::shared_ptr<const QelServiceConfigurations::ServiceSettings> serviceSettings) {
    const Settings& settings = m_serviceRegistrySettings;
    handler = std::make_shared<ServiceRegistryClientHandler>(
        settings.httpUri, settings.servicesSubscriptionFilter, qelTaskExecutor, loggerFactory, logger,
        staticConfigManager, std::move(serviceSettings), staticWebsocketFactory, staticTpAccessFactory);
    handler->setAvoidRedirect(settings.avoidRedirect);
    handler->setServicesFilterFunction(settings.servicesFilterFunction);
    handler->setRootSubscriptionUpdateLimit(settings.rootSubscriptionUpdateLimit);
    handler->setRootSubscriptionClusters(settings.rootSubscriptionClusters);
    handler->start();
}

void QelServiceRegistry::Core::addServiceListener(const std::string& name, const UntypedServiceListener& listener,
                                                  const Service::Creator& creator) {
    switch (m_serviceRegistrySettings.mode) {
        case DYNAMIC_ONLY:
            addServiceListenerDynamic(name, listener, creator);
            return;
        case STATIC_ONLY:
        case STATIC_BEFORE_DYNAMIC:
            addServiceListenerStatic(name, listener, creator);
            return;
    }
}

void QelServiceRegistry::Core::addServiceListenerStatic(const std::string& name,
                                                        const UntypedServiceListener& listener,
                                                        const Service::Creator& creator) {
    logger->logInfo() << QEL_SOURCE_LOCATION << " service=" << name;
    if (!running()) return;
    if (m_serviceRegistrySettings.mode == STATIC_BEFORE_DYNAMIC) {
        if (!staticConfigManager->isServiceConfigurationKnown(name)) {
            logger->logTrace() << QEL_SOURCE_LOCATION << "service=" << name
                               << " is unknown to static configuration, using service registry instead";
            addServiceListenerDynamic(name, listener, creator);
            return;
        }
        logger->logTrace() << QEL_SOURCE_LOCATION << "service=" << name << " is known to static configuration";
    }
    const IConfigManager::ServiceConfiguration configuration = staticConfigManager->getServiceConfiguration(name);
    IWebsocketManager::Shared manager =
        staticWebsocketFactory->createWebsocketManager(configuration, qelTaskExecutor, loggerFactory);
    if (!manager) return;
    ITpAccess::Shared transport = staticTpAccessFactory->createTpAccess(name, staticConfigManager, loggerFactory);
    if (!transport) {
        logger->logError() << QEL_SOURCE_LOCATION << "tpAccess cannot be created for service=" << name;
        return;
    }
    auto accessor = std::make_shared<QelAccessor>(name, loggerFactory, qelTaskExecutor, httpTaskExecutor, transport);
    auto connection = std::make_shared<StaticConnection>();
    connection->name = name;
    connection->listener = listener;
    connection->creator = creator;
    if (creator) connection->service = creator(accessor, manager);
    {
        std::lock_guard<std::mutex> lock(connectionsMtx);
        connections.insert(connection);
    }
    // `connections` owns the set-up until it is lost.
    auto self = shared_from_this();
    manager->connectToWebsocketAndThen(detail::weakNotice(self, connection, &Core::staticUp),
                                       detail::weakNotice(self, connection, &Core::staticDown));
}

void QelServiceRegistry::Core::staticUp(const std::shared_ptr<StaticConnection>& connection) {
    if (!connection->order.beginAvailable(running())) return;
    try {
        connection->listener.available(connection->service);
    } catch (const std::exception& e) {
        logger->logError() << QEL_SOURCE_LOCATION << "available of the listener for service=" << connection->name
                           << " threw: " << e.what();
    }
    if (connection->order.endAvailable()) staticDown(connection);
}

void QelServiceRegistry::Core::staticDown(const std::shared_ptr<StaticConnection>& connection) {
    const detail::NoticeOrder::Loss loss = connection->order.lost();
    if (loss == detail::NoticeOrder::IGNORED || loss == detail::NoticeOrder::DEFERRED) return;
    {
        std::lock_guard<std::mutex> lock(connectionsMtx);
        connections.erase(connection);
    }
    if (!running()) return;
    if (loss == detail::NoticeOrder::LOST_AFTER_AVAILABLE) {
        try {
            connection->listener.unavailable();
        } catch (const std::exception& e) {
            logger->logError() << QEL_SOURCE_LOCATION << "unavailable of the listener for service="
                               << connection->name << " threw: " << e.what();
        }
    }
    try {
        addServiceListener(connection->name, connection->listener, connection->creator);
    } catch (const std::exception& e) {
        logger->logError() << QEL_SOURCE_LOCATION << "service=" << connection->name
                           << " cannot be set up again: " << e.what();
    }
}

void QelServiceRegistry::Core::addServiceListenerDynamic(const std::string& name,
                                                         const UntypedServiceListener& listener,
                                                         const Service::Creator& creator) {
    if (!handler) {
        logger->logWarning() << QEL_SOURCE_LOCATION << "service=" << name
                             << " cannot be looked up: no service registry in this mode";
        return;
    }
    handler->addServiceListener(name, listener, qelTaskExecutor, httpTaskExecutor, creator);
}

void QelServiceRegistry::Core::stop() {
    {
        std::lock_guard<std::mutex> lock(reconnect_mtx);
        reconnect = false;
    }
    if (handler) handler->stop();
}

QelServiceRegistry::QelServiceRegistry(IWebsocketManagerFactory::Shared websocketManagerFactory,
                                       IConfigManager::Shared staticConfigManager,
                                       qelutil::LoggerFactory::shared loggerFactory,
                                       ITpAccessFactory::Shared tpAccessFactory,
                                       qelutil::ITaskExecutor::Shared qelTaskExecutor,
                                       qelutil::ITaskExecutor::Shared httpTaskExecutor, const Settings& settings,
                                       std::shared_ptr<const QelServiceConfigurations::ServiceSettings> serviceSettings)
    : core(std::make_shared<Core>(std::move(websocketManagerFactory), std::move(staticConfigManager),
                                  std::move(loggerFactory), std::move(tpAccessFactory), std::move(qelTaskExecutor),
                                  std::move(httpTaskExecutor), settings)) {
    switch (settings.mode) {
        case STATIC_ONLY:
            core->logger->logInfo() << QEL_SOURCE_LOCATION << "using static mode only";
            return;
        case DYNAMIC_ONLY:
            core->logger->logInfo() << QEL_SOURCE_LOCATION << "using dynamic mode only";
            break;
        case STATIC_BEFORE_DYNAMIC:
            core->logger->logInfo() << QEL_SOURCE_LOCATION << "using static before dynamic";
            break;
    }
    core->startHandler(std::move(serviceSettings));
}

QelServiceRegistry::~QelServiceRegistry() { stop(); }

void QelServiceRegistry::addServiceListener(const std::string& serviceName, const UntypedServiceListener& listener,
                                            const Service::Creator& serviceCreator) {
    core->addServiceListener(serviceName, listener, serviceCreator);
}

void QelServiceRegistry::stop() { core->stop(); }

QelServiceRegistry::Mode QelServiceRegistry::str2mode(const std::string& text, Mode fallback) {
    if (text == STR_MODE_STATIC_ONLY) return STATIC_ONLY;
    if (text == STR_MODE_DYNAMIC_ONLY) return DYNAMIC_ONLY;
    if (text == STR_MODE_STATIC_BEFORE_DYNAMIC) return STATIC_BEFORE_DYNAMIC;
    return fallback;
}

const QelServiceRegistry::Settings& QelServiceRegistry::getSettings() const { return core->m_serviceRegistrySettings; }

std::shared_ptr<ServiceRegistryClientHandler> QelServiceRegistry::getHandler() const { return core->handler; }

}  // namespace qel
