#pragma once

#include <QelAccessUtility/ILogger.h>

#include <atomic>
#include <memory>
#include <string>

namespace qelutil {

/// Creates loggers by facility name. The base class makes the default
/// loggers (class Logger: one line per entry on stderr); applications
/// subclass it and override createLogger to route lines elsewhere, and may
/// install their factory as the process-wide default so that classes using
/// the default factory log through it too.
class LoggerFactory {
public:
    using shared = std::shared_ptr<LoggerFactory>;

    explicit LoggerFactory(ILogger::LogLevel threshold = ILogger::INFO);
    virtual ~LoggerFactory() = default;

    virtual std::unique_ptr<ILogger> createLogger(const std::string& name);

    /// Lines below the threshold are not written by loggers of this factory
    /// (also by those created before the change).
    void setThreshold(ILogger::LogLevel threshold);
    ILogger::LogLevel getThreshold() const;

    static shared getDefaultLoggerFactory();
    /// Replaces the process-wide default; null restores the built-in one.
    static void setDefaultLoggerFactory(shared factory);

protected:
    std::shared_ptr<std::atomic<int>> m_threshold;
};

}  // namespace qelutil
