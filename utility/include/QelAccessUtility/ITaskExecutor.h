#pragma once

#include <QelAccessUtility/Task.h>

#include <functional>
#include <memory>
#include <string>

namespace qelutil {

/// Runs tasks asynchronously. A task that throws is caught and logged with
/// its name by the executor, which keeps running.
class ITaskExecutor {
public:
    using Shared = std::shared_ptr<ITaskExecutor>;

    virtual ~ITaskExecutor() = default;
    virtual void execute(Task task) = 0;

    void add(std::function<void()> function, const std::string& name) {
        execute(Task(std::move(function), name));
    }
    void add(std::function<void()> function, std::shared_ptr<const std::string> name) {
        execute(Task(std::move(function), std::move(name)));
    }
};

}  // namespace qelutil
