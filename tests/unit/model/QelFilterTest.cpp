#include "support/TestText.h"

#include <QelAccess/QelFilter.h>

#include <QelAccessUtility/JsonFactory.h>

#include "support/CapturingLoggerFactory.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <stdexcept>

using qel::QelFilter;

using qeltest::json;
using qeltest::runtimeErrorText;

TEST(QelFilterTest, StringValuesAreEncodedAtRenderTimeInNameOrder) {
    QelFilter filter;
    filter.add("city", std::string("New York"));
    filter.add("active", true);
    filter.add("Zone", "a/b");
    EXPECT_EQ(filter.getFilterMap().at("city"), "New York");
    EXPECT_EQ(filter.createPropertySearchString(), "Zone=a%2Fb&active=true&city=New%20York");
}

TEST(QelFilterTest, NamesAreEncoded) {
    QelFilter filter;
    filter.add("a b", std::string("c"));
    EXPECT_EQ(filter.createPropertySearchString(), "a%20b=c");
}

TEST(QelFilterTest, NumberAndListFormatting) {
    QelFilter filter;
    filter.add("i", 7);
    filter.add("l", int64_t{-9000000000});
    filter.add("d", 1.5);
    filter.add("bs", std::vector<bool>{true, false});
    filter.add("ls", std::vector<int64_t>{1, -2});
    filter.add("ds", std::vector<double>{0.25, -1.0});
    filter.add("ss", std::vector<std::string>{"a b", "c"});
    const auto& map = filter.getFilterMap();
    EXPECT_EQ(map.at("i"), "7");
    EXPECT_EQ(map.at("l"), "-9000000000");
    EXPECT_EQ(map.at("d"), "1.500000");
    EXPECT_EQ(map.at("bs"), "true,false");
    EXPECT_EQ(map.at("ls"), "1,-2");
    EXPECT_EQ(map.at("ds"), "0.250000,-1.000000");
    EXPECT_EQ(map.at("ss"), "a%20b,c");
    // Values of these overloads are sent as stored: the "%" and "," stay.
    EXPECT_EQ(filter.createPropertySearchString(),
              "bs=true,false&d=1.500000&ds=0.250000,-1.000000&i=7&l=-9000000000&ls=1,-2&ss=a%20b,c");
}

TEST(QelFilterTest, LaterAddDecidesWhetherValueIsEncoded) {
    QelFilter filter;
    filter.add("n", int64_t{3});
    filter.add("n", std::string("a,b"));
    EXPECT_EQ(filter.createPropertySearchString(), "n=a%2Cb");

    filter.add("n", std::vector<std::string>{"x", "y"});
    EXPECT_EQ(filter.createPropertySearchString(), "n=x,y");

    // Repeated encoded adds followed by one string add still encode the string.
    filter.add("n", true);
    filter.add("n", 2.0);
    filter.add("n", "p q");
    EXPECT_EQ(filter.createPropertySearchString(), "n=p%20q");
}

TEST(QelFilterTest, EmptyValuesAreSkippedWithWarning) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeltest::ScopedDefaultLoggerFactory scoped(factory);

    QelFilter filter;
    filter.add("a", std::string());
    filter.add("b", std::vector<std::string>{});
    filter.add("c", "x");
    EXPECT_EQ(filter.createPropertySearchString(), "c=x");

    auto warnings = factory->capture().texts(qelutil::ILogger::WARNING);
    ASSERT_EQ(warnings.size(), 2u);
    std::regex located(R"(^.+:[0-9]+ propertyValue for a is empty$)");
    EXPECT_TRUE(std::regex_match(warnings[0], located)) << warnings[0];
    EXPECT_NE(warnings[1].find(":"), std::string::npos);
    EXPECT_EQ(warnings[1].substr(warnings[1].find(' ') + 1), "propertyValue for b is empty");
    EXPECT_EQ(factory->capture().lines()[0].facility, "QelFilter");

    QelFilter onlyEmpty;
    onlyEmpty.add("a", std::string());
    EXPECT_EQ(onlyEmpty.createPropertySearchString(), "");
    EXPECT_EQ(QelFilter().createPropertySearchString(), "");
}

