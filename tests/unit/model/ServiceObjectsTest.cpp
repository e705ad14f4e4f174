#include "support/TestText.h"

#include <QelAccess/QelResource.h>
#include <QelAccess/QelService.h>
#include <QelAccess/ServiceRegistryService.h>

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>
#include <QelAccessUtility/StreamingLogger.h>

#include "support/CapturingLoggerFactory.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <stdexcept>

using namespace qel;
using qelutil::ILogger;

using qeltest::json;
using qeltest::runtimeErrorText;

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
    EXPECT_EQ(service.getId().getValue(), "1");
    EXPECT_EQ(service.getName().getValue(), "media");
    EXPECT_EQ(service.getPort().getValue(), 8080);
    EXPECT_EQ(service.getDescription().getValue(), "d");
    EXPECT_EQ(service.getServiceCategories().getValue(), (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(service.getPrivileges().isValid());
    EXPECT_TRUE(service.getPrivileges().getValue().empty());
    EXPECT_EQ(service.getVersions().getValue(), std::vector<std::string>{"v1"});

    QelServiceDescriptor own = service.getDescriptor();
    EXPECT_EQ(own.getUri().getValue(), "/media");
    EXPECT_EQ(own.getPort().getValue(), 8080);
    EXPECT_EQ(own.createPropertySearchString(), "id=1&name=media&uri=%2Fmedia");
}

TEST_F(ServiceObjectsTest, ServicePortKeepsLow16BitsAndAbsentListsStayUnset) {
    QelService service(json(R"({"name":"media","port":70000})"));
    EXPECT_EQ(service.getPort().getValue(), 4464);
    EXPECT_FALSE(service.getServiceCategories().isValid());
    EXPECT_FALSE(service.getDescription().isValid());

    QelService bare(json("{}"));
    EXPECT_FALSE(bare.getPort().isValid());
    EXPECT_FALSE(bare.getName().isValid());
}

TEST_F(ServiceObjectsTest, ServiceWrongMemberTypesRaiseJsonException) {
    EXPECT_THROW(QelService(json(R"({"port":"80"})")), qelutil::JsonException);
    EXPECT_THROW(QelService(json(R"({"versions":"v1"})")), qelutil::JsonException);
    EXPECT_THROW(QelService(json(R"({"versions":[1]})")), qelutil::JsonException);
    EXPECT_THROW(QelService(json(R"({"name":5})")), qelutil::JsonException);
}

TEST_F(ServiceObjectsTest, ServiceFillWithLoggerWarnsForEachAbsentMemberInOrder) {
    QelService service(json(R"({"name":"media","port":1})"), logger());
    auto lines = warnings();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(afterLocation(lines[0]), "no description set for service object with name=media");
    EXPECT_EQ(afterLocation(lines[1]), "no serviceCategories set for service object with name=media");
    EXPECT_EQ(afterLocation(lines[2]), "no privileges set for service object with name=media");
    EXPECT_EQ(afterLocation(lines[3]), "no versions set for service object with name=media");
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

TEST_F(ServiceObjectsTest, ServiceWithGivenServiceAndName) {
    QelService fromJson(json(R"({"name":"tracks","port":2})"), "media", "given");
    EXPECT_EQ(fromJson.getName().getValue(), "tracks");
    EXPECT_EQ(fromJson.getDescriptor().getName().getValue(), "tracks");
    EXPECT_EQ(fromJson.getDescriptor().getService(), "media");
    EXPECT_EQ(fromJson.getPort().getValue(), 2);

    QelService noName(json("{}"), "media", "given");
    EXPECT_EQ(noName.getName().getValue(), "given");
    EXPECT_EQ(noName.getDescriptor().getService(), "media");
}

TEST_F(ServiceObjectsTest, ServiceEqualityIgnoresIdAndUri) {
    QelService nameOnly(json(R"({"name":"media"})"));
    QelService withIdAndUri(json(R"({"name":"media","id":"9","uri":"/x"})"));
    EXPECT_TRUE(nameOnly == withIdAndUri);
    EXPECT_TRUE(nameOnly == nameOnly);

    EXPECT_FALSE(nameOnly == QelService(json(R"({"name":"other"})")));
    EXPECT_FALSE(nameOnly == QelService(json(R"({"name":"media","port":1})")));
    EXPECT_FALSE(nameOnly == QelService(json(R"({"name":"media","description":""})")));
    EXPECT_FALSE(nameOnly == QelService(json(R"({"name":"media","privileges":[]})")));
    EXPECT_FALSE(QelService(json(R"({"versions":["a"]})")) == QelService(json(R"({"versions":["a","b"]})")));
    EXPECT_FALSE(QelService(json(R"({"serviceCategories":["a"]})")) ==
                 QelService(json(R"({"serviceCategories":["b"]})")));
    EXPECT_TRUE(QelService(json(R"({"versions":["a"],"port":3})")) ==
                QelService(json(R"({"versions":["a"],"port":3})")));
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
    EXPECT_EQ(service.getPort().getValue(), 9000);
    EXPECT_EQ(service.getDescriptor().getPort().getValue(), 9000);
    EXPECT_EQ(service.getServiceDescriptor().getPort().getValue(), 9000);
    service.setHost(nullptr);
    EXPECT_FALSE(service.getHost().isValid());
    service.setPath("/b/navigation");
    EXPECT_EQ(service.getPath().getValue(), "/b/");
    service.setResolved(true);
    EXPECT_TRUE(service.isResolved());
}

TEST_F(ServiceObjectsTest, RegistryServiceWithoutPortOrHost) {
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
    EXPECT_FALSE(plain.isResolved());
}

TEST_F(ServiceObjectsTest, RegistryServiceWithUriButNoNameFails) {
    EXPECT_EQ(runtimeErrorText([] { ServiceRegistryService(json(R"({"uri":"/api/x","port":1})")); }),
              "getValue called on uninitialized Optional");
    EXPECT_EQ(runtimeErrorText([this] { ServiceRegistryService(json(R"({"uri":"/api/x"})"), "h", logger()); }),
              "getValue called on uninitialized Optional");
}

TEST_F(ServiceObjectsTest, RegistryServiceEquality) {
    auto make = [](const std::string& text) { return ServiceRegistryService(json(text)); };
    auto a = make(R"({"name":"nav","uri":"/a/nav","port":1})");
    auto samePlaceElsewhere = make(R"({"name":"nav","uri":"/b/nav","port":1,"id":"x","versions":["v"]})");
    EXPECT_TRUE(a == samePlaceElsewhere);

    samePlaceElsewhere.setResolved(true);
    EXPECT_FALSE(a == samePlaceElsewhere);
    a.setResolved(true);
    EXPECT_TRUE(a == samePlaceElsewhere);

    std::string host = "h";
    a.setHost(&host);
    EXPECT_FALSE(a == samePlaceElsewhere);
    samePlaceElsewhere.setHost(&host);
    EXPECT_TRUE(a == samePlaceElsewhere);

    a.setPort(2);
    EXPECT_FALSE(a == samePlaceElsewhere);
    EXPECT_FALSE(make(R"({"name":"nav"})") == make(R"({"name":"other"})"));
}

TEST_F(ServiceObjectsTest, ResourceIdComesFromUriUnlessGiven) {
    QelResource fromUri(json(R"({"name":"Tracks","uri":"/media/tracks"})"), "media", "tracks");
    EXPECT_EQ(fromUri.getId().getValue(), "tracks");
    EXPECT_EQ(fromUri.getUri().getValue(), "/media/tracks");
    EXPECT_EQ(fromUri.getName().getValue(), "Tracks");
    EXPECT_EQ(fromUri.getDescriptor().getService(), "media");
    EXPECT_EQ(fromUri.getDescriptor().getResource(), "tracks");

    QelResource explicitId(json(R"({"id":"t1","uri":"/media/tracks"})"), "media", "tracks");
    EXPECT_EQ(explicitId.getId().getValue(), "t1");
    EXPECT_EQ(explicitId.getDescriptor().getQelFilter().getFilterMap().at("id"), "t1");

    EXPECT_EQ(QelResource(json(R"({"uri":"tracks"})"), "m", "t").getId().getValue(), "tracks");
    EXPECT_EQ(QelResource(json(R"({"uri":"\\m\\t\\"})"), "m", "t").getId().getValue(), "");
    QelResource bare("m", "t");
    EXPECT_FALSE(bare.getId().isValid());
    EXPECT_THROW(bare.fillFromJson(json(R"({"uri":1})")), qelutil::JsonException);
}
