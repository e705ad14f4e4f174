#include <QelAccess/ElementRegistryEntry.h>

#include <QelAccess/Subscription.h>

#include <stdexcept>

namespace qel {

ElementRegistryEntry::ElementRegistryEntry(const std::string& service, const std::string& resource)
    : m_descriptor(service, resource) {}

ElementRegistryEntry& ElementRegistryEntry::withFilter(const QelFilter& filter) {
    m_filter = filter;
    return *this;
}

ElementRegistryEntry& ElementRegistryEntry::withQueryOptions(const QueryOptions& options) {
    m_queryOptions = options;
    m_descriptor.getQueryOptions() = options;
    return *this;
}

ElementRegistryEntry& ElementRegistryEntry::onUpdate(Callback callback) {
    m_callback = std::move(callback);
    return *this;
}

ElementRegistryEntry& ElementRegistryEntry::onGone(ElementGoneCallback callback) {
    m_elementGoneCallback = std::move(callback);
    return *this;
}

ElementRegistryEntry& ElementRegistryEntry::subscribeToAll(bool all) {
    m_subscribeToAll = all;
    return *this;
}

bool ElementRegistryEntry::isSubscribedTo(const std::string& uuid) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscriptions.count(uuid) > 0;
}

bool ElementRegistryEntry::acceptsAnotherSubscription() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscribeToAll || m_subscriptions.empty();
}

bool ElementRegistryEntry::hasSubscription() const { return !getSubscribedUuids().empty(); }

std::vector<std::string> ElementRegistryEntry::getSubscribedUuids() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> uuids;
    for (const auto& held : m_subscriptions)
        if (held.second) uuids.push_back(held.first);
    return uuids;
}

void ElementRegistryEntry::addSubscription(std::shared_ptr<Subscription> subscription) {
    const std::string key = subscription->getUuidOfElement();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_subscriptions.count(key))
        throw std::invalid_argument("instance of ElementRegistryEntry is already subscribed to uuid " + key);
    m_subscriptions.emplace(key, std::move(subscription));
}

void ElementRegistryEntry::unsubscribe(const std::string& uuid) {
    std::shared_ptr<Subscription> subscription;
    if (!release(uuid, subscription))
        throw std::invalid_argument("instance of ElementRegistryEntry has no subscription to uuid " + uuid);
    if (subscription) subscription->unsubscribe();
}

void ElementRegistryEntry::elementGone(const std::string& uuid) {
    std::shared_ptr<Subscription> subscription;
    if (!release(uuid, subscription)) return;
    endAndTellGone({{uuid, subscription}});
}

void ElementRegistryEntry::unsubscribeAll() { endAndTellGone(releaseAll()); }

bool ElementRegistryEntry::reserve(const std::string& uuid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_subscriptions.count(uuid) || (!m_subscribeToAll && !m_subscriptions.empty())) return false;
    m_subscriptions.emplace(uuid, nullptr);
    return true;
}

bool ElementRegistryEntry::attach(const std::string& uuid, std::shared_ptr<Subscription> subscription) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto place = m_subscriptions.find(uuid);
    if (place == m_subscriptions.end() || place->second) return false;
    place->second = std::move(subscription);
    return true;
}

bool ElementRegistryEntry::release(const std::string& uuid, std::shared_ptr<Subscription>& subscription) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto held = m_subscriptions.find(uuid);
    if (held == m_subscriptions.end()) return false;
    subscription = std::move(held->second);
    m_subscriptions.erase(held);
    return true;
}

std::map<std::string, std::shared_ptr<Subscription>> ElementRegistryEntry::releaseAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<std::string, std::shared_ptr<Subscription>> released;
    released.swap(m_subscriptions);
    return released;
}

void ElementRegistryEntry::deliver(const std::string& uuid, qelutil::JsonObject::Shared element) const {
    std::lock_guard<std::recursive_mutex> delivering(m_deliveryMutex);
    if (!isSubscribedTo(uuid) || !m_callback) return;
    m_callback(std::move(element));
}

void ElementRegistryEntry::awaitDeliveries() const { std::lock_guard<std::recursive_mutex> barrier(m_deliveryMutex); }

void ElementRegistryEntry::endAndTellGone(const std::map<std::string, std::shared_ptr<Subscription>>& released) const {
    for (const auto& element : released)
        if (element.second) element.second->unsubscribe();
    if (!m_elementGoneCallback) return;
    for (const auto& element : released) m_elementGoneCallback(element.first);
}

}  // namespace qel
