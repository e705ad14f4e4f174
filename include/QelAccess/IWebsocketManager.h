#pragma once

#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/INumberSequence.h>
#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace qel {

class Subscription;

/// The WebSocket connection of one server origin: connect and disconnect
/// notices, subscriptions to elements, resources and the root, and pings.
/// Every callback runs as a task on the executor the manager was built with,
/// never on the connection thread and never inside the caller's own call.
class IWebsocketManager {
public:
    using Shared = std::shared_ptr<IWebsocketManager>;

    enum CONNECTION_STATE { DISCONNECTED = 0, CONNECTING = 1, CONNECTED = 2 };

    /// Data of an element subscription.
    using ElementCallback = std::function<void(qelutil::JsonObject::Shared)>;
    /// Data of a resource or root subscription.
    using ArrayCallback =
        std::function<void(qelutil::JsonArray::Shared, std::shared_ptr<const SubscriptionResponse>)>;

    virtual ~IWebsocketManager() = default;

    /// Registers one-shot notices for the next connect and the next
    /// disconnect, and makes sure a connection exists or is under way.
    virtual void connectToWebsocketAndThen(std::function<void()> callbackConnected,
                                           std::function<void()> callbackDisconnected) = 0;

    virtual std::shared_ptr<Subscription> subscribeElement(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                           ElementCallback callback) = 0;
    virtual std::shared_ptr<Subscription> subscribeElementWithInterval(
        std::shared_ptr<const XObjectDescriptor> descriptor, ElementCallback callback,
        std::chrono::milliseconds interval) = 0;
    virtual std::shared_ptr<Subscription> subscribeElementWithUpdateLimit(
        std::shared_ptr<const XObjectDescriptor> descriptor, ElementCallback callback,
        std::chrono::milliseconds updateLimit) = 0;

    virtual void unsubscribe(const std::string& subscriptionKey, bool isBaseSubscription) = 0;
    /// Stops the connection thread and waits for it.
    virtual void disconnect() = 0;

    virtual std::shared_ptr<Subscription> subscribeResource(std::shared_ptr<const QelResourceDescriptor> descriptor,
                                                            ArrayCallback callback) = 0;
    virtual std::shared_ptr<Subscription> subscribeRoot(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                        ArrayCallback callback) = 0;
    virtual std::shared_ptr<Subscription> subscribeRootWithUpdateLimit(
        std::shared_ptr<const XObjectDescriptor> descriptor, ArrayCallback callback,
        std::chrono::milliseconds updateLimit) = 0;

    virtual CONNECTION_STATE getConnectionState() = 0;
    virtual void setConnectBackoffGenerator(std::shared_ptr<qelutil::INumberSequence> sequence) = 0;
    /// Sends one ping frame with the first `length` bytes of `content`.
    virtual bool sendPing(const char* content, std::size_t length) = 0;
};

}  // namespace qel
