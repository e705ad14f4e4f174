#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/ITpAccess.h>
#include <QelAccess/ITpAccessFactory.h>
#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/IWebsocketManagerFactory.h>
#include <QelAccess/QelServiceConfigurations.h>
#include <QelAccess/ServiceRegistryService.h>

#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qel {

class Subscription;

/// The client of the service registry (the service named "ServiceRegistry"):
/// it opens the registry's WebSocket, builds the registry's HTTP transport
/// once connected, subscribes to the registry's root (once, or per cluster of
/// service names) and turns every root update into a QelServiceConfigurations
/// snapshot for its owner; on request it resolves where a service runs.
///
/// Must be owned by a std::shared_ptr before start(): the manager's notices
/// and root updates hold it weakly, so a client may go while they are queued.
/// Notices of an earlier start() that arrive after stop() or a later start()
/// are ignored.
///
/// Thread-safe: `mtx` guards the connection handles, callbacks, settings and
/// cluster handlers; it is never held while the owner's callbacks, the filter
/// function, a factory, the WebSocket manager or the transport run.
class ServiceRegistryClient : public std::enable_shared_from_this<ServiceRegistryClient> {
public:
    /// May change the raw root listing in place before it is read.
    using ServicesFilterFunction = std::function<void(qelutil::JsonArray::Shared)>;
    using ConnectionCallback = std::function<void(ServiceRegistryClient&)>;
    using ServicesUpdateCallback = std::function<void(ServiceRegistryClient&, QelServiceConfigurations&)>;
    using ConstServicesUpdateCallback = std::function<void(ServiceRegistryClient&, const QelServiceConfigurations&)>;
    using ServiceSettings = QelServiceConfigurations::ServiceSettings;

    class RootSubscriptionHandler;
    using PreparedToSubscribeEvent = std::function<void(std::shared_ptr<RootSubscriptionHandler>)>;

    /// One root subscription covering a set of service names.
    struct RootSubscriptionCluster {
        /// Must not be empty.
        std::vector<std::string> servicesNamesFilter;
        qelutil::Optional<std::chrono::milliseconds> updateLimit;
        /// Told of the cluster's handler once the registry is connected; the
        /// cluster is subscribed when the application calls subscribeNow() on
        /// it. Without this event the cluster is not subscribed.
        PreparedToSubscribeEvent onPreparedToSubscribe;
    };

    struct RootSubscriptionContainer {
        std::shared_ptr<RootSubscriptionCluster> cluster;
        /// Present only while connected.
        std::shared_ptr<RootSubscriptionHandler> handler;

        explicit RootSubscriptionContainer(std::shared_ptr<RootSubscriptionCluster> cluster_)
            : cluster(std::move(cluster_)) {}
    };

    /// The root subscription of one cluster. subscribeNow() may be called on
    /// any thread while a disconnection resets the handler. Updates reach a
    /// handler owned by a std::shared_ptr only (the client makes them so).
    class RootSubscriptionHandler : public std::enable_shared_from_this<RootSubscriptionHandler> {
    public:
        using ClusterUpdated = std::function<void()>;

        RootSubscriptionHandler(std::shared_ptr<RootSubscriptionCluster> cluster,
                                IWebsocketManager::Shared webSocket,
                                std::shared_ptr<qelutil::StreamingLogger> logger, ClusterUpdated onClusterUpdated);

        void subscribeNow();
        /// Sets the update limit of the cluster; call before subscribeNow().
        void setUpdateLimit(const qelutil::Optional<std::chrono::milliseconds>& updateLimit);
        /// Drops the subscription, the cluster, the manager, the last update
        /// and the cluster-updated function.
        void reset();
        void onUpdate(qelutil::JsonArray::Shared array);
        /// The last update received, or null.
        qelutil::JsonArray::Shared getServicesArray() const;

    private:
        std::shared_ptr<RootSubscriptionCluster> m_cluster;
        IWebsocketManager::Shared m_webSocket;
        std::shared_ptr<qelutil::StreamingLogger> m_logger;
        mutable std::mutex m_mtxWebSocket;
        std::shared_ptr<Subscription> m_subscription;
        qelutil::JsonArray::Shared m_servicesArray;
        ClusterUpdated m_onClusterUpdated;
    };

    static const std::string SERVICE_NAME;
    static const std::string& getServiceName() { return SERVICE_NAME; }

