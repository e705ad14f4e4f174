#include <QelAccess/SubscriptionCache.h>

#include <QelAccess/PagingObject.h>
#include <QelAccess/QelResourceDescriptor.h>

#include <QelAccessUtility/JsonFactory.h>

#include <exception>
#include <utility>

namespace qel {

namespace {

/// Pages needed for `total` elements at `limit` per page, rounded up in
/// integers (exact for every 64-bit total); fewer than two pages count as one.
int64_t computeTotalPages(int64_t total, int64_t limit) {
    if (limit < 1) return 1;
    int64_t pages = total / limit;
    if (total % limit > 0) ++pages;
    return pages < 2 ? 1 : pages;
}

}  // namespace

/// What the cache needs of a base subscription, copied at construction.
class SubscriptionCache::InternalSubscription {
public:
    explicit InternalSubscription(const Subscription& sub)
        : subscriptionKey(sub.getSubscriptionKey()),
          subscriptionType(sub.getSubscriptionType()),
          descriptor(sub.getDescriptor() ? *sub.getDescriptor() : XObjectDescriptor()),
          updateLimit(sub.getUpdateLimit()) {}

    /// A fresh copy of the descriptor; resource subscriptions get a resource
    /// descriptor, as the manager's subscribe path expects one.
    std::shared_ptr<XObjectDescriptor> copyDescriptor() const {
        if (subscriptionType == Subscription::RESOURCE) {
            auto copy = std::make_shared<QelResourceDescriptor>(descriptor.getService(), descriptor.getResource());
            static_cast<XObjectDescriptor&>(*copy) = descriptor;
            return copy;
        }
        return std::make_shared<XObjectDescriptor>(descriptor);
    }

    const std::string subscriptionKey;
    const Subscription::SubscriptionType subscriptionType;
    const XObjectDescriptor descriptor;
    const qelutil::Optional<std::chrono::milliseconds> updateLimit;
};

/// One further page of a server-paged base subscription.
class SubscriptionCache::PagedSubscription {
public:
    explicit PagedSubscription(std::shared_ptr<Subscription> sub) : subscription(std::move(sub)) {}

    bool isDataComplete() const { return currentData != nullptr; }
    void update(qelutil::JsonArray::Shared array, const qelutil::Optional<PagingObject>& pagingObj) {
        currentData = std::move(array);
        paging = pagingObj;
    }

    std::shared_ptr<Subscription> subscription;
    qelutil::Optional<PagingObject> paging;
    qelutil::JsonArray::Shared currentData;
};

class SubscriptionCache::BaseSubscription {
public:
    enum PagingState { UNPAGED = 0, PAGING_INITIATED_BY_SERVER = 1, PAGING_INITIATED_BY_CLIENT = 2 };

    BaseSubscription(const Subscription& sub, std::shared_ptr<qelutil::StreamingLogger> logger_)
        : logger(std::move(logger_)), subscription(new InternalSubscription(sub)) {
        const QueryOptions& options = subscription->descriptor.getQueryOptions();
        const bool clientPaged = options.getPagingOffset().isValid() || options.getPagingLimit().isValid() ||
                                 options.getPagingOffsetUuid().isValid();
        pagingState = clientPaged ? PAGING_INITIATED_BY_CLIENT : UNPAGED;
    }

    bool isDataComplete() const {
        if (pagingState == UNPAGED) return currentData != nullptr;
        if (!currentData) {
            logger->logTrace() << "BaseSubscription::isDataComplete currentData is empty";
            return false;
        }
        const int64_t totalPages = paging->totalPages.getValue();
        const auto children = childSubscriptions.size();
        if (totalPages < 0 || static_cast<uint64_t>(totalPages) != children + 1) {
            logger->logTrace() << "BaseSubscription::isDataComplete " << totalPages << " != " << children << " + 1";
            return false;
        }
        for (const auto& child : childSubscriptions)
            if (!child.second->isDataComplete()) return false;
        return true;
    }

    void addChildSubscription(std::shared_ptr<Subscription> sub) {
        const std::string key = sub->getSubscriptionKey();
        childSubscriptions[key] = std::make_shared<PagedSubscription>(std::move(sub));
        childSubscriptionsInsertOrder.push_back(key);
    }

    /// Forgets the page added last and returns its handle, so that the
    /// caller can release it (which unsubscribes it) outside the cache's lock.
    std::shared_ptr<Subscription> removeLastChildSubscription() {
        if (childSubscriptionsInsertOrder.empty()) {
            logger->logWarning()
                << "BaseSubscription::removeLastChildSubscription childSubscriptionsInsertOrder is empty";
            return nullptr;
        }
        const std::string key = childSubscriptionsInsertOrder.back();
        childSubscriptionsInsertOrder.pop_back();
        std::shared_ptr<Subscription> handle;
        auto found = childSubscriptions.find(key);
        if (found == childSubscriptions.end()) {
            logger->logWarning() << "BaseSubscription::removeLastChildSubscription childSubscription NOT FOUND, key = "
                                 << key;
        } else {
            handle = std::move(found->second->subscription);
            childSubscriptions.erase(found);
        }
        return handle;
    }

