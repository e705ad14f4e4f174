#include <QelAccess/DefaultWebsocketManager2.h>

#include <QelAccessUtility/JsonEscape.h>

#include <QelAccess/SubscriptionCache.h>

#include "model/SourceLocation.h"
#include "websocket/ExceptionText.h"

#include <Poco/Net/WebSocket.h>

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace qel {

namespace {

constexpr int kTextFrame = Poco::Net::WebSocket::FRAME_TEXT;

// "?" and the query text, or nothing when there is no query.
std::string queryPart(const std::string& query) { return query.empty() ? std::string() : "?" + query; }

template <typename Callback>
void storeCallback(std::mutex& mtx, std::map<std::string, Callback>& callbacks, const std::string& key,
                   Callback callback) {
    Callback replaced;  // destroyed after the mutex is released
    std::lock_guard<std::mutex> lock(mtx);
    Callback& slot = callbacks[key];
    replaced = std::move(slot);
    slot = std::move(callback);
}

void requireDescriptor(const void* descriptor) {
    if (!descriptor) throw std::invalid_argument(QEL_SOURCE_LOCATION + "the descriptor is null");
}

}  // namespace

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeElement(
    std::shared_ptr<const XObjectDescriptor> descriptor, ElementCallback callback) {
    return subscribeElement(std::move(descriptor), std::move(callback), nullptr, nullptr);
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeElementWithInterval(
    std::shared_ptr<const XObjectDescriptor> descriptor, ElementCallback callback, std::chrono::milliseconds interval) {
    return subscribeElement(std::move(descriptor), std::move(callback), &interval, nullptr);
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeElementWithUpdateLimit(
    std::shared_ptr<const XObjectDescriptor> descriptor, ElementCallback callback,
    std::chrono::milliseconds updateLimit) {
    return subscribeElement(std::move(descriptor), std::move(callback), nullptr, &updateLimit);
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeResource(
    std::shared_ptr<const QelResourceDescriptor> descriptor, ArrayCallback callback) {
    return subscribeResource(std::move(descriptor), std::move(callback), true);
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeRoot(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                                      ArrayCallback callback) {
    return subscribeRoot(std::move(descriptor), std::move(callback), nullptr, true);
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeRootWithUpdateLimit(
    std::shared_ptr<const XObjectDescriptor> descriptor, ArrayCallback callback,
    std::chrono::milliseconds updateLimit) {
    return subscribeRoot(std::move(descriptor), std::move(callback), &updateLimit, true);
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeElement(
    std::shared_ptr<const XObjectDescriptor> descriptor, ElementCallback callback, const Milliseconds* interval,
    const Milliseconds* updateLimit) {
    requireDescriptor(descriptor.get());
    checkConnected(QEL_SOURCE_LOCATION);
    const std::string key = getElementSubscriptionKey(*descriptor);
    const std::string message = getSubscriptionEvent(key, interval, updateLimit);
    storeCallback(mtxCallbacksElement, mapCallbacksElement, key, std::move(callback));
    sendMessage(kTextFrame, message, static_cast<int>(message.size()), true, "subscribing element with message=",
                qelutil::ILogger::INFO);
    return std::make_shared<Subscription>(weak_from_this(), std::move(descriptor), Subscription::ELEMENT, key, interval,
                                          updateLimit, false);
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeResource(
    std::shared_ptr<const QelResourceDescriptor> descriptor, ArrayCallback callback, bool addToCache) {
    requireDescriptor(descriptor.get());
    if (descriptor->getQueryOptions().getExpandLevel() != QueryOptions::LEVEL_ZERO)
        logger->logWarning() << "subscribing to resource with $expand different to zero, not supported by spec 1.8.1";
    checkConnected(QEL_SOURCE_LOCATION);
    const std::string key = getResourceSubscriptionKey(*descriptor);
    const std::string message = getSubscriptionEvent(key, nullptr, nullptr);
    storeCallback(mtxCallbacksResource, mapCallbacksResource, key, std::move(callback));
    auto subscription =
        std::make_shared<Subscription>(weak_from_this(), std::move(descriptor), Subscription::RESOURCE, key, addToCache);
    // Entered before the message goes out, so that a first page the server
    // sends at once finds its base subscription.
    if (addToCache) subscriptionCache->addBaseSubscription(subscription);
    sendMessage(kTextFrame, message, static_cast<int>(message.size()), true, "subscribing to resource with message= ",
                qelutil::ILogger::INFO);
    return subscription;
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::subscribeRoot(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                                      ArrayCallback callback,
                                                                      const Milliseconds* updateLimit,
                                                                      bool addToCache) {
    requireDescriptor(descriptor.get());
    if (descriptor->getQueryOptions().getExpandLevel() != QueryOptions::LEVEL_ZERO)
        logger->logWarning() << "subscribing to root with $expand different to zero, not supported by spec 1.8.1";
    checkConnected(QEL_SOURCE_LOCATION);
    const std::string key = getRootSubscriptionKey(*descriptor);
    const std::string message = getSubscriptionEvent(key, nullptr, updateLimit);
    storeCallback(mtxCallbacksRoot, mapCallbacksRoot, key, std::move(callback));
    auto subscription = std::make_shared<Subscription>(weak_from_this(), std::move(descriptor), Subscription::ROOT, key,
                                                       nullptr, updateLimit, addToCache);
    if (addToCache) subscriptionCache->addBaseSubscription(subscription);
    sendMessage(kTextFrame, message, static_cast<int>(message.size()), true, "subscribing to root with message=",
                qelutil::ILogger::INFO);
    return subscription;
}

std::shared_ptr<Subscription> DefaultWebsocketManager2::internalSubscribe(
    std::shared_ptr<const XObjectDescriptor> descriptor, Subscription::SubscriptionType type,
    const Milliseconds* updateLimit) {
    switch (type) {
        case Subscription::RESOURCE: {
            auto resource = std::dynamic_pointer_cast<const QelResourceDescriptor>(descriptor);
            if (!resource && descriptor) {
                auto copy = std::make_shared<QelResourceDescriptor>(descriptor->getService(), descriptor->getResource());
                static_cast<XObjectDescriptor&>(*copy) = *descriptor;
                resource = std::move(copy);
            }
            return subscribeResource(std::move(resource), ArrayCallback(), false);
        }
        case Subscription::ROOT:
            return subscribeRoot(std::move(descriptor), ArrayCallback(), updateLimit, false);
        case Subscription::ELEMENT:
            logger->logWarning() << QEL_SOURCE_LOCATION << ": this method cannot subscribe for elements";
            return nullptr;
        case Subscription::SERVICE:
            return nullptr;
    }
    return nullptr;
}

void DefaultWebsocketManager2::unsubscribe(const std::string& subscriptionKey, bool isBaseSubscription) {
    if (isBaseSubscription && subscriptionCache->hasBaseSubscription(subscriptionKey))
        subscriptionCache->removeBaseSubscription(subscriptionKey);
    removeCallback(subscriptionKey);
    {
        std::lock_guard<std::mutex> lock(mtxConnectionState);
        if (connectionState != CONNECTED) {
            logger->logDebug() << "cannot unsubscribe because websocket is not connected";
            return;
        }
    }
    // The server knows the subscription by its key without the query text.
    std::string event = subscriptionKey;
    const auto query = subscriptionKey.find('?');
    const auto tag = subscriptionKey.find('#');
    if (query != std::string::npos && tag != std::string::npos && query < tag)
        event = subscriptionKey.substr(0, query) + subscriptionKey.substr(tag);
    const std::string message = R"({ "type" : "unsubscribe", "event" : ")" + qelutil::JsonEscape::escape(event) + R"(" })";
    sendMessage(kTextFrame, message, static_cast<int>(message.size()), true, "sending unsubscribe message=",
                qelutil::ILogger::TRACE);
}

void DefaultWebsocketManager2::checkConnected(const std::string& location) {
    std::lock_guard<std::mutex> lock(mtxConnectionState);
    if (connectionState != CONNECTED) throw std::runtime_error(location + "websocket is not connected");
}

std::string DefaultWebsocketManager2::getSubscriptionEvent(const std::string& strKey, const Milliseconds* interval,
                                                           const Milliseconds* updateLimit) {
    std::string message = R"({"type":"subscribe","event":")" + qelutil::JsonEscape::escape(strKey) + "\"";
    if (interval)
        message += R"(,"interval":)" + std::to_string(static_cast<long>(interval->count()));
    else if (updateLimit)
        message += R"(,"updatelimit":)" + std::to_string(static_cast<long>(updateLimit->count()));
    return message + "}";
}

std::string DefaultWebsocketManager2::getElementSubscriptionKey(const XObjectDescriptor& descriptor) const {
    std::string key = serviceDescription.serverBasePath + descriptor.getService() + "/" + descriptor.getResource() +
                      "/" + descriptor.getId().getValue() + queryPart(descriptor.createQueryOptionsString());
    return key + "#" + nextSubscriptionEvent();
}

std::string DefaultWebsocketManager2::getResourceSubscriptionKey(const XObjectDescriptor& descriptor) const {
    std::string key = serviceDescription.serverBasePath + descriptor.getService() + "/" + descriptor.getResource() +
                      serviceDescription.separatorAfterResource +
                      queryPart(descriptor.createPropertySearchAndQueryOptionsString());
    return key + "#" + nextSubscriptionEvent();
}

std::string DefaultWebsocketManager2::getServiceSubscriptionKey(const XObjectDescriptor& descriptor) const {
    std::string key = serviceDescription.serverBasePath + descriptor.getService() +
                      serviceDescription.separatorAfterResource +
                      queryPart(descriptor.createPropertySearchAndQueryOptionsString());
    return key + "#" + nextSubscriptionEvent();
}

std::string DefaultWebsocketManager2::getRootSubscriptionKey(const XObjectDescriptor& descriptor) const {
    std::string key =
        serviceDescription.serverBasePath + queryPart(descriptor.createPropertySearchAndQueryOptionsString());
    return key + "#" + nextSubscriptionEvent();
}

std::string DefaultWebsocketManager2::nextSubscriptionEvent() {
    return subscriptionEventPrefix + std::to_string(subEventCount++);
}

}  // namespace qel
