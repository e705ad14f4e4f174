#pragma once

#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/Subscription.h>

#include <gmock/gmock.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace qeltest {

/// A WebSocket manager whose every operation is a gmock method, for code
/// that only talks to the interface (subscription handles, the watchdog).
class MockWebsocketManager : public qel::IWebsocketManager {
public:
    MOCK_METHOD(void, connectToWebsocketAndThen, (std::function<void()>, std::function<void()>), (override));
    MOCK_METHOD(std::shared_ptr<qel::Subscription>, subscribeElement,
                (std::shared_ptr<const qel::XObjectDescriptor>, ElementCallback), (override));
    MOCK_METHOD(std::shared_ptr<qel::Subscription>, subscribeElementWithInterval,
                (std::shared_ptr<const qel::XObjectDescriptor>, ElementCallback, std::chrono::milliseconds),
                (override));
    MOCK_METHOD(std::shared_ptr<qel::Subscription>, subscribeElementWithUpdateLimit,
                (std::shared_ptr<const qel::XObjectDescriptor>, ElementCallback, std::chrono::milliseconds),
                (override));
    MOCK_METHOD(void, unsubscribe, (const std::string&, bool), (override));
    MOCK_METHOD(void, disconnect, (), (override));
    MOCK_METHOD(std::shared_ptr<qel::Subscription>, subscribeResource,
                (std::shared_ptr<const qel::QelResourceDescriptor>, ArrayCallback), (override));
    MOCK_METHOD(std::shared_ptr<qel::Subscription>, subscribeRoot,
                (std::shared_ptr<const qel::XObjectDescriptor>, ArrayCallback), (override));
    MOCK_METHOD(std::shared_ptr<qel::Subscription>, subscribeRootWithUpdateLimit,
                (std::shared_ptr<const qel::XObjectDescriptor>, ArrayCallback, std::chrono::milliseconds),
                (override));
    MOCK_METHOD(CONNECTION_STATE, getConnectionState, (), (override));
    MOCK_METHOD(void, setConnectBackoffGenerator, (std::shared_ptr<qelutil::INumberSequence>), (override));
    MOCK_METHOD(bool, sendPing, (const char*, std::size_t), (override));
};

}  // namespace qeltest
