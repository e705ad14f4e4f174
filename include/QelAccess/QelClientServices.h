#pragma once

#include <QelAccess/ElementRegistry.h>
#include <QelAccess/IServiceRegistry.h>

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/IValueDictionary.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <map>
#include <memory>
#include <string>

namespace qel {

/// The process-wide services a client of the library needs, in one object
/// to hand to each of the application's components. Copies share the handles.
class QelClientServices {
public:
    using ClientSettings = std::shared_ptr<const std::map<std::string, std::shared_ptr<std::string>>>;

    /// Creates the client's logger, named `clientName`, when a logger
    /// factory is given.
    QelClientServices(const std::string& clientName, std::shared_ptr<IServiceRegistry> pServiceRegistry,
                      std::shared_ptr<qelutil::LoggerFactory> pLoggerFactory,
                      std::shared_ptr<ElementRegistry> elementRegistry, ClientSettings clientSettings,
                      std::shared_ptr<qelutil::IValueDictionary> valueDictionary);

    /// Throws std::runtime_error("unique logger pointer is nullptr") without a logger.
    qelutil::ILogger& getLogger() const;
    std::shared_ptr<qelutil::ILogger> getLoggerShared() const { return m_pLogger; }
    std::shared_ptr<IServiceRegistry> getServiceRegistry() const { return m_pServiceRegistry; }
    std::shared_ptr<ElementRegistry> getElementRegistry() const { return m_elementRegistry; }
    ClientSettings getClientSettings() const { return m_clientSettings; }
    std::shared_ptr<qelutil::IValueDictionary> getValueDictionary() const { return m_valueDictionary; }
    const std::string& getClientName() const { return m_clientName; }

private:
    std::string m_clientName;
    std::shared_ptr<IServiceRegistry> m_pServiceRegistry;
    std::shared_ptr<qelutil::ILogger> m_pLogger;
    std::shared_ptr<ElementRegistry> m_elementRegistry;
    ClientSettings m_clientSettings;
    std::shared_ptr<qelutil::IValueDictionary> m_valueDictionary;
};

}  // namespace qel
