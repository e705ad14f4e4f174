#pragma once

#include <memory>
#include <string>

namespace qelutil {

/// A logger of one facility. Implementations need only the three virtual
/// operations; the level helpers are built on them, so an application can
/// route every line of the library into its own logging.
class ILogger {
public:
    enum LogLevel { TRACE = 0, DEBUG = 1, INFO = 2, WARNING = 3, ERROR = 4, SYSTEM = 5 };

    virtual ~ILogger() = default;

    virtual bool isEnabled(LogLevel level) const = 0;
    /// Writes one line at `level` (callers check isEnabled first when the
    /// text is costly to build).
    virtual void write(LogLevel level, const std::string& text) = 0;
    /// A logger for a sub-facility of this one.
    virtual std::unique_ptr<ILogger> getSubFacilityLogger(const std::string& name) = 0;

    void trace(const std::string& text) { writeIfEnabled(TRACE, text); }
    void debug(const std::string& text) { writeIfEnabled(DEBUG, text); }
    void info(const std::string& text) { writeIfEnabled(INFO, text); }
    void warning(const std::string& text) { writeIfEnabled(WARNING, text); }
    void error(const std::string& text) { writeIfEnabled(ERROR, text); }
    void system(const std::string& text) { writeIfEnabled(SYSTEM, text); }

    bool isTrace() const { return isEnabled(TRACE); }
    bool isDebug() const { return isEnabled(DEBUG); }
    bool isInfo() const { return isEnabled(INFO); }
    bool isWarning() const { return isEnabled(WARNING); }
    bool isError() const { return isEnabled(ERROR); }
    bool isSystem() const { return isEnabled(SYSTEM); }

    static const char* levelName(LogLevel level);

private:
    void writeIfEnabled(LogLevel level, const std::string& text) {
        if (isEnabled(level)) write(level, text);
    }
};

}  // namespace qelutil
