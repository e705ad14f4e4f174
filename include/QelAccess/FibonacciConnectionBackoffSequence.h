#pragma once

#include <QelAccessUtility/INumberSequence.h>

#include <cstddef>
#include <cstdint>

namespace qel {

/// Waits between connection attempts, in milliseconds, growing like the
/// Fibonacci numbers: 100, 100, 200, 300, 500, 800, 1300, then 2000 for good.
class FibonacciConnectionBackoffSequence : public qelutil::INumberSequence {
public:
    FibonacciConnectionBackoffSequence();

    int64_t next() override;
    void reset() override;

private:
    static const int64_t backoffs[8];
    std::size_t count = 0;
};

}  // namespace qel
