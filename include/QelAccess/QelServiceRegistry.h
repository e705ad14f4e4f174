#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/IServiceRegistry.h>
#include <QelAccess/ITpAccessFactory.h>
#include <QelAccess/IWebsocketManagerFactory.h>
#include <QelAccess/QelServiceConfigurations.h>
#include <QelAccess/ServiceRegistryClient.h>
#include <QelAccess/ServiceRegistryClientHandler.h>

#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/Optional.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace qel {

/// The one object through which an application waits for services. By
/// mode, a service is set up from the static configuration, found through
/// the service registry, or taken from the static configuration when it
/// knows the name and from the registry otherwise. Either way the listener
/// hears `available` with a ready service object once its WebSocket is
/// connected and `unavailable` when it drops, after which the service is set
/// up again by itself, until stop().
///
/// Notices run as tasks of `qelTaskExecutor`, never inside the caller's call;
/// the service creator is called directly, with no lock held, so it may call
/// back into the registry.
class QelServiceRegistry : public IServiceRegistry {
public:
    enum Mode { STATIC_ONLY = 0, DYNAMIC_ONLY = 1, STATIC_BEFORE_DYNAMIC = 2 };

    static const std::string STR_MODE_STATIC_ONLY;
    static const std::string STR_MODE_DYNAMIC_ONLY;
    static const std::string STR_MODE_STATIC_BEFORE_DYNAMIC;

    struct Settings {
        Mode mode = STATIC_ONLY;
        /// URI of the service registry (dynamic modes).
        std::string httpUri;
        /// Resolve from a service's own URI where it parses.
        bool avoidRedirect = false;
        /// Names for the single root subscription; empty means all.
        std::vector<std::string> servicesSubscriptionFilter;
        ServiceRegistryClient::ServicesFilterFunction servicesFilterFunction;
        qelutil::Optional<std::chrono::milliseconds> rootSubscriptionUpdateLimit;
        /// Cluster subscriptions instead of the single one.
        std::vector<ServiceRegistryClient::RootSubscriptionCluster> rootSubscriptionClusters;
    };

    QelServiceRegistry(IWebsocketManagerFactory::Shared websocketManagerFactory,
                       IConfigManager::Shared staticConfigManager, qelutil::LoggerFactory::shared loggerFactory,
                       ITpAccessFactory::Shared tpAccessFactory, qelutil::ITaskExecutor::Shared qelTaskExecutor,
                       qelutil::ITaskExecutor::Shared httpTaskExecutor, const Settings& settings,
                       std::shared_ptr<const QelServiceConfigurations::ServiceSettings> serviceSettings);
    ~QelServiceRegistry() override;
    QelServiceRegistry(const QelServiceRegistry&) = delete;
    QelServiceRegistry& operator=(const QelServiceRegistry&) = delete;

    /// Never throws for network or set-up failures; a static service without
    /// base URI or base path throws the static configuration's error.
    void addServiceListener(const std::string& serviceName, const UntypedServiceListener& listener,
                            const Service::Creator& serviceCreator) override;
    void stop() override;

    /// "static", "dynamic" or "staticBeforeDynamic" (exact); else `fallback`.
    static Mode str2mode(const std::string& text, Mode fallback);

    const Settings& getSettings() const;
    /// The registry handler of the dynamic modes, else null.
    std::shared_ptr<ServiceRegistryClientHandler> getHandler() const;

private:
    class Core;
    std::shared_ptr<Core> core;
};

}  // namespace qel
