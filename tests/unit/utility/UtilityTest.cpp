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

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using qelutil::ILogger;
using qeltest::waitFor;

namespace {

using Maker = std::function<std::shared_ptr<qelutil::ITaskExecutor>()>;
const std::vector<Maker> kExecutors = {
    [] { return std::make_shared<qelutil::SerialTaskExecutor>(); },
    [] { return std::make_shared<qelutil::ThreadPoolTaskExecutor>(3); },
};

TEST(SerialTaskExecutor, RunsTasksOneAtATimeInSubmissionOrderAndWakesForEachNewOne) {
    std::vector<int> order;  // touched only by the worker
    std::atomic<int> running{0}, single{0};
    std::atomic<bool> overlapped{false};
    {
        qelutil::SerialTaskExecutor executor;
        // A task added to an idle worker runs without waiting for the next one.
        for (int i = 1; i <= 5; ++i) {
            executor.add([&] { ++single; }, "single");
            ASSERT_TRUE(waitFor([&] { return single.load() == i; })) << "task " << i << " was not run";
        }
        // Submitted from two threads: each thread's own tasks must keep their order.
        auto submit = [&](int base) {
            for (int i = 0; i < 500; ++i) {
                executor.add([&, value = base + i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    order.push_back(value);
                    running.fetch_sub(1);
                }, "ordered");
            }
        };
        std::thread other(submit, 10000);
        submit(0);
        other.join();
    }  // destruction runs everything queued before it
    ASSERT_EQ(order.size(), 1000u);
    EXPECT_FALSE(overlapped);
    std::vector<int> low, high;
    for (int value : order) (value >= 10000 ? high : low).push_back(value);
    EXPECT_TRUE(std::is_sorted(low.begin(), low.end()) && std::is_sorted(high.begin(), high.end()));
}

// Tasks often capture objects that hold the executor they run on (a service
// holds its accessor, which holds the callback executor): the last owner may
// go inside a task. The executor must then end without joining itself.
TEST(TaskExecutors, SurviveThrowingTasksAndEndCleanlyWhenReleasedInsideTheirOwnTask) {
    for (const Maker& make : kExecutors) {
        auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
        qeltest::ScopedDefaultLoggerFactory scoped(factory);
        std::shared_ptr<qelutil::ITaskExecutor> executor = make();
        executor->add([] { throw std::runtime_error("boom"); }, "exploding task");
        executor->add([] { throw 42; }, "throws an int");
        for (const char* fragment : {"exploding task", "boom", "throws an int"})
            EXPECT_TRUE(waitFor([&] { return factory->capture().contains(ILogger::ERROR, fragment); })) << fragment;
        // The task owns the executor; the test drops its own reference
        // before the task runs, so the task's capture is the last one.
        auto ran = std::make_shared<std::atomic<int>>(0);
        auto gate = std::make_shared<std::atomic<bool>>(false);
        std::weak_ptr<qelutil::ITaskExecutor> weak = executor;
        executor->add([owner = executor, gate, ran] {
            while (!*gate) std::this_thread::yield();
            ++*ran;
        }, "holds its executor");
        executor.reset();
        *gate = true;
        ASSERT_TRUE(waitFor([&] { return weak.expired(); }));
        EXPECT_EQ(1, ran->load());
    }
}

TEST(TaskExecutors, AStoppedSerialDropsNewTasksWhilePoolWorkersRunAtOnceAndTheirQueueIsDiscarded) {
    std::atomic<int> ran{0}, inside{0};
    qelutil::SerialTaskExecutor stopped;
    stopped.shutdown();
    stopped.add([&] { ++ran; }, "too late");
    stopped.shutdown();

    std::promise<void> poolOpened;
    std::shared_future<void> poolGate = poolOpened.get_future().share();
    {
        qelutil::ThreadPoolTaskExecutor pool(2);
        for (int i = 0; i < 2; ++i) pool.add([&, poolGate] { ++inside, poolGate.wait(); }, "blocker");
        // Both blockers can be inside at once only if two workers run them.
        EXPECT_TRUE(waitFor([&] { return inside.load() == 2; }));
        for (int i = 0; i < 5; ++i) pool.add([&] { ++ran; }, "discarded");
        EXPECT_EQ(pool.getQueueSize(), 5u);
        // The queue empties only when shutdown discards it: the workers are blocked.
        std::thread poolOpener([&] {
            waitFor([&] { return pool.getQueueSize() == 0; });
            poolOpened.set_value();
        });
        pool.shutdown();
        poolOpener.join();
    }
    EXPECT_EQ(ran.load(), 0);
}

/// Counts how often it was converted to text.
struct Expensive { int* conversions; };
std::ostream& operator<<(std::ostream& out, const Expensive& value) {
    ++*value.conversions;
    return out << "expensive";
}

TEST(Loggers, ThresholdDecidesWhatIsFormattedAndWrittenAndAppliesToExistingAndSubFacilityLoggers) {
    qeltest::CapturingLoggerFactory factory(ILogger::INFO);
    qelutil::StreamingLogger logger(factory.createLogger("Facility"));
    auto main = factory.createLogger("Main");
    auto sub = main->getSubFacilityLogger("Sub");
    int conversions = 0;
    logger.logDebug() << "hidden " << Expensive{&conversions};
    logger.logWarning() << "count=" << 3 << ", " << Expensive{&conversions};
    sub->debug("dropped");
    factory.setThreshold(ILogger::TRACE);
    sub->trace("from sub");
    EXPECT_TRUE(logger.isDebug());
    EXPECT_EQ(conversions, 1);
    std::vector<std::string> lines;
    for (const auto& line : factory.capture().lines())
        lines.push_back(std::to_string(line.level) + " " + line.facility + ": " + line.text);
    EXPECT_EQ(lines, (std::vector<std::string>{std::to_string(ILogger::WARNING) + " Facility: count=3, expensive",
                                               std::to_string(ILogger::TRACE) + " Main.Sub: from sub"}));

    // Boot markers go to whatever factory the application installed; none
    // installed means the built-in one again.
    auto builtIn = qelutil::LoggerFactory::getDefaultLoggerFactory();
    ASSERT_TRUE(builtIn);
    {
        qeltest::ScopedDefaultLoggerFactory scoped(std::make_shared<qeltest::CapturingLoggerFactory>());
        qelutil::BMetricsLogger::logRawBootmarker("[client] started");
        EXPECT_TRUE(scoped.factory().capture().contains(ILogger::INFO, "[client] started"));
    }
    qelutil::LoggerFactory::setDefaultLoggerFactory(nullptr);
    EXPECT_EQ(qelutil::LoggerFactory::getDefaultLoggerFactory(), builtIn);

    // The built-in loggers write one line per entry to stderr.
    auto toStderr = qelutil::LoggerFactory(ILogger::ERROR).createLogger("Stderr");
    testing::internal::CaptureStderr();
    toStderr->warning("below threshold");
    toStderr->error("at threshold");
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z ERROR \[Stderr\] \(.*\) at threshold\n)")))
        << out;
}

