#include "Logging.h"

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <map>
#include <memory>

namespace qelcli {

namespace {

using qelutil::ILogger;

class SilentLogger : public ILogger {
public:
    bool isEnabled(LogLevel) const override { return false; }
    void write(LogLevel, const std::string&) override {}
    std::unique_ptr<ILogger> getSubFacilityLogger(const std::string&) override {
        return std::make_unique<SilentLogger>();
    }
};

class SilentLoggerFactory : public qelutil::LoggerFactory {
public:
    std::unique_ptr<ILogger> createLogger(const std::string&) override { return std::make_unique<SilentLogger>(); }
};

}  // namespace

void configureLogging(const std::string& level) {
    static const std::map<std::string, ILogger::LogLevel> levels = {{"trace", ILogger::TRACE},
                                                                    {"debug", ILogger::DEBUG},
                                                                    {"info", ILogger::INFO},
                                                                    {"warning", ILogger::WARNING},
                                                                    {"error", ILogger::ERROR}};
    const auto it = levels.find(level);
    if (it == levels.end()) {
        qelutil::LoggerFactory::setDefaultLoggerFactory(std::make_shared<SilentLoggerFactory>());
        return;
    }
    auto factory = std::make_shared<qelutil::LoggerFactory>(it->second);
    qelutil::LoggerFactory::setDefaultLoggerFactory(factory);
}

}  // namespace qelcli
