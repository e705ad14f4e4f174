#include <QelAccess/DefaultWebsocketManager2.h>

#include <QelAccess/InternalPocoWebsocket.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/SubscriptionCache.h>
#include <QelAccess/WebsocketWatchdog.h>

#include <QelAccessUtility/Logger.h>
#include <QelAccessUtility/ReadBuffer.h>

#include "websocket/ExceptionText.h"
#include "websocket/DeliveryReturn.h"
#include "websocket/ReceiveState.h"

#include <Poco/Buffer.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace qel {

namespace {

constexpr long kPollingIntervalWithoutWatchdogUs = 1000000;
constexpr std::size_t kMaxControlPayload = 125;

constexpr int kOpContinuation = Poco::Net::WebSocket::FRAME_OP_CONT;
constexpr int kOpText = Poco::Net::WebSocket::FRAME_OP_TEXT;
constexpr int kOpBinary = Poco::Net::WebSocket::FRAME_OP_BINARY;
constexpr int kOpClose = Poco::Net::WebSocket::FRAME_OP_CLOSE;
constexpr int kOpPing = Poco::Net::WebSocket::FRAME_OP_PING;
constexpr int kOpPong = Poco::Net::WebSocket::FRAME_OP_PONG;
constexpr int kControlBit = 0x08;
// Messages an incomplete document may span, its first included: a
// document still incomplete after that is taken as broken and dropped, so
// that one truncated message cannot swallow every later one.
constexpr std::size_t kMaxMessagesPerDocument = 8;

// What one read from the socket brought.
constexpr int kChunkData = 0;
constexpr int kChunkNone = 1;
constexpr int kChunkEnd = 2;

// Member names every message is asked for, built once instead of per lookup.
struct MessageKeys {
    const std::string type{"type"};
    const std::string event{"event"};
    const std::string data{"data"};
};

const MessageKeys& keys() {
    static const MessageKeys names;
    return names;
}

const std::shared_ptr<const std::string>& unnamedTask() {
    static const auto name = std::make_shared<const std::string>();
    return name;
}

const std::string& taskName(const std::shared_ptr<const std::string>& name) {
    static const std::string unnamed("<unnamed task>");
    return name ? *name : unnamed;
}

int bytesReadable(int fd) {
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

/// Whether the socket has data or an error within `timeoutUs`, asked with
/// one system call (the socket library's poll opens and closes an epoll
/// instance each time). A failed wait other than an interruption, or a
/// socket that is no longer open, is asked again through the socket
/// library, which raises it as before.
bool readableWithin(InternalPocoWebsocket& websocket, long timeoutUs) {
    const auto viaLibrary = [&] {
        return websocket.poll(Poco::Timespan(timeoutUs),
                              Poco::Net::Socket::SELECT_READ | Poco::Net::Socket::SELECT_ERROR);
    };
    const int fd = websocket.getFd();
    if (fd < 0) return viaLibrary();
    pollfd entry{fd, POLLIN, 0};
    const timespec timeout{timeoutUs / 1000000, (timeoutUs % 1000000) * 1000};
    const int ready = ::ppoll(&entry, 1, &timeout, nullptr);
    if (ready == 0) return false;
    if (ready > 0 && (entry.revents & POLLNVAL) == 0) return true;
    if (ready < 0 && errno == EINTR) return false;
    return viaLibrary();
}

}  // namespace


void DefaultWebsocketManager2::workLoop() {
    std::unique_ptr<WebsocketWatchdog> watchdog = createWatchdog();
    const long pollingUs =
        watchdog ? static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         watchdog->getPingInterval() / 2)
                                         .count())
                 : kPollingIntervalWithoutWatchdogUs;
    logger->logDebug() << "pollingIntervalRead=" << pollingUs << " us";
    std::shared_ptr<DefaultWebsocketManager2> self;
    {
        ReceiveState state(watchdog.get(), pollingUs, maxMessageSize);
        returnedDeliveries().open();
        if (websocket) {
            try {
                receiveLoop(state);
            } catch (const Poco::Net::ConnectionResetException& e) {
                logger->logWarning() << "Poco error in receive thread, what=" << detail::exceptionText(e)
                                     << ", threadName=" << threadName;
            } catch (const Poco::Net::WebSocketException& e) {
                if (e.code() == Poco::Net::WebSocket::WS_ERR_PAYLOAD_TOO_BIG)
                    logger->logError() << "message exceeds the maximum message size of " << maxMessageSize
                                       << " bytes -> resetting connection, threadName=" << threadName;
                else
                    logger->logWarning() << "StdException error in receive thread, what="
                                         << detail::exceptionText(e) << ", threadName=" << threadName;
            } catch (const std::exception& e) {
                logger->logWarning() << "StdException error in receive thread, what=" << detail::exceptionText(e)
                                     << ", threadName=" << threadName;
            }
        }
        // Data received before the end goes out before the disconnect notice.
        flushDeliveries();
        returnedDeliveries().close();
        // Keeps this manager alive through the exit steps: the callbacks they
        // release may hold the last reference. Empty when the last owner is
        // already destroying the manager (and waits for this thread).
        self = weak_from_this().lock();
        closeConnection();
    }
    // Either of these may hold the last reference to this manager, whose
    // destructor then detaches this thread: nothing touches `this` after.
    watchdog.reset();
    self.reset();
}

