#include <QelAccess/WebsocketWatchdog.h>

#include <QelAccessUtility/LoggerFactory.h>

#include <utility>

namespace qel {

namespace {

std::chrono::milliseconds clampPingInterval(const std::chrono::milliseconds& interval) {
    if (interval < WebsocketWatchdog::MIN_PING_INTERVAL) return WebsocketWatchdog::MIN_PING_INTERVAL;
    if (interval > WebsocketWatchdog::MAX_PING_INTERVAL) return WebsocketWatchdog::MAX_PING_INTERVAL;
    return interval;
}

}  // namespace

WebsocketWatchdog::WebsocketWatchdog(std::string userData_, const std::string& serviceName_,
                                     std::shared_ptr<IWebsocketManager> websocketManager_,
                                     const std::chrono::milliseconds& pingInterval_,
                                     const std::chrono::milliseconds& pongTimeout_)
    : userData(userData_.empty() ? std::string("QELA") : std::move(userData_)),
      logger(std::shared_ptr<qelutil::ILogger>(
          qelutil::LoggerFactory::getDefaultLoggerFactory()->createLogger("WebsocketWatchdog:" + serviceName_))),
      websocketManager(std::move(websocketManager_)),
      lastPingSent(std::chrono::steady_clock::now()),
      lastPongReceived(lastPingSent),
      pingInterval(clampPingInterval(pingInterval_)),
      pongTimeout(pongTimeout_ > pingInterval ? pongTimeout_ : 3 * pingInterval) {
    logger.logInfo() << "generated watchdog for service=" << serviceName_ << " with pingInterval="
                     << pingInterval.count() << " and pongTimeout=" << pongTimeout.count();
}

bool WebsocketWatchdog::notify(bool pongOrData) {
    const auto now = std::chrono::steady_clock::now();
    if (pongOrData) {
        lastPongReceived = now;
        return false;
    }
    if (now - lastPongReceived >= pongTimeout) {
        logger.logWarning() << "pong timeout!";
        return true;
    }
    if (now - lastPongReceived < pingInterval || now - lastPingSent < pingInterval) return false;
    if (websocketManager && websocketManager->sendPing(userData.data(), userData.size()))
        lastPingSent = now;
    else
        logger.logWarning() << "could not sent ping!";
    return false;
}

}  // namespace qel
