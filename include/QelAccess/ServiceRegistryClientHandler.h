#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/ITpAccessFactory.h>
#include <QelAccess/IWebsocketManagerFactory.h>
#include <QelAccess/QelServiceConfigurations.h>
#include <QelAccess/Service.h>
#include <QelAccess/ServiceRegistryClient.h>
#include <QelAccess/UntypedServiceListener.h>

#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qel {

/// Turns the registry client into a long-lived source of services: it
/// restarts the client whenever the registry connection is lost, keeps the
/// latest snapshot of registered services, and sets up every waiting
/// listener whose service the snapshot lists: resolution, WebSocket manager,
/// transport, accessor, the application's service object, connection. The
/// listener hears `available` once that connection stands and `unavailable`
/// when it drops, and is then set up again.
///
/// Must be owned by a std::shared_ptr before start(); notices hold it weakly.
///
/// Locks: `mtx` guards the snapshot and the listener lists and is only held
/// to read or change them; `resolveMtx` serialises resolutions, which change
/// the service objects that snapshots share. Neither is held while the
/// application's code (creator, listener, factories) runs, nor across the
/// other; so a creator or listener may call back into the registry.
class ServiceRegistryClientHandler : public std::enable_shared_from_this<ServiceRegistryClientHandler> {
public:
    /// One waiting party.
    struct ServiceListener {
        std::string serviceName;
        UntypedServiceListener serviceListener;
        qelutil::ITaskExecutor::Shared qelCallbackExecutor;
        qelutil::ITaskExecutor::Shared httpCallbackExecutor;
        Service::Creator serviceCreator;
        /// Arrival order, which the waiting list keeps.
        uint64_t sequence = 0;
    };

    using ServiceSettings = QelServiceConfigurations::ServiceSettings;

    ServiceRegistryClientHandler(const std::string& uri, qelutil::ITaskExecutor::Shared taskExecutor,
                                 qelutil::LoggerFactory::shared loggerFactory,
                                 std::shared_ptr<qelutil::StreamingLogger> logger,
                                 std::shared_ptr<const ServiceSettings> serviceSettings,
                                 IWebsocketManagerFactory::Shared webSocketManagerFactory,
                                 ITpAccessFactory::Shared tpAccessFactory);
    ServiceRegistryClientHandler(const std::string& uri, const std::vector<std::string>& servicesSubscriptionFilter,
                                 qelutil::ITaskExecutor::Shared taskExecutor,
                                 qelutil::LoggerFactory::shared loggerFactory,
                                 std::shared_ptr<qelutil::StreamingLogger> logger,
                                 std::shared_ptr<const ServiceSettings> serviceSettings,
                                 IWebsocketManagerFactory::Shared webSocketManagerFactory,
                                 ITpAccessFactory::Shared tpAccessFactory);
    ServiceRegistryClientHandler(const std::string& uri, const std::vector<std::string>& servicesSubscriptionFilter,
                                 qelutil::ITaskExecutor::Shared taskExecutor,
                                 qelutil::LoggerFactory::shared loggerFactory,
                                 std::shared_ptr<qelutil::StreamingLogger> logger,
                                 IConfigManager::Shared staticConfigManager,
                                 std::shared_ptr<const ServiceSettings> serviceSettings,
                                 IWebsocketManagerFactory::Shared webSocketManagerFactory,
                                 ITpAccessFactory::Shared tpAccessFactory);
    ~ServiceRegistryClientHandler();
    ServiceRegistryClientHandler(const ServiceRegistryClientHandler&) = delete;
    ServiceRegistryClientHandler& operator=(const ServiceRegistryClientHandler&) = delete;

    /// Starts the client unless stop() was called.
    void start();
    /// Nothing is started or set up afterwards and no listener hears of its
    /// service again; connected services stay connected.
    void stop();

