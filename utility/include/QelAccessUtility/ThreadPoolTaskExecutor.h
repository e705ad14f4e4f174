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
/// workers. Tasks submitted after shutdown are discarded. Destroyed from one
/// of its own tasks (a task held the last owner), it joins the other workers
/// and lets the calling one end on its own.
class ThreadPoolTaskExecutor : public ITaskExecutor {
public:
    explicit ThreadPoolTaskExecutor(std::size_t threads, const std::string& threadName = "qel-pool");
    ~ThreadPoolTaskExecutor() override;

    void execute(Task task) override;
    void shutdown();
    std::size_t getQueueSize() const;

private:
    /// What the workers use; each holds its own reference, so it may outlive
    /// the executor.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Task> queue;
        std::size_t idleWorkers = 0;
        bool stopping = false;
        std::shared_ptr<ILogger> logger;
    };

    static void workerLoop(State& state);

    std::shared_ptr<State> m_state;
    std::mutex m_workersMutex;
    std::vector<std::thread> m_workers;
};

}  // namespace qelutil
