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

ThreadPoolTaskExecutor::ThreadPoolTaskExecutor(std::size_t threads, const std::string& threadName)
    : m_logger(executorLogger("ThreadPoolTaskExecutor")) {
    if (threads == 0) threads = 1;
    m_workers.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        m_workers.emplace_back([this, threadName] {
            nameThisThread(threadName);
            workerLoop();
        });
    }
}

ThreadPoolTaskExecutor::~ThreadPoolTaskExecutor() { shutdown(); }

void ThreadPoolTaskExecutor::execute(Task task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_queue.push_back(std::move(task));
        // Only an idle worker needs a wake-up; busy ones come back for more.
        wake = m_idleWorkers > 0;
    }
    if (wake) m_wake.notify_one();
}

void ThreadPoolTaskExecutor::shutdown() {
    std::deque<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping && m_workers.empty()) return;
        m_stopping = true;
        dropped.swap(m_queue);
    }
    m_wake.notify_all();
    for (auto& worker : m_workers)
        if (worker.joinable()) worker.join();
    m_workers.clear();
    // Dropped tasks are destroyed here, outside the lock: their captures may
    // run destructors of application objects.
}

std::size_t ThreadPoolTaskExecutor::getQueueSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

void ThreadPoolTaskExecutor::workerLoop() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_idleWorkers;
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            --m_idleWorkers;
            if (m_stopping) return;
            task = std::move(m_queue.front());
            m_queue.pop_front();
        }
        TaskRunner::run(task, *m_logger);
    }
}

// ---- SerialTaskExecutor ----------------------------------------------------

SerialTaskExecutor::SerialTaskExecutor(const std::string& threadName)
    : m_logger(executorLogger("SerialTaskExecutor")) {
    m_worker = std::thread([this, threadName] {
        nameThisThread(threadName);
        workerLoop();
    });
}

SerialTaskExecutor::~SerialTaskExecutor() { shutdown(); }

void SerialTaskExecutor::execute(Task task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_queue.push_back(std::move(task));
        wake = m_waiting;
    }
    if (wake) m_wake.notify_one();
}

void SerialTaskExecutor::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id()) m_worker.join();
}

bool SerialTaskExecutor::isWorkerThread() const { return m_worker.get_id() == std::this_thread::get_id(); }

void SerialTaskExecutor::workerLoop() {
    std::deque<Task> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_waiting = true;
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            m_waiting = false;
            if (m_queue.empty()) return;  // stopping, and every queued task has run
            // Take the whole queue at once: one lock round per burst of tasks.
            batch.swap(m_queue);
        }
        for (auto& task : batch) TaskRunner::run(task, *m_logger);
        batch.clear();
    }
}

}  // namespace qelutil
