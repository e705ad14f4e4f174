#pragma once

#include <QelAccess/PagingObject.h>
#include <QelAccessUtility/Optional.h>

namespace qel {

/// Accompanies a subscription update of array data; `paging` is unset when
/// the update carried no paging information.
class SubscriptionResponse {
public:
    SubscriptionResponse();
    explicit SubscriptionResponse(const PagingObject& paging);

    qelutil::Optional<PagingObject> paging;
};

}  // namespace qel
