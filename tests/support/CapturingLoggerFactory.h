#pragma once

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/LoggerFactory.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qeltest {

/// One captured log line.
struct CapturedLine {
    qelutil::ILogger::LogLevel level;
    std::string facility;
    std::string text;
};

/// Lines written through the loggers of a CapturingLoggerFactory; shared by
/// all its loggers, thread-safe.
class LogCapture {
public:
    void add(CapturedLine line);
    std::vector<CapturedLine> lines() const;
    /// Texts at `level`, in order.
    std::vector<std::string> texts(qelutil::ILogger::LogLevel level) const;
    /// Whether a line at `level` contains `fragment`.
    bool contains(qelutil::ILogger::LogLevel level, const std::string& fragment) const;
    /// Number of lines at `level` that contain `fragment`.
    std::size_t count(qelutil::ILogger::LogLevel level, const std::string& fragment) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedLine> m_lines;
};

/// A logger factory whose loggers record their lines instead of printing
/// them. Every level is enabled unless a threshold is set.
class CapturingLoggerFactory : public qelutil::LoggerFactory {
public:
    explicit CapturingLoggerFactory(qelutil::ILogger::LogLevel threshold = qelutil::ILogger::TRACE);

    std::unique_ptr<qelutil::ILogger> createLogger(const std::string& name) override;
    LogCapture& capture() { return *m_capture; }
    std::shared_ptr<LogCapture> sharedCapture() { return m_capture; }

private:
    std::shared_ptr<LogCapture> m_capture = std::make_shared<LogCapture>();
};

/// Installs a capturing factory as the process-wide default for the life of
/// the object and restores the previous default afterwards.
class ScopedDefaultLoggerFactory {
public:
    explicit ScopedDefaultLoggerFactory(std::shared_ptr<CapturingLoggerFactory> factory);
    ~ScopedDefaultLoggerFactory();
    CapturingLoggerFactory& factory() { return *m_factory; }

private:
    std::shared_ptr<CapturingLoggerFactory> m_factory;
    qelutil::LoggerFactory::shared m_previous;
};

}  // namespace qeltest
