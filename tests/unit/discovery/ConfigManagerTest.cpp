#include <QelAccess/ConfigManager.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

using namespace std::chrono_literals;
using qel::ConfigManager;

namespace {

/// The six fields of a looked-up configuration on one line, or the error.
std::string describe(const ConfigManager& config, const std::string& name) {
    try {
        const auto c = config.getServiceConfiguration(name);
        return c.serviceName + " " + c.serverBaseUri + " " + c.serverBasePath + " [" + c.separatorAfterResource +
               "] " + std::to_string(c.watchdogPingInterval.count()) + " " +
               std::to_string(c.watchdogPongTimeout.count());
    } catch (const std::runtime_error& error) {
        return error.what();
    }
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
    config.getServiceConfigs()["full"] = ConfigManager::ServiceConfig("http://host:1", "/api/", true, 10ms, 20ms);

    EXPECT_EQ("media http://127.0.0.1:443 / [/] 5000 0", describe(config, "media"));
    EXPECT_EQ("navigation http://10.1.2.3:8080 / [] 0 1500", describe(config, "navigation"));
    EXPECT_EQ("full http://host:1 /api/ [/] 10 20", describe(config, "full"));
    EXPECT_EQ(" http://127.0.0.1:443 / [/] 0 0", describe(config, ""));
    EXPECT_TRUE(config.isServiceConfigurationKnown("media"));
    EXPECT_FALSE(config.isServiceConfigurationKnown("Media"));
    EXPECT_EQ(1500ms, config.getWatchdogPongTimeout("navigation"));

    // A default changed in place reaches the entries that lack the field.
    config.getDefaultConfig().serverBasePath = std::string("/base/");
    config.getDefaultConfig().separatorAfterResource = false;
    EXPECT_EQ("media http://127.0.0.1:443 /base/ [] 5000 0", describe(config, "media"));
    EXPECT_EQ("full http://host:1 /api/ [/] 10 20", describe(config, "full"));
    config.getServiceConfigs().erase("navigation");
    EXPECT_EQ("navigation http://127.0.0.1:443 /base/ [] 0 0", describe(config, "navigation"));
}

TEST(ConfigManagerTest, FieldAbsentFromEntryAndDefaultFailsTheLookup) {
    const std::string missing = "getValue called on uninitialized Optional";
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

    EXPECT_EQ(missing, describe(config, "unknown"));
    EXPECT_EQ("/p/", config.getServerBasePath("unknown"));
    EXPECT_EQ("own http://own:9 /p/ [/] 100 200", describe(config, "own"));
    config.setDefaultConfig(ConfigManager::ServiceConfig());
    EXPECT_EQ("http://own:9", config.getServerBaseUri("own"));
    EXPECT_EQ(missing, describe(config, "own"));

    // Copying takes absent fields as absent, not as "keep the old value".
    ConfigManager::ServiceConfig target("http://a:1", "/a/", false, 1ms, 2ms);
    target = partial;
    EXPECT_FALSE(target.serverBaseUri.isValid());
    EXPECT_EQ("/p/", target.serverBasePath.getValue());
}

}  // namespace
