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
/// the worker. Tasks submitted after shutdown are discarded. Destroyed from
/// one of its own tasks (a task held the last owner), it lets the worker
/// finish the queue on its own and end, without joining it.
class SerialTaskExecutor : public ITaskExecutor {
public:
    explicit SerialTaskExecutor(const std::string& threadName = "qel-serial");
    ~SerialTaskExecutor() override;

    void execute(Task task) override;
    void shutdown();
    /// True when called from this executor's worker thread.
    bool isWorkerThread() const;

private:
    /// What the worker uses; it holds its own reference, so it may outlive
    /// the executor.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Task> queue;
        bool waiting = false;
        bool stopping = false;
        std::shared_ptr<ILogger> logger;
    };

    static void workerLoop(State& state);

    std::shared_ptr<State> m_state;
    std::thread m_worker;
};

}  // namespace qelutil
