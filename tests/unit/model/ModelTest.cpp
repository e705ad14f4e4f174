#include "support/TestText.h"
#include "support/CapturingLoggerFactory.h"

#include <QelAccess/QueryOptions.h>
#include <QelAccess/QelFilter.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/ServiceRegistryServiceDescriptor.h>
#include <QelAccess/XObject.h>
#include <QelAccess/XObjectDescriptor.h>
#include <QelAccess/QelResource.h>
#include <QelAccess/QelService.h>
#include <QelAccess/ServiceRegistryService.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace qel;
using qeltest::json;
using qeltest::runtimeErrorText;
using qelutil::ILogger;

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

namespace {

// Exposes the protected query option setters the way a generated descriptor would use them.
class GeneratedDescriptor : public XObjectDescriptor {
public:
    GeneratedDescriptor() : XObjectDescriptor("media", "tracks") {}
    using XObjectDescriptor::setQueryOptions;
    using XObjectDescriptor::setQueryOptionsLimit;
    using XObjectDescriptor::setQueryOptionsOffset;
};

// A descriptor whose id comes from elsewhere, to see that JSON reads it through getId().
class FixedIdDescriptor : public QelResourceDescriptor {
public:
    FixedIdDescriptor() : QelResourceDescriptor("s", "r") {}
    const qelutil::Optional<std::string>& getId() const override { return fixed; }

private:
    qelutil::Optional<std::string> fixed{std::string("fixed")};
};

}  // namespace

TEST(DescriptorTest, RelativeUriAndSearchTexts) {
    XObjectDescriptor descriptor("media", "tracks");
    EXPECT_EQ(runtimeErrorText([&] { descriptor.getRelativeUri(); }), "operator* called on uninitialized Optional");
    EXPECT_EQ(descriptor.createPropertySearchAndQueryOptionsString(), "");
    descriptor.setName("My Song");
    descriptor.setId("7");
    descriptor.setUri("");
    EXPECT_EQ(descriptor.getRelativeUri(), "/media/tracks/7");
    XObjectDescriptor empty;
    empty.setId("x");
    EXPECT_EQ(empty.getRelativeUri(), "///x");
    EXPECT_EQ(descriptor.getQelFilter().getFilterMap().at("uri"), "");
    EXPECT_EQ(descriptor.createPropertySearchString(), "id=7&name=My%20Song");
    descriptor.getQueryOptions().setPagingLimit(5);
    EXPECT_EQ(descriptor.createPropertySearchAndQueryOptionsString(), "$limit=5&id=7&name=My%20Song");
    EXPECT_EQ(descriptor.createQueryOptionsString(), "$limit=5");
    XObjectDescriptor onlyOptions("media", "tracks");
    onlyOptions.setExpandLevel(QueryOptions::LEVEL_ONE);
    EXPECT_EQ(onlyOptions.createPropertySearchAndQueryOptionsString(), "$expand=1");

    // Resetting the query options keeps the filter.
    descriptor.setExpandLevel(QueryOptions::LEVEL_TWO);
    descriptor.getQueryOptions().setPagingOffsetUuid("u");
    descriptor.getQueryOptions().setFieldsFilter({"id"});
    descriptor.resetQueryOptions();
    EXPECT_EQ(descriptor.createPropertySearchAndQueryOptionsString(), "id=7&name=My%20Song");
}

