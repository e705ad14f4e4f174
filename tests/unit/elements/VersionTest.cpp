#include <QelAccess/QelAccessVersion.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// The only test in the program, so that these really are the first calls.
TEST(QelAccessVersionTest, ConcurrentFirstCallsSeeOneString) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<const std::string*> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            seen[i] = &qel::QelAccessVersion::getVersion();
        });
    }
    for (auto& thread : threads) thread.join();
    seen.push_back(&qel::QelAccessVersion::getVersion());
    for (const std::string* version : seen) {
        ASSERT_EQ(seen.front(), version);
        EXPECT_EQ("R3.5.3", *version);
    }
}

}  // namespace
