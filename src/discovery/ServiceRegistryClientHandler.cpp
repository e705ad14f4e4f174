#include <QelAccess/ServiceRegistryClientHandler.h>

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/QelAccessor.h>

#include <QelAccessUtility/BMetricsLogger.h>

#include "discovery/DiscoverySupport.h"
#include "model/SourceLocation.h"

#include <exception>
#include <utility>

namespace qel {

namespace {

std::string prefixWithoutTrailingUnderscore() {
    std::string prefix = DefaultWebsocketManager2::getSubscriptionEventPrefix();
    if (!prefix.empty() && prefix.back() == '_') prefix.pop_back();
    return prefix;
}

}  // namespace

/// One set-up of a listener and the connection it waits for.
struct ServiceRegistryClientHandler::Connection {
    Listener listener;
    std::shared_ptr<Service> service;
    std::shared_ptr<QelAccessor> accessor;
    IWebsocketManager::Shared manager;
    detail::NoticeOrder order;
};

ServiceRegistryClientHandler::ServiceRegistryClientHandler(
    const std::string& uri_, qelutil::ITaskExecutor::Shared taskExecutor, qelutil::LoggerFactory::shared loggerFactory_,
    std::shared_ptr<qelutil::StreamingLogger> logger_, std::shared_ptr<const ServiceSettings> serviceSettings,
    IWebsocketManagerFactory::Shared webSocketManagerFactory_, ITpAccessFactory::Shared tpAccessFactory_)
    : uri(uri_),
      logger(std::move(logger_)),
      loggerFactory(std::move(loggerFactory_)),
      client(std::make_shared<ServiceRegistryClient>(std::move(taskExecutor), loggerFactory,
                                                     std::move(serviceSettings))),
      webSocketManagerFactory(std::move(webSocketManagerFactory_)),
      tpAccessFactory(std::move(tpAccessFactory_)),
      logPrefix(prefixWithoutTrailingUnderscore()) {}

ServiceRegistryClientHandler::ServiceRegistryClientHandler(
    const std::string& uri_, const std::vector<std::string>& servicesSubscriptionFilter,
    qelutil::ITaskExecutor::Shared taskExecutor, qelutil::LoggerFactory::shared loggerFactory_,
    std::shared_ptr<qelutil::StreamingLogger> logger_, std::shared_ptr<const ServiceSettings> serviceSettings,
    IWebsocketManagerFactory::Shared webSocketManagerFactory_, ITpAccessFactory::Shared tpAccessFactory_)
    : ServiceRegistryClientHandler(uri_, std::move(taskExecutor), std::move(loggerFactory_), std::move(logger_),
                                   std::move(serviceSettings), std::move(webSocketManagerFactory_),
                                   std::move(tpAccessFactory_)) {
    client->setServicesSubscriptionFilter(servicesSubscriptionFilter);
}

ServiceRegistryClientHandler::ServiceRegistryClientHandler(
    const std::string& uri_, const std::vector<std::string>& servicesSubscriptionFilter,
    qelutil::ITaskExecutor::Shared taskExecutor, qelutil::LoggerFactory::shared loggerFactory_,
    std::shared_ptr<qelutil::StreamingLogger> logger_, IConfigManager::Shared staticConfigManager,
    std::shared_ptr<const ServiceSettings> serviceSettings, IWebsocketManagerFactory::Shared webSocketManagerFactory_,
    ITpAccessFactory::Shared tpAccessFactory_)
    : ServiceRegistryClientHandler(uri_, servicesSubscriptionFilter, std::move(taskExecutor),
                                   std::move(loggerFactory_), std::move(logger_), std::move(serviceSettings),
                                   std::move(webSocketManagerFactory_), std::move(tpAccessFactory_)) {
    client->setStaticConfigManager(std::move(staticConfigManager));
}

ServiceRegistryClientHandler::~ServiceRegistryClientHandler() { stop(); }

void ServiceRegistryClientHandler::start() {
    if (!reconnect) return;
    ServiceRegistryClient::ServicesFilterFunction filter;
    qelutil::Optional<std::chrono::milliseconds> updateLimit;
    {
        std::lock_guard<std::mutex> lock(mtx);
        filter = clientFilterFunction;
        updateLimit = m_rootSubscriptionUpdateLimit;
    }
    client->setServicesFilterFunction(std::move(filter));
    client->setRootSubscriptionUpdateLimit(updateLimit);
    std::weak_ptr<ServiceRegistryClientHandler> weakSelf = weak_from_this();
    if (weakSelf.expired()) {
        logger->logError() << QEL_SOURCE_LOCATION << "cannot start: the handler is not owned by a shared_ptr";
        return;
    }
    client->start(
        uri, webSocketManagerFactory, tpAccessFactory,
        [weakSelf](ServiceRegistryClient&) {
            if (auto self = weakSelf.lock()) self->onConnectionSuccessful();
        },
        [weakSelf](ServiceRegistryClient&) {
            if (auto self = weakSelf.lock()) {
                self->onConnectionClosed();
                self->start();
            }
        },
        [weakSelf](ServiceRegistryClient&, const QelServiceConfigurations& snapshot) {
            auto self = weakSelf.lock();
            if (!self) return;
            self->logger->logInfo() << "got new services from ServiceRegistry, count="
                                    << snapshot.getServices().size();
            self->onServicesUpdate(snapshot);
        });
}

void ServiceRegistryClientHandler::stop() {
    reconnect = false;
    client->stop();
}

void ServiceRegistryClientHandler::onConnectionSuccessful() {
    logger->logInfo() << "ServiceRegistry connected";
    logPerformanceMessage("ServiceRegistry connected");
}

void ServiceRegistryClientHandler::onConnectionClosed() {
    logger->logInfo() << "ServiceRegistry disconnected";
    logPerformanceMessage("ServiceRegistry disconnected");
    Snapshot dropped;
    std::lock_guard<std::mutex> lock(mtx);
    dropped = std::move(services);
}

void ServiceRegistryClientHandler::logPerformanceMessage(const std::string& text) {
    qelutil::BMetricsLogger::logRawBootmarker("[" + logPrefix + "] " + text);
}

void ServiceRegistryClientHandler::addServiceListener(const std::string& serviceName,
                                                      const UntypedServiceListener& listener,
                                                      qelutil::ITaskExecutor::Shared qelCallbackExecutor,
                                                      qelutil::ITaskExecutor::Shared httpCallbackExecutor,
                                                      const Service::Creator& serviceCreator) {
    auto entry = std::make_shared<ServiceListener>();
    entry->serviceName = serviceName;
    entry->serviceListener = listener;
    entry->qelCallbackExecutor = std::move(qelCallbackExecutor);
    entry->httpCallbackExecutor = std::move(httpCallbackExecutor);
    entry->serviceCreator = serviceCreator;
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mtx);
        entry->sequence = nextSequence++;
        snapshot = services;
        if (!snapshot || !reconnect) {
            insertWaiting(entry);
            return;
        }
    }
    setUpAndFile(entry, std::move(snapshot));
}

