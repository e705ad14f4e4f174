#include "support/CapturingLoggerFactory.h"
#include "support/ManualTaskExecutor.h"
#include "support/WaitFor.h"

#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

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

}  // namespace

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

TEST(ManualTaskExecutor, RunsNothingUntilAskedAndRecordsNames) {
    qeltest::ManualTaskExecutor executor;
    int ran = 0;
    executor.add([&] { ++ran; executor.add([&] { ++ran; }, "nested"); }, "first");
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(executor.pendingNames(), std::vector<std::string>{"first"});
    EXPECT_EQ(executor.runAll(), 2u);
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(executor.history(), (std::vector<std::string>{"first", "nested"}));
}
