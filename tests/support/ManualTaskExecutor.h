#pragma once

#include <QelAccessUtility/ITaskExecutor.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace qeltest {

/// An executor that only queues: tasks run when the test calls runAll() or
/// runOne(), on the test's thread. Lets a test prove that nothing ran inside
/// the caller's own call.
class ManualTaskExecutor : public qelutil::ITaskExecutor {
public:
    void execute(qelutil::Task task) override;

    /// Runs the oldest queued task; false when none was queued. A task that
    /// throws is contained, as a real executor would.
    bool runOne();
    /// Runs queued tasks, including those queued meanwhile, until none is
    /// left; returns how many ran.
    std::size_t runAll();
    std::size_t pending() const;
    /// Names of the queued tasks, oldest first.
    std::vector<std::string> pendingNames() const;
    /// Names of every task ever queued, in order.
    std::vector<std::string> history() const;

private:
    mutable std::mutex m_mutex;
    std::deque<qelutil::Task> m_queue;
    std::vector<std::string> m_history;
};

}  // namespace qeltest
