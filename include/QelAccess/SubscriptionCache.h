#pragma once

#include <QelAccess/Subscription.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qel {

/// The resource and root subscriptions of one WebSocket manager whose data
/// the server may deliver in pages (the base subscriptions). When the server
/// starts paging a base, the cache subscribes once more with "$limit=0" to
/// learn the total, subscribes to every further page, and hands the joined
/// array of all pages to the base's callback once every page has arrived.
/// Pages that the client asked for itself ($offset or $limit in its
/// descriptor) pass through unchanged.
///
/// Locking: `mtx` guards the cache's data and is a leaf lock: it is never
/// held while the subscribe function or the data function runs, nor while a
/// released page handle unsubscribes, so those may take any manager lock and
/// may call back into the cache's other operations. `updateMtx` serialises
/// updateSubscription as a whole (taken before `mtx`, and held while the
/// functions run) so that pages are added, dropped and delivered in message
/// order; the functions must therefore not call updateSubscription.
class SubscriptionCache {
public:
    /// Subscribes one further page (or the "$limit=0" count) and returns its
    /// handle, or null when that failed.
    using SubscribeFunction = std::function<std::shared_ptr<Subscription>(
        std::shared_ptr<const XObjectDescriptor>, Subscription::SubscriptionType,
        qelutil::Optional<std::chrono::milliseconds>)>;
    /// Hands array data to the callback registered under the key.
    using HandleDataFunction = std::function<void(const std::string&, qelutil::JsonArray::Shared,
                                                  std::shared_ptr<SubscriptionResponse>)>;

    /// Upper bound of pages followed for one base subscription; a total that
    /// needs more is logged and dropped, so that a forged total cannot make
    /// the connection subscribe without end.
    static constexpr int64_t MAX_PAGES = 10000;

    explicit SubscriptionCache(std::shared_ptr<qelutil::LoggerFactory> loggerFactory);
    SubscriptionCache(const SubscriptionCache&) = delete;
    SubscriptionCache& operator=(const SubscriptionCache&) = delete;
    ~SubscriptionCache();

    void addBaseSubscription(std::shared_ptr<Subscription> ptr);
    /// Forgets the base and releases its "$limit=0" and page subscriptions,
    /// which unsubscribe themselves unless someone else holds them.
    void removeBaseSubscription(const std::string& key);
    bool hasBaseSubscription(const std::string& key);
    /// Whether `key` is a page subscription ("$offset" in it) of some base.
    bool isPagedSubscription(const std::string& key);
    /// Takes one array message of a base, "$limit=0" or page subscription.
    /// Throws std::runtime_error when paging information the algorithm needs
    /// is missing.
    void updateSubscription(const std::string& key, qelutil::JsonArray::Shared array,
                            std::shared_ptr<SubscriptionResponse> response, const SubscribeFunction& subscribeFunc,
                            const HandleDataFunction& dataFunc);

private:
    class InternalSubscription;
    class BaseSubscription;
    class PagedSubscription;
    struct Delivery;
    using BasePtr = std::shared_ptr<BaseSubscription>;
    using Handles = std::vector<std::shared_ptr<Subscription>>;

    Delivery updateBase(std::unique_lock<std::mutex>& lock, const BasePtr& base, qelutil::JsonArray::Shared array,
                        std::shared_ptr<SubscriptionResponse> response, const SubscribeFunction& subscribeFunc,
                        Handles& released);
    Delivery updateLimitNull(std::unique_lock<std::mutex>& lock, const std::string& key, const BasePtr& base,
                             std::shared_ptr<SubscriptionResponse> response, const SubscribeFunction& subscribeFunc,
                             Handles& released);
    Delivery checkSubscriptionAndUpdate(const BasePtr& base, std::shared_ptr<SubscriptionResponse> response);
    void subscribeToLimitNullPage(std::unique_lock<std::mutex>& lock, const BasePtr& base,
                                  const SubscribeFunction& subscribeFunc, Handles& released);
    void subscribeToChildAllPages(std::unique_lock<std::mutex>& lock, const BasePtr& base,
                                  const SubscribeFunction& subscribeFunc, int64_t totalPages, Handles& released);
    /// Whether `base` is still the cache's entry under its key (the cache's
    /// mutex is released while pages are subscribed).
    bool isCurrent(const BasePtr& base) const;
    /// Whether every page that reported a total reports the base's total.
    static bool pagesAgreeOnTotal(const BaseSubscription& base);

    std::shared_ptr<qelutil::StreamingLogger> logger;
    std::map<std::string, BasePtr> baseSubscriptions;
    std::mutex updateMtx;  // taken before mtx
    mutable std::mutex mtx;
};

}  // namespace qel
