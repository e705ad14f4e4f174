#include "support/TestText.h"

#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/ServiceRegistryServiceDescriptor.h>
#include <QelAccess/XObject.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <stdexcept>

using namespace qel;

using qeltest::json;
using qeltest::runtimeErrorText;

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