    /// Throws std::runtime_error when an unpaged base gets no paging information.
    void update(qelutil::JsonArray::Shared array, const qelutil::Optional<PagingObject>& pagingObj) {
        switch (pagingState) {
            case UNPAGED:
                if (pagingObj->isPagingEnabled()) pagingState = PAGING_INITIATED_BY_SERVER;
                paging = pagingObj;
                currentData = std::move(array);
                break;
            case PAGING_INITIATED_BY_SERVER:
                paging = pagingObj;
                currentData = std::move(array);
                break;
            case PAGING_INITIATED_BY_CLIENT:
                break;
        }
    }

    /// The pages' handles, so that the caller can release them outside the lock.
    void takeHandles(Handles& released) {
        if (limitNullSubscription) released.push_back(std::move(limitNullSubscription));
        for (auto& child : childSubscriptions) released.push_back(std::move(child.second->subscription));
        childSubscriptions.clear();
        childSubscriptionsInsertOrder.clear();
    }

    std::shared_ptr<qelutil::StreamingLogger> logger;
    std::unique_ptr<InternalSubscription> subscription;
    std::shared_ptr<Subscription> limitNullSubscription;
    PagingState pagingState = UNPAGED;
    qelutil::Optional<PagingObject> paging;
    qelutil::JsonArray::Shared currentData;
    std::map<std::string, std::shared_ptr<PagedSubscription>> childSubscriptions;
    std::vector<std::string> childSubscriptionsInsertOrder;
};

/// A pending call of the data function, made once the cache's lock is released.
struct SubscriptionCache::Delivery {
    std::string key;
    qelutil::JsonArray::Shared array;
    std::shared_ptr<SubscriptionResponse> response;
};

SubscriptionCache::SubscriptionCache(std::shared_ptr<qelutil::LoggerFactory> loggerFactory) {
    if (!loggerFactory) loggerFactory = qelutil::LoggerFactory::getDefaultLoggerFactory();
    logger = std::make_shared<qelutil::StreamingLogger>(
        std::shared_ptr<qelutil::ILogger>(loggerFactory->createLogger("SubscriptionCache")));
}

SubscriptionCache::~SubscriptionCache() = default;

void SubscriptionCache::addBaseSubscription(std::shared_ptr<Subscription> ptr) {
    if (!ptr) {
        logger->logWarning() << "cannot addBaseSubscription: null Subscription received";
        return;
    }
    const std::string& key = ptr->getSubscriptionKey();
    auto base = std::make_shared<BaseSubscription>(*ptr, logger);
    std::lock_guard<std::mutex> lock(mtx);
    if (!baseSubscriptions.emplace(key, std::move(base)).second) {
        logger->logWarning() << "could not add subscription with key=" << key << ", because it already exist";
        return;
    }
    logger->logInfo() << "add subscription with key=" << key;
}

void SubscriptionCache::removeBaseSubscription(const std::string& key) {
    Handles released;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(mtx);
    auto found = baseSubscriptions.find(key);
    if (found == baseSubscriptions.end()) {
        logger->logInfo() << "could not remove subscription with key=" << key << ", because it does not exist";
        return;
    }
    // An update running concurrently may still hold the base; its pages are
    // taken here so that they are unsubscribed now, outside the lock.
    found->second->takeHandles(released);
    baseSubscriptions.erase(found);
    logger->logInfo() << "removed subscription with key=" << key;
}

bool SubscriptionCache::hasBaseSubscription(const std::string& key) {
    std::lock_guard<std::mutex> lock(mtx);
    return baseSubscriptions.count(key) != 0;
}

bool SubscriptionCache::isPagedSubscription(const std::string& key) {
    if (key.find("$offset") == std::string::npos) return false;
    std::lock_guard<std::mutex> lock(mtx);
    for (const auto& entry : baseSubscriptions)
        if (entry.second && entry.second->childSubscriptions.count(key) != 0) return true;
    return false;
}

void SubscriptionCache::updateSubscription(const std::string& key, qelutil::JsonArray::Shared array,
                                           std::shared_ptr<SubscriptionResponse> response,
                                           const SubscribeFunction& subscribeFunc,
                                           const HandleDataFunction& dataFunc) {
    if (!response) response = std::make_shared<SubscriptionResponse>();
    std::lock_guard<std::mutex> serial(updateMtx);
    // Declared before the lock, so that handles and the base are released
    // (and unsubscribe) only after the lock is.
    Handles released;
    BasePtr base;
    Delivery delivery;
    {
        std::unique_lock<std::mutex> lock(mtx);
        logger->logDebug() << "updating paged subscription, key=" << key;
        auto found = baseSubscriptions.find(key);
        if (found != baseSubscriptions.end()) {
            logger->logDebug() << "found base subscription";
            base = found->second;
            delivery = updateBase(lock, base, std::move(array), response, subscribeFunc, released);
        } else {
            bool handled = false;
            for (const auto& entry : baseSubscriptions) {
                if (!entry.second) {
                    logger->logWarning() << "BaseSubscription is empty";
                    continue;
                }
                base = entry.second;
                if (base->limitNullSubscription && base->limitNullSubscription->getSubscriptionKey() == key) {
                    delivery = updateLimitNull(lock, key, base, response, subscribeFunc, released);
                    handled = true;
                    break;
                }
                auto child = base->childSubscriptions.find(key);
                if (child != base->childSubscriptions.end()) {
                    logger->logDebug() << "found child subscription";
                    child->second->update(std::move(array), response->paging);
                    delivery = checkSubscriptionAndUpdate(base, response);
                    handled = true;
                    break;
                }
            }
            if (!handled) logger->logWarning() << "could not find a base or child subscription";
        }
    }
    if (delivery.array) dataFunc(delivery.key, std::move(delivery.array), std::move(delivery.response));
}

SubscriptionCache::Delivery SubscriptionCache::updateBase(std::unique_lock<std::mutex>& lock, const BasePtr& base,
                                                          qelutil::JsonArray::Shared array,
                                                          std::shared_ptr<SubscriptionResponse> response,
                                                          const SubscribeFunction& subscribeFunc, Handles& released) {
    if (base->pagingState == BaseSubscription::PAGING_INITIATED_BY_CLIENT) {
        logger->logInfo() << "is client initiated paging -> callback";
        return Delivery{base->subscription->subscriptionKey, std::move(array), std::move(response)};
    }
    base->update(std::move(array), response->paging);
    if (base->pagingState == BaseSubscription::PAGING_INITIATED_BY_SERVER) {
        subscribeToLimitNullPage(lock, base, subscribeFunc, released);
        if (!isCurrent(base)) return {};
    }
    return checkSubscriptionAndUpdate(base, std::move(response));
}

SubscriptionCache::Delivery SubscriptionCache::updateLimitNull(std::unique_lock<std::mutex>& lock,
                                                               const std::string& key, const BasePtr& base,
                                                               std::shared_ptr<SubscriptionResponse> response,
                                                               const SubscribeFunction& subscribeFunc,
                                                               Handles& released) {
    const int64_t total = response->paging->total.getValue();
    logger->logInfo() << "$limit=0 subscription update for key: " << key << " total: " << total;
    const int64_t totalPages = computeTotalPages(total, base->paging->limit.getValue());
    logger->logDebug() << "computed totalPages: " << totalPages;
    if (totalPages > MAX_PAGES) {
        logger->logWarning() << "too many pages for subscription with key=" << base->subscription->subscriptionKey
                             << ", totalPages=" << totalPages << " exceeds " << MAX_PAGES << ", dropping data";
        return {};
    }
    base->paging->totalPages = totalPages;
    subscribeToChildAllPages(lock, base, subscribeFunc, totalPages, released);
    if (!isCurrent(base)) return {};
    return checkSubscriptionAndUpdate(base, std::move(response));
}

namespace {

/// Calls the subscribe function; a failure it throws counts as no result.
std::shared_ptr<Subscription> trySubscribe(const SubscriptionCache::SubscribeFunction& subscribeFunc,
                                           std::shared_ptr<const XObjectDescriptor> descriptor,
                                           Subscription::SubscriptionType type,
                                           const qelutil::Optional<std::chrono::milliseconds>& updateLimit,
                                           const qelutil::StreamingLogger& logger) {
    try {
        return subscribeFunc(std::move(descriptor), type, updateLimit);
    } catch (const std::exception& e) {
        logger.logWarning() << "subscribing a page failed, what=" << e.what();
    }
    return nullptr;
}

}  // namespace

void SubscriptionCache::subscribeToLimitNullPage(std::unique_lock<std::mutex>& lock, const BasePtr& base,
                                                 const SubscribeFunction& subscribeFunc, Handles& released) {
    if (base->limitNullSubscription) return;
    // The base's copied data never changes, so it is read without the lock.
    const InternalSubscription& internal = *base->subscription;
    auto copy = internal.copyDescriptor();
    copy->getQueryOptions().setPagingLimit(0);
    lock.unlock();
    auto sub = trySubscribe(subscribeFunc, copy, internal.subscriptionType, internal.updateLimit, *logger);
    lock.lock();
    if (!sub) {
        logger->logWarning() << "could not create subscription for $limit=0, descriptor.uri="
                             << copy->getUri().getValueOr("");
        return;
    }
    if (!isCurrent(base)) {
        released.push_back(std::move(sub));
        return;
    }
    logger->logDebug() << "successfully created subscription for $limit=0, key=" << sub->getSubscriptionKey();
    base->limitNullSubscription = std::move(sub);
}

void SubscriptionCache::subscribeToChildAllPages(std::unique_lock<std::mutex>& lock, const BasePtr& base,
                                                 const SubscribeFunction& subscribeFunc, int64_t totalPages,
                                                 Handles& released) {
    const int64_t limit = base->paging->limit.getValue();
    const int64_t have = static_cast<int64_t>(base->childSubscriptions.size()) + 1;
    if (have > totalPages) {
        logger->logDebug() << "need to unsubscribe last pages, diff=" << (have - totalPages);
        for (int64_t i = 0; i < have - totalPages; ++i) {
            if (auto handle = base->removeLastChildSubscription()) released.push_back(std::move(handle));
        }
        base->paging->totalPages = totalPages;
        return;
    }
    if (have == totalPages) return;

    logger->logDebug() << "need to subscribe to additional pages, diff=" << (totalPages - have);
    const InternalSubscription& internal = *base->subscription;
    Handles made;
    lock.unlock();
    // Pages are subscribed in order and the first failure stops the run, so
    // the pages held always form an unbroken run after the base page; the
    // next total resumes at the first missing page. Offsets stay below the
    // total, so the products cannot overflow.
    for (int64_t page = have; page < totalPages; ++page) {
        const int64_t offset = limit * page;
        auto copy = internal.copyDescriptor();
        copy->getQueryOptions().setPagingOffset(offset);
        copy->getQueryOptions().setPagingLimit(limit);
        auto sub = trySubscribe(subscribeFunc, copy, internal.subscriptionType, internal.updateLimit, *logger);
        if (!sub) {
            logger->logWarning() << "could not create paged subscription";
            break;
        }
        logger->logDebug() << "successfully created paged subscription to page with offset=" << offset
                           << " and limit=" << limit;
        made.push_back(std::move(sub));
    }
    lock.lock();
    if (!isCurrent(base)) {
        for (auto& sub : made) released.push_back(std::move(sub));
        return;
    }
    for (auto& sub : made) base->addChildSubscription(std::move(sub));
}

SubscriptionCache::Delivery SubscriptionCache::checkSubscriptionAndUpdate(
    const BasePtr& base, std::shared_ptr<SubscriptionResponse> response) {
    const std::string& baseKey = base->subscription->subscriptionKey;
    if (!base->isDataComplete()) {
        logger->logDebug() << "data for paged subscriptions is not complete, BaseSubscription.key=" << baseKey;
        return {};
    }
    if (!pagesAgreeOnTotal(*base)) {
        // Pages of two states of the list (an element was added or removed
        // and not every page has been pushed again yet): joining them would
        // repeat or skip elements. The pages still to come complete the set.
        logger->logDebug() << "pages disagree on the total, waiting for the rest, BaseSubscription.key=" << baseKey;
        return {};
    }
    logger->logDebug() << "data for paged subscription is complete";
    if (base->pagingState == BaseSubscription::UNPAGED) {
        // A single page: handed on as it came, the cache never reads it again.
        return Delivery{baseKey, base->currentData, std::move(response)};
    }
    // Pages in page order, which is the order they were added in (the key
    // order of the map would put "$offset=100" before "$offset=20").
    auto joined = qelutil::JsonFactory::createJsonArray();
    joined->addAll(*base->currentData);
    for (const auto& childKey : base->childSubscriptionsInsertOrder)
        joined->addAll(*base->childSubscriptions.at(childKey)->currentData);
    // A page that came without paging information still reports the whole list.
    if (!response->paging.isValid()) response->paging = *base->paging;
    response->paging->offset = 0;
    response->paging->limit = base->paging->limit;
    return Delivery{baseKey, std::move(joined), std::move(response)};
}

bool SubscriptionCache::pagesAgreeOnTotal(const BaseSubscription& base) {
    if (base.pagingState != BaseSubscription::PAGING_INITIATED_BY_SERVER || !base.paging || !base.paging->total)
        return true;
    const int64_t total = *base.paging->total;
    for (const auto& child : base.childSubscriptions) {
        const auto& paging = child.second->paging;
        if (paging && paging->total && *paging->total != total) return false;
    }
    return true;
}

bool SubscriptionCache::isCurrent(const BasePtr& base) const {
    auto found = baseSubscriptions.find(base->subscription->subscriptionKey);
    return found != baseSubscriptions.end() && found->second == base;
}

}  // namespace qel
