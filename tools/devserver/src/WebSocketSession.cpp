#include "WebSocketSession.h"

#include "Reply.h"

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>

#include <Poco/Net/NetException.h>

#include <algorithm>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace qeldev {

using Poco::Net::WebSocket;
using qelutil::JsonObject;

namespace {

using std::chrono::milliseconds;

constexpr int64_t MAX_PERIOD_MS = 24 * 60 * 60 * 1000;
/// Shorter periods are raised to this, so that no client can make the
/// server push without pause.
constexpr milliseconds MIN_PERIOD{10};
/// The longest sleep of the loop: stops and faults are noticed at the latest then.
constexpr milliseconds MAX_WAIT{250};

milliseconds period(const JsonObject& message, const std::string& key) {
    if (!message.has(key)) return milliseconds(0);
    if (!message.isLong(key) || message.getLong(key) < 0 || message.getLong(key) > MAX_PERIOD_MS)
        throw HttpError(400, "\"" + key + "\" must be an integer from 0 to " + std::to_string(MAX_PERIOD_MS));
    const milliseconds value(message.getLong(key));
    return value.count() == 0 ? value : std::max(value, MIN_PERIOD);
}

int pollTimeout(WebSocketSession::Clock::time_point until) {
    const auto left = std::chrono::ceil<milliseconds>(until - WebSocketSession::Clock::now());
    return static_cast<int>(std::clamp(left, milliseconds(0), MAX_WAIT).count());
}

}  // namespace

WebSocketSession::WebSocketSession(WebSocketHub& hub, const ServerContext& context, std::size_t origin,
                                   const Poco::Net::WebSocket& socket)
    : m_hub(hub), m_context(context), m_origin(origin), m_socket(std::make_unique<WebSocket>(socket)), m_fd(socket.impl()->sockfd()) {
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WebSocketSession::~WebSocketSession() { ::close(m_wakeFd); }

void WebSocketSession::run() {
    try {
        m_socket->setMaxPayloadSize(static_cast<int>(m_hub.settings().maxMessageBytes));
        // A frame that has begun must arrive in time; a peer that reads nothing
        // must not hold a write for long.
        m_socket->setReceiveTimeout(Poco::Timespan(10, 0));
        m_socket->setSendTimeout(Poco::Timespan(5, 0));
        m_socket->setNoDelay(true);
        serve();
    } catch (const Poco::Exception& e) {
        if (m_hub.logger().isDebug()) m_hub.logger().debug("WebSocket connection ended: " + e.displayText());
    } catch (const std::exception& e) {
        m_hub.logger().warning(std::string("WebSocket connection failed: ") + e.what());
    }
    while (!m_subscriptions.empty()) removeSubscription(m_subscriptions.size() - 1);
    closeFinally();
}

void WebSocketSession::serve() {
    while (true) {
        if (m_hub.isStopping()) {
            sendClose(WebSocket::WS_ENDPOINT_GOING_AWAY, "server stopping");
            return;
        }
        if (m_dropped.load()) return;
        const auto stallEnd = m_hub.stalledUntil();
        if (Clock::now() < stallEnd) {
            waitWake(stallEnd);
            continue;
        }
        if (!processChanges()) return;
        processDue(Clock::now());
        // A stall that began during the wait holds back what woke it.
        if (!waitReady(nextDeadline(Clock::now())) || Clock::now() < m_hub.stalledUntil()) continue;
        // Changes made before the client's message are answered first.
        if (!processChanges()) return;
        if (!receive()) return;
    }
}

bool WebSocketSession::waitReady(Clock::time_point until) {
    if (m_socket->available() > 0) return true;
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, pollTimeout(until)) <= 0) return false;
    if (fds[1].revents & POLLIN) {
        uint64_t count = 0;
        const auto got = ::read(m_wakeFd, &count, sizeof(count));
        (void)got;
    }
    return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void WebSocketSession::waitWake(Clock::time_point until) {
    pollfd fd{m_wakeFd, POLLIN, 0};
    if (::poll(&fd, 1, pollTimeout(until)) > 0) {
        uint64_t count = 0;
        const auto got = ::read(m_wakeFd, &count, sizeof(count));
        (void)got;
    }
}

void WebSocketSession::wake() {
    const uint64_t one = 1;
    const auto written = ::write(m_wakeFd, &one, sizeof(one));
    (void)written;
}

