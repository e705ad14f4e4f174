#pragma once

#include <QelAccess/IWebsocketManagerFactory.h>

#include <QelAccessUtility/StreamingLogger.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace qel {

class DefaultWebsocketManager2;

/// Creates DefaultWebsocketManager2 objects and shares one per server
/// origin and base path (serverBaseUri, serverBasePath): services under the
/// same base path of an origin share one connection and the configuration of
/// the first of them. A manager's handshake and event names carry its base
/// path, so services under other base paths of the origin (the registry at
/// "/" beside services at "/api/", say) get managers of their own. All
/// operations may be called from any thread.
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
    /// Disconnects and forgets every manager of the origin.
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
    /// By serverBaseUri, then serverBasePath.
    std::map<std::pair<std::string, std::string>, Entry> mapDefaultWebsocketManager;
    BackoffPicker m_backoffPicker;
};

}  // namespace qel
