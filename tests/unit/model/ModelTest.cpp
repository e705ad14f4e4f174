#include "support/TestText.h"
#include "support/CapturingLoggerFactory.h"

#include <QelAccess/PagingObject.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelResource.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/ServiceRegistryService.h>
#include <QelAccessUtility/JsonException.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace qel;
using qeltest::json;
using qelutil::ILogger;

namespace {

// Optional members as text, "-" for unset ones.
std::string show(const qelutil::Optional<std::string>& value) { return value.isValid() ? value.getValue() : "-"; }
template <typename N>
std::string show(const qelutil::Optional<N>& value) { return value.isValid() ? std::to_string(value.getValue()) : "-"; }
std::string show(const qelutil::Optional<std::vector<std::string>>& value) {
    std::string text;
    for (const auto& item : value.getValueOr({})) text += (text.empty() ? "" : ",") + item;
    return value.isValid() ? "[" + text + "]" : "-";
}

// The text after the location prefix ("<file>:<line> ").
std::string afterLocation(const std::string& line) {
    static const std::regex located(R"(^.+:[0-9]+ (.*)$)");
    std::smatch match;
    return std::regex_match(line, match, located) ? match[1].str() : "<no location prefix> " + line;
}

// Builds an object in a case of its own and renders it; checks the texts in order.
template <typename T, typename Render>
void expectRendered(const std::vector<std::pair<std::function<void(T&)>, std::string>>& cases, Render render) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        T object;
        cases[i].first(object);
        EXPECT_EQ(render(object), cases[i].second) << "case " << i;
    }
}

// Texts of log lines joined with "|" after each, with the location prefix cut off when `located`.
std::string joined(const std::vector<std::string>& lines, bool located = false) {
    std::string text;
    for (const auto& line : lines) text += (located ? afterLocation(line) : line) + "|";
    return text;
}

// Exposes the protected query option setters the way a generated descriptor would use them.
struct GeneratedDescriptor : XObjectDescriptor {
    GeneratedDescriptor() : XObjectDescriptor("media", "tracks") {}
    using XObjectDescriptor::setQueryOptions, XObjectDescriptor::setQueryOptionsLimit;
    using XObjectDescriptor::setQueryOptionsOffset;
};

template <typename T> std::string jsonOf(const T& object) { return object.getDescriptor().getAsJson()->toString(); }

// A service as text: its descriptor's service and JSON, description, categories, privileges, versions and filter.
std::string serviceText(const QelService& s) {
    return s.getDescriptor().getService() + " " + jsonOf(s) + " " + show(s.getDescription()) + " " +
           show(s.getServiceCategories()) + " " + show(s.getPrivileges()) + " " + show(s.getVersions()) + " " +
           s.getDescriptor().createPropertySearchString();
}

// A registry entry as text: host, path, the ports of both descriptors, and the registry descriptor's JSON.
std::string registryText(const ServiceRegistryService& s) {
    return show(s.getHost()) + " " + show(s.getPath()) + " " + show(s.getDescriptor().getPort()) + " " +
           show(s.getPort()) + " " + s.getServiceDescriptor().getAsJson()->toString();
}

std::shared_ptr<PagingObject> fromJson(const std::string& text, int64_t count = 0) {
    return PagingObject::createFromJson(*qelutil::JsonFactory::parseObject(text), count);
}

std::string linkWithOffset(const std::string& offset) {
    return "http://127.0.0.1:8080/media/tracks?$offset=" + offset + "&$limit=25";
}

PagingObject paging(qelutil::Optional<int64_t> total, int64_t totalPages, int64_t limit) {
    PagingObject p; p.total = total; p.totalPages = totalPages; p.limit = limit; return p;
}

// The fields of a paging object: offset, limit, total and total pages, then offset id and links.
std::string fields(const PagingObject& p) {
    return show(p.offset) + " " + show(p.limit) + " " + show(p.total) + " " + show(p.totalPages) + " | " +
           show(p.offsetId) + " " + show(p.previous) + " " + show(p.next);
}

struct EmptyTextError : std::exception { const char* what() const noexcept override { return ""; } };

}  // namespace

