#include <QelAccess/ServiceRegistryClient.h>

#include <QelAccess/ConfigManager.h>
#include <QelAccess/QelAccessLoggingClassifier.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/ServiceRegistryServiceDescriptor.h>
#include <QelAccess/Subscription.h>

#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/Uri.h>
#include <QelAccessUtility/UriParser.h>

#include "discovery/DiscoverySupport.h"
#include "model/SourceLocation.h"

#include <utility>

namespace qel {

const std::string ServiceRegistryClient::SERVICE_NAME = "ServiceRegistry";

ServiceRegistryClient::ServiceRegistryClient(qelutil::ITaskExecutor::Shared taskExecutor_,
                                             qelutil::LoggerFactory::shared loggerFactory_,
                                             std::shared_ptr<const ServiceSettings> serviceSettings_)
    : taskExecutor(std::move(taskExecutor_)),
      loggerFactory(std::move(loggerFactory_)),
      logger(detail::serviceRegistryLogger(loggerFactory)),
      serviceSettings(std::move(serviceSettings_)) {
    if (!serviceSettings) {
        logger->logInfo() << "did not get any service settings";
        return;
    }
    logger->logInfo() << "got service settings, count=" << serviceSettings->size();
    for (const auto& setting : *serviceSettings) logger->logInfo() << "service name=" << setting.first;
}

ServiceRegistryClient::~ServiceRegistryClient() { stop(); }

bool ServiceRegistryClient::start(const std::string& uri, IWebsocketManagerFactory::Shared websocketManagerFactory,
                                  ITpAccessFactory::Shared tpAccessFactory_, ConnectionCallback onConnectionSuccessful,
                                  ConnectionCallback onConnectionClosed,
                                  ConstServicesUpdateCallback onServicesUpdate) {
    if (isRunning()) return false;
    std::weak_ptr<ServiceRegistryClient> weakSelf = weak_from_this();
    if (weakSelf.expired()) {
        logger->logError() << QEL_SOURCE_LOCATION << "cannot start: the client is not owned by a shared_ptr";
        return false;
    }
    qelutil::Uri parsed;
    if (!qelutil::UriParser::parseUri(uri, parsed)) {
        logger->logWarning() << "could not parse http host from uri=" << uri;
        return false;
    }
    logger->logInfo() << "defaultHost=" << parsed.host;

    auto configManager = std::make_shared<ConfigManager>();
    configManager->setDefaultConfig(
        ConfigManager::ServiceConfig(uri, "/", true, std::chrono::milliseconds(0), std::chrono::milliseconds(0)));
    const IConfigManager::ServiceConfiguration configuration = configManager->getServiceConfiguration(SERVICE_NAME);
    logger->logInfo() << "ServiceRegistry Configuration:";
    logger->logInfo() << "use baseUri=" << configuration.serverBaseUri;
    logger->logInfo() << "use basePath=" << configuration.serverBasePath;
    logger->logInfo() << "use separatorAfterResource=" << configuration.separatorAfterResource;

    IWebsocketManager::Shared manager =
        websocketManagerFactory ? websocketManagerFactory->createWebsocketManager(configuration, taskExecutor,
                                                                                   loggerFactory)
                                : nullptr;
    if (!manager) {
        logger->logError() << QEL_SOURCE_LOCATION << "websocketManager cannot be created for service=" << SERVICE_NAME;
        return false;
    }

    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (webSocket) return false;  // started on another thread meanwhile
        defaultHost = parsed.host;
        webSocket = manager;
        m_configManager = configManager;
        tpAccessFactory = std::move(tpAccessFactory_);
        callbackConnectionSuccessful = std::move(onConnectionSuccessful);
        callbackConnectionClosed = std::move(onConnectionClosed);
        callbackServicesUpdate = [onServicesUpdate](ServiceRegistryClient& client,
                                                    QelServiceConfigurations& snapshot) {
            if (onServicesUpdate) onServicesUpdate(client, snapshot);
        };
        generation = ++m_generation;
    }
    logger->logInfo() << "connecting to uri=" << uri;
    manager->connectToWebsocketAndThen(
        [weakSelf, generation] {
            if (auto self = weakSelf.lock()) self->serviceConnected(generation);
        },
        [weakSelf, generation] {
            if (auto self = weakSelf.lock()) self->serviceDisconnected(generation);
        });
    return true;
}

