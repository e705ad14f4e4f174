#include <QelAccess/HttpAccessFactory.h>

#include <QelAccess/HttpAccess.h>

namespace qel {

HttpAccessFactory::HttpAccessFactory(qelutil::IHttpSessionFactory::Shared sessionFactory)
    : m_sessionFactory(std::move(sessionFactory)) {}

ITpAccess::Shared HttpAccessFactory::createTpAccess(const std::string& serviceName,
                                                    std::shared_ptr<const IConfigManager> configManager,
                                                    qelutil::LoggerFactory::shared loggerFactory) {
    if (!configManager || !loggerFactory || !m_sessionFactory) return nullptr;
    return std::make_shared<HttpAccess>(serviceName, std::move(configManager), std::move(loggerFactory),
                                        m_sessionFactory);
}

}  // namespace qel
