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
#include <utility>
#include <vector>

using namespace qel;
using qeltest::json;
using qeltest::runtimeErrorText;
using qelutil::ILogger;

namespace {

// Rendered texts and the ones expected, checked in order (a case may change state a later one sees).
using Texts = std::vector<std::pair<std::function<std::string()>, std::string>>;

void expectTexts(const Texts& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(cases[i].first(), cases[i].second) << "case " << i;
}

// Optional members as text, "-" for unset ones.
std::string show(const qelutil::Optional<std::string>& value) { return value.isValid() ? value.getValue() : "-"; }
std::string show(const qelutil::Optional<uint16_t>& value) {
    return value.isValid() ? std::to_string(value.getValue()) : "-";
}
std::string show(const qelutil::Optional<std::vector<std::string>>& value) {
    if (!value.isValid()) return "-";
    std::string text;
    for (const auto& item : value.getValue()) text += (text.empty() ? "" : ",") + item;
    return "[" + text + "]";
}

// The text after the location prefix ("<file>:<line> ").
std::string afterLocation(const std::string& line) {
    static const std::regex located(R"(^.+:[0-9]+ (.*)$)");
    std::smatch match;
    return std::regex_match(line, match, located) ? match[1].str() : "<no location prefix> " + line;
}

}  // namespace

