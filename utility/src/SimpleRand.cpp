#include <QelAccessUtility/SimpleRand.h>

#include <atomic>

namespace qelutil {

namespace {
std::atomic<uint64_t> g_state{0x9E3779B97F4A7C15ull};

// splitmix64: small, fast, and good enough for jitter.
uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
}  // namespace

void simple_rand_init(uint64_t seed) { g_state.store(seed); }

int simple_rand(int bound) {
    if (bound <= 0) return 0;
    const uint64_t value = mix(g_state.fetch_add(0x9E3779B97F4A7C15ull) + 0x9E3779B97F4A7C15ull);
    return static_cast<int>(value % static_cast<uint64_t>(bound));
}

}  // namespace qelutil
