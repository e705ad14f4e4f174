#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

namespace {

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

}  // namespace
