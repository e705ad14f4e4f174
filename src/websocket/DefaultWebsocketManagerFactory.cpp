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
    BackoffPicker picker;
    {
        std::lock_guard<std::mutex> lock(mtx);
        auto found = mapDefaultWebsocketManager.find(origin);
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
    auto inserted = mapDefaultWebsocketManager.emplace(origin, Entry{manager, managerLogger(*loggerFactory)});
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
    std::shared_ptr<DefaultWebsocketManager2> manager;
    {
        std::lock_guard<std::mutex> lock(mtx);
        auto found = mapDefaultWebsocketManager.find(origin);
        if (found == mapDefaultWebsocketManager.end()) return;
        found->second.logger.logDebug() << "destroyWebsocketManager: disconnect: " << origin;
        manager = std::move(found->second.manager);
        mapDefaultWebsocketManager.erase(found);
    }
    manager->disconnect();
}

void DefaultWebsocketManagerFactory::stopAndClearAll() {
    std::map<std::string, Entry> managers;
    {
        std::lock_guard<std::mutex> lock(mtx);
        managers.swap(mapDefaultWebsocketManager);
    }
    for (auto& entry : managers) entry.second.manager->disconnect();
}

}  // namespace qel
