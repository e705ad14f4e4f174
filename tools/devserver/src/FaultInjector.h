#pragma once

#include <qeldev/DevServer.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qeldev {

/// The active HTTP faults and connection refusal; thread-safe.
class FaultInjector {
public:
    void add(HttpFault fault);
    void clear();
    std::vector<HttpFault> list() const;

    /// The first rule matching the request, counted as used once.
    std::optional<HttpFault> take(const std::string& method, const std::string& path);

    void refuseFor(std::chrono::milliseconds duration);
    bool isRefusing() const;

    /// Waits `duration` unless shut down first; returns false when cut short.
    bool delay(std::chrono::milliseconds duration);
    /// Ends every delay now and makes later delays return at once.
    void shutdown();
    void reopen();

private:
    static bool matches(const HttpFault& fault, const std::string& method, const std::string& path);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<HttpFault> m_faults;
    std::chrono::steady_clock::time_point m_refuseUntil{};
    bool m_shutdown = false;
};

}  // namespace qeldev
