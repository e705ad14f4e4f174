#include <QelAccess/FibonacciConnectionBackoffSequence.h>
#include <QelAccess/KavoConnectionBackoffSequence.h>
#include <QelAccess/WebsocketWatchdog.h>

#include "support/CapturingLoggerFactory.h"
#include "support/MockWebsocketManager.h"
#include "support/WaitFor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>

using qel::WebsocketWatchdog;
using qelutil::ILogger;
using ::testing::_;
using namespace std::chrono_literals;

namespace {

/// A manager that records the payload of every ping the watchdog sends.
struct PingRecorder {
    explicit PingRecorder(bool succeed = true) {
        ON_CALL(*manager, sendPing(_, _)).WillByDefault([this, succeed](const char* content, std::size_t length) {
            payloads.emplace_back(content, length);
            return succeed;
        });
    }
    std::shared_ptr<::testing::NiceMock<qeltest::MockWebsocketManager>> manager =
        std::make_shared<::testing::NiceMock<qeltest::MockWebsocketManager>>();
    std::vector<std::string> payloads;
};

class WebsocketWatchdogTest : public ::testing::Test {
protected:
    bool logged(ILogger::LogLevel level, const std::string& text) { return logging.factory().capture().contains(level, text); }
    qeltest::ScopedDefaultLoggerFactory logging{std::make_shared<qeltest::CapturingLoggerFactory>()};
};

}  // namespace

TEST_F(WebsocketWatchdogTest, TimingsAreClampedAndLogged) {
    PingRecorder peer;
    struct Case {
        std::chrono::milliseconds ping, pong, effectivePing, effectivePong;
    };
    const std::vector<Case> cases{{500ms, 2000ms, 1000ms, 2000ms},   {999ms, 0ms, 1000ms, 3000ms},
                                  {60000ms, 0ms, 10000ms, 30000ms},  {10001ms, 40000ms, 10000ms, 40000ms},
                                  {5000ms, 2000ms, 5000ms, 15000ms}, {1000ms, 1000ms, 1000ms, 3000ms},
                                  {1000ms, 1001ms, 1000ms, 1001ms}};
    for (const auto& c : cases) {
        WebsocketWatchdog watchdog("", "svc", peer.manager, c.ping, c.pong);
        EXPECT_EQ(watchdog.getPingInterval(), c.effectivePing) << c.ping.count();
        EXPECT_EQ(watchdog.getPongTimeout(), c.effectivePong) << c.ping.count() << "/" << c.pong.count();
    }
    EXPECT_TRUE(logged(ILogger::INFO, "generated watchdog for service=svc with pingInterval=5000 and pongTimeout=15000"));
    EXPECT_EQ(logging.factory().capture().lines().at(0).facility, "WebsocketWatchdog:svc");
}

// Polled like the receive loop polls it, a silent peer is pinged once per
// interval until the time-out of three intervals: at most two pings go out.
// A failed ping does not count as sent, so every later poll tries again.
TEST_F(WebsocketWatchdogTest, SilentPeerIsPingedOncePerIntervalUntilTheTimeOutAndFailedPingsAreRetried) {
    struct Case {
        bool pingsSucceed;
        std::string userData, payload;
        std::size_t fewest, most;
        std::string warning;
    };
    for (const Case& c : {Case{true, "", "QELA", 1, 2, "pong timeout!"}, Case{false, "APP", "APP", 3, SIZE_MAX, "could not sent ping!"}}) {
        SCOPED_TRACE(c.payload);
        PingRecorder peer(c.pingsSucceed);
        WebsocketWatchdog watchdog(c.userData, "svc", peer.manager, 1000ms, 3000ms);
        ASSERT_TRUE(qeltest::waitFor([&] { return watchdog.notify(false); }, 30s));
        EXPECT_GE(peer.payloads.size(), c.fewest);
        EXPECT_LE(peer.payloads.size(), c.most);
        for (const auto& payload : peer.payloads) EXPECT_EQ(payload, c.payload);
        EXPECT_TRUE(logged(ILogger::WARNING, c.warning));
        EXPECT_TRUE(watchdog.notify(false));  // once timed out it stays timed out
    }
}

TEST_F(WebsocketWatchdogTest, DataPostponesPingsAndTheTimeOut) {
    PingRecorder peer;
    WebsocketWatchdog watchdog("", "svc", peer.manager, 1000ms, 3000ms);
    // A line busy for longer than the ping interval gets no ping.
    const auto busyUntil = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < busyUntil) {
        watchdog.notify(true);
        ASSERT_FALSE(watchdog.notify(false));
    }
    EXPECT_TRUE(peer.payloads.empty());
    // The time-out counts from the last data: the pings of a whole time-out go out first.
    ASSERT_TRUE(qeltest::waitFor([&] { return watchdog.notify(false); }, 30s));
    EXPECT_GE(peer.payloads.size(), 1u);
    EXPECT_LE(peer.payloads.size(), 2u);
}

// ---- back-off sequences between connection attempts

namespace {

bool isShortWait(int64_t wait, int64_t base) { return wait >= base && wait < base + 100; }
bool isLongWait(int64_t wait, int64_t base) { return wait % 20 == 0 && isShortWait(wait / 20, base); }

}  // namespace

// Each sequence restarts on reset; the Kavo waits carry a jitter below 100
// that really varies, every retries+1-th wait is a long one.
TEST(BackoffTest, SequencesFollowTheirPatternFromEveryReset) {
    const std::vector<int64_t> fibonacci{100, 100, 200, 300, 500, 800, 1300, 2000};
    const auto kavo = [](int retries, int64_t base) {
        return [=](std::size_t i, int64_t wait) {
            return i % (retries + 1) == static_cast<std::size_t>(retries) ? isLongWait(wait, base) : isShortWait(wait, base);
        };
    };
    struct Case {
        std::string name;
        std::shared_ptr<qelutil::INumberSequence> sequence;
        std::function<bool(std::size_t, int64_t)> expected;
        std::size_t distinct;
    };
    const std::vector<Case> cases{
        {"fibonacci", std::make_shared<qel::FibonacciConnectionBackoffSequence>(),
         [&](std::size_t i, int64_t wait) { return wait == fibonacci[std::min<std::size_t>(i, 7)]; }, 7},
        {"kavo 4/500", std::make_shared<qel::KavoConnectionBackoffSequence>(4, 500), kavo(4, 500), 100},
        {"kavo 3/200", std::make_shared<qel::KavoConnectionBackoffSequence>(3, 200), kavo(3, 200), 100},
        {"kavo 0/500", std::make_shared<qel::KavoConnectionBackoffSequence>(0, 500), kavo(0, 500), 50},
        {"kavo 0/0", std::make_shared<qel::KavoConnectionBackoffSequence>(0, 0), kavo(0, 0), 50}};
    for (const auto& c : cases) {
        c.sequence->next();
        c.sequence->next();
        c.sequence->next();
        c.sequence->reset();
        std::set<int64_t> seen;
        for (std::size_t i = 0; i < 1500; ++i) {
            const int64_t wait = c.sequence->next();
            ASSERT_TRUE(c.expected(i, wait)) << c.name << " draw " << i << ": " << wait;
            seen.insert(wait);
        }
        EXPECT_GE(seen.size(), c.distinct) << c.name;
    }
}
