#include "Discovery.h"

#include <QelAccess/ConfigManager.h>
#include <QelAccess/Service.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

namespace qelcli {

/// What discovery found so far: the names of the latest registry listing,
/// the configuration each transport was built with, the available services.
class Discovery::State {
public:
    void listed(const qelutil::JsonArray& listing) {
        std::set<std::string> names;
        for (std::size_t i = 0; i < listing.size(); ++i) {
            if (!listing.isObject(i)) continue;
            auto entry = listing.getObject(i);
            if (entry->isString("name")) names.insert(entry->getString("name"));
        }
        change([&] {
            m_listed = std::move(names);
            m_listingSeen = true;
        });
    }
    void configured(const std::string& service, const qel::IConfigManager& config) {
        const auto configuration = config.getServiceConfiguration(service);
        change([&] { m_endpoints[service] = configuration.serverBaseUri + configuration.serverBasePath; });
    }
    void available(const std::string& service) { change([&] { m_available.insert(service); }); }
    void unavailable(const std::string& service) { change([&] { m_available.erase(service); }); }

    enum Outcome { AVAILABLE, UNLISTED, TIMED_OUT };
    /// Waits for the service; `uri` is where its transport points.
    Outcome await(const std::string& service, std::chrono::milliseconds deadline, std::string& uri) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool settled = m_changed.wait_for(lock, deadline, [&] {
            return m_available.count(service) > 0 || (m_listingSeen && m_listed.count(service) == 0);
        });
        if (!settled) return TIMED_OUT;
        if (m_available.count(service) == 0) return UNLISTED;
        uri = m_endpoints[service];
        return AVAILABLE;
    }

private:
    template <typename F>
    void change(F&& f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        f();
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::string> m_listed;
    bool m_listingSeen = false;
    std::map<std::string, std::string> m_endpoints;
    std::set<std::string> m_available;
};

namespace {

/// Builds transports with the given factory and tells the state the
/// configuration each one got.
class ObservedTransports : public qel::ITpAccessFactory {
public:
    ObservedTransports(qel::ITpAccessFactory::Shared inner, std::shared_ptr<Discovery::State> state)
        : m_inner(std::move(inner)), m_state(std::move(state)) {}

    qel::ITpAccess::Shared createTpAccess(const std::string& serviceName,
                                          std::shared_ptr<const qel::IConfigManager> configManager,
                                          qelutil::LoggerFactory::shared loggerFactory) override {
        if (configManager) m_state->configured(serviceName, *configManager);
        return m_inner->createTpAccess(serviceName, std::move(configManager), std::move(loggerFactory));
    }

private:
    qel::ITpAccessFactory::Shared m_inner;
    std::shared_ptr<Discovery::State> m_state;
};

}  // namespace

Discovery::Discovery(const std::string& registryUri, qelutil::LoggerFactory::shared loggerFactory,
                     qel::ITpAccessFactory::Shared transports, qelutil::ITaskExecutor::Shared callbackExecutor,
                     qelutil::ITaskExecutor::Shared httpExecutor)
    : m_state(std::make_shared<State>()),
      m_registryUri(registryUri),
      m_managers(std::make_shared<qel::DefaultWebsocketManagerFactory>()) {
    qel::QelServiceRegistry::Settings settings;
    settings.mode = qel::QelServiceRegistry::DYNAMIC_ONLY;
    settings.httpUri = registryUri;
    settings.servicesFilterFunction = [state = m_state](qelutil::JsonArray::Shared listing) {
        if (listing) state->listed(*listing);
    };
    m_registry = std::make_shared<qel::QelServiceRegistry>(
        m_managers, std::make_shared<qel::ConfigManager>(), loggerFactory,
        std::make_shared<ObservedTransports>(std::move(transports), m_state), std::move(callbackExecutor),
        std::move(httpExecutor), settings, nullptr);
}

Discovery::~Discovery() {
    m_registry->stop();
    m_managers->stopAndClearAll();
}

Endpoint Discovery::locate(const std::string& service, std::chrono::milliseconds deadline) {
    auto state = m_state;
    qel::UntypedServiceListener listener{[state, service](std::shared_ptr<qel::Service>) { state->available(service); },
                                         [state, service] { state->unavailable(service); }, nullptr};
    m_registry->addServiceListener(service, listener,
                                   [](std::shared_ptr<qel::QelAccessor> accessor, qel::IWebsocketManager::Shared ws) {
                                       return std::make_unique<qel::Service>(std::move(accessor), std::move(ws));
                                   });
    std::string uri;
    switch (state->await(service, deadline, uri)) {
        case State::UNLISTED:
            throw CliError(EXIT_SERVER_ERROR, "no service " + service + " in the registry at " + m_registryUri);
        case State::TIMED_OUT:
            throw CliError(EXIT_TRANSPORT,
                           "service " + service + " did not become available through the registry at " + m_registryUri);
        case State::AVAILABLE:
            break;
    }
    Endpoint endpoint;
    if (!endpointFromUri(uri, endpoint))
        throw CliError(EXIT_SERVER_ERROR, "the registry placed " + service + " at an unusable address: " + uri);
    return endpoint;
}

}  // namespace qelcli
