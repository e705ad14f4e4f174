#pragma once

// What every fuzz target shares: loggers that format every line and keep
// none (so that logging of hostile text is exercised without output), and
// an executor that runs each task at once.

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qelfuzz {

class DiscardingLogger : public qelutil::ILogger {
public:
    bool isEnabled(LogLevel) const override { return true; }
    void write(LogLevel, const std::string& text) override { m_written += text.size(); }
    std::unique_ptr<qelutil::ILogger> getSubFacilityLogger(const std::string&) override {
        return std::make_unique<DiscardingLogger>();
    }

private:
    std::size_t m_written = 0;
};

class DiscardingLoggerFactory : public qelutil::LoggerFactory {
public:
    DiscardingLoggerFactory() : LoggerFactory(qelutil::ILogger::TRACE) {}
    std::unique_ptr<qelutil::ILogger> createLogger(const std::string&) override {
        return std::make_unique<DiscardingLogger>();
    }
};

class InlineExecutor : public qelutil::ITaskExecutor {
public:
    void execute(qelutil::Task task) override {
        try {
            task.f();
        } catch (const std::exception&) {
            // A callback's failure is the callback's; the input goes on.
        }
    }
};

/// Installs the discarding factory as the process default once, so that
/// classes logging through the default stay quiet too.
inline std::shared_ptr<qelutil::LoggerFactory> quietLoggers() {
    static const std::shared_ptr<qelutil::LoggerFactory> factory = [] {
        auto created = std::make_shared<DiscardingLoggerFactory>();
        qelutil::LoggerFactory::setDefaultLoggerFactory(created);
        return created;
    }();
    return factory;
}

}  // namespace qelfuzz
