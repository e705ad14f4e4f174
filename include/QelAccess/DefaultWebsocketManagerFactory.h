#pragma once

#include <QelAccess/IWebsocketManagerFactory.h>

#include <QelAccessUtility/StreamingLogger.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace qel {

class DefaultWebsocketManager2;

/// Creates DefaultWebsocketManager2 objects and shares one per server
/// origin (serverBaseUri): services on the same origin share one connection
/// and the configuration of the first of them. All operations may be called
/// from any thread.
class DefaultWebsocketManagerFactory : public IWebsocketManagerFactory {
public:
    DefaultWebsocketManagerFactory();
    DefaultWebsocketManagerFactory(const DefaultWebsocketManagerFactory&) = delete;
    DefaultWebsocketManagerFactory& operator=(const DefaultWebsocketManagerFactory&) = delete;
    /// Runs stopAndClearAll().
    ~DefaultWebsocketManagerFactory() override;

    IWebsocketManager::Shared createWebsocketManager(const IConfigManager::ServiceConfiguration& serviceConfiguration,
                                                     std::shared_ptr<qelutil::ITaskExecutor> taskExecutor,
                                                     std::shared_ptr<qelutil::LoggerFactory> loggerFactory) override;
    void setConnectionBackoffPicker(BackoffPicker backoffPicker) override;
    void destroyWebsocketManager(const std::string& origin) override;

    /// Disconnects every manager, in origin order, and forgets them all.
    void stopAndClearAll();

private:
    /// A manager with a logger of its facility, made from the logger factory
    /// the manager was created with.
    struct Entry {
        std::shared_ptr<DefaultWebsocketManager2> manager;
        qelutil::StreamingLogger logger;
    };

    // Guards the map and the picker. It is never held while a manager
    // disconnects, because disconnect() joins the connection thread.
    std::mutex mtx;
    std::map<std::string, Entry> mapDefaultWebsocketManager;  // by serverBaseUri
    BackoffPicker m_backoffPicker;
};

}  // namespace qel
