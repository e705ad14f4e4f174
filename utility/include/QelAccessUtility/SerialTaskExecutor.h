#pragma once

#include <QelAccessUtility/ITaskExecutor.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace qelutil {

class ILogger;

/// One worker thread, strict FIFO: tasks run one at a time in submission
/// order, which keeps delivery order for callbacks.
///
/// Destruction (or shutdown()) runs every task queued before it, then joins
/// the worker. Tasks submitted after shutdown are discarded. Must not be
/// destroyed from one of its own tasks.
class SerialTaskExecutor : public ITaskExecutor {
public:
    explicit SerialTaskExecutor(const std::string& threadName = "qel-serial");
    ~SerialTaskExecutor() override;

    void execute(Task task) override;
    void shutdown();
    /// True when called from this executor's worker thread.
    bool isWorkerThread() const;

private:
    void workerLoop();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_queue;
    bool m_waiting = false;
    bool m_stopping = false;
    std::thread m_worker;
    std::shared_ptr<ILogger> m_logger;
};

}  // namespace qelutil
