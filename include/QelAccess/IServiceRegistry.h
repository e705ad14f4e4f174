#pragma once

#include <QelAccess/Service.h>
#include <QelAccess/UntypedServiceListener.h>

#include <memory>
#include <string>

namespace qel {

/// Where applications wait for named services.
class IServiceRegistry {
public:
    using Shared = std::shared_ptr<IServiceRegistry>;

    virtual ~IServiceRegistry() = default;

    /// Sets the service up whenever it can be used and keeps it set up: the
    /// listener hears `available` with the object `serviceCreator` made, and
    /// `unavailable` when its connection goes, until stop().
    virtual void addServiceListener(const std::string& serviceName, const UntypedServiceListener& listener,
                                    const Service::Creator& serviceCreator) = 0;
    /// Ends every re-setup; no notice is delivered afterwards.
    virtual void stop() = 0;
};

}  // namespace qel