TEST(QueryOptionsTest, QueryTextHasFixedOrderEncodedFieldNamesAndOneOffset) {
    using Q = QueryOptions;
    using Number = qelutil::Optional<int64_t>;
    expectRendered<Q>({
        {[](Q&) {}, ""},
        // Set in an order different from the output order.
        {[](Q& o) {
             o.setPagingOffset(20); o.setPagingLimit(10); o.setSortbyFields({{Q::MINUS, "date"}, {Q::PLUS, "title"}});
             o.setExpandLevel(Q::LEVEL_TWO); o.setFieldsFilter({"id", "name"});
         }, "$fields=id,name&$expand=2&$sortby=-date,title&$limit=10&$offset=20"},
        // Expand fields and level share one parameter; level zero is not written.
        {[](Q& o) { o.setExpandLevel(Q::LEVEL_ONE); o.setExpandLevel(Q::LEVEL_ZERO); o.setExpandFields({"a"}); },
         "$expand=a"},
        {[](Q& o) { o.setExpandFields({"a", "b"}); o.setExpandLevel(Q::LEVEL_TWO); }, "$expand=a,b,2"},
        // Field names are encoded, sort fields are not.
        {[](Q& o) {
             o.addToFieldsFilter("first name"); o.addToFieldsFilter("a&b"); o.setExpandFields({"x y"});
             o.setSortbyFields({{Q::MINUS, "last name"}});
         }, "$fields=first%20name,a%26b&$expand=x%20y&$sortby=-last name"},
        {[](Q& o) { o.addToFieldsFilter("a"); o.setExpandFields({"x y"}); o.clearFieldsFilter(); }, "$expand=x%20y"},
        // Limit, numeric offset and offset id are independent; the numeric offset wins.
        {[](Q& o) { o.setPagingLimit(5); o.setPagingOffsetUuid("a b"); }, "$limit=5&$offset=a b"},
        {[](Q& o) { o.setPagingLimit(5); o.setPagingOffsetUuid("a b"); o.setPagingOffset(7); }, "$limit=5&$offset=7"},
        {[](Q& o) { o.setPagingLimit(5); o.setPagingOffset(7); o.setPagingLimitUnspecified(); }, "$offset=7"},
        {[](Q& o) { o.setPagingOffsetUuid("a"); o.setPagingOffset(7); o.setPagingOffset(Number()); }, "$offset=a"},
        {[](Q& o) { o.setPagingOffsetUuid("a b"); o.setPagingOffsetUuidUnspecified(); }, ""},
        {[](Q& o) { o.setPagingLimit(Number(0)); o.setPagingOffset(-3); }, "$limit=0&$offset=-3"},
    }, [](const Q& o) { return o.createQueryString(); });
}

TEST(QelFilterTest, SearchTextEncodesNamesAndStringValuesInNameOrder) {
    using F = QelFilter;
    expectRendered<F>({
        {[](F&) {}, ""},
        {[](F& f) { f.add("city", std::string("New York")); f.add("active", true); f.add("Zone", "a/b"); },
         "Zone=a%2Fb&active=true&city=New%20York"},
        {[](F& f) { f.add("a b", std::string("c")); }, "a%20b=c"},
        {[](F& f) { f.addId("1 2"); f.addName("n"); f.addUri("/a/b"); }, "id=1%202&name=n&uri=%2Fa%2Fb"},
        // Values of the number and list overloads are sent as formatted: the "%" and "," stay.
        {[](F& f) {
             f.add("i", 7); f.add("l", int64_t{-9000000000}); f.add("d", 1.5);
             f.add("bs", std::vector<bool>{true, false}); f.add("ls", std::vector<int64_t>{1, -2});
             f.add("ds", std::vector<double>{0.25, -1.0}); f.add("ss", std::vector<std::string>{"a b", "c"});
         }, "bs=true,false&d=1.500000&ds=0.250000,-1.000000&i=7&l=-9000000000&ls=1,-2&ss=a%20b,c"},
        // The latest add of a name decides whether its value is encoded.
        {[](F& f) { f.add("n", int64_t{3}); f.add("n", std::string("a,b")); }, "n=a%2Cb"},
        {[](F& f) { f.add("n", std::string("a,b")); f.add("n", std::vector<std::string>{"x", "y"}); }, "n=x,y"},
        {[](F& f) { f.add("n", true); f.add("n", 2.0); f.add("n", "p q"); }, "n=p%20q"},
    }, [](const F& f) { return f.createPropertySearchString(); });
}

