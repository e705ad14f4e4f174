#include "FaultInjector.h"

namespace qeldev {

void FaultInjector::add(HttpFault fault) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(std::move(fault));
}

void FaultInjector::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
    m_refuseUntil = {};
}

std::vector<HttpFault> FaultInjector::list() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults;
}

bool FaultInjector::matches(const HttpFault& fault, const std::string& method, const std::string& path) {
    if (!fault.method.empty() && fault.method != method) return false;
    if (fault.path.empty()) return true;
    if (fault.path.back() == '*') return path.compare(0, fault.path.size() - 1, fault.path, 0, fault.path.size() - 1) == 0;
    return fault.path == path;
}

std::optional<HttpFault> FaultInjector::take(const std::string& method, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (!matches(*it, method, path)) continue;
        HttpFault fault = *it;
        if (it->times > 0 && --it->times == 0) m_faults.erase(it);
        return fault;
    }
    return std::nullopt;
}

void FaultInjector::refuseFor(std::chrono::milliseconds duration) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refuseUntil = std::chrono::steady_clock::now() + duration;
}

bool FaultInjector::isRefusing() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::chrono::steady_clock::now() < m_refuseUntil;
}

bool FaultInjector::delay(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_shutdown; });
}

void FaultInjector::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
    }
    m_wake.notify_all();
}

void FaultInjector::reopen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shutdown = false;
}

}  // namespace qeldev
