#include <QelAccess/QueryOptions.h>

#include <gtest/gtest.h>

using qel::QueryOptions;

TEST(QueryOptionsTest, AllOptionsAreWrittenInFixedOrder) {
    QueryOptions options;
    // Set in an order different from the output order.
    options.setPagingOffset(20);
    options.setPagingLimit(10);
    options.setSortbyFields({{QueryOptions::MINUS, "date"}, {QueryOptions::PLUS, "title"}});
    options.setExpandLevel(QueryOptions::LEVEL_TWO);
    options.setFieldsFilter({"id", "name"});
    EXPECT_EQ(options.createQueryString(), "$fields=id,name&$expand=2&$sortby=-date,title&$limit=10&$offset=20");
}

TEST(QueryOptionsTest, DefaultsGiveEmptyText) {
    QueryOptions options;
    EXPECT_EQ(options.createQueryString(), "");
    EXPECT_EQ(options.getExpandLevel(), QueryOptions::LEVEL_ZERO);
    EXPECT_FALSE(options.getPagingOffset().isValid());
    EXPECT_FALSE(options.getPagingOffsetUuid().isValid());
    EXPECT_FALSE(options.getPagingLimit().isValid());
}

TEST(QueryOptionsTest, ExpandLevelAndFieldsShareOneParameter) {
    QueryOptions options;
    options.setExpandLevel(QueryOptions::LEVEL_THREE);
    EXPECT_EQ(options.createQueryString(), "$expand=3");

    options.setExpandLevel(QueryOptions::LEVEL_ZERO);
    options.setExpandFields({"a", "b"});
    EXPECT_EQ(options.createQueryString(), "$expand=a,b");

    options.setExpandLevel(QueryOptions::LEVEL_TWO);
    EXPECT_EQ(options.createQueryString(), "$expand=a,b,2");

    options.setSortbyFields({{QueryOptions::PLUS, "title"}});
    EXPECT_EQ(options.createQueryString(), "$expand=a,b,2&$sortby=title");
}

TEST(QueryOptionsTest, FieldNamesAreEncodedButSortFieldsAreNot) {
    QueryOptions options;
    options.addToFieldsFilter("first name");
    options.addToFieldsFilter("a&b");
    options.setExpandFields({"x y"});
    options.setSortbyFields({{QueryOptions::MINUS, "last name"}});
    EXPECT_EQ(options.createQueryString(), "$fields=first%20name,a%26b&$expand=x%20y&$sortby=-last name");

    options.clearFieldsFilter();
    EXPECT_TRUE(options.getFieldsFilter().empty());
    EXPECT_EQ(options.createQueryString(), "$expand=x%20y&$sortby=-last name");
}

TEST(QueryOptionsTest, PagingValuesAreIndependentAndNumericOffsetWins) {
    QueryOptions options;
    options.setPagingLimit(5);
    options.setPagingOffsetUuid("a b");
    EXPECT_EQ(options.createQueryString(), "$limit=5&$offset=a b");

    options.setPagingOffset(7);
    EXPECT_TRUE(options.getPagingOffsetUuid().isValid());
    EXPECT_TRUE(options.getPagingLimit().isValid());
    EXPECT_EQ(options.createQueryString(), "$limit=5&$offset=7");

    options.setPagingLimitUnspecified();
    EXPECT_EQ(options.createQueryString(), "$offset=7");
    EXPECT_EQ(options.getPagingLimit(-1), -1);
    EXPECT_EQ(options.getPagingOffset(-1), 7);

    options.setPagingOffset(qelutil::Optional<int64_t>());
    EXPECT_EQ(options.createQueryString(), "$offset=a b");
    options.setPagingOffsetUuidUnspecified();
    EXPECT_EQ(options.getPagingOffsetUuid("none"), "none");
    EXPECT_EQ(options.createQueryString(), "");

    options.setPagingLimit(qelutil::Optional<int64_t>(0));
    options.setPagingOffset(-3);
    EXPECT_EQ(options.createQueryString(), "$limit=0&$offset=-3");
}
