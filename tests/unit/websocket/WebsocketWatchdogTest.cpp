#include <QelAccess/FibonacciConnectionBackoffSequence.h>
#include <QelAccess/KavoConnectionBackoffSequence.h>
#include <QelAccess/WebsocketWatchdog.h>

#include "support/CapturingLoggerFactory.h"
#include "support/MockWebsocketManager.h"
#include "support/WaitFor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

using qel::WebsocketWatchdog;
using qelutil::ILogger;
using ::testing::_;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

/// Records every ping the watchdog sends, with its payload, its time and
/// the start of the notify call that sent it (set by the test in `callStart`).
class PingRecorder {
public:
    explicit PingRecorder(bool succeed = true) {
        ON_CALL(*manager, sendPing(_, _)).WillByDefault([this, succeed](const char* content, std::size_t length) {
            payloads.emplace_back(content, length);
            times.push_back(Clock::now());
            callStarts.push_back(callStart);
            return succeed;
        });
    }

    std::shared_ptr<::testing::NiceMock<qeltest::MockWebsocketManager>> manager =
        std::make_shared<::testing::NiceMock<qeltest::MockWebsocketManager>>();
    std::vector<std::string> payloads;
    std::vector<Clock::time_point> times;
    Clock::time_point callStart;
    std::vector<Clock::time_point> callStarts;
};

class WebsocketWatchdogTest : public ::testing::Test {
protected:
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
    EXPECT_TRUE(logging.factory().capture().contains(
        ILogger::INFO, "generated watchdog for service=svc with pingInterval=5000 and pongTimeout=15000"));
    const auto lines = logging.factory().capture().lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().facility, "WebsocketWatchdog:svc");
}

TEST_F(WebsocketWatchdogTest, SilentPeerIsPingedOncePerIntervalAndThenTimesOut) {
    PingRecorder peer;
    const auto start = Clock::now();
    WebsocketWatchdog watchdog("", "svc", peer.manager, 1000ms, 3000ms);

    // Called like the receive loop does before every poll, until it reports the time-out.
    ASSERT_TRUE(qeltest::waitFor(
        [&] {
            peer.callStart = Clock::now();
            return watchdog.notify(false);
        },
        30s));
    const auto timedOut = Clock::now();

    EXPECT_GE(timedOut - start, 3000ms);
    ASSERT_GE(peer.times.size(), 1u);
    ASSERT_LE(peer.times.size(), 2u);
    EXPECT_GE(peer.times[0] - start, 1000ms);
    if (peer.times.size() == 2) {
        // The watchdog reads its clock between these two points of each call.
        EXPECT_GE(peer.times[1] - peer.callStarts[0], 1000ms);
    }
    for (const auto& payload : peer.payloads) EXPECT_EQ(payload, "QELA");
    EXPECT_TRUE(logging.factory().capture().contains(ILogger::WARNING, "pong timeout!"));
    // Once timed out it stays timed out.
    EXPECT_TRUE(watchdog.notify(false));
}

TEST_F(WebsocketWatchdogTest, DataPostponesPingsAndTheTimeOut) {
    PingRecorder peer;
    WebsocketWatchdog watchdog("APP", "svc", peer.manager, 1000ms, 3000ms);

    // A busy line for longer than the ping interval gets no ping.
    const auto busyUntil = Clock::now() + 1500ms;
    qeltest::waitFor(
        [&] {
            watchdog.notify(true);
            EXPECT_FALSE(watchdog.notify(false));
            return Clock::now() >= busyUntil;
        },
        30s);
    EXPECT_TRUE(peer.times.empty());

    const auto lastData = Clock::now();  // read before the watchdog reads its clock
    watchdog.notify(true);
    ASSERT_TRUE(qeltest::waitFor([&] { return watchdog.notify(false); }, 30s));
    EXPECT_GE(Clock::now() - lastData, 3000ms);
    ASSERT_GE(peer.times.size(), 1u);
    EXPECT_GE(peer.times[0] - lastData, 1000ms);
    EXPECT_EQ(peer.payloads[0], "APP");
}

TEST_F(WebsocketWatchdogTest, FailedPingIsRetriedAndLogged) {
    PingRecorder peer(false);
    WebsocketWatchdog watchdog("", "svc", peer.manager, 1000ms, 3000ms);
    ASSERT_TRUE(qeltest::waitFor([&] { return watchdog.notify(false) || peer.times.size() >= 2; }, 30s));
    // A failed ping does not count as sent: the next pass tries again.
    EXPECT_GE(peer.times.size(), 2u);
    EXPECT_TRUE(logging.factory().capture().contains(ILogger::WARNING, "could not sent ping!"));
}

// ---- back-off sequences between connection attempts

namespace {

std::vector<int64_t> draw(qelutil::INumberSequence& sequence, int n) {
    std::vector<int64_t> values;
    for (int i = 0; i < n; ++i) values.push_back(sequence.next());
    return values;
}

bool isShortWait(int64_t wait, int64_t base) { return wait >= base && wait < base + 100; }
bool isLongWait(int64_t wait, int64_t base) { return wait % 20 == 0 && isShortWait(wait / 20, base); }

}  // namespace

TEST(BackoffTest, FibonacciGrowsToTheLastValueAndRestartsOnReset) {
    qel::FibonacciConnectionBackoffSequence sequence;
    EXPECT_EQ((std::vector<int64_t>{100, 100, 200, 300, 500, 800, 1300, 2000, 2000, 2000}), draw(sequence, 10));
    sequence.reset();
    EXPECT_EQ((std::vector<int64_t>{100, 100, 200}), draw(sequence, 3));
}

TEST(BackoffTest, KavoMakesShortWaitsWithJitterThenOneLongWaitAndResetStartsAgain) {
    qel::KavoConnectionBackoffSequence sequence(4, 500);
    std::set<int64_t> shortWaits, longWaits;
    for (int cycle = 0; cycle < 300; ++cycle) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            const int64_t wait = sequence.next();
            ASSERT_TRUE(isShortWait(wait, 500)) << "cycle " << cycle << " attempt " << attempt << ": " << wait;
            shortWaits.insert(wait);
        }
        const int64_t wait = sequence.next();
        ASSERT_TRUE(isLongWait(wait, 500)) << "cycle " << cycle << ": " << wait;
        longWaits.insert(wait);
    }
    // The jitter really varies: 1200 draws below 100 hit far more than a few values.
    EXPECT_GT(shortWaits.size(), 50u);
    EXPECT_GT(longWaits.size(), 50u);

    qel::KavoConnectionBackoffSequence reset(3, 200);
    reset.next();
    reset.next();
    reset.reset();
    const auto waits = draw(reset, 5);
    for (std::size_t i = 0; i < waits.size(); ++i) EXPECT_TRUE(i == 3 ? isLongWait(waits[i], 200) : isShortWait(waits[i], 200)) << i << ": " << waits[i];
    qel::KavoConnectionBackoffSequence noRetries(0, 500), noBase(0, 0);
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(isLongWait(noRetries.next(), 500) && isLongWait(noBase.next(), 0));
}
