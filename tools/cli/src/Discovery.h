#pragma once

#include "QelClient.h"

#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/ITpAccessFactory.h>
#include <QelAccess/QelServiceRegistry.h>
#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <chrono>
#include <memory>
#include <string>

namespace qelcli {

/// Finds services through the library's service registry facade in its
/// dynamic mode: the registry's WebSocket and root subscription, the
/// resolution of each service and the service's own WebSocket.
class Discovery {
public:
    Discovery(const std::string& registryUri, qelutil::LoggerFactory::shared loggerFactory,
              qel::ITpAccessFactory::Shared transports, qelutil::ITaskExecutor::Shared callbackExecutor,
              qelutil::ITaskExecutor::Shared httpExecutor);
    ~Discovery();
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;

    /// Waits until `service` is available and returns where it runs. Throws
    /// a CliError when the registry lists the service not, or when it is not
    /// available within `deadline`.
    Endpoint locate(const std::string& service, std::chrono::milliseconds deadline);

    std::shared_ptr<qel::IServiceRegistry> registry() { return m_registry; }

    /// What the registry's notices and listings reported.
    class State;

private:
    std::shared_ptr<State> m_state;
    std::string m_registryUri;
    std::shared_ptr<qel::DefaultWebsocketManagerFactory> m_managers;
    std::shared_ptr<qel::QelServiceRegistry> m_registry;
};

}  // namespace qelcli
