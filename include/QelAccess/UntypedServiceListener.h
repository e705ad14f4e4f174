#pragma once

#include <exception>
#include <functional>
#include <memory>

namespace qel {

class Service;

/// What an application hears about one named service. `available` gets the
/// ready service object once its WebSocket is connected, `unavailable` is
/// told when that connection is gone; both must be set and both run as tasks
/// of the application's callback executor. `fail` is carried for the
/// application's own use; the registry never calls it.
struct UntypedServiceListener {
    std::function<void(std::shared_ptr<Service>)> available;
    std::function<void()> unavailable;
    std::function<void(const std::exception&)> fail;
};

}  // namespace qel
