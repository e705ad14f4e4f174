#include "support/TestText.h"

#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/ServiceRegistryServiceDescriptor.h>
#include <QelAccess/XObject.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>

#include <gtest/gtest.h>

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

TEST(DescriptorTest, RelativeUri) {
    XObjectDescriptor descriptor("media", "tracks");
    EXPECT_EQ(runtimeErrorText([&] { descriptor.getRelativeUri(); }), "operator* called on uninitialized Optional");
    descriptor.setId("42");
    EXPECT_EQ(descriptor.getRelativeUri(), "/media/tracks/42");

    XObjectDescriptor empty;
    empty.setId("x");
    EXPECT_EQ(empty.getRelativeUri(), "///x");
}

TEST(DescriptorTest, SettersRecordFilterEntries) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setName("My Song");
    descriptor.setId("7");
    descriptor.setUri("");
    EXPECT_EQ(descriptor.getName().getValue(), "My Song");
    EXPECT_EQ(descriptor.getUri().getValue(), "");
    const auto& map = descriptor.getQelFilter().getFilterMap();
    EXPECT_EQ(map.at("id"), "7");
    EXPECT_EQ(map.at("name"), "My Song");
    EXPECT_EQ(map.at("uri"), "");
    EXPECT_EQ(descriptor.createPropertySearchString(), "id=7&name=My%20Song");
}

TEST(DescriptorTest, PropertySearchAndQueryOptionsAreJoined) {
    XObjectDescriptor descriptor("media", "tracks");
    EXPECT_EQ(descriptor.createPropertySearchAndQueryOptionsString(), "");

    descriptor.getQelFilter().add("genre", std::string("jazz"));
    EXPECT_EQ(descriptor.createPropertySearchAndQueryOptionsString(), "genre=jazz");

    descriptor.getQueryOptions().setPagingLimit(5);
    EXPECT_EQ(descriptor.createPropertySearchAndQueryOptionsString(), "$limit=5&genre=jazz");
    EXPECT_EQ(descriptor.createQueryOptionsString(), "$limit=5");

    XObjectDescriptor onlyOptions("media", "tracks");
    onlyOptions.setExpandLevel(QueryOptions::LEVEL_ONE);
    EXPECT_EQ(onlyOptions.createPropertySearchAndQueryOptionsString(), "$expand=1");
}

TEST(DescriptorTest, ResetQueryOptionsKeepsFilter) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setId("1");
    descriptor.setExpandLevel(QueryOptions::LEVEL_TWO);
    descriptor.getQueryOptions().setPagingOffsetUuid("u");
    descriptor.getQueryOptions().setFieldsFilter({"id"});
    descriptor.resetQueryOptions();
    EXPECT_EQ(descriptor.createPropertySearchAndQueryOptionsString(), "id=1");
}

TEST(DescriptorTest, ProtectedQueryOptionSetters) {
    using Sort = std::vector<QueryOptions::SortbyField>;
    GeneratedDescriptor descriptor;
    descriptor.setQueryOptions({"id"}, QueryOptions::LEVEL_ONE, {"e"}, Sort{{QueryOptions::MINUS, "d"}}, 10,
                               int64_t{20});
    EXPECT_EQ(descriptor.createQueryOptionsString(), "$fields=id&$expand=e,1&$sortby=-d&$limit=10&$offset=20");

    // Empty vectors leave earlier values; the level is always taken.
    descriptor.setQueryOptions({}, QueryOptions::LEVEL_ZERO);
    EXPECT_EQ(descriptor.createQueryOptionsString(), "$fields=id&$expand=e&$sortby=-d&$limit=10&$offset=20");

    GeneratedDescriptor byId;
    byId.setQueryOptions({}, QueryOptions::LEVEL_ZERO, {}, {}, 3, std::string("abc"));
    EXPECT_EQ(byId.createQueryOptionsString(), "$limit=3&$offset=abc");
    byId.setQueryOptionsOffset({}, QueryOptions::LEVEL_ZERO, {}, {}, int64_t{4});
    EXPECT_EQ(byId.createQueryOptionsString(), "$limit=3&$offset=4");

    GeneratedDescriptor limitOnly;
    limitOnly.setQueryOptionsLimit({"a"}, QueryOptions::LEVEL_THREE, {}, {}, 9);
    EXPECT_EQ(limitOnly.createQueryOptionsString(), "$fields=a&$expand=3&$limit=9");
    limitOnly.setQueryOptionsOffset({}, QueryOptions::LEVEL_THREE, {}, {}, std::string("z"));
    EXPECT_EQ(limitOnly.createQueryOptionsString(), "$fields=a&$expand=3&$limit=9&$offset=z");
    limitOnly.setQueryOptions({}, QueryOptions::LEVEL_THREE, {"x"}, {});
    EXPECT_EQ(limitOnly.createQueryOptionsString(), "$fields=a&$expand=x,3&$limit=9&$offset=z");
}

