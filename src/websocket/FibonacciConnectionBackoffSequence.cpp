#include <QelAccess/FibonacciConnectionBackoffSequence.h>

namespace qel {

const int64_t FibonacciConnectionBackoffSequence::backoffs[8] = {100, 100, 200, 300, 500, 800, 1300, 2000};

FibonacciConnectionBackoffSequence::FibonacciConnectionBackoffSequence() = default;

int64_t FibonacciConnectionBackoffSequence::next() {
    const int64_t wait = backoffs[count];
    // Stops on the last entry, which every further call repeats.
    if (count <= 6) ++count;
    return wait;
}

void FibonacciConnectionBackoffSequence::reset() { count = 0; }

}  // namespace qel