void ServiceRegistryClient::serviceConnected(uint64_t generation) {
    ITpAccessFactory::Shared factory;
    std::shared_ptr<const IConfigManager> configManager;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!isCurrent(generation)) return;
        factory = tpAccessFactory;
        configManager = m_configManager;
    }
    logger->logInfo() << "ServiceRegistryClient connected";
    ITpAccess::Shared access = factory ? factory->createTpAccess(SERVICE_NAME, configManager, loggerFactory) : nullptr;
    if (!access) {
        logger->logError() << QEL_SOURCE_LOCATION << "httpAccess cannot be created for service=" << SERVICE_NAME;
        return;
    }
    ConnectionCallback connected;
    bool useClusters = false;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!isCurrent(generation)) return;
        httpAccess = access;
        connected = callbackConnectionSuccessful;
        useClusters = !rootSubscriptionContainers.empty();
    }
    if (connected) connected(*this);
    if (useClusters)
        prepareClusters(generation);
    else
        subscribeToRoot(generation);
}

void ServiceRegistryClient::subscribeToRoot(uint64_t generation) {
    logger->logInfo() << "subscribing to root";
    auto descriptor = std::make_shared<ServiceRegistryServiceDescriptor>();
    IWebsocketManager::Shared manager;
    qelutil::Optional<std::chrono::milliseconds> updateLimit;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!isCurrent(generation)) return;
        manager = webSocket;
        updateLimit = m_rootSubscriptionUpdateLimit;
        if (!m_servicesSubscriptionFilter.empty()) descriptor->getQelFilter().add("name", m_servicesSubscriptionFilter);
    }
    descriptor->getQueryOptions().setFieldsFilter({"port"});
    std::weak_ptr<ServiceRegistryClient> weakSelf = weak_from_this();
    IWebsocketManager::ArrayCallback callback = [weakSelf, generation](qelutil::JsonArray::Shared array,
                                                                       std::shared_ptr<const SubscriptionResponse>) {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mtx);
            if (!self->isCurrent(generation)) return;
        }
        self->onRootUpdate(std::move(array));
    };
    std::shared_ptr<Subscription> subscription =
        detail::subscribeRootOnce(*manager, descriptor, std::move(callback), updateLimit, *logger);
    if (subscription)
        logger->logInfo() << "successfully subscribed to root";
    else
        logger->logWarning() << "could not subscribe to root";
    std::lock_guard<std::mutex> lock(mtx);
    // A subscription of a connection that ended meanwhile goes with this scope.
    if (isCurrent(generation)) std::swap(rootSubscription, subscription);
}

void ServiceRegistryClient::prepareClusters(uint64_t generation) {
    logger->logInfo() << "using cluster subscriptions";
    std::weak_ptr<ServiceRegistryClient> weakSelf = weak_from_this();
    std::vector<std::pair<PreparedToSubscribeEvent, std::shared_ptr<RootSubscriptionHandler>>> prepared;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!isCurrent(generation)) return;
        for (RootSubscriptionContainer& container : rootSubscriptionContainers) {
            container.handler = std::make_shared<RootSubscriptionHandler>(
                container.cluster, webSocket, logger, [weakSelf, generation] {
                    if (auto self = weakSelf.lock()) self->clusterUpdated(generation);
                });
            prepared.emplace_back(container.cluster->onPreparedToSubscribe, container.handler);
        }
    }
    for (auto& event : prepared)
        if (event.first) event.first(event.second);
}

