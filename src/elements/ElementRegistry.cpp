#include <QelAccess/ElementRegistry.h>

#include <QelAccess/Subscription.h>

#include "model/SourceLocation.h"

#include <algorithm>
#include <cctype>
#include <exception>

namespace qel {

/// The three registry mutexes, always in the order service, resource, element.
class ElementRegistry::Lock {
public:
    explicit Lock(const ElementRegistry& registry)
        : m_service(registry.m_serviceMutex), m_resource(registry.m_resourceMutex), m_element(registry.m_elementMutex) {}

private:
    std::lock_guard<std::recursive_mutex> m_service;
    std::lock_guard<std::recursive_mutex> m_resource;
    std::lock_guard<std::recursive_mutex> m_element;
};

ElementRegistry::ElementRegistry(std::shared_ptr<IServiceRegistry> serviceRegistry,
                                 std::shared_ptr<qelutil::ILogger> newLogger)
    : m_serviceRegistry(std::move(serviceRegistry)),
      m_logger(std::make_shared<qelutil::StreamingLogger>(std::move(newLogger))) {}

ElementRegistry::~ElementRegistry() = default;

std::string ElementRegistry::descriptorKey(const std::string& serviceName, const std::string& resourceName) {
    std::string key = serviceName + "_" + resourceName;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    return key;
}

const ElementRegistry::EntryList* ElementRegistry::entriesOf(const std::string& serviceName,
                                                             const std::string& resourceName) const {
    auto service = m_entryTree.find(serviceName);
    if (service == m_entryTree.end()) return nullptr;
    auto resource = service->second.find(resourceName);
    return resource == service->second.end() ? nullptr : &resource->second;
}

bool ElementRegistry::isCurrent(const std::string& serviceName, const std::shared_ptr<Service>& service) const {
    auto found = m_qelAccessServiceMap.find(serviceName);
    return service && found != m_qelAccessServiceMap.end() && found->second.second == service;
}

void ElementRegistry::registerEntry(std::shared_ptr<ElementRegistryEntry> newEntry,
                                    std::shared_ptr<XObjectDescriptor> descriptor) {
    if (!newEntry) return;
    const XObjectDescriptor base = newEntry->getBaseDescriptor();
    const std::string& serviceName = base.getService();
    const std::string& resourceName = base.getResource();
    bool addListener = false;
    bool resourceSubscribed = false;
    std::shared_ptr<Service> service;
    std::vector<Subscribe> late;
    {
        Lock lock(*this);
        if (!descriptor) {
            m_logger->logTrace() << QEL_SOURCE_LOCATION << "descriptor for resource subscription" << serviceName << "_"
                                 << resourceName << " is null";
        } else {
            const std::string key = descriptorKey(serviceName, resourceName);
            if (m_descriptors.emplace(key, descriptor).second)
                m_logger->logTrace() << QEL_SOURCE_LOCATION << "added resource descriptor for " << key;
        }
        const bool hadService = m_subscriptionTree.count(serviceName) > 0;
        m_entryTree[serviceName][resourceName].insert(newEntry);
        auto& record = m_qelAccessServiceMap[serviceName];
        service = record.second;
        if (!hadService) {
            m_logger->logTrace() << "[registerEntry] service " << serviceName << " not found";
            if (!record.first) {
                m_logger->logTrace() << "[registerEntry] service " << serviceName << " not registered";
                m_logger->logTrace() << "[registerEntry] add service listener for " << serviceName;
                record.first = true;
                addListener = true;
            }
        } else {
            resourceSubscribed = m_subscriptionTree[serviceName].second.count(resourceName) > 0;
            // Served from the resource's latest update, every page joined.
            if (resourceSubscribed)
                late = matchElements(serviceName, resourceName, m_latestElements[serviceName][resourceName],
                                     {newEntry});
        }
    }
    if (addListener) {
        addServiceListener(serviceName);
        m_logger->logTrace() << "[registerEntry] service listener added for " << serviceName;
    } else if (service && !resourceSubscribed) {
        // Available, but this resource is not subscribed yet.
        subscribeToResource(service, serviceName, resourceName);
    }
    for (const Subscribe& subscribe : late) subscribeToElementForEntry(service, serviceName, resourceName, subscribe);
}

void ElementRegistry::addServiceListener(const std::string& serviceName) {
    std::weak_ptr<ElementRegistry> weakSelf = weak_from_this();
    auto logger = m_logger;
    UntypedServiceListener listener{
        [weakSelf, serviceName](std::shared_ptr<Service> service) {
            if (auto self = weakSelf.lock()) self->serviceAvailable(serviceName, std::move(service));
        },
        [weakSelf, serviceName] {
            if (auto self = weakSelf.lock()) self->serviceGone(serviceName);
        },
        [logger](const std::exception& e) { logger->logTrace() << e.what(); }};
    m_serviceRegistry->addServiceListener(
        serviceName, listener, [](std::shared_ptr<QelAccessor> accessor, IWebsocketManager::Shared manager) {
            return std::make_unique<Service>(std::move(accessor), std::move(manager));
        });
}

void ElementRegistry::serviceAvailable(const std::string& serviceName, std::shared_ptr<Service> service) {
    m_logger->logTrace() << "[registerEntry] service " << serviceName << " available";
    {
        Lock lock(*this);
        m_qelAccessServiceMap[serviceName].second = service;
    }
    m_logger->logTrace() << "[registerEntry] start subscribing to " << serviceName;
    subscribeToService(service, serviceName);
    m_logger->logTrace() << "[registerEntry] service " << serviceName << " subscribed";
}

void ElementRegistry::subscribeToService(const std::shared_ptr<Service>& service, const std::string& serviceName) {
    m_logger->logTrace() << QEL_SOURCE_LOCATION << serviceName;
    std::vector<std::string> resources;
    {
        Lock lock(*this);
        auto found = m_entryTree.find(serviceName);
        if (found == m_entryTree.end()) return;
        for (const auto& resource : found->second) resources.push_back(resource.first);
    }
    for (const std::string& resourceName : resources) subscribeToResource(service, serviceName, resourceName);
}

void ElementRegistry::subscribeToResource(const std::shared_ptr<Service>& service, const std::string& serviceName,
                                          const std::string& resourceName) {
    m_logger->logTrace() << QEL_SOURCE_LOCATION << serviceName << "/" << resourceName;
    std::shared_ptr<XObjectDescriptor> descriptor;
    {
        Lock lock(*this);
        auto found = m_descriptors.find(descriptorKey(serviceName, resourceName));
        if (found != m_descriptors.end()) descriptor = found->second;
    }
    if (!descriptor) {
        m_logger->logTrace() << QEL_SOURCE_LOCATION << "no query options available for " << serviceName << "_"
                             << resourceName;
        descriptor = std::make_shared<XObjectDescriptor>(serviceName, resourceName);
    }
    // Weak handles: the manager keeps the callback, and the service holds the manager.
    std::weak_ptr<ElementRegistry> weakSelf = weak_from_this();
    std::weak_ptr<Service> weakService = service;
    IWebsocketManager::ArrayCallback onUpdate = [weakSelf, weakService, serviceName, resourceName](
                                                    qelutil::JsonArray::Shared array,
                                                    std::shared_ptr<const SubscriptionResponse>) {
        auto self = weakSelf.lock();
        auto current = weakService.lock();
        if (self && current) self->onResourceUpdate(current, serviceName, resourceName, std::move(array));
    };
    SubscriptionType subscription;
    try {
        subscription = service->subscribeResource(*descriptor, std::move(onUpdate));
    } catch (const std::exception& e) {
        m_logger->logWarning() << QEL_SOURCE_LOCATION << "could not subscribe " << serviceName << "/" << resourceName
                               << ": " << e.what();
        return;
    }
    {
        Lock lock(*this);
        // A subscription of a service that went meanwhile ends with this scope.
        if (isCurrent(serviceName, service)) std::swap(m_subscriptionTree[serviceName].second[resourceName].first, subscription);
    }
}

std::vector<ElementRegistry::Subscribe> ElementRegistry::matchElements(
    const std::string& serviceName, const std::string& resourceName,
    const std::vector<qelutil::JsonObject::Shared>& elements, const EntryList& entries) {
    std::vector<Subscribe> matches;
    for (const auto& element : elements) {
        const std::string id = element->getString("id");
        m_logger->logTrace() << "[subscribeToElement] " << serviceName << "/" << resourceName << "/" << id;
        for (const auto& entry : entries)
            if (entry->passesFilter(element) && entry->reserve(id)) matches.push_back({entry, id});
    }
    return matches;
}

void ElementRegistry::onResourceUpdate(const std::shared_ptr<Service>& service, const std::string& serviceName,
                                       const std::string& resourceName, qelutil::JsonArray::Shared array) {
    if (!array) {
        m_logger->logWarning() << QEL_SOURCE_LOCATION << "no elements available for resource";
        return;
    }
    std::vector<qelutil::JsonObject::Shared> elements;
    std::set<std::string> received;
    for (std::size_t i = 0; i < array->size(); ++i) {
        if (!array->isObject(i)) continue;
        auto element = array->getObject(i);
        if (!element->isString("id")) {
            m_logger->logWarning() << QEL_SOURCE_LOCATION << serviceName << "/" << resourceName
                                   << " element without a string id dropped";
            continue;
        }
        const std::string id = element->getString("id");
        if (!received.insert(id).second) continue;
        m_logger->logDebug() << QEL_SOURCE_LOCATION << serviceName << "/" << resourceName
                             << " found element with id: " << id;
        elements.push_back(std::move(element));
    }
    std::vector<Gone> gone;
    std::vector<Subscribe> toSubscribe;
    {
        Lock lock(*this);
        if (!isCurrent(serviceName, service)) return;
        ElementSubscriptionMap& held = m_subscriptionTree[serviceName].second[resourceName].second;
        for (auto it = held.begin(); it != held.end();) {
            if (received.count(it->first)) {
                m_logger->logDebug() << QEL_SOURCE_LOCATION << serviceName << "/" << resourceName
                                     << " element with id: " << it->first << " is kept";
                ++it;
                continue;
            }
            for (const auto& entry : it->second) {
                SubscriptionType subscription;
                if (entry->release(it->first, subscription)) gone.push_back({entry, {{it->first, subscription}}});
            }
            m_logger->logDebug() << QEL_SOURCE_LOCATION << serviceName << "/" << resourceName
                                 << " element with id: " << it->first << " gone";
            it = held.erase(it);
        }
        m_latestElements[serviceName][resourceName] = elements;
        // Every element, kept ones too: an entry that holds one element at a
        // time takes another once its own is gone.
        if (const EntryList* entries = entriesOf(serviceName, resourceName))
            toSubscribe = matchElements(serviceName, resourceName, elements, *entries);
    }
    tellGone(gone);
    for (const Subscribe& subscribe : toSubscribe)
        subscribeToElementForEntry(service, serviceName, resourceName, subscribe);
}

void ElementRegistry::subscribeToElementForEntry(const std::shared_ptr<Service>& service,
                                                 const std::string& serviceName, const std::string& resourceName,
                                                 const Subscribe& subscribe) {
    const std::string& uuid = subscribe.uuid;
    m_logger->logDebug() << "[subscribeToElement] new matching entry found for " << serviceName << "/" << resourceName
                         << "/" << uuid;
    auto descriptor = std::make_shared<XObjectDescriptor>(subscribe.entry->getBaseDescriptor());
    descriptor->setId(uuid);
    // Updates reach the entry only while it holds the element: nothing is
    // delivered after it lost it or was unregistered.
    std::weak_ptr<ElementRegistryEntry> weakEntry = subscribe.entry;
    IWebsocketManager::ElementCallback deliver = [weakEntry, uuid](qelutil::JsonObject::Shared element) {
        if (auto entry = weakEntry.lock()) entry->deliver(uuid, std::move(element));
    };
    SubscriptionType subscription;
    try {
        if (service) subscription = service->subscribeElement(descriptor, std::move(deliver));
    } catch (const std::exception& e) {
        m_logger->logWarning() << QEL_SOURCE_LOCATION << "could not subscribe " << serviceName << "/" << resourceName
                               << "/" << uuid << ": " << e.what();
    }
    bool recorded = false;
    if (subscription) {
        Lock lock(*this);
        const EntryList* entries = entriesOf(serviceName, resourceName);
        if (isCurrent(serviceName, service) && entries && entries->count(subscribe.entry) &&
            subscribe.entry->attach(uuid, subscription)) {
            m_subscriptionTree[serviceName].second[resourceName].second[uuid].insert(subscribe.entry);
            recorded = true;
        }
    }
    if (recorded) return;
    SubscriptionType reserved;
    subscribe.entry->release(uuid, reserved);
    if (subscription) subscription->unsubscribe();
}

void ElementRegistry::serviceGone(const std::string& serviceName) {
    m_logger->logTrace() << "[registerEntry] service " << serviceName << " gone";
    ServiceSubscriptionMap::mapped_type record;
    std::vector<Gone> gone;
    {
        Lock lock(*this);
        m_qelAccessServiceMap[serviceName].second.reset();
        m_latestElements.erase(serviceName);
        auto found = m_subscriptionTree.find(serviceName);
        if (found != m_subscriptionTree.end()) {
            record = std::move(found->second);
            m_subscriptionTree.erase(found);
            if (!record.first)
                m_logger->logDebug() << "[serviceGone] " << serviceName << " tried to unsubscribe from null object";
            for (auto& resource : record.second) {
                m_logger->logDebug() << QEL_SOURCE_LOCATION << "Resource " << resource.first << " of Service "
                                     << serviceName << " gone";
                for (const auto& element : resource.second.second) {
                    for (const auto& entry : element.second) {
                        SubscriptionType subscription;
                        if (entry->release(element.first, subscription))
                            gone.push_back({entry, {{element.first, subscription}}});
                    }
                }
            }
        }
        auto entries = m_entryTree.find(serviceName);
        if (entries != m_entryTree.end())
            for (const auto& resource : entries->second)
                for (const auto& entry : resource.second) gone.push_back({entry, entry->releaseAll()});
    }
    // Outside the locks: resource handles unsubscribe as they go, and the
    // gone callbacks are the application's.
    if (record.first) record.first->unsubscribe();
    record.second.clear();
    tellGone(gone);
    m_logger->logTrace() << "[registerEntry] service " << serviceName << " completely gone";
}

void ElementRegistry::tellGone(const std::vector<Gone>& gone) {
    for (const Gone& element : gone)
        if (!element.released.empty()) element.entry->endAndTellGone(element.released);
}

void ElementRegistry::unregisterEntry(std::shared_ptr<ElementRegistryEntry> oldEntry) {
    if (!oldEntry) return;
    const XObjectDescriptor base = oldEntry->getBaseDescriptor();
    const std::string& serviceName = base.getService();
    const std::string& resourceName = base.getResource();
    std::map<std::string, SubscriptionType> released;
    {
        Lock lock(*this);
        auto service = m_entryTree.find(serviceName);
        if (service == m_entryTree.end() || !service->second.count(resourceName)) {
            m_logger->logError() << QEL_SOURCE_LOCATION << "Couldn't find entry to unregister";
            return;
        }
        EntryList& entries = service->second[resourceName];
        if (!entries.erase(oldEntry)) {
            m_logger->logWarning() << "Tried to unregister and already not registered entry in ElementRegistry";
            return;
        }
        if (entries.empty()) service->second.erase(resourceName);
        if (service->second.empty()) m_entryTree.erase(service);
        auto subscribed = m_subscriptionTree.find(serviceName);
        if (subscribed != m_subscriptionTree.end()) {
            auto resource = subscribed->second.second.find(resourceName);
            if (resource != subscribed->second.second.end())
                for (auto& element : resource->second.second) element.second.erase(oldEntry);
        }
        released = oldEntry->releaseAll();
    }
    oldEntry->awaitDeliveries();
    oldEntry->endAndTellGone(released);
}

void ElementRegistry::unsubscribeFromAll() {
    ServiceSubscriptionMap subscriptions;
    std::vector<Gone> gone;
    {
        Lock lock(*this);
        for (const auto& service : m_entryTree)
            for (const auto& resource : service.second)
                for (const auto& entry : resource.second) gone.push_back({entry, entry->releaseAll()});
        subscriptions.swap(m_subscriptionTree);
        m_entryTree.clear();
        m_descriptors.clear();
        m_latestElements.clear();
    }
    subscriptions.clear();
    tellGone(gone);
}

bool ElementRegistry::careForService(const std::string& serviceName) const {
    Lock lock(*this);
    return m_entryTree.count(serviceName) > 0;
}

bool ElementRegistry::careForResource(const std::string& serviceName, const std::string& resourceName) const {
    Lock lock(*this);
    auto service = m_entryTree.find(serviceName);
    if (service == m_entryTree.end()) {
        m_logger->logError() << "[careForResource] couldn't find service " << serviceName;
        return false;
    }
    return service->second.count(resourceName) > 0;
}

bool ElementRegistry::serviceHasListener(const std::string& serviceName) const {
    Lock lock(*this);
    auto found = m_qelAccessServiceMap.find(serviceName);
    return found != m_qelAccessServiceMap.end() && found->second.second != nullptr;
}

bool ElementRegistry::serviceIsRegistered(const std::string& serviceName) const {
    Lock lock(*this);
    auto found = m_qelAccessServiceMap.find(serviceName);
    return found != m_qelAccessServiceMap.end() && found->second.first;
}

std::vector<std::string> ElementRegistry::getSubscribedElements(const std::string& serviceName,
                                                                const std::string& resourceName) const {
    Lock lock(*this);
    std::vector<std::string> ids;
    auto service = m_subscriptionTree.find(serviceName);
    if (service == m_subscriptionTree.end()) return ids;
    auto resource = service->second.second.find(resourceName);
    if (resource == service->second.second.end()) return ids;
    for (const auto& element : resource->second.second)
        if (!element.second.empty()) ids.push_back(element.first);
    return ids;
}

bool ElementRegistry::isResourceSubscribed(const std::string& serviceName, const std::string& resourceName) const {
    Lock lock(*this);
    auto service = m_subscriptionTree.find(serviceName);
    if (service == m_subscriptionTree.end()) return false;
    auto resource = service->second.second.find(resourceName);
    return resource != service->second.second.end() && resource->second.first != nullptr;
}

}  // namespace qel
