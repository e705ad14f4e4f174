#pragma once

#include <cstdint>

namespace qelutil {

/// Seeds the process-wide generator used by simple_rand.
void simple_rand_init(uint64_t seed);
/// A pseudo-random integer in [0, bound); 0 when bound <= 0. Thread-safe.
int simple_rand(int bound);

}  // namespace qelutil