TEST(QueryOptionsTest, QueryTextHasFixedOrderEncodedFieldNamesAndOneOffset) {
    using Q = QueryOptions;
    const std::vector<std::pair<std::function<void(Q&)>, std::string>> cases = {
        {[](Q&) {}, ""},
        // Set in an order different from the output order.
        {[](Q& o) {
             o.setPagingOffset(20); o.setPagingLimit(10); o.setSortbyFields({{Q::MINUS, "date"}, {Q::PLUS, "title"}});
             o.setExpandLevel(Q::LEVEL_TWO); o.setFieldsFilter({"id", "name"});
         },
         "$fields=id,name&$expand=2&$sortby=-date,title&$limit=10&$offset=20"},
        // Expand fields and level share one parameter; level zero is not written.
        {[](Q& o) { o.setExpandLevel(Q::LEVEL_THREE); }, "$expand=3"},
        {[](Q& o) { o.setExpandLevel(Q::LEVEL_THREE); o.setExpandLevel(Q::LEVEL_ZERO); o.setExpandFields({"a", "b"}); },
         "$expand=a,b"},
        {[](Q& o) { o.setExpandFields({"a", "b"}); o.setExpandLevel(Q::LEVEL_TWO); }, "$expand=a,b,2"},
        {[](Q& o) { o.setExpandFields({"a", "b"}); o.setExpandLevel(Q::LEVEL_TWO); o.setSortbyFields({{Q::PLUS, "title"}}); },
         "$expand=a,b,2&$sortby=title"},
        // Field names are encoded, sort fields are not.
        {[](Q& o) {
             o.addToFieldsFilter("first name"); o.addToFieldsFilter("a&b"); o.setExpandFields({"x y"});
             o.setSortbyFields({{Q::MINUS, "last name"}});
         },
         "$fields=first%20name,a%26b&$expand=x%20y&$sortby=-last name"},
        {[](Q& o) { o.addToFieldsFilter("a"); o.setExpandFields({"x y"}); o.clearFieldsFilter(); }, "$expand=x%20y"},
        // Limit, numeric offset and offset id are independent; the numeric offset wins.
        {[](Q& o) { o.setPagingLimit(5); o.setPagingOffsetUuid("a b"); }, "$limit=5&$offset=a b"},
        {[](Q& o) { o.setPagingLimit(5); o.setPagingOffsetUuid("a b"); o.setPagingOffset(7); }, "$limit=5&$offset=7"},
        {[](Q& o) { o.setPagingLimit(5); o.setPagingOffset(7); o.setPagingLimitUnspecified(); }, "$offset=7"},
        {[](Q& o) { o.setPagingOffsetUuid("a b"); o.setPagingOffset(7); o.setPagingOffset(qelutil::Optional<int64_t>()); },
         "$offset=a b"},
        {[](Q& o) { o.setPagingOffsetUuid("a b"); o.setPagingOffsetUuidUnspecified(); }, ""},
        {[](Q& o) { o.setPagingLimit(qelutil::Optional<int64_t>(0)); o.setPagingOffset(-3); }, "$limit=0&$offset=-3"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        QueryOptions options;
        cases[i].first(options);
        EXPECT_EQ(options.createQueryString(), cases[i].second) << "case " << i;
    }
}

TEST(QelFilterTest, SearchTextEncodesNamesAndStringValuesInNameOrder) {
    const std::vector<std::pair<std::function<void(QelFilter&)>, std::string>> cases = {
        {[](QelFilter&) {}, ""},
        {[](QelFilter& f) { f.add("city", std::string("New York")); f.add("active", true); f.add("Zone", "a/b"); },
         "Zone=a%2Fb&active=true&city=New%20York"},
        {[](QelFilter& f) { f.add("a b", std::string("c")); }, "a%20b=c"},
        {[](QelFilter& f) { f.addId("1 2"); f.addName("n"); f.addUri("/a/b"); }, "id=1%202&name=n&uri=%2Fa%2Fb"},
        // Values of the number and list overloads are sent as formatted: the "%" and "," stay.
        {[](QelFilter& f) {
             f.add("i", 7); f.add("l", int64_t{-9000000000}); f.add("d", 1.5); f.add("bs", std::vector<bool>{true, false});
             f.add("ls", std::vector<int64_t>{1, -2}); f.add("ds", std::vector<double>{0.25, -1.0});
             f.add("ss", std::vector<std::string>{"a b", "c"});
         },
         "bs=true,false&d=1.500000&ds=0.250000,-1.000000&i=7&l=-9000000000&ls=1,-2&ss=a%20b,c"},
        // The latest add of a name decides whether its value is encoded.
        {[](QelFilter& f) { f.add("n", int64_t{3}); f.add("n", std::string("a,b")); }, "n=a%2Cb"},
        {[](QelFilter& f) { f.add("n", std::string("a,b")); f.add("n", std::vector<std::string>{"x", "y"}); }, "n=x,y"},
        {[](QelFilter& f) { f.add("n", std::vector<std::string>{"x"}); f.add("n", true); f.add("n", 2.0); f.add("n", "p q"); },
         "n=p%20q"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        QelFilter filter;
        cases[i].first(filter);
        EXPECT_EQ(filter.createPropertySearchString(), cases[i].second) << "case " << i;
    }
}

TEST(QelFilterTest, EmptyValuesAreSkippedWithALocatedWarningUnlessBelowThreshold) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeltest::ScopedDefaultLoggerFactory scoped(factory);
    QelFilter filter;
    filter.add("a", std::string());
    filter.add("b", std::vector<std::string>{});
    filter.add("c", "x");
    EXPECT_EQ(filter.createPropertySearchString(), "c=x");
    const auto warnings = factory->capture().texts(ILogger::WARNING);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(afterLocation(warnings[0]) + "|" + afterLocation(warnings[1]),
              "propertyValue for a is empty|propertyValue for b is empty");
    EXPECT_EQ(factory->capture().lines()[0].facility, "QelFilter");

    auto quiet = std::make_shared<qeltest::CapturingLoggerFactory>(ILogger::ERROR);
    qeltest::ScopedDefaultLoggerFactory quietScope(quiet);
    QelFilter onlyEmpty;
    onlyEmpty.add("a", std::string());
    EXPECT_EQ(onlyEmpty.createPropertySearchString(), "");
    EXPECT_TRUE(quiet->capture().lines().empty());
}

TEST(QelFilterTest, InvalidArgumentsThrowAndLeaveFilterUnchanged) {
    QelFilter filter;
    filter.add("keep", "1");
    const char* nullValue = nullptr;
    const std::string noName = "propertyName is empty", noText = "propertyName is empty or propertyValue is nullptr";
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { filter.add("", std::string("x")); }, noName}, {[&] { filter.add("", 1); }, noName},
        {[&] { filter.add("", std::vector<double>{1.0}); }, noName}, {[&] { filter.add("", "x"); }, noText},
        {[&] { filter.add("keep", nullValue); }, noText}};
    for (const auto& c : cases) EXPECT_EQ(runtimeErrorText(c.first), c.second);
    EXPECT_EQ(filter.createPropertySearchString(), "keep=1");
}

