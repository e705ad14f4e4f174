#include <QelAccess/DefaultWebsocketManager2.h>

#include <QelAccess/InternalPocoWebsocket.h>
#include <QelAccess/KavoConnectionBackoffSequence.h>
#include <QelAccess/QelAccessLoggingClassifier.h>
#include <QelAccess/SubscriptionCache.h>

#include <QelAccessUtility/ReadBuffer.h>

#include "websocket/ExceptionText.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/URI.h>

#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace qel {

namespace {

constexpr std::chrono::milliseconds kConnectTimeout{10000};
constexpr std::chrono::milliseconds kConnectPollSlice{100};
constexpr long kHandshakeTimeoutSeconds = 10;
// A frame that stalls half-way for this long ends the connection.
constexpr long kReceiveStallTimeoutSeconds = 10;
constexpr long kSendTimeoutSeconds = 5;
constexpr long kSendWritableWaitUs = 1000000;
constexpr std::size_t kThreadNameLength = 15;

const std::shared_ptr<const std::string>& connectTaskName() {
    static const auto name = std::make_shared<const std::string>("WS -> Connect callback");
    return name;
}

const std::shared_ptr<const std::string>& disconnectTaskName() {
    static const auto name = std::make_shared<const std::string>("WS -> Disconnect callback");
    return name;
}

// Joins a thread, or detaches it when called on that very thread.
void finishThread(std::unique_ptr<std::thread> thread) {
    if (!thread || !thread->joinable()) return;
    if (thread->get_id() == std::this_thread::get_id())
        thread->detach();
    else
        thread->join();
}

}  // namespace

const std::string DefaultWebsocketManager2::DEFAULT_SUBSCRIPTION_EVENT_PREFIX;
std::string DefaultWebsocketManager2::subscriptionEventPrefix = DefaultWebsocketManager2::DEFAULT_SUBSCRIPTION_EVENT_PREFIX;
std::string DefaultWebsocketManager2::userAgent;
std::atomic<int32_t> DefaultWebsocketManager2::subEventCount{0};

DefaultWebsocketManager2::DefaultWebsocketManager2(const IConfigManager::ServiceConfiguration& serviceConfiguration,
                                                   const std::string& threadName,
                                                   std::shared_ptr<qelutil::ITaskExecutor> taskExecutor,
                                                   std::shared_ptr<qelutil::LoggerFactory> loggerFactory)
    : threadName(threadName),
      serviceDescription(serviceConfiguration),
      taskExecutor(std::move(taskExecutor)),
      maxMessageSize(qelutil::ReadBuffer::DEFAULT_MAX_MESSAGE_SIZE) {
    if (!this->taskExecutor) throw std::invalid_argument("DefaultWebsocketManager2: the task executor is null");
    if (!loggerFactory) throw std::invalid_argument("DefaultWebsocketManager2: the logger factory is null");
    connectionBackoffSequence = std::make_shared<KavoConnectionBackoffSequence>(4, 500);
    logger = std::make_unique<qelutil::StreamingLogger>(
        std::shared_ptr<qelutil::ILogger>(loggerFactory->createLogger(QelAccessLoggingClassifier::FACILITY_QEL_ACCESS)));
    subscriptionCache = std::make_shared<SubscriptionCache>(loggerFactory);
    subscribeFunction = [this](std::shared_ptr<const XObjectDescriptor> descriptor, Subscription::SubscriptionType type,
                               qelutil::Optional<Milliseconds> updateLimit) {
        return internalSubscribe(std::move(descriptor), type, updateLimit ? &updateLimit.getValue() : nullptr);
    };
    dataFunction = [this](const std::string& event, qelutil::JsonArray::Shared array,
                          std::shared_ptr<SubscriptionResponse> response) {
        handleDataArraySubscriptions(event, std::move(array), std::move(response));
    };
}

DefaultWebsocketManager2::~DefaultWebsocketManager2() {
    disconnect();
    // A connection that ended by itself leaves its finished thread behind.
    finishThread(std::move(th));
}

