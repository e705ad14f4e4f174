#pragma once

#include <QelAccessUtility/ILogger.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace qelutil {

/// The default logger: writes each line to stderr as
/// "2026-12-06T07:23:24.123Z WARNING [Facility] (thread) text", in one write.
class Logger : public ILogger {
public:
    Logger(std::string facility, std::shared_ptr<std::atomic<int>> threshold);

    bool isEnabled(LogLevel level) const override;
    void write(LogLevel level, const std::string& text) override;
    std::unique_ptr<ILogger> getSubFacilityLogger(const std::string& name) override;

    /// Microseconds since the Unix epoch (system clock).
    static int64_t getCurrentSystemTimeUSec();
    /// Formats one log line as the default logger writes it (without newline).
    static std::string formatLine(LogLevel level, const std::string& facility, const std::string& text);

private:
    std::string m_facility;
    std::shared_ptr<std::atomic<int>> m_threshold;
};

}  // namespace qelutil
