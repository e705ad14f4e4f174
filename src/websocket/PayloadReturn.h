#pragma once

#include <QelAccess/DefaultWebsocketManager2.h>

#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

namespace qel {

/// Brings the JSON of delivered messages back to the connection thread that
/// parsed it, to be freed there. Freed on the executor's thread instead,
/// every message would go back to the connection thread's allocator arena
/// under that arena's lock, against the connection thread's own allocations
/// for the next messages. Only the JSON comes back: the callbacks and what
/// they hold are released on the executor, as before.
class DefaultWebsocketManager2::PayloadReturn {
public:
    using Payload = std::shared_ptr<const void>;

    /// On the executor, once a batch's callbacks ran. While no connection
    /// thread takes them back, the payloads are freed right here.
    void give(std::vector<Payload> payloads) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) return;  // `payloads` goes after the lock is released
        if (m_payloads.empty())
            m_payloads.swap(payloads);
        else
            m_payloads.insert(m_payloads.end(), std::make_move_iterator(payloads.begin()),
                              std::make_move_iterator(payloads.end()));
    }

    /// On the connection thread: frees what came back.
    void release() { std::vector<Payload> spent = take(true); }
    /// The connection thread takes payloads back from now on.
    void open() { take(true); }
    /// The connection thread ends: what comes back later is freed by the giver.
    void close() { std::vector<Payload> spent = take(false); }

private:
    std::vector<Payload> take(bool open) {
        std::vector<Payload> spent;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = open;
        spent.swap(m_payloads);
        return spent;
    }

    std::mutex m_mutex;
    std::vector<Payload> m_payloads;
    bool m_open = false;
};

}  // namespace qel