TEST(DescriptorTest, ProtectedQueryOptionSetters) {
    using Sort = std::vector<QueryOptions::SortbyField>;
    GeneratedDescriptor all, byId, limitOnly;
    const std::vector<std::pair<std::function<void()>, std::pair<GeneratedDescriptor*, std::string>>> steps = {
        {[&] { all.setQueryOptions({"id"}, QueryOptions::LEVEL_ONE, {"e"}, Sort{{QueryOptions::MINUS, "d"}}, 10, int64_t{20}); },
         {&all, "$fields=id&$expand=e,1&$sortby=-d&$limit=10&$offset=20"}},
        // Empty vectors leave earlier values; the level is always taken.
        {[&] { all.setQueryOptions({}, QueryOptions::LEVEL_ZERO); },
         {&all, "$fields=id&$expand=e&$sortby=-d&$limit=10&$offset=20"}},
        {[&] { byId.setQueryOptions({}, QueryOptions::LEVEL_ZERO, {}, {}, 3, std::string("abc")); },
         {&byId, "$limit=3&$offset=abc"}},
        {[&] { byId.setQueryOptionsOffset({}, QueryOptions::LEVEL_ZERO, {}, {}, int64_t{4}); },
         {&byId, "$limit=3&$offset=4"}},
        {[&] { limitOnly.setQueryOptionsLimit({"a"}, QueryOptions::LEVEL_THREE, {}, {}, 9); },
         {&limitOnly, "$fields=a&$expand=3&$limit=9"}},
        {[&] { limitOnly.setQueryOptionsOffset({}, QueryOptions::LEVEL_THREE, {}, {}, std::string("z")); },
         {&limitOnly, "$fields=a&$expand=3&$limit=9&$offset=z"}},
        {[&] { limitOnly.setQueryOptions({}, QueryOptions::LEVEL_THREE, {"x"}, {}); },
         {&limitOnly, "$fields=a&$expand=x,3&$limit=9&$offset=z"}},
    };
    for (const auto& step : steps) {
        step.first();
        EXPECT_EQ(step.second.first->createQueryOptionsString(), step.second.second);
    }
}

TEST(DescriptorTest, JsonHoldsOnlySetMembersInOrder) {
    XObjectDescriptor descriptor("media", "tracks");
    EXPECT_EQ(descriptor.getAsJson()->toString(), "{}");
    descriptor.setName("n");
    descriptor.setUri("/media/tracks/1");
    descriptor.setId("1");
    EXPECT_EQ(descriptor.getAsJson()->toString(), R"({"id":"1","uri":"/media/tracks/1","name":"n"})");
    EXPECT_EQ(descriptor.getAsQELBody()->toString(), R"({"name":"n"})");
    XObjectDescriptor noName;
    noName.setId("1");
    noName.setUri("u");
    EXPECT_EQ(noName.getAsQELBody()->size(), 0u);
    EXPECT_EQ(FixedIdDescriptor().getAsJson()->getString("id"), "fixed");

    QelServiceDescriptor service("media");
    EXPECT_EQ(service.getAsJson()->size(), 0u);
    service.setDescription("d");
    service.setVersions({"1"});
    service.setPort(8080);
    EXPECT_EQ(service.getAsJson()->toString(), R"({"port":8080})");
    ServiceRegistryServiceDescriptor registry(service);
    registry.setName("media");
    std::string host = "h";
    registry.setHost(&host);
    registry.setPath("/api/media/");
    EXPECT_EQ(registry.getAsJson()->toString(), R"({"name":"media","port":8080})");
    EXPECT_EQ(registry.getDescription().getValue(), "d");
}

TEST(DescriptorTest, RegistryPathIsCutBeforeServiceName) {
    ServiceRegistryServiceDescriptor nameless;
    EXPECT_EQ(runtimeErrorText([&] { nameless.setPath("/api/"); }), "getValue called on uninitialized Optional");
    EXPECT_FALSE(nameless.getPath().isValid());
    const std::vector<std::array<std::string, 3>> cases = {{"navigation", "/api/navigation/", "/api/"},
                                                           {"navigation", "/x/navigation/navigation", "/x/"},
                                                           {"navigation", "/a/b", "/a/b"},
                                                           {"", "/a/b", "/a/b"}};
    for (const auto& c : cases) {
        ServiceRegistryServiceDescriptor descriptor;
        descriptor.setName(c[0]);
        descriptor.setPath(c[1]);
        EXPECT_EQ(descriptor.getPath().getValue(), c[2]) << c[1];
    }
}