TEST(QelFilterTest, PassesFilterComparesRenderedMembers) {
    QelFilter none, count, typed, list, text, empty;
    count.add("count", 3);
    typed.add("flag", true); typed.add("ratio", 0.5); typed.add("name", std::string("a b"));
    typed.add("big", std::string("18446744073709551615"));
    list.add("tags", std::vector<std::string>{"a", "b"});
    text.add("a", std::string("x"));
    empty.add("a", std::string());
    const std::vector<std::tuple<const QelFilter*, std::string, bool>> cases = {
        {&none, "{}", true}, {&count, R"({"count":3,"other":"x"})", true}, {&count, R"({"count":"3"})", true},
        {&count, R"({"count":"03"})", false}, {&count, R"({"count":4})", false}, {&count, R"({"other":3})", false},
        {&typed, R"({"flag":true,"ratio":0.5,"name":"a b","big":18446744073709551615})", true},
        {&typed, R"({"flag":"true1","ratio":0.5,"name":"a b","big":18446744073709551615})", false},
        {&typed, R"({"flag":true,"ratio":0.5,"name":"a%20b","big":18446744073709551615})", false},
        {&typed, R"({"flag":true,"ratio":0.5,"name":"a b","big":-1})", false},
        {&list, R"({"tags":"a,b"})", true}, {&list, R"({"tags":"a"})", false},
        // Members of other types render as empty text.
        {&text, R"({"a":{"b":1}})", false}, {&empty, R"({"a":null})", true}, {&empty, R"({"a":[1]})", true},
    };
    for (const auto& c : cases) EXPECT_EQ(std::get<0>(c)->passesFilter(json(std::get<1>(c))), std::get<2>(c)) << std::get<1>(c);
    EXPECT_TRUE(none.passesFilter(nullptr));
    EXPECT_FALSE(text.passesFilter(nullptr));
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
    XObjectDescriptor descriptor("media", "tracks"), empty, onlyOptions("media", "tracks");
    EXPECT_EQ(runtimeErrorText([&] { descriptor.getRelativeUri(); }), "operator* called on uninitialized Optional");
    empty.setId("x");
    onlyOptions.setExpandLevel(QueryOptions::LEVEL_ONE);
    auto& options = descriptor.getQueryOptions();
    expectTexts({
        {[&] { return descriptor.createPropertySearchAndQueryOptionsString(); }, ""},
        {[&] { descriptor.setName("My Song"); descriptor.setId("7"); descriptor.setUri(""); return descriptor.getRelativeUri(); },
         "/media/tracks/7"},
        {[&] { return empty.getRelativeUri(); }, "///x"},
        {[&] { return descriptor.createPropertySearchString(); }, "id=7&name=My%20Song"},
        {[&] { options.setPagingLimit(5); return descriptor.createPropertySearchAndQueryOptionsString(); },
         "$limit=5&id=7&name=My%20Song"},
        {[&] { return descriptor.createQueryOptionsString(); }, "$limit=5"},
        {[&] { return onlyOptions.createPropertySearchAndQueryOptionsString(); }, "$expand=1"},
        // Resetting the query options keeps the filter.
        {[&] {
             descriptor.setExpandLevel(QueryOptions::LEVEL_TWO); options.setPagingOffsetUuid("u"); options.setFieldsFilter({"id"});
             descriptor.resetQueryOptions(); return descriptor.createPropertySearchAndQueryOptionsString();
         },
         "id=7&name=My%20Song"},
    });
}

