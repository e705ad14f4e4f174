#include <QelAccess/ConfigManager.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using qel::ConfigManager;
using qel::IConfigManager;

namespace {

const char* const kOptionalError = "getValue called on uninitialized Optional";

void expectOptionalError(const std::function<void()>& lookup) {
    try {
        lookup();
        ADD_FAILURE() << "lookup did not fail";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(kOptionalError, error.what());
    }
}

void expectConfiguration(const IConfigManager::ServiceConfiguration& actual, const std::string& name,
                         const std::string& uri, const std::string& path, const std::string& separator,
                         std::chrono::milliseconds ping, std::chrono::milliseconds pong) {
    EXPECT_EQ(name, actual.serviceName);
    EXPECT_EQ(uri, actual.serverBaseUri);
    EXPECT_EQ(path, actual.serverBasePath);
    EXPECT_EQ(separator, actual.separatorAfterResource);
    EXPECT_EQ(ping, actual.watchdogPingInterval);
    EXPECT_EQ(pong, actual.watchdogPongTimeout);
}

TEST(ConfigManagerTest, BuiltInDefaultsAnswerForAnyName) {
    const ConfigManager config;
    for (const std::string name : {"media", "", "ServiceRegistry"}) {
        expectConfiguration(config.getServiceConfiguration(name), name, "http://127.0.0.1:443", "/", "/", 0ms, 0ms);
        EXPECT_EQ("http://127.0.0.1:443", config.getServerBaseUri(name));
        EXPECT_EQ("/", config.getServerBasePath(name));
        EXPECT_EQ("/", config.getSeparatorAfterResource(name));
        EXPECT_EQ(0ms, config.getWatchdogPingInterval(name));
        EXPECT_EQ(0ms, config.getWatchdogPongTimeout(name));
        EXPECT_FALSE(config.isServiceConfigurationKnown(name));
    }
    EXPECT_FALSE(config.getDefaultConfig().serviceName.isValid());
}

TEST(ConfigManagerTest, EntryFieldsOverrideTheDefaultOneByOne) {
    ConfigManager config;
    ConfigManager::ServiceConfig pingOnly;
    pingOnly.watchdogPingInterval = 5000ms;
    config.getServiceConfigs()["media"] = pingOnly;

    ConfigManager::ServiceConfig noSeparator;
    noSeparator.separatorAfterResource = false;
    noSeparator.serverBaseUri = std::string("http://10.1.2.3:8080");
    noSeparator.watchdogPongTimeout = 1500ms;
    config.getServiceConfigs()["navigation"] = noSeparator;

    config.getServiceConfigs()["full"] =
        ConfigManager::ServiceConfig("http://host:1", "/api/", true, 10ms, 20ms);

    EXPECT_TRUE(config.isServiceConfigurationKnown("media"));
    EXPECT_TRUE(config.isServiceConfigurationKnown("navigation"));
    EXPECT_FALSE(config.isServiceConfigurationKnown("Media"));

    expectConfiguration(config.getServiceConfiguration("media"), "media", "http://127.0.0.1:443", "/", "/", 5000ms,
                        0ms);
    EXPECT_EQ(5000ms, config.getWatchdogPingInterval("media"));
    EXPECT_EQ(0ms, config.getWatchdogPongTimeout("media"));

    expectConfiguration(config.getServiceConfiguration("navigation"), "navigation", "http://10.1.2.3:8080", "/",
                        "", 0ms, 1500ms);
    EXPECT_EQ("", config.getSeparatorAfterResource("navigation"));
    EXPECT_EQ("http://10.1.2.3:8080", config.getServerBaseUri("navigation"));

    expectConfiguration(config.getServiceConfiguration("full"), "full", "http://host:1", "/api/", "/", 10ms, 20ms);

    // A default changed in place reaches services whose entry lacks the field.
    config.getDefaultConfig().serverBasePath = std::string("/base/");
    config.getDefaultConfig().separatorAfterResource = false;
    EXPECT_EQ("/base/", config.getServerBasePath("media"));
    EXPECT_EQ("", config.getSeparatorAfterResource("media"));
    EXPECT_EQ("/api/", config.getServerBasePath("full"));
    EXPECT_EQ("/", config.getSeparatorAfterResource("full"));

    config.getServiceConfigs().erase("navigation");
    EXPECT_FALSE(config.isServiceConfigurationKnown("navigation"));
    EXPECT_EQ("http://127.0.0.1:443", config.getServerBaseUri("navigation"));
}

TEST(ConfigManagerTest, DefaultWithoutBaseUriMakesLookupsFail) {
    ConfigManager config;
    ConfigManager::ServiceConfig partial;
    partial.serverBasePath = std::string("/p/");
    partial.separatorAfterResource = true;
    partial.watchdogPingInterval = 100ms;
    partial.watchdogPongTimeout = 200ms;
    config.setDefaultConfig(partial);

    ConfigManager::ServiceConfig ownUri;
    ownUri.serverBaseUri = std::string("http://own:9");
    config.getServiceConfigs()["own"] = ownUri;
    config.getServiceConfigs()["pingOnly"] = ConfigManager::ServiceConfig();

    for (const std::string name : {"unknown", "pingOnly"}) {
        expectOptionalError([&] { config.getServerBaseUri(name); });
        expectOptionalError([&] { config.getServiceConfiguration(name); });
        EXPECT_EQ("/p/", config.getServerBasePath(name));
        EXPECT_EQ(100ms, config.getWatchdogPingInterval(name));
    }
    expectConfiguration(config.getServiceConfiguration("own"), "own", "http://own:9", "/p/", "/", 100ms, 200ms);

    // An entirely empty default leaves only the entry's own fields.
    config.setDefaultConfig(ConfigManager::ServiceConfig());
    EXPECT_EQ("http://own:9", config.getServerBaseUri("own"));
    expectOptionalError([&] { config.getServerBasePath("own"); });
    expectOptionalError([&] { config.getSeparatorAfterResource("own"); });
    expectOptionalError([&] { config.getWatchdogPingInterval("own"); });
    expectOptionalError([&] { config.getWatchdogPongTimeout("own"); });
    expectOptionalError([&] { config.getServiceConfiguration("own"); });
}

TEST(ConfigManagerTest, CopyTakesAbsentFieldsAsAbsent) {
    ConfigManager::ServiceConfig target("http://a:1", "/a/", false, 1ms, 2ms);
    target.serviceName = std::string("a");
    ConfigManager::ServiceConfig source;
    source.serverBasePath = std::string("/b/");
    target = source;
    EXPECT_FALSE(target.serviceName.isValid());
    EXPECT_FALSE(target.serverBaseUri.isValid());
    EXPECT_EQ("/b/", target.serverBasePath.getValue());
    EXPECT_FALSE(target.separatorAfterResource.isValid());
    EXPECT_FALSE(target.watchdogPingInterval.isValid());
    EXPECT_FALSE(target.watchdogPongTimeout.isValid());
}

/// Answers from fixed values and records which lookups were made.
class RecordingConfig : public IConfigManager {
public:
    mutable std::vector<std::string> calls;