std::unique_ptr<WebsocketWatchdog> DefaultWebsocketManager2::createWatchdog() {
    if (serviceDescription.watchdogPingInterval.count() <= 0 || serviceDescription.watchdogPongTimeout.count() <= 0) {
        logger->logDebug() << "watchdog disabled for service " << serviceDescription.serviceName;
        return nullptr;
    }
    if (!running) return nullptr;
    // Null while the last owner destroys the manager: that ends this
    // connection anyway.
    std::shared_ptr<DefaultWebsocketManager2> self = weak_from_this().lock();
    if (!self) return nullptr;
    return std::make_unique<WebsocketWatchdog>(userAgent, serviceDescription.serviceName, std::move(self),
                                               serviceDescription.watchdogPingInterval,
                                               serviceDescription.watchdogPongTimeout);
}

void DefaultWebsocketManager2::receiveLoop(ReceiveState& state) {
    if (!receiveHandshakeLeftovers(state)) return;
    bool mayHaveMore = false;
    while (running) {
        if (state.watchdog && state.watchdog->notify(false)) {
            logger->logWarning() << "got notification from watchdog, resetting websocket for:"
                                 << serviceDescription.serverBaseUri << " (" << threadName << ")";
            return;
        }
        if (resetRequested) {
            logger->logWarning() << "a send failed part-way, resetting websocket for:"
                                 << serviceDescription.serverBaseUri << " (" << threadName << ")";
            return;
        }
        if (!mayHaveMore && !readableWithin(*websocket, state.pollingIntervalUs)) {
            returnedDeliveries().release();
            continue;
        }
        const int chunk = receiveChunk(state);
        if (chunk == kChunkEnd) return;
        // A read that filled the chunk likely left more: read on without polling.
        mayHaveMore = chunk == kChunkData && state.lastReadFull;
        flushDeliveries();
    }
}

// Frames the socket library read ahead while it read the upgrade answer are
// held inside it, where neither a poll nor a read of the socket sees them:
// they are taken through the library first, whole, and the raw reads then
// start at a frame boundary.
bool DefaultWebsocketManager2::receiveHandshakeLeftovers(ReceiveState& state) {
    Poco::Buffer<char> frame(0);
    // The socket is asked first: bytes arriving between the two questions
    // can then only make this take one more frame through the library.
    const auto heldByLibrary = [this] {
        const int onSocket = bytesReadable(websocket->getFd());
        return websocket->available() > onSocket;
    };
    while (running && heldByLibrary()) {
        frame.resize(0);
        int flags = 0;
        const int n = websocket->receiveFrame(frame, flags);
        if (n == 0 && flags == 0) {
            logger->logWarning() << "Received 0 bytes from receiveFrame -> connection was lost -> resetting "
                                    "connection, threadName="
                                 << threadName;
            return false;
        }
        state.flags = flags & 0xFF;
        state.opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
        state.fin = (flags & Poco::Net::WebSocket::FRAME_FLAG_FIN) != 0;
        state.length = static_cast<uint64_t>(n);
        state.masked = false;
        if (!startFrame(state) || !takePayload(state, frame.begin(), static_cast<std::size_t>(n)) || !endFrame(state))
            return false;
        flushDeliveries();
    }
    return true;
}

