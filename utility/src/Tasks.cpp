#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/SerialTaskExecutor.h>
#include <QelAccessUtility/Task.h>
#include <QelAccessUtility/TaskRunner.h>
#include <QelAccessUtility/ThreadPoolTaskExecutor.h>

#include <pthread.h>

#include <exception>

namespace qelutil {

namespace {

const std::string& unnamedTask() {
    static const std::string name("<unnamed task>");
    return name;
}

void nameThisThread(const std::string& name) {
    // The system keeps 15 characters.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::shared_ptr<ILogger> executorLogger(const std::string& name) {
    return LoggerFactory::getDefaultLoggerFactory()->createLogger(name);
}

}  // namespace

const std::string& Task::getName() const { return name ? *name : unnamedTask(); }

void TaskRunner::run(const Task& task, ILogger& logger) noexcept {
    try {
        if (task.f) task.f();
    } catch (const std::exception& e) {
        try {
            logger.error("task '" + task.getName() + "' threw: " + e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            logger.error("task '" + task.getName() + "' threw an unknown exception");
        } catch (...) {
        }
    }
}

// ---- ThreadPoolTaskExecutor ------------------------------------------------

namespace {

/// Joins a worker, or lets it go when it is the calling thread.
void finish(std::thread& worker) {
    if (!worker.joinable()) return;
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
    else
        worker.join();
}

}  // namespace

ThreadPoolTaskExecutor::ThreadPoolTaskExecutor(std::size_t threads, const std::string& threadName)
    : m_state(std::make_shared<State>()) {
    m_state->logger = executorLogger("ThreadPoolTaskExecutor");
    if (threads == 0) threads = 1;
    m_workers.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        m_workers.emplace_back([state = m_state, threadName] {
            nameThisThread(threadName);
            workerLoop(*state);
        });
    }
}

ThreadPoolTaskExecutor::~ThreadPoolTaskExecutor() { shutdown(); }

void ThreadPoolTaskExecutor::execute(Task task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->stopping) return;
        m_state->queue.push_back(std::move(task));
        // Only an idle worker needs a wake-up; busy ones come back for more.
        wake = m_state->idleWorkers > 0;
    }
    if (wake) m_state->wake.notify_one();
}

void ThreadPoolTaskExecutor::shutdown() {
    std::deque<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopping = true;
        dropped.swap(m_state->queue);
    }
    m_state->wake.notify_all();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(m_workersMutex);
        workers.swap(m_workers);
    }
    for (auto& worker : workers) finish(worker);
    // Dropped tasks are destroyed here, outside the lock: their captures may
    // run destructors of application objects.
}

std::size_t ThreadPoolTaskExecutor::getQueueSize() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->queue.size();
}

void ThreadPoolTaskExecutor::workerLoop(State& state) {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            ++state.idleWorkers;
            state.wake.wait(lock, [&state] { return state.stopping || !state.queue.empty(); });
            --state.idleWorkers;
            if (state.stopping) return;
            task = std::move(state.queue.front());
            state.queue.pop_front();
        }
        TaskRunner::run(task, *state.logger);
    }
}

// ---- SerialTaskExecutor ----------------------------------------------------

SerialTaskExecutor::SerialTaskExecutor(const std::string& threadName) : m_state(std::make_shared<State>()) {
    m_state->logger = executorLogger("SerialTaskExecutor");
    m_worker = std::thread([state = m_state, threadName] {
        nameThisThread(threadName);
        workerLoop(*state);
    });
}

SerialTaskExecutor::~SerialTaskExecutor() { shutdown(); }

void SerialTaskExecutor::execute(Task task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->stopping) return;
        m_state->queue.push_back(std::move(task));
        wake = m_state->waiting;
    }
    if (wake) m_state->wake.notify_one();
}

void SerialTaskExecutor::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->wake.notify_one();
    finish(m_worker);
}

bool SerialTaskExecutor::isWorkerThread() const { return m_worker.get_id() == std::this_thread::get_id(); }

void SerialTaskExecutor::workerLoop(State& state) {
    std::deque<Task> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.waiting = true;
            state.wake.wait(lock, [&state] { return state.stopping || !state.queue.empty(); });
            state.waiting = false;
            if (state.queue.empty()) return;  // stopping, and every queued task has run
            // Take the whole queue at once: one lock round per burst of tasks.
            batch.swap(state.queue);
        }
        for (auto& task : batch) TaskRunner::run(task, *state.logger);
        batch.clear();
    }
}

}  // namespace qelutil