bool WebSocketSession::receive() {
    int flags = 0;
    int length = 0;
    m_frame.resize(0);
    try {
        length = m_socket->receiveFrame(m_frame, flags);
    } catch (const Poco::Net::WebSocketException& e) {
        if (e.code() != WebSocket::WS_ERR_PAYLOAD_TOO_BIG) throw;
        // The frame's payload is still unread: the stream cannot go on.
        sendError(std::nullopt, 413, "message too large");
        sendClose(WebSocket::WS_PAYLOAD_TOO_BIG, "message too large");
        return false;
    }
    if (length == 0 && flags == 0) return false;
    return handleFrame(flags, length);
}

bool WebSocketSession::handleFrame(int flags, int length) {
    const std::string payload = length > 0 ? std::string(m_frame.begin(), static_cast<std::size_t>(length)) : "";
    const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
    switch (opcode) {
        case WebSocket::FRAME_OP_PING:
            sendRaw(WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG, payload);
            return true;
        case WebSocket::FRAME_OP_PONG:
            return true;
        case WebSocket::FRAME_OP_CLOSE: {
            const int code = payload.size() >= 2 ? (static_cast<unsigned char>(payload[0]) << 8) |
                                                       static_cast<unsigned char>(payload[1])
                                                 : WebSocket::WS_NORMAL_CLOSE;
            sendClose(code, "");
            return false;
        }
        case WebSocket::FRAME_OP_TEXT:
        case WebSocket::FRAME_OP_BINARY:
            if (m_inMessage) sendError(std::nullopt, 400, "a message began before the previous one ended");
            m_message = payload;
            m_inMessage = true;
            m_binaryMessage = opcode == WebSocket::FRAME_OP_BINARY;
            break;
        case WebSocket::FRAME_OP_CONT:
            if (!m_inMessage) {
                sendError(std::nullopt, 400, "a continuation frame without a message");
                return true;
            }
            m_message += payload;
            break;
        default:
            sendError(std::nullopt, 400, "unknown frame opcode " + std::to_string(opcode));
            return true;
    }
    if (m_message.size() > m_hub.settings().maxMessageBytes) {
        sendError(std::nullopt, 413, "message too large");
        sendClose(WebSocket::WS_PAYLOAD_TOO_BIG, "message too large");
        return false;
    }
    if ((flags & WebSocket::FRAME_FLAG_FIN) == 0) return true;
    m_inMessage = false;
    std::string text;
    text.swap(m_message);
    handleMessage(text, m_binaryMessage);
    return true;
}

void WebSocketSession::handleMessage(const std::string& text, bool binary) {
    if (binary) {
        sendError(std::nullopt, 400, "binary messages are not understood");
        return;
    }
    JsonObject::Shared message;
    try {
        message = qelutil::JsonFactory::parseObject(text);
    } catch (const qelutil::JsonException& e) {
        sendError(std::nullopt, 400, std::string("a message must be one JSON object: ") + e.what());
        return;
    }
    std::optional<std::string> event;
    if (message->isString("event")) event = message->getString("event");
    if (!message->isString("type")) {
        sendError(event, 400, "a message needs a string \"type\"");
        return;
    }
    const std::string type = message->getString("type");
    if (type != "subscribe" && type != "unsubscribe") {
        sendError(event, 400, "unknown message type \"" + type + "\"");
        return;
    }
    if (!event) {
        sendError(std::nullopt, 400, "a " + type + " message needs a string \"event\"");
        return;
    }
    if (type == "subscribe") {
        subscribe(*message, *event);
    } else {
        unsubscribe(*event);
    }
}

