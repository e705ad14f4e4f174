#include <QelAccess/Service.h>

#include <QelAccess/Subscription.h>

namespace qel {

Service::Service(std::shared_ptr<QelAccessor> qelAccessor_, IWebsocketManager::Shared websocketManager_)
    : qelAccessor(std::move(qelAccessor_)), websocketManager(std::move(websocketManager_)) {}

void Service::readService(const QelServiceDescriptor& descriptor, QelAccessorReadServiceCallback callback) {
    qelAccessor->readService(descriptor, std::move(callback), nullptr);
}

void Service::readService(const XObjectDescriptor& descriptor, QelAccessorReadServiceCallback callback) {
    readService(QelServiceDescriptor(descriptor), std::move(callback));
}

std::shared_ptr<Subscription> Service::subscribeElement(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                        IWebsocketManager::ElementCallback callback) {
    return websocketManager->subscribeElement(std::move(descriptor), std::move(callback));
}

std::shared_ptr<Subscription> Service::subscribeElementWithInterval(
    std::shared_ptr<const XObjectDescriptor> descriptor, IWebsocketManager::ElementCallback callback,
    std::chrono::milliseconds interval) {
    return websocketManager->subscribeElementWithInterval(std::move(descriptor), std::move(callback), interval);
}

std::shared_ptr<Subscription> Service::subscribeElementWithUpdateLimit(
    std::shared_ptr<const XObjectDescriptor> descriptor, IWebsocketManager::ElementCallback callback,
    std::chrono::milliseconds updateLimit) {
    return websocketManager->subscribeElementWithUpdateLimit(std::move(descriptor), std::move(callback), updateLimit);
}

std::shared_ptr<Subscription> Service::subscribeResource(std::shared_ptr<const QelResourceDescriptor> descriptor,
                                                         IWebsocketManager::ArrayCallback callback) {
    return websocketManager->subscribeResource(std::move(descriptor), std::move(callback));
}

std::shared_ptr<Subscription> Service::subscribeResource(const XObjectDescriptor& descriptor,
                                                         IWebsocketManager::ArrayCallback callback) {
    auto resource = std::make_shared<QelResourceDescriptor>(descriptor.getService(), descriptor.getResource());
    resource->getQueryOptions() = descriptor.getQueryOptions();
    resource->getQelFilter() = descriptor.getQelFilter();
    return subscribeResource(std::move(resource), std::move(callback));
}

std::shared_ptr<Subscription> Service::subscribeRoot(const XObjectDescriptor& descriptor,
                                                     IWebsocketManager::ArrayCallback callback) {
    return websocketManager->subscribeRoot(std::make_shared<XObjectDescriptor>(descriptor), std::move(callback));
}

std::shared_ptr<Subscription> Service::subscribeRoot(const QelServiceDescriptor& descriptor,
                                                     IWebsocketManager::ArrayCallback callback) {
    return websocketManager->subscribeRoot(std::make_shared<QelServiceDescriptor>(descriptor), std::move(callback));
}

void Service::unsubscribe(const std::string& subscriptionKey) { websocketManager->unsubscribe(subscriptionKey, true); }

}  // namespace qel