void DefaultWebsocketManager2::setSubscriptionEventPrefix(const std::string& prefix) {
    subscriptionEventPrefix = prefix;
    userAgent = !prefix.empty() && prefix.back() == '_' ? prefix.substr(0, prefix.size() - 1) : prefix;
}

std::string DefaultWebsocketManager2::getSubscriptionEventPrefix() { return subscriptionEventPrefix; }

void DefaultWebsocketManager2::setMaxMessageSize(std::size_t bytes) {
    if (bytes == 0) throw std::invalid_argument("DefaultWebsocketManager2: the maximum message size must not be 0");
    maxMessageSize = std::min<std::size_t>(bytes, INT_MAX);
}

std::size_t DefaultWebsocketManager2::getMaxMessageSize() const { return maxMessageSize; }

IWebsocketManager::CONNECTION_STATE DefaultWebsocketManager2::getConnectionState() { return connectionState; }

void DefaultWebsocketManager2::setConnectBackoffGenerator(std::shared_ptr<qelutil::INumberSequence> sequence) {
    if (!sequence) return;
    std::lock_guard<std::mutex> lock(mtxWebsocket);
    connectionBackoffSequence = std::move(sequence);
}

void DefaultWebsocketManager2::connectToWebsocketAndThen(std::function<void()> callbackConnected,
                                                         std::function<void()> callbackDisconnected) {
    std::lock_guard<std::mutex> lock(mtxConnectionState);
    callbacksConnected.push_back(std::move(callbackConnected));
    callbacksDisconnected.push_back(std::move(callbackDisconnected));
    logger->logTrace() << " to " << serviceDescription.serverBaseUri
                       << " connectedCallbacks size:" << callbacksConnected.size()
                       << " disconnectedCallbacks size:" << callbacksDisconnected.size();
    switch (connectionState.load()) {
        case DISCONNECTED:
            running = true;
            resetRequested = false;
            connectionState = CONNECTING;
            // A finished thread has released mtxConnectionState for good, so
            // joining it here cannot wait on this lock.
            finishThread(std::move(th));
            try {
                th = std::make_unique<std::thread>([this] { runConnection(); });
            } catch (...) {
                connectionState = DISCONNECTED;
                running = false;
                throw;
            }
            if (!setThreadName(*th, threadName)) logger->logWarning() << "could not set thread name=" << threadName;
            break;
        case CONNECTED:
            onConnected();
            break;
        case CONNECTING:
            break;
    }
}

void DefaultWebsocketManager2::disconnect() {
    if (!running) return;
    {
        std::lock_guard<std::mutex> lock(mtxRetryConnectWait);
        running = false;
    }
    cvRetryConnectWait.notify_one();
    {
        // Cuts a handshake short: the peer may never answer it.
        std::lock_guard<std::mutex> lock(mtxConnectAttempt);
        if (connectAttemptFd >= 0) ::shutdown(connectAttemptFd, SHUT_RDWR);
    }
    {
        // Wakes the receive loop at once instead of after its polling
        // interval; sending (the CLOSE frame of the exit steps) still works.
        std::lock_guard<std::mutex> lock(mtxWebsocket);
        if (websocket) ::shutdown(websocket->getFd(), SHUT_RD);
    }
    std::unique_ptr<std::thread> thread;
    {
        std::lock_guard<std::mutex> lock(mtxConnectionState);
        thread = std::move(th);
    }
    finishThread(std::move(thread));
}

bool DefaultWebsocketManager2::setThreadName(std::thread& t, const std::string& name) {
    return pthread_setname_np(t.native_handle(), name.substr(0, kThreadNameLength).c_str()) == 0;
}

void DefaultWebsocketManager2::runConnection() {
    connectLoop();
    workLoop();
}

