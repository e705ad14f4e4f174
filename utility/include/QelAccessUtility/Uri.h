#pragma once

#include <cstdint>
#include <string>

namespace qelutil {

/// The parts of an absolute URI that service resolution needs.
struct Uri {
    std::string protocol;  ///< scheme, lower case ("http", "ws", ...)
    std::string host;
    uint16_t port = 0;     ///< given port, or the scheme's default
    std::string path;      ///< path with query, "/" when empty
};

}  // namespace qelutil
