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
#include <tuple>

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