TEST(QelFilterTest, EmptyValueWarningHonoursThreshold) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>(qelutil::ILogger::ERROR);
    qeltest::ScopedDefaultLoggerFactory scoped(factory);
    QelFilter filter;
    filter.add("a", std::string());
    EXPECT_EQ(filter.createPropertySearchString(), "");
    EXPECT_TRUE(factory->capture().lines().empty());
}

TEST(QelFilterTest, InvalidArgumentsThrowAndLeaveFilterUnchanged) {
    QelFilter filter;
    filter.add("keep", "1");
    EXPECT_EQ(runtimeErrorText([&] { filter.add("", std::string("x")); }), "propertyName is empty");
    EXPECT_EQ(runtimeErrorText([&] { filter.add("", 1); }), "propertyName is empty");
    EXPECT_EQ(runtimeErrorText([&] { filter.add("", std::vector<double>{1.0}); }), "propertyName is empty");
    EXPECT_EQ(runtimeErrorText([&] { filter.add("", "x"); }), "propertyName is empty or propertyValue is nullptr");
    const char* nullValue = nullptr;
    EXPECT_EQ(runtimeErrorText([&] { filter.add("keep", nullValue); }),
              "propertyName is empty or propertyValue is nullptr");
    EXPECT_EQ(filter.getFilterMap().size(), 1u);
    EXPECT_EQ(filter.createPropertySearchString(), "keep=1");
}

TEST(QelFilterTest, NamedHelpersUseFixedPropertyNames) {
    QelFilter filter;
    filter.addId("1 2");
    filter.addName("n");
    filter.addUri("/a/b");
    EXPECT_EQ(filter.createPropertySearchString(), "id=1%202&name=n&uri=%2Fa%2Fb");
}

TEST(QelFilterTest, PassesFilterComparesRenderedMembers) {
    QelFilter filter;
    filter.add("count", 3);
    EXPECT_TRUE(filter.passesFilter(json(R"({"count":3,"other":"x"})")));
    EXPECT_FALSE(filter.passesFilter(json(R"({"count":"03"})")));
    EXPECT_FALSE(filter.passesFilter(json(R"({"count":4})")));
    EXPECT_FALSE(filter.passesFilter(json(R"({"other":3})")));
    EXPECT_TRUE(filter.passesFilter(json(R"({"count":"3"})")));

    QelFilter typed;
    typed.add("flag", true);
    typed.add("ratio", 0.5);
    typed.add("name", std::string("a b"));
    typed.add("big", std::string("18446744073709551615"));
    EXPECT_TRUE(typed.passesFilter(json(R"({"flag":true,"ratio":0.5,"name":"a b","big":18446744073709551615})")));
    EXPECT_FALSE(typed.passesFilter(json(R"({"flag":"true1","ratio":0.5,"name":"a b","big":18446744073709551615})")));
    EXPECT_FALSE(typed.passesFilter(json(R"({"flag":true,"ratio":0.5,"name":"a%20b","big":18446744073709551615})")));
    EXPECT_FALSE(typed.passesFilter(json(R"({"flag":true,"ratio":0.5,"name":"a b","big":-1})")));

    QelFilter list;
    list.add("tags", std::vector<std::string>{"a", "b"});
    EXPECT_TRUE(list.passesFilter(json(R"({"tags":"a,b"})")));
    EXPECT_FALSE(list.passesFilter(json(R"({"tags":"a"})")));
}

TEST(QelFilterTest, PassesFilterEdgeInputs) {
    EXPECT_TRUE(QelFilter().passesFilter(json("{}")));
    EXPECT_TRUE(QelFilter().passesFilter(nullptr));

    QelFilter filter;
    filter.add("a", std::string("x"));
    EXPECT_FALSE(filter.passesFilter(nullptr));
    // Members of other types render as empty text.
    EXPECT_FALSE(filter.passesFilter(json(R"({"a":{"b":1}})")));
    QelFilter empty;
    empty.add("a", std::string());
    EXPECT_TRUE(empty.passesFilter(json(R"({"a":null})")));
    EXPECT_TRUE(empty.passesFilter(json(R"({"a":[1]})")));
}
