#pragma once

#include <QelAccess/ITpAccessFactory.h>
#include <QelAccessUtility/IHttpSessionFactory.h>

namespace qel {

/// Makes HttpAccess transports that all take their sessions from one
/// session factory (and so share its pool of keep-alive connections).
class HttpAccessFactory : public ITpAccessFactory {
public:
    explicit HttpAccessFactory(qelutil::IHttpSessionFactory::Shared sessionFactory);

    /// Empty when the configuration, the logger factory or the session
    /// factory is missing.
    ITpAccess::Shared createTpAccess(const std::string& serviceName,
                                     std::shared_ptr<const IConfigManager> configManager,
                                     qelutil::LoggerFactory::shared loggerFactory) override;

private:
    qelutil::IHttpSessionFactory::Shared m_sessionFactory;
};

}  // namespace qel
