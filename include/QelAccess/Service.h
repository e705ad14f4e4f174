#pragma once

#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/QelAccessor.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/XObjectDescriptor.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace qel {

class Subscription;

/// The base of the application's typed service objects: the accessor and
/// the WebSocket manager of one service, with reads and subscriptions that
/// forward to them.
class Service {
public:
    /// Makes the application's service object once a service is set up.
    using Creator = std::function<std::unique_ptr<Service>(std::shared_ptr<QelAccessor>, IWebsocketManager::Shared)>;

    Service(std::shared_ptr<QelAccessor> qelAccessor, IWebsocketManager::Shared websocketManager);
    Service(const Service&) = default;
    Service(Service&&) = default;
    Service& operator=(const Service&) = default;
    Service& operator=(Service&&) = default;
    virtual ~Service() = default;

    /// Reads the resources of the service; failures are logged by the accessor.
    void readService(const QelServiceDescriptor& descriptor, QelAccessorReadServiceCallback callback);
    void readService(const XObjectDescriptor& descriptor, QelAccessorReadServiceCallback callback);

    template <typename T>
    void readResource(typename T::Desctype descriptor, QelAccessorReadResourceCallback<T> callbackSuccess,
                      QelAccessorErrorCallback callbackError) {
        qelAccessor->readResource<T>(std::move(descriptor), std::move(callbackSuccess), std::move(callbackError));
    }

    std::shared_ptr<Subscription> subscribeElement(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                   IWebsocketManager::ElementCallback callback);
    std::shared_ptr<Subscription> subscribeElementWithInterval(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                               IWebsocketManager::ElementCallback callback,
                                                               std::chrono::milliseconds interval);
    std::shared_ptr<Subscription> subscribeElementWithUpdateLimit(
        std::shared_ptr<const XObjectDescriptor> descriptor, IWebsocketManager::ElementCallback callback,
        std::chrono::milliseconds updateLimit);
    std::shared_ptr<Subscription> subscribeResource(std::shared_ptr<const QelResourceDescriptor> descriptor,
                                                    IWebsocketManager::ArrayCallback callback);
    /// Subscribes the resource named by the descriptor, with its query
    /// options and filter.
    std::shared_ptr<Subscription> subscribeResource(const XObjectDescriptor& descriptor,
                                                    IWebsocketManager::ArrayCallback callback);
    std::shared_ptr<Subscription> subscribeRoot(const XObjectDescriptor& descriptor,
                                                IWebsocketManager::ArrayCallback callback);
    std::shared_ptr<Subscription> subscribeRoot(const QelServiceDescriptor& descriptor,
                                                IWebsocketManager::ArrayCallback callback);
    /// Ends the subscription of that key as a base subscription.
    void unsubscribe(const std::string& subscriptionKey);

    const std::shared_ptr<QelAccessor>& getAccessor() const { return qelAccessor; }
    const IWebsocketManager::Shared& getWebsocketManager() const { return websocketManager; }

protected:
    std::shared_ptr<QelAccessor> qelAccessor;
    IWebsocketManager::Shared websocketManager;
};

}  // namespace qel