void ServiceRegistryClient::clusterUpdated(uint64_t generation) {
    std::vector<std::shared_ptr<RootSubscriptionHandler>> handlers;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!isCurrent(generation)) return;
        for (const RootSubscriptionContainer& container : rootSubscriptionContainers)
            if (container.handler) handlers.push_back(container.handler);
    }
    qelutil::JsonArray::Shared merged = qelutil::JsonFactory::createJsonArray();
    for (const auto& handler : handlers)
        if (auto array = handler->getServicesArray()) merged->addAll(*array);
    onRootUpdate(merged);
}

void ServiceRegistryClient::onRootUpdate(qelutil::JsonArray::Shared array) {
    ServicesFilterFunction filter;
    ServicesUpdateCallback updated;
    {
        std::lock_guard<std::mutex> lock(mtx);
        filter = m_servicesFilterFunction;
        updated = callbackServicesUpdate;
    }
    if (!array) {
        logger->logWarning() << QEL_SOURCE_LOCATION << "got root update without data";
        return;
    }
    if (filter) filter(array);
    logger->logInfo() << "got root update, count=" << array->size();
    if (!updated) return;
    QelServiceConfigurations snapshot;
    addRootEntries(*array, snapshot);
    snapshot.setServiceSettings(serviceSettings);
    updated(*this, snapshot);
}

void ServiceRegistryClient::addRootEntries(const qelutil::JsonArray& array, QelServiceConfigurations& snapshot) {
    std::string host;
    IConfigManager::Shared staticConfig;
    {
        std::lock_guard<std::mutex> lock(mtx);
        host = defaultHost;
        staticConfig = m_staticConfigManager;
    }
    QelServiceConfigurations::ServiceMap& services = snapshot.getServices();
    for (std::size_t i = 0; i < array.size(); ++i) {
        std::shared_ptr<ServiceRegistryService> service = detail::serviceFromRootEntry(array, i, host, logger);
        if (!service) continue;
        const std::string& name = service->getName().getValue();
        if (staticConfig && staticConfig->isServiceConfigurationKnown(name)) continue;
        auto existing = services.find(name);
        if (existing == services.end()) {
            services.emplace(name, std::move(service));
            continue;
        }
        qelutil::Uri uri;
        if (qelutil::UriParser::parseUri(service->getUri().getValue(), uri) && detail::isLocalHost(uri.host))
            existing->second = std::move(service);
    }
}

void ServiceRegistryClient::serviceDisconnected(uint64_t generation) {
    std::vector<std::shared_ptr<RootSubscriptionHandler>> handlers;
    ITpAccess::Shared access;
    ITpAccessFactory::Shared factory;
    std::shared_ptr<Subscription> subscription;
    IWebsocketManager::Shared manager;
    ConnectionCallback closed;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!isCurrent(generation)) return;
        ++m_generation;
        handlers = takeClusterHandlers();
        access = std::move(httpAccess);
        factory = std::move(tpAccessFactory);
        subscription = std::move(rootSubscription);
        manager = std::move(webSocket);
        closed = callbackConnectionClosed;
    }
    logger->logInfo() << "ServiceRegistryClient disconnected";
    for (auto& handler : handlers) handler->reset();
    handlers.clear();
    access.reset();
    factory.reset();
    subscription.reset();
    manager.reset();
    if (closed) closed(*this);
}

bool ServiceRegistryClient::stop() {
    std::vector<std::shared_ptr<RootSubscriptionHandler>> handlers;
    IWebsocketManager::Shared manager;
    ITpAccess::Shared access;
    std::shared_ptr<const IConfigManager> configManager;
    ITpAccessFactory::Shared factory;
    std::shared_ptr<Subscription> subscription;
    ConnectionCallback connected, closed;
    ServicesUpdateCallback updated;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!webSocket) return false;
        ++m_generation;
        handlers = takeClusterHandlers();
        manager = std::move(webSocket);
        access = std::move(httpAccess);
        configManager = std::move(m_configManager);
        factory = std::move(tpAccessFactory);
        subscription = std::move(rootSubscription);
        connected = std::move(callbackConnectionSuccessful);
        closed = std::move(callbackConnectionClosed);
        updated = std::move(callbackServicesUpdate);
    }
    // Released here, outside the lock: a dropped subscription unsubscribes.
    for (auto& handler : handlers) handler->reset();
    return true;
}

