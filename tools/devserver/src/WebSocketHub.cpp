#include "WebSocketHub.h"

#include "WebSocketSession.h"

#include <algorithm>
#include <stdexcept>

namespace qeldev {

WebSocketHub::WebSocketHub(DataStore& store, WebSocketSettings settings, std::shared_ptr<qelutil::ILogger> logger)
    : m_store(store), m_settings(settings), m_logger(std::move(logger)) {
    m_listener = m_store.addListener([this](const ElementChange& change) { onChange(change); });
}

WebSocketHub::~WebSocketHub() { m_store.removeListener(m_listener); }

void WebSocketHub::open() { m_stopping.store(false); }

void WebSocketHub::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping.store(true);
    }
    m_stallEnded.notify_all();
    wakeAll();
}

bool WebSocketHub::enter(std::size_t origin) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int& admitted = m_admitted[origin];
    if (admitted >= m_settings.maxConnections) return false;
    ++admitted;
    return true;
}

void WebSocketHub::leave(std::size_t origin) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_admitted[origin];
}

void WebSocketHub::add(const std::shared_ptr<WebSocketSession>& session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.push_back(session);
}

void WebSocketHub::remove(const WebSocketSession* session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [session](const auto& entry) { return entry.get() == session; }),
                     m_sessions.end());
}

void WebSocketHub::addInterest(const std::string& service, const std::string& resource) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_interest[{service, resource}];
}

void WebSocketHub::removeInterest(const std::string& service, const std::string& resource) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_interest.find({service, resource});
    if (found != m_interest.end() && --found->second <= 0) m_interest.erase(found);
}

std::vector<std::shared_ptr<WebSocketSession>> WebSocketHub::sessions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions;
}

void WebSocketHub::onChange(const ElementChange& change) {
    std::vector<std::shared_ptr<WebSocketSession>> receivers;
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_sessions.empty()) return;
        receivers = m_sessions;
        listed = m_interest.count({change.service, change.resource}) > 0;
    }
    Snapshot snapshot;
    if (listed) {
        snapshot = std::make_shared<const std::vector<qelutil::JsonObject::SharedConst>>(
            m_store.list(change.service, change.resource));
    }
    for (const auto& session : receivers) session->enqueue(change, snapshot);
}

void WebSocketHub::wakeAll() {
    for (const auto& session : sessions()) session->wake();
}

std::size_t WebSocketHub::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

void WebSocketHub::dropAll() {
    const auto all = sessions();
    for (const auto& session : all) session->drop();
    m_logger->info("dropped " + std::to_string(all.size()) + " WebSocket connections");
}

void WebSocketHub::dropOrigin(std::size_t origin) {
    for (const auto& session : sessions()) {
        if (session->origin() == origin) session->drop();
    }
}

void WebSocketHub::registryChanged() {
    for (const auto& session : sessions()) session->registryChanged();
}

void WebSocketHub::stallFor(std::chrono::milliseconds duration) {
    m_stallUntil.store((Clock::now() + duration).time_since_epoch().count());
    wakeAll();
}

bool WebSocketHub::waitWhileStalled() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping.load()) {
        const auto until = stalledUntil();
        if (Clock::now() >= until) return true;
        m_stallEnded.wait_until(lock, until);
    }
    return false;
}

void WebSocketHub::refuseFor(std::chrono::milliseconds duration, int status) {
    if (status < 200 || status > 599) throw std::invalid_argument("a refusal status must be from 200 to 599");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refuseUntil = Clock::now() + duration;
    m_refuseStatus = status;
}

std::optional<int> WebSocketHub::refusalStatus() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Clock::now() >= m_refuseUntil) return std::nullopt;
    return m_refuseStatus;
}

std::size_t WebSocketHub::sendFrame(int flags, const std::string& payload) {
    std::size_t reached = 0;
    for (const auto& session : sessions()) reached += session->sendRaw(flags, payload) ? 1 : 0;
    return reached;
}

std::size_t WebSocketHub::sendPadded(std::size_t bytes) {
    if (bytes > m_settings.maxPaddedBytes)
        throw std::invalid_argument("an oversized message may have at most " +
                                    std::to_string(m_settings.maxPaddedBytes) + " bytes");
    std::size_t reached = 0;
    for (const auto& session : sessions()) reached += session->sendPadded(bytes) ? 1 : 0;
    return reached;
}

void WebSocketHub::clearFaults() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stallUntil.store(0);
        m_refuseUntil = {};
    }
    m_splitBytes.store(0);
    m_stallEnded.notify_all();
    wakeAll();
}

}  // namespace qeldev
