#pragma once

#include <QelAccessUtility/ILogger.h>
#include <QelAccessUtility/Task.h>

namespace qelutil {

/// Runs one task for an executor, containing and logging what it throws.
class TaskRunner {
public:
    static void run(const Task& task, ILogger& logger) noexcept;
};

}  // namespace qelutil