TEST(QelFilterTest, EmptyValuesAreSkippedWithALocatedWarningUnlessBelowThreshold) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qeltest::ScopedDefaultLoggerFactory scoped(factory);
    QelFilter filter;
    filter.add("a", std::string()); filter.add("b", std::vector<std::string>{}); filter.add("c", "x");
    EXPECT_EQ(filter.createPropertySearchString(), "c=x");
    EXPECT_EQ(joined(factory->capture().texts(ILogger::WARNING), true),
              "propertyValue for a is empty|propertyValue for b is empty|");
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
    for (const auto& c : cases) EXPECT_EQ(qeltest::runtimeErrorText(c.first), c.second);
    EXPECT_EQ(filter.createPropertySearchString(), "keep=1");
}

TEST(QelFilterTest, FilterMapFollowsEveryAddAndStaysWithItsFilter) {
    using Map = std::map<std::string, std::string>;
    QelFilter filter;
    filter.add("b", 2);
    const Map& map = filter.getFilterMap();
    filter.add("a", "x"); filter.add("b", std::string("y"));
    EXPECT_EQ(map, (Map{{"a", "x"}, {"b", "y"}}));
    QelFilter copy(filter);
    copy.add("c", true);
    EXPECT_EQ(copy.getFilterMap(), (Map{{"a", "x"}, {"b", "y"}, {"c", "true"}}));
    QelFilter moved(std::move(filter));
    EXPECT_EQ(moved.getFilterMap(), (Map{{"a", "x"}, {"b", "y"}}));
    filter = copy;
    EXPECT_EQ(&map, &filter.getFilterMap());
    EXPECT_EQ(map, copy.getFilterMap());
    // Two threads asking for the map at once get the same one.
    const QelFilter fresh(copy);
    const Map* seen[2] = {nullptr, nullptr};
    std::thread other([&] { seen[0] = &fresh.getFilterMap(); });
    seen[1] = &fresh.getFilterMap();
    other.join();
    EXPECT_EQ(seen[0], seen[1]);
}

TEST(QelFilterTest, PassesFilterComparesRenderedMembers) {
    QelFilter none, count, typed, list, text, empty;
    count.add("count", 3);
    typed.add("flag", true); typed.add("ratio", 0.5); typed.add("name", std::string("a b"));
    typed.add("big", std::string("18446744073709551615"));
    list.add("tags", std::vector<std::string>{"a", "b"}); text.add("a", "x"); empty.add("a", std::string());
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
    for (const auto& [filter, input, passes] : cases) EXPECT_EQ(filter->passesFilter(json(input)), passes) << input;
    EXPECT_TRUE(none.passesFilter(nullptr));
    EXPECT_FALSE(text.passesFilter(nullptr));
}

TEST(DescriptorTest, RelativeUriAndSearchTexts) {
    XObjectDescriptor track("media", "tracks"), empty, onlyOptions("media", "tracks");
    EXPECT_EQ(qeltest::runtimeErrorText([&] { track.getRelativeUri(); }), "operator* called on uninitialized Optional");
    EXPECT_EQ(track.createPropertySearchAndQueryOptionsString(), "");
    track.setName("My Song"); track.setId("7"); track.setUri(""); empty.setId("x");
    EXPECT_EQ(track.getRelativeUri() + " " + empty.getRelativeUri() + " " + track.createPropertySearchString(),
              "/media/tracks/7 ///x id=7&name=My%20Song");
    track.getQueryOptions().setPagingLimit(5);
    onlyOptions.setExpandLevel(QueryOptions::LEVEL_ONE);
    EXPECT_EQ(track.createPropertySearchAndQueryOptionsString() + " " + track.createQueryOptionsString() + " " +
                  onlyOptions.createPropertySearchAndQueryOptionsString(),
              "$limit=5&id=7&name=My%20Song $limit=5 $expand=1");
    // Resetting the query options keeps the filter.
    track.setExpandLevel(QueryOptions::LEVEL_TWO); track.getQueryOptions().setPagingOffsetUuid("u");
    track.getQueryOptions().setFieldsFilter({"id"}); track.resetQueryOptions();
    EXPECT_EQ(track.createPropertySearchAndQueryOptionsString(), "id=7&name=My%20Song");
}

