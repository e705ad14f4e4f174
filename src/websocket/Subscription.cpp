#include <QelAccess/Subscription.h>

#include <QelAccess/IWebsocketManager.h>

#include <stdexcept>
#include <utility>

namespace qel {

namespace {
qelutil::Optional<std::chrono::milliseconds> optionalOf(const std::chrono::milliseconds* value) {
    if (value == nullptr) return {};
    return *value;
}
}  // namespace

Subscription::Subscription(std::weak_ptr<IWebsocketManager> wsm, std::shared_ptr<const XObjectDescriptor> descriptor,
                           SubscriptionType subscriptionType, const std::string& subscriptionKey,
                           bool isBaseSubscription)
    : Subscription(std::move(wsm), std::move(descriptor), subscriptionType, subscriptionKey, nullptr, nullptr,
                   isBaseSubscription) {}

Subscription::Subscription(std::weak_ptr<IWebsocketManager> wsm, std::shared_ptr<const XObjectDescriptor> descriptor,
                           SubscriptionType subscriptionType, const std::string& subscriptionKey,
                           const std::chrono::milliseconds* interval, const std::chrono::milliseconds* updateLimit,
                           bool isBaseSubscription)
    : m_websocketManager(std::move(wsm)),
      m_descriptor(std::move(descriptor)),
      m_subscriptionType(subscriptionType),
      m_subscriptionKey(subscriptionKey),
      m_interval(optionalOf(interval)),
      m_updateLimit(optionalOf(updateLimit)),
      m_isBaseSubscription(isBaseSubscription) {}

Subscription::~Subscription() {
    // A destructor must not throw; an unsubscribe that fails at the manager
    // leaves nothing to clean up here.
    try {
        unsubscribe();
    } catch (...) {
    }
}

std::string Subscription::getUuidOfElement() const {
    if (!m_descriptor) throw std::runtime_error("getValue called on uninitialized Optional");
    return m_descriptor->getId().getValue();
}

void Subscription::unsubscribe() {
    if (!deactivate()) return;
    if (auto manager = m_websocketManager.lock()) manager->unsubscribe(m_subscriptionKey, m_isBaseSubscription);
}

bool Subscription::deactivate() { return m_active.exchange(false); }

}  // namespace qel
