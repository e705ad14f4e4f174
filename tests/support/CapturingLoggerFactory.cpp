#include "CapturingLoggerFactory.h"

namespace qeltest {

namespace {

class CapturingLogger : public qelutil::ILogger {
public:
    CapturingLogger(std::string facility, std::shared_ptr<LogCapture> capture,
                    std::shared_ptr<std::atomic<int>> threshold)
        : m_facility(std::move(facility)), m_capture(std::move(capture)), m_threshold(std::move(threshold)) {}

    bool isEnabled(LogLevel level) const override { return static_cast<int>(level) >= m_threshold->load(); }
    void write(LogLevel level, const std::string& text) override {
        m_capture->add(CapturedLine{level, m_facility, text});
    }
    std::unique_ptr<ILogger> getSubFacilityLogger(const std::string& name) override {
        return std::make_unique<CapturingLogger>(m_facility + "." + name, m_capture, m_threshold);
    }

private:
    std::string m_facility;
    std::shared_ptr<LogCapture> m_capture;
    std::shared_ptr<std::atomic<int>> m_threshold;
};

}  // namespace

void LogCapture::add(CapturedLine line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(std::move(line));
}

std::vector<CapturedLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::vector<std::string> LogCapture::texts(qelutil::ILogger::LogLevel level) const {
    std::vector<std::string> result;
    for (const auto& line : lines())
        if (line.level == level) result.push_back(line.text);
    return result;
}

bool LogCapture::contains(qelutil::ILogger::LogLevel level, const std::string& fragment) const {
    return count(level, fragment) > 0;
}

std::size_t LogCapture::count(qelutil::ILogger::LogLevel level, const std::string& fragment) const {
    std::size_t n = 0;
    for (const auto& line : lines())
        if (line.level == level && line.text.find(fragment) != std::string::npos) ++n;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

CapturingLoggerFactory::CapturingLoggerFactory(qelutil::ILogger::LogLevel threshold)
    : qelutil::LoggerFactory(threshold) {}

std::unique_ptr<qelutil::ILogger> CapturingLoggerFactory::createLogger(const std::string& name) {
    return std::make_unique<CapturingLogger>(name, m_capture, m_threshold);
}

ScopedDefaultLoggerFactory::ScopedDefaultLoggerFactory(std::shared_ptr<CapturingLoggerFactory> factory)
    : m_factory(std::move(factory)), m_previous(qelutil::LoggerFactory::getDefaultLoggerFactory()) {
    qelutil::LoggerFactory::setDefaultLoggerFactory(m_factory);
}

ScopedDefaultLoggerFactory::~ScopedDefaultLoggerFactory() {
    qelutil::LoggerFactory::setDefaultLoggerFactory(m_previous);
}

}  // namespace qeltest