TEST(DescriptorTest, ProtectedQueryOptionSetters) {
    using Sort = std::vector<QueryOptions::SortbyField>;
    const auto one = QueryOptions::LEVEL_ONE, zero = QueryOptions::LEVEL_ZERO, three = QueryOptions::LEVEL_THREE;
    GeneratedDescriptor all, byId, limitOnly;
    const std::vector<std::tuple<std::function<void()>, GeneratedDescriptor*, std::string>> steps = {
        {[&] { all.setQueryOptions({"id"}, one, {"e"}, Sort{{QueryOptions::MINUS, "d"}}, 10, int64_t{20}); }, &all,
         "$fields=id&$expand=e,1&$sortby=-d&$limit=10&$offset=20"},
        // Empty vectors leave earlier values; the level is always taken.
        {[&] { all.setQueryOptions({}, zero); }, &all, "$fields=id&$expand=e&$sortby=-d&$limit=10&$offset=20"},
        {[&] { byId.setQueryOptions({}, zero, {}, {}, 3, std::string("abc")); }, &byId, "$limit=3&$offset=abc"},
        {[&] { byId.setQueryOptionsOffset({}, zero, {}, {}, int64_t{4}); }, &byId, "$limit=3&$offset=4"},
        {[&] { limitOnly.setQueryOptionsLimit({"a"}, three, {}, {}, 9); }, &limitOnly, "$fields=a&$expand=3&$limit=9"},
        {[&] { limitOnly.setQueryOptionsOffset({}, three, {}, {}, std::string("z")); }, &limitOnly,
         "$fields=a&$expand=3&$limit=9&$offset=z"},
    };
    for (const auto& [call, target, expected] : steps) {
        call();
        EXPECT_EQ(target->createQueryOptionsString(), expected);
    }
}

TEST(DescriptorTest, RegistryPathIsCutBeforeServiceNameAlsoInCopies) {
    const auto cut = [](const std::string& name, const std::string& path) {
        ServiceRegistryServiceDescriptor descriptor;
        descriptor.setName(name);
        descriptor.setPath(path);
        return show(descriptor.getPath());
    };
    EXPECT_EQ(cut("navigation", "/api/navigation/") + " " + cut("navigation", "/x/navigation/navigation") + " " +
                  cut("navigation", "/a/b") + " " + cut("", "/a/b"),
              "/api/ /x/ /a/b /a/b");
    ServiceRegistryServiceDescriptor bare;
    EXPECT_EQ(qeltest::runtimeErrorText([&] { bare.setPath("/api/"); }), "getValue called on uninitialized Optional");

    // Copies cut the stored path again with their own name; assignment does not. Each owns its host text.
    ServiceRegistryServiceDescriptor original, assigned;
    original.setName("navigation"); original.setPath("/x/api/navigation/");
    std::string host = "h";
    original.setHost(&host); host = "changed"; original.setPort(1); original.setName("api");
    ServiceRegistryServiceDescriptor copy(original);
    assigned = original; original.setHost(nullptr);
    const auto text = [](const ServiceRegistryServiceDescriptor& d) {
        return show(d.getPath()) + " " + show(d.getHost()) + " " + show(d.getName()) + " " + show(d.getPort()) + "|";
    };
    EXPECT_EQ(text(copy) + text(assigned) + text(original) + text(ServiceRegistryServiceDescriptor{bare}),
              "/x/ h api 1|/x/api/ h api 1|/x/api/ - api 1|- - - -|");
}

