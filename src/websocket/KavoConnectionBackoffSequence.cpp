#include <QelAccess/KavoConnectionBackoffSequence.h>

#include <QelAccessUtility/SimpleRand.h>

#include <chrono>

namespace qel {

namespace {
constexpr int kJitterBound = 100;
constexpr uint64_t kLongWaitFactor = 20;
}  // namespace

KavoConnectionBackoffSequence::KavoConnectionBackoffSequence(std::size_t maxRetries, std::size_t waitForNextConnect)
    : maxRetries(maxRetries), waitForNextConnect(waitForNextConnect) {
    qelutil::simple_rand_init(
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
}

int64_t KavoConnectionBackoffSequence::next() {
    if (retryCount < maxRetries) {
        ++retryCount;
        return jitteredWait();
    }
    retryCount = 0;
    // Unsigned arithmetic: an absurdly large configured wait cannot overflow a signed value.
    return static_cast<int64_t>(static_cast<uint64_t>(jitteredWait()) * kLongWaitFactor);
}

void KavoConnectionBackoffSequence::reset() { retryCount = 0; }

int64_t KavoConnectionBackoffSequence::jitteredWait() const {
    return static_cast<int64_t>(static_cast<uint64_t>(waitForNextConnect) +
                                static_cast<uint64_t>(qelutil::simple_rand(kJitterBound)));
}

}  // namespace qel
