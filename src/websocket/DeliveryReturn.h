#pragma once

#include <QelAccess/DefaultWebsocketManager2.h>

#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

namespace qel {

/// Brings delivered messages back to the connection thread that parsed
/// them, to be freed there. Freed on the executor's thread instead, every
/// message would go back to the connection thread's allocator arena under
/// that arena's lock, against the connection thread's own allocations for
/// the next messages. The callbacks do not come back: they are the
/// application's, and are released on the executor.
class DefaultWebsocketManager2::DeliveryReturn {
public:
    /// On the executor, once a batch's callbacks ran and were released.
    /// While no connection thread takes them back, they are freed right here.
    void give(std::vector<Delivery> deliveries) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) return;  // `deliveries` goes after the lock is released
        if (m_returned.empty())
            m_returned.swap(deliveries);
        else
            m_returned.insert(m_returned.end(), std::make_move_iterator(deliveries.begin()),
                              std::make_move_iterator(deliveries.end()));
    }

    /// On the connection thread: frees what came back.
    void release() { std::vector<Delivery> spent = take(true); }
    /// The connection thread takes deliveries back from now on.
    void open() { take(true); }
    /// The connection thread ends: what comes back later is freed by the giver.
    void close() { std::vector<Delivery> spent = take(false); }

private:
    std::vector<Delivery> take(bool open) {
        std::vector<Delivery> spent;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = open;
        spent.swap(m_returned);
        return spent;
    }

    std::mutex m_mutex;
    std::vector<Delivery> m_returned;
    bool m_open = false;
};

}  // namespace qel