TEST(ModelObjectTest, JsonIsReadIntoTheDescriptorAndWrittenBackInOrderOrRefused) {
    using Reader = std::function<std::string(const std::string&)>;
    const Reader object = [](const std::string& t) { return jsonOf(XObject<XObjectDescriptor>(json(t))); };
    const Reader fromText = [](const std::string& t) { return jsonOf(XObject<QelServiceDescriptor>(t)); };
    const Reader resource = [](const std::string& t) {
        const QelResource r(json(t), "media", "tracks");
        return r.getDescriptor().getService() + "/" + r.getDescriptor().getResource() + " " + jsonOf(r);
    };
    const Reader service = [](const std::string& t) { return serviceText(QelService(json(t))); };
    const Reader named = [](const std::string& t) { return serviceText(QelService(json(t), "media", "given")); };
    const Reader registry = [](const std::string& t) { return registryText(ServiceRegistryService(json(t))); };
    const Reader listed = [](const std::string& t) {
        return registryText(ServiceRegistryService(json(t), "h", nullptr));
    };
    const std::string unset = "getValue called on uninitialized Optional";
    const std::vector<std::tuple<Reader, std::string, std::string>> cases = {
        {object, R"({"id":"7","name":"n","uri":"/s/r/7","extra":1})", R"({"id":"7","uri":"/s/r/7","name":"n"})"},
        {object, R"({"name":"q\"b\\s\/\n\t\u0001\u001f"})", R"({"name":"q\"b\\s/\n\t\u0001\u001F"})"},
        {object, "{}", "{}"}, {fromText, R"({"name":"media"})", R"({"name":"media"})"},
        // A resource's id is the last part of its uri unless one is given.
        {resource, R"({"name":"Tracks","uri":"/media/tracks"})",
         R"(media/tracks {"id":"tracks","uri":"/media/tracks","name":"Tracks"})"},
        {resource, R"({"id":"t1","uri":"/media/tracks"})", R"(media/tracks {"id":"t1","uri":"/media/tracks"})"},
        {resource, R"({"uri":"tracks"})", R"(media/tracks {"id":"tracks","uri":"tracks"})"},
        {resource, R"({"uri":"\\m\\t\\"})", R"(media/tracks {"id":"","uri":"\\m\\t\\"})"},
        // The port keeps its low 16 bits; absent members stay unset; the JSON holds no description or lists.
        {service, R"({"id":"1","name":"media","uri":"/media","port":8080,"description":"d",
            "serviceCategories":["a","b"],"privileges":[],"versions":["v1"]})",
         R"( {"id":"1","uri":"/media","name":"media","port":8080} d [a,b] [] [v1] id=1&name=media&uri=%2Fmedia)"},
        {service, R"({"name":"media","port":70000})", R"( {"name":"media","port":4464} - - - - name=media)"},
        {service, "{}", " {} - - - - "},
        {named, R"({"name":"tracks","port":2})", R"(media {"name":"tracks","port":2} - - - - name=tracks)"},
        {named, "{}", R"(media {"name":"given"} - - - - name=given)"},
        // A registry entry's path is its uri cut before the service name; the JSON holds no host or path.
        {listed, R"({"name":"navigation","uri":"/api/navigation/","port":8080})",
         R"(h /api/ 8080 8080 {"uri":"/api/navigation/","name":"navigation","port":8080})"},
        {listed, R"({"name":"nav","port":70000})", R"(h - 4464 4464 {"name":"nav","port":4464})"},
        {listed, R"({"name":"nav","uri":"/x/"})", R"(h /x/ - - {"uri":"/x/","name":"nav"})"},
        {registry, R"({"name":"nav","uri":"/a/nav","port":5})", R"(- /a/ 5 5 {"uri":"/a/nav","name":"nav","port":5})"},
        {registry, R"({"uri":"/api/x","port":1})", unset}, {listed, R"({"uri":"/api/x"})", unset},
        // Members of the wrong type, and texts that hold no object.
        {service, R"({"port":"80"})", "JsonException"}, {service, R"({"versions":"v1"})", "JsonException"},
        {service, R"({"versions":[1]})", "JsonException"}, {service, R"({"name":5})", "JsonException"},
        {object, R"({"id":7})", "JsonException"}, {resource, R"({"uri":1})", "JsonException"},
        {fromText, "{\"name\":", "JsonException"}, {fromText, "[1]", "JsonException"},
    };
    for (const auto& [read, input, expected] : cases) {
        std::string text;
        try {
            text = read(input);
        } catch (const qelutil::JsonException&) {
            text = "JsonException";
        } catch (const std::runtime_error& e) {
            text = e.what();
        }
        EXPECT_EQ(text, expected) << input;
    }
    XObject<XObjectDescriptor> refilled(json(R"({"id":"7","name":"n"})"));
    refilled.fillFromJson(json(R"({"name":"m"})"));  // absent keys keep the earlier values
    EXPECT_EQ(jsonOf(refilled) + refilled.getDescriptor().getAsQELBody()->toString(),
              R"({"id":"7","name":"m"}{"name":"m"})");
    EXPECT_EQ(XObject<XObjectDescriptor>(json(R"({"id":"7"})")).getDescriptor().getAsQELBody()->toString(), "{}");
}

