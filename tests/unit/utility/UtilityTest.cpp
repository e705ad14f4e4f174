#include "support/CapturingLoggerFactory.h"
#include "support/TestText.h"
#include "support/WaitFor.h"

#include <QelAccessUtility/BMetricsLogger.h>
#include <QelAccessUtility/Logger.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/Optional.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/SimpleRand.h>
#include <QelAccessUtility/StreamingLogger.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>
#include <QelAccessUtility/URLEncoder.h>
#include <QelAccessUtility/UriParser.h>
#include <QelAccessUtility/ValueDictionary.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using qelutil::ILogger;
using qeltest::runtimeErrorText;
using qeltest::waitFor;

namespace {

/// A latch the tests use to hold a worker inside a task.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};


TEST(SerialTaskExecutor, RunsTasksOneAtATimeInSubmissionOrder) {
    std::vector<int> order;  // touched only by the worker
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    {
        qelutil::SerialTaskExecutor executor;
        // Submitted from two threads: each thread's own tasks must keep their order.
        auto submit = [&](int base) {
            for (int i = 0; i < 500; ++i) {
                executor.add(
                    [&, value = base + i] {
                        if (running.fetch_add(1) != 0) overlapped = true;
                        order.push_back(value);
                        running.fetch_sub(1);
                    },
                    "ordered");
            }
        };
        std::thread other(submit, 10000);
        submit(0);
        other.join();
    }  // destruction runs everything queued before it
    ASSERT_EQ(order.size(), 1000u);
    EXPECT_FALSE(overlapped);
    int lastLow = -1, lastHigh = 9999;
    for (int value : order) {
        int& last = value >= 10000 ? lastHigh : lastLow;
        EXPECT_GT(value, last);
        last = value;
    }
}

TEST(SerialTaskExecutor, ContainsAThrowingTaskLogsItsNameAndKeepsRunning) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeltest::ScopedDefaultLoggerFactory scoped(factory);
    std::atomic<int> after{0};
    {
        qelutil::SerialTaskExecutor executor;
        executor.add([] { throw std::runtime_error("boom"); }, "exploding task");
        executor.add([] { throw 42; }, "throws an int");
        executor.add([&] { ++after; }, "after");
        ASSERT_TRUE(waitFor([&] { return after.load() == 1; }));
    }
    EXPECT_TRUE(factory->capture().contains(qelutil::ILogger::ERROR, "exploding task"));
    EXPECT_TRUE(factory->capture().contains(qelutil::ILogger::ERROR, "boom"));
    EXPECT_TRUE(factory->capture().contains(qelutil::ILogger::ERROR, "throws an int"));
}

TEST(SerialTaskExecutor, DestructionRunsQueuedTasksAndDropsLaterOnes) {
    Gate gate;
    std::atomic<int> ran{0};
    auto executor = std::make_unique<qelutil::SerialTaskExecutor>();
    executor->add([&] { gate.wait(); }, "blocker");
    for (int i = 0; i < 10; ++i) executor->add([&] { ++ran; }, "queued");
    std::thread opener([&] { gate.open(); });
    executor.reset();
    opener.join();
    EXPECT_EQ(ran.load(), 10);

    qelutil::SerialTaskExecutor stopped;
    stopped.shutdown();
    stopped.add([&] { ++ran; }, "too late");
    stopped.shutdown();
    EXPECT_EQ(ran.load(), 10);
}

TEST(ThreadPoolTaskExecutor, RunsTasksOnSeveralWorkersConcurrently) {
    qelutil::ThreadPoolTaskExecutor executor(2);
    Gate gate;
    std::atomic<int> inside{0};
    std::mutex idsMutex;
    std::set<std::thread::id> ids;
    for (int i = 0; i < 2; ++i) {
        executor.add(
            [&] {
                {
                    std::lock_guard<std::mutex> lock(idsMutex);
                    ids.insert(std::this_thread::get_id());
                }
                ++inside;
                gate.wait();
            },
            "parallel");
    }
    // Both tasks can be inside at once only if two workers run them.
    EXPECT_TRUE(waitFor([&] { return inside.load() == 2; }));
    gate.open();
    EXPECT_EQ(ids.size(), 2u);
}

TEST(ThreadPoolTaskExecutor, SurvivesThrowingTasksAndDiscardsQueueOnDestruction) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeltest::ScopedDefaultLoggerFactory scoped(factory);
    std::atomic<int> ran{0};
    Gate gate;
    {
        qelutil::ThreadPoolTaskExecutor executor(1);
        executor.add([] { throw std::logic_error("bad task"); }, "thrower");
        executor.add([&] { ++ran; }, "survivor");
        ASSERT_TRUE(waitFor([&] { return ran.load() == 1; }));
        executor.add([&] { gate.wait(); }, "blocker");
        for (int i = 0; i < 5; ++i) executor.add([&] { ++ran; }, "discarded");
        const bool blockerTaken = waitFor([&] { return executor.getQueueSize() == 5; });
        // The queue empties only when shutdown discards it: the worker is blocked.
        std::thread opener([&] {
            waitFor([&] { return executor.getQueueSize() == 0; });
            gate.open();
        });
        executor.shutdown();
        opener.join();
        EXPECT_TRUE(blockerTaken);
    }
    EXPECT_TRUE(factory->capture().contains(qelutil::ILogger::ERROR, "thrower"));
    // Queued tasks are discarded, so at most the ones a worker had already
    // taken before shutdown ran: here none could be taken while it was blocked.
    EXPECT_EQ(ran.load(), 1);
}