    std::string getServerBaseUri(const std::string& name) const override { return record("uri", name, "http://x:1"); }
    std::string getServerBasePath(const std::string& name) const override { return record("path", name, "/x/"); }
    std::string getSeparatorAfterResource(const std::string& name) const override { return record("sep", name, ""); }
    bool isServiceConfigurationKnown(const std::string& name) const override {
        record("known", name, "");
        return true;
    }
    std::chrono::milliseconds getWatchdogPingInterval(const std::string& name) const override {
        record("ping", name, "");
        return 7ms;
    }
    std::chrono::milliseconds getWatchdogPongTimeout(const std::string& name) const override {
        record("pong", name, "");
        return 8ms;
    }

private:
    std::string record(const std::string& what, const std::string& name, const std::string& result) const {
        calls.push_back(what + ":" + name);
        return result;
    }
};

TEST(IConfigManagerTest, ServiceConfigurationUsesTheFiveLookupsInOrder) {
    const RecordingConfig config;
    expectConfiguration(config.getServiceConfiguration("svc"), "svc", "http://x:1", "/x/", "", 7ms, 8ms);
    EXPECT_EQ((std::vector<std::string>{"uri:svc", "path:svc", "sep:svc", "ping:svc", "pong:svc"}), config.calls);
}

}  // namespace
