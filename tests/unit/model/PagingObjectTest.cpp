#include <QelAccess/PagingObject.h>

#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/StreamingLogger.h>

#include "support/CapturingLoggerFactory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using qel::PagingObject;

namespace {

std::shared_ptr<PagingObject> fromJson(const std::string& text, int64_t count = 0) {
    return PagingObject::createFromJson(*qelutil::JsonFactory::parseObject(text), count);
}

std::string linkWithOffset(const std::string& offset) {
    return "http://127.0.0.1:8080/media/tracks?$offset=" + offset + "&$limit=25";
}

TEST(PagingObjectTest, EmptyPagingIsCompletedFromTheCount) {
    auto none = fromJson("{}", 0);
    EXPECT_EQ(0, none->total.getValue());
    EXPECT_EQ(25, none->limit.getValue());
    EXPECT_EQ(0, none->totalPages.getValue());
    EXPECT_FALSE(none->offset.isValid());
    EXPECT_FALSE(none->offsetId.isValid());
    EXPECT_TRUE(none->isValid());
    EXPECT_FALSE(none->isPagingEnabled());

    auto ten = fromJson("{}", 10);
    EXPECT_EQ(10, ten->total.getValue());
    EXPECT_EQ(10, ten->limit.getValue());
    EXPECT_EQ(1, ten->totalPages.getValue());
    EXPECT_FALSE(ten->isPagingEnabled());
}

TEST(PagingObjectTest, TotalPagesRoundUp) {
    EXPECT_EQ(5, fromJson(R"({"total":101,"limit":25})")->totalPages.getValue());
    EXPECT_EQ(4, fromJson(R"({"total":100,"limit":25})")->totalPages.getValue());
    EXPECT_EQ(1, fromJson(R"({"total":1,"limit":25})")->totalPages.getValue());
    EXPECT_EQ(3, fromJson(R"({"limit":4})", 9)->totalPages.getValue());
    EXPECT_TRUE(fromJson(R"({"total":26,"limit":25})")->isPagingEnabled());

    // A totalPages sent by the server is kept, however inconsistent.
    EXPECT_EQ(7, fromJson(R"({"total":100,"limit":25,"totalPages":7})")->totalPages.getValue());
}

TEST(PagingObjectTest, LimitBelowOneDoesNotDivide) {
    EXPECT_EQ(1, fromJson(R"({"total":7,"limit":0})")->totalPages.getValue());
    EXPECT_EQ(0, fromJson(R"({"total":0,"limit":0})")->totalPages.getValue());
    EXPECT_EQ(1, fromJson(R"({"total":7,"limit":-3})")->totalPages.getValue());
    EXPECT_EQ(0, fromJson(R"({"total":-9223372036854775808,"limit":-1})")->totalPages.getValue());
}

TEST(PagingObjectTest, OffsetIsDerivedFromTheLinks) {
    const std::string previous = linkWithOffset("25");
    const std::string next = linkWithOffset("75");

    auto both = fromJson(R"({"limit":25,"previous":")" + previous + R"(","next":")" + next + R"("})");
    EXPECT_EQ(50, both->offset.getValue());
    EXPECT_EQ(previous, both->previous.getValue());
    EXPECT_EQ(next, both->next.getValue());

    EXPECT_EQ(50, fromJson(R"({"limit":25,"previous":")" + previous + R"("})")->offset.getValue());
    EXPECT_EQ(0, fromJson(R"({"limit":25,"next":")" + next + R"("})")->offset.getValue());
    // Without a limit the count is the page size.
    EXPECT_EQ(35, fromJson(R"({"previous":")" + previous + R"("})", 10)->offset.getValue());

    // The last "$offset=" of a link is the one taken.
    auto twice = fromJson(R"({"limit":10,"previous":"p","next":"/r?$offset=10&x=$offset=60"})");
    EXPECT_EQ(50, twice->offset.getValue());

    // A given offset is never replaced, and offsetId is never derived.
    auto given = fromJson(R"({"offset":3,"limit":25,"previous":")" + previous + R"("})");
    EXPECT_EQ(3, given->offset.getValue());
    EXPECT_FALSE(given->offsetId.isValid());
    EXPECT_EQ("abc", fromJson(R"({"offsetId":"abc"})")->offsetId.getValue());
}

TEST(PagingObjectTest, LinksWithoutAUsableOffsetLeaveItUnset) {
    const std::string plain = "http://127.0.0.1:8080/media/tracks?$limit=25";
    EXPECT_FALSE(fromJson(R"({"previous":")" + plain + R"(","next":")" + plain + R"("})")->offset.isValid());
    EXPECT_FALSE(fromJson(R"({"previous":")" + plain + R"("})")->offset.isValid());
    EXPECT_FALSE(fromJson(R"({"previous":"/r?$offset=&x=1"})")->offset.isValid());
    EXPECT_FALSE(fromJson(R"({"previous":"/r?offset=25"})")->offset.isValid());

    // Numbers beyond the 64-bit range, or sums that would leave it.
    EXPECT_FALSE(fromJson(R"({"previous":")" + linkWithOffset("99999999999999999999") + R"("})")->offset.isValid());
    EXPECT_FALSE(fromJson(R"({"previous":")" + linkWithOffset("9223372036854775807") + R"("})")->offset.isValid());
    auto largest = fromJson(R"({"limit":25,"previous":"p","next":")" + linkWithOffset("9223372036854775807") + R"("})");
    EXPECT_EQ(std::numeric_limits<int64_t>::max() - 25, largest->offset.getValue());

    // A huge link is dropped instead of exhausting the stack in the matcher.
    const std::string huge = "/r?$offset=5&" + std::string(200000, 'a');
    EXPECT_FALSE(fromJson(R"({"previous":")" + huge + R"("})")->offset.isValid());
}

TEST(PagingObjectTest, MembersOfTheWrongTypeAreIgnored) {
    auto paging = fromJson(
        R"({"limit":"25","total":"100","totalPages":2.5,"offset":"7","offsetId":12,)"
        R"("previous":25,"next":{"href":"x"}})",
        4);
    EXPECT_EQ(4, paging->limit.getValue());
    EXPECT_EQ(4, paging->total.getValue());
    EXPECT_EQ(1, paging->totalPages.getValue());
    EXPECT_FALSE(paging->offset.isValid());
    EXPECT_FALSE(paging->offsetId.isValid());
    EXPECT_FALSE(paging->previous.isValid());
    EXPECT_FALSE(paging->next.isValid());

    auto nulls = fromJson(R"({"limit":null,"total":null,"next":null,"offset":18446744073709551615})", 0);
    EXPECT_EQ(25, nulls->limit.getValue());
    EXPECT_EQ(0, nulls->total.getValue());
    EXPECT_FALSE(nulls->next.isValid());
    EXPECT_FALSE(nulls->offset.isValid());
}

TEST(PagingObjectTest, FirstUseFromManyThreads) {
    const auto json = qelutil::JsonFactory::parseObject(
        R"({"limit":25,"previous":")" + linkWithOffset("25") + R"("})");
    std::vector<int64_t> offsets(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < offsets.size(); ++i)
        threads.emplace_back([&, i] { offsets[i] = PagingObject::createFromJson(*json, 0)->offset.getValue(); });
    for (auto& thread : threads) thread.join();
    for (int64_t offset : offsets) EXPECT_EQ(50, offset);
}

TEST(PagingObjectTest, TextMarksUnsetFields) {
    EXPECT_EQ("offset=invalid, limit=invalid, total=invalid, totalPages=invalid, offsetId=invalid, "
              "previous=invalid, next=invalid",
              PagingObject().toString());

    PagingObject paging;
    paging.offset = -5;
    paging.limit = 25;
    paging.total = 101;
    paging.totalPages = 5;
    paging.offsetId = std::string("id-7");
    paging.next = std::string("/n?$offset=20");
    EXPECT_EQ("offset=-5, limit=25, total=101, totalPages=5, offsetId=id-7, previous=invalid, next=/n?$offset=20",
              paging.toString());
}

TEST(PagingObjectTest, ValidityNeedsTotalPagesAndLimit) {
    PagingObject paging;
    paging.totalPages = 3;
    paging.limit = 10;
    EXPECT_FALSE(paging.isValid());
    EXPECT_FALSE(paging.isPagingEnabled());
    paging.total = 30;
    EXPECT_TRUE(paging.isPagingEnabled());
    paging.totalPages = 1;
    EXPECT_TRUE(paging.isValid());
    EXPECT_FALSE(paging.isPagingEnabled());
}

class PagingWarningsTest : public ::testing::Test {
protected:
    std::vector<std::string> warningsFor(const PagingObject& paging) {
        factory->capture().clear();
        PagingObject::printWarnings(paging, logger);
        EXPECT_TRUE(factory->capture().texts(qelutil::ILogger::INFO).empty());
        return factory->capture().texts(qelutil::ILogger::WARNING);
    }

