#include <QelAccess/SubscriptionResponse.h>

namespace qel {

SubscriptionResponse::SubscriptionResponse() = default;

SubscriptionResponse::SubscriptionResponse(const PagingObject& paging) : paging(paging) {}

}  // namespace qel
