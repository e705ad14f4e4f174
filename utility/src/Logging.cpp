#include <QelAccessUtility/BMetricsLogger.h>
#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/Logger.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace qelutil {

// ---- ILogger ---------------------------------------------------------------

const char* ILogger::levelName(LogLevel level) {
    switch (level) {
        case TRACE: return "TRACE";
        case DEBUG: return "DEBUG";
        case INFO: return "INFO";
        case WARNING: return "WARNING";
        case ERROR: return "ERROR";
        case SYSTEM: return "SYSTEM";
    }
    return "UNKNOWN";
}

// ---- Logger ----------------------------------------------------------------

Logger::Logger(std::string facility, std::shared_ptr<std::atomic<int>> threshold)
    : m_facility(std::move(facility)), m_threshold(std::move(threshold)) {}

bool Logger::isEnabled(LogLevel level) const {
    return static_cast<int>(level) >= m_threshold->load(std::memory_order_relaxed);
}

void Logger::write(LogLevel level, const std::string& text) {
    if (!isEnabled(level)) return;
    std::string line = formatLine(level, m_facility, text);
    line += '\n';
    // One write per line so lines of concurrent threads do not interleave.
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n <= 0) break;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::unique_ptr<ILogger> Logger::getSubFacilityLogger(const std::string& name) {
    return std::make_unique<Logger>(m_facility + "." + name, m_threshold);
}

int64_t Logger::getCurrentSystemTimeUSec() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string Logger::formatLine(LogLevel level, const std::string& facility, const std::string& text) {
    const int64_t usec = getCurrentSystemTimeUSec();
    const std::time_t seconds = static_cast<std::time_t>(usec / 1000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char time[96];
    std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>((usec / 1000) % 1000));
    char thread[16] = "?";
    pthread_getname_np(pthread_self(), thread, sizeof thread);

    std::string line;
    line.reserve(text.size() + facility.size() + 64);
    line += time;
    line += ' ';
    line += levelName(level);
    line += " [";
    line += facility;
    line += "] (";
    line += thread;
    line += ") ";
    line += text;
    return line;
}

// ---- LoggerFactory ---------------------------------------------------------

namespace {

std::mutex& defaultFactoryMutex() {
    static std::mutex mutex;
    return mutex;
}

LoggerFactory::shared& builtInFactory() {
    static LoggerFactory::shared factory = std::make_shared<LoggerFactory>();
    return factory;
}

LoggerFactory::shared& currentDefaultFactory() {
    static LoggerFactory::shared factory = builtInFactory();
    return factory;
}

}  // namespace

LoggerFactory::LoggerFactory(ILogger::LogLevel threshold)
    : m_threshold(std::make_shared<std::atomic<int>>(static_cast<int>(threshold))) {}

std::unique_ptr<ILogger> LoggerFactory::createLogger(const std::string& name) {
    return std::make_unique<Logger>(name, m_threshold);
}

void LoggerFactory::setThreshold(ILogger::LogLevel threshold) { m_threshold->store(static_cast<int>(threshold)); }

ILogger::LogLevel LoggerFactory::getThreshold() const {
    return static_cast<ILogger::LogLevel>(m_threshold->load());
}

LoggerFactory::shared LoggerFactory::getDefaultLoggerFactory() {
    std::lock_guard<std::mutex> lock(defaultFactoryMutex());
    return currentDefaultFactory();
}

void LoggerFactory::setDefaultLoggerFactory(shared factory) {
    std::lock_guard<std::mutex> lock(defaultFactoryMutex());
    currentDefaultFactory() = factory ? std::move(factory) : builtInFactory();
}

// ---- StreamingLogger -------------------------------------------------------

StreamingLogger::LogEntry::LogEntry(ILogger* logger, ILogger::LogLevel level) : m_logger(logger), m_level(level) {
    if (m_logger && m_logger->isEnabled(level)) m_stream = std::make_unique<std::ostringstream>();
}

StreamingLogger::LogEntry::LogEntry(LogEntry&& other) noexcept
    : m_logger(other.m_logger), m_level(other.m_level), m_stream(std::move(other.m_stream)) {}

StreamingLogger::LogEntry::~LogEntry() {
    if (!m_stream) return;
    try {
        m_logger->write(m_level, m_stream->str());
    } catch (...) {
        // A logger that throws must not turn a log line into a crash.
    }
}

StreamingLogger::StreamingLogger(std::shared_ptr<ILogger> logger) : m_logger(std::move(logger)) {}

// ---- BMetricsLogger --------------------------------------------------------

void BMetricsLogger::logRawBootmarker(const std::string& text) {
    auto logger = LoggerFactory::getDefaultLoggerFactory()->createLogger("BMetrics");
    if (!logger->isInfo()) return;
    logger->info(std::to_string(Logger::getCurrentSystemTimeUSec()) + " us " + text);
}

}  // namespace qelutil