TEST(DescriptorTest, ProtectedQueryOptionSetters) {
    using Sort = std::vector<QueryOptions::SortbyField>;
    GeneratedDescriptor all, byId, limitOnly;
    const auto q = [](GeneratedDescriptor& d) { return d.createQueryOptionsString(); };
    expectTexts({
        {[&] { all.setQueryOptions({"id"}, QueryOptions::LEVEL_ONE, {"e"}, Sort{{QueryOptions::MINUS, "d"}}, 10, int64_t{20}); return q(all); },
         "$fields=id&$expand=e,1&$sortby=-d&$limit=10&$offset=20"},
        // Empty vectors leave earlier values; the level is always taken.
        {[&] { all.setQueryOptions({}, QueryOptions::LEVEL_ZERO); return q(all); }, "$fields=id&$expand=e&$sortby=-d&$limit=10&$offset=20"},
        {[&] { byId.setQueryOptions({}, QueryOptions::LEVEL_ZERO, {}, {}, 3, std::string("abc")); return q(byId); },
         "$limit=3&$offset=abc"},
        {[&] { byId.setQueryOptionsOffset({}, QueryOptions::LEVEL_ZERO, {}, {}, int64_t{4}); return q(byId); }, "$limit=3&$offset=4"},
        {[&] { limitOnly.setQueryOptionsLimit({"a"}, QueryOptions::LEVEL_THREE, {}, {}, 9); return q(limitOnly); },
         "$fields=a&$expand=3&$limit=9"},
        {[&] { limitOnly.setQueryOptionsOffset({}, QueryOptions::LEVEL_THREE, {}, {}, std::string("z")); return q(limitOnly); },
         "$fields=a&$expand=3&$limit=9&$offset=z"},
        {[&] { limitOnly.setQueryOptions({}, QueryOptions::LEVEL_THREE, {"x"}, {}); return q(limitOnly); },
         "$fields=a&$expand=x,3&$limit=9&$offset=z"},
    });
}

TEST(DescriptorTest, JsonHoldsOnlySetMembersInOrder) {
    XObjectDescriptor descriptor("media", "tracks"), noName;
    noName.setId("1"); noName.setUri("u");
    QelServiceDescriptor service("media");
    ServiceRegistryServiceDescriptor registry;
    std::string host = "h";
    expectTexts({
        {[&] { return descriptor.getAsJson()->toString(); }, "{}"},
        {[&] { descriptor.setName("n"); descriptor.setUri("/media/tracks/1"); descriptor.setId("1"); return descriptor.getAsJson()->toString(); },
         R"({"id":"1","uri":"/media/tracks/1","name":"n"})"},
        {[&] { return descriptor.getAsQELBody()->toString() + noName.getAsQELBody()->toString(); }, R"({"name":"n"}{})"},
        {[&] { return FixedIdDescriptor().getAsJson()->toString(); }, R"({"id":"fixed"})"},
        {[&] { return service.getAsJson()->toString(); }, "{}"},
        {[&] { service.setDescription("d"); service.setVersions({"1"}); service.setPort(8080); return service.getAsJson()->toString(); },
         R"({"port":8080})"},
        {[&] {
             registry = ServiceRegistryServiceDescriptor(service); registry.setName("media"); registry.setHost(&host);
             registry.setPath("/api/media/"); return registry.getAsJson()->toString() + " " + show(registry.getDescription());
         },
         R"({"name":"media","port":8080} d)"},
    });
}

TEST(DescriptorTest, RegistryPathIsCutBeforeServiceNameAlsoInCopies) {
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

    // Copies cut the stored path again with their own name, and own the host text.
    ServiceRegistryServiceDescriptor original, assigned;
    original.setName("navigation"); original.setPath("/x/api/navigation/");
    std::string host = "h";
    original.setHost(&host);
    host = "changed";
    original.setPort(1); original.setName("api");
    ServiceRegistryServiceDescriptor copy(original);
    assigned = original;
    original.setHost(nullptr);
    const auto text = [](const ServiceRegistryServiceDescriptor& d) {
        return show(d.getPath()) + " " + show(d.getHost()) + " " + show(d.getName()) + " " + show(d.getPort());
    };
    EXPECT_EQ(text(copy) + " | " + text(assigned) + " | " + text(original), "/x/ h api 1 | /x/api/ h api 1 | /x/api/ - api 1");
    EXPECT_EQ(text(ServiceRegistryServiceDescriptor{ServiceRegistryServiceDescriptor()}), "- - - -");
}