    static PagingObject valid(int64_t total, int64_t totalPages, int64_t limit) {
        PagingObject paging;
        paging.total = total;
        paging.totalPages = totalPages;
        paging.limit = limit;
        return paging;
    }

    std::shared_ptr<qeltest::CapturingLoggerFactory> factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qelutil::StreamingLogger logger{std::shared_ptr<qelutil::ILogger>(factory->createLogger("paging"))};
};

TEST_F(PagingWarningsTest, UnsetFieldsInOrder) {
    EXPECT_EQ((std::vector<std::string>{"total of paging object is invalid", "totalPages of paging object is invalid",
                                        "limit of paging object is invalid", "paging object is invalid"}),
              warningsFor(PagingObject()));

    PagingObject noTotal = valid(0, 2, 10);
    noTotal.total.reset();
    EXPECT_EQ((std::vector<std::string>{"total of paging object is invalid", "paging object is invalid"}),
              warningsFor(noTotal));
}

TEST_F(PagingWarningsTest, TooFewPages) {
    const std::string tooFew = "limit * totalPages is smaller than total in paging object";
    EXPECT_EQ(std::vector<std::string>{tooFew}, warningsFor(valid(100, 3, 25)));
    EXPECT_EQ(std::vector<std::string>{tooFew}, warningsFor(valid(100, -1, 25)));
    EXPECT_TRUE(warningsFor(valid(100, 4, 25)).empty());
    EXPECT_TRUE(warningsFor(valid(0, 0, 25)).empty());
    // A limit below 1 is not judged.
    EXPECT_TRUE(warningsFor(valid(100, 0, 0)).empty());
    // Products beyond the 64-bit range are judged by their sign.
    const int64_t max = std::numeric_limits<int64_t>::max();
    EXPECT_TRUE(warningsFor(valid(max, 2, max)).empty());
    EXPECT_EQ(std::vector<std::string>{tooFew}, warningsFor(valid(5, -2, max)));
    // What createFromJson completes is consistent.
    EXPECT_TRUE(warningsFor(*fromJson(R"({"total":101,"limit":25})")).empty());
}

}  // namespace
