#pragma once

#include <functional>
#include <memory>
#include <string>

namespace qelutil {

/// A unit of work for an executor: a function without arguments and a name
/// used in log lines (shared, so copying a task does not copy the name).
struct Task {
    std::function<void()> f;
    std::shared_ptr<const std::string> name;

    Task() = default;
    Task(std::function<void()> function, std::shared_ptr<const std::string> taskName)
        : f(std::move(function)), name(std::move(taskName)) {}
    Task(std::function<void()> function, const std::string& taskName)
        : f(std::move(function)), name(std::make_shared<const std::string>(taskName)) {}

    const std::string& getName() const;
};

}  // namespace qelutil