TEST(DescriptorTest, CopiesAreIndependentValues) {
    QelServiceDescriptor original("media");
    original.setId("1"); original.setServiceCategories({"a"});
    QelServiceDescriptor copy(original);
    copy.setId("2"); copy.getQelFilter().add("x", true); copy.setServiceCategories({});
    EXPECT_EQ(original.createPropertySearchString() + " " + show(original.getServiceCategories()), "id=1 [a]");
    XObjectDescriptor base = copy;
    QelServiceDescriptor converted(base);
    EXPECT_EQ(show(converted.getId()) + " " + show(converted.getServiceCategories()), "2 -");
}

namespace {

// A service as text: its descriptor's service and JSON, then description, categories, privileges and versions.
std::string serviceText(const QelService& s) {
    return s.getDescriptor().getService() + " " + s.getDescriptor().getAsJson()->toString() + " " +
           show(s.getDescription()) + " " + show(s.getServiceCategories()) + " " + show(s.getPrivileges()) + " " +
           show(s.getVersions());
}

// A registry entry as text: host, path, the ports of both descriptors, and the registry descriptor's JSON.
std::string registryText(const ServiceRegistryService& s) {
    return show(s.getHost()) + " " + show(s.getPath()) + " " + show(s.getDescriptor().getPort()) + " " + show(s.getPort()) +
           " " + s.getServiceDescriptor().getAsJson()->toString();
}

}  // namespace

TEST(ModelObjectTest, JsonIsReadIntoTheDescriptorAndWrittenBackInOrder) {
    using Reader = std::function<std::string(const std::string&)>;
    const Reader object = [](const std::string& t) { return XObject<XObjectDescriptor>(json(t)).getDescriptor().getAsJson()->toString(); };
    const Reader fromText = [](const std::string& t) { return XObject<QelServiceDescriptor>(t).getDescriptor().getAsJson()->toString(); };
    const Reader resource = [](const std::string& t) {
        const QelResource r(json(t), "media", "tracks");
        return r.getDescriptor().getService() + "/" + r.getDescriptor().getResource() + " " +
               r.getDescriptor().getAsJson()->toString() + " " + r.getDescriptor().createPropertySearchString();
    };
    const Reader service = [](const std::string& t) { return serviceText(QelService(json(t))); };
    const Reader named = [](const std::string& t) { return serviceText(QelService(json(t), "media", "given")); };
    const std::vector<std::tuple<Reader, std::string, std::string>> cases = {
        {object, R"({"id":"7","name":"n","uri":"/s/r/7","extra":1})", R"({"id":"7","uri":"/s/r/7","name":"n"})"},
        {object, "{}", "{}"},
        {object, R"({"name":"q\"b\\s\/\n\t\u0001\u001f"})", R"({"name":"q\"b\\s/\n\t\u0001\u001F"})"},
        {fromText, R"({"name":"media"})", R"({"name":"media"})"},
        // A resource's id is the last part of its uri unless one is given.
        {resource, R"({"name":"Tracks","uri":"/media/tracks"})",
         R"(media/tracks {"id":"tracks","uri":"/media/tracks","name":"Tracks"} id=tracks&name=Tracks&uri=%2Fmedia%2Ftracks)"},
        {resource, R"({"id":"t1","uri":"/media/tracks"})", R"(media/tracks {"id":"t1","uri":"/media/tracks"} id=t1&uri=%2Fmedia%2Ftracks)"},
        {resource, R"({"uri":"tracks"})", R"(media/tracks {"id":"tracks","uri":"tracks"} id=tracks&uri=tracks)"},
        {resource, R"({"uri":"\\m\\t\\"})", R"(media/tracks {"id":"","uri":"\\m\\t\\"} uri=%5Cm%5Ct%5C)"},
        // The port keeps its low 16 bits; absent members stay unset.
        {service, R"({"id":"1","name":"media","uri":"/media","port":8080,"description":"d",
            "serviceCategories":["a","b"],"privileges":[],"versions":["v1"]})",
         R"( {"id":"1","uri":"/media","name":"media","port":8080} d [a,b] [] [v1])"},
        {service, R"({"name":"media","port":70000})", R"( {"name":"media","port":4464} - - - -)"},
        {service, "{}", " {} - - - -"},
        {named, R"({"name":"tracks","port":2})", R"(media {"name":"tracks","port":2} - - - -)"},
        {named, "{}", R"(media {"name":"given"} - - - -)"},
    };
    for (const auto& c : cases) EXPECT_EQ(std::get<0>(c)(std::get<1>(c)), std::get<2>(c)) << std::get<1>(c);

    EXPECT_EQ(QelService(json(R"({"id":"1","name":"media","uri":"/media"})")).getDescriptor().createPropertySearchString(),
              "id=1&name=media&uri=%2Fmedia");
    XObject<XObjectDescriptor> refilled(json(R"({"id":"7","name":"n"})"));
    refilled.fillFromJson(json(R"({"name":"m"})"));  // absent keys keep the earlier values
    EXPECT_EQ(refilled.getDescriptor().createPropertySearchString(), "id=7&name=m");
}

