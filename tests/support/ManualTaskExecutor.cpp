#include "ManualTaskExecutor.h"

#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/TaskRunner.h>

namespace qeltest {

void ManualTaskExecutor::execute(qelutil::Task task) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_history.push_back(task.getName());
    m_queue.push_back(std::move(task));
}

bool ManualTaskExecutor::runOne() {
    qelutil::Task task;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty()) return false;
        task = std::move(m_queue.front());
        m_queue.pop_front();
    }
    auto logger = qelutil::LoggerFactory::getDefaultLoggerFactory()->createLogger("ManualTaskExecutor");
    qelutil::TaskRunner::run(task, *logger);
    return true;
}

std::size_t ManualTaskExecutor::runAll() {
    std::size_t n = 0;
    while (runOne()) ++n;
    return n;
}

std::size_t ManualTaskExecutor::pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

std::vector<std::string> ManualTaskExecutor::pendingNames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> names;
    for (const auto& task : m_queue) names.push_back(task.getName());
    return names;
}

std::vector<std::string> ManualTaskExecutor::history() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_history;
}

}  // namespace qeltest
