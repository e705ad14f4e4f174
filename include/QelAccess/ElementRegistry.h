#pragma once

#include <QelAccess/ElementRegistryEntry.h>
#include <QelAccess/GenericXObject.h>
#include <QelAccess/IServiceRegistry.h>
#include <QelAccess/Service.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qel {

class Subscription;

/// Keeps application entries subscribed to the matching elements of a
/// resource: it waits for the service through the service registry,
/// subscribes the resource, subscribes each matching element for each
/// interested entry, tells entries when elements disappear, and starts over
/// when the service goes and comes back.
///
/// Thread-safe: registerEntry and unregisterEntry may be called from any
/// thread while updates and service notices run on executor threads. The
/// three recursive mutexes are taken together, in the order service,
/// resource, element, for every read or change of the trees, the
/// descriptors and the service map; no entry callback, gone callback,
/// service call or subscription release runs while they are held.
class ElementRegistry : public std::enable_shared_from_this<ElementRegistry> {
public:
    using EntryList = std::set<std::shared_ptr<ElementRegistryEntry>>;
    using ElementSubscriptionMap = std::map<std::string, EntryList>;
    using SubscriptionType = std::shared_ptr<Subscription>;
    using ResourceRecord = std::pair<SubscriptionType, ElementSubscriptionMap>;
    using ServiceSubscriptionMap = std::map<std::string, std::pair<SubscriptionType, std::map<std::string, ResourceRecord>>>;
    using ServiceEntryList = std::map<std::string, std::map<std::string, EntryList>>;

    /// Must be owned by a std::shared_ptr before the first registerEntry:
    /// the service listener and resource updates hold it weakly.
    ElementRegistry(std::shared_ptr<IServiceRegistry> serviceRegistry, std::shared_ptr<qelutil::ILogger> newLogger);
    ~ElementRegistry();
    ElementRegistry(const ElementRegistry&) = delete;
    ElementRegistry& operator=(const ElementRegistry&) = delete;

    /// `descriptor` (may be null) carries the query options and filter of
    /// the resource subscription of the entry's service and resource.
    void registerEntry(std::shared_ptr<ElementRegistryEntry> newEntry, std::shared_ptr<XObjectDescriptor> descriptor);
    /// Ends the entry's element subscriptions (its gone callback hears of
    /// each); nothing reaches the entry afterwards: an update being
    /// delivered to it on another thread is waited for.
    void unregisterEntry(std::shared_ptr<ElementRegistryEntry> oldEntry);
    /// Forgets every entry and subscription; service listeners stay.
    void unsubscribeFromAll();

    bool careForService(const std::string& serviceName) const;
    bool careForResource(const std::string& serviceName, const std::string& resourceName) const;
    bool serviceHasListener(const std::string& serviceName) const;
    bool serviceIsRegistered(const std::string& serviceName) const;
    /// Element ids subscribed for some entry, per resource, for diagnostics.
    std::vector<std::string> getSubscribedElements(const std::string& serviceName,
                                                   const std::string& resourceName) const;
    /// Whether the resource subscription of the resource stands.
    bool isResourceSubscribed(const std::string& serviceName, const std::string& resourceName) const;

private:
    struct Subscribe {
        std::shared_ptr<ElementRegistryEntry> entry;
        std::string uuid;
    };
    struct Gone {
        std::shared_ptr<ElementRegistryEntry> entry;
        std::map<std::string, SubscriptionType> released;
    };
    class Lock;

    void serviceAvailable(const std::string& serviceName, std::shared_ptr<Service> service);
    void serviceGone(const std::string& serviceName);
    void subscribeToService(const std::shared_ptr<Service>& service, const std::string& serviceName);
    void subscribeToResource(const std::shared_ptr<Service>& service, const std::string& serviceName,
                             const std::string& resourceName);
    void onResourceUpdate(const std::shared_ptr<Service>& service, const std::string& serviceName,
                          const std::string& resourceName, qelutil::JsonArray::Shared array);
    /// Under the locks: reserves, for every entry of the resource, each
    /// matching element of `elements` it does not hold yet.
    std::vector<Subscribe> matchElements(const std::string& serviceName, const std::string& resourceName,
                                         const std::vector<qelutil::JsonObject::Shared>& elements,
                                         const EntryList& entries);
    void subscribeToElementForEntry(const std::shared_ptr<Service>& service, const std::string& serviceName,
                                    const std::string& resourceName, const Subscribe& subscribe);
    void addServiceListener(const std::string& serviceName);
    static std::string descriptorKey(const std::string& serviceName, const std::string& resourceName);
    static void tellGone(const std::vector<Gone>& gone);
    bool isCurrent(const std::string& serviceName, const std::shared_ptr<Service>& service) const;
    /// The registered entries of the resource, or null; under the locks.
    const EntryList* entriesOf(const std::string& serviceName, const std::string& resourceName) const;

    ServiceSubscriptionMap m_subscriptionTree;
    ServiceEntryList m_entryTree;
    std::map<std::string, std::shared_ptr<XObjectDescriptor>> m_descriptors;
    std::shared_ptr<IServiceRegistry> m_serviceRegistry;
    std::shared_ptr<qelutil::StreamingLogger> m_logger;
    std::map<std::string, std::pair<bool, std::shared_ptr<Service>>> m_qelAccessServiceMap;
    /// The latest elements of each subscribed resource (all pages joined), by
    /// service and resource: what a late entry is served from.
    std::map<std::string, std::map<std::string, std::vector<qelutil::JsonObject::Shared>>> m_latestElements;
    mutable std::recursive_mutex m_serviceMutex;
    mutable std::recursive_mutex m_resourceMutex;
    mutable std::recursive_mutex m_elementMutex;
};

}  // namespace qel