TEST(ModelObjectTest, MembersOfTheWrongTypeOrBadTextThrow) {
    const std::vector<std::function<void()>> cases = {
        [] { QelService(json(R"({"port":"80"})")); }, [] { QelService(json(R"({"versions":"v1"})")); },
        [] { QelService(json(R"({"versions":[1]})")); }, [] { QelService(json(R"({"name":5})")); },
        [] { XObject<XObjectDescriptor>(json(R"({"id":7})")); }, [] { XObject<XObjectDescriptor>(std::string("{\"name\":")); },
        [] { XObject<XObjectDescriptor>(std::string("[1]")); }, [] { QelResource("m", "t").fillFromJson(json(R"({"uri":1})")); },
    };
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_THROW(cases[i](), qelutil::JsonException) << "case " << i;
}

TEST(ModelObjectTest, CopyWithIdFromUriAndConvertToGeneric) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setName("n");
    XObject<XObjectDescriptor> object(descriptor);
    auto copy = object.copyWithIdFromUri("/media/tracks/42");
    EXPECT_EQ(copy->getDescriptor().getAsJson()->toString() + " " + copy->getDescriptor().getRelativeUri(),
              R"({"id":"42","uri":"/media/tracks/42","name":"n"} /media/tracks/42)");
    EXPECT_FALSE(object.getId().isValid());
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"abc", "abc"}, {"/media/tracks/", ""}, {"a\\b/c\\d", "d"}, {"a\\b/c", "c"}})
        EXPECT_EQ(object.copyWithIdFromUri(c.first)->getId().getValue(), c.second) << c.first;

    QelServiceDescriptor service("media");
    service.setName("media"); service.setPort(1);
    auto generic = XObject<QelServiceDescriptor>(service).convertToGeneric();
    EXPECT_EQ(generic->getDescriptor().getService() + " " + generic->getDescriptor().getAsJson()->toString(),
              R"(media {"name":"media"})");
}

namespace {

class ServiceObjectsTest : public ::testing::Test {
protected:
    std::shared_ptr<qelutil::StreamingLogger> logger() {
        return std::make_shared<qelutil::StreamingLogger>(std::shared_ptr<ILogger>(factory->createLogger("test")));
    }
    std::vector<std::string> warnings() { return factory->capture().texts(ILogger::WARNING); }

    std::shared_ptr<qeltest::CapturingLoggerFactory> factory = std::make_shared<qeltest::CapturingLoggerFactory>();
};

}  // namespace