TEST(ModelObjectTest, CopyWithIdFromUriAndConvertToGeneric) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setName("n");
    XObject<XObjectDescriptor> object(descriptor);
    auto copy = object.copyWithIdFromUri("/media/tracks/42");
    EXPECT_EQ(jsonOf(*copy) + " " + copy->getDescriptor().getRelativeUri() + " " + show(object.getId()),
              R"({"id":"42","uri":"/media/tracks/42","name":"n"} /media/tracks/42 -)");
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"abc", "abc"}, {"/media/tracks/", ""}, {"a\\b/c\\d", "d"}, {"a\\b/c", "c"}})
        EXPECT_EQ(object.copyWithIdFromUri(c.first)->getId().getValue(), c.second) << c.first;

    QelServiceDescriptor service("media");
    service.setName("media"); service.setPort(1);
    auto generic = XObject<QelServiceDescriptor>(service).convertToGeneric();
    EXPECT_EQ(generic->getDescriptor().getService() + " " + jsonOf(*generic), R"(media {"name":"media"})");
}

TEST(ModelObjectTest, ServiceFillWithLoggerWarnsForEachAbsentMemberInOrder) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    const auto logger = std::make_shared<qelutil::StreamingLogger>(factory->createLogger("t"));
    // The warnings of reading `text` as a service, or as a registry entry (whose warning has no location).
    const auto warnings = [&](const std::string& text, bool entry) {
        factory->capture().clear();
        if (entry) ServiceRegistryService(json(text), "h", logger); else QelService(json(text), logger);
        return joined(factory->capture().texts(ILogger::WARNING), !entry);
    };
    const std::string m = " set for service object with name=media|";
    EXPECT_EQ(warnings(R"({"name":"media","port":1})", false),
              "no description" + m + "no serviceCategories" + m + "no privileges" + m + "no versions" + m);
    EXPECT_EQ(joined(factory->capture().texts(ILogger::DEBUG), true), "fillFromJson|");
    EXPECT_EQ(warnings(R"({"description":"d","serviceCategories":[],"privileges":[],"versions":[]})", false),
              "no port set for service object with name=|");
    EXPECT_EQ(warnings(R"({"name":"nav","port":1})", true) + warnings(R"({"name":"nav","uri":"/x/"})", true),
              "no port set for service object with name=nav|");
    EXPECT_FALSE(QelService(json("{}"), nullptr).getPort().isValid());
}

TEST(ModelObjectTest, EqualityComparesNamePortListsAndResolutionButNotIdOrUri) {
    const QelService reference(json(R"({"name":"m","versions":["a"],"serviceCategories":["a"]})"));
    std::string equal;
    for (const char* text : {R"({"name":"m","versions":["a"],"serviceCategories":["a"],"id":"9","uri":"/x"})",
                             R"({"name":"x","versions":["a"],"serviceCategories":["a"]})",
                             R"({"name":"m","versions":["a"],"serviceCategories":["a"],"port":1})",
                             R"({"name":"m","versions":["a"],"serviceCategories":["a"],"description":""})",
                             R"({"name":"m","versions":["a"],"serviceCategories":["a"],"privileges":[]})",
                             R"({"name":"m","versions":["a","b"],"serviceCategories":["a"]})",
                             R"({"name":"m","versions":["a"],"serviceCategories":["b"]})"})
        equal += QelService(json(text)) == reference ? "=" : "!";
    EXPECT_EQ(equal, "=!!!!!!");
    EXPECT_TRUE(QelService() == QelService(json("{}")));

    ServiceRegistryService a(json(R"({"name":"nav","uri":"/a/nav","port":1})"));
    ServiceRegistryService b(json(R"({"name":"nav","uri":"/b/nav","port":1,"id":"x","versions":["v"]})"));
    std::string host = "h";
    const std::vector<std::function<void()>> steps = {[] {}, [&] { b.setResolved(true); }, [&] { a.setResolved(true); },
                                                      [&] { a.setHost(&host); }, [&] { b.setHost(&host); },
                                                      [&] { a.setPort(2); }};
    std::string same;
    for (const auto& step : steps) {
        step();
        same += a == b ? "=" : "!";
    }
    EXPECT_EQ(same, "=!=!=!");
    EXPECT_FALSE(ServiceRegistryService(json(R"({"name":"nav"})")) == ServiceRegistryService(json(R"({"name":"x"})")));
    // A new port reaches both descriptors of a registry entry; a new path is cut again.
    a.setPath("/b/nav"); a.setHost(nullptr);
    EXPECT_EQ(registryText(a), R"(- /b/ 2 2 {"uri":"/a/nav","name":"nav","port":2})");
}