    /// Sets the service up now when the latest snapshot allows, else when a
    /// later one does. Never throws for network or set-up failures.
    void addServiceListener(const std::string& serviceName, const UntypedServiceListener& listener,
                            qelutil::ITaskExecutor::Shared qelCallbackExecutor,
                            qelutil::ITaskExecutor::Shared httpCallbackExecutor, const Service::Creator& serviceCreator);

    void setAvoidRedirect(bool flag);
    /// Applies from the next start().
    void setServicesFilterFunction(ServiceRegistryClient::ServicesFilterFunction function);
    void setRootSubscriptionUpdateLimit(const qelutil::Optional<std::chrono::milliseconds>& updateLimit);
    void setRootSubscriptionClusters(const std::vector<ServiceRegistryClient::RootSubscriptionCluster>& clusters);

    /// The latest snapshot of registered services; null before the first
    /// and after a registry disconnection.
    std::shared_ptr<const QelServiceConfigurations> getServices() const;
    /// Listeners set up and waiting, for diagnostics.
    std::size_t resolvedCount() const;
    std::size_t unresolvedCount() const;

private:
    using Snapshot = std::shared_ptr<const QelServiceConfigurations>;
    using Listener = std::shared_ptr<ServiceListener>;
    struct Connection;

    void onConnectionSuccessful();
    void onConnectionClosed();
    void onServicesUpdate(const QelServiceConfigurations& snapshot);
    /// Tries every waiting listener against `snapshot`.
    void retryWaiting(const Snapshot& snapshot);
    /// Sets the listener up, and keeps trying while newer snapshots arrive
    /// during failed attempts; files it as resolved or waiting.
    void setUpAndFile(const Listener& listener, Snapshot snapshot);
    /// Builds everything the listener's service needs, short of connecting;
    /// null when the snapshot does not allow it yet.
    std::shared_ptr<Connection> setUp(const Listener& listener, const Snapshot& snapshot);
    void connect(const std::shared_ptr<Connection>& connection);
    /// A private snapshot for the service's transport, holding a copy of the
    /// resolved service object; null when the service cannot be resolved.
    std::shared_ptr<QelServiceConfigurations> resolvedSnapshot(const std::string& name, const Snapshot& snapshot);
    void connectionUp(const std::shared_ptr<Connection>& connection);
    void connectionDown(const std::shared_ptr<Connection>& connection);
    void serviceLost(const std::shared_ptr<Connection>& connection, bool wasAvailable);
    void setServiceAsUnresolved(const Listener& listener);
    /// Sends listeners whose connection never came up back to waiting, so
    /// that a new snapshot can place them at a new address. Under `mtx`.
    void abandonPendingConnections();
    void insertWaiting(const Listener& listener);
    void logPerformanceMessage(const std::string& text);
    /// Runs one of the listener's functions; what it throws is logged.
    void notify(const Listener& listener, const char* what, const std::function<void()>& call);

    const std::string uri;
    const std::shared_ptr<qelutil::StreamingLogger> logger;
    std::atomic<bool> reconnect{true};
    std::atomic<bool> avoidRedirect{false};
    const qelutil::LoggerFactory::shared loggerFactory;
    const std::shared_ptr<ServiceRegistryClient> client;
    const IWebsocketManagerFactory::Shared webSocketManagerFactory;
    const ITpAccessFactory::Shared tpAccessFactory;
    const std::string logPrefix;

    mutable std::mutex mtx;
    Snapshot services;
    std::list<Listener> listenersUnresolved;
    std::list<Listener> listenersResolved;
    /// The latest connection of each resolved listener.
    std::map<const ServiceListener*, std::shared_ptr<Connection>> connections;
    uint64_t nextSequence = 0;
    ServiceRegistryClient::ServicesFilterFunction clientFilterFunction;
    qelutil::Optional<std::chrono::milliseconds> m_rootSubscriptionUpdateLimit;

    std::mutex resolveMtx;
};

}  // namespace qel