TEST_F(ServiceObjectsTest, ServiceFillWithLoggerWarnsForEachAbsentMemberInOrder) {
    QelService service(json(R"({"name":"media","port":1})"), logger());
    std::string lines;
    for (const auto& line : warnings()) lines += afterLocation(line) + "|";
    EXPECT_EQ(lines, "no description set for service object with name=media|no serviceCategories set for service object "
                     "with name=media|no privileges set for service object with name=media|no versions set for service "
                     "object with name=media|");
    const auto debug = factory->capture().texts(ILogger::DEBUG);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(afterLocation(debug[0]), "fillFromJson");

    factory->capture().clear();
    QelService nameless(json(R"({"description":"d","serviceCategories":[],"privileges":[],"versions":[]})"), logger());
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(afterLocation(warnings()[0]), "no port set for service object with name=");

    factory->capture().clear();
    factory->setThreshold(ILogger::ERROR);
    QelService quiet(json("{}"), logger());
    EXPECT_TRUE(factory->capture().lines().empty());
    EXPECT_FALSE(QelService(json("{}"), nullptr).getPort().isValid());
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
    ServiceRegistryService service(json(R"({"name":"navigation","uri":"/api/navigation/","port":8080})"), "10.0.0.2",
                                   logger());
    expectTexts({
        {[&] { return registryText(service); }, R"(10.0.0.2 /api/ 8080 8080 {"uri":"/api/navigation/","name":"navigation","port":8080})"},
        {[&] { service.setPort(9000); service.setPath("/b/navigation"); service.setHost(nullptr); return registryText(service); },
         R"(- /b/ 9000 9000 {"uri":"/api/navigation/","name":"navigation","port":9000})"},
        {[&] { return registryText(ServiceRegistryService(json(R"({"name":"nav","port":70000})"), "h", logger())); },
         R"(h - 4464 4464 {"name":"nav","port":4464})"},
        {[&] { return registryText(ServiceRegistryService(json(R"({"name":"nav","uri":"/api/nav","port":5})"))); },
         R"(- /api/ 5 5 {"uri":"/api/nav","name":"nav","port":5})"},
    });
    EXPECT_TRUE(warnings().empty());
    ServiceRegistryService noPort(json(R"({"name":"nav","uri":"/x/"})"), "h", logger());
    EXPECT_EQ(warnings(), std::vector<std::string>{"no port set for service object with name=nav"});
    EXPECT_EQ(registryText(noPort), R"(h /x/ - - {"uri":"/x/","name":"nav"})");

    EXPECT_EQ(runtimeErrorText([] { ServiceRegistryService(json(R"({"uri":"/api/x","port":1})")); }),
              "getValue called on uninitialized Optional");
    EXPECT_EQ(runtimeErrorText([this] { ServiceRegistryService(json(R"({"uri":"/api/x"})"), "h", logger()); }),
              "getValue called on uninitialized Optional");
}

TEST_F(ServiceObjectsTest, RegistryServiceEquality) {
    auto a = ServiceRegistryService(json(R"({"name":"nav","uri":"/a/nav","port":1})"));
    auto b = ServiceRegistryService(json(R"({"name":"nav","uri":"/b/nav","port":1,"id":"x","versions":["v"]})"));
    std::string host = "h";
    const std::vector<std::pair<std::function<void()>, bool>> steps = {
        {[] {}, true}, {[&] { b.setResolved(true); }, false}, {[&] { a.setResolved(true); }, true},
        {[&] { a.setHost(&host); }, false}, {[&] { b.setHost(&host); }, true}, {[&] { a.setPort(2); }, false},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        steps[i].first();
        EXPECT_EQ(a == b, steps[i].second) << "step " << i;
    }
    EXPECT_FALSE(ServiceRegistryService(json(R"({"name":"nav"})")) == ServiceRegistryService(json(R"({"name":"other"})")));
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
    const std::string all = fromJson(text, count)->toString();
    return all.substr(0, all.find(", offsetId="));  // the links are checked separately
}

PagingObject paging(qelutil::Optional<int64_t> total, int64_t totalPages, int64_t limit) {
    PagingObject paging;
    paging.total = total;
    paging.totalPages = totalPages;
    paging.limit = limit;
    return paging;
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

    // The links and the offset id are taken as sent, the offset id never derived.
    const auto links = [](const std::shared_ptr<PagingObject>& p) {
        const std::string all = p->toString();
        return all.substr(all.find("offsetId="));
    };
    EXPECT_EQ(links(fromJson(R"({"limit":25,)" + prev + previous + R"(","next":")" + next + R"("})")),
              "offsetId=invalid, previous=" + previous + ", next=" + next);
    EXPECT_EQ(links(fromJson(R"({"offsetId":"abc"})")), "offsetId=abc, previous=invalid, next=invalid");
    EXPECT_EQ(links(fromJson(R"({"offsetId":12,"previous":25,"next":{"href":"x"}})")),
              "offsetId=invalid, previous=invalid, next=invalid");
}