void DefaultWebsocketManager2::connectLoop() {
    std::shared_ptr<qelutil::INumberSequence> sequence;
    {
        std::lock_guard<std::mutex> lock(mtxWebsocket);
        sequence = connectionBackoffSequence;
    }
    sequence->reset();
    const std::string& uriText = serviceDescription.serverBaseUri;
    while (running) {
        try {
            const Poco::URI uri(uriText);
            if (attemptConnection(uri.getHost(), uri.getPort())) return;
        } catch (const Poco::Net::NetException& e) {
            logger->logError() << "Connection refused to " << uriText << " (" << threadName
                               << "), try again later: " << detail::exceptionText(e);
        } catch (const std::exception& e) {
            logger->logError() << "WebSocket Connection not possible to:" << uriText << " (" << threadName << ")";
            logger->logDebug() << "connect attempt failed: " << detail::exceptionText(e);
        }
        waitBeforeRetry(*sequence);
    }
}

namespace {

// Connects without blocking longer than one slice at a time, so that a stop
// request is seen; false when `running` went false first.
bool connectSocket(Poco::Net::StreamSocket& socket, const Poco::Net::SocketAddress& address,
                   const std::atomic<bool>& running) {
    socket.connectNB(address);
    const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    const Poco::Timespan slice(std::chrono::duration_cast<std::chrono::microseconds>(kConnectPollSlice).count());
    while (!socket.poll(slice, Poco::Net::Socket::SELECT_WRITE | Poco::Net::Socket::SELECT_ERROR)) {
        if (!running) return false;
        if (std::chrono::steady_clock::now() >= deadline)
            throw Poco::TimeoutException("connecting to " + address.toString());
    }
    const int error = socket.impl()->socketError();
    if (error == ECONNREFUSED) throw Poco::Net::ConnectionRefusedException(address.toString());
    if (error != 0) throw Poco::Net::NetException(address.toString() + ": " + std::strerror(error));
    socket.setBlocking(true);
    return running;
}

}  // namespace

bool DefaultWebsocketManager2::attemptConnection(const std::string& host, uint16_t port) {
    const std::string& uriText = serviceDescription.serverBaseUri;
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, serviceDescription.serverBasePath,
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    if (!userAgent.empty()) request.set("User-Agent", userAgent);
    request.set("origin", uriText);
    request.setHost(host, port);
    logger->logInfo() << "trying to connect to: " << uriText;

    Poco::Net::StreamSocket socket;
    if (!connectSocket(socket, Poco::Net::SocketAddress(host, port), running)) return false;
    socket.setReceiveTimeout(Poco::Timespan(kHandshakeTimeoutSeconds, 0));
    socket.setSendTimeout(Poco::Timespan(kHandshakeTimeoutSeconds, 0));
    Poco::Net::HTTPClientSession session(socket);
    Poco::Net::HTTPResponse response;
    std::unique_ptr<InternalPocoWebsocket> ws;
    {
        // Registered only while the socket is surely open (the session closes
        // it when the handshake fails), so disconnect() never shuts down a
        // reused descriptor.
        registerConnectAttempt(static_cast<int>(socket.impl()->sockfd()));
        struct Unregister {
            DefaultWebsocketManager2& manager;
            ~Unregister() { manager.registerConnectAttempt(-1); }
        } unregister{*this};
        if (!running) return false;
        try {
            ws = std::make_unique<InternalPocoWebsocket>(session, request, response);
        } catch (const Poco::Net::WebSocketException& e) {
            if (e.code() != Poco::Net::WebSocket::WS_ERR_NO_HANDSHAKE &&
                e.code() != Poco::Net::WebSocket::WS_ERR_UNAUTHORIZED)
                throw;
            logger->logInfo() << "HTTP Response: " << static_cast<int>(response.getStatus())
                              << ", Reason: " << response.getReason();
            loggingStatusCode(static_cast<int>(response.getStatus()));
            return false;
        }
    }
    if (!running) return false;
    ws->setKeepAlive(true);
    ws->setMaxPayloadSize(static_cast<int>(maxMessageSize.load()));
    ws->setReceiveTimeout(Poco::Timespan(kReceiveStallTimeoutSeconds, 0));
    ws->setSendTimeout(Poco::Timespan(kSendTimeoutSeconds, 0));
    logger->logInfo() << "successfully connected to : " << uriText << " (" << threadName << ")";
    std::lock_guard<std::mutex> socketLock(mtxWebsocket);
    websocket = std::move(ws);
    std::lock_guard<std::mutex> stateLock(mtxConnectionState);
    connectionState = CONNECTED;
    onConnected();
    return true;
}