std::vector<std::shared_ptr<ServiceRegistryClient::RootSubscriptionHandler>>
ServiceRegistryClient::takeClusterHandlers() {
    std::vector<std::shared_ptr<RootSubscriptionHandler>> handlers;
    for (RootSubscriptionContainer& container : rootSubscriptionContainers)
        if (container.handler) handlers.push_back(std::move(container.handler));
    return handlers;
}

bool ServiceRegistryClient::isRunning() const {
    std::lock_guard<std::mutex> lock(mtx);
    return webSocket != nullptr;
}

bool ServiceRegistryClient::isConnected() const {
    std::lock_guard<std::mutex> lock(mtx);
    return webSocket && httpAccess;
}

void ServiceRegistryClient::requestServices(QelServiceConfigurations& out) {
    ITpAccess::Shared access;
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!webSocket || !httpAccess) return;
        access = httpAccess;
    }
    auto response = std::make_shared<QelResponse>();
    std::vector<IXObject::Unique> objects = access->readRoot(&ServiceRegistryClient::createQelService,
                                                             XObjectDescriptor(), response);
    if (response->getStatusCode() == qelutil::HttpResponse::OK)
        logger->logInfo() << "got " << objects.size() << " objects";
    else
        logger->logError() << "could not read objects from service, http error code=" << response->getStatusCode();
    for (IXObject::Unique& object : objects) {
        std::shared_ptr<ServiceRegistryService> service(static_cast<ServiceRegistryService*>(object.release()));
        const std::string name = service->getName().getValue();
        out.getServices()[name] = std::move(service);
    }
    out.setServiceSettings(serviceSettings);
}

IXObject::Unique ServiceRegistryClient::createQelService(qelutil::JsonObject::Shared json) {
    return std::make_unique<ServiceRegistryService>(std::move(json));
}

std::unique_ptr<ServiceRegistryService> ServiceRegistryClient::createQelServiceWithLogging(
    qelutil::JsonObject::Shared json, const std::string& host, const std::shared_ptr<qelutil::StreamingLogger>& log) {
    return std::make_unique<ServiceRegistryService>(std::move(json), host, log);
}

void ServiceRegistryClient::setServicesSubscriptionFilter(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(mtx);
    m_servicesSubscriptionFilter = names;
}

void ServiceRegistryClient::setStaticConfigManager(IConfigManager::Shared configManager) {
    std::lock_guard<std::mutex> lock(mtx);
    m_staticConfigManager = std::move(configManager);
}

void ServiceRegistryClient::setServicesFilterFunction(ServicesFilterFunction function) {
    std::lock_guard<std::mutex> lock(mtx);
    m_servicesFilterFunction = std::move(function);
}

void ServiceRegistryClient::setRootSubscriptionUpdateLimit(
    const qelutil::Optional<std::chrono::milliseconds>& updateLimit) {
    std::lock_guard<std::mutex> lock(mtx);
    m_rootSubscriptionUpdateLimit = updateLimit;
}

void ServiceRegistryClient::setRootSubscriptionClusters(const std::vector<RootSubscriptionCluster>& clusters) {
    std::lock_guard<std::mutex> lock(mtx);
    for (const RootSubscriptionCluster& cluster : clusters) {
        if (cluster.servicesNamesFilter.empty()) {
            logger->logWarning() << QEL_SOURCE_LOCATION << "ignoring cluster with empty servicesNamesFilter";
            continue;
        }
        rootSubscriptionContainers.emplace_back(std::make_shared<RootSubscriptionCluster>(cluster));
    }
}

}  // namespace qel
