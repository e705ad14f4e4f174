#pragma once

#include <QelAccess/IConfigManager.h>
#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/Subscription.h>
#include <QelAccess/SubscriptionCache.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccess/XObjectDescriptor.h>

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/INumberSequence.h>
#include <QelAccessUtility/ITaskExecutor.h>
#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qel {

class InternalPocoWebsocket;
class WebsocketWatchdog;

/// The WebSocket connection of one server origin. A connection thread named
/// after `threadName` connects with back-off and then receives until the
/// connection ends; subscriptions are sent over the connection and their
/// data is routed by event name to the callbacks, each run as a task on the
/// executor. Always owned through a shared pointer.
///
/// Locks: `mtxWebsocket` is taken before `mtxConnectionState`; the four
/// callback-map mutexes and `mtxRetryConnectWait` are taken alone (the
/// callback maps also under `mtxConnectionState` when a disconnect clears
/// them). No lock is held while application code runs.
class DefaultWebsocketManager2 : public IWebsocketManager,
                                 public std::enable_shared_from_this<DefaultWebsocketManager2> {
public:
    static const std::string DEFAULT_SUBSCRIPTION_EVENT_PREFIX;

    DefaultWebsocketManager2(const IConfigManager::ServiceConfiguration& serviceConfiguration,
                             const std::string& threadName, std::shared_ptr<qelutil::ITaskExecutor> taskExecutor,
                             std::shared_ptr<qelutil::LoggerFactory> loggerFactory);
    DefaultWebsocketManager2(const DefaultWebsocketManager2&) = delete;
    DefaultWebsocketManager2& operator=(const DefaultWebsocketManager2&) = delete;
    /// Disconnects. Run on the connection thread itself (when the thread held
    /// the last reference), the thread is detached instead of joined.
    ~DefaultWebsocketManager2() override;

    void connectToWebsocketAndThen(std::function<void()> callbackConnected,
                                   std::function<void()> callbackDisconnected) override;
    void disconnect() override;
    CONNECTION_STATE getConnectionState() override;
    void setConnectBackoffGenerator(std::shared_ptr<qelutil::INumberSequence> sequence) override;
    bool sendPing(const char* content, std::size_t length) override;

    std::shared_ptr<Subscription> subscribeElement(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                   ElementCallback callback) override;
    std::shared_ptr<Subscription> subscribeElementWithInterval(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                               ElementCallback callback,
                                                               std::chrono::milliseconds interval) override;
    std::shared_ptr<Subscription> subscribeElementWithUpdateLimit(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                                  ElementCallback callback,
                                                                  std::chrono::milliseconds updateLimit) override;
    std::shared_ptr<Subscription> subscribeResource(std::shared_ptr<const QelResourceDescriptor> descriptor,
                                                    ArrayCallback callback) override;
    std::shared_ptr<Subscription> subscribeRoot(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                ArrayCallback callback) override;
    std::shared_ptr<Subscription> subscribeRootWithUpdateLimit(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                               ArrayCallback callback,
                                                               std::chrono::milliseconds updateLimit) override;
    void unsubscribe(const std::string& subscriptionKey, bool isBaseSubscription) override;

    /// Sets the prefix of event names and, without one trailing "_", the
    /// User-Agent of the upgrade request and the ping payload. Set it once,
    /// before any manager connects.
    static void setSubscriptionEventPrefix(const std::string& prefix);
    static std::string getSubscriptionEventPrefix();

    /// Largest message (and frame) accepted; a larger one is logged and ends
    /// the connection. Applies from the next connection on.
    void setMaxMessageSize(std::size_t bytes);
    std::size_t getMaxMessageSize() const;

    const std::string& getThreadName() const { return threadName; }

private:
    // Feeds received bytes to the receive path without a socket (fuzzing).
    friend class ReceivePathDriver;

    using Milliseconds = std::chrono::milliseconds;
    struct ReceiveState;
    /// The callbacks a disconnect takes out of the four maps.
    struct CallbackMaps {
        std::map<std::string, ElementCallback> element;
        std::map<std::string, ArrayCallback> service;
        std::map<std::string, ArrayCallback> resource;
        std::map<std::string, ArrayCallback> root;
    };

    // Connection thread
    void runConnection();
    void connectLoop();
    bool attemptConnection(const std::string& host, uint16_t port);
    void waitBeforeRetry(qelutil::INumberSequence& sequence);
    void registerConnectAttempt(int fd);
    void onConnected();
    void onDisconnected(CallbackMaps& cleared);
    void loggingStatusCode(int status);
    static bool setThreadName(std::thread& t, const std::string& name);

    // Send path
    bool sendMessage(int flag, const std::string& msg, int contentSize, bool isLog, const std::string& log,
                     qelutil::ILogger::LogLevel loggingLevel);
    bool sendPong(int pingPayloadSize, const char* buffer);

    // Receive phase
    void workLoop();
    std::unique_ptr<WebsocketWatchdog> createWatchdog();
    void receiveLoop(ReceiveState& state);
    bool receiveHandshakeLeftovers(ReceiveState& state);
    int receiveChunk(ReceiveState& state);
    bool decodeFrames(ReceiveState& state, char* data, std::size_t length);
    bool startFrame(ReceiveState& state);
    bool takePayload(ReceiveState& state, const char* data, std::size_t length);
    bool endFrame(ReceiveState& state);
    bool appendToReadBuffer(ReceiveState& state, const char* data, std::size_t length);
    void protocolError(const char* what, const ReceiveState& state);
    void dropBrokenDocument(ReceiveState& state);
    bool handleMessages(ReceiveState& state);
    void dispatchMessage(const qelutil::JsonObject::Shared& obj);
    /// A callback and what it is to be called with, queued by the
    /// connection thread: either `element` with `object`, or `array` with
    /// `items` and `response`. `name` is the name used in log lines.
    struct Delivery {
        ElementCallback element;
        ArrayCallback array;
        qelutil::JsonObject::Shared object;
        qelutil::JsonArray::Shared items;
        std::shared_ptr<const SubscriptionResponse> response;
        std::shared_ptr<const std::string> name;
    };
    void deliver(Delivery delivery);
    static void runDeliveries(std::vector<Delivery>& deliveries, const qelutil::StreamingLogger& log);
    void flushDeliveries();
    class DeliveryReturn;
    DeliveryReturn& returnedDeliveries();
    void closeConnection();
    void handleData(qelutil::JsonObject::SharedConst obj);
    void handleDataArraySubscriptions(const std::string& event, qelutil::JsonArray::Shared array,
                                      std::shared_ptr<const SubscriptionResponse> subscriptionResponse);
    void handleError(qelutil::JsonObject::Shared obj);
    void removeCallback(const std::string& key);

    // Subscriptions
    std::shared_ptr<Subscription> subscribeElement(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                   ElementCallback callback, const Milliseconds* interval,
                                                   const Milliseconds* updateLimit);
    std::shared_ptr<Subscription> subscribeResource(std::shared_ptr<const QelResourceDescriptor> descriptor,
                                                    ArrayCallback callback, bool addToCache);
    std::shared_ptr<Subscription> subscribeRoot(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                ArrayCallback callback, const Milliseconds* updateLimit,
                                                bool addToCache);
    std::shared_ptr<Subscription> internalSubscribe(std::shared_ptr<const XObjectDescriptor> descriptor,
                                                    Subscription::SubscriptionType type,
                                                    const Milliseconds* updateLimit);
    void checkConnected(const std::string& location);
    static std::string getSubscriptionEvent(const std::string& strKey, const Milliseconds* interval,
                                            const Milliseconds* updateLimit);
    std::string getElementSubscriptionKey(const XObjectDescriptor& descriptor) const;
    std::string getResourceSubscriptionKey(const XObjectDescriptor& descriptor) const;
    std::string getServiceSubscriptionKey(const XObjectDescriptor& descriptor) const;
    std::string getRootSubscriptionKey(const XObjectDescriptor& descriptor) const;
    static std::string nextSubscriptionEvent();

    const std::string threadName;
    const IConfigManager::ServiceConfiguration serviceDescription;
    // Read without a lock by any thread; changed under mtxConnectionState.
    std::atomic<CONNECTION_STATE> connectionState{DISCONNECTED};
    // Read without a lock by any thread; cleared under mtxRetryConnectWait.
    std::atomic<bool> running{false};
    std::unique_ptr<std::thread> th;  // guarded by mtxConnectionState
    std::mutex mtxRetryConnectWait;
    std::condition_variable cvRetryConnectWait;
    std::mutex mtxWebsocket;
    std::mutex mtxConnectionState;
    std::mutex mtxCallbacksElement;
    std::mutex mtxCallbacksResource;
    std::mutex mtxCallbacksService;
    std::mutex mtxCallbacksRoot;
    std::vector<std::function<void()>> callbacksConnected;
    std::vector<std::function<void()>> callbacksDisconnected;
    std::shared_ptr<qelutil::ITaskExecutor> taskExecutor;
    std::unique_ptr<qelutil::StreamingLogger> logger;
    std::unique_ptr<InternalPocoWebsocket> websocket;
    std::map<std::string, ElementCallback> mapCallbacksElement;
    std::map<std::string, ArrayCallback> mapCallbacksResource;
    std::map<std::string, ArrayCallback> mapCallbacksService;
    std::map<std::string, ArrayCallback> mapCallbacksRoot;
    std::shared_ptr<SubscriptionCache> subscriptionCache;
    std::shared_ptr<qelutil::INumberSequence> connectionBackoffSequence;  // guarded by mtxWebsocket

    // The socket of a connect attempt in progress, so that disconnect() can
    // cut a connect or handshake short instead of waiting for its time-out.
    std::mutex mtxConnectAttempt;
    int connectAttemptFd = -1;
    // Set when a send failed part-way, leaving the outgoing stream unusable;
    // the receive loop then ends the connection.
    std::atomic<bool> resetRequested{false};
    std::atomic<std::size_t> maxMessageSize;
    // Callbacks of the data received in one read, posted together as one
    // task; used by the connection thread only.
    std::vector<Delivery> pendingDeliveries;
    std::shared_ptr<DeliveryReturn> deliveryReturn;  // made and used by the connection thread
    // The cache's way back into this manager: page subscriptions and data.
    SubscriptionCache::SubscribeFunction subscribeFunction;
    SubscriptionCache::HandleDataFunction dataFunction;

    static std::string subscriptionEventPrefix;
    static std::string userAgent;
    static std::atomic<int32_t> subEventCount;
};

}  // namespace qel