TEST(DescriptorTest, JsonHoldsOnlySetMembersInOrder) {
    XObjectDescriptor descriptor("media", "tracks");
    EXPECT_EQ(descriptor.getAsJson()->size(), 0u);
    descriptor.setName("n");
    descriptor.setUri("/media/tracks/1");
    descriptor.setId("1");
    auto body = descriptor.getAsJson();
    EXPECT_EQ(body->getKeys(), (std::vector<std::string>{"id", "uri", "name"}));
    EXPECT_EQ(body->getString("uri"), "/media/tracks/1");

    XObjectDescriptor noName;
    noName.setId("1");
    noName.setUri("u");
    EXPECT_EQ(noName.getAsQELBody()->size(), 0u);
    auto named = descriptor.getAsQELBody();
    EXPECT_EQ(named->getKeys(), std::vector<std::string>{"name"});
    EXPECT_EQ(named->getString("name"), "n");

    FixedIdDescriptor fixed;
    EXPECT_EQ(fixed.getAsJson()->getString("id"), "fixed");
}

TEST(DescriptorTest, ServiceDescriptorJsonAddsOnlyPort) {
    QelServiceDescriptor service("media");
    EXPECT_EQ(service.getAsJson()->size(), 0u);
    service.setDescription("d");
    service.setVersions({"1"});
    service.setPort(8080);
    auto json = service.getAsJson();
    EXPECT_EQ(json->getKeys(), std::vector<std::string>{"port"});
    EXPECT_EQ(json->getLong("port"), 8080);

    ServiceRegistryServiceDescriptor registry(service);
    registry.setName("media");
    std::string host = "h";
    registry.setHost(&host);
    registry.setPath("/api/media/");
    EXPECT_EQ(registry.getAsJson()->getKeys(), (std::vector<std::string>{"name", "port"}));
    EXPECT_EQ(registry.getDescription().getValue(), "d");
}

TEST(DescriptorTest, RegistryPathIsCutBeforeServiceName) {
    ServiceRegistryServiceDescriptor descriptor;
    EXPECT_EQ(runtimeErrorText([&] { descriptor.setPath("/api/"); }), "getValue called on uninitialized Optional");
    EXPECT_FALSE(descriptor.getPath().isValid());

    descriptor.setName("navigation");
    descriptor.setPath("/api/navigation/");
    EXPECT_EQ(descriptor.getPath().getValue(), "/api/");
    descriptor.setPath("/x/navigation/navigation");
    EXPECT_EQ(descriptor.getPath().getValue(), "/x/");
    descriptor.setPath("/a/b");
    EXPECT_EQ(descriptor.getPath().getValue(), "/a/b");

    ServiceRegistryServiceDescriptor emptyName;
    emptyName.setName("");
    emptyName.setPath("/a/b");
    EXPECT_EQ(emptyName.getPath().getValue(), "/a/b");
}

TEST(DescriptorTest, RegistryHostCanBeCleared) {
    ServiceRegistryServiceDescriptor descriptor;
    std::string host = "10.0.0.2";
    descriptor.setHost(&host);
    host = "changed";
    EXPECT_EQ(descriptor.getHost().getValue(), "10.0.0.2");
    descriptor.setHost(nullptr);
    EXPECT_FALSE(descriptor.getHost().isValid());
}

TEST(DescriptorTest, RegistryCopyConstructorCutsPathAgain) {
    ServiceRegistryServiceDescriptor original;
    original.setName("navigation");
    original.setPath("/x/api/navigation/");
    std::string host = "h";
    original.setHost(&host);
    original.setPort(1);
    original.setName("api");

    ServiceRegistryServiceDescriptor copy(original);
    EXPECT_EQ(copy.getPath().getValue(), "/x/");
    EXPECT_EQ(copy.getHost().getValue(), "h");
    EXPECT_EQ(copy.getPort().getValue(), 1);
    EXPECT_EQ(copy.getName().getValue(), "api");

    ServiceRegistryServiceDescriptor assigned;
    assigned = original;
    EXPECT_EQ(assigned.getPath().getValue(), "/x/api/");

    ServiceRegistryServiceDescriptor bare;
    ServiceRegistryServiceDescriptor bareCopy(bare);
    EXPECT_FALSE(bareCopy.getPath().isValid());
    EXPECT_FALSE(bareCopy.getHost().isValid());
}