void ServiceRegistryClientHandler::onServicesUpdate(const QelServiceConfigurations& snapshot) {
    logger->logTrace() << "ServiceRegistryClientHandler onServicesUpdate called";
    auto stored = std::make_shared<const QelServiceConfigurations>(snapshot);
    {
        std::lock_guard<std::mutex> lock(mtx);
        services = stored;
        abandonPendingConnections();
    }
    retryWaiting(stored);
}

void ServiceRegistryClientHandler::retryWaiting(const Snapshot& snapshot) {
    std::list<Listener> waiting;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!reconnect) return;
        waiting.swap(listenersUnresolved);
    }
    for (const Listener& listener : waiting) setUpAndFile(listener, snapshot);
}

void ServiceRegistryClientHandler::setUpAndFile(const Listener& listener, Snapshot snapshot) {
    while (true) {
        std::shared_ptr<Connection> connection = setUp(listener, snapshot);
        {
            std::lock_guard<std::mutex> lock(mtx);
            if (connection && reconnect) {
                // Filed before connecting: the loss of this connection may be
                // told on another thread as soon as it stands.
                listenersResolved.push_back(listener);
                connections[listener.get()] = connection;
            } else if (!reconnect || !services || services == snapshot) {
                insertWaiting(listener);
                return;
            } else {
                // A snapshot that arrived during the attempt did not see this
                // listener: try again with it.
                snapshot = services;
                continue;
            }
        }
        connect(connection);
        return;
    }
}