TEST(Optional, EmptyReadsFailWithTheirOwnTexts) {
    qelutil::Optional<std::string> empty;
    EXPECT_EQ(qeltest::runtimeErrorText([&] { empty.getValue(); }), "getValue called on uninitialized Optional");
    EXPECT_EQ(qeltest::runtimeErrorText([&] { *empty; }), "operator* called on uninitialized Optional");
    EXPECT_EQ(qeltest::runtimeErrorText([&] { (void)empty->size(); }), "operator-> called on uninitialized Optional");
    EXPECT_EQ(empty.getValueOr("fallback"), "fallback");
}

TEST(UriParser, FillsPartsDefaultsThePortAndLeavesTheUriAloneOnFailure) {
    qelutil::Uri uri;
    for (const auto& [text, protocol, host, port, path] :
         {std::make_tuple("http://10.0.0.2:8080/api/media?x=1", "http", "10.0.0.2", 8080, "/api/media?x=1"),
          std::make_tuple("http://example.local", "http", "example.local", 80, "/"),
          std::make_tuple("ws://[::1]:9000/", "ws", "::1", 9000, "/")}) {
        ASSERT_TRUE(qelutil::UriParser::parseUri(text, uri)) << text;
        EXPECT_EQ(uri.protocol + " " + uri.host + " " + std::to_string(uri.port) + " " + uri.path,
                  std::string(protocol) + " " + host + " " + std::to_string(port) + " " + path);
    }
    for (const char* bad : {"", "/api/media", "just text", "http://", "http://host:99999/", "http://host:x/"})
        EXPECT_TRUE(!qelutil::UriParser::parseUri(bad, uri) && uri.host == "::1") << bad;
}

TEST(URLEncoder, PassesUnreservedAndEncodesEveryOtherByte) {
    for (const auto& [text, encoded] : std::vector<std::pair<std::string, std::string>>{
             {"AZaz09-._~", "AZaz09-._~"}, {"a b&c=d/e?f#g%", "a%20b%26c%3Dd%2Fe%3Ff%23g%25"},
             {std::string("\x00\n\x7f", 3), "%00%0A%7F"}, {"\xc3\xa9", "%C3%A9"}, {"", ""}})
        EXPECT_EQ(qelutil::URLEncoder::encode(text), encoded);
    for (char c : qelutil::URLEncoder::unsafeString)
        EXPECT_EQ(qelutil::URLEncoder::encode(std::string(1, c)).size(), 3u) << c;
}

TEST(SimpleRand, StaysBelowTheBoundAndIsReproducibleFromASeed) {
    qelutil::simple_rand_init(7);
    std::vector<int> first;
    for (int i = 0; i < 200; ++i) first.push_back(qelutil::simple_rand(100));
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](int value) { return value >= 0 && value < 100; }));
    qelutil::simple_rand_init(7);
    EXPECT_EQ(qelutil::simple_rand(100), first[0]);
    EXPECT_TRUE(qelutil::simple_rand(0) == 0 && qelutil::simple_rand(-5) == 0);
}

TEST(ValueDictionary, IsSafeToUseFromSeveralThreads) {
    qelutil::ValueDictionary dictionary;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string key = std::to_string(t) + ":" + std::to_string(i);
                dictionary.set(key, "v");
                EXPECT_TRUE(dictionary.has(key) && (i % 2 == 0 || dictionary.remove(key))) << key;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(dictionary.getKeys().size(), 400u);
    EXPECT_EQ(dictionary.get("0:0"), "v");
    EXPECT_EQ(dictionary.get("missing", "dflt"), "dflt");
}

}  // namespace
