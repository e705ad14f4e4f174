#pragma once

#include <QelAccessUtility/ILogger.h>

#include <memory>
#include <sstream>
#include <string>

namespace qelutil {

/// Stream-style front end of an ILogger:
///
///     logger.logWarning() << "lost " << count << " messages";
///
/// The entry is written as one line when the temporary ends. When its level
/// is off nothing is formatted: the values are not converted to text.
class StreamingLogger {
public:
    class LogEntry {
    public:
        LogEntry(ILogger* logger, ILogger::LogLevel level);
        LogEntry(LogEntry&& other) noexcept;
        LogEntry(const LogEntry&) = delete;
        LogEntry& operator=(const LogEntry&) = delete;
        LogEntry& operator=(LogEntry&&) = delete;
        ~LogEntry();

        template <typename T>
        LogEntry& operator<<(const T& value) {
            if (m_stream) *m_stream << value;
            return *this;
        }

    private:
        ILogger* m_logger;
        ILogger::LogLevel m_level;
        std::unique_ptr<std::ostringstream> m_stream;
    };

    explicit StreamingLogger(std::shared_ptr<ILogger> logger);

    LogEntry logTrace() const { return LogEntry(m_logger.get(), ILogger::TRACE); }
    LogEntry logDebug() const { return LogEntry(m_logger.get(), ILogger::DEBUG); }
    LogEntry logInfo() const { return LogEntry(m_logger.get(), ILogger::INFO); }
    LogEntry logWarning() const { return LogEntry(m_logger.get(), ILogger::WARNING); }
    LogEntry logError() const { return LogEntry(m_logger.get(), ILogger::ERROR); }
    LogEntry logSystem() const { return LogEntry(m_logger.get(), ILogger::SYSTEM); }

    bool isTrace() const { return enabled(ILogger::TRACE); }
    bool isDebug() const { return enabled(ILogger::DEBUG); }
    bool isInfo() const { return enabled(ILogger::INFO); }
    bool isWarning() const { return enabled(ILogger::WARNING); }
    bool isError() const { return enabled(ILogger::ERROR); }
    bool isSystem() const { return enabled(ILogger::SYSTEM); }

    const std::shared_ptr<ILogger>& getLogger() const { return m_logger; }

private:
    bool enabled(ILogger::LogLevel level) const { return m_logger && m_logger->isEnabled(level); }
    std::shared_ptr<ILogger> m_logger;
};

}  // namespace qelutil