TEST(PagingObjectTest, FieldsAreCompletedFromTheCountAndTheLinks) {
    const std::string previous = linkWithOffset("25"), next = linkWithOffset("75");
    const std::string plain = "http://127.0.0.1:8080/media/tracks?$limit=25", prev = R"({"previous":")";
    const std::string both = R"({"limit":25,"previous":")" + previous + R"(","next":")" + next + R"("})";
    const std::vector<std::tuple<std::string, int64_t, std::string>> cases = {
        {"{}", 0, "- 25 0 0"}, {"{}", 10, "- 10 10 1"},
        // Total pages round up; one sent by the server is kept however inconsistent.
        {R"({"total":101,"limit":25})", 0, "- 25 101 5"}, {R"({"total":100,"limit":25})", 0, "- 25 100 4"},
        {R"({"total":1,"limit":25})", 0, "- 25 1 1"}, {R"({"limit":4})", 9, "- 4 9 3"},
        {R"({"total":100,"limit":25,"totalPages":7})", 0, "- 25 100 7"},
        // A limit below one does not divide.
        {R"({"total":7,"limit":0})", 0, "- 0 7 1"}, {R"({"total":0,"limit":0})", 0, "- 0 0 0"},
        {R"({"total":7,"limit":-3})", 0, "- -3 7 1"},
        {R"({"total":-9223372036854775808,"limit":-1})", 0, "- -1 -9223372036854775808 0"},
        // The offset is derived from the links; without a limit the count is the page size.
        {both, 0, "50 25 0 0 | - " + previous + " " + next},
        {R"({"limit":25,"previous":")" + previous + R"("})", 0, "50 25 0 0"},
        {R"({"limit":25,"next":")" + next + R"("})", 0, "0 25 0 0"}, {prev + previous + R"("})", 10, "35 10 10 1"},
        // The last "$offset=" of a link is the one taken; a given offset is never replaced.
        {R"({"limit":10,"previous":"p","next":"/r?$offset=10&x=$offset=60"})", 0, "50 10 0 0"},
        {R"({"offset":3,"limit":25,"previous":")" + previous + R"("})", 0, "3 25 0 0"},
        // Links without a usable offset, or with numbers that leave the 64-bit range.
        {prev + plain + R"(","next":")" + plain + R"("})", 0, "- 25 0 0"}, {prev + plain + R"("})", 0, "- 25 0 0"},
        {R"({"previous":"/r?$offset=&x=1"})", 0, "- 25 0 0"}, {R"({"previous":"/r?offset=25"})", 0, "- 25 0 0"},
        {prev + linkWithOffset("99999999999999999999") + R"("})", 0, "- 25 0 0"},
        {prev + linkWithOffset("9223372036854775807") + R"("})", 0, "- 25 0 0"},
        {R"({"limit":25,"previous":"p","next":")" + linkWithOffset("9223372036854775807") + R"("})", 0,
         "9223372036854775782 25 0 0"},
        // A huge link is dropped instead of exhausting the stack in the matcher.
        {prev + "/r?$offset=5&" + std::string(200000, 'a') + R"("})", 0, "- 25 0 0"},
        // Members of the wrong type are ignored; the offset id is taken as sent, never derived.
        {R"({"limit":"25","total":"100","totalPages":2.5,"offset":"7","offsetId":12,"previous":25,"next":{}})",
         4, "- 4 4 1 | - - -"},
        {R"({"limit":null,"total":null,"next":null,"offset":18446744073709551615})", 0, "- 25 0 0"},
        {R"({"offsetId":"abc"})", 0, "- 25 0 0 | abc - -"},
    };
    for (const auto& [input, count, expected] : cases) {
        const std::string all = fields(*fromJson(input, count));
        // The offset id and links are checked where the expected text names them.
        EXPECT_EQ(expected.find('|') == std::string::npos ? all.substr(0, all.find(" |")) : all, expected)
            << input.substr(0, 99);
    }
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
    EXPECT_EQ(PagingObject().toString(), "offset=invalid, limit=invalid, total=invalid, totalPages=invalid, "
                                         "offsetId=invalid, previous=invalid, next=invalid");
    EXPECT_EQ(fromJson(R"({"offset":-5,"limit":2,"total":9,"totalPages":5,"offsetId":"i7","next":"/n"})")->toString(),
              "offset=-5, limit=2, total=9, totalPages=5, offsetId=i7, previous=invalid, next=/n");

    std::string states;
    for (const auto& p : {paging({}, 3, 10), paging(30, 3, 10), paging(30, 1, 10), *fromJson("{}"), *fromJson("{}", 10),
                          *fromJson(R"({"total":26,"limit":25})")})
        states += std::string(p.isValid() ? "valid" : "invalid") + (p.isPagingEnabled() ? " paged|" : " one page|");
    EXPECT_EQ(states, "invalid one page|valid paged|valid one page|valid one page|valid one page|valid paged|");
}