TEST(DescriptorTest, RegistryCopiesCutThePathAgainAndOwnTheHost) {
    ServiceRegistryServiceDescriptor original;
    original.setName("navigation");
    original.setPath("/x/api/navigation/");
    std::string host = "h";
    original.setHost(&host);
    host = "changed";
    EXPECT_EQ(original.getHost().getValue(), "h");
    original.setPort(1);
    original.setName("api");

    ServiceRegistryServiceDescriptor copy(original);
    EXPECT_EQ(copy.getPath().getValue(), "/x/");
    EXPECT_EQ(copy.getHost().getValue() + copy.getName().getValue(), "hapi");
    EXPECT_EQ(copy.getPort().getValue(), 1);
    ServiceRegistryServiceDescriptor assigned;
    assigned = original;
    EXPECT_EQ(assigned.getPath().getValue(), "/x/api/");
    original.setHost(nullptr);
    EXPECT_FALSE(original.getHost().isValid());
    ServiceRegistryServiceDescriptor bareCopy{ServiceRegistryServiceDescriptor()};
    EXPECT_FALSE(bareCopy.getPath().isValid() || bareCopy.getHost().isValid());
}

TEST(DescriptorTest, CopiesAreIndependentValues) {
    QelServiceDescriptor original("media");
    original.setId("1");
    original.setServiceCategories({"a"});
    QelServiceDescriptor copy(original);
    copy.setId("2");
    copy.getQelFilter().add("x", true);
    copy.setServiceCategories({});
    EXPECT_EQ(original.createPropertySearchString(), "id=1");
    EXPECT_EQ(original.getServiceCategories().getValue().size(), 1u);
    XObjectDescriptor base = copy;
    QelServiceDescriptor converted(base);
    EXPECT_EQ(converted.getId().getValue(), "2");
    EXPECT_FALSE(converted.getServiceCategories().isValid());
}

TEST(XObjectTest, FillFromJsonAndFromText) {
    XObject<XObjectDescriptor> object(json(R"({"id":"7","name":"n","uri":"/s/r/7","extra":1})"));
    EXPECT_EQ(object.getId().getValue() + object.getName().getValue() + object.getUri().getValue(), "7n/s/r/7");
    EXPECT_EQ(object.getDescriptor().createPropertySearchString(), "id=7&name=n&uri=%2Fs%2Fr%2F7");
    object.fillFromJson(json(R"({"name":"m"})"));  // absent keys keep the earlier values
    EXPECT_EQ(object.getId().getValue() + object.getName().getValue(), "7m");
    XObject<XObjectDescriptor> empty(json("{}"));
    EXPECT_FALSE(empty.getId().isValid());
    EXPECT_THROW(empty.fillFromJson(json(R"({"id":7})")), qelutil::JsonException);
    EXPECT_EQ(XObject<QelServiceDescriptor>(std::string(R"({"name":"media"})")).getName().getValue(), "media");
    EXPECT_THROW(XObject<XObjectDescriptor>(std::string("{\"name\":")), qelutil::JsonException);
    EXPECT_THROW(XObject<XObjectDescriptor>(std::string("[1]")), qelutil::JsonException);
}

TEST(XObjectTest, CopyWithIdFromUriAndConvertToGeneric) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setName("n");
    XObject<XObjectDescriptor> object(descriptor);
    auto copy = object.copyWithIdFromUri("/media/tracks/42");
    EXPECT_EQ(copy->getId().getValue() + " " + copy->getUri().getValue() + " " + copy->getName().getValue(),
              "42 /media/tracks/42 n");
    EXPECT_EQ(copy->getDescriptor().getRelativeUri(), "/media/tracks/42");
    EXPECT_FALSE(object.getId().isValid());
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"abc", "abc"}, {"/media/tracks/", ""}, {"a\\b/c\\d", "d"}, {"a\\b/c", "c"}})
        EXPECT_EQ(object.copyWithIdFromUri(c.first)->getId().getValue(), c.second) << c.first;

    QelServiceDescriptor service("media");
    service.setName("media");
    service.setPort(1);
    auto generic = XObject<QelServiceDescriptor>(service).convertToGeneric();
    EXPECT_EQ(generic->getName().getValue(), "media");
    EXPECT_EQ(generic->getDescriptor().getService(), "media");
    EXPECT_EQ(generic->getDescriptor().getAsJson()->toString(), R"({"name":"media"})");
}

namespace {

// The text after the location prefix ("<file>:<line> ").
std::string afterLocation(const std::string& line) {
    static const std::regex located(R"(^.+:[0-9]+ (.*)$)");
    std::smatch match;
    return std::regex_match(line, match, located) ? match[1].str() : "<no location prefix> " + line;
}

class ServiceObjectsTest : public ::testing::Test {
protected:
    std::shared_ptr<qelutil::StreamingLogger> logger() {
        return std::make_shared<qelutil::StreamingLogger>(std::shared_ptr<ILogger>(factory->createLogger("test")));
    }
    std::vector<std::string> warnings() { return factory->capture().texts(ILogger::WARNING); }

