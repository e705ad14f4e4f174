#pragma once

#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/ServiceRegistryService.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/StreamingLogger.h>
#include <QelAccessUtility/Uri.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace qel {

class Subscription;

namespace detail {

/// The logger of the registry classes: sub-facility "ServiceRegistry" of the
/// library's facility.
std::shared_ptr<qelutil::StreamingLogger> serviceRegistryLogger(const qelutil::LoggerFactory::shared& factory);

/// "localhost", "127.0.0.1" or the IPv6 loopback, with or without brackets.
bool isLocalHost(const std::string& host);

/// Host, port and path of the service from one parsed URI, and resolved.
void setLocation(ServiceRegistryService& service, const qelutil::Uri& uri);

/// The service of one root entry, or null (with a warning) when the entry is
/// no object, has no name or uri, or its members have the wrong types.
std::shared_ptr<ServiceRegistryService> serviceFromRootEntry(const qelutil::JsonArray& array, std::size_t index,
                                                             const std::string& defaultHost,
                                                             const std::shared_ptr<qelutil::StreamingLogger>& logger);

/// A root subscription, with the update limit when one is given; null when
/// the manager refuses it (logged).
std::shared_ptr<Subscription> subscribeRootOnce(IWebsocketManager& manager,
                                                std::shared_ptr<const XObjectDescriptor> descriptor,
                                                IWebsocketManager::ArrayCallback callback,
                                                const qelutil::Optional<std::chrono::milliseconds>& updateLimit,
                                                const qelutil::StreamingLogger& logger);

/// A notice that calls `handle` on the owner with the item, while both
/// still exist. Notices are kept by the WebSocket manager, and the item's
/// service object holds that manager: holding either strongly makes a cycle.
template <typename Owner, typename Item>
std::function<void()> weakNotice(const std::shared_ptr<Owner>& owner, const std::shared_ptr<Item>& item,
                                 void (Owner::*handle)(const std::shared_ptr<Item>&)) {
    return [weakOwner = std::weak_ptr<Owner>(owner), weakItem = std::weak_ptr<Item>(item), handle] {
        auto self = weakOwner.lock();
        auto current = weakItem.lock();
        if (self && current) ((*self).*handle)(current);
    };
}

/// Keeps the notices of one connection of a listener in order when the
/// manager's connect and disconnect notices run on several threads at once:
/// `available` first, `unavailable` only after it and at most once, and
/// nothing after the connection is over.
class NoticeOrder {
public:
    enum Loss { IGNORED, DEFERRED, LOST_BEFORE_AVAILABLE, LOST_AFTER_AVAILABLE };

    /// Whether `available` is to be delivered now; false once over or when
    /// `running` is false (which ends the connection's notices).
    bool beginAvailable(bool running);
    /// After `available` returned: whether the loss arrived meanwhile and
    /// is to be handled now.
    bool endAvailable();
    /// The disconnect notice: what the listener is to hear.
    Loss lost();
    /// Ends a connection that never came up, so that its notices are
    /// ignored; false when it came up meanwhile or is over.
    bool abandon();

private:
    enum State { WAITING, DELIVERING, UP, OVER };
    std::mutex m_mtx;
    State m_state = WAITING;
    bool m_lossPending = false;
};

}  // namespace detail
}  // namespace qel
