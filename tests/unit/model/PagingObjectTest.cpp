#include <QelAccess/PagingObject.h>

#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/StreamingLogger.h>

#include "support/CapturingLoggerFactory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
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

// The fields after createFromJson, as text ("invalid" for unset ones).
std::string fields(const std::string& text, int64_t count = 0) {
    const auto paging = fromJson(text, count);
    const std::string all = paging->toString();
    return all.substr(0, all.find(", offsetId="));  // the links are checked separately
}

TEST(PagingObjectTest, FieldsAreCompletedFromTheCountAndTheLinks) {
    const std::string previous = linkWithOffset("25");
    const std::string next = linkWithOffset("75");
    const std::string plain = "http://127.0.0.1:8080/media/tracks?$limit=25";
    const std::string prev = R"("previous":")";
    const std::vector<std::tuple<std::string, int64_t, std::string>> cases = {
        {"{}", 0, "offset=invalid, limit=25, total=0, totalPages=0"},
        {"{}", 10, "offset=invalid, limit=10, total=10, totalPages=1"},
        // Total pages round up; one sent by the server is kept however inconsistent.
        {R"({"total":101,"limit":25})", 0, "offset=invalid, limit=25, total=101, totalPages=5"},
        {R"({"total":100,"limit":25})", 0, "offset=invalid, limit=25, total=100, totalPages=4"},
        {R"({"total":1,"limit":25})", 0, "offset=invalid, limit=25, total=1, totalPages=1"},
        {R"({"limit":4})", 9, "offset=invalid, limit=4, total=9, totalPages=3"},
        {R"({"total":100,"limit":25,"totalPages":7})", 0, "offset=invalid, limit=25, total=100, totalPages=7"},
        // A limit below one does not divide.
        {R"({"total":7,"limit":0})", 0, "offset=invalid, limit=0, total=7, totalPages=1"},
        {R"({"total":0,"limit":0})", 0, "offset=invalid, limit=0, total=0, totalPages=0"},
        {R"({"total":7,"limit":-3})", 0, "offset=invalid, limit=-3, total=7, totalPages=1"},
        {R"({"total":-9223372036854775808,"limit":-1})", 0,
         "offset=invalid, limit=-1, total=-9223372036854775808, totalPages=0"},
        // The offset is derived from the links; without a limit the count is the page size.
        {R"({"limit":25,)" + prev + previous + R"(","next":")" + next + R"("})", 0,
         "offset=50, limit=25, total=0, totalPages=0"},
        {R"({"limit":25,)" + prev + previous + R"("})", 0, "offset=50, limit=25, total=0, totalPages=0"},
        {R"({"limit":25,"next":")" + next + R"("})", 0, "offset=0, limit=25, total=0, totalPages=0"},
        {"{" + prev + previous + R"("})", 10, "offset=35, limit=10, total=10, totalPages=1"},
        // The last "$offset=" of a link is the one taken; a given offset is never replaced.
        {R"({"limit":10,"previous":"p","next":"/r?$offset=10&x=$offset=60"})", 0,
         "offset=50, limit=10, total=0, totalPages=0"},
        {R"({"offset":3,"limit":25,)" + prev + previous + R"("})", 0, "offset=3, limit=25, total=0, totalPages=0"},
        // Links without a usable offset, or with numbers that leave the 64-bit range.
        {"{" + prev + plain + R"(","next":")" + plain + R"("})", 0, "offset=invalid, limit=25, total=0, totalPages=0"},
        {"{" + prev + plain + R"("})", 0, "offset=invalid, limit=25, total=0, totalPages=0"},
        {R"({"previous":"/r?$offset=&x=1"})", 0, "offset=invalid, limit=25, total=0, totalPages=0"},
        {R"({"previous":"/r?offset=25"})", 0, "offset=invalid, limit=25, total=0, totalPages=0"},
        {"{" + prev + linkWithOffset("99999999999999999999") + R"("})", 0,
         "offset=invalid, limit=25, total=0, totalPages=0"},
        {"{" + prev + linkWithOffset("9223372036854775807") + R"("})", 0,
         "offset=invalid, limit=25, total=0, totalPages=0"},
        {R"({"limit":25,"previous":"p","next":")" + linkWithOffset("9223372036854775807") + R"("})", 0,
         "offset=9223372036854775782, limit=25, total=0, totalPages=0"},
        // A huge link is dropped instead of exhausting the stack in the matcher.
        {"{" + prev + "/r?$offset=5&" + std::string(200000, 'a') + R"("})", 0,
         "offset=invalid, limit=25, total=0, totalPages=0"},
        // Members of the wrong type are ignored.
        {R"({"limit":"25","total":"100","totalPages":2.5,"offset":"7","offsetId":12,"previous":25,"next":{"href":"x"}})",
         4, "offset=invalid, limit=4, total=4, totalPages=1"},
        {R"({"limit":null,"total":null,"next":null,"offset":18446744073709551615})", 0,
         "offset=invalid, limit=25, total=0, totalPages=0"},
    };
    for (const auto& c : cases) EXPECT_EQ(fields(std::get<0>(c), std::get<1>(c)), std::get<2>(c)) << std::get<0>(c).substr(0, 120);

    auto both = fromJson(R"({"limit":25,)" + prev + previous + R"(","next":")" + next + R"("})");
    EXPECT_EQ(previous + " " + next, both->previous.getValue() + " " + both->next.getValue());
    EXPECT_FALSE(both->offsetId.isValid());  // never derived
    EXPECT_EQ("abc", fromJson(R"({"offsetId":"abc"})")->offsetId.getValue());
    auto odd = fromJson(R"({"offsetId":12,"previous":25,"next":{"href":"x"}})");
    EXPECT_FALSE(odd->offsetId.isValid() || odd->previous.isValid() || odd->next.isValid());
    EXPECT_TRUE(fromJson("{}")->isValid());
    EXPECT_FALSE(fromJson("{}", 10)->isPagingEnabled());
    EXPECT_TRUE(fromJson(R"({"total":26,"limit":25})")->isPagingEnabled());
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