int DefaultWebsocketManager2::receiveChunk(ReceiveState& state) {
    ssize_t n = 0;
    do {
        n = ::recv(websocket->getFd(), state.chunk.get(), kChunkSize, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    state.lastReadFull = n == static_cast<ssize_t>(kChunkSize);
    if (n > 0) return decodeFrames(state, state.chunk.get(), static_cast<std::size_t>(n)) ? kChunkData : kChunkEnd;
    if (n == 0) {
        // A stop request shuts the socket's read side to wake this loop.
        if (running)
            logger->logWarning() << "Received 0 bytes from receiveFrame -> connection was lost -> resetting "
                                    "connection, threadName="
                                 << threadName;
        return kChunkEnd;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kChunkNone;
    const std::string error = std::strerror(errno);
    if (errno == ECONNRESET)
        logger->logWarning() << "Poco error in receive thread, what=" << error << ", threadName=" << threadName;
    else
        logger->logWarning() << "StdException error in receive thread, what=" << error
                             << ", threadName=" << threadName;
    return kChunkEnd;
}

bool DefaultWebsocketManager2::decodeFrames(ReceiveState& state, char* data, std::size_t length) {
    char* const end = data + length;
    while (data < end) {
        if (!state.inPayload) {
            const std::size_t take = std::min<std::size_t>(state.headerNeed - state.headerHave, end - data);
            std::memcpy(state.header + state.headerHave, data, take);
            state.headerHave += take;
            data += take;
            if (state.headerHave < state.headerNeed) break;
            const unsigned lengthCode = state.header[1] & 0x7F;
            state.masked = (state.header[1] & 0x80) != 0;
            const std::size_t need =
                2 + (lengthCode == 126 ? 2 : lengthCode == 127 ? 8 : 0) + (state.masked ? 4 : 0);
            if (state.headerNeed < need) {
                state.headerNeed = need;
                continue;
            }
            state.flags = state.header[0];
            state.opcode = state.header[0] & 0x0F;
            state.fin = (state.header[0] & 0x80) != 0;
            std::size_t at = 2;
            if (lengthCode < 126) {
                state.length = lengthCode;
            } else {
                state.length = 0;
                for (const std::size_t lengthEnd = at + (lengthCode == 126 ? 2 : 8); at < lengthEnd; ++at)
                    state.length = (state.length << 8) | state.header[at];
            }
            // Only a client masks its frames; a masked frame from the server
            // fails the connection.
            if (state.masked) {
                protocolError("masked frame, opcode=", state);
                return false;
            }
            state.headerHave = 0;
            state.headerNeed = 2;
            if (!startFrame(state)) return false;
            if (state.remaining == 0 && !endFrame(state)) return false;
            continue;
        }
        const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(state.remaining, end - data));
        if (!takePayload(state, data, take)) return false;
        data += take;
        state.remaining -= take;
        if (state.remaining == 0 && !endFrame(state)) return false;
    }
    return true;
}

bool DefaultWebsocketManager2::startFrame(ReceiveState& state) {
    const bool control = (state.opcode & kControlBit) != 0;
    if (control && (state.opcode > kOpPong || state.length > kMaxControlPayload || !state.fin)) {
        protocolError("invalid control frame, opcode=", state);
        return false;
    }
    if (!control && state.opcode != kOpText && state.opcode != kOpBinary && state.opcode != kOpContinuation) {
        protocolError("frame with unknown opcode=", state);
        return false;
    }
    // Checked on the announced length, so that a forged header costs nothing.
    if (state.length > state.maxMessageSize) {
        logger->logError() << "message exceeds the maximum message size of " << state.maxMessageSize
                           << " bytes -> resetting connection, threadName=" << threadName;
        return false;
    }
    state.control.clear();
    state.remaining = state.length;
    state.inPayload = state.length > 0;
    return true;
}

void DefaultWebsocketManager2::protocolError(const char* what, const ReceiveState& state) {
    logger->logWarning() << "protocol error from the server: received " << what << state.opcode
                         << ", fin=" << state.fin << ", length=" << state.length
                         << " -> resetting connection, threadName=" << threadName;
}

bool DefaultWebsocketManager2::takePayload(ReceiveState& state, const char* data, std::size_t length) {
    if (state.opcode & kControlBit) {
        state.control.append(data, length);
        return true;
    }
    return appendToReadBuffer(state, data, length);
}

bool DefaultWebsocketManager2::endFrame(ReceiveState& state) {
    state.inPayload = false;
    const bool ping = state.opcode == kOpPing;
    const bool pong = state.opcode == kOpPong;
    if (!ping && !pong && logger->isTrace())
        logger->logTrace() << qelutil::Logger::getCurrentSystemTimeUSec() << " received frame length=" << state.length
                           << ", flags=" << state.flags << ", fin=" << state.fin << ", ping=" << ping
                           << ", pong=" << pong;
    if (ping) {
        sendPong(static_cast<int>(state.control.size()), state.control.data());
        return true;
    }
    if (state.watchdog && (pong || state.length > 0)) state.watchdog->notify(true);
    if (pong) return true;
    if (state.opcode == kOpClose) {
        logger->logInfo() << "received CLOSE frame -> closing connection, threadName=" << threadName;
        // Answers with the status code the peer sent, as the closing handshake asks.
        const std::string code = state.control.substr(0, 2);
        sendMessage(Poco::Net::WebSocket::FRAME_FLAG_FIN | kOpClose, code, static_cast<int>(code.size()), false,
                    std::string(), qelutil::ILogger::TRACE);
        return false;
    }
    return !state.fin || handleMessages(state);
}

bool DefaultWebsocketManager2::appendToReadBuffer(ReceiveState& state, const char* data, std::size_t length) {
    qelutil::ReadBuffer& buffer = state.readBuffer;
    while (length > 0) {
        const std::size_t room = buffer.getRemainingBytes();
        if (room == 0) {
            logger->logError() << "message exceeds the maximum message size of " << buffer.getMaxMessageSize()
                               << " bytes -> resetting connection, threadName=" << threadName;
            return false;
        }
        const std::size_t chunk = std::min(room, length);
        std::memcpy(buffer.getHead(), data, chunk);
        buffer.read(chunk);
        data += chunk;
        length -= chunk;
    }
    return true;
}

bool DefaultWebsocketManager2::handleMessages(ReceiveState& state) {
    qelutil::ReadBuffer& buffer = state.readBuffer;
    state.objects.clear();
    const auto result = buffer.parseJsonObjects(state.objects);
    if (result == qelutil::ReadBuffer::ParseResult::OVERSIZED) {
        logger->logError() << "message exceeds the maximum message size of " << buffer.getMaxMessageSize()
                           << " bytes -> resetting connection, threadName=" << threadName;
        return false;
    }
    if (result != qelutil::ReadBuffer::ParseResult::OK) {
        logger->logWarning() << "dropped received bytes: " << buffer.getLastError();
    } else if (state.objects.empty()) {
        logger->logWarning() << "Did not parse message, because it is not complete. Waiting for more data. "
                                "Content size of readBuffer="
                             << buffer.getReadBytes();
        if (!buffer.isEmpty() && logger->isDebug()) logger->logDebug() << "content of readBuffer=" << buffer.getContent();
    }
    for (const auto& object : state.objects) dispatchMessage(object);
    state.objects.clear();
    dropBrokenDocument(state);
    return true;
}

void DefaultWebsocketManager2::dropBrokenDocument(ReceiveState& state) {
    qelutil::ReadBuffer& buffer = state.readBuffer;
    if (buffer.isEmpty()) {
        state.messagesIntoIncomplete = 0;
        return;
    }
    if (++state.messagesIntoIncomplete < kMaxMessagesPerDocument) return;
    logger->logWarning() << "dropped an incomplete message that did not complete within " << kMaxMessagesPerDocument
                         << " messages, bytes=" << buffer.getReadBytes() << ", threadName=" << threadName;
    buffer.clear();
    state.messagesIntoIncomplete = 0;
}

void DefaultWebsocketManager2::dispatchMessage(const qelutil::JsonObject::Shared& obj) {
    // A message the handlers cannot take is dropped; the connection goes on.
    try {
        const std::string type = obj->isString(keys().type) ? obj->getString(keys().type) : std::string("unknown");
        if (type == "data") {
            logger->logDebug() << "Got data";
            handleData(obj);
        } else if (type == "error") {
            logger->logWarning() << "Got error";
            handleError(obj);
        } else if (type == "subscribe") {
            logger->logDebug() << "Got Subscription confirmation";
        } else if (type == "unsubscribe") {
            logger->logDebug() << "Got unsubscribe confirmation";
        } else {
            logger->logWarning() << "Got unknown event";
        }
    } catch (const std::exception& e) {
        logger->logWarning() << "dropped a message that could not be handled, what=" << detail::exceptionText(e);
    }
}

void DefaultWebsocketManager2::deliver(Delivery delivery) { pendingDeliveries.push_back(std::move(delivery)); }

DefaultWebsocketManager2::DeliveryReturn& DefaultWebsocketManager2::returnedDeliveries() {
    if (!deliveryReturn) deliveryReturn = std::make_shared<DeliveryReturn>();
    return *deliveryReturn;
}

void DefaultWebsocketManager2::flushDeliveries() {
    returnedDeliveries().release();
    if (pendingDeliveries.empty()) return;
    // One task for all callbacks of a read, run in arrival order: one
    // hand-off to the executor instead of one per message.
    auto name = pendingDeliveries.size() == 1 ? pendingDeliveries.front().name
                : logger->isTrace()           ? std::make_shared<const std::string>(
                                          "WS -> Subscription data callbacks, count = " +
                                          std::to_string(pendingDeliveries.size()))
                                              : unnamedTask();
    const std::size_t count = pendingDeliveries.size();
    taskExecutor->add(
        [deliveries = std::move(pendingDeliveries), back = deliveryReturn,
         log = qelutil::StreamingLogger(logger->getLogger())]() mutable {
            runDeliveries(deliveries, log);
            back->give(std::move(deliveries));
        },
        std::move(name));
    pendingDeliveries.clear();
    // The next read likely brings as many.
    pendingDeliveries.reserve(count);
}

void DefaultWebsocketManager2::runDeliveries(std::vector<Delivery>& deliveries,
                                             const qelutil::StreamingLogger& log) {
    for (auto& delivery : deliveries) {
        // A callback that throws is logged and does not keep the others from running.
        try {
            if (delivery.element)
                delivery.element(delivery.object);
            else if (delivery.array)
                delivery.array(delivery.items, delivery.response);
        } catch (const std::exception& e) {
            log.logWarning() << "subscription callback " << taskName(delivery.name) << " threw: " << e.what();
        } catch (...) {
            log.logWarning() << "subscription callback " << taskName(delivery.name) << " threw";
        }
        // The callbacks are the application's: they are released here, on
        // the executor. The rest goes back to the connection thread.
        delivery.element = nullptr;
        delivery.array = nullptr;
    }
}

void DefaultWebsocketManager2::closeConnection() {
    {
        std::lock_guard<std::mutex> lock(mtxWebsocket);
        if (websocket && !running) {
            // A requested stop: tell the server, if it still listens.
            try {
                if (websocket->poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_WRITE)) websocket->shutdown();
            } catch (const std::exception&) {
                // The socket goes anyway.
            }
        }
        websocket.reset();
    }
    CallbackMaps cleared;
    {
        std::lock_guard<std::mutex> lock(mtxConnectionState);
        connectionState = DISCONNECTED;
        onDisconnected(cleared);
    }
}

void DefaultWebsocketManager2::handleData(qelutil::JsonObject::SharedConst obj) {
    // A message without "data" or "event" is dropped without a word; the type
    // tests come first because they also answer whether a member is there.
    if (!obj->isString(keys().event)) {
        if (obj->has(keys().event) && obj->has(keys().data))
            logger->logWarning() << "dropped data message whose \"event\" is not a string";
        return;
    }
    const bool dataIsArray = obj->isArray(keys().data);
    if (!dataIsArray && !obj->isObject(keys().data)) {
        if (obj->has(keys().data))
            logger->logWarning() << "dropped data message whose \"data\" is neither an object nor an array, event="
                                 << obj->getString(keys().event);
        return;
    }
    const std::string event = obj->getString(keys().event);
    if (dataIsArray) {
        qelutil::JsonArray::Shared array = obj->getArray(keys().data);
        if (obj->isObject("paging")) {
            logger->logDebug() << "paging exists";
            const auto paging =
                PagingObject::createFromJson(*obj->getObject("paging"), static_cast<int64_t>(array->size()));
            if (logger->isDebug()) logger->logDebug() << "pagingObject{" << paging->toString() << "}";
            PagingObject::printWarnings(*paging, *logger);
            if (paging->isValid())
                subscriptionCache->updateSubscription(event, std::move(array),
                                                      std::make_shared<SubscriptionResponse>(*paging),
                                                      subscribeFunction, dataFunction);
            else
                logger->logWarning() << "paging object is invalid, dropping data";
            return;
        }
        if (subscriptionCache->isPagedSubscription(event))
            subscriptionCache->updateSubscription(event, std::move(array), std::make_shared<SubscriptionResponse>(),
                                                  subscribeFunction, dataFunction);
        else
            handleDataArraySubscriptions(event, std::move(array), std::make_shared<const SubscriptionResponse>());
        return;
    }
    qelutil::JsonObject::Shared data = obj->getObject(keys().data);
    std::lock_guard<std::mutex> lock(mtxCallbacksElement);
    const auto it = mapCallbacksElement.find(event);
    if (it == mapCallbacksElement.end() || !it->second) return;
    auto name = logger->isTrace() ? std::make_shared<const std::string>(
                                        "WS -> Element Data Subscription callback. event = " + event)
                                  : unnamedTask();
    deliver(Delivery{it->second, nullptr, std::move(data), nullptr, nullptr, std::move(name)});
}

void DefaultWebsocketManager2::handleDataArraySubscriptions(
    const std::string& event, qelutil::JsonArray::Shared array,
    std::shared_ptr<const SubscriptionResponse> subscriptionResponse) {
    const auto post = [&](std::mutex& mtx, std::map<std::string, ArrayCallback>& callbacks, const char* text) {
        std::lock_guard<std::mutex> lock(mtx);
        const auto it = callbacks.find(event);
        if (it == callbacks.end()) return false;
        logger->logDebug() << text << event;
        // Page subscriptions made for the cache carry no callback of their own.
        if (it->second)
            deliver(Delivery{nullptr, it->second, nullptr, array, subscriptionResponse, unnamedTask()});
        return true;
    };
    if (post(mtxCallbacksResource, mapCallbacksResource, "WS -> Resource DataArray Subscription callback. event = "))
        return;
    if (post(mtxCallbacksService, mapCallbacksService, "WS -> Service DataArray Subscription callback. event = "))
        return;
    if (post(mtxCallbacksRoot, mapCallbacksRoot, "WS -> Root DataArray Subscription callback. event = ")) return;
    logger->logWarning() << "WS -> No callback found for incoming data, event = " << event;
}

void DefaultWebsocketManager2::handleError(qelutil::JsonObject::Shared obj) {
    const bool hasEvent = obj->isString("event");
    const std::string event = hasEvent ? obj->getString("event") : std::string("noEvent");
    std::string message = "noMessage";
    if (obj->isString("message"))
        message = obj->getString("message");
    else if (obj->isString("data"))
        message = obj->getString("data");
    logger->logWarning() << "event=" << event;
    logger->logWarning() << "message=" << message;
    if (!hasEvent || message != "Gone") return;
    logger->logInfo() << "Got gone: removing baseSubscription and callback for event=" << event;
    subscriptionCache->removeBaseSubscription(event);
    removeCallback(event);
}

void DefaultWebsocketManager2::removeCallback(const std::string& key) {
    // The callback is destroyed after its mutex is released: what it holds
    // may unsubscribe through this manager when it goes.
    const auto takeOut = [&key](std::mutex& mtx, auto& callbacks, auto& removed) {
        std::lock_guard<std::mutex> lock(mtx);
        const auto it = callbacks.find(key);
        if (it == callbacks.end()) return false;
        removed = std::move(it->second);
        callbacks.erase(it);
        return true;
    };
    ElementCallback element;
    ArrayCallback array;
    if (takeOut(mtxCallbacksElement, mapCallbacksElement, element)) return;
    if (takeOut(mtxCallbacksRoot, mapCallbacksRoot, array)) return;
    if (takeOut(mtxCallbacksResource, mapCallbacksResource, array)) return;
    if (takeOut(mtxCallbacksService, mapCallbacksService, array)) return;
    logger->logInfo() << "could not find callback for key=" << key;
}

}  // namespace qel
