#pragma once

#include <stdexcept>
#include <string>

namespace qelutil {

/// A request that did not complete: connection refused or lost, time-out,
/// malformed reply, or a path refused before sending.
class HttpException : public std::runtime_error {
public:
    explicit HttpException(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace qelutil
