#pragma once

#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/Optional.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace qel {

class IWebsocketManager;

/// The handle of one WebSocket subscription. It names the subscription (its
/// key doubles as the event name on the wire) and ends it when released:
/// the destructor unsubscribes a handle that is still active. The handle
/// does not keep its manager alive; once the manager is gone, unsubscribing
/// does nothing.
class Subscription {
public:
    enum SubscriptionType { ELEMENT = 0, RESOURCE = 1, ROOT = 2, SERVICE = 3 };

    Subscription(std::weak_ptr<IWebsocketManager> wsm, std::shared_ptr<const XObjectDescriptor> descriptor,
                 SubscriptionType subscriptionType, const std::string& subscriptionKey, bool isBaseSubscription);
    /// A null `interval` or `updateLimit` leaves the value unset.
    Subscription(std::weak_ptr<IWebsocketManager> wsm, std::shared_ptr<const XObjectDescriptor> descriptor,
                 SubscriptionType subscriptionType, const std::string& subscriptionKey,
                 const std::chrono::milliseconds* interval, const std::chrono::milliseconds* updateLimit,
                 bool isBaseSubscription);
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    virtual ~Subscription();

    /// True until the first unsubscribe().
    bool isActive() const { return m_active.load(); }
    const std::string& getSubscriptionKey() const { return m_subscriptionKey; }
    const qelutil::Optional<std::chrono::milliseconds>& getInterval() const { return m_interval; }
    const qelutil::Optional<std::chrono::milliseconds>& getUpdateLimit() const { return m_updateLimit; }
    std::shared_ptr<const XObjectDescriptor> getDescriptor() const { return m_descriptor; }
    SubscriptionType getSubscriptionType() const { return m_subscriptionType; }
    /// The descriptor's id; throws std::runtime_error when it has none.
    std::string getUuidOfElement() const;

    /// Ends the subscription at its manager, once: later calls, and the
    /// destructor after it, send nothing more. Safe from any thread.
    void unsubscribe();

private:
    /// Clears the active flag without unsubscribing; returns whether the
    /// handle was active, so exactly one caller sees true.
    bool deactivate();

    std::weak_ptr<IWebsocketManager> m_websocketManager;
    std::shared_ptr<const XObjectDescriptor> m_descriptor;
    SubscriptionType m_subscriptionType;
    const std::string m_subscriptionKey;
    qelutil::Optional<std::chrono::milliseconds> m_interval;
    qelutil::Optional<std::chrono::milliseconds> m_updateLimit;
    std::atomic<bool> m_active{true};
    bool m_isBaseSubscription;
};

}  // namespace qel
