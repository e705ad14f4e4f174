#include <QelAccess/QelAccessLoggingClassifier.h>
#include <QelAccess/QelAccessVersion.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs first in the program so that these really are the first calls.
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
    for (const std::string* version : seen) {
        ASSERT_EQ(seen.front(), version);
        EXPECT_EQ("R3.5.3", *version);
    }
}

TEST(QelAccessVersionTest, SameStringObjectOnEveryCall) {
    const std::string& first = qel::QelAccessVersion::getVersion();
    const std::string& second = qel::QelAccessVersion::getVersion();
    EXPECT_EQ(&first, &second);
    EXPECT_EQ("R3.5.3", second);
}

TEST(QelAccessLoggingClassifierTest, FacilityNames) {
    EXPECT_EQ("QelAccess", qel::QelAccessLoggingClassifier::FACILITY_QEL_ACCESS);
    EXPECT_EQ("HighLevel", qel::QelAccessLoggingClassifier::SUB_FACILITY_HIGH);
    EXPECT_EQ("LowLevel", qel::QelAccessLoggingClassifier::SUB_FACILITY_LOW);
    EXPECT_EQ("ServiceRegistry", qel::QelAccessLoggingClassifier::SUB_FACILITY_SERVICE_REGISTRY);
    EXPECT_EQ("WebSocketManager", qel::QelAccessLoggingClassifier::SUB_FACILITY_WEB_SOCKET_MANAGER);
}

}  // namespace
