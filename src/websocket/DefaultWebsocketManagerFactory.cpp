#include <QelAccess/DefaultWebsocketManagerFactory.h>

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/QelAccessLoggingClassifier.h>

#include <utility>
#include <vector>

namespace qel {

namespace {

qelutil::StreamingLogger managerLogger(qelutil::LoggerFactory& loggerFactory) {
    return qelutil::StreamingLogger(
        std::shared_ptr<qelutil::ILogger>(loggerFactory.createLogger(QelAccessLoggingClassifier::FACILITY_QEL_ACCESS)));
}

}  // namespace

DefaultWebsocketManagerFactory::DefaultWebsocketManagerFactory() = default;

DefaultWebsocketManagerFactory::~DefaultWebsocketManagerFactory() { stopAndClearAll(); }

IWebsocketManager::Shared DefaultWebsocketManagerFactory::createWebsocketManager(
    const IConfigManager::ServiceConfiguration& serviceConfiguration,
    std::shared_ptr<qelutil::ITaskExecutor> taskExecutor, std::shared_ptr<qelutil::LoggerFactory> loggerFactory) {
    if (!loggerFactory) return nullptr;
    const std::string& origin = serviceConfiguration.serverBaseUri;
    const auto key = std::make_pair(origin, serviceConfiguration.serverBasePath);
    BackoffPicker picker;
    {
        std::lock_guard<std::mutex> lock(mtx);
        auto found = mapDefaultWebsocketManager.find(key);
        if (found != mapDefaultWebsocketManager.end()) {
            found->second.logger.logInfo() << "DefaultWebsocketManager: reusing Websocket Manager for service="
                                           << serviceConfiguration.serviceName << ", origin=" << origin;
            return found->second.manager;
        }
        picker = m_backoffPicker;
    }

    // Built and configured without the lock: the picker is application code.
    auto manager = std::make_shared<DefaultWebsocketManager2>(
        serviceConfiguration, "MA_WS_" + serviceConfiguration.serviceName, std::move(taskExecutor), loggerFactory);
    if (picker) manager->setConnectBackoffGenerator(picker(serviceConfiguration.serviceName));

    std::lock_guard<std::mutex> lock(mtx);
    auto inserted = mapDefaultWebsocketManager.emplace(key, Entry{manager, managerLogger(*loggerFactory)});
    Entry& entry = inserted.first->second;
    if (!inserted.second) {
        // Another caller created the manager of this origin meanwhile; ours
        // never connected and goes away unused.
        entry.logger.logInfo() << "DefaultWebsocketManager: reusing Websocket Manager for service="
                               << serviceConfiguration.serviceName << ", origin=" << origin;
        return entry.manager;
    }
    entry.logger.logInfo() << "DefaultWebsocketManager: creating new Websocket Manager for service="
                           << serviceConfiguration.serviceName << ", origin=" << origin;
    return manager;
}

void DefaultWebsocketManagerFactory::setConnectionBackoffPicker(BackoffPicker backoffPicker) {
    std::lock_guard<std::mutex> lock(mtx);
    m_backoffPicker = std::move(backoffPicker);
}

void DefaultWebsocketManagerFactory::destroyWebsocketManager(const std::string& origin) {
    std::vector<std::shared_ptr<DefaultWebsocketManager2>> managers;
    {
        std::lock_guard<std::mutex> lock(mtx);
        auto found = mapDefaultWebsocketManager.lower_bound(std::make_pair(origin, std::string()));
        while (found != mapDefaultWebsocketManager.end() && found->first.first == origin) {
            found->second.logger.logDebug() << "destroyWebsocketManager: disconnect: " << origin;
            managers.push_back(std::move(found->second.manager));
            found = mapDefaultWebsocketManager.erase(found);
        }
    }
    for (auto& manager : managers) manager->disconnect();
}

void DefaultWebsocketManagerFactory::stopAndClearAll() {
    std::map<std::pair<std::string, std::string>, Entry> managers;
    {
        std::lock_guard<std::mutex> lock(mtx);
        managers.swap(mapDefaultWebsocketManager);
    }
    for (auto& entry : managers) entry.second.manager->disconnect();
}

}  // namespace qel