TEST(PagingObjectTest, WarningsNameUnsetFieldsInOrderAndTooFewPages) {
    auto factory = std::make_shared<qeltest::CapturingLoggerFactory>();
    qelutil::StreamingLogger logger{std::shared_ptr<ILogger>(factory->createLogger("paging"))};
    const int64_t max = INT64_MAX;
    const std::string tooFew = "limit * totalPages is smaller than total in paging object|";
    const std::string of = " of paging object is invalid|", invalid = "paging object is invalid|";
    const std::vector<std::pair<PagingObject, std::string>> cases = {
        {PagingObject(), "total" + of + "totalPages" + of + "limit" + of + invalid},
        {paging({}, 2, 10), "total" + of + invalid},
        {paging(100, 3, 25), tooFew}, {paging(100, -1, 25), tooFew}, {paging(100, 4, 25), ""}, {paging(0, 0, 25), ""},
        // A limit below 1 is not judged; products beyond the 64-bit range are judged by their sign.
        {paging(100, 0, 0), ""}, {paging(max, 2, max), ""}, {paging(5, -2, max), tooFew},
        // What createFromJson completes is consistent.
        {*fromJson(R"({"total":101,"limit":25})"), ""},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        factory->capture().clear();
        PagingObject::printWarnings(cases[i].first, logger);
        EXPECT_TRUE(factory->capture().texts(ILogger::INFO).empty());
        EXPECT_EQ(joined(factory->capture().texts(ILogger::WARNING)), cases[i].second) << "case " << i;
    }
}

TEST(QelResponseTest, MultipleChoiceTextMarksAbsentFields) {
    QelResponse::MultipleChoice choice;
    EXPECT_EQ("MultipleChoice{hostAddress=invalid, versions=invalid,description=invalid}", choice.toString());
    const auto text = [](const char* value) { return std::make_shared<std::string>(value); };
    choice.hostAddress = text("http://h:80"); choice.versions = text("1.0,2.0"); choice.description = text("primary");
    EXPECT_EQ("MultipleChoice{hostAddress=http://h:80, versions=1.0,2.0,description=primary}", choice.toString());
    choice.hostAddress.reset();
    EXPECT_EQ("MultipleChoice{hostAddress=invalid, versions=1.0,2.0,description=primary}", choice.toString());
}

TEST(QelExceptionTest, TextWithAndWithoutCauseAndTheCauseIsNotKept) {
    const QelException inner("readResource failed", "unknown");
    const EmptyTextError empty;
    std::unique_ptr<QelException> outlived;
    {
        const std::runtime_error cause("connection refused");
        outlived = std::make_unique<QelException>("read failed", "unknown", &cause);
    }
    const std::string unknown = "QelException: unknown ";
    const std::vector<std::pair<QelException, std::string>> cases = {
        {QelException("read root failed", "unknown"), unknown + "read root failed\n"},
        {QelException("read failed", "JSONException", nullptr), "QelException: JSONException read failed\n"},
        {QelException("read resource failed", "unknown", &inner),
         unknown + "read resource failed reason: " + unknown + "readResource failed\n\n"},
        {QelException("read service failed", "unknown", &empty), unknown + "read service failed reason: \n"},
        {QelException("", ""), "QelException:  \n"}, {*outlived, unknown + "read failed reason: connection refused\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.first.what(), c.second);
}