    /// `serviceSettings` (may be null) is attached to every snapshot.
    ServiceRegistryClient(qelutil::ITaskExecutor::Shared taskExecutor, qelutil::LoggerFactory::shared loggerFactory,
                          std::shared_ptr<const ServiceSettings> serviceSettings);
    ~ServiceRegistryClient();
    ServiceRegistryClient(const ServiceRegistryClient&) = delete;
    ServiceRegistryClient& operator=(const ServiceRegistryClient&) = delete;

    /// Starts connecting to the registry at `uri`; false when running
    /// already, when the URI cannot be parsed or no manager can be had.
    bool start(const std::string& uri, IWebsocketManagerFactory::Shared websocketManagerFactory,
               ITpAccessFactory::Shared tpAccessFactory, ConnectionCallback onConnectionSuccessful,
               ConnectionCallback onConnectionClosed, ConstServicesUpdateCallback onServicesUpdate);
    /// Drops every connection handle and callback without calling any;
    /// false when not running.
    bool stop();
    bool isRunning() const;
    bool isConnected() const;

    /// One HTTP read of the registry root into `out`; nothing without a connection.
    void requestServices(QelServiceConfigurations& out);
    /// Finds out where the service runs; avoids the registry request when
    /// the service's own URI parses.
    void resolveService(ServiceRegistryService& service, bool force);
    void resolveService(ServiceRegistryService& service, bool force, bool avoidRedirect);

    static IXObject::Unique createQelService(qelutil::JsonObject::Shared json);
    static std::unique_ptr<ServiceRegistryService> createQelServiceWithLogging(
        qelutil::JsonObject::Shared json, const std::string& defaultHost,
        const std::shared_ptr<qelutil::StreamingLogger>& logger);

    /// Names for the single root subscription; empty means all.
    void setServicesSubscriptionFilter(const std::vector<std::string>& names);
    /// Services the static configuration knows are left out of snapshots.
    void setStaticConfigManager(IConfigManager::Shared configManager);
    void setServicesFilterFunction(ServicesFilterFunction function);
    void setRootSubscriptionUpdateLimit(const qelutil::Optional<std::chrono::milliseconds>& updateLimit);
    /// Appends the clusters with names; set before start().
    void setRootSubscriptionClusters(const std::vector<RootSubscriptionCluster>& clusters);

private:
    void serviceConnected(uint64_t generation);
    void serviceDisconnected(uint64_t generation);
    void subscribeToRoot(uint64_t generation);
    void prepareClusters(uint64_t generation);
    void onRootUpdate(qelutil::JsonArray::Shared array);
    void clusterUpdated(uint64_t generation);
    /// Reads the root update's entries into `snapshot` by the update rules.
    void addRootEntries(const qelutil::JsonArray& array, QelServiceConfigurations& snapshot);
    /// Takes the cluster handlers out of their containers; call under `mtx`.
    std::vector<std::shared_ptr<RootSubscriptionHandler>> takeClusterHandlers();
    bool isCurrent(uint64_t generation) const { return generation == m_generation; }
    void resolveFromRegistry(ServiceRegistryService& service);
    void resolveFromMultipleChoices(ServiceRegistryService& service, const std::shared_ptr<QelResponse>& response);

    const qelutil::ITaskExecutor::Shared taskExecutor;
    const qelutil::LoggerFactory::shared loggerFactory;
    const std::shared_ptr<qelutil::StreamingLogger> logger;

    mutable std::mutex mtx;
    std::shared_ptr<const IConfigManager> m_configManager;
    IWebsocketManager::Shared webSocket;
    ITpAccessFactory::Shared tpAccessFactory;
    ITpAccess::Shared httpAccess;
    ConnectionCallback callbackConnectionSuccessful;
    ConnectionCallback callbackConnectionClosed;
    ServicesUpdateCallback callbackServicesUpdate;
    std::shared_ptr<Subscription> rootSubscription;
    std::list<RootSubscriptionContainer> rootSubscriptionContainers;
    std::string defaultHost;
    const std::shared_ptr<const ServiceSettings> serviceSettings;
    std::vector<std::string> m_servicesSubscriptionFilter;
    IConfigManager::Shared m_staticConfigManager;
    ServicesFilterFunction m_servicesFilterFunction;
    qelutil::Optional<std::chrono::milliseconds> m_rootSubscriptionUpdateLimit;
    /// Counts starts and ends of connections; notices carry the value of
    /// their start and are ignored once it moved on.
    uint64_t m_generation = 0;
};

}  // namespace qel
