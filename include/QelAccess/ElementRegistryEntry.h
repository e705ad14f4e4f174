#pragma once

#include <QelAccess/QelFilter.h>
#include <QelAccess/QueryOptions.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonObject.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qel {

class Subscription;

/// One standing request to the element registry: which resource to watch,
/// which of its elements to take (those that pass the filter; all of them,
/// or one at a time), where their updates go and where to hear that one
/// went away. Filled by the application, for example:
///
///     auto entry = std::make_shared<ElementRegistryEntry>("media", "tracks");
///     entry->withFilter(favourites).onUpdate(print).onGone(forget).subscribeToAll(true);
///
/// Set it up before registering it. The registry records in it the element
/// subscriptions it makes, one per element id; a mutex of its own guards
/// them, and no callback runs under it.
class ElementRegistryEntry {
public:
    using Callback = std::function<void(qelutil::JsonObject::Shared)>;
    using ElementGoneCallback = std::function<void(const std::string& uuid)>;

    ElementRegistryEntry() = default;
    ElementRegistryEntry(const std::string& service, const std::string& resource);
    ElementRegistryEntry(const ElementRegistryEntry&) = delete;
    ElementRegistryEntry& operator=(const ElementRegistryEntry&) = delete;

    /// Only elements that pass the filter are subscribed for this entry.
    ElementRegistryEntry& withFilter(const QelFilter& filter);
    /// Query options of every element subscription (e.g. "$fields").
    ElementRegistryEntry& withQueryOptions(const QueryOptions& options);
    /// Receives every update of every element subscribed for the entry.
    ElementRegistryEntry& onUpdate(Callback callback);
    /// Told the id of each element whose subscription the entry loses.
    ElementRegistryEntry& onGone(ElementGoneCallback callback);
    /// True: any number of elements; false (the default): at most one.
    ElementRegistryEntry& subscribeToAll(bool all);

    XObjectDescriptor getBaseDescriptor() const { return m_descriptor; }
    bool passesFilter(qelutil::JsonObject::SharedConst json) const { return m_filter.passesFilter(std::move(json)); }
    bool isSubscribedTo(const std::string& uuid) const;
    /// Whether the entry takes all elements or holds none yet.
    bool acceptsAnotherSubscription() const;
    Callback getCallback() const { return m_callback; }
    bool subscribesToAll() const { return m_subscribeToAll; }
    /// Whether it holds a subscription (places reserved for subscriptions
    /// under way do not count here, nor below).
    bool hasSubscription() const;
    /// The held element ids in key order.
    std::vector<std::string> getSubscribedUuids() const;

    /// Throws std::invalid_argument when the element is held already.
    void addSubscription(std::shared_ptr<Subscription> subscription);
    /// Ends the element's subscription without telling the gone callback;
    /// throws std::invalid_argument when it is not held.
    void unsubscribe(const std::string& uuid);
    /// Ends the element's subscription and tells the gone callback; nothing
    /// when it is not held.
    void elementGone(const std::string& uuid);
    /// Ends every subscription, then tells the gone callback of each element
    /// in key order.
    void unsubscribeAll();

    /// For the registry: holds a place for an element whose subscription is
    /// under way (isSubscribedTo is true from here on); false when the entry
    /// holds the element or takes no more.
    bool reserve(const std::string& uuid);
    /// Fills a reserved place; false (and nothing stored) when the place was
    /// given up meanwhile.
    bool attach(const std::string& uuid, std::shared_ptr<Subscription> subscription);
    /// Takes the element out (reserved or held) without ending its
    /// subscription; whether it was there.
    bool release(const std::string& uuid, std::shared_ptr<Subscription>& subscription);
    /// Takes every element out, in key order.
    std::map<std::string, std::shared_ptr<Subscription>> releaseAll();
    /// Ends the given subscriptions and tells the gone callback of each,
    /// in key order; call without locks that the callback might need.
    void endAndTellGone(const std::map<std::string, std::shared_ptr<Subscription>>& released) const;
    /// Hands an update of the element to the callback while the entry holds
    /// the element (or a place for it).
    void deliver(const std::string& uuid, qelutil::JsonObject::Shared element) const;
    /// Returns once no delivery that began earlier is still running; with
    /// the elements released first, none reaches the entry afterwards.
    void awaitDeliveries() const;

private:
    QelFilter m_filter;
    QueryOptions m_queryOptions;
    Callback m_callback;
    ElementGoneCallback m_elementGoneCallback;
    bool m_subscribeToAll = false;
    XObjectDescriptor m_descriptor;
    mutable std::mutex m_mutex;  // guards m_subscriptions
    /// Held while the callback runs; recursive, so that a callback may
    /// unregister its own entry.
    mutable std::recursive_mutex m_deliveryMutex;
    /// A null handle marks a place reserved for a subscription under way.
    std::map<std::string, std::shared_ptr<Subscription>> m_subscriptions;
};

}  // namespace qel