void DefaultWebsocketManager2::registerConnectAttempt(int fd) {
    std::lock_guard<std::mutex> lock(mtxConnectAttempt);
    connectAttemptFd = fd;
}

void DefaultWebsocketManager2::waitBeforeRetry(qelutil::INumberSequence& sequence) {
    std::unique_lock<std::mutex> lock(mtxRetryConnectWait);
    const int64_t wait = std::max<int64_t>(0, sequence.next());
    logger->logDebug() << "waiting " << wait << " ms before trying to connect again to:"
                       << serviceDescription.serverBaseUri << " (" << threadName << ")";
    cvRetryConnectWait.wait_for(lock, std::chrono::milliseconds(wait), [this] { return !running; });
}

void DefaultWebsocketManager2::onConnected() {
    logger->logInfo() << " onConnected to " << serviceDescription.serverBaseUri
                      << " connectedCallbacks size:" << callbacksConnected.size()
                      << " disconnectedCallbacks size:" << callbacksDisconnected.size();
    for (auto& callback : callbacksConnected) taskExecutor->add(std::move(callback), connectTaskName());
    callbacksConnected.clear();
}

void DefaultWebsocketManager2::onDisconnected(CallbackMaps& cleared) {
    logger->logInfo() << serviceDescription.serviceName << " service disconnected";
    logger->logInfo() << " onDisconnected to " << serviceDescription.serverBaseUri
                      << " connectedCallbacks size:" << callbacksConnected.size()
                      << " disconnectedCallbacks size:" << callbacksDisconnected.size();
    // The callbacks are moved out and destroyed later, without locks: what
    // they captured (a subscription handle, say) may call back into this
    // manager when it goes.
    {
        std::lock_guard<std::mutex> lock(mtxCallbacksElement);
        cleared.element.swap(mapCallbacksElement);
    }
    {
        std::lock_guard<std::mutex> lock(mtxCallbacksService);
        cleared.service.swap(mapCallbacksService);
    }
    {
        std::lock_guard<std::mutex> lock(mtxCallbacksResource);
        cleared.resource.swap(mapCallbacksResource);
    }
    {
        std::lock_guard<std::mutex> lock(mtxCallbacksRoot);
        cleared.root.swap(mapCallbacksRoot);
    }
    for (auto& callback : callbacksDisconnected) taskExecutor->add(std::move(callback), disconnectTaskName());
    callbacksDisconnected.clear();
}

bool DefaultWebsocketManager2::sendMessage(int flag, const std::string& msg, int contentSize, bool isLog,
                                           const std::string& log, qelutil::ILogger::LogLevel loggingLevel) {
    const int size = std::max(0, std::min(contentSize, static_cast<int>(std::min<std::size_t>(msg.size(), INT_MAX))));
    std::string failure;
    bool connectionReset = false;
    {
        std::lock_guard<std::mutex> lock(mtxWebsocket);
        if (!websocket || !websocket->poll(Poco::Timespan(kSendWritableWaitUs), Poco::Net::Socket::SELECT_WRITE)) {
            failure = "could not send ws frame";
        } else {
            if (isLog && loggingLevel == qelutil::ILogger::INFO) logger->logInfo() << log << msg;
            if (isLog && loggingLevel == qelutil::ILogger::TRACE) logger->logTrace() << log << msg;
            try {
                websocket->sendFrame(msg.data(), size, flag);
                return true;
            } catch (const Poco::Net::ConnectionResetException& e) {
                connectionReset = true;
                failure = detail::exceptionText(e);
            } catch (const std::exception& e) {
                failure = detail::exceptionText(e);
            }
            // The frame may have gone out in part; nothing sent after it
            // could be framed correctly.
            resetRequested = true;
        }
    }
    if (connectionReset)
        logger->logWarning() << "Poco error in send thread, what=" << failure << ", threadName=" << threadName;
    else
        logger->logWarning() << "StdException error in send thread, what=" << failure << ", threadName=" << threadName;
    return false;
}

