#include "Watch.h"

#include "JsonOutput.h"
#include "Target.h"

#include "Discovery.h"

#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/ElementRegistry.h>
#include <QelAccess/Service.h>
#include <QelAccess/IConfigManager.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/Subscription.h>
#include <QelAccessUtility/SerialTaskExecutor.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <iomanip>
#include <mutex>
#include <sstream>

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

/// "2026-12-07T06:20:05.495Z": now, in UTC with milliseconds.
std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::ostringstream text;
    text << std::put_time(&utc, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << millis << 'Z';
    return text.str();
}

/// Lines from several executor threads, one at a time, and the count of
/// updates the watch waits for.
class Printer {
public:
    Printer(std::ostream& out, std::size_t count) : m_out(out), m_count(count) {}

    void status(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_out << timestamp() << " " << text << std::endl;
    }
    void update(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count > 0 && m_updates >= m_count) return;
        ++m_updates;
        m_out << timestamp() << " update " << text << std::endl;
        m_changed.notify_all();
    }
    /// Waits until the awaited count of updates arrived (with a count of 0:
    /// until `deadline`).
    void waitUpdates(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_until(lock, deadline, [this] { return m_count > 0 && m_updates >= m_count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::ostream& m_out;
    const std::size_t m_count;
    std::size_t m_updates = 0;
};

/// Watches through the service registry and an element-registry entry:
/// every matching element, across the loss and return of the service and of
/// the registry, until --count or --for ends it.
void watchThroughRegistry(const Options& options, QelClient& client, const Target& target, std::ostream& out) {
    if (target.resource.empty()) throw CliError(EXIT_USAGE, "watch needs SERVICE/RESOURCE[/ID]");
    auto printer = std::make_shared<Printer>(out, options.watchCount);
    qel::QelFilter where;
    applyFilterItems(options.where, where, "--where");
    if (!target.id.empty()) where.add("id", std::vector<std::string>{target.id});

    auto services = client.discovery().registry();
    const std::string name = target.service;
    services->addServiceListener(
        name,
        {[printer, name](std::shared_ptr<qel::Service>) { printer->status("service " + name + " available"); },
         [printer, name] { printer->status("service " + name + " unavailable, waiting for it to come back"); },
         nullptr},
        [](std::shared_ptr<qel::QelAccessor> accessor, qel::IWebsocketManager::Shared manager) {
            return std::make_unique<qel::Service>(std::move(accessor), std::move(manager));
        });

    // The server sends only what the entry takes, so an element that stops
    // matching leaves the listing and is told gone.
    auto resource = std::make_shared<qel::XObjectDescriptor>(target.service, target.resource);
    applyReadShaping(options.query, *resource);
    applyFilterItems(options.where, resource->getQelFilter(), "--where");
    if (!target.id.empty()) resource->getQelFilter().add("id", std::vector<std::string>{target.id});

    auto elements = std::make_shared<qel::ElementRegistry>(
        services, std::shared_ptr<qelutil::ILogger>(client.loggerFactory()->createLogger("qel watch")));
    auto entry = std::make_shared<qel::ElementRegistryEntry>(target.service, target.resource);
    entry->withFilter(where)
        .subscribeToAll(true)
        .onUpdate([printer](qelutil::JsonObject::Shared element) {
            const std::string id = element->isString("id") ? element->getString("id") : "?";
            std::string text = renderJson(*element, true);
            while (!text.empty() && text.back() == '\n') text.pop_back();
            printer->update(id + " " + text);
        })
        .onGone([printer](const std::string& id) { printer->status("gone " + id); });
    elements->registerEntry(entry, resource);
    printer->waitUpdates(after(options.watchSeconds));
    elements->unregisterEntry(entry);
}

}  // namespace

void watchTarget(const Options& options, QelClient& client, std::ostream& out) {
    const Target target = parseTarget(options.target, 2, 3, "SERVICE/RESOURCE[/ID]");
    if (client.usesRegistry()) return watchThroughRegistry(options, client, target, out);
    if (!options.where.empty()) throw CliError(EXIT_USAGE, "--where needs --registry");
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
