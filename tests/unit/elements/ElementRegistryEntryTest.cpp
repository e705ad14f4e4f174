#include <QelAccess/ElementRegistryEntry.h>
#include <QelAccess/Subscription.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::shared_ptr<qel::Subscription> elementSubscription(const std::string& uuid) {
    auto descriptor = std::make_shared<qel::XObjectDescriptor>("media", "tracks");
    descriptor->setId(uuid);
    return std::make_shared<qel::Subscription>(std::weak_ptr<qel::IWebsocketManager>(), descriptor,
                                               qel::Subscription::ELEMENT, "e_" + uuid, false);
}

TEST(ElementRegistryEntryTest, HoldsElementsByTheRulesAndTellsGoneInKeyOrder) {
    std::vector<std::string> gone;
    qel::ElementRegistryEntry one("media", "tracks");
    one.onGone([&gone](const std::string& uuid) { gone.push_back(uuid); });
    one.addSubscription(elementSubscription("3"));
    EXPECT_FALSE(one.acceptsAnotherSubscription()) << "a one-element entry takes a second";
    EXPECT_FALSE(one.reserve("10"));
    EXPECT_THROW(one.addSubscription(elementSubscription("3")), std::invalid_argument);
    one.elementGone("7");  // not held: nothing
    EXPECT_TRUE(gone.empty());
    one.elementGone("3");
    EXPECT_EQ(std::vector<std::string>{"3"}, gone);
    EXPECT_TRUE(one.acceptsAnotherSubscription());
    EXPECT_THROW(one.unsubscribe("3"), std::invalid_argument);

    gone.clear();
    qel::ElementRegistryEntry all("media", "tracks");
    all.subscribeToAll(true).onGone([&gone](const std::string& uuid) { gone.push_back(uuid); });
    auto three = elementSubscription("3");
    all.addSubscription(three);
    all.addSubscription(elementSubscription("10"));
    all.unsubscribe("10");
    EXPECT_TRUE(gone.empty()) << "unsubscribe told the gone callback";
    all.addSubscription(elementSubscription("10"));
    all.unsubscribeAll();
    EXPECT_EQ((std::vector<std::string>{"10", "3"}), gone);
    EXPECT_FALSE(three->isActive());
    EXPECT_FALSE(all.hasSubscription());
}

}  // namespace