bool DefaultWebsocketManager2::sendPing(const char* content, std::size_t length) {
    if (length != 0 && content == nullptr) return false;
    if (length > INT_MAX) return false;
    const std::string payload = length == 0 ? std::string() : std::string(content, length);
    return sendMessage(Poco::Net::WebSocket::FRAME_FLAG_FIN | Poco::Net::WebSocket::FRAME_OP_PING, payload,
                       static_cast<int>(length), false, std::string(), qelutil::ILogger::TRACE);
}

bool DefaultWebsocketManager2::sendPong(int pingPayloadSize, const char* buffer) {
    if (pingPayloadSize < 0 || (pingPayloadSize > 0 && buffer == nullptr)) return false;
    const std::string payload(buffer == nullptr ? "" : buffer, static_cast<std::size_t>(pingPayloadSize));
    return sendMessage(Poco::Net::WebSocket::FRAME_FLAG_FIN | Poco::Net::WebSocket::FRAME_OP_PONG, payload,
                       pingPayloadSize, false, std::string(), qelutil::ILogger::TRACE);
}

void DefaultWebsocketManager2::loggingStatusCode(int status) {
    logger->logInfo() << "HTTP Response: Status:  " << status;
    const char* text = nullptr;
    qelutil::ILogger::LogLevel level = qelutil::ILogger::WARNING;
    switch (status) {
        case 101: return;
        case 200: level = qelutil::ILogger::INFO; text = "HTTP Response: Status OK "; break;
        case 201: level = qelutil::ILogger::INFO; text = "HTTP Response: Status CREATED "; break;
        case 202: text = "HTTP Response: Status HTTP_ACCEPTED "; break;
        case 300: text = "HTTP Response: Status HTTP_MULTIPLE_CHOICES "; break;
        case 304: text = "HTTP Response: Status HTTP_NOT_MODIFIED "; break;
        case 307: level = qelutil::ILogger::INFO; text = "HTTP Response: Status HTTP_TEMPORARY_REDIRECT "; break;
        case 400: level = qelutil::ILogger::ERROR; text = "HTTP Response: Status HTTP_BAD_REQUEST "; break;
        case 401: level = qelutil::ILogger::ERROR; text = "HTTP Response: Status HTTP_UNAUTHORIZED "; break;
        case 403: level = qelutil::ILogger::ERROR; text = "HTTP Response: Status HTTP_FORBIDDEN "; break;
        case 404: text = "HTTP Response: Status HTTP_NOT_FOUND "; break;
        case 408: text = "HTTP Response: Status HTTP_REQUEST_TIMEOUT "; break;
        case 409: text = "HTTP Response: Status HTTP_CONFLICT "; break;
        case 410: text = "HTTP Response: Status HTTP_GONE "; break;
        case 500: text = "HTTP Response: Status HTTP_INTERNAL_SERVER_ERROR "; break;
        case 501: text = "HTTP Response: Status HTTP_NOT_IMPLEMENTED "; break;
        case 503: text = "HTTP Response: Status HTTP_SERVICE_UNAVAILABLE "; break;
        case 504: level = qelutil::ILogger::ERROR; text = "HTTP Response: Status HTTP_GATEWAY_TIMEOUT "; break;
        default: break;
    }
    switch (level) {
        case qelutil::ILogger::INFO: logger->logInfo() << text; break;
        case qelutil::ILogger::ERROR: logger->logError() << text; break;
        default:
            if (text)
                logger->logWarning() << text;
            else
                logger->logWarning() << "HTTP Response: Status unknown " << status;
            break;
    }
}

}  // namespace qel
