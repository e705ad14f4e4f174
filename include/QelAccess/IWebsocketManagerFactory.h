#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/IWebsocketManager.h>

#include <QelAccessUtility/INumberSequence.h>
#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <functional>
#include <memory>
#include <string>

namespace qel {

/// Creates the WebSocket managers of services; implementations may share
/// one manager between services of the same server origin.
class IWebsocketManagerFactory {
public:
    using Shared = std::shared_ptr<IWebsocketManagerFactory>;
    /// Chooses, by service name, the connection back-off of a new manager;
    /// an empty result keeps the manager's default.
    using BackoffPicker = std::function<std::shared_ptr<qelutil::INumberSequence>(const std::string&)>;

    virtual ~IWebsocketManagerFactory() = default;

    /// The manager of the service's origin, not connected yet when new;
    /// empty when `loggerFactory` is null.
    virtual IWebsocketManager::Shared createWebsocketManager(
        const IConfigManager::ServiceConfiguration& serviceConfiguration,
        std::shared_ptr<qelutil::ITaskExecutor> taskExecutor,
        std::shared_ptr<qelutil::LoggerFactory> loggerFactory) = 0;
    /// Applies to managers created afterwards.
    virtual void setConnectionBackoffPicker(BackoffPicker backoffPicker) = 0;
    /// Disconnects the manager of `origin` (a server base URI) and forgets it.
    virtual void destroyWebsocketManager(const std::string& origin) = 0;
};

}  // namespace qel
