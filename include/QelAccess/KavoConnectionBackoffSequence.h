#pragma once

#include <QelAccessUtility/INumberSequence.h>

#include <cstddef>
#include <cstdint>

namespace qel {

/// Waits between connection attempts, in milliseconds: `maxRetries` short
/// waits of `waitForNextConnect` plus a jitter below 100 ms, then one long
/// wait of twenty times that, and the cycle starts again.
class KavoConnectionBackoffSequence : public qelutil::INumberSequence {
public:
    /// Seeds the utility library's random source from the steady clock.
    KavoConnectionBackoffSequence(std::size_t maxRetries, std::size_t waitForNextConnect);

    int64_t next() override;
    void reset() override;

private:
    int64_t jitteredWait() const;

    const std::size_t maxRetries;
    const std::size_t waitForNextConnect;
    std::size_t retryCount = 0;
};

}  // namespace qel
