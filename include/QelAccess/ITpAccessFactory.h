#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/ITpAccess.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <memory>
#include <string>

namespace qel {

/// Makes the transport of one service.
class ITpAccessFactory {
public:
    using Shared = std::shared_ptr<ITpAccessFactory>;

    virtual ~ITpAccessFactory() = default;

    /// A transport for `serviceName` configured from `configManager`, or an
    /// empty pointer when it cannot be built; callers test the result.
    virtual ITpAccess::Shared createTpAccess(const std::string& serviceName,
                                             std::shared_ptr<const IConfigManager> configManager,
                                             qelutil::LoggerFactory::shared loggerFactory) = 0;
};

}  // namespace qel