// Tasks often capture objects that hold the executor they run on (a service
// holds its accessor, which holds the callback executor): the last owner may
// go inside a task. The executor must then end without joining itself.
TEST(ExecutorLastOwnerTest, AnExecutorReleasedInsideItsOwnTaskEndsCleanly) {
    const std::vector<std::function<std::shared_ptr<qelutil::ITaskExecutor>()>> makers = {
        [] { return std::make_shared<qelutil::SerialTaskExecutor>(); },
        [] { return std::make_shared<qelutil::ThreadPoolTaskExecutor>(3); },
    };
    for (const auto& make : makers) {
        auto ran = std::make_shared<std::atomic<int>>(0);
        {
            std::shared_ptr<qelutil::ITaskExecutor> executor = make();
            std::weak_ptr<qelutil::ITaskExecutor> weak = executor;
            // The task owns the executor; the test drops its own reference
            // before the task runs, so the task's capture is the last one.
            auto gate = std::make_shared<std::atomic<bool>>(false);
            executor->add(
                [owner = executor, gate, ran]() mutable {
                    while (!*gate) std::this_thread::yield();
                    ++*ran;
                },
                "holds its executor");
            executor.reset();
            *gate = true;
            ASSERT_TRUE(qeltest::waitFor([&] { return weak.expired(); }));
        }
        EXPECT_EQ(1, ran->load());
    }
}

/// Counts how often it was converted to text.
struct Expensive {
    int* conversions;
};
std::ostream& operator<<(std::ostream& out, const Expensive& value) {
    ++*value.conversions;
    return out << "expensive";
}


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

TEST(Optional, EmptyReadsFailWithTheirOwnTexts) {
    qelutil::Optional<std::string> empty;
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(runtimeErrorText([&] { empty.getValue(); }), "getValue called on uninitialized Optional");
    EXPECT_EQ(runtimeErrorText([&] { *empty; }), "operator* called on uninitialized Optional");
    EXPECT_EQ(runtimeErrorText([&] { (void)empty->size(); }), "operator-> called on uninitialized Optional");
    EXPECT_EQ(empty.getValueOr("fallback"), "fallback");

    qelutil::Optional<std::string> set("x");
    EXPECT_EQ(set->size(), 1u);
    EXPECT_NE(set, empty);
    set.reset();
    EXPECT_EQ(set, empty);
    set = std::string("y");
    EXPECT_EQ(*set, "y");
    EXPECT_EQ(set, qelutil::Optional<std::string>("y"));
    EXPECT_NE(set, qelutil::Optional<std::string>("z"));
}

TEST(UriParser, FillsPartsAndDefaultsThePortFromTheScheme) {
    qelutil::Uri uri;
    ASSERT_TRUE(qelutil::UriParser::parseUri("http://10.0.0.2:8080/api/media?x=1", uri));
    EXPECT_EQ(uri.protocol, "http");
    EXPECT_EQ(uri.host, "10.0.0.2");
    EXPECT_EQ(uri.port, 8080);
    EXPECT_EQ(uri.path, "/api/media?x=1");

    ASSERT_TRUE(qelutil::UriParser::parseUri("http://example.local", uri));
    EXPECT_EQ(uri.port, 80);
    EXPECT_EQ(uri.path, "/");
    ASSERT_TRUE(qelutil::UriParser::parseUri("ws://[::1]:9000/", uri));
    EXPECT_EQ(uri.host, "::1");
    EXPECT_EQ(uri.port, 9000);

    const qelutil::Uri before = uri;
    for (const char* bad : {"", "/api/media", "just text", "http://", "http://host:99999/", "http://host:x/"}) {
        EXPECT_FALSE(qelutil::UriParser::parseUri(bad, uri)) << bad;
        EXPECT_EQ(uri.host, before.host) << bad;
    }
}

TEST(URLEncoder, PassesUnreservedAndEncodesEveryOtherByte) {
    EXPECT_EQ(qelutil::URLEncoder::encode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(qelutil::URLEncoder::encode("a b&c=d/e?f#g%"), "a%20b%26c%3Dd%2Fe%3Ff%23g%25");
    EXPECT_EQ(qelutil::URLEncoder::encode(std::string("\x00\n\x7f", 3)), "%00%0A%7F");
    EXPECT_EQ(qelutil::URLEncoder::encode("\xc3\xa9"), "%C3%A9");
    EXPECT_EQ(qelutil::URLEncoder::encode(""), "");
    for (char c : qelutil::URLEncoder::unsafeString)
        EXPECT_EQ(qelutil::URLEncoder::encode(std::string(1, c)).size(), 3u) << c;
    EXPECT_EQ(qelutil::URLEncoder::unsafeString.find('~'), std::string::npos);
}

TEST(SimpleRand, StaysBelowTheBoundAndIsReproducibleFromASeed) {
    qelutil::simple_rand_init(7);
    std::vector<int> first;
    for (int i = 0; i < 200; ++i) {
        const int value = qelutil::simple_rand(100);
        ASSERT_GE(value, 0);
        ASSERT_LT(value, 100);
        first.push_back(value);
    }
    qelutil::simple_rand_init(7);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(qelutil::simple_rand(100), first[i]);
    EXPECT_EQ(qelutil::simple_rand(0), 0);
    EXPECT_EQ(qelutil::simple_rand(-5), 0);
}

TEST(ValueDictionary, IsSafeToUseFromSeveralThreads) {
    qelutil::ValueDictionary dictionary;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string key = std::to_string(t) + ":" + std::to_string(i);
                dictionary.set(key, "v");
                EXPECT_TRUE(dictionary.has(key));
                if (i % 2) {
                    EXPECT_TRUE(dictionary.remove(key));
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(dictionary.getKeys().size(), 400u);
    EXPECT_EQ(dictionary.get("0:0"), "v");
    EXPECT_EQ(dictionary.get("missing", "dflt"), "dflt");
}

}  // namespace