TEST(PagingObjectTest, FirstUseFromManyThreads) {
    const auto json = qelutil::JsonFactory::parseObject(R"({"limit":25,"previous":")" + linkWithOffset("25") + R"("})");
    std::vector<int64_t> offsets(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < offsets.size(); ++i)
        threads.emplace_back([&, i] { offsets[i] = PagingObject::createFromJson(*json, 0)->offset.getValue(); });
    for (auto& thread : threads) thread.join();
    for (int64_t offset : offsets) EXPECT_EQ(50, offset);
}

TEST(PagingObjectTest, TextMarksUnsetFieldsAndPagingNeedsMoreThanOnePage) {
    PagingObject set = paging(101, 5, 25);
    set.offset = -5; set.offsetId = std::string("id-7"); set.next = std::string("/n?$offset=20");
    const auto state = [](const PagingObject& p) {
        return std::string(p.isValid() ? "valid" : "invalid") + (p.isPagingEnabled() ? " paged" : " one page");
    };
    expectTexts({
        {[] { return PagingObject().toString(); },
         "offset=invalid, limit=invalid, total=invalid, totalPages=invalid, offsetId=invalid, previous=invalid, next=invalid"},
        {[&] { return set.toString(); },
         "offset=-5, limit=25, total=101, totalPages=5, offsetId=id-7, previous=invalid, next=/n?$offset=20"},
        {[&] { return state(paging({}, 3, 10)); }, "invalid one page"},
        {[&] { return state(paging(30, 3, 10)); }, "valid paged"},
        {[&] { return state(paging(30, 1, 10)); }, "valid one page"},
        {[&] { return state(*fromJson("{}")) + ", " + state(*fromJson("{}", 10)); }, "valid one page, valid one page"},
        {[&] { return state(*fromJson(R"({"total":26,"limit":25})")); }, "valid paged"},
    });
}

TEST(PagingObjectTest, WarningsNameUnsetFieldsInOrderAndTooFewPages) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qelutil::StreamingLogger logger{std::shared_ptr<ILogger>(factory->createLogger("paging"))};
    const int64_t max = std::numeric_limits<int64_t>::max();
    const std::string tooFew = "limit * totalPages is smaller than total in paging object";
    const std::string invalid = "paging object is invalid";
    const std::vector<std::pair<PagingObject, std::vector<std::string>>> cases = {
        {PagingObject(),
         {"total of paging object is invalid", "totalPages of paging object is invalid",
          "limit of paging object is invalid", invalid}},
        {paging({}, 2, 10), {"total of paging object is invalid", invalid}},
        {paging(100, 3, 25), {tooFew}}, {paging(100, -1, 25), {tooFew}}, {paging(100, 4, 25), {}}, {paging(0, 0, 25), {}},
        // A limit below 1 is not judged; products beyond the 64-bit range are judged by their sign.
        {paging(100, 0, 0), {}}, {paging(max, 2, max), {}}, {paging(5, -2, max), {tooFew}},
        // What createFromJson completes is consistent.
        {*fromJson(R"({"total":101,"limit":25})"), {}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        factory->capture().clear();
        PagingObject::printWarnings(cases[i].first, logger);
        EXPECT_TRUE(factory->capture().texts(ILogger::INFO).empty());
        EXPECT_EQ(factory->capture().texts(ILogger::WARNING), cases[i].second) << "case " << i;
    }
}

}  // namespace

namespace {

TEST(QelResponseTest, MultipleChoiceTextMarksAbsentFields) {
    QelResponse::MultipleChoice choice;
    const auto text = [](const std::string& value) { return std::make_shared<std::string>(value); };
    expectTexts({
        {[&] { return choice.toString(); }, "MultipleChoice{hostAddress=invalid, versions=invalid,description=invalid}"},
        {[&] {
             choice.hostAddress = text("http://10.0.0.1:80"); choice.versions = text("1.0,2.0"); choice.description = text("primary");
             return choice.toString();
         },
         "MultipleChoice{hostAddress=http://10.0.0.1:80, versions=1.0,2.0,description=primary}"},
        {[&] { choice.hostAddress.reset(); return choice.toString(); },
         "MultipleChoice{hostAddress=invalid, versions=1.0,2.0,description=primary}"},
    });
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
