#pragma once

#include <QelAccessUtility/ITaskExecutor.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qelutil {

class ILogger;

/// A fixed pool of worker threads sharing one FIFO queue. Tasks start in
/// submission order but may run concurrently and finish in any order.
///
/// Destruction (or shutdown()) stops accepting tasks, lets the workers finish
/// the task each is running, discards tasks still queued, and joins the
/// workers. Tasks submitted after shutdown are discarded. Must not be
/// destroyed from one of its own tasks.
class ThreadPoolTaskExecutor : public ITaskExecutor {
public:
    explicit ThreadPoolTaskExecutor(std::size_t threads, const std::string& threadName = "qel-pool");
    ~ThreadPoolTaskExecutor() override;

    void execute(Task task) override;
    void shutdown();
    std::size_t getQueueSize() const;

private:
    void workerLoop();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_queue;
    std::size_t m_idleWorkers = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
    std::shared_ptr<ILogger> m_logger;
};

}  // namespace qelutil
