#include <QelAccess/QelClientServices.h>

#include <stdexcept>

namespace qel {

QelClientServices::QelClientServices(const std::string& clientName, std::shared_ptr<IServiceRegistry> pServiceRegistry,
                                     std::shared_ptr<qelutil::LoggerFactory> pLoggerFactory,
                                     std::shared_ptr<ElementRegistry> elementRegistry, ClientSettings clientSettings,
                                     std::shared_ptr<qelutil::IValueDictionary> valueDictionary)
    : m_clientName(clientName),
      m_pServiceRegistry(std::move(pServiceRegistry)),
      m_elementRegistry(std::move(elementRegistry)),
      m_clientSettings(std::move(clientSettings)),
      m_valueDictionary(std::move(valueDictionary)) {
    if (pLoggerFactory) m_pLogger = pLoggerFactory->createLogger(clientName);
}

qelutil::ILogger& QelClientServices::getLogger() const {
    if (!m_pLogger) throw std::runtime_error("unique logger pointer is nullptr");
    return *m_pLogger;
}

}  // namespace qel
