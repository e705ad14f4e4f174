#include <QelAccess/ServiceRegistryClient.h>

#include <QelAccess/ServiceRegistryServiceDescriptor.h>
#include <QelAccess/Subscription.h>

#include "discovery/DiscoverySupport.h"
#include "model/SourceLocation.h"

namespace qel {

using Handler = ServiceRegistryClient::RootSubscriptionHandler;

Handler::RootSubscriptionHandler(std::shared_ptr<RootSubscriptionCluster> cluster,
                                 IWebsocketManager::Shared webSocket,
                                 std::shared_ptr<qelutil::StreamingLogger> logger, ClusterUpdated onClusterUpdated)
    : m_cluster(std::move(cluster)),
      m_webSocket(std::move(webSocket)),
      m_logger(std::move(logger)),
      m_onClusterUpdated(std::move(onClusterUpdated)) {}

void Handler::subscribeNow() {
    std::shared_ptr<Subscription> previous;
    std::lock_guard<std::mutex> lock(m_mtxWebSocket);
    if (!m_webSocket || !m_cluster) {
        m_logger->logWarning() << QEL_SOURCE_LOCATION << " cannot subscribe cluster to root, WebSocket is not valid";
        return;
    }
    m_logger->logInfo() << "cluster subscription to root with " << m_cluster->servicesNamesFilter.size()
                        << " services";
    auto descriptor = std::make_shared<ServiceRegistryServiceDescriptor>();
    descriptor->getQelFilter().add("name", m_cluster->servicesNamesFilter);
    descriptor->getQueryOptions().setFieldsFilter({"port"});
    // The handler may be reset and dropped while updates are queued.
    IWebsocketManager::ArrayCallback callback = [weakSelf = weak_from_this()](qelutil::JsonArray::Shared array,
                                                                              std::shared_ptr<const SubscriptionResponse>) {
        if (auto self = weakSelf.lock()) self->onUpdate(std::move(array));
    };
    previous = std::move(m_subscription);
    m_subscription =
        detail::subscribeRootOnce(*m_webSocket, descriptor, std::move(callback), m_cluster->updateLimit, *m_logger);
    if (m_subscription)
        m_logger->logInfo() << "cluster subscription to root successfull";
    else
        m_logger->logWarning() << "cluster subscription to root error";
}

void Handler::setUpdateLimit(const qelutil::Optional<std::chrono::milliseconds>& updateLimit) {
    std::lock_guard<std::mutex> lock(m_mtxWebSocket);
    if (m_cluster) m_cluster->updateLimit = updateLimit;
}

void Handler::reset() {
    std::shared_ptr<Subscription> subscription;
    ClusterUpdated updated;
    {
        std::lock_guard<std::mutex> lock(m_mtxWebSocket);
        subscription = std::move(m_subscription);
        m_cluster.reset();
        m_webSocket.reset();
        m_servicesArray.reset();
        updated = std::move(m_onClusterUpdated);
    }
}

void Handler::onUpdate(qelutil::JsonArray::Shared array) {
    ClusterUpdated updated;
    {
        std::lock_guard<std::mutex> lock(m_mtxWebSocket);
        m_logger->logInfo() << "got root cluster update, count=" << (array ? array->size() : 0);
        m_servicesArray = std::move(array);
        updated = m_onClusterUpdated;
    }
    if (updated)
        updated();
    else
        m_logger->logWarning() << "RootSubscriptionHandler::onUpdate called but onClusterUpdated is not set!";
}

qelutil::JsonArray::Shared Handler::getServicesArray() const {
    std::lock_guard<std::mutex> lock(m_mtxWebSocket);
    return m_servicesArray;
}

}  // namespace qel
