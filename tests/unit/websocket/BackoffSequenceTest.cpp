#include <QelAccess/FibonacciConnectionBackoffSequence.h>
#include <QelAccess/KavoConnectionBackoffSequence.h>

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

std::vector<int64_t> draw(qelutil::INumberSequence& sequence, int n) {
    std::vector<int64_t> values;
    for (int i = 0; i < n; ++i) values.push_back(sequence.next());
    return values;
}

TEST(FibonacciBackoffTest, GrowsToTheLastValueAndRestartsOnReset) {
    qel::FibonacciConnectionBackoffSequence sequence;
    EXPECT_EQ((std::vector<int64_t>{100, 100, 200, 300, 500, 800, 1300, 2000, 2000, 2000, 2000}),
              draw(sequence, 11));

    sequence.reset();
    EXPECT_EQ((std::vector<int64_t>{100, 100, 200}), draw(sequence, 3));
    sequence.reset();
    EXPECT_EQ((std::vector<int64_t>{100, 100, 200, 300, 500, 800, 1300, 2000}), draw(sequence, 8));
}

bool isShortWait(int64_t wait, int64_t base) { return wait >= base && wait < base + 100; }
bool isLongWait(int64_t wait, int64_t base) { return wait % 20 == 0 && isShortWait(wait / 20, base); }

TEST(KavoBackoffTest, ShortWaitsWithJitterThenOneLongWait) {
    qel::KavoConnectionBackoffSequence sequence(4, 500);
    std::set<int64_t> shortWaits;
    std::set<int64_t> longWaits;
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
}

TEST(KavoBackoffTest, ResetStartsANewRoundOfShortWaits) {
    qel::KavoConnectionBackoffSequence sequence(3, 200);
    EXPECT_TRUE(isShortWait(sequence.next(), 200));
    EXPECT_TRUE(isShortWait(sequence.next(), 200));
    sequence.reset();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(isShortWait(sequence.next(), 200));
    EXPECT_TRUE(isLongWait(sequence.next(), 200));
    EXPECT_TRUE(isShortWait(sequence.next(), 200));
}

TEST(KavoBackoffTest, NoRetriesMeansAlwaysTheLongWait) {
    qel::KavoConnectionBackoffSequence sequence(0, 500);
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(isLongWait(sequence.next(), 500));
    qel::KavoConnectionBackoffSequence noBase(0, 0);
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(isLongWait(noBase.next(), 0));
}

}  // namespace
