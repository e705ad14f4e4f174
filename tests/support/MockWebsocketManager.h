#pragma once

#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/Subscription.h>

#include <gmock/gmock.h>

namespace qeltest {

/// A WebSocket manager whose every operation is a gmock method, for code
/// that only talks to the interface (subscription handles, the watchdog).
class MockWebsocketManager : public qel::IWebsocketManager {
public:
    using Descriptor = std::shared_ptr<const qel::XObjectDescriptor>;
    using Handle = std::shared_ptr<qel::Subscription>;
    MOCK_METHOD(void, connectToWebsocketAndThen, (std::function<void()>, std::function<void()>), (override));
    MOCK_METHOD(Handle, subscribeElement, (Descriptor, ElementCallback), (override));
    MOCK_METHOD(Handle, subscribeElementWithInterval, (Descriptor, ElementCallback, std::chrono::milliseconds),
                (override));
    MOCK_METHOD(Handle, subscribeElementWithUpdateLimit, (Descriptor, ElementCallback, std::chrono::milliseconds),
                (override));
    MOCK_METHOD(void, unsubscribe, (const std::string&, bool), (override));
    MOCK_METHOD(void, disconnect, (), (override));
    MOCK_METHOD(Handle, subscribeResource, (std::shared_ptr<const qel::QelResourceDescriptor>, ArrayCallback),
                (override));
    MOCK_METHOD(Handle, subscribeRoot, (Descriptor, ArrayCallback), (override));
    MOCK_METHOD(Handle, subscribeRootWithUpdateLimit, (Descriptor, ArrayCallback, std::chrono::milliseconds),
                (override));
    MOCK_METHOD(CONNECTION_STATE, getConnectionState, (), (override));
    MOCK_METHOD(void, setConnectBackoffGenerator, (std::shared_ptr<qelutil::INumberSequence>), (override));
    MOCK_METHOD(bool, sendPing, (const char*, std::size_t), (override));
};

}  // namespace qeltest
