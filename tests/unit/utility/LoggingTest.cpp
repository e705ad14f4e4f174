#include "support/CapturingLoggerFactory.h"

#include <QelAccessUtility/BMetricsLogger.h>
#include <QelAccessUtility/Logger.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <gtest/gtest.h>

#include <regex>

using qelutil::ILogger;

namespace {

/// Counts how often it was converted to text.
struct Expensive {
    int* conversions;
};
std::ostream& operator<<(std::ostream& out, const Expensive& value) {
    ++*value.conversions;
    return out << "expensive";
}

}  // namespace

TEST(StreamingLogger, WritesOneLinePerEntryAndFormatsOnlyEnabledLevels) {
    qeltest::CapturingLoggerFactory factory(ILogger::INFO);
    qelutil::StreamingLogger logger(factory.createLogger("Facility"));
    int conversions = 0;
    logger.logDebug() << "hidden " << Expensive{&conversions};
    logger.logWarning() << "count=" << 3 << ", " << Expensive{&conversions};
    logger.logError() << "second";
    EXPECT_EQ(conversions, 1);
    auto lines = factory.capture().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, ILogger::WARNING);
    EXPECT_EQ(lines[0].text, "count=3, expensive");
    EXPECT_EQ(lines[0].facility, "Facility");
    EXPECT_EQ(lines[1].text, "second");
    EXPECT_FALSE(logger.isDebug());
    EXPECT_TRUE(logger.isInfo());
}

TEST(LoggerFactory, ThresholdAppliesToExistingLoggersAndSubFacilities) {
    qeltest::CapturingLoggerFactory factory(ILogger::WARNING);
    auto logger = factory.createLogger("Main");
    auto sub = logger->getSubFacilityLogger("Sub");
    logger->info("dropped");
    factory.setThreshold(ILogger::TRACE);
    logger->trace("kept");
    sub->debug("from sub");
    auto lines = factory.capture().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "kept");
    EXPECT_EQ(lines[1].facility, "Main.Sub");
}

TEST(LoggerFactory, DefaultFactoryCanBeReplacedAndRestored) {
    auto builtIn = qelutil::LoggerFactory::getDefaultLoggerFactory();
    ASSERT_TRUE(builtIn);
    {
        auto capturing = std::make_shared<qeltest::CapturingLoggerFactory>();
        qeltest::ScopedDefaultLoggerFactory scoped(capturing);
        qelutil::LoggerFactory::getDefaultLoggerFactory()->createLogger("Routed")->warning("to the app");
        qelutil::BMetricsLogger::logRawBootmarker("[client] started");
        EXPECT_TRUE(capturing->capture().contains(ILogger::WARNING, "to the app"));
        EXPECT_TRUE(capturing->capture().contains(ILogger::INFO, "[client] started"));
    }
    EXPECT_EQ(qelutil::LoggerFactory::getDefaultLoggerFactory(), builtIn);
    qelutil::LoggerFactory::setDefaultLoggerFactory(nullptr);
    EXPECT_EQ(qelutil::LoggerFactory::getDefaultLoggerFactory(), builtIn);
}

TEST(Logger, FormatsUtcTimeLevelFacilityThreadAndText) {
    const std::string line = qelutil::Logger::formatLine(ILogger::WARNING, "QelAccess", "hello");
    EXPECT_TRUE(std::regex_match(
        line, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z WARNING \[QelAccess\] \(.*\) hello)")))
        << line;
    const int64_t before = qelutil::Logger::getCurrentSystemTimeUSec();
    EXPECT_GT(before, 1700000000LL * 1000000);
    EXPECT_GE(qelutil::Logger::getCurrentSystemTimeUSec(), before);
}

TEST(Logger, WritesToStderrOnlyAtOrAboveThreshold) {
    qelutil::LoggerFactory factory(ILogger::ERROR);
    auto logger = factory.createLogger("Stderr");
    testing::internal::CaptureStderr();
    logger->warning("below threshold");
    logger->error("at threshold");
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.find("below threshold"), std::string::npos);
    EXPECT_NE(out.find("ERROR [Stderr]"), std::string::npos);
    EXPECT_EQ(out.back(), '\n');
}