void WebSocketSession::subscribe(const JsonObject& message, const std::string& event) {
    Subscription subscription;
    try {
        subscription.interval = period(message, "interval");
        // An interval wins over an update limit, as clients build their messages.
        if (subscription.interval.count() == 0) subscription.updateLimit = period(message, "updatelimit");
        subscription.target = resolveTarget(m_context, m_origin, event);
    } catch (const HttpError& e) {
        sendError(event, e.status(), e.what());
        return;
    }
    const auto same = std::find_if(m_subscriptions.begin(), m_subscriptions.end(),
                                   [&](const Subscription& existing) { return existing.event == event; });
    if (same != m_subscriptions.end()) removeSubscription(static_cast<std::size_t>(same - m_subscriptions.begin()));
    if (m_subscriptions.size() >= m_hub.settings().maxSubscriptions) {
        sendError(event, 400, "too many subscriptions on this connection");
        return;
    }
    subscription.event = event;
    subscription.key = unsubscribeKey(event);
    if (subscription.target.kind == SubscriptionTarget::RESOURCE)
        m_hub.addInterest(subscription.target.service->name, subscription.target.resource);
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_latestEvent = event;
        m_latestIsListing = subscription.target.isListing();
    }
    const auto now = Clock::now();
    subscription.lastPush = now;
    subscription.nextDue = now + subscription.interval;
    m_subscriptions.push_back(std::move(subscription));
    if (m_hub.logger().isDebug()) m_hub.logger().debug("WebSocket subscription " + event);
    sendText(wsmessage::confirmation("subscribe", event));
    pushCurrent(m_subscriptions.back());
}

void WebSocketSession::unsubscribe(const std::string& event) {
    const std::string key = unsubscribeKey(event);
    for (std::size_t i = 0; i < m_subscriptions.size();) {
        if (m_subscriptions[i].key == key || m_subscriptions[i].event == event) {
            removeSubscription(i);
        } else {
            ++i;
        }
    }
    sendText(wsmessage::confirmation("unsubscribe", event));
}

void WebSocketSession::removeSubscription(std::size_t index) {
    const SubscriptionTarget& target = m_subscriptions[index].target;
    if (target.kind == SubscriptionTarget::RESOURCE) m_hub.removeInterest(target.service->name, target.resource);
    m_subscriptions.erase(m_subscriptions.begin() + static_cast<std::ptrdiff_t>(index));
}

void WebSocketSession::enqueue(const ElementChange& change, const WebSocketHub::Snapshot& snapshot) {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_queue.size() >= m_hub.settings().maxQueuedChanges) {
            m_overflow = true;
        } else {
            m_queue.push_back({change, snapshot});
        }
    }
    wake();
}

bool WebSocketSession::processChanges() {
    std::vector<QueuedChange> changes;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_overflow) {
            m_hub.logger().warning("a WebSocket connection fell " + std::to_string(m_queue.size()) +
                                   " changes behind; dropping it");
            return false;
        }
        changes.swap(m_queue);
    }
    for (const auto& queued : changes) applyChange(queued);
    if (m_registryChanged.exchange(false)) applyRegistryChange();
    return true;
}

void WebSocketSession::registryChanged() {
    m_registryChanged.store(true);
    wake();
}

void WebSocketSession::applyRegistryChange() {
    for (auto& subscription : m_subscriptions) {
        if (subscription.target.kind != SubscriptionTarget::ROOT || !subscription.target.mount.registry) continue;
        if (subscription.interval.count() > 0) continue;  // shows it at its next period
        if (subscription.updateLimit.count() > 0) {
            subscription.dirty = true;
        } else {
            pushCurrent(subscription);
        }
    }
}

void WebSocketSession::applyChange(const QueuedChange& queued) {
    const ElementChange& change = queued.change;
    for (std::size_t i = 0; i < m_subscriptions.size();) {
        Subscription& subscription = m_subscriptions[i];
        if (!subscription.target.concerns(change) || change.sequence <= subscription.shownSequence) {
            ++i;
            continue;
        }
        if (subscription.target.kind == SubscriptionTarget::ELEMENT && change.kind == ElementChange::DELETED) {
            const std::string event = subscription.event;
            removeSubscription(i);
            sendError(event, 410, "Gone");
            continue;
        }
        if (subscription.interval.count() > 0) {
            // Periodic subscriptions show changes at their next period.
        } else if (subscription.updateLimit.count() > 0) {
            subscription.dirty = true;
        } else if (subscription.target.kind == SubscriptionTarget::ELEMENT) {
            if (change.element) sendText(wsmessage::element(subscription.event, subscription.target, *change.element));
        } else {
            pushListing(subscription,
                        queued.snapshot ? *queued.snapshot : currentItems(m_context, subscription.target));
        }
        ++i;
    }
}

