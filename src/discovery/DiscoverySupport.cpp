#include "discovery/DiscoverySupport.h"

#include <QelAccess/QelAccessLoggingClassifier.h>
#include <QelAccess/Subscription.h>

#include <QelAccessUtility/JsonException.h>

#include "model/SourceLocation.h"

#include <exception>

namespace qel {
namespace detail {

std::shared_ptr<qelutil::StreamingLogger> serviceRegistryLogger(const qelutil::LoggerFactory::shared& factory) {
    qelutil::LoggerFactory::shared source = factory ? factory : qelutil::LoggerFactory::getDefaultLoggerFactory();
    std::unique_ptr<qelutil::ILogger> facility = source->createLogger(QelAccessLoggingClassifier::FACILITY_QEL_ACCESS);
    std::shared_ptr<qelutil::ILogger> sub(
        facility->getSubFacilityLogger(QelAccessLoggingClassifier::SUB_FACILITY_SERVICE_REGISTRY));
    return std::make_shared<qelutil::StreamingLogger>(sub);
}

bool isLocalHost(const std::string& host) {
    return host == "localhost" || host == "127.0.0.1" || host == "[::1]" || host == "::1";
}

void setLocation(ServiceRegistryService& service, const qelutil::Uri& uri) {
    service.setHost(&uri.host);
    service.setPort(uri.port);
    service.setPath(uri.path);
    service.setResolved(true);
}

std::shared_ptr<ServiceRegistryService> serviceFromRootEntry(const qelutil::JsonArray& array, std::size_t index,
                                                             const std::string& defaultHost,
                                                             const std::shared_ptr<qelutil::StreamingLogger>& logger) {
    if (!array.isObject(index)) {
        logger->logWarning() << QEL_SOURCE_LOCATION << "skipping root entry " << index << ": not an object";
        return nullptr;
    }
    std::shared_ptr<ServiceRegistryService> service;
    try {
        service = std::make_shared<ServiceRegistryService>(array.getObject(index), defaultHost, logger);
    } catch (const qelutil::JsonException& e) {
        logger->logWarning() << QEL_SOURCE_LOCATION << "skipping root entry " << index << ": " << e.what();
        return nullptr;
    } catch (const std::runtime_error&) {
        // The base path is cut before the name: an entry with a uri but no
        // name cannot be built.
    }
    if (!service || !service->getName() || !service->getUri()) {
        logger->logWarning() << QEL_SOURCE_LOCATION << "got service without name or uri";
        return nullptr;
    }
    return service;
}

std::shared_ptr<Subscription> subscribeRootOnce(IWebsocketManager& manager,
                                                std::shared_ptr<const XObjectDescriptor> descriptor,
                                                IWebsocketManager::ArrayCallback callback,
                                                const qelutil::Optional<std::chrono::milliseconds>& updateLimit,
                                                const qelutil::StreamingLogger& logger) {
    try {
        if (updateLimit)
            return manager.subscribeRootWithUpdateLimit(std::move(descriptor), std::move(callback),
                                                        updateLimit.getValue());
        return manager.subscribeRoot(std::move(descriptor), std::move(callback));
    } catch (const std::exception& e) {
        // Subscribing while the connection just went away.
        logger.logDebug() << "root subscription failed: " << e.what();
        return nullptr;
    }
}

bool NoticeOrder::beginAvailable(bool running) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_state != WAITING) return false;
    m_state = running ? DELIVERING : OVER;
    return running;
}

bool NoticeOrder::endAvailable() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_state = UP;
    return m_lossPending;
}

bool NoticeOrder::abandon() {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_state != WAITING) return false;
    m_state = OVER;
    return true;
}

NoticeOrder::Loss NoticeOrder::lost() {
    std::lock_guard<std::mutex> lock(m_mtx);
    switch (m_state) {
        case DELIVERING:
            m_lossPending = true;
            return DEFERRED;
        case OVER:
            return IGNORED;
        case UP:
            m_state = OVER;
            return LOST_AFTER_AVAILABLE;
        case WAITING:
            break;
    }
    m_state = OVER;
    return LOST_BEFORE_AVAILABLE;
}

}  // namespace detail
}  // namespace qel