void ServiceRegistryClientHandler::connect(const std::shared_ptr<Connection>& connection) {
    // `connections` owns the connection while it is the listener's latest.
    auto self = shared_from_this();
    connection->manager->connectToWebsocketAndThen(
        detail::weakNotice(self, connection, &ServiceRegistryClientHandler::connectionUp),
        detail::weakNotice(self, connection, &ServiceRegistryClientHandler::connectionDown));
}

void ServiceRegistryClientHandler::insertWaiting(const Listener& listener) {
    auto position = listenersUnresolved.begin();
    while (position != listenersUnresolved.end() && (*position)->sequence < listener->sequence) ++position;
    listenersUnresolved.insert(position, listener);
}

std::shared_ptr<QelServiceConfigurations> ServiceRegistryClientHandler::resolvedSnapshot(const std::string& name,
                                                                                         const Snapshot& snapshot) {
    std::lock_guard<std::mutex> lock(resolveMtx);
    std::shared_ptr<ServiceRegistryService> service = snapshot->findService(name);
    if (!service->isResolved()) client->resolveService(*service, false, avoidRedirect);
    if (!service->isResolved()) return nullptr;
    auto own = std::make_shared<QelServiceConfigurations>(*snapshot);
    own->getServices()[name] = std::make_shared<ServiceRegistryService>(*service);
    return own;
}

std::shared_ptr<ServiceRegistryClientHandler::Connection> ServiceRegistryClientHandler::setUp(
    const Listener& listener, const Snapshot& snapshot) {
    const std::string& name = listener->serviceName;
    logger->logTrace() << QEL_SOURCE_LOCATION << " addServiceListener service=" << name;
    if (!reconnect || !snapshot) return nullptr;
    if (!snapshot->isServiceConfigurationKnown(name)) {
        logger->logTrace() << QEL_SOURCE_LOCATION << "could not add service listener for service=" << name
                           << ", because service is unknown";
        return nullptr;
    }
    std::shared_ptr<QelServiceConfigurations> configSource = resolvedSnapshot(name, snapshot);
    if (!configSource) {
        logger->logTrace() << QEL_SOURCE_LOCATION << "could not resolve service=" << name;
        return nullptr;
    }
    const IConfigManager::ServiceConfiguration configuration = configSource->getServiceConfiguration(name);
    IWebsocketManager::Shared manager =
        webSocketManagerFactory->createWebsocketManager(configuration, listener->qelCallbackExecutor, loggerFactory);
    if (!manager) {
        logger->logError() << QEL_SOURCE_LOCATION << "websocketManager cannot be created for service=" << name;
        return nullptr;
    }
    ITpAccess::Shared transport = tpAccessFactory->createTpAccess(name, configSource, loggerFactory);
    if (!transport) {
        logger->logError() << QEL_SOURCE_LOCATION << "tpAccess cannot be created for service=" << name;
        return nullptr;
    }
    auto connection = std::make_shared<Connection>();
    connection->listener = listener;
    connection->manager = manager;
    connection->accessor = std::make_shared<QelAccessor>(name, loggerFactory, listener->qelCallbackExecutor,
                                                         listener->httpCallbackExecutor, transport);
    if (listener->serviceCreator) {
        try {
            connection->service = listener->serviceCreator(connection->accessor, manager);
        } catch (const std::exception& e) {
            logger->logError() << QEL_SOURCE_LOCATION << "service creator failed for service=" << name << ": "
                               << e.what();
            return nullptr;
        }
    }
    return connection;
}