void WebSocketSession::processDue(Clock::time_point now) {
    for (auto& subscription : m_subscriptions) {
        if (subscription.interval.count() > 0) {
            if (now < subscription.nextDue) continue;
            subscription.nextDue += subscription.interval;
            if (subscription.nextDue <= now) subscription.nextDue = now + subscription.interval;
            pushCurrent(subscription);
        } else if (subscription.dirty && now >= subscription.lastPush + subscription.updateLimit) {
            subscription.dirty = false;
            subscription.lastPush = now;
            pushCurrent(subscription);
        }
    }
}

WebSocketSession::Clock::time_point WebSocketSession::nextDeadline(Clock::time_point now) const {
    Clock::time_point deadline = now + MAX_WAIT;
    for (const auto& subscription : m_subscriptions) {
        if (subscription.interval.count() > 0) {
            deadline = std::min(deadline, subscription.nextDue);
        } else if (subscription.dirty) {
            deadline = std::min(deadline, subscription.lastPush + subscription.updateLimit);
        }
    }
    return deadline;
}

void WebSocketSession::pushCurrent(Subscription& subscription) {
    const SubscriptionTarget& target = subscription.target;
    if (target.kind != SubscriptionTarget::ELEMENT) {
        ElementList items;
        subscription.shownSequence =
            m_context.store.readAtSequence([&] { items = currentItems(m_context, target); });
        pushListing(subscription, items);
        return;
    }
    DataStore::SharedConst element;
    subscription.shownSequence = m_context.store.readAtSequence(
        [&] { element = m_context.store.get(target.service->name, target.resource, target.id); });
    // A vanished element needs no push here: its deletion is queued and ends the subscription.
    if (element) sendText(wsmessage::element(subscription.event, target, *element));
}

void WebSocketSession::pushListing(const Subscription& subscription, const ElementList& items) {
    std::string text;
    try {
        text = wsmessage::listing(subscription.event, subscription.target, items, m_hub.settings().pageSize);
    } catch (const HttpError& e) {
        sendError(subscription.event, e.status(), e.what());
        return;
    }
    sendText(text);
}

void WebSocketSession::sendText(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    const std::size_t split = m_hub.splitBytes();
    if (split == 0 || text.size() <= split) {
        m_socket->sendFrame(text.data(), static_cast<int>(text.size()), WebSocket::FRAME_TEXT);
        return;
    }
    for (std::size_t offset = 0; offset < text.size(); offset += split) {
        const std::size_t length = std::min(split, text.size() - offset);
        int flags = offset == 0 ? WebSocket::FRAME_OP_TEXT : WebSocket::FRAME_OP_CONT;
        if (offset + length == text.size()) flags |= WebSocket::FRAME_FLAG_FIN;
        m_socket->sendFrame(text.data() + offset, static_cast<int>(length), flags);
    }
}

void WebSocketSession::sendError(const std::optional<std::string>& event, int status, const std::string& message) {
    if (m_hub.logger().isDebug())
        m_hub.logger().debug("WebSocket error " + std::to_string(status) + " for " + event.value_or("(none)") + ": " +
                             message);
    sendText(wsmessage::error(event, status, message));
}

bool WebSocketSession::sendRaw(int flags, const std::string& payload) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_closed.load()) return false;
    try {
        m_socket->sendFrame(payload.data(), static_cast<int>(payload.size()), flags);
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

bool WebSocketSession::sendPadded(std::size_t bytes) {
    std::string event;
    bool listing = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        event = m_latestEvent.empty() ? "oversized" : m_latestEvent;
        listing = m_latestIsListing;
    }
    return sendRaw(WebSocket::FRAME_TEXT, wsmessage::padded(event, listing, bytes));
}

void WebSocketSession::sendClose(int code, const std::string& reason) {
    std::string payload;
    payload.push_back(static_cast<char>((code >> 8) & 0xFF));
    payload.push_back(static_cast<char>(code & 0xFF));
    payload += reason;
    sendRaw(WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE, payload);
}

void WebSocketSession::drop() {
    m_dropped.store(true);
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_closed.load()) ::shutdown(m_fd, SHUT_RDWR);
    }
    wake();
}

void WebSocketSession::closeFinally() {
    std::lock_guard<std::mutex> writeLock(m_writeMutex);
    std::lock_guard<std::mutex> stateLock(m_stateMutex);
    m_closed.store(true);
    ::shutdown(m_fd, SHUT_RDWR);
    m_socket.reset();
}

}  // namespace qeldev
