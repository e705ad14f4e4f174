#pragma once

#include <cstdint>

namespace qelutil {

/// A sequence of numbers, such as the waits between connection attempts.
class INumberSequence {
public:
    virtual ~INumberSequence() = default;
    virtual int64_t next() = 0;
    virtual void reset() = 0;
};

}  // namespace qelutil