    std::shared_ptr<qeltest::CapturingLoggerFactory> factory = std::make_shared<qeltest::CapturingLoggerFactory>();
};

}  // namespace

TEST_F(ServiceObjectsTest, ServiceFillReadsAllMembers) {
    QelService service(json(R"({"id":"1","name":"media","uri":"/media","port":8080,"description":"d",
        "serviceCategories":["a","b"],"privileges":[],"versions":["v1"]})"));
    EXPECT_EQ(service.getId().getValue() + service.getName().getValue() + service.getDescription().getValue(), "1mediad");
    EXPECT_EQ(service.getPort().getValue(), 8080);
    EXPECT_EQ(service.getServiceCategories().getValue(), (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(service.getPrivileges().isValid());
    EXPECT_TRUE(service.getPrivileges().getValue().empty());
    EXPECT_EQ(service.getVersions().getValue(), std::vector<std::string>{"v1"});
    QelServiceDescriptor own = service.getDescriptor();
    EXPECT_EQ(own.getUri().getValue(), "/media");
    EXPECT_EQ(own.getPort().getValue(), 8080);
    EXPECT_EQ(own.createPropertySearchString(), "id=1&name=media&uri=%2Fmedia");

    // The port keeps its low 16 bits; absent members stay unset.
    QelService wide(json(R"({"name":"media","port":70000})"));
    EXPECT_EQ(wide.getPort().getValue(), 4464);
    EXPECT_FALSE(wide.getServiceCategories().isValid() || wide.getDescription().isValid());
    QelService bare(json("{}"));
    EXPECT_FALSE(bare.getPort().isValid() || bare.getName().isValid());
    for (const char* text : {R"({"port":"80"})", R"({"versions":"v1"})", R"({"versions":[1]})", R"({"name":5})"})
        EXPECT_THROW(QelService(json(text)), qelutil::JsonException) << text;

    QelService fromJson(json(R"({"name":"tracks","port":2})"), "media", "given");
    EXPECT_EQ(fromJson.getDescriptor().getName().getValue(), "tracks");
    EXPECT_EQ(fromJson.getDescriptor().getService(), "media");
    EXPECT_EQ(fromJson.getPort().getValue(), 2);
    QelService noName(json("{}"), "media", "given");
    EXPECT_EQ(noName.getName().getValue(), "given");
    EXPECT_EQ(noName.getDescriptor().getService(), "media");
}

TEST_F(ServiceObjectsTest, ServiceFillWithLoggerWarnsForEachAbsentMemberInOrder) {
    QelService service(json(R"({"name":"media","port":1})"), logger());
    auto lines = warnings();
    ASSERT_EQ(lines.size(), 4u);
    const char* members[] = {"description", "serviceCategories", "privileges", "versions"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(afterLocation(lines[i]), std::string("no ") + members[i] + " set for service object with name=media");
    auto debug = factory->capture().texts(ILogger::DEBUG);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(afterLocation(debug[0]), "fillFromJson");

    factory->capture().clear();
    QelService nameless(json(R"({"description":"d","serviceCategories":[],"privileges":[],"versions":[]})"),
                        logger());
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(afterLocation(warnings()[0]), "no port set for service object with name=");

    factory->capture().clear();
    factory->setThreshold(ILogger::ERROR);
    QelService quiet(json("{}"), logger());
    EXPECT_TRUE(factory->capture().lines().empty());
    QelService noLogger(json("{}"), nullptr);
    EXPECT_FALSE(noLogger.getPort().isValid());
}

TEST_F(ServiceObjectsTest, ServiceEqualityIgnoresIdAndUri) {
    const std::vector<std::tuple<const char*, const char*, bool>> cases = {
        {R"({"name":"media"})", R"({"name":"media","id":"9","uri":"/x"})", true},
        {R"({"name":"media"})", R"({"name":"media"})", true},
        {R"({"name":"media"})", R"({"name":"other"})", false},
        {R"({"name":"media"})", R"({"name":"media","port":1})", false},
        {R"({"name":"media"})", R"({"name":"media","description":""})", false},
        {R"({"name":"media"})", R"({"name":"media","privileges":[]})", false},
        {R"({"versions":["a"]})", R"({"versions":["a","b"]})", false},
        {R"({"serviceCategories":["a"]})", R"({"serviceCategories":["b"]})", false},
        {R"({"versions":["a"],"port":3})", R"({"versions":["a"],"port":3})", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QelService(json(std::get<0>(c))) == QelService(json(std::get<1>(c))), std::get<2>(c)) << std::get<1>(c);
    EXPECT_TRUE(QelService() == QelService(json("{}")));
}

TEST_F(ServiceObjectsTest, RegistryServiceFromListingEntry) {
    ServiceRegistryService service(json(R"({"name":"navigation","uri":"/api/navigation/","port":8080})"),
                                   "10.0.0.2", logger());
    EXPECT_EQ(service.getPath().getValue(), "/api/");
    EXPECT_EQ(service.getHost().getValue(), "10.0.0.2");
    EXPECT_EQ(service.getPort().getValue(), 8080);
    EXPECT_EQ(service.getServiceDescriptor().getPort().getValue(), 8080);
    EXPECT_EQ(service.getServiceDescriptor().getName().getValue(), "navigation");
    EXPECT_EQ(service.getServiceDescriptor().getUri().getValue(), "/api/navigation/");
    EXPECT_FALSE(service.isResolved());
    EXPECT_TRUE(warnings().empty());

    service.setPort(9000);
    EXPECT_EQ(service.getDescriptor().getPort().getValue(), 9000);
    EXPECT_EQ(service.getServiceDescriptor().getPort().getValue(), 9000);
    service.setPath("/b/navigation");
    EXPECT_EQ(service.getPath().getValue(), "/b/");
    service.setHost(nullptr);
    EXPECT_FALSE(service.getHost().isValid());

    ServiceRegistryService logged(json(R"({"name":"nav","port":70000})"), "h", logger());
    EXPECT_EQ(logged.getServiceDescriptor().getPort().getValue(), 4464);
    EXPECT_FALSE(logged.getPath().isValid());
    ServiceRegistryService noPort(json(R"({"name":"nav","uri":"/x/"})"), "h", logger());
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0], "no port set for service object with name=nav");
    EXPECT_EQ(noPort.getPath().getValue(), "/x/");
    ServiceRegistryService plain(json(R"({"name":"nav","uri":"/api/nav","port":5})"));
    EXPECT_FALSE(plain.getHost().isValid());
    EXPECT_EQ(plain.getPath().getValue(), "/api/");
    EXPECT_EQ(plain.getServiceDescriptor().getPort().getValue(), 5);

    EXPECT_EQ(runtimeErrorText([] { ServiceRegistryService(json(R"({"uri":"/api/x","port":1})")); }),
              "getValue called on uninitialized Optional");
    EXPECT_EQ(runtimeErrorText([this] { ServiceRegistryService(json(R"({"uri":"/api/x"})"), "h", logger()); }),
              "getValue called on uninitialized Optional");
}

TEST_F(ServiceObjectsTest, RegistryServiceEquality) {
    auto make = [](const std::string& text) { return ServiceRegistryService(json(text)); };
    auto a = make(R"({"name":"nav","uri":"/a/nav","port":1})");
    auto b = make(R"({"name":"nav","uri":"/b/nav","port":1,"id":"x","versions":["v"]})");
    std::string host = "h";
    const std::vector<std::pair<std::function<void()>, bool>> steps = {
        {[] {}, true},
        {[&] { b.setResolved(true); }, false},
        {[&] { a.setResolved(true); }, true},
        {[&] { a.setHost(&host); }, false},
        {[&] { b.setHost(&host); }, true},
        {[&] { a.setPort(2); }, false},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        steps[i].first();
        EXPECT_EQ(a == b, steps[i].second) << "step " << i;
    }
    EXPECT_FALSE(make(R"({"name":"nav"})") == make(R"({"name":"other"})"));
}

TEST_F(ServiceObjectsTest, ResourceIdComesFromUriUnlessGiven) {
    QelResource fromUri(json(R"({"name":"Tracks","uri":"/media/tracks"})"), "media", "tracks");
    EXPECT_EQ(fromUri.getId().getValue() + fromUri.getUri().getValue() + fromUri.getName().getValue(),
              "tracks/media/tracksTracks");
    EXPECT_EQ(fromUri.getDescriptor().getService() + "/" + fromUri.getDescriptor().getResource(), "media/tracks");
    QelResource explicitId(json(R"({"id":"t1","uri":"/media/tracks"})"), "media", "tracks");
    EXPECT_EQ(explicitId.getDescriptor().getQelFilter().getFilterMap().at("id"), "t1");
    EXPECT_EQ(QelResource(json(R"({"uri":"tracks"})"), "m", "t").getId().getValue(), "tracks");
    EXPECT_EQ(QelResource(json(R"({"uri":"\\m\\t\\"})"), "m", "t").getId().getValue(), "");
    QelResource bare("m", "t");
    EXPECT_FALSE(bare.getId().isValid());
    EXPECT_THROW(bare.fillFromJson(json(R"({"uri":1})")), qelutil::JsonException);
}

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

namespace {

std::shared_ptr<std::string> text(const std::string& value) { return std::make_shared<std::string>(value); }

TEST(QelResponseTest, FreshRecordHasNoValuesAndAnUnsetLocationClearsAnEarlierOne) {
    QelResponse response;
    EXPECT_EQ(qelutil::HttpResponse::OTHER, response.getStatusCode());
    EXPECT_TRUE(!response.getStatus() && !response.getPaging() && !response.getTimestamp() && !response.getMessage() &&
                !response.getType() && !response.getEvent() && !response.getService() &&
                !response.getMultipleChoices() && !response.getHttpException());
    EXPECT_FALSE(response.getLocation().isValid());
    response.setLocation(qelutil::Optional<std::string>("http://10.0.0.2:8080/media"));
    EXPECT_EQ("http://10.0.0.2:8080/media", response.getLocation().getValue());
    response.setLocation(qelutil::Optional<std::string>());
    EXPECT_FALSE(response.getLocation().isValid());
}

TEST(QelResponseTest, MultipleChoiceTextMarksAbsentFields) {
    QelResponse::MultipleChoice choice;
    EXPECT_EQ("MultipleChoice{hostAddress=invalid, versions=invalid,description=invalid}", choice.toString());
    choice.hostAddress = text("http://10.0.0.1:80");
    choice.versions = text("1.0,2.0");
    choice.description = text("primary");
    EXPECT_EQ("MultipleChoice{hostAddress=http://10.0.0.1:80, versions=1.0,2.0,description=primary}",
              choice.toString());
    choice.hostAddress.reset();
    EXPECT_EQ("MultipleChoice{hostAddress=invalid, versions=1.0,2.0,description=primary}", choice.toString());
}

class EmptyTextError : public std::exception {
public:
    const char* what() const noexcept override { return ""; }
};

TEST(QelExceptionTest, TextWithAndWithoutCauseAndTheCauseIsNotKept) {
    const QelException inner("readResource failed", "unknown");
    const EmptyTextError empty;
    EXPECT_STREQ("QelException: unknown read root failed\n", QelException("read root failed", "unknown").what());
    EXPECT_STREQ("QelException: JSONException read failed\n", QelException("read failed", "JSONException", nullptr).what());
    EXPECT_STREQ("QelException: unknown read resource failed reason: QelException: unknown readResource failed\n\n",
                 QelException("read resource failed", "unknown", &inner).what());
    EXPECT_STREQ("QelException: unknown read service failed reason: \n",
                 QelException("read service failed", "unknown", &empty).what());
    EXPECT_STREQ("QelException:  \n", QelException("", "").what());

    std::unique_ptr<QelException> exception;
    {
        const std::runtime_error cause("connection refused");
        exception = std::make_unique<QelException>("read failed", "unknown", &cause);
    }
    EXPECT_STREQ("QelException: unknown read failed reason: connection refused\n", exception->what());
    try {
        throw QelException(*exception);
    } catch (const std::exception& caught) {
        EXPECT_STREQ(exception->what(), caught.what());
    }
}

}  // namespace