TEST(DescriptorTest, CopiesAreIndependentValues) {
    QelServiceDescriptor original("media");
    original.setId("1");
    original.setServiceCategories({"a"});
    QelServiceDescriptor copy(original);
    copy.setId("2");
    copy.getQelFilter().add("x", true);
    copy.setServiceCategories({});
    EXPECT_EQ(original.getId().getValue(), "1");
    EXPECT_EQ(original.createPropertySearchString(), "id=1");
    EXPECT_EQ(original.getServiceCategories().getValue().size(), 1u);

    XObjectDescriptor base = copy;
    QelServiceDescriptor converted(base);
    EXPECT_EQ(converted.getId().getValue(), "2");
    EXPECT_FALSE(converted.getServiceCategories().isValid());
}

TEST(XObjectTest, FillFromJsonSetsIdNameUriAndFilter) {
    XObject<XObjectDescriptor> object(json(R"({"id":"7","name":"n","uri":"/s/r/7","extra":1})"));
    EXPECT_EQ(object.getId().getValue(), "7");
    EXPECT_EQ(object.getName().getValue(), "n");
    EXPECT_EQ(object.getUri().getValue(), "/s/r/7");
    EXPECT_EQ(object.getDescriptor().createPropertySearchString(), "id=7&name=n&uri=%2Fs%2Fr%2F7");

    // Absent keys keep the earlier values.
    object.fillFromJson(json(R"({"name":"m"})"));
    EXPECT_EQ(object.getId().getValue(), "7");
    EXPECT_EQ(object.getName().getValue(), "m");

    XObject<XObjectDescriptor> empty(json("{}"));
    EXPECT_FALSE(empty.getId().isValid());
    EXPECT_THROW(empty.fillFromJson(json(R"({"id":7})")), qelutil::JsonException);
}

TEST(XObjectTest, ConstructionFromText) {
    XObject<QelServiceDescriptor> object(std::string(R"({"name":"media"})"));
    EXPECT_EQ(object.getName().getValue(), "media");
    EXPECT_THROW(XObject<XObjectDescriptor>(std::string("{\"name\":")), qelutil::JsonException);
    EXPECT_THROW(XObject<XObjectDescriptor>(std::string("[1]")), qelutil::JsonException);
}

TEST(XObjectTest, CopyWithIdFromUri) {
    XObjectDescriptor descriptor("media", "tracks");
    descriptor.setName("n");
    XObject<XObjectDescriptor> object(descriptor);

    auto copy = object.copyWithIdFromUri("/media/tracks/42");
    EXPECT_EQ(copy->getId().getValue(), "42");
    EXPECT_EQ(copy->getUri().getValue(), "/media/tracks/42");
    EXPECT_EQ(copy->getName().getValue(), "n");
    EXPECT_EQ(copy->getDescriptor().getRelativeUri(), "/media/tracks/42");
    EXPECT_FALSE(object.getId().isValid());

    EXPECT_EQ(object.copyWithIdFromUri("abc")->getId().getValue(), "abc");
    EXPECT_EQ(object.copyWithIdFromUri("/media/tracks/")->getId().getValue(), "");
    EXPECT_EQ(object.copyWithIdFromUri("a\\b/c\\d")->getId().getValue(), "d");
    EXPECT_EQ(object.copyWithIdFromUri("a\\b/c")->getId().getValue(), "c");
}

TEST(XObjectTest, ConvertToGenericKeepsBaseDescriptor) {
    QelServiceDescriptor descriptor("media");
    descriptor.setName("media");
    descriptor.setPort(1);
    XObject<QelServiceDescriptor> object(descriptor);
    auto generic = object.convertToGeneric();
    EXPECT_EQ(generic->getName().getValue(), "media");
    EXPECT_EQ(generic->getDescriptor().getService(), "media");
    EXPECT_EQ(generic->getDescriptor().getAsJson()->getKeys(), std::vector<std::string>{"name"});
}
