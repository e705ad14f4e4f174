#include "Watch.h"

#include "JsonOutput.h"
#include "Target.h"

#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/IConfigManager.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/Subscription.h>
#include <QelAccessUtility/SerialTaskExecutor.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qelcli {

namespace {

/// What the connection and the subscription report, for the main thread.
class WatchState {
public:
    explicit WatchState(std::size_t count) : m_count(count) {}

    void connected() { change([this] { m_connected = true; }); }
    void lost() { change([this] { m_lost = true; }); }
    /// Counts one more update; false once the awaited count was reached, so
    /// that updates arriving while the watch ends are not printed.
    bool take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count > 0 && m_updates >= m_count) return false;
        ++m_updates;
        m_changed.notify_all();
        return true;
    }

    /// Waits until connected (true) or lost, or until `deadline` passes.
    bool waitConnected(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_until(lock, deadline, [this] { return m_connected || m_lost; });
        return m_connected && !m_lost;
    }

    /// Waits until the awaited count of updates arrived (with a count of 0:
    /// forever), the connection is lost or `deadline` passes; returns whether
    /// it was lost first.
    bool waitUpdates(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_until(lock, deadline, [this] { return m_lost || (m_count > 0 && m_updates >= m_count); });
        return m_lost && (m_count == 0 || m_updates < m_count);
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
    const std::size_t m_count;
    bool m_connected = false;
    bool m_lost = false;
    std::size_t m_updates = 0;
};

qel::IConfigManager::ServiceConfiguration webSocketConfiguration(const std::string& service, const Endpoint& endpoint) {
    qel::IConfigManager::ServiceConfiguration configuration;
    configuration.serviceName = service;
    configuration.serverBaseUri = endpoint.origin;
    configuration.serverBasePath = endpoint.basePath;
    configuration.separatorAfterResource = "/";
    return configuration;
}

std::chrono::steady_clock::time_point after(int seconds) {
    return seconds > 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(seconds)
                       : std::chrono::steady_clock::time_point::max();
}

}  // namespace

void watchTarget(const Options& options, QelClient& client, std::ostream& out) {
    const Target target = parseTarget(options.target, 2, 3, "SERVICE/RESOURCE[/ID]");
    const Endpoint endpoint = client.locate(target.service);
    auto state = std::make_shared<WatchState>(options.watchCount);
    auto executor = std::make_shared<qelutil::SerialTaskExecutor>("qel-watch");
    qel::DefaultWebsocketManagerFactory factory;
    auto manager = factory.createWebsocketManager(webSocketConfiguration(target.service, endpoint), executor,
                                                  client.loggerFactory());
    manager->connectToWebsocketAndThen([state] { state->connected(); }, [state] { state->lost(); });
    if (!state->waitConnected(after(options.timeoutSeconds)))
        throw CliError(EXIT_TRANSPORT, "no WebSocket connection to " + endpoint.uri());

    const bool compact = options.compact;
    std::shared_ptr<qel::Subscription> subscription;
    if (target.id.empty()) {
        auto descriptor = std::make_shared<qel::QelResourceDescriptor>(target.service, target.resource);
        applyReadShaping(options.query, *descriptor);
        subscription = manager->subscribeResource(
            descriptor, [state, &out, compact](qelutil::JsonArray::Shared data,
                                                std::shared_ptr<const qel::SubscriptionResponse>) {
                if (state->take()) out << renderJson(*data, compact) << std::flush;
            });
    } else {
        auto descriptor = std::make_shared<qel::XObjectDescriptor>(target.service, target.resource);
        descriptor->setId(target.id);
        subscription = manager->subscribeElement(descriptor, [state, &out, compact](qelutil::JsonObject::Shared data) {
            if (state->take()) out << renderJson(*data, compact) << std::flush;
        });
    }
    const bool lost = state->waitUpdates(after(options.watchSeconds));
    subscription.reset();
    factory.stopAndClearAll();
    executor->shutdown();
    if (lost) throw CliError(EXIT_TRANSPORT, "the WebSocket connection to " + endpoint.uri() + " was lost");
}

}  // namespace qelcli