void ServiceRegistryClientHandler::connectionUp(const std::shared_ptr<Connection>& connection) {
    if (!connection->order.beginAvailable(reconnect)) return;
    notify(connection->listener, "available",
           [&] { connection->listener->serviceListener.available(connection->service); });
    if (connection->order.endAvailable()) connectionDown(connection);
}

void ServiceRegistryClientHandler::connectionDown(const std::shared_ptr<Connection>& connection) {
    switch (connection->order.lost()) {
        case detail::NoticeOrder::LOST_BEFORE_AVAILABLE:
            serviceLost(connection, false);
            return;
        case detail::NoticeOrder::LOST_AFTER_AVAILABLE:
            serviceLost(connection, true);
            return;
        default:
            return;
    }
}

void ServiceRegistryClientHandler::serviceLost(const std::shared_ptr<Connection>& connection, bool wasAvailable) {
    const Listener& listener = connection->listener;
    logger->logInfo() << "websocket disconnected, serviceName=" << listener->serviceName;
    if (!reconnect) return;
    if (wasAvailable) notify(listener, "unavailable", [&] { listener->serviceListener.unavailable(); });
    setServiceAsUnresolved(listener);
    Snapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mtx);
        snapshot = services;
    }
    if (snapshot) retryWaiting(snapshot);
}

void ServiceRegistryClientHandler::notify(const Listener& listener, const char* what,
                                          const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        logger->logError() << QEL_SOURCE_LOCATION << what << " of the listener for service=" << listener->serviceName
                           << " threw: " << e.what();
    }
}

void ServiceRegistryClientHandler::abandonPendingConnections() {
    for (auto it = listenersResolved.begin(); it != listenersResolved.end();) {
        auto found = connections.find(it->get());
        const bool pending = found != connections.end() &&
                             found->second->manager->getConnectionState() != IWebsocketManager::CONNECTED &&
                             found->second->order.abandon();
        if (!pending) {
            ++it;
            continue;
        }
        logger->logDebug() << "set-up of service=" << (*it)->serviceName << " is tried again with new services";
        connections.erase(found);
        insertWaiting(*it);
        it = listenersResolved.erase(it);
    }
}

void ServiceRegistryClientHandler::setServiceAsUnresolved(const Listener& listener) {
    std::lock_guard<std::mutex> lock(mtx);
    for (auto it = listenersResolved.begin(); it != listenersResolved.end(); ++it) {
        if (*it != listener) continue;
        connections.erase(listener.get());
        listenersResolved.erase(it);
        insertWaiting(listener);
        return;
    }
}

void ServiceRegistryClientHandler::setAvoidRedirect(bool flag) {
    avoidRedirect = flag;
    logger->logInfo() << "avoidRedirect is " << (flag ? "" : "not ") << "enabled";
}

void ServiceRegistryClientHandler::setServicesFilterFunction(ServiceRegistryClient::ServicesFilterFunction function) {
    std::lock_guard<std::mutex> lock(mtx);
    clientFilterFunction = std::move(function);
}

void ServiceRegistryClientHandler::setRootSubscriptionUpdateLimit(
    const qelutil::Optional<std::chrono::milliseconds>& updateLimit) {
    std::lock_guard<std::mutex> lock(mtx);
    m_rootSubscriptionUpdateLimit = updateLimit;
}

void ServiceRegistryClientHandler::setRootSubscriptionClusters(
    const std::vector<ServiceRegistryClient::RootSubscriptionCluster>& clusters) {
    client->setRootSubscriptionClusters(clusters);
}

std::shared_ptr<const QelServiceConfigurations> ServiceRegistryClientHandler::getServices() const {
    std::lock_guard<std::mutex> lock(mtx);
    return services;
}

std::size_t ServiceRegistryClientHandler::resolvedCount() const {
    std::lock_guard<std::mutex> lock(mtx);
    return listenersResolved.size();
}

std::size_t ServiceRegistryClientHandler::unresolvedCount() const {
    std::lock_guard<std::mutex> lock(mtx);
    return listenersUnresolved.size();
}

}  // namespace qel
